#include "platform/headless/headless_context.h"

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GL/gl.h>
#include <GL/glext.h>

#include <cstdio>
#include <cstring>

namespace vl::headless {
namespace {

// Framebuffer objects are GL 3.0; the GL library only promises 1.x entry points, so they are
// looked up at run time like every other extension.
struct FramebufferApi {
  PFNGLGENFRAMEBUFFERSPROC GenFramebuffers = nullptr;
  PFNGLDELETEFRAMEBUFFERSPROC DeleteFramebuffers = nullptr;
  PFNGLBINDFRAMEBUFFERPROC BindFramebuffer = nullptr;
  PFNGLGENRENDERBUFFERSPROC GenRenderbuffers = nullptr;
  PFNGLDELETERENDERBUFFERSPROC DeleteRenderbuffers = nullptr;
  PFNGLBINDRENDERBUFFERPROC BindRenderbuffer = nullptr;
  PFNGLRENDERBUFFERSTORAGEPROC RenderbufferStorage = nullptr;
  PFNGLFRAMEBUFFERRENDERBUFFERPROC FramebufferRenderbuffer = nullptr;
  PFNGLCHECKFRAMEBUFFERSTATUSPROC CheckFramebufferStatus = nullptr;
  bool complete = false;

  void Load() {
    auto get = [](const char* name) { return eglGetProcAddress(name); };
    GenFramebuffers = reinterpret_cast<PFNGLGENFRAMEBUFFERSPROC>(get("glGenFramebuffers"));
    DeleteFramebuffers = reinterpret_cast<PFNGLDELETEFRAMEBUFFERSPROC>(get("glDeleteFramebuffers"));
    BindFramebuffer = reinterpret_cast<PFNGLBINDFRAMEBUFFERPROC>(get("glBindFramebuffer"));
    GenRenderbuffers = reinterpret_cast<PFNGLGENRENDERBUFFERSPROC>(get("glGenRenderbuffers"));
    DeleteRenderbuffers = reinterpret_cast<PFNGLDELETERENDERBUFFERSPROC>(get("glDeleteRenderbuffers"));
    BindRenderbuffer = reinterpret_cast<PFNGLBINDRENDERBUFFERPROC>(get("glBindRenderbuffer"));
    RenderbufferStorage = reinterpret_cast<PFNGLRENDERBUFFERSTORAGEPROC>(get("glRenderbufferStorage"));
    FramebufferRenderbuffer = reinterpret_cast<PFNGLFRAMEBUFFERRENDERBUFFERPROC>(get("glFramebufferRenderbuffer"));
    CheckFramebufferStatus = reinterpret_cast<PFNGLCHECKFRAMEBUFFERSTATUSPROC>(get("glCheckFramebufferStatus"));
    complete = GenFramebuffers && DeleteFramebuffers && BindFramebuffer && GenRenderbuffers && DeleteRenderbuffers &&
               BindRenderbuffer && RenderbufferStorage && FramebufferRenderbuffer && CheckFramebufferStatus;
  }
};

// Looked up once for the process, when the first context is current: contexts live on several
// threads at once (the view's drawing, an export), and every one has the same entry points.
const FramebufferApi& Fbo() {
  static const FramebufferApi api = [] {
    FramebufferApi loaded;
    loaded.Load();
    return loaded;
  }();
  return api;
}

std::string EglError(const char* what) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "%s failed (EGL error 0x%04x)", what, eglGetError());
  return buf;
}

constexpr int kMaxSide = 16384;

}  // namespace

std::unique_ptr<HeadlessContext> HeadlessContext::Create(int width, int height, std::string* error) {
  std::unique_ptr<HeadlessContext> ctx(new HeadlessContext);
  std::string why;
  if (!ctx->Init(width, height, &why)) {
    if (error) *error = "cannot make a headless OpenGL context: " + why;
    return nullptr;
  }
  return ctx;
}

