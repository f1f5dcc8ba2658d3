#include "assets/tga.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "assets/sha256.h"

namespace vl::assets {
namespace {

namespace fs = std::filesystem;

// An uncompressed TGA in memory. `header12` defaults to the plain true-colour form.
std::vector<uint8_t> MakeTga(int width, int height, int bits, const std::vector<uint8_t>& pixels,
                             std::vector<uint8_t> header12 = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0}) {
  std::vector<uint8_t> f = std::move(header12);
  f.push_back(uint8_t(width));
  f.push_back(uint8_t(width >> 8));
  f.push_back(uint8_t(height));
  f.push_back(uint8_t(height >> 8));
  f.push_back(uint8_t(bits));
  f.push_back(0);
  if (bits / 8 == 1) f.insert(f.end(), 768, 0x55);
  f.insert(f.end(), pixels.begin(), pixels.end());
  return f;
}

const std::vector<uint8_t> kColourMapped = {0, 1, 1, 0, 0, 0, 1, 0x18, 0, 0, 0, 0};

std::vector<uint8_t> Ramp(size_t n, uint8_t start = 0) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = uint8_t(start + i * 7);
  return v;
}

TextureImageResult Build(const std::vector<uint8_t>* colour, const std::vector<uint8_t>* alpha) {
  std::optional<NamedBytes> c, a;
  if (colour) c = NamedBytes{"c.tga", *colour};
  if (alpha) a = NamedBytes{"a.tga", *alpha};
  return LoadTextureImageFromBytes(c, a, true);
}

// ---- reader: what it refuses, and why --------------------------------------------------------

TEST(ReadTga, RefusesDamagedAndUnsupportedFilesNamingFieldAndOffset) {
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    const char* field;
    uint64_t offset;
  };
  auto rle = MakeTga(2, 2, 24, Ramp(12));
  rle[2] = 10;
  auto with_id = MakeTga(2, 2, 24, Ramp(12));
  with_id[0] = 4;
  auto grey = MakeTga(2, 2, 8, Ramp(4));
  grey[2] = 3;
  auto origin = MakeTga(2, 2, 24, Ramp(12));
  origin[10] = 2;  // y origin 2: a top-left file
  auto short_map = MakeTga(2, 2, 8, {}, kColourMapped);
  short_map.resize(18 + 700);
  auto short_pixels = MakeTga(4, 4, 24, Ramp(47));
  auto cut_header = MakeTga(2, 2, 24, Ramp(12));
  cut_header.resize(15);
  // 65535 x 65535 x 31 bytes claimed by an 18-byte file: refused before any allocation.
  auto huge = MakeTga(0xFFFF, 0xFFFF, 255, {});
  const Case cases[] = {
      {"empty", {}, "header", 0},
      {"short fixed header", {0, 0, 2, 0}, "header", 0},
      {"header cut after the fixed part", cut_header, "header", 14},
      {"run-length encoded", rle, "header", 0},
      {"image id", with_id, "header", 0},
      {"greyscale", grey, "header", 0},
      {"non-zero origin", origin, "header", 0},
      {"truncated colour map", short_map, "colour map", 18},
      {"truncated pixels", short_pixels, "pixel data", 18},
      {"huge claimed size", huge, "pixel data", 18},
  };
  for (const Case& c : cases) {
    auto r = ReadTgaBytes(c.bytes, "x.tga");
    ASSERT_FALSE(r.ok()) << c.what;
    EXPECT_EQ(r.error().file, "x.tga") << c.what;
    EXPECT_EQ(r.error().field, c.field) << c.what;
    EXPECT_EQ(r.error().offset, c.offset) << c.what;
    EXPECT_FALSE(r.error().message.empty()) << c.what;
  }
}

