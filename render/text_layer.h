// The 3D outline text: the glyph lists for the scene's font, the layout of the text string (a
// centred block whose characters each add their own offset and turn, so text can curve, spiral
// and tumble), the five surface styles with the chrome copy, and the text's share of the glow
// scene. Draws into the current context; reads the scene's working values and switches only.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/scene_state.h"
#include "render/glyph_lists.h"
#include "render/scene_layers.h"

namespace vl::render {

// The text is copied into a buffer of this many characters before it is drawn; a longer string
// is cut so that it and its terminator fit.
inline constexpr size_t kTextBufferSize = 30000;
inline constexpr float kLineHeight = 0.3f;  // nominal, for raising a block of several lines

// The part of a string that gets drawn: up to the first NUL, at most kTextBufferSize - 1 bytes.
std::string_view TextBuffer(std::string_view text);

// Width of the first line, its break character included, and the number of line breaks.
struct TextMeasure {
  float width = 0;
  int breaks = 0;
};
TextMeasure MeasureText(std::string_view buffer, const GlyphMetricsTable& metrics);

// The per-character motion, already scaled: offsets / 200, turns / 10 degrees.
struct TextMotion {
  float char_offset[3] = {0, 0, 0};
  float char_rot[3] = {0, 0, 0};
  float line_offset[3] = {0, 0, 0};
};
TextMotion MotionFrom(const engine::WorkingValues& work);

// Where the layout's matrix steps and glyph calls go: GL when drawing, a recorder in tests.
class TextSink {
 public:
  virtual ~TextSink() = default;
  virtual void Translate(float x, float y, float z) = 0;
  virtual void Rotate(float degrees, float x, float y, float z) = 0;
  virtual void Glyph(uint8_t code) = 0;  // the glyph list also steps the pen by its increment
};

// Centres the block and walks the buffer. The matrix is never saved: each character's offset and
// turn pile onto those before it, which is what makes text spiral.
void LayOutText(std::string_view text, const GlyphMetricsTable& metrics, const TextMotion& motion, TextSink& sink);

class TextLayer {
 public:
  // Font request from the scene's face, weight and italic settings and the text it must show.
  static FontRequest RequestFor(const engine::SceneState& scene);
  // The line a load tells about the face a build used when the text shows: which face stands in
  // for one the system lacks, or that there is none. Empty when there is nothing to tell.
  static std::string FontNote(const engine::SceneState& scene, const GlyphBuildReport& built);

  // Deletes the lists and builds them again for the scene's font and wireframe switch.
  GlyphBuildReport BuildGlyphLists(const engine::SceneState& scene);
  void DeleteGlyphLists() { glyphs_.Delete(); }

  // Lays out and draws `text` with the current matrices, colour and texture state.
  void DrawString(const engine::SceneState& scene, std::string_view text);

  // The main frame's text (after the renderer loaded identity, enabled the depth test and set
  // the lighting switch): style set-up, light, colour, the text when text_on, and the chrome copy
  // whenever text_chrome is on, text_on or not.
  void DrawTextPass(engine::SceneState& scene);

  // The text's part of the glow scene, when fx_text is on.
  void DrawGlowText(engine::SceneState& scene, GlowVariant variant);

  const GlyphLists& glyphs() const { return glyphs_; }

 private:
  void BlockTransform(const engine::SceneState& scene);
  void ChromeCopy(engine::SceneState& scene);

  GlyphLists glyphs_;
};

}  // namespace vl::render
