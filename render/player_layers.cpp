#include "render/player_layers.h"

namespace vl::render {

PlayerLayers::PlayerLayers(RenderAssets& assets, Random& random) : assets_(assets), image_(random) {}

void PlayerLayers::DrawModel(engine::SceneState&, int) {
  // Models draw once the model pass lands.
}

void PlayerLayers::DrawText(engine::SceneState&) {
  // Text draws once the glyph lists land.
}

void PlayerLayers::DrawGlowScene(engine::SceneState& s, GlowVariant variant) {
  // 1. The text block (fx_text), once the glyph lists land.
  // 2-4. Sprites, particles, vortex.
  image_.DrawGlowLayers(s, variant);
  // 5. Model 1 with its glow set-up, once the model pass lands.
}

void PlayerLayers::DrawModelGlow(engine::SceneState&, int) {}

}  // namespace vl::render