TEST(ReadTga, ReadsBothHeaderFormsAndIgnoresTrailingFooter) {
  // Colour-mapped 8-bit: the 768-byte map is skipped, the indices are the data.
  auto mapped = MakeTga(3, 2, 8, {1, 2, 3, 4, 5, 6}, kColourMapped);
  // A TGA 2.0 footer (extension/developer offsets and signature) after the pixels.
  const char sig[] = "TRUEVISION-XFILE.";
  mapped.insert(mapped.end(), 8, 0);
  mapped.insert(mapped.end(), sig, sig + sizeof sig);
  auto r = ReadTgaBytes(mapped, "m.tga");
  ASSERT_TRUE(r.ok()) << r.error().ToString();
  EXPECT_EQ(r->width, 3);
  EXPECT_EQ(r->height, 2);
  EXPECT_EQ(r->bits_per_pixel, 8);
  EXPECT_EQ(r->data, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));

  // A true-colour header with 8 bits also carries (and skips) a colour map.
  auto r8 = ReadTgaBytes(MakeTga(2, 1, 8, {9, 8}), "g.tga");
  ASSERT_TRUE(r8.ok());
  EXPECT_EQ(r8->data, (std::vector<uint8_t>{9, 8}));

  // Widths above 255 use the high byte; a zero-sized image has no pixels and is not an error.
  auto wide = ReadTgaBytes(MakeTga(300, 1, 24, Ramp(900)), "w.tga");
  ASSERT_TRUE(wide.ok());
  EXPECT_EQ(wide->width, 300);
  EXPECT_TRUE(ReadTgaBytes(MakeTga(0, 5, 24, {}), "z.tga").ok());
}

TEST(ReadTga, MissingFileNamesTheFile) {
  auto r = ReadTga("/nonexistent/particle.tga");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().file, "/nonexistent/particle.tga");
}

// ---- pair builder -----------------------------------------------------------------------------

TEST(TextureImage, ColourAloneSwapsEveryPixelOfNonSquareImages) {
  // 3 x 2, 24 bits: RGB, every one of the six pixels turned from BGR to RGB.
  auto rgb_file = MakeTga(3, 2, 24, Ramp(18));
  auto r = Build(&rgb_file, nullptr);
  ASSERT_TRUE(r.ok()) << r.error.text;
  EXPECT_EQ(r.image->format, TexelFormat::kRgb);
  EXPECT_EQ(r.image->components, 3);
  EXPECT_EQ(r.image->width, 3);
  EXPECT_EQ(r.image->height, 2);
  auto src = Ramp(18);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(r.image->pixels[3 * i + 0], src[3 * i + 2]);
    EXPECT_EQ(r.image->pixels[3 * i + 1], src[3 * i + 1]);
    EXPECT_EQ(r.image->pixels[3 * i + 2], src[3 * i + 0]);
  }

  // 2 x 3, 32 bits: RGBA with the file's own alpha.
  auto rgba_file = MakeTga(2, 3, 32, Ramp(24, 1));
  auto r32 = Build(&rgba_file, nullptr);
  ASSERT_TRUE(r32.ok()) << r32.error.text;
  EXPECT_EQ(r32.image->format, TexelFormat::kRgba);
  EXPECT_EQ(r32.image->components, 4);
  auto s = Ramp(24, 1);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(r32.image->pixels[4 * i + 0], s[4 * i + 2]);
    EXPECT_EQ(r32.image->pixels[4 * i + 2], s[4 * i + 0]);
    EXPECT_EQ(r32.image->pixels[4 * i + 3], s[4 * i + 3]);
  }
}

TEST(TextureImage, AlphaFileMergesOrStandsAlone) {
  auto colour = MakeTga(2, 2, 24, {10, 20, 30, 11, 21, 31, 12, 22, 32, 13, 23, 33});
  auto alpha = MakeTga(2, 2, 8, {100, 101, 102, 103}, kColourMapped);
  auto merged = Build(&colour, &alpha);
  ASSERT_TRUE(merged.ok()) << merged.error.text;
  EXPECT_EQ(merged.image->format, TexelFormat::kRgba);
  EXPECT_EQ(merged.image->pixels,
            (std::vector<uint8_t>{30, 20, 10, 100, 31, 21, 11, 101, 32, 22, 12, 102, 33, 23, 13, 103}));
  EXPECT_EQ(merged.image->colour_file, "c.tga");
  EXPECT_EQ(merged.image->alpha_file, "a.tga");

  auto alone = Build(nullptr, &alpha);
  ASSERT_TRUE(alone.ok()) << alone.error.text;
  EXPECT_EQ(alone.image->format, TexelFormat::kAlpha);
  EXPECT_EQ(alone.image->components, 1);
  EXPECT_EQ(alone.image->pixels, (std::vector<uint8_t>{100, 101, 102, 103}));  // no swap
  EXPECT_FALSE(alone.image->colour_file.has_value());

  // A 32-bit colour file keeps its own alpha; the alpha file is never even opened.
  auto rgba = MakeTga(1, 1, 32, {1, 2, 3, 4});
  auto r = LoadTextureImage(std::string("unused"), std::string("/nonexistent/alpha.tga"), true);
  EXPECT_FALSE(r.ok());  // the colour file itself is missing here
  auto own = BuildTextureImage(std::string("c"), std::string("/nonexistent/alpha.tga"), true,
                               [&](const std::string& name, TgaRole role) -> Expected<TgaImage> {
                                 EXPECT_EQ(role, TgaRole::kColour) << name;
                                 return ReadTgaBytes(rgba, name);
                               });
  ASSERT_TRUE(own.ok()) << own.error.text;
  EXPECT_EQ(own.image->pixels, (std::vector<uint8_t>{3, 2, 1, 4}));
}

