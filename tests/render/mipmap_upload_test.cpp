// Mipmapped uploads read back level by level: the texture built by halving one buffer in place
// must hold exactly what the GLU builder uploads for the same pixels, whatever the size (powers of
// two, odd sizes that are resized, one-pixel rows and columns) and the pixel layout.
#include <gtest/gtest.h>

#include <GL/gl.h>
#include <GL/glu.h>

#include <cstdint>
#include <string>
#include <vector>

#include "render/mipmap_upload.h"
#include "tests/render/gl_test_context.h"

namespace {

using vl::render::MipmapSource;

struct Level {
  int w = 0, h = 0;
  std::vector<uint8_t> rgba;
};

// Every level of the bound texture, read back as RGBA.
std::vector<Level> ReadLevels() {
  std::vector<Level> levels;
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  for (GLint index = 0;; ++index) {
    Level l;
    glGetTexLevelParameteriv(GL_TEXTURE_2D, index, GL_TEXTURE_WIDTH, &l.w);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, index, GL_TEXTURE_HEIGHT, &l.h);
    if (l.w == 0 || l.h == 0) break;
    l.rgba.resize(size_t(l.w) * size_t(l.h) * 4);
    glGetTexImage(GL_TEXTURE_2D, index, GL_RGBA, GL_UNSIGNED_BYTE, l.rgba.data());
    levels.push_back(std::move(l));
  }
  return levels;
}

// Noise from a fixed generator: every rounding of the filters shows in it.
std::vector<uint8_t> Noise(size_t bytes, uint32_t seed) {
  std::vector<uint8_t> v(bytes);
  for (uint8_t& b : v) {
    seed = seed * 1664525u + 1013904223u;
    b = uint8_t(seed >> 24);
  }
  return v;
}

TEST(MipmapUpload, LevelsMatchTheGluBuilderByteForByte) {
  VL_REQUIRE_GL(gl, 16, 16);
  struct Case {
    int w, h, components;
    GLenum format;
    GLint internal;
    int alignment;
  };
  const Case cases[] = {
      // Pictures: RGBA, power-of-two sides, uploaded with 3 components.
      {1, 1, 4, GL_RGBA, 3, 4},
      {2, 2, 4, GL_RGBA, 3, 4},
      {1, 16, 4, GL_RGBA, 3, 4},
      {32, 1, 4, GL_RGBA, 3, 4},
      {64, 16, 4, GL_RGBA, 3, 4},
      {256, 256, 4, GL_RGBA, 3, 4},
      // Particle textures: packed RGBA, RGB and one-byte pixels of any size, resized up or down.
      {3, 5, 4, GL_RGBA, 4, 1},
      {5, 3, 4, GL_RGBA, 4, 1},
      {13, 17, 4, GL_RGBA, 4, 1},
      {48, 48, 4, GL_RGBA, 4, 1},
      {100, 60, 4, GL_RGBA, 4, 1},
      {640, 480, 4, GL_RGBA, 4, 1},
      {1, 7, 4, GL_RGBA, 4, 1},
      {7, 1, 4, GL_RGBA, 4, 1},
      {383, 97, 4, GL_RGBA, 4, 1},
      {3, 3, 3, GL_RGB, 3, 1},
      {33, 65, 3, GL_RGB, 3, 1},
      {129, 127, 3, GL_RGB, 3, 1},
      {5, 9, 1, GL_LUMINANCE, GL_LUMINANCE, 1},
      {64, 64, 1, GL_LUMINANCE, GL_LUMINANCE, 1},
      // The built-in picture: BGR rows padded to 4 bytes; an odd width pads every row.
      {64, 64, 3, GL_BGR, 3, 4},
      {13, 6, 3, GL_BGR, 3, 4},
      {16, 13, 3, GL_BGR, 3, 4},
  };
  uint32_t seed = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.w) + " x " + std::to_string(c.h) + " x " + std::to_string(c.components) +
                 ", alignment " + std::to_string(c.alignment));
    const size_t row = (size_t(c.w) * c.components + c.alignment - 1) / c.alignment * c.alignment;
    const std::vector<uint8_t> pixels = Noise(row * size_t(c.h), seed++);

    GLuint textures[2];
    glGenTextures(2, textures);
    glBindTexture(GL_TEXTURE_2D, textures[0]);
    glPixelStorei(GL_UNPACK_ALIGNMENT, c.alignment);
    ASSERT_EQ(gluBuild2DMipmaps(GL_TEXTURE_2D, c.internal, c.w, c.h, c.format, GL_UNSIGNED_BYTE, pixels.data()), 0);
    const std::vector<Level> expected = ReadLevels();

    glBindTexture(GL_TEXTURE_2D, textures[1]);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 8);  // whatever the caller left must not matter
    std::string why;
    ASSERT_TRUE(vl::render::UploadMipmaps(MipmapSource{c.w, c.h, c.components, c.format, c.alignment, pixels},
                                          c.internal, &why))
        << why;
    GLint alignment = 0;
    glGetIntegerv(GL_UNPACK_ALIGNMENT, &alignment);
    EXPECT_EQ(alignment, 8) << "the caller's alignment is given back";
    const std::vector<Level> actual = ReadLevels();

    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < actual.size(); ++i) {
      SCOPED_TRACE("level " + std::to_string(i));
      EXPECT_EQ(actual[i].w, expected[i].w);
      EXPECT_EQ(actual[i].h, expected[i].h);
      EXPECT_TRUE(actual[i].rgba == expected[i].rgba);
    }
    glDeleteTextures(2, textures);
  }
}

TEST(MipmapUpload, PixelsThatDoNotFillTheirSizeAreRefused) {
  VL_REQUIRE_GL(gl, 16, 16);
  GLuint texture = 0;
  glGenTextures(1, &texture);
  glBindTexture(GL_TEXTURE_2D, texture);
  std::string why;
  // 5 RGB pixels padded to 16-byte rows need 16 + 15 bytes for two rows.
  EXPECT_FALSE(vl::render::UploadMipmaps(MipmapSource{5, 2, 3, GL_RGB, 8, std::vector<uint8_t>(30)}, 3, &why));
  EXPECT_NE(why.find("do not fill a 5 x 2 picture"), std::string::npos) << why;
  EXPECT_FALSE(vl::render::UploadMipmaps(MipmapSource{0, 2, 3, GL_RGB, 1, {}}, 3, &why));
  EXPECT_TRUE(vl::render::UploadMipmaps(MipmapSource{5, 2, 3, GL_RGB, 8, std::vector<uint8_t>(31)}, 3, &why)) << why;
  glDeleteTextures(1, &texture);
}

TEST(MipmapUpload, GluPowerOfTwoRounding) {
  const int32_t pairs[][2] = {{1, 1}, {2, 2}, {3, 4}, {5, 4}, {6, 8}, {7, 8}, {767, 512}, {768, 1024}, {16383, 16384}};
  for (const auto& p : pairs) EXPECT_EQ(vl::render::NearestPowerOfTwo(p[0]), p[1]) << p[0];
}

}  // namespace
