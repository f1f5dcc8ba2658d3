#include "render/echo_targets.h"

#define GL_GLEXT_PROTOTYPES 1
#include <GL/gl.h>
#include <GL/glext.h>

namespace vl::render {

namespace {

// Whether the framebuffer with `texture` as its only colour image is complete; the draw binding
// comes back as it was.
bool AttachComplete(uint32_t framebuffer, uint32_t texture) {
  GLint previous = 0;
  glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &previous);
  glBindFramebuffer(GL_DRAW_FRAMEBUFFER, framebuffer);
  glFramebufferTexture2D(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, texture, 0);
  const bool complete = glCheckFramebufferStatus(GL_DRAW_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
  glBindFramebuffer(GL_DRAW_FRAMEBUFFER, static_cast<GLuint>(previous));
  return complete;
}

void DrawToBoth() {
  const GLenum buffers[2] = {GL_COLOR_ATTACHMENT0, GL_COLOR_ATTACHMENT1};
  glDrawBuffers(2, buffers);
}

void Forget(SumTarget& t) {
  if (t.framebuffer) glDeleteFramebuffers(1, &t.framebuffer);
  if (t.texture) glDeleteTextures(1, &t.texture);
  t = SumTarget{};
}

}  // namespace

void ClearTiles(TileMap* map, int width, int height) {
  map->cols = (width + kEchoTile - 1) / kEchoTile;
  map->rows = (height + kEchoTile - 1) / kEchoTile;
  map->drawn.assign(static_cast<size_t>(map->cols) * map->rows, 0);
}

void MarkTiles(TileMap* map, int x0, int x1, int y0, int y1) {
  if (x1 <= x0 || y1 <= y0) return;
  for (int r = y0 / kEchoTile; r <= (y1 - 1) / kEchoTile && r < map->rows; ++r)
    for (int c = x0 / kEchoTile; c <= (x1 - 1) / kEchoTile && c < map->cols; ++c)
      map->drawn[static_cast<size_t>(r) * map->cols + c] = 1;
}

bool EchoTargets::Prepare(SumTarget& t, int width, int height) {
  if (!t.framebuffer) {
    glGenFramebuffers(1, &t.framebuffer);
    glGenTextures(1, &t.texture);
  }
  if (t.width == width && t.height == height) return true;
  glBindTexture(GL_TEXTURE_2D, t.texture);
  glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
  if (!AttachComplete(t.framebuffer, t.texture)) {
    t.width = t.height = 0;
    return false;
  }
  t.width = width;
  t.height = height;
  return true;
}

bool EchoTargets::BindBoth(const SumTarget& first, const SumTarget& second) {
  if (!pair_) glGenFramebuffers(1, &pair_);
  glBindFramebuffer(GL_DRAW_FRAMEBUFFER, pair_);
  glFramebufferTexture2D(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, first.texture, 0);
  glFramebufferTexture2D(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT1, GL_TEXTURE_2D, second.texture, 0);
  DrawToBoth();
  return glCheckFramebufferStatus(GL_DRAW_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
}

bool EchoTargets::BorrowFrame(const SumTarget& kept) {
  // Only a framebuffer object drawing into its first colour attachment, a renderbuffer or the
  // base of a 2D texture.
  GLint bound = 0, draw_buffer = 0;
  glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &bound);
  glGetIntegerv(GL_DRAW_BUFFER0, &draw_buffer);
  if (bound == 0 || draw_buffer != GL_COLOR_ATTACHMENT0) return false;
  auto attachment = [](GLenum what) {
    GLint value = 0;
    glGetFramebufferAttachmentParameteriv(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, what, &value);
    return value;
  };
  const GLint type = attachment(GL_FRAMEBUFFER_ATTACHMENT_OBJECT_TYPE);
  if (type != GL_RENDERBUFFER && type != GL_TEXTURE) return false;
  const auto name = static_cast<GLuint>(attachment(GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME));
  if (type == GL_TEXTURE && (attachment(GL_FRAMEBUFFER_ATTACHMENT_TEXTURE_LEVEL) != 0 ||
                             attachment(GL_FRAMEBUFFER_ATTACHMENT_TEXTURE_CUBE_MAP_FACE) != 0 ||
                             attachment(GL_FRAMEBUFFER_ATTACHMENT_LAYERED) != 0))
    return false;
  if (!frame_pair_) glGenFramebuffers(1, &frame_pair_);
  glBindFramebuffer(GL_DRAW_FRAMEBUFFER, frame_pair_);
  if (type == GL_RENDERBUFFER)
    glFramebufferRenderbuffer(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, name);
  else glFramebufferTexture2D(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, name, 0);
  glFramebufferTexture2D(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT1, GL_TEXTURE_2D, kept.texture, 0);
  DrawToBoth();
  const bool complete = glCheckFramebufferStatus(GL_DRAW_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
  glBindFramebuffer(GL_DRAW_FRAMEBUFFER, static_cast<GLuint>(bound));
  return complete;
}

std::array<uint32_t, 2> EchoTargets::LitColour(int width, int height) {
  // Reallocating a float image of the output every time costs as much as drawing it.
  size_t pick = lit_colour_last_ ^ 1u;
  for (size_t k = 0; k < lit_colour_.size(); ++k)
    if (lit_colour_[k].width == width && lit_colour_[k].height == height) pick = k;
  lit_colour_last_ = pick;
  SumTarget& t = lit_colour_[pick];
  if (!t.framebuffer) {
    glGenFramebuffers(1, &t.framebuffer);
    glGenTextures(1, &t.texture);
  }
  if (t.width != width || t.height != height) {
    glBindTexture(GL_TEXTURE_2D, t.texture);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA32F, width, height, 0, GL_RGBA, GL_FLOAT, nullptr);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    t.width = width;
    t.height = height;
  }
  return {t.framebuffer, t.texture};
}

uint32_t EchoTargets::BackgroundTexture() {
  if (!background_texture_) glGenTextures(1, &background_texture_);
  return background_texture_;
}

void EchoTargets::Release() {
  for (SumTarget& t : kept_) Forget(t);
  for (SumTarget& t : lit_colour_) Forget(t);
  for (SumTarget* t : {&scratch_, &early_sum_, &soft_early_, &soft_kept_}) Forget(*t);
  for (uint32_t* f : {&pair_, &frame_pair_})
    if (*f) glDeleteFramebuffers(1, f), *f = 0;
  if (background_texture_) glDeleteTextures(1, &background_texture_), background_texture_ = 0;
  lit_colour_last_ = 1;
}

std::vector<uint32_t> EchoTargets::textures() const {
  std::vector<uint32_t> names;
  for (const SumTarget& t : kept_) names.push_back(t.texture);
  for (const SumTarget& t : lit_colour_) names.push_back(t.texture);
  for (const SumTarget* t : {&scratch_, &early_sum_, &soft_early_, &soft_kept_}) names.push_back(t->texture);
  names.push_back(background_texture_);
  std::erase(names, 0u);
  return names;
}

std::vector<uint32_t> EchoTargets::framebuffers() const {
  std::vector<uint32_t> names{pair_, frame_pair_};
  for (const SumTarget& t : kept_) names.push_back(t.framebuffer);
  for (const SumTarget& t : lit_colour_) names.push_back(t.framebuffer);
  for (const SumTarget* t : {&scratch_, &early_sum_, &soft_early_, &soft_kept_}) names.push_back(t->framebuffer);
  std::erase(names, 0u);
  return names;
}

}  // namespace vl::render
