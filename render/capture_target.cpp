#include "render/capture_target.h"

#define GL_GLEXT_PROTOTYPES 1
#include <GL/gl.h>
#include <GL/glext.h>

#include <algorithm>
#include <cstdio>

namespace vl::render {

GlCapabilities QueryGlCapabilities() {
  GlCapabilities caps;
  const auto* version = reinterpret_cast<const char*>(glGetString(GL_VERSION));
  int major = 0, minor = 0;
  if (version) std::sscanf(version, "%d.%d", &major, &minor);
  caps.framebuffer_objects = major >= 3;
  if (major >= 3) {
    const auto* glsl = reinterpret_cast<const char*>(glGetString(GL_SHADING_LANGUAGE_VERSION));
    int glsl_major = 0, glsl_minor = 0;
    if (glsl) std::sscanf(glsl, "%d.%d", &glsl_major, &glsl_minor);
    caps.fragment_programs = glsl_major > 1 || (glsl_major == 1 && glsl_minor >= 30);
  }
  return caps;
}

bool CaptureTarget::Create(int size) {
  if (framebuffer_ || !QueryGlCapabilities().framebuffer_objects) return valid();
  GLint previous = 0;
  glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &previous);
  glGenFramebuffers(1, &framebuffer_);
  glGenRenderbuffers(1, &colour_);
  glGenRenderbuffers(1, &depth_);
  glBindRenderbuffer(GL_RENDERBUFFER, colour_);
  glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, size, size);
  // Depth with stencil, as the window's and the headless framebuffer's, so depth tests in a
  // capture come out as they would in the frame.
  glBindRenderbuffer(GL_RENDERBUFFER, depth_);
  glRenderbufferStorage(GL_RENDERBUFFER, GL_DEPTH24_STENCIL8, size, size);
  glBindRenderbuffer(GL_RENDERBUFFER, 0);
  glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_);
  glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, colour_);
  glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_STENCIL_ATTACHMENT, GL_RENDERBUFFER, depth_);
  const bool complete = glCheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
  glBindFramebuffer(GL_FRAMEBUFFER, static_cast<GLuint>(previous));
  if (!complete) {
    glDeleteFramebuffers(1, &framebuffer_);
    glDeleteRenderbuffers(1, &colour_);
    glDeleteRenderbuffers(1, &depth_);
    framebuffer_ = colour_ = depth_ = 0;
    return false;
  }
  size_ = size;
  return true;
}

void CaptureTarget::Begin(bool copy_frame, int frame_width, int frame_height) {
  glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &previous_draw_);
  glGetIntegerv(GL_READ_FRAMEBUFFER_BINDING, &previous_read_);
  glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_);
  glViewport(0, 0, size_, size_);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  const int w = std::min(frame_width, size_);
  const int h = std::min(frame_height, size_);
  if (copy_frame && w > 0 && h > 0) {
    glBindFramebuffer(GL_READ_FRAMEBUFFER, static_cast<GLuint>(previous_draw_));
    glBlitFramebuffer(0, 0, w, h, 0, 0, w, h, GL_COLOR_BUFFER_BIT, GL_NEAREST);
    glBindFramebuffer(GL_READ_FRAMEBUFFER, framebuffer_);
  }
}

void CaptureTarget::End(uint32_t texture) {
  glBindTexture(GL_TEXTURE_2D, texture);
  glCopyTexImage2D(GL_TEXTURE_2D, 0, GL_LUMINANCE, 0, 0, size_, size_, 0);
  glBindFramebuffer(GL_DRAW_FRAMEBUFFER, static_cast<GLuint>(previous_draw_));
  glBindFramebuffer(GL_READ_FRAMEBUFFER, static_cast<GLuint>(previous_read_));
}

}  // namespace vl::render
