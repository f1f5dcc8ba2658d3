#include "render/player_layers.h"

namespace vl::render {

PlayerLayers::PlayerLayers(RenderAssets& assets, Random& random)
    : assets_(assets), image_(random), models_(assets.models()) {
  // Start-up, every load and a new project rebuild the glyph lists through the assets.
  assets_.set_glyph_list_builder([this](engine::SceneState& scene) {
    assets_.set_text_font_note(TextLayer::FontNote(scene, text_.BuildGlyphLists(scene)));
  });
}

PlayerLayers::~PlayerLayers() { assets_.set_glyph_list_builder(nullptr); }

void PlayerLayers::DrawModel(engine::SceneState& s, int slot) { models_.DrawMainFrameBlock(s, slot); }

void PlayerLayers::DrawText(engine::SceneState& s) { text_.DrawTextPass(s); }

void PlayerLayers::DrawGlowScene(engine::SceneState& s, GlowVariant variant) {
  // 1. The text block (fx_text).
  text_.DrawGlowText(s, variant);
  // 2-4. Sprites, particles, vortex.
  image_.DrawGlowLayers(s, variant);
  // 5. Model 1 with its glow set-up.
  models_.DrawGlowSceneModel1(s, variant);
}

void PlayerLayers::DrawModelGlow(engine::SceneState& s, int slot) { models_.DrawGlowPass(s, slot); }

bool PlayerLayers::ModelHasGeometry(int slot) const {
  if (slot < 1 || slot > 3) return false;
  for (const auto& object : assets_.model(slot - 1).objects)
    if (!object.faces.empty()) return true;
  return false;
}

}  // namespace vl::render
