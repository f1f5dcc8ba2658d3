// Where an echo's layers can add anything: a glow capture is mostly its background level, and a
// layer that reads only background texels over a patch of the output adds a known constant there.
// The output is cut into tiles; for each tile the layers that may read anything else are found
// from a coarse map of the capture (which blocks of texels hold another level). No GL here: the
// capture's texels are handed in.
#pragma once
#include <cstdint>
#include <span>
#include <vector>

namespace vl::render {

// Which blocks of a capture hold a level other than its background, as a summed-area table.
class CaptureContent {
 public:
  static constexpr int kBlock = 8;  // texels per block side

  // `texels`: width x height 8-bit levels, rows bottom-up as GL returns them. The background is
  // the most common level. When a side is not a whole number of blocks, the last block on it
  // covers what is left.
  void Set(std::span<const uint8_t> texels, int width, int height);

  int width() const { return width_; }
  int height() const { return height_; }
  int background() const { return background_; }
  // True when any texel in columns x0..x1 and rows y0..y1 (inclusive, texel units) may differ
  // from the background. Ranges may run outside the image: they wrap around, as the repeat wrap
  // mode samples. Conservative: answers for whole blocks.
  bool AnyBesidesBackground(int64_t x0, int64_t x1, int64_t y0, int64_t y1) const;

 private:
  bool BlockRect(int bx0, int bx1, int by0, int by1) const;  // inclusive, inside the grid
  int width_ = 0, height_ = 0;
  int blocks_x_ = 0, blocks_y_ = 0;
  int background_ = 0;
  std::vector<int32_t> table_;  // (blocks_x_ + 1) x (blocks_y_ + 1)
};

// One rectangle of the output (pixels, origin lower left, x1/y1 exclusive) and the layers that
// must be sampled there: first..last (none when first > last); every other layer reads only
// background texels over the whole rectangle.
struct EchoTile {
  int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  int first = 0, last = -1;
};

// The layers' insets in order. A layer with inset t samples the capture at t + (1 - 2t) * p, p
// running from 0 to 1 across the output at pixel centres, bilinearly, with repeat wrapping.
// Tiles are `tile` pixels square (the last row and column take what is left).
std::vector<EchoTile> PlanEchoTiles(const CaptureContent& content, std::span<const float> insets, int width, int height,
                                    int tile);

}  // namespace vl::render
