#include "assets/pictures/picture_texture.h"

#include "engine/asset_paths.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace vl::assets {
namespace {

namespace fs = std::filesystem;

struct Rgb {
  uint8_t r, g, b;
};

void Put16(std::vector<uint8_t>& b, uint32_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}
void Put32(std::vector<uint8_t>& b, uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}

// A 24-bit BMP; colour(x, y) with y = 0 the top row.
std::vector<uint8_t> MakeBmp(int w, int h, const std::function<Rgb(int, int)>& colour) {
  const uint32_t row = (uint32_t(w) * 3 + 3) / 4 * 4;
  std::vector<uint8_t> b = {'B', 'M'};
  Put32(b, 54 + row * h);
  Put32(b, 0);
  Put32(b, 54);
  Put32(b, 40);
  Put32(b, w);
  Put32(b, h);
  Put16(b, 1);
  Put16(b, 24);
  for (int i = 0; i < 6; ++i) Put32(b, 0);
  for (int y = h - 1; y >= 0; --y) {
    for (int x = 0; x < w; ++x) {
      Rgb c = colour(x, y);
      b.push_back(c.b);
      b.push_back(c.g);
      b.push_back(c.r);
    }
    b.resize(b.size() + (row - w * 3), 0);
  }
  return b;
}

// A placeable WMF, 1000 x 500 units at 1000 units per inch (96 x 48 pixels), whose left half is a
// red rectangle drawn with a red pen; the rest is left undrawn.
std::vector<uint8_t> MakeWmf() {
  std::vector<uint8_t> b;
  Put32(b, 0x9AC6CDD7);
  Put16(b, 0);
  const uint16_t header[] = {0, 0, 1000, 500, 1000};
  for (uint16_t v : header) Put16(b, v);
  Put32(b, 0);
  uint16_t checksum = 0xCDD7 ^ 0x9AC6;
  for (uint16_t v : header) checksum ^= v;
  Put16(b, checksum);
  std::vector<std::vector<uint16_t>> records = {
      {0x020B, 0, 0},                  // SETWINDOWORG y, x
      {0x020C, 500, 1000},             // SETWINDOWEXT height, width
      {0x02FC, 0, 0x00FF, 0x0000, 0},  // CREATEBRUSHINDIRECT solid, COLORREF red, hatch
      {0x012D, 0},                     // SELECTOBJECT 0
      {0x02FA, 0, 1, 0, 0x00FF, 0},    // CREATEPENINDIRECT solid, width 1, red
      {0x012D, 1},                     // SELECTOBJECT 1
      {0x041B, 500, 500, 0, 0},        // RECTANGLE bottom, right, top, left
      {0x0000},                        // EOF
  };
  uint32_t words = 9, max_record = 0;
  for (auto& r : records) {
    words += 2 + uint32_t(r.size());
    max_record = std::max<uint32_t>(max_record, 2 + uint32_t(r.size()));
  }
  Put16(b, 1);
  Put16(b, 9);
  Put16(b, 0x300);
  Put32(b, words);
  Put16(b, 2);
  Put32(b, max_record);
  Put16(b, 0);
  for (auto& r : records) {
    Put32(b, 2 + uint32_t(r.size()));
    for (uint16_t v : r) Put16(b, v);
  }
  return b;
}

// An EMF 100 x 50 pixels (frame 2646 x 1323 HIMETRIC) with a green square over its left half.
std::vector<uint8_t> MakeEmf(uint32_t frame_width = 2646) {
  std::vector<uint8_t> records;
  auto rec = [&](uint32_t type, const std::vector<uint32_t>& params) {
    Put32(records, type);
    Put32(records, 8 + 4 * uint32_t(params.size()));
    for (uint32_t v : params) Put32(records, v);
  };
  rec(39, {1, 0, 0x0000FF00, 0});  // CREATEBRUSHINDIRECT handle 1: solid green
  rec(37, {1});                    // SELECTOBJECT
  rec(38, {2, 0, 1, 0x0000FF00});  // CREATEPEN handle 2: solid, width 1, green
  rec(37, {2});
  rec(43, {0, 0, 50, 50});  // RECTANGLE
  rec(14, {0, 16, 20});     // EOF
  std::vector<uint8_t> b;
  Put32(b, 1);
  Put32(b, 88);
  for (uint32_t v : {0u, 0u, 99u, 49u}) Put32(b, v);            // bounds, device pixels (inclusive)
  for (uint32_t v : {0u, 0u, frame_width, 1323u}) Put32(b, v);  // frame, HIMETRIC
  Put32(b, 0x464D4520);
  Put32(b, 0x10000);
  Put32(b, 88 + uint32_t(records.size()));
  Put32(b, 7);
  Put16(b, 3);
  Put16(b, 0);
  Put32(b, 0);
  Put32(b, 0);
  Put32(b, 0);
  for (uint32_t v : {1024u, 768u, 270u, 203u}) Put32(b, v);  // device in pixels and millimetres
  b.insert(b.end(), records.begin(), records.end());
  return b;
}

const uint8_t* PixelAt(const PictureTexture& t, int x, int y_from_bottom) {
  return t.rgba.data() + (size_t(y_from_bottom) * t.width + x) * 4;
}

// ---- sizes ----------------------------------------------------------------------------------

TEST(PictureSizes, RoundingToPowersOfTwoAndClamping) {
  struct Case {
    int32_t d, max, want;
  } cases[] = {
      {1, 1024, 1},       {3, 1024, 4},       {5, 1024, 4},       {6, 1024, 8},
      {700, 1024, 512},   {767, 1024, 1024},  {724, 4096, 512},   {725, 4096, 1024},
      {1024, 1024, 1024}, {1025, 1024, 1024}, {5000, 2048, 2048}, {0, 1024, 1},
  };
  for (const Case& c : cases) EXPECT_EQ(RoundTextureSide(c.d, c.max), c.want) << c.d << " max " << c.max;
}

TEST(PictureSizes, HimetricRoundTripsPixelsAt96Dpi) {
  EXPECT_EQ(PixelsToHimetric(96), 2540);
  EXPECT_EQ(PixelsToHimetric(700), 18521);
  EXPECT_EQ(HimetricToPixels(2540), 96);
  EXPECT_EQ(HimetricToPixels(13), 0);  // 0.49 pixels
  EXPECT_EQ(HimetricToPixels(14), 1);  // 0.53 pixels
  for (int32_t px = 1; px <= 5000; ++px) ASSERT_EQ(HimetricToPixels(PixelsToHimetric(px)), px);
}

// ---- decoding and the four loaders' buffers ---------------------------------------------------

TEST(PictureTexture, OddSizedPictureBecomesPowerOfTwoTexture) {
  auto bmp = MakeBmp(700, 767, [](int x, int y) { return Rgb{uint8_t(x), uint8_t(y), 200}; });
  auto load = DecodePictureTexture(bmp, "big.bmp", PictureLoader::kColourKeyed, 4096);
  ASSERT_TRUE(load.texture.ok()) << load.texture.error().ToString();
  const PictureTexture& t = *load.texture;
  EXPECT_EQ(t.width, 512);
  EXPECT_EQ(t.height, 1024);
  EXPECT_EQ(t.pixel_width, 700);
  EXPECT_EQ(t.pixel_height, 767);
  EXPECT_EQ(t.rgba.size(), 512u * 1024 * 4);
  ASSERT_TRUE(load.natural_size.has_value());
  EXPECT_EQ(load.natural_size->width, PixelsToHimetric(700));

  // Wider than the GL limit: exactly the limit.
  auto wide = MakeBmp(300, 20, [](int, int) { return Rgb{9, 9, 9}; });
  auto clamped = DecodePictureTexture(wide, "wide.bmp", PictureLoader::kPhotoA, 128);
  ASSERT_TRUE(clamped.texture.ok());
  EXPECT_EQ(clamped.texture->width, 128);
  EXPECT_EQ(clamped.texture->height, 16);
}

TEST(PictureTexture, ColourKeyMakesOnlyPureBlackTransparentAndPhotosAreOpaque) {
  // Four 8-pixel bands, top to bottom: black, (1,0,0), (0,0,1), white; 32 x 32 needs no scaling.
  const Rgb bands[] = {{0, 0, 0}, {1, 0, 0}, {0, 0, 1}, {255, 255, 255}};
  auto bmp = MakeBmp(32, 32, [&](int, int y) { return bands[y / 8]; });
  for (PictureLoader loader :
       {PictureLoader::kColourKeyed, PictureLoader::kMipmapped, PictureLoader::kPhotoA, PictureLoader::kPhotoB}) {
    auto load = DecodePictureTexture(bmp, "bands.bmp", loader, 1024);
    ASSERT_TRUE(load.texture.ok());
    const PictureTexture& t = *load.texture;
    const bool keyed = loader == PictureLoader::kColourKeyed || loader == PictureLoader::kMipmapped;
    EXPECT_EQ(t.upload,
              loader == PictureLoader::kMipmapped ? PictureUpload::kMipmapsRgb : PictureUpload::kSingleLevelRgba);
    for (int y = 0; y < 32; ++y) {
      // Buffer rows run bottom-up: buffer row y is picture row 31 - y.
      const Rgb want = bands[(31 - y) / 8];
      const uint8_t* p = PixelAt(t, 5, y);
      ASSERT_EQ(p[0], want.r) << y;
      ASSERT_EQ(p[1], want.g) << y;
      ASSERT_EQ(p[2], want.b) << y;
      const bool black = want.r == 0 && want.g == 0 && want.b == 0;
      ASSERT_EQ(p[3], keyed && black ? 0 : 255) << "row " << y << " loader " << int(loader);
    }
  }
}

TEST(PictureTexture, MetafilesAreDrawnStretchedOverBlack) {
  auto wmf = MakeWmf();
  auto w = DecodePictureTexture(wmf, "half.wmf", PictureLoader::kColourKeyed, 1024);
  ASSERT_TRUE(w.texture.ok()) << w.texture.error().ToString();
  EXPECT_EQ(w.natural_size->width, 2540);  // 1000 units at 1000 per inch
  EXPECT_EQ(w.natural_size->height, 1270);
  EXPECT_EQ(w.texture->pixel_width, 96);
  EXPECT_EQ(w.texture->width, 128);
  EXPECT_EQ(w.texture->height, 64);
  const uint8_t* left = PixelAt(*w.texture, 20, 32);
  EXPECT_GT(left[0], 200);
  EXPECT_LT(left[1], 40);
  EXPECT_EQ(left[3], 255);
  const uint8_t* right = PixelAt(*w.texture, 110, 32);
  EXPECT_EQ(right[0] | right[1] | right[2], 0);
  EXPECT_EQ(right[3], 0);

  auto emf = MakeEmf();
  auto e = DecodePictureTexture(emf, "half.emf", PictureLoader::kPhotoA, 1024);
  ASSERT_TRUE(e.texture.ok()) << e.texture.error().ToString();
  EXPECT_EQ(e.natural_size->width, 2646);
  EXPECT_EQ(e.texture->pixel_width, 100);
  EXPECT_EQ(e.texture->pixel_height, 50);
  EXPECT_EQ(e.texture->width, 128);
  EXPECT_EQ(e.texture->height, 64);
  const uint8_t* square = PixelAt(*e.texture, 20, 40);
  EXPECT_GT(square[1], 200);
  EXPECT_LT(square[0], 40);
  const uint8_t* empty = PixelAt(*e.texture, 110, 40);
  EXPECT_EQ(empty[0] | empty[1] | empty[2], 0);
  EXPECT_EQ(empty[3], 255);  // photos are opaque

  // A metafile cut short still fails cleanly, naming the file.
  std::vector<uint8_t> cut(wmf.begin(), wmf.begin() + 30);
  auto bad = DecodePictureTexture(cut, "cut.wmf", PictureLoader::kColourKeyed, 1024);
  EXPECT_FALSE(bad.texture.ok());
  std::vector<uint8_t> cut_emf(emf.begin(), emf.begin() + 60);
  auto bad_emf = DecodePictureTexture(cut_emf, "cut.emf", PictureLoader::kColourKeyed, 1024);
  ASSERT_FALSE(bad_emf.texture.ok());
  EXPECT_EQ(bad_emf.texture.error().file, "cut.emf");
}

TEST(PictureTexture, FailuresNameTheFileAndPhotoSizeSurvivesALateFailure) {
  const fs::path base = fs::temp_directory_path();
  // Never fetched, whichever loader; nothing opened, so no size either.
  for (PictureLoader loader : {PictureLoader::kColourKeyed, PictureLoader::kPhotoA}) {
    auto web = LoadPictureTexture("http://example.com/a.jpg", loader, 1024, 0, base);
    ASSERT_FALSE(web.texture.ok());
    EXPECT_EQ(web.texture.error().file, "http://example.com/a.jpg");
    EXPECT_FALSE(web.natural_size.has_value());
  }
  auto missing = LoadPictureTexture("Images/no-such-picture.jpg", PictureLoader::kPhotoB, 1024, 0, base);
  ASSERT_FALSE(missing.texture.ok());
  EXPECT_EQ(missing.texture.error().file, "Images/no-such-picture.jpg");

  std::vector<uint8_t> garbage(100, 0x42);
  auto g = DecodePictureTexture(garbage, "noise.jpg", PictureLoader::kColourKeyed, 1024);
  ASSERT_FALSE(g.texture.ok());
  EXPECT_EQ(g.texture.error().file, "noise.jpg");
  EXPECT_FALSE(DecodePictureTexture({}, "empty.jpg", PictureLoader::kColourKeyed, 1024).texture.ok());

  // The picture opens (so the photo's size is known) but cannot be drawn: 10 HIMETRIC wide is
  // 0.38 of a pixel, which the rounding to a power of two has no answer for.
  auto sliver = MakeEmf(10);
  auto late = DecodePictureTexture(sliver, "sliver.emf", PictureLoader::kPhotoA, 1024);
  ASSERT_TRUE(late.natural_size.has_value());
  EXPECT_EQ(late.natural_size->width, 10);
  EXPECT_EQ(late.natural_size->height, 1323);
  ASSERT_FALSE(late.texture.ok());
  EXPECT_EQ(late.texture.error().file, "sliver.emf");
}

TEST(PictureTexture, BuiltinBitmapIsA64By64BottomUpBgrImage) {
  BuiltinBitmap b = LoadBuiltinBitmap();
  EXPECT_EQ(b.width, 64);
  EXPECT_EQ(b.height, 64);
  ASSERT_EQ(b.bgr.size(), 64u * 64 * 3);  // 192-byte rows need no padding
  bool varied = false;
  for (size_t i = 3; i < b.bgr.size(); ++i) varied |= b.bgr[i] != b.bgr[0];
  EXPECT_TRUE(varied);
}

// ---- real files: Debian's gdk-pixbuf and SDL2_image test pictures ------------------------------

fs::path TestData() { return fs::path(VL_EXTERNAL_TEST_DATA); }
fs::path Pixbuf(const char* name) {
  return TestData() / "gdk-pixbuf-tests/usr/libexec/installed-tests/gdk-pixbuf" / name;
}
fs::path Sdl(const char* name) {
  return TestData() / "libsdl2-image-tests/usr/libexec/installed-tests/SDL2_image" / name;
}

#define REQUIRE_TEST_DATA(path) \
  do { \
    if (!fs::exists(path)) { \
      const char* ci = std::getenv("CI"); \
      if (ci && std::string(ci) == "true") FAIL() << "test data missing: " << (path); \
      GTEST_SKIP() << "test data not fetched (scripts/fetch-test-data): " << (path); \
    } \
  } while (0)

TEST(PictureRealFiles, EachFormatDecodes) {
  REQUIRE_TEST_DATA(Pixbuf("test-images"));
  REQUIRE_TEST_DATA(Sdl("sample.bmp"));
  struct Case {
    fs::path path;
    int32_t pixel_width, pixel_height, width, height;
  } cases[] = {
      {Pixbuf("test-images/reftests/cat.jpg"), 0, 0, 0, 0},
      {Pixbuf("test-images/randomly-modified/valid.1.bmp"), 48, 48, 64, 64},
      {Pixbuf("test-images/gif-test-suite/four-colors.gif"), 2, 2, 2, 2},
      {Pixbuf("test-images/reftests/squares.ico"), 100, 100, 128, 128},
      {Pixbuf("dpi.png"), 48, 48, 64, 64},
      {Sdl("sample.bmp"), 23, 42, 32, 32},
      {Sdl("sample.jpg"), 0, 0, 0, 0},
      {Sdl("sample.ico"), 23, 42, 32, 32},
  };
  for (const Case& c : cases) {
    auto load = LoadPictureTexture(c.path.string(), PictureLoader::kColourKeyed, 1024, vl::kPictureNamesAsGiven, "/");
    ASSERT_TRUE(load.texture.ok()) << load.texture.error().ToString();
    const PictureTexture& t = *load.texture;
    if (c.pixel_width) {
      EXPECT_EQ(t.pixel_width, c.pixel_width) << c.path;
      EXPECT_EQ(t.pixel_height, c.pixel_height) << c.path;
      EXPECT_EQ(t.width, c.width) << c.path;
      EXPECT_EQ(t.height, c.height) << c.path;
    }
    ASSERT_EQ(t.rgba.size(), size_t(t.width) * t.height * 4);
    for (size_t i = 0; i < t.rgba.size(); i += 4) {
      const bool black = t.rgba[i] == 0 && t.rgba[i + 1] == 0 && t.rgba[i + 2] == 0;
      ASSERT_EQ(t.rgba[i + 3], black ? 0 : 255) << c.path << " byte " << i;
    }
  }
}

TEST(PictureRealFiles, DamagedFilesNeverCrash) {
  REQUIRE_TEST_DATA(Pixbuf("test-images/fail"));
  int failed = 0, total = 0;
  for (const char* dir : {"test-images/fail", "test-images/randomly-modified"}) {
    for (const auto& entry : fs::directory_iterator(Pixbuf(dir))) {
      const std::string ext = entry.path().extension().string();
      if (entry.path().filename() == "large.png") continue;
      if (ext == ".tga" || ext == ".xpm" || ext == ".ani" || ext == ".pnm" || ext == ".tiff" || ext == ".xbm") continue;
      ++total;
      auto load =
          LoadPictureTexture(entry.path().string(), PictureLoader::kPhotoB, 2048, vl::kPictureNamesAsGiven, "/");
      if (!load.texture.ok()) {
        ++failed;
        EXPECT_NE(load.texture.error().file.find(entry.path().filename().string()), std::string::npos);
        EXPECT_FALSE(load.texture.error().message.empty());
      }
    }
  }
  EXPECT_GT(total, 10);
  EXPECT_GT(failed, 0);

  // Far larger than any texture (25200 x 33300): its size comes from the header alone. (Decoding
  // it, clamped to the texture limit, works but takes many seconds.)
  auto large_bytes = ReadFileBytes(Pixbuf("large.png"));
  ASSERT_TRUE(large_bytes.ok());
  auto large = ReadPictureSize(*large_bytes, "large.png");
  ASSERT_TRUE(large.ok()) << large.error().ToString();
  EXPECT_EQ(HimetricToPixels(large->width), 25200);
  EXPECT_EQ(HimetricToPixels(large->height), 33300);

  auto zero = LoadPictureTexture(Pixbuf("test-images/gif-test-suite/zero-width.gif").string(),
                                 PictureLoader::kColourKeyed, 1024, vl::kPictureNamesAsGiven, "/");
  EXPECT_FALSE(zero.texture.ok());
}

}  // namespace
}  // namespace vl::assets
