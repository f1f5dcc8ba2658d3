#include "render/echo_plan.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <utility>

namespace vl::render {

namespace {

// The fast sums: half the output in each direction. A layer may go to the reduced sum when the
// capture texels across it are no more than the reduced pixels across: the echo holds no finer
// detail than its capture, so a sum at about the capture's own resolution loses little once the
// output is larger (half of 1920 x 1080 is about 512 x 512 across its height), and the bend
// budget below keeps the sharp-edged bright layers at full size. Measured on the bundled loops
// and the stress loops of the tests, 1920 x 1080 included: at most 9 levels off the reference,
// 0.3 on average.
constexpr float kFastSoftTexelsPerPixel = 1.0f;
// And the reduced layers together change slope by at most this many levels per pixel where
// their edges meet, so spreading their sum is off by about half that at most. The bundled loops
// stay under 19 at 400 x 320; strongly magnified stacks of bright layers at 1280 x 720 reach
// 100 to 1,200, 26 to 38 levels off when spread.
constexpr double kFastBendBudget = 20.0;

// What the fast sums weigh when choosing between the reduced and the full way, in reads of one
// texel for one output pixel, measured on a software renderer: a pass's own cost whatever it
// draws; a reduced sum's add, per pixel; drawing into the reduced target at all (switching
// targets there and back holds up the renderer's threads).
constexpr double kPassCost = 4500;
constexpr double kAddCost = 1.0;
constexpr double kReducedTargetCost = 400000;

std::vector<float> InsetsOf(const EchoInputs& inputs) {
  std::vector<float> insets;
  insets.reserve(inputs.layers.size());
  for (const EchoLayer& l : inputs.layers) insets.push_back(l.inset);
  return insets;
}

}  // namespace

int ProgramSize(int count) { return std::min(kMaxLayersPerPass, (count + 3) / 4 * 4); }

int ToUnorm8(float value) {
  if (!(value > 0.0f)) return 0;  // NaN too
  if (value >= 1.0f) return 255;
  return static_cast<int>(std::nearbyint(value * 255.0f));
}

int ConstantLayerValue(float colour, int grey8, int alpha8) {
  const float grey = static_cast<float>(grey8) / 255.0f;
  const int c8 = ToUnorm8(std::clamp(colour, 0.0f, 1.0f) * grey);
  return (c8 * alpha8 + 127) / 255;
}

bool EchoInputs::operator==(const EchoInputs& o) const {
  if (texture != o.texture || colour != o.colour || lit != o.lit || grey != o.grey || serial != o.serial ||
      layers.size() != o.layers.size())
    return false;
  for (size_t i = 0; i < layers.size(); ++i)
    if (layers[i].inset != o.layers[i].inset || layers[i].alpha8 != o.layers[i].alpha8) return false;
  return true;
}

// The fast sums' reduced size: half the output in each direction.
int ReducedSize(int n) { return (n + 1) / 2; }

// Which layers of an echo the fast sums add at reduced size. A layer goes there when the capture
// texels across it span enough reduced pixels to be smooth; the others (the outer layers, and the
// minifying ones far past the middle) keep their sharp edges at full size. Zoom layers share the
// centre, so their edges there line up and a coarse sum of them all would smear a step of every
// layer at once. A capture of one grey level has no edges: all of it goes to the reduced sum (lit,
// the colour's steps blur by a pixel).
std::vector<char> SoftLayers(const EchoInputs& inputs, int width, int height) {
  const int tw = ReducedSize(width), th = ReducedSize(height);
  std::vector<char> soft(inputs.layers.size(), 0);
  if (tw >= width && th >= height) return soft;
  // A layer's steepest step: a capture edge from black to white spread over the output pixels
  // one texel spans, at most its whole level (the colour's brightest channel at the layer's
  // alpha; lit, any colour) per that many pixels.
  float brightest = 1.0f;
  if (!inputs.lit) brightest = std::clamp(std::max({inputs.colour[0], inputs.colour[1], inputs.colour[2]}), 0.0f, 1.0f);
  const int c8 = ToUnorm8(brightest);
  std::vector<std::pair<double, size_t>> slopes;
  for (size_t i = 0; i < inputs.layers.size(); ++i) {
    const EchoLayer& l = inputs.layers[i];
    const float span = std::fabs(1.0f - 2.0f * l.inset) * 512.0f;  // capture texels across the output
    if (inputs.grey >= 0) {
      soft[i] = 1;
      continue;
    }
    if (span > kFastSoftTexelsPerPixel * static_cast<float>(std::min(tw, th))) continue;
    const double pixels_per_texel = static_cast<double>(std::min(width, height)) / std::max(span, 1e-6f);
    const int level = (c8 * l.alpha8 + 127) / 255;  // the byte the layer adds, rounded as drawn
    slopes.push_back({static_cast<double>(level) / pixels_per_texel, i});
  }
  // Spread from half size, a bend in the sum is cut by up to half its change of slope; zoom
  // layers bend at the same place in the middle, so their slopes add. The smoothest layers go to
  // the reduced sum while what they could bend together stays within the budget.
  std::sort(slopes.begin(), slopes.end());
  double total = 0;
  for (const auto& [slope, i] : slopes) {
    total += slope;
    if (total > kFastBendBudget) break;
    soft[i] = 1;
  }
  return soft;
}

std::vector<PassGroup> PlanGroups(const EchoInputs& inputs, const std::vector<EchoTile>& tiles,
                                  const std::vector<char>& is_flat, int background, bool table, const LateSum* late,
                                  std::array<int, 3>* late_all) {
  const int n = static_cast<int>(inputs.layers.size());
  const bool lit = inputs.lit;
  // Tiles that sample the same layers are drawn together.
  std::map<std::pair<int, int>, std::vector<size_t>> groups;
  for (size_t k = 0; k < tiles.size(); ++k)
    if (!is_flat[k]) groups[{tiles[k].first, tiles[k].last}].push_back(k);

  // What the layers add where they read only the background, summed over the layers a group
  // leaves out. Unlit: one value per channel, prefix sums over the layers. Lit: per 8-bit product
  // of the pixel's colour and the background, a table row per group (nothing on black).
  auto prefix_levels = [&](const std::array<float, 3>& colour, auto alpha8_of) {
    std::vector<std::array<int, 3>> sums(static_cast<size_t>(n) + 1, {0, 0, 0});
    for (size_t i = 0; i < static_cast<size_t>(n); ++i)
      for (size_t c = 0; c < 3; ++c)
        sums[i + 1][c] = sums[i][c] + ConstantLayerValue(std::clamp(colour[c], 0.0f, 1.0f), background, alpha8_of(i));
    return sums;
  };
  std::vector<std::array<int, 3>> constant(static_cast<size_t>(n) + 1, {0, 0, 0});
  if (background >= 0 && !lit)
    constant = prefix_levels(inputs.colour, [&](size_t i) { return inputs.layers[i].alpha8; });
  // The late sum's constant part: unlit, per channel.
  std::vector<std::array<int, 3>> late_constant(static_cast<size_t>(n) + 1, {0, 0, 0});
  if (late && !late->same && background >= 0)
    late_constant = prefix_levels(late->colour, [&](size_t i) { return late->alpha8[i]; });
  for (size_t c = 0; c < 3; ++c) (*late_all)[c] = std::min(late_constant[static_cast<size_t>(n)][c], 255);
  // What the layers outside first..last add.
  auto outside = [n](const std::vector<std::array<int, 3>>& sums, int first, int last) {
    std::array<int, 3> value{};
    for (size_t c = 0; c < 3; ++c) {
      int v = sums[static_cast<size_t>(n)][c];
      if (last >= first) v -= sums[static_cast<size_t>(last) + 1][c] - sums[static_cast<size_t>(first)][c];
      value[c] = std::min(v, 255);
    }
    return value;
  };
  std::vector<PassGroup> planned;
  for (auto& [range, members] : groups) {
    PassGroup g;
    g.first = range.first;
    g.last = range.second;
    g.members = std::move(members);
    g.flat = outside(constant, g.first, g.last);
    g.late_flat = outside(late_constant, g.first, g.last);
    const int sampled = g.last >= g.first ? g.last - g.first + 1 : 0;
    g.drawn = sampled > 0 || (table && sampled < n) || g.flat != std::array<int, 3>{0, 0, 0} ||
              g.late_flat != std::array<int, 3>{0, 0, 0};
    planned.push_back(std::move(g));
  }
  return planned;
}

std::vector<float> BackgroundRows(const EchoInputs& inputs, const std::vector<PassGroup>& groups) {
  const int n = static_cast<int>(inputs.layers.size());
  // prefix[i][c8]: what layers 0..i-1 add for the product c8.
  std::vector<int> prefix((static_cast<size_t>(n) + 1) * 256, 0);
  for (int i = 0; i < n; ++i)
    for (int c8 = 0; c8 < 256; ++c8)
      prefix[(static_cast<size_t>(i) + 1) * 256 + c8] =
          prefix[static_cast<size_t>(i) * 256 + c8] + (c8 * inputs.layers[static_cast<size_t>(i)].alpha8 + 127) / 255;
  std::vector<float> rows(groups.size() * 256, 0.0f);
  for (size_t row = 0; row < groups.size(); ++row) {
    const int first = groups[row].first, last = groups[row].last;
    for (int c8 = 0; c8 < 256; ++c8) {
      int outside = prefix[static_cast<size_t>(n) * 256 + c8];
      if (last >= first)
        outside -= prefix[(static_cast<size_t>(last) + 1) * 256 + c8] - prefix[static_cast<size_t>(first) * 256 + c8];
      rows[row * 256 + static_cast<size_t>(c8)] = static_cast<float>(std::min(outside, 255));
    }
  }
  return rows;
}

std::vector<EchoTile> EchoTilesOf(const EchoInputs& inputs, const CaptureContent* content, int width, int height) {
  if (inputs.grey < 0 && content) return PlanEchoTiles(*content, InsetsOf(inputs), width, height, kEchoTile);
  const int last = inputs.grey >= 0 ? -1 : static_cast<int>(inputs.layers.size()) - 1;
  const int cols = (width + kEchoTile - 1) / kEchoTile, rows = (height + kEchoTile - 1) / kEchoTile;
  std::vector<EchoTile> tiles;
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c)
      tiles.push_back({c * kEchoTile, r * kEchoTile, std::min(width, (c + 1) * kEchoTile),
                       std::min(height, (r + 1) * kEchoTile), 0, last});
  return tiles;
}

