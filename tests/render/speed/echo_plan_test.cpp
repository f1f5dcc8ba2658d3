// An echo's summing plan without a context: which layers the fast sums may spread from half size,
// and the constants and background-table rows that stand for the layers a pass leaves out.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <vector>

#include "render/echo_plan.h"
#include "render/echo_probes.h"

using vl::render::ConstantLayerValue;
using vl::render::EchoInputs;
using vl::render::EchoTile;
using vl::render::PassGroup;

namespace {

// n zoom layers from inset t0, 0.02 apart, each of alpha `alpha8`, in `colour`.
EchoInputs Stack(int n, float t0, int alpha8, float colour) {
  EchoInputs in;
  in.colour = {colour, colour, colour};
  for (int i = 0; i < n; ++i) in.layers.push_back({t0 + 0.02f * static_cast<float>(i), alpha8});
  return in;
}

int Count(const std::vector<char>& soft) { return static_cast<int>(std::count(soft.begin(), soft.end(), 1)); }

}  // namespace

// Layers magnified a few times over: a bright, opaque stack has steps that spreading from half size
// would cut by tens of levels where the layers' edges meet at the middle, so it stays at full size;
// the same stack faint goes to the reduced sum whole; and how far a texel spreads depends on the
// output size, so the bright stack is kept sharp at a small size too.
TEST(EchoPlan, FastSumsSpreadOnlyWhatStaysSmooth) {
  // Insets 0.4 to 0.45: 51 to 102 capture texels across the output.
  const EchoInputs bright = Stack(3, 0.40f, 255, 1.0f);
  const EchoInputs faint = Stack(3, 0.40f, 3, 0.2f);
  EXPECT_EQ(Count(vl::render::SoftLayers(faint, 1280, 720)), 3);
  EXPECT_LE(Count(vl::render::SoftLayers(bright, 1280, 720)), 1);
  EXPECT_EQ(Count(vl::render::SoftLayers(bright, 176, 144)), 0);
  // A capture of one grey level has no edges: all of it is spread, bright or not.
  EchoInputs grey = bright;
  grey.grey = 90;
  EXPECT_EQ(Count(vl::render::SoftLayers(grey, 1280, 720)), 3);
  // Nothing is reduced where half size is no smaller.
  EXPECT_EQ(Count(vl::render::SoftLayers(faint, 1, 1)), 0);
}

