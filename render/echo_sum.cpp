#include "render/echo_sum.h"

#define GL_GLEXT_PROTOTYPES 1
#include <GL/gl.h>
#include <GL/glext.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <string>

namespace vl::render {

namespace {

// Longer echoes are summed in several passes; saturating adds of non-negative values do not
// depend on how they are grouped. Keeps each program small enough for any uniform limit.
constexpr int kMaxLayersPerPass = 16;

// The layer count a pass's program is built for: the count rounded up to a multiple of four, the
// layers beyond the pass's own having alpha 0, which adds exactly nothing. Each size is a program
// the GL driver compiles and keeps for the program's life (on a software renderer about a megabyte
// each, more the more layers), so passes of every count share a few small programs instead of
// building one per count, and the padding costs at most three layers' sampling.
int ProgramSize(int count) { return std::min(kMaxLayersPerPass, (count + 3) / 4 * 4); }

// Output tiles, in pixels, over which the layers that read anything but the capture's background
// are found.
constexpr int kTile = 32;


// What the fast sums weigh when choosing between the reduced and the full way, in reads of one
// texel for one output pixel, measured on a software renderer: a pass's own cost whatever it
// draws; a reduced sum's add, per pixel; drawing into the reduced target at all (switching
// targets there and back holds up the renderer's threads).
constexpr double kPassCost = 4500;
constexpr double kAddCost = 1.0;
constexpr double kReducedTargetCost = 400000;

// Face culling off for the life of the object, then back as it was: the sums' quads and the lit
// probes are drawn whichever way they face.
class CullingOff {
 public:
  CullingOff() : was_on_(glIsEnabled(GL_CULL_FACE)) { glDisable(GL_CULL_FACE); }
  CullingOff(const CullingOff&) = delete;
  CullingOff& operator=(const CullingOff&) = delete;
  ~CullingOff() {
    if (was_on_) glEnable(GL_CULL_FACE);
  }

 private:
  GLboolean was_on_;
};

// The layers' own quad: the 640 x 480 canvas over the viewport, in the colour they set.
void CanvasQuad(const std::array<float, 3>& colour) {
  glMatrixMode(GL_PROJECTION);
  glPushMatrix();
  glLoadIdentity();
  glOrtho(0.0, 640.0, 480.0, 0.0, -1.0, 1.0);
  glMatrixMode(GL_MODELVIEW);
  glPushMatrix();
  glLoadIdentity();
  glColor4f(colour[0], colour[1], colour[2], 1.0f);
  glBegin(GL_QUADS);
  glVertex2f(0.0f, 0.0f);
  glVertex2f(0.0f, 480.0f);
  glVertex2f(640.0f, 480.0f);
  glVertex2f(640.0f, 0.0f);
  glEnd();
  glMatrixMode(GL_MODELVIEW);
  glPopMatrix();
  glMatrixMode(GL_PROJECTION);
  glPopMatrix();
  glMatrixMode(GL_MODELVIEW);
}

void UnitQuad() {
  glBegin(GL_QUADS);
  glVertex2f(0.0f, 0.0f);
  glVertex2f(1.0f, 0.0f);
  glVertex2f(1.0f, 1.0f);
  glVertex2f(0.0f, 1.0f);
  glEnd();
}



// Draws into a framebuffer for the life of the object; the framebuffer, viewport and clear colour
// in force before come back after.
class DrawInto {
 public:
  DrawInto(GLuint framebuffer, int width, int height) {
    glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &previous_);
    glGetIntegerv(GL_VIEWPORT, viewport_);
    glGetFloatv(GL_COLOR_CLEAR_VALUE, clear_);
    glBindFramebuffer(GL_DRAW_FRAMEBUFFER, framebuffer);
    glViewport(0, 0, width, height);
  }
  DrawInto(const DrawInto&) = delete;
  DrawInto& operator=(const DrawInto&) = delete;
  ~DrawInto() {
    glBindFramebuffer(GL_DRAW_FRAMEBUFFER, static_cast<GLuint>(previous_));
    glViewport(viewport_[0], viewport_[1], viewport_[2], viewport_[3]);
    glClearColor(clear_[0], clear_[1], clear_[2], clear_[3]);
  }
  static void Clear() {
    glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
    glClear(GL_COLOR_BUFFER_BIT);
  }

