// EchoSum's summing passes: one plan (tiles, groups, flat tiles, constants) run as scissored
// passes of the summing programs, and the add of a sum kept aside. Drawing only; which way an
// echo goes is decided in echo_sum.cpp.
#include "render/echo_sum.h"

#define GL_GLEXT_PROTOTYPES 1
#include <GL/gl.h>
#include <GL/glext.h>

#include <algorithm>

#include "render/echo_draw.h"

namespace vl::render {

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

EchoSum::PassPlan EchoSum::PlanPasses(const EchoInputs& inputs, int width, int height, const LateSum* late) {
  PassPlan plan;
  plan.inputs = &inputs;
  plan.late = late;
  plan.width = width;
  plan.height = height;
  const bool lit = inputs.lit;
  // Which layers each tile must sample; the others read only the background level there. A
  // capture of one grey level needs no sampling anywhere.
  const CaptureContent* content = inputs.grey < 0 ? ContentOf(inputs) : nullptr;
  plan.background = inputs.grey >= 0 ? inputs.grey : content ? content->background() : -1;
  plan.tiles = EchoTilesOf(inputs, content, width, height);
  const std::vector<EchoTile>& tiles = plan.tiles;
  const int background = plan.background;
  // Lit over a background, a tile that samples no layer adds what the background makes of the
  // colour there: where the colour across the tile keeps that the same in every channel, the tile
  // adds a constant, drawn without the colour or the table.
  plan.is_flat.assign(tiles.size(), 0);
  if (lit && background > 0 && !plain_)
    probes_.FlatTiles(inputs, tiles, width, height, background, &plan.flat_tiles, &plan.is_flat);
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
  glActiveTexture(GL_TEXTURE2);
  glBindTexture(GL_TEXTURE_2D, targets_.BackgroundTexture());
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

uint32_t EchoSum::DrawLitColour(const EchoInputs& inputs, const int box[4]) {
  GLint viewport[4];
  glGetIntegerv(GL_VIEWPORT, viewport);
  const auto [framebuffer, texture] = targets_.LitColour(viewport[2], viewport[3]);
  GLint previous_draw = 0;
  glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &previous_draw);
  glBindFramebuffer(GL_DRAW_FRAMEBUFFER, framebuffer);
  glFramebufferTexture2D(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, texture, 0);
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
  return complete ? texture : 0;
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
    glBindTexture(GL_TEXTURE_2D, targets_.BackgroundTexture());
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
  glUniform1f(program.late_alpha_sum, pass == 0 ? static_cast<float>(std::min(late->alpha_total, 255)) / 255.0f : 0.0f);
}

bool EchoSum::SumPasses(const EchoInputs& inputs, int width, int height, TileMap* drawn, const LateSum* late) {
  const PassPlan plan = PlanPasses(inputs, width, height, late);
  // Callers have made sure of the programs before drawing anything; this only guards.
  if (!ProgramsReady(plan)) return false;
  const bool lit = inputs.lit;
  const int cols = (width + kEchoTile - 1) / kEchoTile, rows = (height + kEchoTile - 1) / kEchoTile;
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
      for (size_t k : members)
        drawn->drawn[static_cast<size_t>(tiles[k].y0 / kEchoTile) * cols + tiles[k].x0 / kEchoTile] = 1;
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

bool EchoSum::AddReady() { return programs_.Add() != 0; }

bool EchoSum::AddTarget(const SumTarget& t, int width, int height, TileMap* covered) {
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
    return static_cast<int>((static_cast<int64_t>(k) * kEchoTile * out + target / 2) / target);
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
      if (covered)
        MarkTiles(covered, edge(c, m.cols, t.width, width), edge(c + 1, m.cols, t.width, width),
                  edge(r, m.rows, t.height, height), edge(r + 1, m.rows, t.height, height));
    }
  }
  glEnd();
  ++passes_drawn_;
  return true;
}

}  // namespace vl::render
