// One loop played headless on virtual time: a GL context of its own at a fixed size, the scene,
// the assets, the layers and the offline player, started and ready for a loop. Everything that
// draws loops without a window (render, thumbnail, export, the GL tests, the benchmarks) sets up
// through this, so the same loop at the same size and rate gives the same frames everywhere.
// render/ must not include this.
#pragma once
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "engine/load_error.h"
#include "engine/random.h"
#include "engine/scene_state.h"
#include "platform/headless/headless_context.h"
#include "render/clock.h"
#include "render/frame_renderer.h"
#include "render/offline_player.h"
#include "render/player_layers.h"
#include "render/render_assets.h"
#include "render/scene_layers.h"

namespace vl::headless {

struct LoopRunSetup {
  int width = 720;
  int height = 576;
  int fps = 25;
  // The generator the layers draw from; null: the run's own, so its frames depend on nothing else
  // the process draws. Seeded with 1 when the view starts, either way.
  Random* random = nullptr;
  // Null: virtual time, one frame per DrawNextFrame. Live play gives a real clock and ticks
  // player().playback() itself when a frame is due.
  const render::Clock* live_clock = nullptr;
  // Null: the renderer's default (VANTALOOP_REFERENCE and friends decide).
  std::optional<render::RenderMode> mode;
  // Told about the assets before the view starts loading its defaults (quiet, reporter, progress).
  std::function<void(render::RenderAssets&)> prepare_assets;
  // For tests and benchmarks that draw a part of the scene. Empty: render::RenderAssets, and every
  // layer of the scene (render::PlayerLayers).
  std::function<std::unique_ptr<render::RenderAssets>()> make_assets;
  std::function<std::unique_ptr<render::SceneLayers>(render::RenderAssets&, Random&)> make_layers;
};

class LoopRun {
 public:
  // Makes the context and everything drawn in it and starts the view; the context is left current.
  // Null, with *error saying why, when no context can be made.
  static std::unique_ptr<LoopRun> Create(const LoopRunSetup& setup, std::string* error);
  ~LoopRun();
  LoopRun(const LoopRun&) = delete;
  LoopRun& operator=(const LoopRun&) = delete;

  // Reads a loop into the scene as engine::LoadSequence does (a name it cannot find falls back to
  // the library's default loop; callers that were given a file check it first). On failure the
  // scene keeps what it had.
  Status Load(const std::filesystem::path& loop);
  // Makes this run's context current, for runs that share a thread with other contexts.
  bool MakeCurrent() { return gl_->MakeCurrent(); }
  // See render::OfflinePlayer.
  void Seek(int frame) { player_->Seek(frame); }
  int DrawNextFrame() { return player_->DrawNextFrame(); }
  // The frame last drawn, top row first.
  Image ReadPixels() const { return gl_->ReadPixels(); }
  void ReadPixelsInto(Image* image) const { gl_->ReadPixelsInto(image); }

  int width() const { return gl_->width(); }
  int height() const { return gl_->height(); }
  HeadlessContext& context() { return *gl_; }
  engine::SceneState& scene() { return *scene_; }
  render::RenderAssets& assets() { return *assets_; }
  render::SceneLayers& layers() { return *layers_; }
  // Null when the setup made layers of its own kind.
  render::PlayerLayers* player_layers() { return dynamic_cast<render::PlayerLayers*>(layers_.get()); }
  render::OfflinePlayer& player() { return *player_; }
  render::FrameRenderer& renderer() { return player_->renderer(); }
  Random& random() { return *random_; }

 private:
  LoopRun() = default;

  // Declared first, so it goes last: everything below releases GL objects in it.
  std::unique_ptr<HeadlessContext> gl_;
  Random own_random_;
  Random* random_ = &own_random_;
  std::unique_ptr<engine::SceneState> scene_;
  std::unique_ptr<render::RenderAssets> assets_;
  std::unique_ptr<render::SceneLayers> layers_;
  std::unique_ptr<render::OfflinePlayer> player_;
};

}  // namespace vl::headless
