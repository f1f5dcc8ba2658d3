// A GL context without a window: EGL on Mesa's surfaceless platform, drawing into a framebuffer
// object of a fixed size with depth and stencil. Used by vantaloop-cli render, the GL tests and the
// benchmarks. Knows nothing about loops or the renderer; render/ must not include this.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vl::headless {

// An RGBA8 picture, rows from top to bottom.
struct Image {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgba;  // width * height * 4 bytes

  const uint8_t* Pixel(int x, int y) const { return &rgba[(static_cast<size_t>(y) * width + x) * 4]; }
};

class HeadlessContext {
 public:
  // Makes a compatibility-profile context and a width x height framebuffer with depth and stencil,
  // and leaves both current and bound. On failure returns null and says why in *error.
  static std::unique_ptr<HeadlessContext> Create(int width, int height, std::string* error);
  ~HeadlessContext();
  HeadlessContext(const HeadlessContext&) = delete;
  HeadlessContext& operator=(const HeadlessContext&) = delete;

  // Makes the context current on this thread and binds its framebuffer for drawing and reading.
  bool MakeCurrent();
  // Leaves no context current on this thread, so another thread may make this one current.
  void Release();
  // Gives the framebuffer a new size (its contents are then undefined); the context must be
  // current. False, and the old size kept, when the size is out of range.
  bool Resize(int width, int height);
  int width() const { return width_; }
  int height() const { return height_; }
  // GL_VERSION and GL_RENDERER, for messages.
  std::string Description() const;

  // Finishes drawing and reads the framebuffer back, top row first.
  Image ReadPixels() const;
  // The same into a picture kept by the caller: its memory is reused from frame to frame (a fresh
  // HD picture every frame costs more in page faults and clearing than the read itself).
  void ReadPixelsInto(Image* image) const;

 private:
  HeadlessContext() = default;
  bool Init(int width, int height, std::string* error);

  void* display_ = nullptr;  // EGLDisplay
  void* context_ = nullptr;  // EGLContext
  uint32_t framebuffer_ = 0;
  uint32_t colour_buffer_ = 0;
  uint32_t depth_stencil_buffer_ = 0;
  int width_ = 0;
  int height_ = 0;
};

}  // namespace vl::headless
