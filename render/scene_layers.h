// The scene layers the frame renderer calls at fixed slots. Each method draws one layer into the
// current context with the state the renderer set before the call; the renderer owns the order,
// the switches and the screen-space passes. The methods here draw nothing: the layers are filled
// in by subclasses as they are built.
#pragma once
#include "engine/scene_state.h"
#include "engine/random.h"

namespace vl::render {

enum class GlowVariant {
  kCapture,  // redrawn into the 512 x 512 glow capture
  kTrail,    // redrawn into the 256 x 256 trail image
};

class SceneLayers {
 public:
  virtual ~SceneLayers() = default;

  // Start-up, once per context.
  virtual void InitSpriteRing(engine::SceneState&, vl::Random&) {}
  virtual void CreateFountain(engine::SceneState&) {}
  virtual void InitPhotoGrid(engine::SceneState&) {}

  // The frame, in the renderer's order; each called only when its switch is on.
  virtual void DrawBackdrop(engine::SceneState&) {}
  virtual void DrawTunnel(engine::SceneState&) {}  // fog parameters are set; the layer enables fog
  virtual void DrawPhotos(engine::SceneState&) {}
  virtual void DrawVortex(engine::SceneState&) {}
  virtual void DrawParticles(engine::SceneState&) {}  // particle fog already set when it applies
  virtual void DrawSpriteRing(engine::SceneState&) {}
  virtual void DrawModel(engine::SceneState&, int /*slot 1..3*/) {}
  virtual void DrawText(engine::SceneState&) {}  // every frame: the layer checks text_on and text_chrome

  // Redraws of the layers marked for effects (the layer checks its own fx_ switches).
  virtual void DrawGlowScene(engine::SceneState&, GlowVariant) {}
  // One model alone for its glow capture; called only when the slot's fx_model switch is on.
  virtual void DrawModelGlow(engine::SceneState&, int /*slot 1..3*/) {}
  // Whether the slot has anything its glow pass would draw (a mesh with faces). A glow capture of
  // a slot without one holds the clear colour only. Layers that cannot tell say true.
  virtual bool ModelHasGeometry(int /*slot 1..3*/) const { return true; }
};

}  // namespace vl::render
