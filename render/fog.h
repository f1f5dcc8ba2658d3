// The two fog set-ups: the tunnel's (scene fog colour, keyed start and end) and the particle
// systems' (their own colour, a fixed density, a very long range). Each sets the parameters and
// enables fog; the renderer disables it after the pass.
#pragma once
#include "engine/scene_state.h"

namespace vl::render {

void ApplyTunnelFog(const engine::SceneState& scene);
void ApplyParticleFog(const engine::SceneState& scene);

}  // namespace vl::render