 private:
  GLint previous_ = 0;
  GLint viewport_[4] = {0, 0, 0, 0};
  GLfloat clear_[4] = {0, 0, 0, 0};
};

// Marks the output tiles (kTile square) that the pixels [x0, x1) x [y0, y1) touch.
template <typename Map>
void MarkTiles(Map* map, int x0, int x1, int y0, int y1) {
  if (x1 <= x0 || y1 <= y0) return;
  for (int r = y0 / kTile; r <= (y1 - 1) / kTile && r < map->rows; ++r)
    for (int c = x0 / kTile; c <= (x1 - 1) / kTile && c < map->cols; ++c)
      map->drawn[static_cast<size_t>(r) * map->cols + c] = 1;
}

// A tile map over width x height with nothing drawn.
template <typename Map>
void ClearTiles(Map* map, int width, int height) {
  map->cols = (width + kTile - 1) / kTile;
  map->rows = (height + kTile - 1) / kTile;
  map->drawn.assign(static_cast<size_t>(map->cols) * map->rows, 0);
}

// What all an echo's layers add, for each 8-bit product of colour and grey.
std::array<int, 256> AllLayersLevels(const EchoInputs& inputs) {
  std::array<int, 256> levels{};
  for (int c8 = 0; c8 < 256; ++c8) {
    int total = 0;
    for (const EchoLayer& l : inputs.layers) total += (c8 * l.alpha8 + 127) / 255;
    levels[static_cast<size_t>(c8)] = std::min(total, 255);
  }
  return levels;
}

// Whether every colour from `lo` to `hi` (per channel) makes, with the background level `grey`,
// an 8-bit product (as the summing program forms it) for which `levels` is the same; that value
// in `value`. `levels` never falls as the product grows. The margin covers the rasteriser's
// interpolation and this side's arithmetic against the program's.
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

// The canvas projection (640 x 480, as the layers' quads are drawn) and the scissor test for the
// life of the object, then both as they were. Scissor boxes are given in the viewport's pixels.
class CanvasScissored {
 public:
  CanvasScissored() : was_on_(glIsEnabled(GL_SCISSOR_TEST)) {
    glGetIntegerv(GL_VIEWPORT, viewport_);
    glGetIntegerv(GL_SCISSOR_BOX, box_);
    glEnable(GL_SCISSOR_TEST);
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    glLoadIdentity();
    glOrtho(0.0, 640.0, 480.0, 0.0, -1.0, 1.0);
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadIdentity();
  }
  CanvasScissored(const CanvasScissored&) = delete;
  CanvasScissored& operator=(const CanvasScissored&) = delete;
  ~CanvasScissored() {
    glMatrixMode(GL_MODELVIEW);
    glPopMatrix();
    glMatrixMode(GL_PROJECTION);
    glPopMatrix();
    glMatrixMode(GL_MODELVIEW);
    glScissor(box_[0], box_[1], box_[2], box_[3]);
    if (!was_on_) glDisable(GL_SCISSOR_TEST);
    glActiveTexture(GL_TEXTURE0);
  }
  // x0, y0, x1, y1 in the viewport's pixels.
  void Scissor(const std::array<int, 4>& r) const {
    glScissor(viewport_[0] + r[0], viewport_[1] + r[1], r[2] - r[0], r[3] - r[1]);
  }

 private:
  GLboolean was_on_;
  GLint viewport_[4] = {0, 0, 0, 0};
  GLint box_[4] = {0, 0, 0, 0};
};

// The rectangles (pixels: x0, y0, x1, y1) that cover the tiles `members` (ascending, tiles row
// by row): runs along each row, merged down the rows where the same run comes again.
std::vector<std::array<int, 4>> MemberRects(const std::vector<EchoTile>& tiles, const std::vector<size_t>& members) {
  std::vector<std::array<int, 4>> rects;
  std::map<std::pair<int, int>, size_t> below;  // by x range: the rectangle a run of the next row may extend
  for (size_t i = 0; i < members.size();) {
    const EchoTile& first = tiles[members[i]];
    int x1 = first.x1;
    size_t j = i + 1;
    while (j < members.size() && tiles[members[j]].y0 == first.y0 && tiles[members[j]].x0 == x1) x1 = tiles[members[j++]].x1;
    auto it = below.find({first.x0, x1});
    if (it != below.end() && rects[it->second][3] == first.y0) {
      rects[it->second][3] = first.y1;
    } else {
      below[{first.x0, x1}] = rects.size();
      rects.push_back({first.x0, first.y0, x1, first.y1});
    }
    i = j;
  }
  return rects;
}

// The 640 x 480 canvas quad with the corners in the order the quads draw them, carrying the
// texture coordinates of layers start..start + count - 1 two to a set (xy, zw): the rasteriser
// cuts it into the quads' triangles and interpolates each coordinate as it does the quads'.
// Expects the canvas projection; the scissor box picks the pixels.
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

// Programs are per context; the renderer keeps one EchoSum per context.

}  // namespace


uint32_t EchoSum::LinkProgram(const std::string& fragment, bool vertex_stage) {
  return EchoPrograms::Link(fragment, vertex_stage);
}

bool EchoSum::AddReady() { return programs_.Add() != 0; }

bool EchoSum::Init(bool fragment_programs, bool framebuffer_objects) {
  available_ = fragment_programs && framebuffer_objects;
  return available_;
}

uint32_t EchoSum::DrawLitColour(const EchoInputs& inputs, const int box[4]) {
  GLint viewport[4];
  glGetIntegerv(GL_VIEWPORT, viewport);
  // Fast sums need the colour at two sizes in one echo: each size keeps its image (reallocating a
  // float image of the output every time costs as much as drawing it).
  size_t pick = lit_colour_last_ ^ 1u;
  for (size_t k = 0; k < lit_colour_.size(); ++k)
    if (lit_colour_[k].width == viewport[2] && lit_colour_[k].height == viewport[3]) pick = k;
  lit_colour_last_ = pick;
  Target& t = lit_colour_[pick];
  if (!t.framebuffer) {
    glGenFramebuffers(1, &t.framebuffer);
    glGenTextures(1, &t.texture);
  }
  if (t.width != viewport[2] || t.height != viewport[3]) {
    glBindTexture(GL_TEXTURE_2D, t.texture);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA32F, viewport[2], viewport[3], 0, GL_RGBA, GL_FLOAT, nullptr);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    t.width = viewport[2];
    t.height = viewport[3];
  }
  GLint previous_draw = 0;
  glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &previous_draw);
  glBindFramebuffer(GL_DRAW_FRAMEBUFFER, t.framebuffer);
  glFramebufferTexture2D(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, t.texture, 0);
  const bool complete = glCheckFramebufferStatus(GL_DRAW_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
  if (complete) {
    // The quad as the layers draw it, lit, untextured and unblended: its colour per pixel.
    glUseProgram(0);
    glDisable(GL_TEXTURE_2D);
    glDisable(GL_BLEND);
    const GLboolean scissor = glIsEnabled(GL_SCISSOR_TEST);
    GLint previous_box[4];
    glGetIntegerv(GL_SCISSOR_BOX, previous_box);
    glEnable(GL_SCISSOR_TEST);
    glScissor(box[0], box[1], box[2] - box[0], box[3] - box[1]);
    CanvasQuad(inputs.colour);
    glScissor(previous_box[0], previous_box[1], previous_box[2], previous_box[3]);
    if (!scissor) glDisable(GL_SCISSOR_TEST);
    glEnable(GL_BLEND);
    glEnable(GL_TEXTURE_2D);
  }
  glBindFramebuffer(GL_DRAW_FRAMEBUFFER, static_cast<GLuint>(previous_draw));
  return complete ? t.texture : 0;
}

