// The playback tick: frame-rate lock, frame step, frame advance, looping and the frame-rate
// label. Platform-free: time comes from an injected Clock, the pause from a Sleeper, drawing from
// a FrameDrawer and panel updates go to a PlaybackPanel. No OpenGL here.
#pragma once
#include <functional>
#include <string>

#include "engine/scene_state.h"
#include "render/clock.h"

namespace vl::render {

// What the control panel shows of playback; the desktop program implements it.
class PlaybackPanel {
 public:
  virtual ~PlaybackPanel() = default;
  virtual void SetSliderPosition(int frame) = 0;
  virtual int SliderPosition() const = 0;
  virtual void SetFrameNumber(int frame) = 0;             // the frame number box
  virtual void SetFpsLabel(const std::string& text) = 0;  // e.g. "50 Fps"
};

// The GL half of the frame step: normalising, clearing, material and colour, then the frame
// itself (which ends with AdvanceFrame).
class FrameDrawer {
 public:
  virtual ~FrameDrawer() = default;
  virtual void DrawFrameStep(PlaybackPanel* panel) = 0;
};

// ---- The steps, each usable alone ------------------------------------------------------------

// The lock's skip rule: true (and the tick is admitted and remembered) unless the tick comes
// 1000 / locked_fps ms or less after the last admitted one.
bool LockAdmits(engine::SceneState& scene, int32_t now_ms);

// Brings an angle back near [-360, 360] by whole turns of 720 degrees. Values too large for
// 720-degree steps to change them are folded arithmetically; infinities become 0.
float FoldAngle(float degrees);
void FoldTextAngles(engine::SceneState& scene);

void RefreshPhotoExtents(engine::SceneState& scene);
void UpdatePlayingState(engine::SceneState& scene);

// The frame counter's step after drawing: slider, advance, end of range, rewind.
void AdvanceFrame(engine::SceneState& scene, PlaybackPanel* panel);

// Counts a tick into the frame-rate window and refreshes the label when the window closes.
void MeasureFrameRate(engine::SceneState& scene, int32_t now_ms, PlaybackPanel* panel);

// "%d Fps" of the count plus 3, as the panel shows it.
std::string FpsLabelText(int measured_fps);

// ---- The tick --------------------------------------------------------------------------------

// The pause every frame step takes before drawing; what a frame costs the user is measured
// without it.
inline constexpr int kFrameStepPauseMs = 10;

class Playback {
 public:
  Playback(engine::SceneState& scene, const Clock& clock, Sleeper& sleeper)
      : scene_(scene), clock_(clock), sleeper_(sleeper) {}

  void set_panel(PlaybackPanel* panel) { panel_ = panel; }
  PlaybackPanel* panel() const { return panel_; }
  // Opens the big loop window when a tick finds it requested (desktop only).
  void set_loop_window_opener(std::function<void()> open) { open_loop_window_ = std::move(open); }

  // One paint: false when the lock skipped it (nothing drawn, nothing to present), true when a
  // frame was drawn and should be presented. The host makes its context current first.
  bool Tick(FrameDrawer& drawer);

 private:
  engine::SceneState& scene_;
  const Clock& clock_;
  Sleeper& sleeper_;
  PlaybackPanel* panel_ = nullptr;
  std::function<void()> open_loop_window_;
};

}  // namespace vl::render