// Each group's constants are what its left-out layers add over the background, counted layer by
// layer; tiles group by the layers they sample, flat tiles in none; a group that samples nothing
// and adds nothing is not drawn.
TEST(EchoPlan, GroupsAddWhatTheirLeftOutLayersAdd) {
  std::mt19937 rng(7);
  EchoInputs in;
  in.colour = {0.9f, 0.35f, 0.0f};
  for (int i = 0; i < 40; ++i)
    in.layers.push_back({0.02f * static_cast<float>(i), std::uniform_int_distribution<int>(1, 255)(rng)});
  vl::render::LateSum late;
  late.colour = {0.1f, 0.6f, 1.0f};
  for (int i = 0; i < 40; ++i) late.alpha8.push_back(std::uniform_int_distribution<int>(0, 255)(rng));
  std::vector<EchoTile> tiles;
  for (int k = 0; k < 30; ++k) {
    const int first = std::uniform_int_distribution<int>(0, 45)(rng);
    const int last = std::uniform_int_distribution<int>(first - 6, 39)(rng);
    tiles.push_back({32 * k, 0, 32 * k + 32, 32, last >= first ? first : 0, last >= first ? last : -1});
  }
  std::vector<char> is_flat(tiles.size(), 0);
  is_flat[3] = 1;
  const int background = 37;
  std::array<int, 3> late_all{};
  const std::vector<PassGroup> groups = vl::render::PlanGroups(in, tiles, is_flat, background, false, &late, &late_all);
  size_t members = 0;
  for (const PassGroup& g : groups) {
    std::array<int, 3> flat{}, late_flat{};
    for (int i = 0; i < 40; ++i) {
      if (i >= g.first && i <= g.last) continue;
      for (size_t c = 0; c < 3; ++c) {
        flat[c] += ConstantLayerValue(in.colour[c], background, in.layers[static_cast<size_t>(i)].alpha8);
        late_flat[c] += ConstantLayerValue(late.colour[c], background, late.alpha8[static_cast<size_t>(i)]);
      }
    }
    for (size_t c = 0; c < 3; ++c) {
      EXPECT_EQ(g.flat[c], std::min(flat[c], 255));
      EXPECT_EQ(g.late_flat[c], std::min(late_flat[c], 255));
    }
    for (size_t k : g.members) {
      EXPECT_FALSE(is_flat[k]);
      EXPECT_EQ(tiles[k].first, g.first);
      EXPECT_EQ(tiles[k].last, g.last);
    }
    members += g.members.size();
    const std::array<int, 3> none{};
    EXPECT_EQ(g.drawn, g.last >= g.first || flat != none || late_flat != none);
  }
  EXPECT_EQ(members, tiles.size() - 1);
  for (size_t c = 0; c < 3; ++c) {
    int all = 0;
    for (int a : late.alpha8) all += ConstantLayerValue(late.colour[c], background, a);
    EXPECT_EQ(late_all[c], std::min(all, 255));
  }

  // Lit, the table rows hold the same per 8-bit product of colour and background.
  const std::vector<float> rows = vl::render::BackgroundRows(in, groups);
  ASSERT_EQ(rows.size(), groups.size() * 256);
  for (size_t r = 0; r < groups.size(); ++r)
    for (int c8 : {0, 1, 37, 128, 254, 255}) {
      int outside = 0;
      for (int i = 0; i < 40; ++i)
        if (i < groups[r].first || i > groups[r].last)
          outside += (c8 * in.layers[static_cast<size_t>(i)].alpha8 + 127) / 255;
      EXPECT_EQ(rows[r * 256 + static_cast<size_t>(c8)], static_cast<float>(std::min(outside, 255))) << r << " " << c8;
    }
}

// The passes draw each group's tiles as scissored rectangles: runs along a row, merged down the
// rows. Every pixel of a member tile is covered exactly once (twice would add the layers twice)
// and nothing else is, at sizes whose last tiles are cut short (720 wide: the last column is 16).
TEST(EchoPlan, PassRectanglesCoverTheirTilesOnce) {
  std::mt19937 rng(11);
  for (const auto& [width, height] : {std::pair{720, 576}, std::pair{176, 144}, std::pair{100, 33}}) {
    EchoInputs in = Stack(3, 0.1f, 90, 1.0f);
    const std::vector<EchoTile> tiles = vl::render::EchoTilesOf(in, nullptr, width, height);
    for (int round = 0; round < 20; ++round) {
      std::vector<size_t> members;
      std::vector<char> member(tiles.size(), 0);
      const double share = std::uniform_real_distribution<double>(0.1, 1.0)(rng);
      for (size_t k = 0; k < tiles.size(); ++k)
        if (std::uniform_real_distribution<double>(0, 1)(rng) < share) members.push_back(k), member[k] = 1;
      std::vector<int> covered(static_cast<size_t>(width) * height, 0);
      for (const auto& r : vl::render::MemberRects(tiles, members))
        for (int y = r[1]; y < r[3]; ++y)
          for (int x = r[0]; x < r[2]; ++x) ++covered[static_cast<size_t>(y) * width + x];
      for (size_t k = 0; k < tiles.size(); ++k)
        for (int y = tiles[k].y0; y < tiles[k].y1; ++y)
          for (int x = tiles[k].x0; x < tiles[k].x1; ++x)
            ASSERT_EQ(covered[static_cast<size_t>(y) * width + x], member[k] ? 1 : 0)
                << width << " x " << height << " round " << round << " pixel " << x << "," << y;
    }
  }
}