bool HeadlessContext::Init(int width, int height, std::string* error) {
  if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide) {
    *error = "frame size " + std::to_string(width) + "x" + std::to_string(height) + " is out of range";
    return false;
  }
  width_ = width;
  height_ = height;

  auto get_platform_display =
      reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(eglGetProcAddress("eglGetPlatformDisplayEXT"));
  if (!get_platform_display) {
    *error = "EGL has no eglGetPlatformDisplayEXT";
    return false;
  }
  EGLDisplay display = get_platform_display(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
  if (display == EGL_NO_DISPLAY) {
    *error = EglError("eglGetPlatformDisplay(surfaceless)");
    return false;
  }
  EGLint major = 0, minor = 0;
  if (!eglInitialize(display, &major, &minor)) {
    *error = EglError("eglInitialize");
    return false;
  }
  display_ = display;
  if (!eglBindAPI(EGL_OPENGL_API)) {
    *error = EglError("eglBindAPI(OpenGL)");
    return false;
  }
  // No surface at all: the context draws into its own framebuffer object.
  const EGLint config_attribs[] = {EGL_SURFACE_TYPE, 0, EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT, EGL_NONE};
  EGLConfig config = nullptr;
  EGLint config_count = 0;
  if (!eglChooseConfig(display, config_attribs, &config, 1, &config_count) || config_count < 1) {
    *error = EglError("eglChooseConfig");
    return false;
  }
  const EGLint context_attribs[] = {EGL_CONTEXT_OPENGL_PROFILE_MASK, EGL_CONTEXT_OPENGL_COMPATIBILITY_PROFILE_BIT,
                                    EGL_NONE};
  EGLContext context = eglCreateContext(display, config, EGL_NO_CONTEXT, context_attribs);
  if (context == EGL_NO_CONTEXT) {
    *error = EglError("eglCreateContext(compatibility profile)");
    return false;
  }
  context_ = context;
  if (!eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, context)) {
    *error = EglError("eglMakeCurrent");
    return false;
  }
  const FramebufferApi& fbo = Fbo();
  if (!fbo.complete) {
    *error = "the GL library has no framebuffer objects";
    return false;
  }
  fbo.GenFramebuffers(1, &framebuffer_);
  fbo.GenRenderbuffers(1, &colour_buffer_);
  fbo.GenRenderbuffers(1, &depth_stencil_buffer_);
  fbo.BindFramebuffer(GL_FRAMEBUFFER, framebuffer_);
  fbo.BindRenderbuffer(GL_RENDERBUFFER, colour_buffer_);
  fbo.RenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, width, height);
  fbo.FramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, colour_buffer_);
  fbo.BindRenderbuffer(GL_RENDERBUFFER, depth_stencil_buffer_);
  fbo.RenderbufferStorage(GL_RENDERBUFFER, GL_DEPTH24_STENCIL8, width, height);
  fbo.FramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_STENCIL_ATTACHMENT, GL_RENDERBUFFER, depth_stencil_buffer_);
  GLenum status = fbo.CheckFramebufferStatus(GL_FRAMEBUFFER);
  if (status != GL_FRAMEBUFFER_COMPLETE) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "framebuffer incomplete (0x%04x)", status);
    *error = buf;
    return false;
  }
  glDrawBuffer(GL_COLOR_ATTACHMENT0);
  glReadBuffer(GL_COLOR_ATTACHMENT0);
  glViewport(0, 0, width, height);
  return true;
}

HeadlessContext::~HeadlessContext() {
  if (!display_) return;
  auto display = static_cast<EGLDisplay>(display_);
  if (context_) {
    if (framebuffer_ && eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, static_cast<EGLContext>(context_))) {
      const FramebufferApi& fbo = Fbo();
      fbo.BindFramebuffer(GL_FRAMEBUFFER, 0);
      fbo.DeleteFramebuffers(1, &framebuffer_);
      fbo.DeleteRenderbuffers(1, &colour_buffer_);
      fbo.DeleteRenderbuffers(1, &depth_stencil_buffer_);
    }
    eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
    eglDestroyContext(display, static_cast<EGLContext>(context_));
  }
  // The display is shared by every context of the process; EGL reference-counts nothing, so
  // terminating it here would pull it from under another live context. It is left initialised.
}

bool HeadlessContext::MakeCurrent() {
  auto display = static_cast<EGLDisplay>(display_);
  if (!eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, static_cast<EGLContext>(context_))) return false;
  Fbo().BindFramebuffer(GL_FRAMEBUFFER, framebuffer_);
  return true;
}

void HeadlessContext::Release() {
  eglMakeCurrent(static_cast<EGLDisplay>(display_), EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
}

bool HeadlessContext::Resize(int width, int height) {
  if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide) return false;
  if (width == width_ && height == height_) return true;
  const FramebufferApi& fbo = Fbo();
  fbo.BindRenderbuffer(GL_RENDERBUFFER, colour_buffer_);
  fbo.RenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, width, height);
  fbo.BindRenderbuffer(GL_RENDERBUFFER, depth_stencil_buffer_);
  fbo.RenderbufferStorage(GL_RENDERBUFFER, GL_DEPTH24_STENCIL8, width, height);
  fbo.BindFramebuffer(GL_FRAMEBUFFER, framebuffer_);
  width_ = width;
  height_ = height;
  return true;
}

std::string HeadlessContext::Description() const {
  auto str = [](GLenum name) {
    const GLubyte* s = glGetString(name);
    return s ? std::string(reinterpret_cast<const char*>(s)) : std::string("?");
  };
  return str(GL_VERSION) + ", " + str(GL_RENDERER);
}

Image HeadlessContext::ReadPixels() const {
  Image image;
  ReadPixelsInto(&image);
  return image;
}

void HeadlessContext::ReadPixelsInto(Image* image) const {
  image->width = width_;
  image->height = height_;
  const size_t row = static_cast<size_t>(width_) * 4;
  image->rgba.resize(row * static_cast<size_t>(height_));
  glFinish();
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glPixelStorei(GL_PACK_ROW_LENGTH, 0);
  glReadPixels(0, 0, width_, height_, GL_RGBA, GL_UNSIGNED_BYTE, image->rgba.data());
  // GL's rows run bottom up: turned over in place, a row at a time.
  std::vector<uint8_t> spare(row);
  for (int y = 0, z = height_ - 1; y < z; ++y, --z) {
    uint8_t* top = &image->rgba[static_cast<size_t>(y) * row];
    uint8_t* bottom = &image->rgba[static_cast<size_t>(z) * row];
    std::memcpy(spare.data(), top, row);
    std::memcpy(top, bottom, row);
    std::memcpy(bottom, spare.data(), row);
  }
}

}  // namespace vl::headless
