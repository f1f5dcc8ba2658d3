#include "render/playback.h"

#include <cmath>
#include <cstdio>

#include "engine/numeric.h"

namespace vl::render {

using engine::SceneState;

bool LockAdmits(SceneState& scene, int32_t now_ms) {
  // Integer budget: 40 ms at 25 fps, 33 at 30, 20 at 50. A tick exactly one budget after the last
  // is still too early. A rate the program never sets (0 or less) leaves no budget instead of
  // dividing by zero.
  int64_t budget = scene.locked_fps > 0 ? 1000 / scene.locked_fps : 0;
  int64_t elapsed = static_cast<int64_t>(now_ms) - scene.lock_last_ms;
  if (elapsed <= budget) return false;
  scene.lock_last_ms = now_ms;
  return true;
}

float FoldAngle(float a) {
  if (!std::isfinite(a)) return std::isnan(a) ? a : 0.0f;
  // Beyond this, adding 720 one step at a time would take too long (and past 2^33 it would not
  // change the value at all), so the whole turns are removed in one go.
  if (std::fabs(a) > 1.0e6f) a = std::fmod(a, 720.0f);
  while (a < -360.0f) a += 720.0f;
  while (a > 360.0f) a -= 720.0f;
  return a;
}

void FoldTextAngles(SceneState& scene) {
  scene.work.text_rot_x = FoldAngle(scene.work.text_rot_x);
  scene.work.text_rot_y = FoldAngle(scene.work.text_rot_y);
  scene.work.text_rot_z = FoldAngle(scene.work.text_rot_z);
}

void RefreshPhotoExtents(SceneState& scene) {
  // Photo B's extent is refreshed only after a photo load reset its layout state; photo A's always.
  if (!AboveOne(scene.photo_b_layout_state)) {
    scene.photo_b_extent_x = static_cast<float>(scene.photo_b_width[0]);
    scene.photo_b_extent_y = static_cast<float>(scene.photo_b_height[0]);
  }
  scene.photo_a_extent_x = static_cast<float>(scene.photo_a_width[0]);
  scene.photo_a_extent_y = static_cast<float>(scene.photo_a_height[0]);
  scene.photo_a_layout_state = 2.0f;
  scene.photo_b_layout_state = 2.0f;
}

void UpdatePlayingState(SceneState& scene) {
  // Looping happens here: the advance stops playback at the end, and this restarts it.
  if (!AboveOne(scene.stop_requested) && IsOn(scene.loop_sequence) && scene.keyframe_count != 0) scene.playing = 1;
  if (IsOn(scene.stop_requested)) scene.playing = 0;
}

void AdvanceFrame(SceneState& scene, PlaybackPanel* panel) {
  if (panel) panel->SetSliderPosition(scene.current_frame);
  if (scene.playing == 0) return;
  const int32_t end = engine::PlayedFrameCount(scene);
  if (scene.current_frame < end) ++scene.current_frame;
  if (panel) panel->SetFrameNumber(panel->SliderPosition());
  if (scene.current_frame == end) {
    // Frame `end` itself is never drawn: the counter rewinds before the next tick.
    scene.playing = 0;
    if (panel) {
      panel->SetSliderPosition(scene.current_frame);
      panel->SetFrameNumber(scene.current_frame);
    }
    scene.current_frame = 0;
  }
}

std::string FpsLabelText(int measured_fps) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%d", measured_fps + 3);
  return std::string(buf) + " Fps";
}

void MeasureFrameRate(SceneState& scene, int32_t now_ms, PlaybackPanel* panel) {
  ++scene.fps_frame_count;
  if (static_cast<int64_t>(now_ms) - scene.fps_window_start_ms > 1010) {
    scene.measured_fps = scene.fps_frame_count;
    scene.fps_frame_count = 0;
    if (panel) panel->SetFpsLabel(FpsLabelText(scene.measured_fps));
    scene.fps_window_start_ms = now_ms;
  }
}

bool Playback::Tick(FrameDrawer& drawer) {
  if (scene_.lock_frame_rate != 0 && !LockAdmits(scene_, clock_.NowMs())) return false;

  // Frame step.
  if (IsOn(scene_.loop_window_request)) {
    if (open_loop_window_) open_loop_window_();
    scene_.loop_window_request = 0.0f;
  }
  RefreshPhotoExtents(scene_);
  FoldTextAngles(scene_);
  sleeper_.SleepMs(kFrameStepPauseMs);
  UpdatePlayingState(scene_);
  drawer.DrawFrameStep(panel_);  // GL: normalise, clear, material, colour, the frame, the advance
  MeasureFrameRate(scene_, clock_.NowMs(), panel_);
  return true;
}

}  // namespace vl::render
