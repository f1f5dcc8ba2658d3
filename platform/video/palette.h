// Reducing a frame to at most 256 colours for GIF: a median cut over a 5-bit-per-channel
// histogram of the frame, each colour the mean of the pixels it stands for, every pixel mapped to
// the nearest colour. No dithering, so the same frame always gives the same indices.
#pragma once
#include <array>
#include <cstdint>
#include <vector>

namespace vl::video {

struct PalettedFrame {
  std::vector<uint8_t> indices;         // width * height, rows top to bottom
  std::array<uint32_t, 256> palette{};  // 0xAARRGGBB, opaque; entries past `colours` are black
  int colours = 0;
};

// `rgba` holds width * height pixels; alpha is ignored.
PalettedFrame QuantiseFrame(const uint8_t* rgba, int width, int height);

}  // namespace vl::video
