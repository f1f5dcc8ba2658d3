// Metafiles that describe a huge or slow drawing in a few bytes: each load runs in a measured
// child process and must stay within 1 GB and 10 s, whatever texture size GL would allow.
#include <gtest/gtest.h>

#include <span>
#include <string>
#include <vector>

#include "assets/pictures/picture_texture.h"
#include "tests/hostile_files.h"
#include "tests/measured_child.h"

namespace vl::assets {
namespace {

using vl::testing::ChildUsage;
using vl::testing::RunMeasured;

constexpr int32_t kLargeGlTextures = 16384;  // what llvmpipe allows
constexpr uint64_t kGigabyte = uint64_t{1} << 30;

// Decodes in a child; the report is "W x H" on success or the error.
ChildUsage DecodeInChild(const std::vector<uint8_t>& bytes, const char* name, PictureLoader loader) {
  return RunMeasured(
      [&](std::string& report) {
        const PictureLoad load = DecodePictureTexture(bytes, name, loader, kLargeGlTextures);
        if (!load.texture.ok()) {
          report = load.texture.error().ToString();
          return 1;
        }
        const PictureTexture& t = load.texture.value();
        report = std::to_string(t.width) + " x " + std::to_string(t.height);
        const bool sized = t.rgba.size() == size_t(t.width) * size_t(t.height) * 4;
        return sized ? 0 : 2;
      },
      /*extra_address_space=*/2 * kGigabyte, /*timeout_seconds=*/60);
}

TEST(MetafileLimits, HugeBoundsDrawAtMost4096PixelsASideWithinAGigabyte) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    PictureLoader loader;
  };
  const Case cases[] = {
      {"bomb.wmf", hostile::WmfBomb(), PictureLoader::kPhotoA},          // one photo
      {"bomb.emf", hostile::EmfBomb(60000), PictureLoader::kMipmapped},  // the sequence texture
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_LT(c.bytes.size(), 300u);
    const ChildUsage run = DecodeInChild(c.bytes, c.name, c.loader);
    EXPECT_TRUE(run.exited && run.exit_code == 0) << run.Describe();
    EXPECT_EQ(run.report, "4096 x 4096") << run.Describe();
    EXPECT_LE(run.peak_rss, kGigabyte) << run.Describe();
    EXPECT_LE(run.seconds, 10.0) << run.Describe();
  }
}

TEST(MetafileLimits, SlowDrawingIsCutOffLikeSlowDecoding) {
  // 24 KB: a thousand rectangles, each over the whole 60,000-pixel frame. It either draws in
  // time or fails naming the time limit; either way within 10 s and 1 GB.
  const auto bytes = hostile::EmfBomb(60000, 1000);
  ASSERT_LT(bytes.size(), 30000u);
  const ChildUsage run = DecodeInChild(bytes, "rects.emf", PictureLoader::kColourKeyed);
  ASSERT_TRUE(run.exited) << run.Describe();
  if (run.exit_code == 0) EXPECT_EQ(run.report, "4096 x 4096");
  else EXPECT_NE(run.report.find("did not finish within"), std::string::npos) << run.Describe();
  EXPECT_LE(run.peak_rss, kGigabyte) << run.Describe();
  EXPECT_LE(run.seconds, 10.0) << run.Describe();
}

TEST(MetafileLimits, TheNaturalSizeIsKeptWhileTheDrawingIsCapped) {
  const PictureLoad load = DecodePictureTexture(hostile::WmfBomb(), "bomb.wmf", PictureLoader::kPhotoB, 2048);
  ASSERT_TRUE(load.natural_size.has_value());
  // 65534 inches in HIMETRIC: the photo size entries get the picture's own size.
  EXPECT_EQ(load.natural_size->width, 65534 * 2540);
  ASSERT_TRUE(load.texture.ok()) << load.texture.error().ToString();
  EXPECT_EQ(load.texture.value().width, 2048);  // a smaller GL limit still wins
  EXPECT_EQ(load.texture.value().pixel_width, 65534 * 96);
  auto size = ReadPictureSize(hostile::EmfBomb(60000, 0), "frame.emf");
  ASSERT_TRUE(size.ok()) << size.error().ToString();
  EXPECT_EQ(size->width, 60000 * 2540 / 96);
}

}  // namespace
}  // namespace vl::assets
