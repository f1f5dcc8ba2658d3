// The frame a host shows: read back top row first (GL's rows run bottom up) and opaque whatever
// alpha the frame left, for heights odd and even.
#include <gtest/gtest.h>

#include <GL/gl.h>

#include <vector>

#include "render/view_frame.h"
#include "tests/render/gl_test_context.h"

namespace vl::render {
namespace {

TEST(ViewFrame, ReadBackTopRowFirstAndOpaque) {
  for (const int height : {7, 8}) {
    const int width = 5;
    VL_REQUIRE_GL(gl, width, height);
    BeginViewFrame(width, height);
    // Transparent blue everywhere, then GL's bottom row (the picture's last) half-transparent red.
    glDisable(GL_SCISSOR_TEST);
    glClearColor(0.0f, 0.0f, 1.0f, 0.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    glEnable(GL_SCISSOR_TEST);
    glScissor(0, 0, width, 1);
    glClearColor(1.0f, 0.0f, 0.0f, 0.5f);
    glClear(GL_COLOR_BUFFER_BIT);
    glDisable(GL_SCISSOR_TEST);
    std::vector<uint32_t> pixels(static_cast<size_t>(width * height), 0u);
    ReadViewFrame(width, height, pixels.data());
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) {
        const uint32_t want = y == height - 1 ? 0xFFFF0000u : 0xFF0000FFu;
        ASSERT_EQ(pixels[static_cast<size_t>(y * width + x)], want)
            << "x " << x << ", y " << y << ", height " << height;
      }
    EXPECT_EQ(TakeGlError(), 0u);
  }
}

}  // namespace
}  // namespace vl::render