const CaptureContent* EchoSum::ContentOf(const EchoInputs& inputs) {
  Content& c = contents_[inputs.texture];
  if (c.serial == inputs.serial) return c.usable ? &c.map : nullptr;
  c.serial = inputs.serial;
  c.usable = false;
  glBindTexture(GL_TEXTURE_2D, inputs.texture);
  GLint w = 0, h = 0, wrap_s = 0, wrap_t = 0;
  glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &w);
  glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &h);
  glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, &wrap_s);
  glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, &wrap_t);
  // The tiles know the repeat wrap only; captures are at most 4096 square here.
  if (w < 1 || h < 1 || w > 4096 || h > 4096 || wrap_s != GL_REPEAT || wrap_t != GL_REPEAT) return nullptr;
  readback_.resize(static_cast<size_t>(w) * static_cast<size_t>(h));
  GLint pack = 4;
  glGetIntegerv(GL_PACK_ALIGNMENT, &pack);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  // The red channel is what the layers sample.
  glGetTexImage(GL_TEXTURE_2D, 0, GL_RED, GL_UNSIGNED_BYTE, readback_.data());
  glPixelStorei(GL_PACK_ALIGNMENT, pack);
  c.map.Set(readback_, w, h);
  c.usable = c.map.width() == w;
  return c.usable ? &c.map : nullptr;
}

