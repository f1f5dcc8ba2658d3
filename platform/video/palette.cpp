#include "platform/video/palette.h"

#include <algorithm>
#include <numeric>

namespace vl::video {
namespace {

constexpr int kBins = 1 << 15;

int BinOf(const uint8_t* p) { return ((p[0] >> 3) << 10) | ((p[1] >> 3) << 5) | (p[2] >> 3); }
int Channel(int bin, int axis) { return (bin >> (10 - 5 * axis)) & 31; }

struct Bin {
  uint32_t count = 0;
  uint64_t sum[3] = {0, 0, 0};
};

// A box is a run [begin, end) of the non-empty bins, kept sorted along the axis it was last cut.
struct Box {
  size_t begin, end;
  uint64_t pixels;
  int longest_axis, extent;
};

// A box's pixel count and its longest axis.
void Measure(const std::vector<int>& used, const std::vector<Bin>& bins, Box& box) {
  int lo[3] = {31, 31, 31}, hi[3] = {0, 0, 0};
  box.pixels = 0;
  for (size_t i = box.begin; i < box.end; ++i) {
    for (int a = 0; a < 3; ++a) {
      lo[a] = std::min(lo[a], Channel(used[i], a));
      hi[a] = std::max(hi[a], Channel(used[i], a));
    }
    box.pixels += bins[static_cast<size_t>(used[i])].count;
  }
  box.longest_axis = 0;
  box.extent = -1;
  for (int a = 0; a < 3; ++a)
    if (hi[a] - lo[a] > box.extent) box.extent = hi[a] - lo[a], box.longest_axis = a;
}

// Up to 256 boxes over the non-empty bins `used` (reordered as the boxes are cut).
std::vector<Box> MedianCut(std::vector<int>& used, const std::vector<Bin>& bins) {
  std::vector<Box> boxes;
  boxes.push_back(Box{0, used.size(), 0, 0, 0});
  Measure(used, bins, boxes.back());
  while (boxes.size() < 256) {
    // Cut the box holding the most pixels among those that can still be cut.
    size_t pick = boxes.size();
    for (size_t i = 0; i < boxes.size(); ++i)
      if (boxes[i].end - boxes[i].begin > 1 && (pick == boxes.size() || boxes[i].pixels > boxes[pick].pixels)) pick = i;
    if (pick == boxes.size()) break;
    Box box = boxes[pick];
    const int axis = box.longest_axis;
    auto first = used.begin() + static_cast<long>(box.begin), last = used.begin() + static_cast<long>(box.end);
    std::sort(first, last, [axis](int a, int b) {
      const int ca = Channel(a, axis), cb = Channel(b, axis);
      return ca != cb ? ca < cb : a < b;
    });
    // The median by pixel count, keeping at least one bin on each side.
    uint64_t seen = 0;
    size_t cut = box.begin + 1;
    for (size_t i = box.begin; i + 1 < box.end; ++i) {
      seen += bins[static_cast<size_t>(used[i])].count;
      cut = i + 1;
      if (seen * 2 >= box.pixels) break;
    }
    Box low{box.begin, cut, 0, 0, 0}, high{cut, box.end, 0, 0, 0};
    Measure(used, bins, low);
    Measure(used, bins, high);
    boxes[pick] = low;
    boxes.push_back(high);
  }
  return boxes;
}

}  // namespace

PalettedFrame QuantiseFrame(const uint8_t* rgba, int width, int height) {
  PalettedFrame out;
  const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
  out.indices.resize(n);
  std::vector<Bin> bins(kBins);
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* p = rgba + i * 4;
    Bin& b = bins[static_cast<size_t>(BinOf(p))];
    ++b.count;
    for (int c = 0; c < 3; ++c) b.sum[c] += p[c];
  }
  std::vector<int> used;
  for (int i = 0; i < kBins; ++i)
    if (bins[static_cast<size_t>(i)].count) used.push_back(i);
  if (used.empty()) return out;

  const std::vector<Box> boxes = MedianCut(used, bins);

  // Each box's colour is the mean of its pixels; every bin maps to its nearest colour.
  std::vector<int16_t> nearest(kBins, -1);
  int colour[256][3] = {};
  out.colours = static_cast<int>(boxes.size());
  for (size_t k = 0; k < boxes.size(); ++k) {
    uint64_t sum[3] = {0, 0, 0};
    for (size_t i = boxes[k].begin; i < boxes[k].end; ++i)
      for (int c = 0; c < 3; ++c) sum[c] += bins[static_cast<size_t>(used[i])].sum[c];
    for (int c = 0; c < 3; ++c) colour[k][c] = static_cast<int>((sum[c] + boxes[k].pixels / 2) / boxes[k].pixels);
    out.palette[k] = 0xff000000u | (static_cast<uint32_t>(colour[k][0]) << 16) |
                     (static_cast<uint32_t>(colour[k][1]) << 8) | static_cast<uint32_t>(colour[k][2]);
  }
  for (int bin : used) {
    const uint64_t count = bins[static_cast<size_t>(bin)].count;
    int mean[3];
    for (int c = 0; c < 3; ++c) mean[c] = static_cast<int>(bins[static_cast<size_t>(bin)].sum[c] / count);
    int best = 0, best_d = INT32_MAX;
    for (int k = 0; k < out.colours; ++k) {
      const int dr = mean[0] - colour[k][0], dg = mean[1] - colour[k][1], db = mean[2] - colour[k][2];
      const int d = dr * dr + dg * dg + db * db;
      if (d < best_d) best_d = d, best = k;
    }
    nearest[static_cast<size_t>(bin)] = static_cast<int16_t>(best);
  }
  for (size_t i = 0; i < n; ++i)
    out.indices[i] = static_cast<uint8_t>(nearest[static_cast<size_t>(BinOf(rgba + i * 4))]);
  return out;
}

}  // namespace vl::video
