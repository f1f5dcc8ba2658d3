// Blank textures for the render targets (the glow captures and the trail image). Picture and TGA
// textures are uploaded by RenderAssets. Textures are replaced, never freed: an old name stays
// valid for anything that still holds it.
#pragma once
#include <cstdint>

namespace vl::render {

// A new zero-filled width x height texture of 3 or 4 components with linear filters, or 0 when
// the size or component count is out of range.
uint32_t CreateBlankTexture(int width, int height, int channels);

}  // namespace vl::render
