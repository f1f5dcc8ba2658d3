#include "render/echo_tiles.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace vl::render {

namespace {

struct Interval {
  int64_t lo = 0, hi = -1;  // inclusive
};

// A texel range wrapped into [0, size): one interval, or two when it crosses the edge.
int Wrap(int64_t lo, int64_t hi, int size, std::array<Interval, 2>& out) {
  if (hi - lo + 1 >= size) {
    out[0] = {0, size - 1};
    return 1;
  }
  const int64_t a = ((lo % size) + size) % size;
  const int64_t b = ((hi % size) + size) % size;
  if (a <= b) {
    out[0] = {a, b};
    return 1;
  }
  out[0] = {a, size - 1};
  out[1] = {0, b};
  return 2;
}

// The texels a layer of inset t may read over output pixels a..b-1 of n: the bilinear footprint
// of the pixel centres, one texel wider on each side for the rounding of coordinates (the
// rasteriser interpolates them across the canvas in single precision).
Interval Footprint(double t, int a, int b, int n, int size) {
  constexpr double kFar = 1e15;
  const double p0 = (a + 0.5) / n, p1 = (b - 0.5) / n;
  const double u0 = t + (1.0 - 2.0 * t) * p0, u1 = t + (1.0 - 2.0 * t) * p1;
  const double lo = std::min(u0, u1) * size - 0.5, hi = std::max(u0, u1) * size - 0.5;
  if (!std::isfinite(lo) || !std::isfinite(hi) || std::fabs(lo) > kFar || std::fabs(hi) > kFar) return {0, size};
  return {static_cast<int64_t>(std::floor(lo)) - 1, static_cast<int64_t>(std::floor(hi)) + 2};
}

}  // namespace

void CaptureContent::Set(std::span<const uint8_t> texels, int width, int height) {
  width_ = height_ = blocks_x_ = blocks_y_ = 0;
  table_.clear();
  if (width < 1 || height < 1 || texels.size() < static_cast<size_t>(width) * static_cast<size_t>(height)) return;
  std::array<int, 256> count{};
  for (size_t i = 0; i < static_cast<size_t>(width) * static_cast<size_t>(height); ++i) ++count[texels[i]];
  background_ = static_cast<int>(std::max_element(count.begin(), count.end()) - count.begin());
  width_ = width;
  height_ = height;
  blocks_x_ = (width + kBlock - 1) / kBlock;
  blocks_y_ = (height + kBlock - 1) / kBlock;
  std::vector<uint8_t> busy(static_cast<size_t>(blocks_x_) * static_cast<size_t>(blocks_y_), 0);
  for (int y = 0; y < height; ++y) {
    const uint8_t* row = texels.data() + static_cast<size_t>(y) * static_cast<size_t>(width);
    for (int x = 0; x < width; ++x)
      if (row[x] != background_)
        busy[static_cast<size_t>(y / kBlock) * static_cast<size_t>(blocks_x_) + x / kBlock] = 1;
  }
  const size_t stride = static_cast<size_t>(blocks_x_) + 1;
  table_.assign(stride * (static_cast<size_t>(blocks_y_) + 1), 0);
  for (int by = 0; by < blocks_y_; ++by) {
    int32_t run = 0;
    for (int bx = 0; bx < blocks_x_; ++bx) {
      run += busy[static_cast<size_t>(by) * static_cast<size_t>(blocks_x_) + static_cast<size_t>(bx)];
      table_[(by + 1) * stride + bx + 1] = table_[by * stride + bx + 1] + run;
    }
  }
}

bool CaptureContent::BlockRect(int bx0, int bx1, int by0, int by1) const {
  const size_t stride = static_cast<size_t>(blocks_x_) + 1;
  const int32_t n = table_[(by1 + 1) * stride + bx1 + 1] - table_[by0 * stride + bx1 + 1] -
                    table_[(by1 + 1) * stride + bx0] + table_[by0 * stride + bx0];
  return n > 0;
}

bool CaptureContent::AnyBesidesBackground(int64_t x0, int64_t x1, int64_t y0, int64_t y1) const {
  if (width_ < 1 || height_ < 1) return true;
  if (x1 < x0 || y1 < y0) return false;
  std::array<Interval, 2> xs, ys;
  const int nx = Wrap(x0, x1, width_, xs);
  const int ny = Wrap(y0, y1, height_, ys);
  for (int i = 0; i < nx; ++i)
    for (int j = 0; j < ny; ++j)
      if (BlockRect(static_cast<int>(xs[i].lo / kBlock), static_cast<int>(xs[i].hi / kBlock),
                    static_cast<int>(ys[j].lo / kBlock), static_cast<int>(ys[j].hi / kBlock)))
        return true;
  return false;
}

std::vector<EchoTile> PlanEchoTiles(const CaptureContent& content, std::span<const float> insets, int width, int height,
                                    int tile) {
  std::vector<EchoTile> tiles;
  if (width < 1 || height < 1) return tiles;
  tile = std::max(tile, 1);
  const int n = static_cast<int>(insets.size());
  const int cols = (width + tile - 1) / tile, rows = (height + tile - 1) / tile;
  // Footprints per layer and column, per layer and row: x and y are independent.
  std::vector<Interval> fx(static_cast<size_t>(n) * cols), fy(static_cast<size_t>(n) * rows);
  for (int i = 0; i < n; ++i) {
    for (int c = 0; c < cols; ++c)
      fx[static_cast<size_t>(i) * cols + c] =
          Footprint(insets[i], c * tile, std::min(width, (c + 1) * tile), width, content.width());
    for (int r = 0; r < rows; ++r)
      fy[static_cast<size_t>(i) * rows + r] =
          Footprint(insets[i], r * tile, std::min(height, (r + 1) * tile), height, content.height());
  }
  tiles.reserve(static_cast<size_t>(cols) * rows);
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      EchoTile t;
      t.x0 = c * tile, t.x1 = std::min(width, (c + 1) * tile);
      t.y0 = r * tile, t.y1 = std::min(height, (r + 1) * tile);
      t.first = n, t.last = -1;
      for (int i = 0; i < n; ++i) {
        const Interval& x = fx[static_cast<size_t>(i) * cols + c];
        const Interval& y = fy[static_cast<size_t>(i) * rows + r];
        if (content.AnyBesidesBackground(x.lo, x.hi, y.lo, y.hi)) {
          t.first = std::min(t.first, i);
          t.last = i;
        }
      }
      if (t.first > t.last) t.first = 0, t.last = -1;
      tiles.push_back(t);
    }
  }
  return tiles;
}

}  // namespace vl::render
