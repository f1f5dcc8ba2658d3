// The glow captures' own 512 x 512 drawing target: a framebuffer object with colour and depth, so
// a capture sees the whole capture area whatever the size of the window or the output it is drawn
// for. Needs framebuffer objects (GL 3.0); without them the captures draw into the lower-left
// corner of the current framebuffer as before. Restores whatever framebuffer was bound.
#pragma once
#include <cstdint>

namespace vl::render {

// GL capabilities the render passes may use beyond GL 1.1, read once the context is current.
struct GlCapabilities {
  bool framebuffer_objects = false;  // GL 3.0 framebuffers and blits
  bool fragment_programs = false;    // GLSL 1.30 programs
};
GlCapabilities QueryGlCapabilities();

class CaptureTarget {
 public:
  // Creates the target; false (and nothing created) when the context has no framebuffer objects.
  bool Create(int size);
  bool valid() const { return framebuffer_ != 0; }

  // Binds the target for drawing with a viewport over all of it, cleared to the current clear
  // colour and depth. With `copy_frame` the lower-left corner of the framebuffer that was bound
  // (`frame_width` x `frame_height` of it, at most the target's size) is copied in first, so the
  // capture starts from what the frame holds there.
  void Begin(bool copy_frame, int frame_width, int frame_height);
  // Copies the target into `texture` as GL_LUMINANCE and binds the previous framebuffer again.
  void End(uint32_t texture);

 private:
  uint32_t framebuffer_ = 0;
  uint32_t colour_ = 0;
  uint32_t depth_ = 0;
  int size_ = 0;
  int previous_draw_ = 0;
  int previous_read_ = 0;
};

}  // namespace vl::render
