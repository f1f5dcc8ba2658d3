// Plays a loop on virtual time for rendering to files: tick k of a run starting at frame A sees
// the clock at (A + k) / fps seconds and does not sleep, so the trail clock, the frame-rate
// window and every frame are the same on every run. No window; draws into the current context.
// Live play without a window gives it a real clock instead and paces the ticks itself.
#pragma once
#include "engine/scene_state.h"
#include "render/clock.h"
#include "render/frame_renderer.h"
#include "render/playback.h"
#include "render/render_assets.h"
#include "engine/random.h"
#include "render/scene_layers.h"

namespace vl::render {

class OfflinePlayer {
 public:
  // `random` is the generator the layers draw from; Start seeds it, so every render is the same.
  OfflinePlayer(engine::SceneState& scene, SceneLayers& layers, int fps, Random& random);
  // Plays on `live_clock` instead of virtual time: the caller ticks playback() when a frame is
  // due, and DrawNextFrame is not for it.
  OfflinePlayer(engine::SceneState& scene, SceneLayers& layers, int fps, Random& random, const Clock& live_clock);

  // The view start-up and the projection for width x height; the context must be current.
  void Start(RenderAssets& assets, int width, int height);

  // Positions playback at `frame` (after a load) and restarts virtual time there.
  void Seek(int frame);

  // One tick: draws the frame at current_frame and advances. Returns the frame index drawn.
  int DrawNextFrame();

  int fps() const { return fps_; }
  FrameRenderer& renderer() { return renderer_; }
  Playback& playback() { return playback_; }
  const ManualClock& clock() const { return clock_; }  // virtual time; unused when live

 private:
  engine::SceneState& scene_;
  SceneLayers& layers_;
  int fps_;
  ManualClock clock_;
  NoSleep sleep_;
  FrameRenderer renderer_;
  Playback playback_;
  Random& random_;
  int64_t tick_ = 0;  // virtual frame time index
};

}  // namespace vl::render
