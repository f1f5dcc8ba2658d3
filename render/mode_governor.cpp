#include "render/mode_governor.h"

#include <algorithm>

namespace vl::render {

bool ModeGovernor::FrameDrawn(double cost_ms, int fps) {
  const double budget = 1000.0 / std::max(fps, 1);
  if (mode_ == RenderMode::kExact) {
    costs_.push_back(cost_ms);
    if (static_cast<int>(costs_.size()) > kWindow) costs_.pop_front();
    if (static_cast<int>(costs_.size()) < kWindow) return false;
    // The median: one slow frame (a load, a resize) is not a missed rate.
    std::deque<double> sorted = costs_;
    std::sort(sorted.begin(), sorted.end());
    if (sorted[kWindow / 2] <= budget * 1.05) {
      if (returned_recently_) failed_returns_ = 0, returned_recently_ = false;
      return false;
    }
    // Missing the rate: fast, and stay there at least two seconds (longer after each return to
    // exact that missed again, up to half a minute).
    if (returned_recently_) failed_returns_ = std::min(failed_returns_ + 1, 4);
    returned_recently_ = false;
    mode_ = RenderMode::kFast;
    costs_.clear();
    calm_frames_ = 0;
    calm_frames_needed_ = std::max(fps, 1) * 2 << failed_returns_;
    calm_frames_needed_ = std::min(calm_frames_needed_, std::max(fps, 1) * 30);
    status_ = "Fast drawing: frames missed " + std::to_string(fps) + " fps";
    return true;
  }
  // Fast: back to exact once fast frames have stayed inside half the budget long enough.
  calm_frames_ = cost_ms <= budget * 0.5 ? calm_frames_ + 1 : 0;
  if (calm_frames_ < calm_frames_needed_) return false;
  mode_ = RenderMode::kExact;
  returned_recently_ = true;
  costs_.clear();
  status_ = "Exact drawing: frames keep " + std::to_string(fps) + " fps";
  return true;
}

}  // namespace vl::render
