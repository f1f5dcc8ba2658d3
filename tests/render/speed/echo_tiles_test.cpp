// The map of where a capture holds anything besides its background, and the tiles planned from it:
// a layer is left out of a tile only when it reads nothing but background there, wrapping as the
// repeat wrap mode samples.
#include <gtest/gtest.h>

#include <vector>

#include "render/echo_tiles.h"

using vl::render::CaptureContent;
using vl::render::EchoTile;
using vl::render::PlanEchoTiles;

namespace {

// A 64 x 64 capture of level 6 with one texel of another level.
CaptureContent OneTexel(int x, int y) {
  std::vector<uint8_t> texels(64 * 64, 6);
  texels[static_cast<size_t>(y) * 64 + x] = 200;
  CaptureContent c;
  c.Set(texels, 64, 64);
  return c;
}

}  // namespace

TEST(CaptureContent, FindsTheTexelAcrossTheWrappedEdges) {
  const CaptureContent c = OneTexel(1, 62);
  EXPECT_EQ(c.background(), 6);
  EXPECT_TRUE(c.AnyBesidesBackground(0, 3, 60, 63));
  EXPECT_FALSE(c.AnyBesidesBackground(16, 40, 0, 40));
  // Ranges past the edges wrap: -2 is column 62, 64 + 62 is row 62.
  EXPECT_TRUE(c.AnyBesidesBackground(-2, 1, 64 + 60, 64 + 63));
  EXPECT_TRUE(c.AnyBesidesBackground(-70, -60, -3, -2));
  EXPECT_FALSE(c.AnyBesidesBackground(20, 30, -30, -10));
  // A range as wide as the image covers all of it.
  EXPECT_TRUE(c.AnyBesidesBackground(1000, 1063, 62, 62));
}

TEST(CaptureContent, EmptyOrShortImagesNeverLeaveALayerOut) {
  CaptureContent c;
  EXPECT_TRUE(c.AnyBesidesBackground(0, 1, 0, 1));
  const std::vector<uint8_t> short_image(10, 0);
  c.Set(short_image, 64, 64);
  EXPECT_TRUE(c.AnyBesidesBackground(0, 1, 0, 1));
}

TEST(PlanEchoTiles, KeepsExactlyTheLayersThatReachTheContent) {
  // Content in the middle of the capture. Layer 0 (inset 0) shows the whole capture once, so only
  // the middle tiles read it; layer 1 (inset 0.45) magnifies the middle tenth over everything.
  std::vector<uint8_t> texels(64 * 64, 0);
  for (int y = 30; y < 34; ++y)
    for (int x = 30; x < 34; ++x) texels[static_cast<size_t>(y) * 64 + x] = 255;
  CaptureContent c;
  c.Set(texels, 64, 64);
  const std::vector<float> insets = {0.0f, 0.45f};
  const std::vector<EchoTile> tiles = PlanEchoTiles(c, insets, 200, 100, 20);
  ASSERT_EQ(tiles.size(), 50u);
  const EchoTile& corner = tiles[0];
  EXPECT_EQ(corner.x1, 20);
  EXPECT_EQ(corner.first, 1);
  EXPECT_EQ(corner.last, 1);
  const EchoTile& middle = tiles[2 * 10 + 4];  // x 80..100, y 40..60
  EXPECT_EQ(middle.first, 0);
  EXPECT_EQ(middle.last, 1);
  // Insets past 1 run off the capture and wrap: the content comes back, so nothing is left out
  // by mistake.
  const std::vector<float> deep = {1.5f};
  int sampled = 0;
  for (const EchoTile& t : PlanEchoTiles(c, deep, 200, 100, 20)) sampled += t.last >= t.first;
  EXPECT_GT(sampled, 0);
}
