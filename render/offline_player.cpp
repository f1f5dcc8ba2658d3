#include "render/offline_player.h"

#include <algorithm>

#include "render/view_setup.h"

namespace vl::render {

OfflinePlayer::OfflinePlayer(engine::SceneState& scene, SceneLayers& layers, int fps, Random& random)
    : OfflinePlayer(scene, layers, fps, random, clock_) {}

// clock_ is not yet constructed when the delegating constructor passes it; it is only bound to
// references here, never read.
OfflinePlayer::OfflinePlayer(engine::SceneState& scene, SceneLayers& layers, int fps, Random& random,
                             const Clock& live_clock)
    : scene_(scene),
      layers_(layers),
      fps_(std::clamp(fps, 1, 1000)),
      renderer_(scene, layers, live_clock),
      playback_(scene, live_clock, sleep_),
      random_(random) {}

void OfflinePlayer::Start(RenderAssets& assets, int width, int height) {
  random_.Seed(1);
  StartView(scene_, renderer_, layers_, assets, random_);
  ApplyViewSize(scene_, width, height);
}

void OfflinePlayer::Seek(int frame) {
  scene_.current_frame = std::clamp(frame, 0, engine::kFrameSlots - 1);
  tick_ = scene_.current_frame;
}

int OfflinePlayer::DrawNextFrame() {
  // Ticks are exactly one frame apart in virtual time, which is the pacing the frame-rate lock
  // exists to approximate; the lock itself would reject a tick exactly one budget after the last,
  // so it is kept off here.
  scene_.lock_frame_rate = 0;
  clock_.Set(static_cast<int32_t>(std::min<int64_t>(tick_ * 1000 / fps_, INT32_MAX)));
  ++tick_;
  playback_.Tick(renderer_);
  return renderer_.last_frame().drawn_frame;
}

}  // namespace vl::render