TEST(TextureImage, FailureTextsInTheLoadersOrder) {
  auto rgb = MakeTga(2, 2, 24, Ramp(12));
  auto rgb16 = MakeTga(2, 2, 16, Ramp(8));
  auto mapped = MakeTga(2, 2, 8, Ramp(4), kColourMapped);
  auto alpha = MakeTga(2, 2, 8, Ramp(4));
  auto alpha_wide = MakeTga(4, 1, 8, Ramp(4));
  auto alpha24 = MakeTga(2, 2, 24, Ramp(12));
  std::vector<uint8_t> garbage = {1, 2, 3};
  const std::string p = "Failed to load Texture (c.tga, a.tga). Reason: ";
  struct Case {
    const std::vector<uint8_t>* colour;
    const std::vector<uint8_t>* alpha;
    std::string text;
  };
  const Case cases[] = {
      {&garbage, &alpha, p + "Failed to load RGB file."},
      {&rgb, &garbage, p + "Failed to load alpha file."},
      // The colour check comes before the alpha check when both are wrong.
      {&rgb16, &alpha24, p + "RGB file not in 8 Bit format!"},
      {&mapped, &alpha, p + "RGB file not in 8 Bit format!"},
      {&rgb, &alpha24, p + "Alpha file not in 8 bit format."},
      {nullptr, &alpha24, "Failed to load Texture ((null), a.tga). Reason: Alpha file not in 8 bit format."},
      {&rgb, &alpha_wide, p + "Alpha size does not eqal RGB size."},
      // Refused rather than uploaded as GL_RGB data of the wrong length.
      {&mapped, nullptr, "Failed to load Texture (c.tga, (null)). Reason: RGB file not in 24 or 32 bit format."},
      {&rgb16, nullptr, "Failed to load Texture (c.tga, (null)). Reason: RGB file not in 24 or 32 bit format."},
      {nullptr, nullptr, "Failed to load Texture ((null), (null)). Reason: No colour or alpha file given."},
  };
  for (const Case& c : cases) {
    auto r = Build(c.colour, c.alpha);
    ASSERT_FALSE(r.ok()) << c.text;
    EXPECT_EQ(r.error.text, c.text);
    EXPECT_TRUE(r.error.detail.has_value()) << c.text;
  }
  // A reader failure keeps the reader's own explanation.
  auto r = Build(&garbage, nullptr);
  ASSERT_TRUE(r.error.detail.has_value());
  EXPECT_EQ(r.error.detail->file, "c.tga");
  EXPECT_EQ(r.error.detail->field, "header");
}

TEST(TextureImage, LoopNamesResolveAgainstTheBaseFolder) {
  fs::path dir = fs::temp_directory_path() / ("vl_tga_" + std::to_string(::getpid()));
  fs::create_directories(dir / "Particles");
  auto bytes = MakeTga(1, 1, 32, {1, 2, 3, 4});
  {
    std::FILE* f = std::fopen((dir / "Particles" / "Spark.tga").c_str(), "wb");
    ASSERT_TRUE(f);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  auto r = LoadTextureImage(std::string("particles\\spark.TGA"), std::nullopt, true, dir);
  EXPECT_TRUE(r.ok()) << r.error.text;
  auto missing = LoadTextureImage(std::string("Particles/none.tga"), std::nullopt, true, dir);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error.text,
            "Failed to load Texture (Particles/none.tga, (null)). Reason: Failed to load RGB file.");
  fs::remove_all(dir);
}

// ---- real files from Debian's gdk-pixbuf test suite --------------------------------------------

fs::path PixbufDir() {
  return fs::path(VL_EXTERNAL_TEST_DATA) / "gdk-pixbuf-tests/usr/libexec/installed-tests/gdk-pixbuf/test-images";
}

