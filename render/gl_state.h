// Small pieces of fixed-function state that several passes set the same way.
#pragma once

namespace vl::render {

// Switches texture-coordinate generation for s and t on or off together.
void SetTextureGeneration(bool on);
// Selects sphere-map generation for s and t (whether it is on is SetTextureGeneration's business).
void UseSphereMapGeneration();
// Light 0 as a spot at (x, y, z) looking down -z: cut-off 90, exponent 100. Its colours stay as
// start-up set them. Call with the model-view matrix the position is meant in (identity: eye space).
void SetSpotLight0(float x, float y, float z);

}  // namespace vl::render
