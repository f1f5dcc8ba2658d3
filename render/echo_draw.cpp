#include "render/echo_draw.h"

#define GL_GLEXT_PROTOTYPES 1
#include <GL/gl.h>
#include <GL/glext.h>

namespace vl::render {

EchoStateGuard::EchoStateGuard() : culling_was_on_(glIsEnabled(GL_CULL_FACE) == GL_TRUE) {
  glDisable(GL_CULL_FACE);
  glBlendFunc(GL_ONE, GL_ONE);
}

EchoStateGuard::~EchoStateGuard() {
  glUseProgram(0);
  glActiveTexture(GL_TEXTURE0);
  glBlendFunc(GL_ONE, GL_ONE);
  if (culling_was_on_) glEnable(GL_CULL_FACE);
}

DrawInto::DrawInto(uint32_t framebuffer, int width, int height) {
  glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &previous_);
  glGetIntegerv(GL_VIEWPORT, viewport_);
  glGetFloatv(GL_COLOR_CLEAR_VALUE, clear_);
  glBindFramebuffer(GL_DRAW_FRAMEBUFFER, framebuffer);
  glViewport(0, 0, width, height);
}

DrawInto::~DrawInto() {
  glBindFramebuffer(GL_DRAW_FRAMEBUFFER, static_cast<GLuint>(previous_));
  glViewport(viewport_[0], viewport_[1], viewport_[2], viewport_[3]);
  glClearColor(clear_[0], clear_[1], clear_[2], clear_[3]);
}

void DrawInto::Clear() {
  glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
  glClear(GL_COLOR_BUFFER_BIT);
}

void PushCanvas() {
  glMatrixMode(GL_PROJECTION);
  glPushMatrix();
  glLoadIdentity();
  glOrtho(0.0, 640.0, 480.0, 0.0, -1.0, 1.0);
  glMatrixMode(GL_MODELVIEW);
  glPushMatrix();
  glLoadIdentity();
}

void PopCanvas() {
  glMatrixMode(GL_MODELVIEW);
  glPopMatrix();
  glMatrixMode(GL_PROJECTION);
  glPopMatrix();
  glMatrixMode(GL_MODELVIEW);
}

CanvasScissored::CanvasScissored() : was_on_(glIsEnabled(GL_SCISSOR_TEST) == GL_TRUE) {
  glGetIntegerv(GL_VIEWPORT, viewport_);
  glGetIntegerv(GL_SCISSOR_BOX, box_);
  glEnable(GL_SCISSOR_TEST);
  PushCanvas();
}

CanvasScissored::~CanvasScissored() {
  PopCanvas();
  glScissor(box_[0], box_[1], box_[2], box_[3]);
  if (!was_on_) glDisable(GL_SCISSOR_TEST);
  glActiveTexture(GL_TEXTURE0);
}

void CanvasScissored::Scissor(const std::array<int, 4>& r) const {
  glScissor(viewport_[0] + r[0], viewport_[1] + r[1], r[2] - r[0], r[3] - r[1]);
}

void CanvasQuad(const std::array<float, 3>& colour) {
  PushCanvas();
  glColor4f(colour[0], colour[1], colour[2], 1.0f);
  glBegin(GL_QUADS);
  glVertex2f(0.0f, 0.0f);
  glVertex2f(0.0f, 480.0f);
  glVertex2f(640.0f, 480.0f);
  glVertex2f(640.0f, 0.0f);
  glEnd();
  PopCanvas();
}

void UnitQuad() {
  glBegin(GL_QUADS);
  glVertex2f(0.0f, 0.0f);
  glVertex2f(1.0f, 0.0f);
  glVertex2f(1.0f, 1.0f);
  glVertex2f(0.0f, 1.0f);
  glEnd();
}

void LayersQuad(const std::vector<EchoLayer>& layers, int start, int count) {
  static constexpr float kX[4] = {0.0f, 0.0f, 640.0f, 640.0f}, kY[4] = {0.0f, 480.0f, 480.0f, 0.0f};
  glBegin(GL_QUADS);
  for (int corner = 0; corner < 4; ++corner) {
    for (int i = 0; i < count; i += 2) {
      float c[4] = {0, 0, 0, 0};
      for (int k = 0; k < 2 && i + k < count; ++k) {
        const float t = layers[static_cast<size_t>(start + i + k)].inset;
        c[2 * k] = corner < 2 ? t : 1.0f - t;
        c[2 * k + 1] = corner == 0 || corner == 3 ? 1.0f - t : t;
      }
      glMultiTexCoord4f(static_cast<GLenum>(GL_TEXTURE0 + i / 2), c[0], c[1], c[2], c[3]);
    }
    glVertex2f(kX[corner], kY[corner]);
  }
  glEnd();
}

}  // namespace vl::render
