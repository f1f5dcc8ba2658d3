// Echo sums: echoes of every layer count share a few programs, and a sum drawn by a program built
// for more layers than the echo has adds only what its own layers add.
#include <gtest/gtest.h>

#define GL_GLEXT_PROTOTYPES 1
#include <GL/gl.h>

#include <algorithm>
#include <vector>

#include "platform/headless/headless_context.h"
#include "render/echo_sum.h"
#include "tests/render/gl_test_context.h"

namespace vl::render {
namespace {

// A capture of one grey level everywhere, clamped at its edges: the sums cannot tell where it
// holds only its background, so every layer is sampled everywhere.
GLuint GreyCapture(int level) {
  GLuint texture = 0;
  glGenTextures(1, &texture);
  glBindTexture(GL_TEXTURE_2D, texture);
  std::vector<uint8_t> pixels(64 * 64 * 4, static_cast<uint8_t>(level));
  glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, 64, 64, 0, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
  return texture;
}

EchoInputs Layers(GLuint texture, int count) {
  EchoInputs in;
  in.texture = texture;
  in.colour = {1.0f, 0.5f, 0.25f};
  for (int i = 0; i < count; ++i) in.layers.push_back({0.01f * static_cast<float>(i), 9 + 3 * i});
  return in;
}

TEST(EchoSum, EveryLayerCountSharesAFewPrograms) {
  VL_REQUIRE_GL(gl, 32, 24);
  EchoSum sum;
  ASSERT_TRUE(sum.Init(true, true));
  const GLuint capture = GreyCapture(200);
  glViewport(0, 0, 32, 24);
  glEnable(GL_BLEND);
  for (int count = 1; count <= 70; ++count) {
    EchoInputs in = Layers(capture, count);
    in.serial = count;
    ASSERT_TRUE(sum.Add(in, 32, 24, false, -1)) << count << " layers";
  }
  // One program per size the passes are cut to, not one per count: each is compiled code the
  // driver keeps for the context's life.
  EXPECT_LE(sum.programs_built(), 4);
}

TEST(EchoSum, PaddedPassesAddOnlyTheEchosOwnLayers) {
  VL_REQUIRE_GL(gl, 32, 24);
  EchoSum sum;
  ASSERT_TRUE(sum.Init(true, true));
  const GLuint capture = GreyCapture(90);
  glViewport(0, 0, 32, 24);
  glEnable(GL_BLEND);
  // 5 and 17 layers: passes of 16 and programs with room for 8 and 4; 2 saturates nothing.
  for (int count : {2, 5, 17}) {
    glClearColor(0, 0, 0, 0);
    glClear(GL_COLOR_BUFFER_BIT);
    const EchoInputs in = Layers(capture, count);
    ASSERT_TRUE(sum.Add(in, 32, 24, false, -1));
    const headless::Image image = gl->ReadPixels();
    for (int c = 0; c < 3; ++c) {
      int expected = 0;
      for (const EchoLayer& l : in.layers)
        expected += ConstantLayerValue(in.colour[static_cast<size_t>(c)], 90, l.alpha8);
      EXPECT_EQ(image.Pixel(16, 12)[c], std::min(expected, 255)) << count << " layers, channel " << c;
    }
  }
}

}  // namespace
}  // namespace vl::render