#define REQUIRE_PIXBUF_DATA() \
  do { \
    if (!fs::exists(PixbufDir())) { \
      const char* ci = std::getenv("CI"); \
      if (ci && std::string(ci) == "true") FAIL() << "test data missing: " << PixbufDir(); \
      GTEST_SKIP() << "test data not fetched (scripts/fetch-test-data): " << PixbufDir(); \
    } \
  } while (0)

TextureImageResult LoadReal(const char* colour, const char* alpha) {
  std::optional<std::string> c, a;
  if (colour) c = (PixbufDir() / colour).string();
  if (alpha) a = (PixbufDir() / alpha).string();
  return LoadTextureImage(c, a, true);
}

TEST(TextureImageRealFiles, BottomUpFilesWithFootersLoad) {
  REQUIRE_PIXBUF_DATA();
  // These files end in a 26-byte TGA 2.0 footer.
  auto rgb = LoadReal("reftests/tga/gtk-logo-24bpp-bottom-left.tga", nullptr);
  ASSERT_TRUE(rgb.ok()) << rgb.error.text;
  EXPECT_EQ(rgb.image->format, TexelFormat::kRgb);
  EXPECT_EQ(rgb.image->width, 48);
  EXPECT_EQ(rgb.image->height, 48);
  EXPECT_EQ(rgb.image->pixels.size(), 48u * 48 * 3);

  auto rgba = LoadReal("reftests/tga/gtk-logo-32bpp-bottom-left.tga", nullptr);
  ASSERT_TRUE(rgba.ok()) << rgba.error.text;
  EXPECT_EQ(rgba.image->format, TexelFormat::kRgba);

  // The colour-mapped logo's indices serve as an alpha file for the 24-bit logo.
  auto pair =
      LoadReal("reftests/tga/gtk-logo-24bpp-bottom-left.tga", "reftests/tga/gtk-logo-cmap-8bpp-bottom-left.tga");
  ASSERT_TRUE(pair.ok()) << pair.error.text;
  EXPECT_EQ(pair.image->format, TexelFormat::kRgba);
  // Fingerprints from an independent reading of the same files.
  EXPECT_EQ(Sha256Hex(rgb.image->pixels), "3e521da96bfa43313fcb80ba739b514e452db7701f443569106fc3e79d103e77");
  EXPECT_EQ(Sha256Hex(pair.image->pixels), "055ddbddd3dba5e135916bb54408c6b14841357f4f328b064acf5b5c1634061f");

  auto alpha = LoadReal(nullptr, "reftests/tga/gtk-logo-cmap-8bpp-bottom-left.tga");
  ASSERT_TRUE(alpha.ok()) << alpha.error.text;
  EXPECT_EQ(alpha.image->format, TexelFormat::kAlpha);
}

TEST(TextureImageRealFiles, UnsupportedAndDamagedFilesFailCleanly) {
  REQUIRE_PIXBUF_DATA();
  const char* refused[] = {
      "reftests/tga/gtk-logo-rle-24bpp-bottom-left.tga",  // run-length encoded
      "reftests/tga/gtk-logo-24bpp-top-left.tga",         // non-zero origin
      "reftests/tga/gtk-logo-cmap-rle-8bpp-bottom-left.tga",
      "reftests/colormap-too-small.tga",
      "reftests/rle-too-many-pixels.tga",
      "fail/empty-file.tga",
      "fail/androstanRezeptor.tga",  // header claims 875 x 842, no pixels follow
      "fail/overflow.tga",
      "fail/DoS.tga",
      "fail/colormap-image-without-colormap.tga",
  };
  for (const char* name : refused) {
    auto r = LoadReal(name, nullptr);
    ASSERT_FALSE(r.ok()) << name;
    EXPECT_NE(r.error.text.find("Reason: Failed to load RGB file."), std::string::npos) << r.error.text;
    ASSERT_TRUE(r.error.detail.has_value());
    EXPECT_NE(r.error.detail->file.find("tga"), std::string::npos);
  }
  // Read fine, but 16-bit pixels cannot be a colour file on their own.
  auto r16 = LoadReal("reftests/tga/gtk-logo-16bpp-bottom-left.tga", nullptr);
  ASSERT_FALSE(r16.ok());
  EXPECT_NE(r16.error.text.find("Reason: RGB file not in 24 or 32 bit format."), std::string::npos);
}

}  // namespace
}  // namespace vl::assets
