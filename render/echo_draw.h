// The echo compositor's drawing helpers: the guard for the GL state it changes, scoped
// framebuffer and canvas set-ups, and the quads its passes draw. GL only; no plan or policy here.
#pragma once
#include <array>
#include <cstdint>
#include <vector>

#include "render/echo_plan.h"

namespace vl::render {

// The GL state every drawing call of the compositor works in, for the life of the object.
// On entry: face culling off (the sums' quads and the lit probes are drawn whichever way they
// face) and the blend function ONE/ONE (every pass adds).
// Expects blending and 2D texturing on, as the echo quads draw (a lit sum draws its colour image
// with both off and turns them on again).
// Leaves: the blend function ONE/ONE, no program in use, texture unit 0 active, face culling as
// it was; the bound framebuffer, viewport, scissor, matrices and clear colour as they were (the
// scoped helpers below put those back themselves); the texture bound on unit 0 whatever was
// drawn last.
class EchoStateGuard {
 public:
  EchoStateGuard();
  EchoStateGuard(const EchoStateGuard&) = delete;
  EchoStateGuard& operator=(const EchoStateGuard&) = delete;
  ~EchoStateGuard();

 private:
  bool culling_was_on_;
};

// Draws into a framebuffer for the life of the object; the framebuffer, viewport and clear colour
// in force before come back after.
class DrawInto {
 public:
  DrawInto(uint32_t framebuffer, int width, int height);
  DrawInto(const DrawInto&) = delete;
  DrawInto& operator=(const DrawInto&) = delete;
  ~DrawInto();
  // Clears the colour buffer to transparent black.
  static void Clear();

 private:
  int previous_ = 0;
  int viewport_[4] = {0, 0, 0, 0};
  float clear_[4] = {0, 0, 0, 0};
};

// The 640 x 480 canvas the echoes are drawn on: top-left origin, both matrices pushed (and the
// model-view one current) until PopCanvas.
void PushCanvas();
void PopCanvas();

// The canvas projection (640 x 480, as the layers' quads are drawn) and the scissor test for the
// life of the object, then both as they were, and texture unit 0 active.
class CanvasScissored {
 public:
  CanvasScissored();
  CanvasScissored(const CanvasScissored&) = delete;
  CanvasScissored& operator=(const CanvasScissored&) = delete;
  ~CanvasScissored();
  // x0, y0, x1, y1 in the viewport's pixels.
  void Scissor(const std::array<int, 4>& r) const;

 private:
  bool was_on_;
  int viewport_[4] = {0, 0, 0, 0};
  int box_[4] = {0, 0, 0, 0};
};

// The layers' own quad: the 640 x 480 canvas over the viewport, in the colour they set.
void CanvasQuad(const std::array<float, 3>& colour);
// The unit square, for programs that place it over the viewport themselves.
void UnitQuad();
// The canvas quad with the corners in the order the quads draw them, carrying the texture
// coordinates of layers start..start + count - 1 two to a set (xy, zw): the rasteriser cuts it
// into the quads' triangles and interpolates each coordinate as it does the quads'. Expects the
// canvas projection; the scissor box picks the pixels.
void LayersQuad(const std::vector<EchoLayer>& layers, int start, int count);

}  // namespace vl::render