void EchoSum::FlatTiles(const EchoInputs& inputs, const std::vector<EchoTile>& tiles, int width, int height,
                        int background, std::map<std::array<int, 3>, std::vector<size_t>>* flat,
                        std::vector<char>* is_flat) {
  std::array<LitCorner, 4> v;
  if (!LitCorners(inputs.colour, &v)) return;
  // The colour over each of the two triangles the rasteriser cuts the quad into is a plane
  // through its corners; over a tile it lies between the planes' values at the tile's corners.
  const bool through_first = QuadSplitsThroughFirstVertex();
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

EchoSum::PassPlan EchoSum::PlanPasses(const EchoInputs& inputs, int width, int height, const LateSum* late) {
  PassPlan plan;
  plan.inputs = &inputs;
  plan.late = late;
  plan.width = width;
  plan.height = height;
  const int n = static_cast<int>(inputs.layers.size());
  const bool lit = inputs.lit;
  const int cols = (width + kTile - 1) / kTile, rows = (height + kTile - 1) / kTile;

  // Which layers each tile must sample; the others read only the background level there. A
  // capture of one grey level needs no sampling anywhere.
  std::vector<EchoTile>& tiles = plan.tiles;
  const CaptureContent* content = inputs.grey < 0 ? ContentOf(inputs) : nullptr;
  auto whole_grid = [&](int last) {
    for (int r = 0; r < rows; ++r)
      for (int c = 0; c < cols; ++c)
        tiles.push_back({c * kTile, r * kTile, std::min(width, (c + 1) * kTile), std::min(height, (r + 1) * kTile), 0,
                         last});
  };
  if (inputs.grey >= 0 || content) {
    plan.background = inputs.grey >= 0 ? inputs.grey : content->background();
    if (content) {
      std::vector<float> insets;
      insets.reserve(static_cast<size_t>(n));
      for (const EchoLayer& l : inputs.layers) insets.push_back(l.inset);
      tiles = PlanEchoTiles(*content, insets, width, height, kTile);
    } else {
      whole_grid(-1);
    }
  } else {
    whole_grid(n - 1);
  }
  const int background = plan.background;
  // Lit over a background, a tile that samples no layer adds what the background makes of the
  // colour there: where the colour across the tile keeps that the same in every channel, the tile
  // adds a constant, drawn without the colour or the table.
  plan.is_flat.assign(tiles.size(), 0);
  if (lit && background > 0 && !plain_) FlatTiles(inputs, tiles, width, height, background, &plan.flat_tiles, &plan.is_flat);
  plan.table = lit && background > 0;
  plan.groups = PlanGroups(inputs, tiles, plan.is_flat, background, plan.table, late, &plan.late_all);
  for (const EchoLayer& l : inputs.layers) plan.alpha_total += (l.alpha8 * l.alpha8 + 127) / 255;  // blended alpha too
  return plan;
}

template <typename Pass>
void EchoSum::ForEachPass(const PassPlan& plan, Pass pass) {
  const int n = static_cast<int>(plan.inputs->layers.size());
  for (size_t row = 0; row < plan.groups.size(); ++row) {
    const PassGroup& g = plan.groups[row];
    if (!g.drawn) continue;
    const int sampled = g.last >= g.first ? g.last - g.first + 1 : 0;
    const bool with_table = plan.table && sampled < n;
    for (int start = g.first, index = 0; index == 0 || start <= g.last; start += kMaxLayersPerPass, ++index) {
      const int count = std::min(kMaxLayersPerPass, std::max(g.last - start + 1, 0));
      pass(g, static_cast<int>(row), start, count, ProgramSize(count), with_table && index == 0, index);
      if (count == 0) break;
    }
  }
}

bool EchoSum::ProgramsReady(const PassPlan& plan) {
  const bool same = plan.late && plan.late->same, late = plan.late && !same;
  bool ok = true;
  ForEachPass(plan, [&](const PassGroup&, int, int, int, int size, bool table, int) {
    ok = ok && programs_.Sum({size, plan.inputs->lit, table, late, same}) != nullptr;
  });
  if (!plan.flat_tiles.empty()) ok = ok && programs_.Sum({0, false, false, late, same}) != nullptr;
  return ok;
}

bool EchoSum::CanSum(const EchoInputs& inputs, int width, int height, const LateSum* late) {
  return inputs.layers.empty() || ProgramsReady(PlanPasses(inputs, width, height, late));
}

void EchoSum::UploadBackgroundTable(const PassPlan& plan) {
  background_rows_ = BackgroundRows(*plan.inputs, plan.groups);
  if (!background_texture_) glGenTextures(1, &background_texture_);
  glActiveTexture(GL_TEXTURE2);
  glBindTexture(GL_TEXTURE_2D, background_texture_);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
  GLint unpack = 4;
  glGetIntegerv(GL_UNPACK_ALIGNMENT, &unpack);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
  glTexImage2D(GL_TEXTURE_2D, 0, GL_R32F, 256, static_cast<GLsizei>(plan.groups.size()), 0, GL_RED, GL_FLOAT,
               background_rows_.data());
  glPixelStorei(GL_UNPACK_ALIGNMENT, unpack);
  glActiveTexture(GL_TEXTURE0);
}

bool EchoSum::BindLitColour(const PassPlan& plan) {
  const std::vector<EchoTile>& tiles = plan.tiles;
  const int width = plan.width, height = plan.height;
  // The colour is read only where a tile draws: with a table everywhere, else where layers are
  // sampled.
  int box[4] = {width, height, 0, 0};
  for (size_t k = 0; k < tiles.size(); ++k)
    if (const EchoTile& t = tiles[k]; !plan.is_flat[k] && (plan.table || t.last >= t.first))
      box[0] = std::min(box[0], t.x0), box[1] = std::min(box[1], t.y0), box[2] = std::max(box[2], t.x1),
      box[3] = std::max(box[3], t.y1);
  if (box[2] <= box[0] || box[3] <= box[1]) box[0] = box[1] = box[2] = box[3] = 0;
  const uint32_t colour_image = DrawLitColour(*plan.inputs, box);
  if (!colour_image) return false;
  glActiveTexture(GL_TEXTURE1);
  glBindTexture(GL_TEXTURE_2D, colour_image);
  glActiveTexture(GL_TEXTURE0);
  return true;
}

void EchoSum::PassUniforms(const SumProgram& program, const PassPlan& plan, const PassGroup& g, int row, int start,
                           int count, int size, bool use_table, int pass) {
  const EchoInputs& inputs = *plan.inputs;
  const LateSum* late = plan.late && !plan.late->same ? plan.late : nullptr;
  auto levels = [](const std::array<int, 3>& v) {
    return std::array<float, 3>{static_cast<float>(v[0]), static_cast<float>(v[1]), static_cast<float>(v[2])};
  };
  // The layers past the pass's own have alpha 0 and add exactly nothing.
  std::array<float, 2 * kMaxLayersPerPass> packed{};
  std::array<float, kMaxLayersPerPass> late_packed{};
  for (int i = start; i < start + count; ++i) {
    const EchoLayer& l = inputs.layers[static_cast<size_t>(i)];
    packed[static_cast<size_t>(i - start) * 2] = l.inset;
    packed[static_cast<size_t>(i - start) * 2 + 1] = static_cast<float>(l.alpha8);
    if (late) late_packed[static_cast<size_t>(i - start)] = static_cast<float>(late->alpha8[static_cast<size_t>(i)]);
  }
  if (use_table) {
    glUniform1f(program.grey, static_cast<float>(plan.background) / 255.0f);
    glUniform1i(program.background_row, row);
    glActiveTexture(GL_TEXTURE2);
    glBindTexture(GL_TEXTURE_2D, background_texture_);
    glActiveTexture(GL_TEXTURE0);
  }
  // The constant parts and the alpha go with the first pass only, in levels.
  glUniform1f(program.alpha_sum, pass == 0 ? static_cast<float>(std::min(plan.alpha_total, 255)) / 255.0f : 0.0f);
  const std::array<float, 3> flat = levels(pass == 0 ? g.flat : std::array<int, 3>{});
  glUniform3fv(program.flat_sum, 1, flat.data());
  if (size > 0) glUniform2fv(program.layer, size, packed.data());
  if (!late) return;
  if (size > 0) glUniform1fv(program.late_alpha, size, late_packed.data());
  glUniform3f(program.late_colour, std::clamp(late->colour[0], 0.0f, 1.0f), std::clamp(late->colour[1], 0.0f, 1.0f),
              std::clamp(late->colour[2], 0.0f, 1.0f));
  const std::array<float, 3> late_flat = levels(pass == 0 ? g.late_flat : std::array<int, 3>{});
  glUniform3fv(program.late_flat_sum, 1, late_flat.data());
  glUniform1f(program.late_alpha_sum,
              pass == 0 ? static_cast<float>(std::min(late->alpha_total, 255)) / 255.0f : 0.0f);
}

bool EchoSum::SumPasses(const EchoInputs& inputs, int width, int height, TileMap* drawn, const LateSum* late) {
  const PassPlan plan = PlanPasses(inputs, width, height, late);
  // Callers have made sure of the programs before drawing anything; this only guards.
  if (!ProgramsReady(plan)) return false;
  const bool lit = inputs.lit;
  const int cols = (width + kTile - 1) / kTile, rows = (height + kTile - 1) / kTile;
  if (drawn) {
    drawn->cols = cols, drawn->rows = rows;
    drawn->drawn.assign(static_cast<size_t>(cols) * rows, 0);
  }
  const std::vector<EchoTile>& tiles = plan.tiles;
  if (plan.table) UploadBackgroundTable(plan);
  if (lit && !BindLitColour(plan)) return false;
  CanvasScissored canvas;
  // The layers' own quad over each run of the tiles `members`, each tile marked drawn; the pass's
  // layers start..start + count - 1 give their texture coordinates.
  auto tile_quads = [&](const std::vector<size_t>& members, int start, int count) {
    for (const std::array<int, 4>& r : MemberRects(tiles, members)) {
      canvas.Scissor(r);
      LayersQuad(inputs.layers, start, count);
    }
    if (drawn)
      for (size_t k : members) drawn->drawn[static_cast<size_t>(tiles[k].y0 / kTile) * cols + tiles[k].x0 / kTile] = 1;
    ++passes_drawn_;
  };
  const bool same = late && late->same;
  ForEachPass(plan, [&](const PassGroup& g, int row, int start, int count, int size, bool use_table, int pass) {
    const SumProgram& program = *programs_.Sum({size, lit, use_table, late && !same, same});
    glUseProgram(program.id);
    PassUniforms(program, plan, g, row, start, count, size, use_table, pass);
    glBindTexture(GL_TEXTURE_2D, inputs.texture);
    glColor4f(inputs.colour[0], inputs.colour[1], inputs.colour[2], 1.0f);
    tile_quads(g.members, start, count);
  });
  // Flat tiles: the first pass's uniforms with the tiles' own constant, the late sum's whole.
  for (const auto& [value, members] : plan.flat_tiles) {
    const SumProgram& program = *programs_.Sum({0, false, false, late && !same, same});
    PassGroup whole;
    whole.flat = value;
    whole.late_flat = plan.late_all;
    glUseProgram(program.id);
    PassUniforms(program, plan, whole, 0, 0, 0, 0, false, 0);
    tile_quads(members, 0, 0);
  }
  return true;
}

bool EchoSum::PrepareTarget(Target& t, int width, int height) {
  if (!t.framebuffer) {
    glGenFramebuffers(1, &t.framebuffer);
    glGenTextures(1, &t.texture);
  }
  if (t.width != width || t.height != height) {
    glBindTexture(GL_TEXTURE_2D, t.texture);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    GLint previous = 0;
    glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &previous);
    glBindFramebuffer(GL_DRAW_FRAMEBUFFER, t.framebuffer);
    glFramebufferTexture2D(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, t.texture, 0);
    const bool complete = glCheckFramebufferStatus(GL_DRAW_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
    glBindFramebuffer(GL_DRAW_FRAMEBUFFER, static_cast<GLuint>(previous));
    if (!complete) {
      t.width = t.height = 0;
      return false;
    }
    t.width = width;
    t.height = height;
  }
  return true;
}

bool EchoSum::AddTarget(const Target& t, int width, int height, TileMap* covered) {
  // Callers have made sure of the program before drawing anything; this only guards.
  if (!AddReady()) return false;
  glUseProgram(programs_.Add());
  glBindTexture(GL_TEXTURE_2D, t.texture);
  // Same size: each pixel reads its own texel. Smaller (fast): spread bilinearly.
  const bool same = t.width == width && t.height == height;
  const GLint filter = same ? GL_NEAREST : GL_LINEAR;
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, filter);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, filter);
  // Only where the sum was drawn; spread, a pixel also reads the next texel of the sum, so a
  // drawn tile's neighbours are added too. Tile edges map to output pixels by one rounding rule,
  // so neighbouring quads meet without overlap.
  const TileMap& m = t.tiles;
  std::vector<uint8_t> add = m.drawn;
  if (!same)
    for (int r = 0; r < m.rows; ++r)
      for (int c = 0; c < m.cols; ++c)
        if (m.drawn[static_cast<size_t>(r) * m.cols + c])
          for (int dr = -1; dr <= 1; ++dr)
            for (int dc = -1; dc <= 1; ++dc)
              if (r + dr >= 0 && r + dr < m.rows && c + dc >= 0 && c + dc < m.cols)
                add[static_cast<size_t>(r + dr) * m.cols + c + dc] = 1;
  auto edge = [](int k, int tiles, int target, int out) {
    if (k >= tiles) return out;
    return static_cast<int>((static_cast<int64_t>(k) * kTile * out + target / 2) / target);
  };
  glBegin(GL_QUADS);
  for (int r = 0; r < m.rows; ++r) {
    for (int c = 0; c < m.cols; ++c) {
      if (!add[static_cast<size_t>(r) * m.cols + c]) continue;
      const float x0 = static_cast<float>(edge(c, m.cols, t.width, width)) / static_cast<float>(width);
      const float x1 = static_cast<float>(edge(c + 1, m.cols, t.width, width)) / static_cast<float>(width);
      const float y0 = static_cast<float>(edge(r, m.rows, t.height, height)) / static_cast<float>(height);
      const float y1 = static_cast<float>(edge(r + 1, m.rows, t.height, height)) / static_cast<float>(height);
      glVertex2f(x0, y0);
      glVertex2f(x1, y0);
      glVertex2f(x1, y1);
      glVertex2f(x0, y1);
      if (covered) MarkTiles(covered, edge(c, m.cols, t.width, width), edge(c + 1, m.cols, t.width, width),
                             edge(r, m.rows, t.height, height), edge(r + 1, m.rows, t.height, height));
    }
  }
  glEnd();
  ++passes_drawn_;
  return true;
}

