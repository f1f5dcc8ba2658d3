// Defined float-to-integer conversions. A loop file may hold any float (NaN, infinities, 1e30)
// and every place that turns one into a count, index or mode goes through these. No OpenGL, no Qt.
#pragma once
#include <cmath>
#include <cstdint>
#include <limits>

namespace vl {

// Truncates toward zero like a C cast, but NaN gives 0 and out-of-range values saturate.
inline int32_t TruncToInt(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 2147483647.0) return std::numeric_limits<int32_t>::max();
  if (v <= -2147483648.0) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

// Truncates toward zero and clamps into [lo, hi]; NaN gives lo when 0 is outside the range.
inline int32_t TruncToRange(double v, int32_t lo, int32_t hi) {
  int32_t i = TruncToInt(v);
  if (i < lo) return lo;
  if (i > hi) return hi;
  return i;
}

// The design's switch rules: a switch is on at 2.0 or more and off when not above 1.0.
inline bool IsOn(float v) { return v >= 2.0f; }
inline bool AboveOne(float v) { return v > 1.0f; }

}  // namespace vl
