// Where a player hands each frame it shows, for programs outside this one (a network stream, a
// camera device). Deliver is called on the drawing thread and must not block it: a sink that falls
// behind drops frames and counts them.
#pragma once
#include <cstdint>

namespace vl::live {

struct ShownFrame {
  const uint8_t* rgba;  // width * height RGBA8 pixels, rows top to bottom, stride_bytes apart
  int width;
  int height;
  int stride_bytes;
  int64_t index;   // frames shown since the player started
  double seconds;  // the player's clock when it was shown
};

class FrameSink {
 public:
  virtual ~FrameSink() = default;
  virtual void Deliver(const ShownFrame& frame) = 0;
};

}  // namespace vl::live
