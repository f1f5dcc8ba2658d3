#include <GL/gl.h>

#include "platform/headless/png_file.h"
#include "tests/render/gl_test_context.h"

namespace vl::headless {
namespace {

TEST(HeadlessContext, ClearsAndReadsBackTopRowFirst) {
  VL_REQUIRE_GL(gl, 64, 48);
  EXPECT_EQ(gl->width(), 64);
  EXPECT_EQ(gl->height(), 48);
  EXPECT_NE(gl->Description().find("Compatibility"), std::string::npos) << gl->Description();

  glClearColor(1.0f, 0.0f, 0.0f, 1.0f);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  // Paint the bottom 8 GL rows green: they must come back as the last rows of the image.
  glEnable(GL_SCISSOR_TEST);
  glScissor(0, 0, 64, 8);
  glClearColor(0.0f, 1.0f, 0.0f, 1.0f);
  glClear(GL_COLOR_BUFFER_BIT);
  glDisable(GL_SCISSOR_TEST);

  Image img = gl->ReadPixels();
  ASSERT_EQ(img.rgba.size(), 64u * 48u * 4u);
  EXPECT_EQ(img.Pixel(10, 0)[0], 255);
  EXPECT_EQ(img.Pixel(10, 0)[1], 0);
  EXPECT_EQ(img.Pixel(10, 47)[0], 0);
  EXPECT_EQ(img.Pixel(10, 47)[1], 255);
}

TEST(HeadlessContext, HasDepthStencilAndLegacyFeatures) {
  VL_REQUIRE_GL(gl, 32, 32);
  GLint depth = 0, stencil = 0;
  glGetIntegerv(GL_DEPTH_BITS, &depth);
  glGetIntegerv(GL_STENCIL_BITS, &stencil);
  EXPECT_GE(depth, 16);
  EXPECT_GE(stencil, 8);
  // Display lists and glCopyTexImage2D from the framebuffer are what the renderer leans on.
  GLuint list = glGenLists(1);
  ASSERT_NE(list, 0u);
  glNewList(list, GL_COMPILE);
  glClearColor(0.0f, 0.0f, 1.0f, 1.0f);
  glEndList();
  glCallList(list);
  glClear(GL_COLOR_BUFFER_BIT);
  GLuint tex = 0;
  glGenTextures(1, &tex);
  glBindTexture(GL_TEXTURE_2D, tex);
  glCopyTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, 0, 0, 16, 16, 0);
  EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
  Image img = gl->ReadPixels();
  EXPECT_EQ(img.Pixel(5, 5)[2], 255);
  glDeleteTextures(1, &tex);
  glDeleteLists(list, 1);
}

TEST(HeadlessContext, RefusesSillySizes) {
  std::string error;
  EXPECT_EQ(HeadlessContext::Create(0, 10, &error), nullptr);
  EXPECT_NE(error.find("0x10"), std::string::npos) << error;
  EXPECT_EQ(HeadlessContext::Create(100000, 10, &error), nullptr);
}

TEST(PngFile, SameImageSameBytesAndValidSignature) {
  Image img;
  img.width = 3;
  img.height = 2;
  img.rgba = {1, 2, 3, 255, 4, 5, 6, 255, 7, 8, 9, 255, 10, 11, 12, 255, 13, 14, 15, 255, 16, 17, 18, 255};
  std::string error;
  auto a = EncodePng(img, &error);
  auto b = EncodePng(img, &error);
  ASSERT_FALSE(a.empty()) << error;
  EXPECT_EQ(a, b);
  const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  EXPECT_TRUE(std::equal(signature, signature + 8, a.begin()));

  img.rgba.pop_back();  // buffer no longer matches the size
  EXPECT_TRUE(EncodePng(img, &error).empty());
  EXPECT_FALSE(error.empty());
}

TEST(PngFile, WriteFailureNamesTheFile) {
  Image img;
  img.width = img.height = 1;
  img.rgba = {0, 0, 0, 255};
  std::string error;
  EXPECT_FALSE(WritePngFile(img, "/nonexistent-dir/x/frame.png", &error));
  EXPECT_NE(error.find("/nonexistent-dir/x/frame.png"), std::string::npos) << error;
}

TEST(PngFile, DownscaleAveragesBoxes) {
  Image img;
  img.width = 4;
  img.height = 2;
  img.rgba.assign(4 * 2 * 4, 0);
  for (int y = 0; y < 2; ++y)  // left half black, right half white
    for (int x = 2; x < 4; ++x)
      for (int c = 0; c < 4; ++c) img.rgba[(y * 4 + x) * 4 + c] = 255;
  Image small = Downscale(img, 2, 1);
  ASSERT_EQ(small.rgba.size(), 8u);
  EXPECT_EQ(small.Pixel(0, 0)[0], 0);
  EXPECT_EQ(small.Pixel(1, 0)[0], 255);
  Image half = Downscale(img, 1, 1);
  EXPECT_EQ(half.Pixel(0, 0)[0], 128);
}

}  // namespace
}  // namespace vl::headless