std::vector<std::array<int, 4>> MemberRects(const std::vector<EchoTile>& tiles, const std::vector<size_t>& members) {
  std::vector<std::array<int, 4>> rects;
  std::map<std::pair<int, int>, size_t> below;  // by x range: the rectangle a run of the next row may extend
  for (size_t i = 0; i < members.size();) {
    const EchoTile& first = tiles[members[i]];
    int x1 = first.x1;
    size_t j = i + 1;
    while (j < members.size() && tiles[members[j]].y0 == first.y0 && tiles[members[j]].x0 == x1)
      x1 = tiles[members[j++]].x1;
    auto it = below.find({first.x0, x1});
    if (it != below.end() && rects[it->second][3] == first.y0) {
      rects[it->second][3] = first.y1;
    } else {
      below[{first.x0, x1}] = rects.size();
      rects.push_back({first.x0, first.y0, x1, first.y1});
    }
    i = j;
  }
  return rects;
}

double SumCost(const EchoInputs& inputs, const CaptureContent* content, int width, int height, double* drawn_area) {
  // In reads per output pixel: a sampled layer one; lit, the colour one more where anything is
  // read, the background table three more everywhere over a background.
  const double area = static_cast<double>(width) * height;
  if (drawn_area) *drawn_area = 0;
  if (inputs.layers.empty() || width < 1 || height < 1) return 0;
  if (inputs.grey >= 0) content = nullptr;
  const int background = inputs.grey >= 0 ? inputs.grey : content ? content->background() : -1;
  const bool table = inputs.lit && background > 0;
  if (!content) {
    const double reads =
        inputs.grey >= 0 ? (table ? 4.0 : 0.0) : static_cast<double>(inputs.layers.size()) + (inputs.lit ? 1 : 0);
    if (drawn_area && reads > 0) *drawn_area = area;
    return reads * area;
  }
  double reads = 0;
  std::set<std::pair<int, int>> groups;
  for (const EchoTile& t : PlanEchoTiles(*content, InsetsOf(inputs), width, height, kEchoTile)) {
    const int sampled = std::max(t.last - t.first + 1, 0);
    const double per_pixel = sampled + (table ? 4 : inputs.lit && sampled ? 1 : 0);
    const double pixels = static_cast<double>(t.x1 - t.x0) * (t.y1 - t.y0);
    reads += per_pixel * pixels;
    if (drawn_area && per_pixel > 0) *drawn_area += pixels;
    if (per_pixel > 0) groups.insert({t.first, t.last});
  }
  int passes = 0;
  for (const auto& [first, last] : groups)
    passes += std::max((last - first + kMaxLayersPerPass) / kMaxLayersPerPass, 1);
  return reads + passes * kPassCost;
}

bool ReducedPays(const CaptureContent* content, const EchoInputs& all, const EchoInputs& sharp, const EchoInputs& soft,
                 int width, int height, int reduced_adds, int full_adds) {
  if (soft.layers.empty()) return false;
  double full_area = 0, soft_area = 0;
  const double full = SumCost(all, content, width, height, &full_area) + full_adds * (kAddCost * full_area + kPassCost);
  // A reduced tile drawn is added over the output pixels it spreads to.
  const double reduced =
      SumCost(sharp, content, width, height, nullptr) +
      SumCost(soft, content, ReducedSize(width), ReducedSize(height), &soft_area) +
      reduced_adds * (kAddCost * std::min(4.0 * soft_area, static_cast<double>(width) * height) + kPassCost) +
      kReducedTargetCost;
  return reduced < full;
}

}  // namespace vl::render
