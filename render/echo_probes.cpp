#include "render/echo_probes.h"

#define GL_GLEXT_PROTOTYPES 1
#include <GL/gl.h>
#include <GL/glext.h>

#include <algorithm>
#include <cmath>

#include "render/echo_draw.h"
#include "render/echo_programs.h"

namespace vl::render {

std::array<int, 256> AllLayersLevels(const EchoInputs& inputs) {
  std::array<int, 256> levels{};
  for (int c8 = 0; c8 < 256; ++c8) {
    int total = 0;
    for (const EchoLayer& l : inputs.layers) total += (c8 * l.alpha8 + 127) / 255;
    levels[static_cast<size_t>(c8)] = std::min(total, 255);
  }
  return levels;
}

// The margin covers the rasteriser's interpolation and this side's arithmetic against the
// program's.
bool SameLevels(const std::array<float, 3>& lo, const std::array<float, 3>& hi, int grey8,
                const std::array<int, 256>& levels, std::array<int, 3>* value) {
  constexpr float kMargin = 1e-4f;
  const float grey = static_cast<float>(grey8) / 255.0f;
  auto product8 = [grey](float colour) {
    return static_cast<size_t>(std::nearbyint(std::clamp(colour * grey, 0.0f, 1.0f) * 255.0f));
  };
  for (size_t c = 0; c < 3; ++c) {
    const int first = levels[product8(lo[c] - kMargin)], last = levels[product8(hi[c] + kMargin)];
    if (first != last) return false;
    (*value)[c] = first;
  }
  return true;
}

void FlatTilesOver(const EchoInputs& inputs, const std::array<LitCorner, 4>& v, bool through_first,
                   const std::vector<EchoTile>& tiles, int width, int height, int background,
                   std::map<std::array<int, 3>, std::vector<size_t>>* flat, std::vector<char>* is_flat) {
  // The colour over each of the two triangles the rasteriser cuts the quad into is a plane
  // through its corners; over a tile it lies between the planes' values at the tile's corners.
  const std::array<std::array<size_t, 3>, 2> triangles =
      through_first ? std::array<std::array<size_t, 3>, 2>{{{0, 1, 2}, {0, 2, 3}}}
                    : std::array<std::array<size_t, 3>, 2>{{{0, 1, 3}, {1, 2, 3}}};
  struct Plane {
    std::array<double, 3> base{}, dx{}, dy{};
  };
  std::array<Plane, 2> planes;
  for (size_t t = 0; t < 2; ++t) {
    const LitCorner& a = v[triangles[t][0]];
    const LitCorner& b = v[triangles[t][1]];
    const LitCorner& c = v[triangles[t][2]];
    const double det = (b.x - a.x) * (c.y - a.y) - (c.x - a.x) * (b.y - a.y);
    if (det == 0.0) return;
    for (size_t ch = 0; ch < 3; ++ch) {
      const double db = b.colour[ch] - a.colour[ch], dc = c.colour[ch] - a.colour[ch];
      planes[t].dx[ch] = (db * (c.y - a.y) - dc * (b.y - a.y)) / det;
      planes[t].dy[ch] = (dc * (b.x - a.x) - db * (c.x - a.x)) / det;
      planes[t].base[ch] = a.colour[ch] - planes[t].dx[ch] * a.x - planes[t].dy[ch] * a.y;
    }
  }
  const std::array<int, 256> levels = AllLayersLevels(inputs);
  for (size_t k = 0; k < tiles.size(); ++k) {
    const EchoTile& t = tiles[k];
    if (t.last >= t.first) continue;
    // Pixel centres at the tile's edges, across the viewport from 0 to 1.
    const double xs[2] = {(t.x0 + 0.5) / width, (t.x1 - 0.5) / width};
    const double ys[2] = {(t.y0 + 0.5) / height, (t.y1 - 0.5) / height};
    std::array<float, 3> lo{1e9f, 1e9f, 1e9f}, hi{-1e9f, -1e9f, -1e9f};
    for (const Plane& plane : planes)
      for (double x : xs)
        for (double y : ys)
          for (size_t ch = 0; ch < 3; ++ch) {
            const float value = static_cast<float>(plane.base[ch] + plane.dx[ch] * x + plane.dy[ch] * y);
            lo[ch] = std::min(lo[ch], value);
            hi[ch] = std::max(hi[ch], value);
          }
    std::array<int, 3> value{};
    if (!SameLevels(lo, hi, background, levels, &value)) continue;
    (*flat)[value].push_back(k);
    (*is_flat)[k] = 1;
  }
}

bool LitProbes::Corners(const std::array<float, 3>& colour, std::array<LitCorner, 4>* corners) {
  // Feedback sees one colour per vertex: two-sided lighting or a separate specular colour would
  // not be what the layers draw with.
  GLint two_sided = 0, control = 0;
  glGetIntegerv(GL_LIGHT_MODEL_TWO_SIDE, &two_sided);
  glGetIntegerv(GL_LIGHT_MODEL_COLOR_CONTROL, &control);
  if (two_sided || control != GL_SINGLE_COLOR) return false;
  GLint viewport[4];
  glGetIntegerv(GL_VIEWPORT, viewport);
  if (viewport[2] < 1 || viewport[3] < 1) return false;
  std::array<GLfloat, 128> buffer{};
  GLint used = 0;
  {
    EchoStateGuard guard;
    ProgramInUse fixed_function(0);  // the lighting as the layers' quads go through it
    glFeedbackBuffer(static_cast<GLsizei>(buffer.size()), GL_3D_COLOR, buffer.data());
    glRenderMode(GL_FEEDBACK);
    CanvasQuad(colour);
    used = glRenderMode(GL_RENDER);
  }
  // GL_3D_COLOR: a polygon token, its vertex count, then x, y, z and RGBA per vertex. The quad
  // comes back in pieces; its corners are told apart by where they land: the quad's vertices in
  // drawing order are top left, bottom left, bottom right, top right of the viewport.
  constexpr int kFloatsPerVertex = 7;
  std::array<bool, 4> seen{};
  for (GLint k = 0; k < used;) {
    if (buffer[static_cast<size_t>(k)] != static_cast<GLfloat>(GL_POLYGON_TOKEN) || k + 1 >= used) return false;
    const int count = static_cast<int>(buffer[static_cast<size_t>(k) + 1]);
    k += 2;
    if (count < 0 || k + count * kFloatsPerVertex > used) return false;
    for (int v = 0; v < count; ++v, k += kFloatsPerVertex) {
      const GLfloat* f = &buffer[static_cast<size_t>(k)];
      const double x = (f[0] - static_cast<double>(viewport[0])) / viewport[2];
      const double y = (f[1] - static_cast<double>(viewport[1])) / viewport[3];
      const bool left = x<0.5, top = y> 0.5;
      const size_t corner = left ? (top ? 0 : 1) : (top ? 3 : 2);
      (*corners)[corner] = {x, y, {f[3], f[4], f[5]}};
      seen[corner] = true;
    }
  }
  return seen[0] && seen[1] && seen[2] && seen[3];
}

bool LitProbes::QuadSplitsThroughFirstVertex() {
  if (quad_split_ >= 0) return quad_split_ == 1;
  // A quad whose first vertex alone is red, drawn into 8 x 8 pixels: pixel (6, 0) lies in a
  // triangle with the first vertex only when the quad is cut from it to the third.
  quad_split_ = 0;
  GLint active = 0, bound_texture = 0;
  glGetIntegerv(GL_ACTIVE_TEXTURE, &active);
  glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound_texture);
  GLuint texture = 0, framebuffer = 0;
  glGenTextures(1, &texture);
  glBindTexture(GL_TEXTURE_2D, texture);
  glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, 8, 8, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
  glGenFramebuffers(1, &framebuffer);
  std::array<uint8_t, 4> pixel{};
  {
    DrawInto into(framebuffer, 8, 8);
    glFramebufferTexture2D(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, texture, 0);
    if (glCheckFramebufferStatus(GL_DRAW_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE) {
      glPushAttrib(GL_ENABLE_BIT | GL_CURRENT_BIT);
      // Colour material off too: with it on, the probe's colours would become the material's.
      glDisable(GL_LIGHTING);
      glDisable(GL_COLOR_MATERIAL);
      glDisable(GL_TEXTURE_2D);
      glDisable(GL_BLEND);
      glDisable(GL_DEPTH_TEST);
      glDisable(GL_CULL_FACE);
      glDisable(GL_FOG);
      glUseProgram(0);
      DrawInto::Clear();
      glMatrixMode(GL_PROJECTION);
      glPushMatrix();
      glLoadIdentity();
      glOrtho(0.0, 1.0, 0.0, 1.0, -1.0, 1.0);
      glMatrixMode(GL_MODELVIEW);
      glPushMatrix();
      glLoadIdentity();
      glBegin(GL_QUADS);
      glColor3f(1.0f, 0.0f, 0.0f);
      glVertex2f(0.0f, 1.0f);
      glColor3f(0.0f, 0.0f, 0.0f);
      glVertex2f(0.0f, 0.0f);
      glVertex2f(1.0f, 0.0f);
      glVertex2f(1.0f, 1.0f);
      glEnd();
      glPopMatrix();
      glMatrixMode(GL_PROJECTION);
      glPopMatrix();
      glMatrixMode(GL_MODELVIEW);
      glPopAttrib();
      GLint read = 0;
      glGetIntegerv(GL_READ_FRAMEBUFFER_BINDING, &read);
      glBindFramebuffer(GL_READ_FRAMEBUFFER, framebuffer);
      glReadPixels(6, 0, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, pixel.data());
      glBindFramebuffer(GL_READ_FRAMEBUFFER, static_cast<GLuint>(read));
    }
  }
  glDeleteFramebuffers(1, &framebuffer);
  glDeleteTextures(1, &texture);
  glActiveTexture(static_cast<GLenum>(active));
  glBindTexture(GL_TEXTURE_2D, static_cast<GLuint>(bound_texture));
  quad_split_ = pixel[0] > 8 ? 1 : 0;
  return quad_split_ == 1;
}

void LitProbes::FlatTiles(const EchoInputs& inputs, const std::vector<EchoTile>& tiles, int width, int height,
                          int background, std::map<std::array<int, 3>, std::vector<size_t>>* flat,
                          std::vector<char>* is_flat) {
  std::array<LitCorner, 4> corners;
  if (!Corners(inputs.colour, &corners)) return;
  FlatTilesOver(inputs, corners, QuadSplitsThroughFirstVertex(), tiles, width, height, background, flat, is_flat);
}

bool LitProbes::GreyLevels(const EchoInputs& inputs, std::array<int, 3>* sum) {
  if (!inputs.lit || inputs.grey < 0) return false;
  std::array<LitCorner, 4> corners;
  if (!Corners(inputs.colour, &corners)) return false;
  std::array<float, 3> lo{1e9f, 1e9f, 1e9f}, hi{-1e9f, -1e9f, -1e9f};
  for (const LitCorner& corner : corners)
    for (size_t c = 0; c < 3; ++c) {
      lo[c] = std::min(lo[c], corner.colour[c]);
      hi[c] = std::max(hi[c], corner.colour[c]);
    }
  // Every pixel's colour lies between its corners'.
  return SameLevels(lo, hi, inputs.grey, AllLayersLevels(inputs), sum);
}

}  // namespace vl::render
