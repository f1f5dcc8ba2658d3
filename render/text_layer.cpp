#include "render/text_layer.h"

#include <GL/gl.h>

#include "engine/numeric.h"
#include "render/gl_state.h"
#include "render/track_periods.h"

namespace vl::render {

using engine::SceneState;
using engine::TextureSlot;

std::string_view TextBuffer(std::string_view text) {
  // The string reaches the buffer as a C string: it ends at its first NUL.
  const size_t nul = text.find('\0');
  if (nul != std::string_view::npos) text = text.substr(0, nul);
  return text.substr(0, kTextBufferSize - 1);
}

TextMeasure MeasureText(std::string_view buffer, const GlyphMetricsTable& metrics) {
  TextMeasure m;
  for (char ch : buffer) {
    const auto c = static_cast<uint8_t>(ch);
    // Every character of the first line counts, the break that ends it and codes 27..30 too.
    if (m.breaks == 0) m.width += metrics[c].cell_inc_x;
    if (c < 27) ++m.breaks;
  }
  return m;
}

TextMotion MotionFrom(const engine::WorkingValues& w) {
  TextMotion m;
  m.char_offset[0] = w.char_offset_x / 200.0f;
  m.char_offset[1] = w.char_offset_y / 200.0f;
  m.char_offset[2] = w.char_offset_z / 200.0f;
  m.char_rot[0] = w.char_rot_x / kCharRotPerDegree;
  m.char_rot[1] = w.char_rot_y / kCharRotPerDegree;
  m.char_rot[2] = w.char_rot_z / kCharRotPerDegree;
  m.line_offset[0] = w.line_offset_x / 200.0f;
  m.line_offset[1] = w.line_offset_y / 200.0f;
  m.line_offset[2] = w.line_offset_z / 200.0f;
  return m;
}

void LayOutText(std::string_view text, const GlyphMetricsTable& metrics, const TextMotion& motion, TextSink& sink) {
  const std::string_view buffer = TextBuffer(text);
  const TextMeasure m = MeasureText(buffer, metrics);
  // Centre the first line and raise the block by half its height; later lines may be wider or
  // narrower and are not centred on their own.
  sink.Translate(-m.width / 2.0f, static_cast<float>(m.breaks) * kLineHeight / 2.0f, 0.0f);

  float advance = 0.0f;  // pen distance from the start of the current line
  for (char ch : buffer) {
    const auto c = static_cast<uint8_t>(ch);
    if (c >= 31) {
      advance += metrics[c].cell_inc_x;
      sink.Translate(motion.char_offset[0], motion.char_offset[1], motion.char_offset[2]);
      sink.Rotate(motion.char_rot[0], 1.0f, 0.0f, 0.0f);
      sink.Rotate(motion.char_rot[1], 0.0f, 1.0f, 0.0f);
      sink.Rotate(motion.char_rot[2], 0.0f, 0.0f, 1.0f);
      sink.Glyph(c);
    } else if (c < 27) {
      // Back to the line start (the glyph steps only; the per-character offsets stay) and on.
      sink.Translate(-advance - motion.line_offset[0], motion.line_offset[1], motion.line_offset[2]);
      advance = 0.0f;
    }
    // 27..30 draw nothing and break nothing.
  }
}

namespace {

class GlSink final : public TextSink {
 public:
  explicit GlSink(uint32_t base) : base_(base) {}
  void Translate(float x, float y, float z) override { glTranslatef(x, y, z); }
  void Rotate(float degrees, float x, float y, float z) override { glRotatef(degrees, x, y, z); }
  void Glyph(uint8_t code) override {
    if (base_ == 0) return;  // no lists: list base 0 would call unrelated lists
    glPushAttrib(GL_LIST_BIT);
    glListBase(base_);
    glCallLists(1, GL_UNSIGNED_BYTE, &code);
    glPopAttrib();
  }