// A lit echo over a background: a tile called flat adds the same levels at every pixel centre,
// whichever way the rasteriser cuts the quad, as the colour interpolated over the triangle that
// holds the pixel gives them; a gently lit quad leaves some tiles flat, not all.
TEST(EchoProbes, FlatTilesAddOneLevelAtEveryPixel) {
  using vl::render::LitCorner;
  constexpr int kW = 352, kH = 288, kBackground = 40;
  EchoInputs in = Stack(5, 0.0f, 255, 1.0f);  // each product level a level of its own
  in.lit = true;
  // Corners in drawing order: top left, bottom left, bottom right, top right (y up).
  // Gentle enough that the 8-bit product of colour and background crosses a level (20.5 in red,
  // 12.5 in green) inside the quad, not everywhere.
  const std::array<LitCorner, 4> corners{{{0, 1, {0.500f, 0.300f, 0.5f}},
                                          {0, 0, {0.505f, 0.310f, 0.5f}},
                                          {1, 0, {0.520f, 0.300f, 0.5f}},
                                          {1, 1, {0.515f, 0.320f, 0.5f}}}};
  std::vector<EchoTile> tiles = vl::render::EchoTilesOf(in, nullptr, kW, kH);
  for (EchoTile& t : tiles) t.last = -1;  // nothing sampled: the background everywhere
  const std::array<int, 256> levels = vl::render::AllLayersLevels(in);
  for (bool through_first : {true, false}) {
    SCOPED_TRACE(through_first ? "cut from the first corner" : "cut from the second corner");
    std::map<std::array<int, 3>, std::vector<size_t>> flat;
    std::vector<char> is_flat(tiles.size(), 0);
    vl::render::FlatTilesOver(in, corners, through_first, tiles, kW, kH, kBackground, &flat, &is_flat);
    size_t flat_count = 0;
    for (const auto& [value, members] : flat) {
      flat_count += members.size();
      for (size_t k : members) {
        ASSERT_TRUE(is_flat[k]);
        const EchoTile& t = tiles[k];
        for (int y = t.y0; y < t.y1; ++y)
          for (int x = t.x0; x < t.x1; ++x) {
            const double px = (x + 0.5) / kW, py = (y + 0.5) / kH;
            // The triangle holding the pixel, and the pixel's barycentric weights in it.
            const bool lower = through_first ? px + py <= 1 : px <= py;
            const std::array<size_t, 3> tri =
                through_first ? (lower ? std::array<size_t, 3>{0, 1, 2} : std::array<size_t, 3>{0, 2, 3})
                              : (lower ? std::array<size_t, 3>{0, 1, 3} : std::array<size_t, 3>{1, 2, 3});
            const LitCorner &a = corners[tri[0]], &b = corners[tri[1]], &c = corners[tri[2]];
            const double det = (b.y - c.y) * (a.x - c.x) + (c.x - b.x) * (a.y - c.y);
            const double wa = ((b.y - c.y) * (px - c.x) + (c.x - b.x) * (py - c.y)) / det;
            const double wb = ((c.y - a.y) * (px - c.x) + (a.x - c.x) * (py - c.y)) / det;
            for (size_t ch = 0; ch < 3; ++ch) {
              const double colour = wa * a.colour[ch] + wb * b.colour[ch] + (1 - wa - wb) * c.colour[ch];
              const double product = std::clamp(colour * kBackground / 255.0, 0.0, 1.0) * 255.0;
              ASSERT_EQ(levels[static_cast<size_t>(std::nearbyint(product))], value[ch])
                  << "tile " << k << " pixel " << x << "," << y << " channel " << ch;
            }
          }
      }
    }
    EXPECT_GT(flat_count, 0u);
    EXPECT_LT(flat_count, tiles.size());
  }
}