bool EchoSum::SumAside(Target& t, const EchoInputs& inputs, int tw, int th) {
  t.filled = false;
  if (!PrepareTarget(t, tw, th)) return false;
  DrawInto into(t.framebuffer, tw, th);
  DrawInto::Clear();
  if (!SumPasses(inputs, tw, th, &t.tiles)) return false;
  t.filled = true;
  t.inputs = inputs;
  return true;
}

bool EchoSum::DualSum(Target& first, Target& second, const EchoInputs& inputs, const LateSum& late, int width,
                      int height) {
  if (!PrepareTarget(first, width, height) || !PrepareTarget(second, width, height)) return false;
  if (!dual_framebuffer_) glGenFramebuffers(1, &dual_framebuffer_);
  bool ok;
  {
    DrawInto into(dual_framebuffer_, width, height);
    glFramebufferTexture2D(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, first.texture, 0);
    glFramebufferTexture2D(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT1, GL_TEXTURE_2D, second.texture, 0);
    const GLenum buffers[2] = {GL_COLOR_ATTACHMENT0, GL_COLOR_ATTACHMENT1};
    glDrawBuffers(2, buffers);
    ok = glCheckFramebufferStatus(GL_DRAW_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
    if (ok) {
      DrawInto::Clear();
      glBlendFunc(GL_ONE, GL_ONE);
      if (inputs.layers.empty())
        ClearTiles(&first.tiles, width, height);
      else
        ok = SumPasses(inputs, width, height, &first.tiles, &late);
    }
  }
  second.tiles = first.tiles;
  return ok;
}

double EchoSum::SumCost(const EchoInputs& inputs, int width, int height, double* drawn_area) {
  // In reads per output pixel: a sampled layer one; lit, the colour one more where anything is
  // read, the background table three more everywhere over a background.
  const double area = static_cast<double>(width) * height;
  if (drawn_area) *drawn_area = 0;
  if (inputs.layers.empty() || width < 1 || height < 1) return 0;
  const CaptureContent* content = inputs.grey < 0 ? ContentOf(inputs) : nullptr;
  const int background = inputs.grey >= 0 ? inputs.grey : content ? content->background() : -1;
  const bool table = inputs.lit && background > 0;
  if (!content) {
    const double reads = inputs.grey >= 0 ? (table ? 4.0 : 0.0) : static_cast<double>(inputs.layers.size()) + (inputs.lit ? 1 : 0);
    if (drawn_area && reads > 0) *drawn_area = area;
    return reads * area;
  }
  std::vector<float> insets;
  insets.reserve(inputs.layers.size());
  for (const EchoLayer& l : inputs.layers) insets.push_back(l.inset);
  double reads = 0;
  std::set<std::pair<int, int>> groups;
  for (const EchoTile& t : PlanEchoTiles(*content, insets, width, height, kTile)) {
    const int sampled = std::max(t.last - t.first + 1, 0);
    const double per_pixel = sampled + (table ? 4 : inputs.lit && sampled ? 1 : 0);
    const double pixels = static_cast<double>(t.x1 - t.x0) * (t.y1 - t.y0);
    reads += per_pixel * pixels;
    if (drawn_area && per_pixel > 0) *drawn_area += pixels;
    if (per_pixel > 0) groups.insert({t.first, t.last});
  }
  int passes = 0;
  for (const auto& [first, last] : groups) passes += std::max((last - first + kMaxLayersPerPass) / kMaxLayersPerPass, 1);
  return reads + passes * kPassCost;
}

bool EchoSum::ReducedPays(const EchoInputs& all, const EchoInputs& sharp, const EchoInputs& soft, int width,
                          int height, int reduced_adds, int full_adds) {
  if (soft.layers.empty()) return false;
  double full_area = 0, soft_area = 0;
  const double full = SumCost(all, width, height, &full_area) + full_adds * (kAddCost * full_area + kPassCost);
  // A reduced tile drawn is added over the output pixels it spreads to.
  const double reduced = SumCost(sharp, width, height, nullptr) +
                         SumCost(soft, ReducedSize(width), ReducedSize(height), &soft_area) +
                         reduced_adds * (kAddCost * std::min(4.0 * soft_area, static_cast<double>(width) * height) + kPassCost) +
                         kReducedTargetCost;
  return reduced < full;
}

bool EchoSum::Add(const EchoInputs& inputs, int width, int height, bool fast, int keep_slot) {
  if (!available_ || width < 1 || height < 1) return false;
  CullingOff culling_off;
  glBlendFunc(GL_ONE, GL_ONE);
  Target* kept = keep_slot >= 0 ? &kept_[static_cast<size_t>(keep_slot) % kept_.size()] : nullptr;
  if (kept) kept->filled = false;
  EchoInputs sharp = inputs, soft = inputs;
  if (fast) {
    sharp.layers.clear();
    soft.layers.clear();
    const std::vector<char> smooth = SoftLayers(inputs, width, height);
    for (size_t i = 0; i < inputs.layers.size(); ++i) (smooth[i] ? soft : sharp).layers.push_back(inputs.layers[i]);
    // Kept, the reduced way adds twice (into the kept image, then that); the full way adds
    // straight into the frame.
    fast = ReducedPays(inputs, sharp, soft, width, height, kept ? 2 : 1, kept && plain_ ? 1 : 0);
  }
  const bool drawn = fast ? AddReduced(inputs, sharp, soft, width, height, kept) : AddFull(inputs, width, height, kept);
  glUseProgram(0);
  return drawn;
}

bool EchoSum::AddReduced(const EchoInputs& inputs, const EchoInputs& sharp, const EchoInputs& soft, int width,
                         int height, Target* kept) {
  const int tw = ReducedSize(width), th = ReducedSize(height);
  // Everything is made ready, and the reduced part summed aside, before the frame is touched.
  if (!CanSum(sharp, width, height) || !CanSum(soft, tw, th) || !AddReady()) return false;
  if (kept && !PrepareTarget(*kept, width, height)) return false;
  if (!soft.layers.empty() && !SumAside(scratch_, soft, tw, th)) return false;
  if (!kept) {
    if (!sharp.layers.empty() && !SumPasses(sharp, width, height, nullptr)) return false;
    return soft.layers.empty() || AddTarget(scratch_, width, height);
  }
  // Kept for a repeat: both parts are summed into the kept image (saturating adds of levels group
  // freely), which is then added as a full-size sum is.
  {
    DrawInto into(kept->framebuffer, width, height);
    DrawInto::Clear();
    if (sharp.layers.empty())
      ClearTiles(&kept->tiles, width, height);
    else if (!SumPasses(sharp, width, height, &kept->tiles))
      return false;
    if (!soft.layers.empty() && !AddTarget(scratch_, width, height, &kept->tiles)) return false;
  }
  kept->filled = true;
  kept->inputs = inputs;
  return AddTarget(*kept, width, height);
}

bool EchoSum::AddFull(const EchoInputs& inputs, int width, int height, Target* kept) {
  if (!kept) return CanSum(inputs, width, height) && SumPasses(inputs, width, height, nullptr);
  // Kept for a repeat: summed straight into the frame and the kept image at once where the
  // frame's colour buffer can be borrowed, else summed aside and added.
  LateSum same;
  same.same = true;
  if (!plain_ && PrepareDirect(*kept, width, height)) {
    if (!CanSum(inputs, width, height, &same) || !SumDirect(*kept, inputs, width, height)) return false;
    kept->filled = true;
    kept->inputs = inputs;
    return true;
  }
  if (!CanSum(inputs, width, height) || !AddReady() || !SumAside(*kept, inputs, width, height)) return false;
  return AddTarget(*kept, width, height);
}

bool EchoSum::LitCorners(const std::array<float, 3>& colour, std::array<LitCorner, 4>* corners) {
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
    CullingOff culling_off;
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
      const bool left = x < 0.5, top = y > 0.5;
      const size_t corner = left ? (top ? 0 : 1) : (top ? 3 : 2);
      (*corners)[corner] = {x, y, {f[3], f[4], f[5]}};
      seen[corner] = true;
    }
  }
  return seen[0] && seen[1] && seen[2] && seen[3];
}