 private:
  uint32_t base_;
};

uint32_t TextTexture(const SceneState& scene) {
  const bool use_custom = !AboveOne(scene.text_keep_texture) && scene.custom_image_mode >= 2;
  return scene.texture(use_custom ? TextureSlot::custom_image_texture : TextureSlot::text_texture);
}

void TextColour(const SceneState& scene) {
  // 205, not 255: channel values above 205 saturate.
  const auto& w = scene.work;
  glColor4f(w.text_colour_r / 205.0f, w.text_colour_g / 205.0f, w.text_colour_b / 205.0f, w.text_alpha / 255.0f);
}

}  // namespace

FontRequest TextLayer::RequestFor(const SceneState& scene) {
  const auto& set = scene.settings;
  return FontRequest{set.text_font_face, set.text_font_weight, set.text_font_italic != 0, set.text_string};
}

std::string TextLayer::FontNote(const SceneState& scene, const GlyphBuildReport& built) {
  const auto& set = scene.settings;
  if (!IsOn(set.text_on) && !IsOn(set.fx_text) && !IsOn(set.text_chrome)) return {};
  if (!built.font_found) return built.message;
  const std::string note = FontSubstituteNote(RequestFor(scene), built.font);
  return note.empty() ? note : "text: " + note;
}

GlyphBuildReport TextLayer::BuildGlyphLists(const SceneState& scene) {
  const GlyphFormat format = IsOn(scene.settings.text_wireframe) ? GlyphFormat::kLines : GlyphFormat::kPolygons;
  return glyphs_.Build(RequestFor(scene), format);
}

void TextLayer::DrawString(const SceneState& scene, std::string_view text) {
  glEnable(GL_COLOR_MATERIAL);
  GlSink sink(glyphs_.base());
  LayOutText(text, glyphs_.metrics(), MotionFrom(scene.work), sink);
}

void TextLayer::BlockTransform(const SceneState& scene) {
  const auto& w = scene.work;
  glTranslatef(w.text_pos_x / 50.0f, w.text_pos_y / 50.0f, (w.text_pos_z - 200.0f) / 50.0f);
  glRotatef(w.text_rot_x, 1.0f, 0.0f, 0.0f);
  glRotatef(w.text_rot_y, 0.0f, 1.0f, 0.0f);
  glRotatef(w.text_rot_z, 0.0f, 0.0f, 1.0f);
  glScalef(w.text_scale_x / 50.0f, w.text_scale_y / 50.0f, w.text_scale_z / 10.0f);
}

void TextLayer::ChromeCopy(SceneState& scene) {
  // An additive, sphere-mapped second copy in the same place; it keeps the text colour.
  glLoadIdentity();
  UseSphereMapGeneration();
  glEnable(GL_TEXTURE_2D);
  glBindTexture(GL_TEXTURE_2D, scene.texture(TextureSlot::chrome_texture));
  glEnable(GL_BLEND);
  glBlendFunc(GL_SRC_ALPHA, GL_ONE);
  SetTextureGeneration(true);
  BlockTransform(scene);
  DrawString(scene, scene.settings.text_string);
}

void TextLayer::DrawTextPass(SceneState& scene) {
  const auto& set = scene.settings;
  const auto& w = scene.work;
  const float style = set.text_style;

  // Surface style. Any other value leaves the texture state as the passes before left it.
  if (style == 0.0f) {  // environment-mapped
    glColor3f(1.0f, 1.0f, 1.0f);
    glEnable(GL_TEXTURE_2D);
    SetTextureGeneration(true);
    UseSphereMapGeneration();
  } else if (style == 1.0f) {  // additive environment map
    glColor3f(1.0f, 1.0f, 1.0f);
    glEnable(GL_TEXTURE_2D);
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE);
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
    UseSphereMapGeneration();
    SetTextureGeneration(true);
  } else if (style == 2.0f) {  // plain colour
    glDisable(GL_TEXTURE_2D);
  } else if (style == 3.0f) {  // texture fixed to the glyphs
    SetTextureGeneration(true);
    glTexGeni(GL_S, GL_TEXTURE_GEN_MODE, GL_OBJECT_LINEAR);
    glTexGeni(GL_T, GL_TEXTURE_GEN_MODE, GL_OBJECT_LINEAR);
    glColor3f(1.0f, 1.0f, 1.0f);
    glEnable(GL_TEXTURE_2D);
    // Set before the text texture is bound below, so these land on whatever texture the
    // previous pass left bound. Kept that way: the text texture keeps its mipmapped filter.
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
  } else if (style == 4.0f) {  // texture fixed to the screen
    glColor3f(1.0f, 1.0f, 1.0f);
    glEnable(GL_TEXTURE_2D);
    SetTextureGeneration(true);
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
    glTexGeni(GL_S, GL_TEXTURE_GEN_MODE, GL_EYE_LINEAR);
    glTexGeni(GL_T, GL_TEXTURE_GEN_MODE, GL_EYE_LINEAR);
  }

  glBindTexture(GL_TEXTURE_2D, TextTexture(scene));

  // Light 0 becomes a spot on the text, placed in eye space (the matrix is identity here).
  SetSpotLight0(w.text_light_x / 100.0f, w.text_light_y / 100.0f, w.text_light_z / 100.0f);

  if (style != 1.0f) {
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
  }
  TextColour(scene);

  if (IsOn(set.text_on)) {
    BlockTransform(scene);
    DrawString(scene, set.text_string);
  }
  if (IsOn(set.text_chrome)) ChromeCopy(scene);
}

void TextLayer::DrawGlowText(SceneState& scene, GlowVariant variant) {
  const auto& set = scene.settings;
  if (!IsOn(set.fx_text)) return;
  // The block environment-mapped with the text's texture, opaque, whether or not the text itself
  // is on; the renderer has set the depth test, lighting and blending for the capture or trail.
  glLoadIdentity();
  glEnable(GL_TEXTURE_2D);
  UseSphereMapGeneration();
  SetTextureGeneration(true);
  glBindTexture(GL_TEXTURE_2D, TextTexture(scene));
  TextColour(scene);
  BlockTransform(scene);
  DrawString(scene, set.text_string);

  // The capture shows the chrome copy only with the text; the trail shows it regardless.
  if (IsOn(set.text_chrome) && (variant == GlowVariant::kTrail || IsOn(set.text_on))) {
    ChromeCopy(scene);
    glDisable(GL_BLEND);
  }
}

}  // namespace vl::render
