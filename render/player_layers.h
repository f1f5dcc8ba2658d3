// Every layer of the scene behind the renderer's layer slots: the image and effect layers, the
// outline text and the three models, and the glow scene pass that redraws the layers marked for
// effects in their fixed order (text, sprites, particles, vortex, model 1). Both front ends, the
// desktop view and the headless renderer, draw through one of these.
#pragma once
#include "engine/random.h"
#include "render/image_layers.h"
#include "render/model_layer.h"
#include "render/render_assets.h"
#include "render/scene_layers.h"
#include "render/text_layer.h"

namespace vl::render {

class PlayerLayers : public SceneLayers {
 public:
  // The assets own the model slots and are told who rebuilds the glyph lists.
  explicit PlayerLayers(RenderAssets& assets, Random& random);
  ~PlayerLayers() override;
  PlayerLayers(const PlayerLayers&) = delete;
  PlayerLayers& operator=(const PlayerLayers&) = delete;

  void InitSpriteRing(engine::SceneState& s, Random&) override { image_.InitSpriteRing(s); }
  void CreateFountain(engine::SceneState& s) override { image_.CreateFountain(s); }
  void InitPhotoGrid(engine::SceneState& s) override { image_.InitPhotoGrid(s); }

  void DrawBackdrop(engine::SceneState& s) override { image_.DrawBackdrop(s); }
  void DrawTunnel(engine::SceneState& s) override { image_.DrawTunnel(s); }
  void DrawPhotos(engine::SceneState& s) override { image_.DrawPhotos(s); }
  void DrawVortex(engine::SceneState& s) override { image_.DrawVortex(s); }
  void DrawParticles(engine::SceneState& s) override { image_.DrawParticles(s); }
  void DrawSpriteRing(engine::SceneState& s) override { image_.DrawSpriteRing(s); }
  void DrawModel(engine::SceneState& s, int slot) override;
  void DrawText(engine::SceneState& s) override;

  void DrawGlowScene(engine::SceneState& s, GlowVariant variant) override;
  void DrawModelGlow(engine::SceneState& s, int slot) override;
  bool ModelHasGeometry(int slot) const override;

  ImageLayers& image() { return image_; }
  TextLayer& text() { return text_; }
  ModelLayer& models() { return models_; }

 private:
  RenderAssets& assets_;
  ImageLayers image_;
  TextLayer text_;
  ModelLayer models_;
};

}  // namespace vl::render