bool EchoSum::QuadSplitsThroughFirstVertex() {
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

bool EchoSum::LitGreyLevels(const EchoInputs& inputs, std::array<int, 3>* sum) {
  if (!inputs.lit || inputs.grey < 0) return false;
  std::array<LitCorner, 4> corners;
  if (!LitCorners(inputs.colour, &corners)) return false;
  std::array<float, 3> lo{1e9f, 1e9f, 1e9f}, hi{-1e9f, -1e9f, -1e9f};
  for (const LitCorner& corner : corners)
    for (size_t c = 0; c < 3; ++c) {
      lo[c] = std::min(lo[c], corner.colour[c]);
      hi[c] = std::max(hi[c], corner.colour[c]);
    }
  // Every pixel's colour lies between its corners'.
  return SameLevels(lo, hi, inputs.grey, AllLayersLevels(inputs), sum);
}

bool EchoSum::ConstantReady() {
  if (!available_) return false;
  return programs_.Flat() != 0;
}

bool EchoSum::PrepareDirect(Target& kept, int width, int height) {
  if (!PrepareTarget(kept, width, height) || !AttachFrameColour()) return false;
  DrawInto into(frame_dual_framebuffer_, width, height);
  glFramebufferTexture2D(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT1, GL_TEXTURE_2D, kept.texture, 0);
  const GLenum buffers[2] = {GL_COLOR_ATTACHMENT0, GL_COLOR_ATTACHMENT1};
  glDrawBuffers(2, buffers);
  return glCheckFramebufferStatus(GL_DRAW_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
}

bool EchoSum::SumDirect(Target& kept, const EchoInputs& inputs, int width, int height, const LateSum* late) {
  {
    DrawInto into(kept.framebuffer, width, height);
    DrawInto::Clear();
  }
  DrawInto into(frame_dual_framebuffer_, width, height);
  glBlendFunc(GL_ONE, GL_ONE);
  LateSum same;
  same.same = true;
  return SumPasses(inputs, width, height, &kept.tiles, late ? late : &same);
}

bool EchoSum::AttachFrameColour() {
  // Only a framebuffer object drawing into its first colour attachment, a renderbuffer or the
  // base of a 2D texture.
  GLint bound = 0, draw_buffer = 0;
  glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &bound);
  glGetIntegerv(GL_DRAW_BUFFER0, &draw_buffer);
  if (bound == 0 || draw_buffer != GL_COLOR_ATTACHMENT0) return false;
  GLint type = GL_NONE, name = 0, level = 0, face = 0, layered = 0;
  glGetFramebufferAttachmentParameteriv(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT0,
                                        GL_FRAMEBUFFER_ATTACHMENT_OBJECT_TYPE, &type);
  if (type != GL_RENDERBUFFER && type != GL_TEXTURE) return false;
  glGetFramebufferAttachmentParameteriv(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT0,
                                        GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME, &name);
  if (type == GL_TEXTURE) {
    glGetFramebufferAttachmentParameteriv(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT0,
                                          GL_FRAMEBUFFER_ATTACHMENT_TEXTURE_LEVEL, &level);
    glGetFramebufferAttachmentParameteriv(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT0,
                                          GL_FRAMEBUFFER_ATTACHMENT_TEXTURE_CUBE_MAP_FACE, &face);
    glGetFramebufferAttachmentParameteriv(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT0,
                                          GL_FRAMEBUFFER_ATTACHMENT_LAYERED, &layered);
    if (level != 0 || face != 0 || layered) return false;
  }
  if (!frame_dual_framebuffer_) glGenFramebuffers(1, &frame_dual_framebuffer_);
  glBindFramebuffer(GL_DRAW_FRAMEBUFFER, frame_dual_framebuffer_);
  if (type == GL_RENDERBUFFER)
    glFramebufferRenderbuffer(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, static_cast<GLuint>(name));
  else
    glFramebufferTexture2D(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, static_cast<GLuint>(name), 0);
  glBindFramebuffer(GL_DRAW_FRAMEBUFFER, static_cast<GLuint>(bound));
  return true;
}

bool EchoSum::AddWithLate(const EchoInputs& early, const std::vector<int>& late_alpha8, const EchoInputs& late,
                          int width, int height, int slot, bool fast) {
  if (!available_ || width < 1 || height < 1 || slot < 0 || late_alpha8.size() != early.layers.size() ||
      early.grey >= 0)
    return false;
  Target& kept = kept_[static_cast<size_t>(slot) % kept_.size()];
  kept.filled = false;
  // Split as Add splits (fast: the smooth layers at reduced size), each part summed for both
  // echoes at once.
  EchoInputs sharp = early, soft = early;
  sharp.layers.clear();
  soft.layers.clear();
  LateSum late_sharp, late_soft;
  late_sharp.colour = late_soft.colour = late.colour;
  std::vector<char> smooth = fast ? SoftLayers(early, width, height) : std::vector<char>(early.layers.size(), 0);
  if (fast) {
    EchoInputs sharp_part = early, soft_part = early;
    sharp_part.layers.clear();
    soft_part.layers.clear();
    for (size_t i = 0; i < early.layers.size(); ++i)
      (smooth[i] ? soft_part : sharp_part).layers.push_back(early.layers[i]);
    // The reduced way adds twice (the early part into the frame, the repeat's into its kept
    // image); the full way adds straight into the frame.
    if (!ReducedPays(early, sharp_part, soft_part, width, height, 2, plain_ ? 1 : 0)) smooth.assign(smooth.size(), 0);
  }
  for (size_t i = 0; i < early.layers.size(); ++i) {
    (smooth[i] ? soft : sharp).layers.push_back(early.layers[i]);
    LateSum& part = smooth[i] ? late_soft : late_sharp;
    part.alpha8.push_back(late_alpha8[i]);
    part.alpha_total += (late_alpha8[i] * late_alpha8[i] + 127) / 255;
  }
  CullingOff culling_off;
  const bool drawn = AddBoth(sharp, soft, late_sharp, late_soft, width, height, kept);
  if (drawn) kept.inputs = late;
  glUseProgram(0);
  return drawn;
}

bool EchoSum::AddBoth(const EchoInputs& sharp, const EchoInputs& soft, const LateSum& late_sharp,
                      const LateSum& late_soft, int width, int height, Target& kept) {
  const int tw = ReducedSize(width), th = ReducedSize(height);
  // Everything is made ready, and what goes aside summed, before the frame is touched.
  if (!CanSum(sharp, width, height, &late_sharp) || !CanSum(soft, tw, th, &late_soft)) return false;
  // The full-size part adds straight into the frame where its colour buffer can be borrowed;
  // else it is summed aside and added after.
  const bool direct = !sharp.layers.empty() && !plain_ && PrepareDirect(kept, width, height);
  if ((!direct || !soft.layers.empty()) && !AddReady()) return false;
  if (!soft.layers.empty() && !DualSum(soft_early_, soft_kept_, soft, late_soft, tw, th)) return false;
  if (!direct && !DualSum(early_sum_, kept, sharp, late_sharp, width, height)) return false;
  glBlendFunc(GL_ONE, GL_ONE);
  if (direct && !SumDirect(kept, sharp, width, height, &late_sharp)) return false;
  if (!soft.layers.empty()) {
    // The repeat's reduced part goes into its kept image.
    DrawInto into(kept.framebuffer, width, height);
    glBlendFunc(GL_ONE, GL_ONE);
    if (!AddTarget(soft_kept_, width, height, &kept.tiles)) return false;
  }
  kept.filled = true;
  glBlendFunc(GL_ONE, GL_ONE);
  if (!sharp.layers.empty() && !direct && !AddTarget(early_sum_, width, height)) return false;
  return soft.layers.empty() || AddTarget(soft_early_, width, height);
}

bool EchoSum::AddConstant(int r, int g, int b, int a) {
  if (!ConstantReady()) return false;
  CullingOff culling_off;
  glBlendFunc(GL_ONE, GL_ONE);
  glUseProgram(programs_.Flat());
  auto level = [](int v) { return static_cast<float>(std::clamp(v, 0, 255)) / 255.0f; };
  glUniform4f(programs_.flat_value(), level(r), level(g), level(b), level(a));
  UnitQuad();
  ++passes_drawn_;
  glUseProgram(0);
  return true;
}

bool EchoSum::HasKept(int slot, const EchoInputs& inputs) {
  if (!available_ || slot < 0) return false;
  const Target& t = kept_[static_cast<size_t>(slot) % kept_.size()];
  return t.filled && t.inputs == inputs && AddReady();
}

bool EchoSum::AddKept(int slot, const EchoInputs& inputs, int width, int height) {
  if (!HasKept(slot, inputs)) return false;
  const Target& t = kept_[static_cast<size_t>(slot) % kept_.size()];
  CullingOff culling_off;
  glBlendFunc(GL_ONE, GL_ONE);
  const bool drawn = AddTarget(t, width, height);
  glUseProgram(0);
  return drawn;
}

}  // namespace vl::render
