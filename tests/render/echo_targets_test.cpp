// The echo sums' images and framebuffers: released together while the context is current, with
// nothing kept that a later echo could take for its own, and made again as good as new.
#include <gtest/gtest.h>

#define GL_GLEXT_PROTOTYPES 1
#include <GL/gl.h>

#include <vector>

#include "platform/headless/headless_context.h"
#include "render/echo_sum.h"
#include "tests/render/gl_test_context.h"

namespace vl::render {
namespace {

// A capture with a patch of levels in the middle of its background, repeating at its edges.
GLuint Capture() {
  GLuint capture = 0;
  glGenTextures(1, &capture);
  glBindTexture(GL_TEXTURE_2D, capture);
  std::vector<uint8_t> pixels(64 * 64 * 4, 20);
  for (int y = 16; y < 48; ++y)
    for (int x = 24; x < 40; ++x)
      for (int c = 0; c < 4; ++c) pixels[static_cast<size_t>(y * 64 + x) * 4 + c] = static_cast<uint8_t>(3 * x + 2 * y);
  glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, 64, 64, 0, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
  return capture;
}

TEST(EchoTargets, ReleaseDeletesEveryImageAndTheSumsComeBackTheSame) {
  constexpr int kW = 320, kH = 256;  // large enough for the fast sums to take the reduced way
  VL_REQUIRE_GL(gl, kW, kH);
  const GLuint capture = Capture();
  glViewport(0, 0, kW, kH);
  glEnable(GL_BLEND);
  EchoInputs in;
  in.texture = capture;
  in.colour = {0.9f, 0.6f, 0.3f};
  in.serial = 1;
  for (int i = 0; i < 30; ++i) in.layers.push_back({0.015f * static_cast<float>(i), 20 + 4 * i});

  EchoSum sum;
  ASSERT_TRUE(sum.Init(true, true));
  sum.set_plain(true);  // summed aside: the scratch and kept images are made
  // Every way that makes images: kept, fast and kept, and the kept sum added again.
  auto draw_all = [&] {
    std::vector<headless::Image> frames;
    for (bool fast : {false, true}) {
      glClearColor(0.05f, 0.1f, 0.2f, 1.0f);
      glClear(GL_COLOR_BUFFER_BIT);
      EXPECT_TRUE(sum.Add(in, kW, kH, fast, fast ? 1 : 0));
      frames.push_back(gl->ReadPixels());
    }
    glClear(GL_COLOR_BUFFER_BIT);
    EXPECT_TRUE(sum.AddKept(0, in, kW, kH));
    frames.push_back(gl->ReadPixels());
    return frames;
  };
  const std::vector<headless::Image> before = draw_all();
  const std::vector<uint32_t> textures = sum.targets().textures();
  const std::vector<uint32_t> framebuffers = sum.targets().framebuffers();
  ASSERT_GE(textures.size(), 2u);
  ASSERT_GE(framebuffers.size(), 2u);

  sum.Release();
  for (uint32_t t : textures) EXPECT_FALSE(glIsTexture(t)) << "texture " << t;
  for (uint32_t f : framebuffers) EXPECT_FALSE(glIsFramebuffer(f)) << "framebuffer " << f;
  EXPECT_TRUE(sum.targets().textures().empty());
  EXPECT_TRUE(sum.targets().framebuffers().empty());
  // A sum kept before is gone with its image, though the inputs still match.
  EXPECT_FALSE(sum.HasKept(0, in));
  EXPECT_FALSE(sum.AddKept(0, in, kW, kH));

  // Made again on the next echo, at the sizes it needs, drawing the same.
  const std::vector<headless::Image> after = draw_all();
  ASSERT_EQ(after.size(), before.size());
  for (size_t f = 0; f < after.size(); ++f) EXPECT_EQ(after[f].rgba, before[f].rgba) << "frame " << f;
}

// A target whose framebuffer cannot be completed is left unsized: asked again at the same size,
// it is tried again rather than taken as ready.
TEST(EchoTargets, AnIncompleteTargetIsNeverTakenAsReady) {
  VL_REQUIRE_GL(gl, 16, 16);
  // Wider than any texture GL allows: the image is refused and the framebuffer has none.
  GLint max_size = 0;
  glGetIntegerv(GL_MAX_TEXTURE_SIZE, &max_size);
  EchoTargets targets;
  SumTarget t;
  EXPECT_FALSE(targets.Prepare(t, 2 * max_size, 1));
  EXPECT_FALSE(targets.Prepare(t, 2 * max_size, 1));
  for (int i = 0; i < 16 && glGetError() != GL_NO_ERROR; ++i) {}
  EXPECT_TRUE(targets.Prepare(t, 8, 8));
  EXPECT_TRUE(targets.Prepare(t, 8, 8));
  targets.Release();
  // Not one of the targets' own, so released by hand.
  glDeleteFramebuffers(1, &t.framebuffer);
  glDeleteTextures(1, &t.texture);
}

}  // namespace
}  // namespace vl::render
