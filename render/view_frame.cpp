#include "render/view_frame.h"

#include <GL/gl.h>

#include <algorithm>
#include <utility>

namespace vl::render {

void BeginViewFrame(int width, int height) { glViewport(0, 0, width, height); }

void FinishFrame() { glFinish(); }

void ReadViewFrame(int width, int height, uint32_t* out) {
  if (width <= 0 || height <= 0) return;
  glPixelStorei(GL_PACK_ALIGNMENT, 4);
  glPixelStorei(GL_PACK_ROW_LENGTH, 0);
  glReadPixels(0, 0, width, height, GL_BGRA, GL_UNSIGNED_BYTE, out);
  // GL's rows run bottom up: swapped in place, made opaque on the way, in one pass.
  const size_t w = static_cast<size_t>(width);
  for (int top = 0, bottom = height - 1; top <= bottom; ++top, --bottom) {
    uint32_t* a = out + static_cast<size_t>(top) * w;
    uint32_t* b = out + static_cast<size_t>(bottom) * w;
    for (size_t x = 0; x < w; ++x) {
      const uint32_t upper = a[x] | 0xFF000000u;
      a[x] = b[x] | 0xFF000000u;
      b[x] = upper;
    }
  }
}

uint32_t TakeGlError() { return glGetError(); }

void ClearToBackground(const engine::SceneState& s) {
  glClearColor(s.work.background_r / 255.0f, s.work.background_g / 255.0f, s.work.background_b / 255.0f, 1.0f);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  glColor4f(1.0f, 1.0f, 1.0f, 1.0f);
}

void ClearToBlack() { glClearColor(0.0f, 0.0f, 0.0f, 0.0f); }

}  // namespace vl::render
