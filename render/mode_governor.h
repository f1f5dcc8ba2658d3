// Chooses between exact and fast drawing for a player that should keep a frame rate: fast while
// frames take longer than the rate allows, exact again once fast frames are well inside it. Fed
// with the drawing time of each frame; knows nothing of GL or the window.
#pragma once
#include <deque>
#include <string>

#include "render/frame_renderer.h"

namespace vl::render {

class ModeGovernor {
 public:
  // Frames averaged before a decision.
  static constexpr int kWindow = 8;

  RenderMode mode() const { return mode_; }
  // One drawn frame that took `cost_ms` against a rate of `fps`. True when the mode changed.
  bool FrameDrawn(double cost_ms, int fps);
  // The status line for the current mode ("" before any change).
  const std::string& status() const { return status_; }

 private:
  RenderMode mode_ = RenderMode::kExact;
  std::deque<double> costs_;
  int calm_frames_needed_ = 0;  // fast frames inside half the budget before exact is tried again
  int calm_frames_ = 0;
  int failed_returns_ = 0;  // exact tried again and missed again: wait longer each time
  bool returned_recently_ = false;
  std::string status_;
};

}  // namespace vl::render
