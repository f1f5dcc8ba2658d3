// Layout of the text string, recorded without GL: the centring step, per-character motion,
// line breaks, skipped codes and the working buffer's bound.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "render/glyph_lists.h"
#include "render/text_layer.h"

namespace vl::render {
namespace {

struct Op {
  char kind;  // 'T' translate, 'R' rotate, 'G' glyph
  float a = 0, b = 0, c = 0, d = 0;
  int code = -1;
};

class Recorder final : public TextSink {
 public:
  void Translate(float x, float y, float z) override { ops.push_back({'T', x, y, z}); }
  void Rotate(float deg, float x, float y, float z) override { ops.push_back({'R', deg, x, y, z}); }
  void Glyph(uint8_t code) override { ops.push_back({'G', 0, 0, 0, 0, code}); }
  std::vector<Op> Of(char kind) const {
    std::vector<Op> out;
    for (const Op& o : ops)
      if (o.kind == kind) out.push_back(o);
    return out;
  }
  std::vector<Op> ops;
};

// Distinct increments per code so a wrong index shows: code c advances c / 100 em.
GlyphMetricsTable Metrics() {
  GlyphMetricsTable m{};
  for (int c = 0; c < kGlyphListCount; ++c) m[c].cell_inc_x = static_cast<float>(c) / 100.0f;
  return m;
}

TEST(TextLayout, OneLineIsCentredAndEachCharacterMovesAndTurnsOnce) {
  const auto metrics = Metrics();
  TextMotion motion;
  motion.char_offset[0] = 0.5f, motion.char_offset[2] = -0.25f;
  motion.char_rot[0] = 1.0f, motion.char_rot[1] = 2.0f, motion.char_rot[2] = 3.0f;
  Recorder r;
  LayOutText("AB", metrics, motion, r);

  ASSERT_EQ(r.ops.size(), 1u + 2u * 5u);
  // Centring: half the width (0.65 + 0.66), no breaks so no raise.
  EXPECT_EQ(r.ops[0].kind, 'T');
  EXPECT_NEAR(r.ops[0].a, -(0.65f + 0.66f) / 2.0f, 1e-5);
  EXPECT_NEAR(r.ops[0].b, 0.0f, 1e-5);
  // Per character: offset, then x, y, z turns in that order, then the glyph.
  for (int i = 0; i < 2; ++i) {
    const Op* o = &r.ops[1 + i * 5];
    EXPECT_EQ(o[0].kind, 'T');
    EXPECT_NEAR(o[0].a, 0.5f, 1e-5);
    EXPECT_NEAR(o[0].c, -0.25f, 1e-5);
    EXPECT_EQ(o[1].kind, 'R');
    EXPECT_NEAR(o[1].a, 1.0f, 1e-5);
    EXPECT_NEAR(o[1].b, 1.0f, 1e-5);
    EXPECT_EQ(o[2].kind, 'R');
    EXPECT_NEAR(o[2].c, 1.0f, 1e-5);
    EXPECT_EQ(o[3].kind, 'R');
    EXPECT_NEAR(o[3].d, 1.0f, 1e-5);
    EXPECT_EQ(o[4].kind, 'G');
    EXPECT_EQ(o[4].code, i == 0 ? 'A' : 'B');
  }
}

TEST(TextLayout, TwoLinesCentreOnTheFirstLineAndBreakBackToItsStart) {
  const auto metrics = Metrics();
  TextMotion motion;
  motion.line_offset[0] = 0.1f, motion.line_offset[1] = -0.3f, motion.line_offset[2] = 0.2f;
  Recorder r;
  // The second line is longer; only the first (with its break, code 13) sets the centring.
  LayOutText("AB\rCDEFG", metrics, motion, r);

  const auto t = r.Of('T');
  EXPECT_NEAR(t[0].a, -(0.65f + 0.66f + 0.13f) / 2.0f, 1e-5);
  EXPECT_NEAR(t[0].b, 0.3f / 2.0f, 1e-5);  // raised by half of one line
  // The break returns by the drawn advance of line 1 (not the break's own increment).
  const Op& brk = t[3];
  EXPECT_NEAR(brk.a, -(0.65f + 0.66f) - 0.1f, 1e-5);
  EXPECT_NEAR(brk.b, -0.3f, 1e-5);
  EXPECT_NEAR(brk.c, 0.2f, 1e-5);
  EXPECT_EQ(r.Of('G').size(), 7u);

  // Three lines: raised by two half lines, and the second break returns by line 2's advance.
  Recorder r3;
  LayOutText("A\nBC\nD", metrics, motion, r3);
  const auto t3 = r3.Of('T');
  EXPECT_NEAR(t3[0].b, 2 * 0.3f / 2.0f, 1e-5);
  EXPECT_NEAR(t3[0].a, -(0.65f + 0.10f) / 2.0f, 1e-5);
  EXPECT_NEAR(t3[5].a, -(0.66f + 0.67f) - 0.1f, 1e-5);
}

TEST(TextLayout, CodesBelow27BreakCodes27To30AreSkippedAnd31IsDrawn) {
  const auto metrics = Metrics();
  Recorder r;
  const std::string text = {'A', 27, 28, 29, 30, 31, 'B', 1, 'C', 26, 'D'};
  LayOutText(text, metrics, TextMotion{}, r);
  std::vector<int> glyphs;
  for (const Op& o : r.Of('G')) glyphs.push_back(o.code);
  EXPECT_EQ(glyphs, (std::vector<int>{'A', 31, 'B', 'C', 'D'}));
  // Two breaks (codes 1 and 26): 1 translate for centring, 5 per glyph, 2 for the breaks.
  EXPECT_EQ(r.Of('T').size(), 1u + 5u + 2u);
  // The skipped codes still count towards the first line's width (and the break, code 1).
  const float width = 0.65f + 0.27f + 0.28f + 0.29f + 0.30f + 0.31f + 0.66f + 0.01f;
  EXPECT_NEAR(r.ops[0].a, -width / 2.0f, 1e-5);
  EXPECT_NEAR(r.ops[0].b, 2 * 0.3f / 2.0f, 1e-5);
  // The first break returns over the drawn glyphs only: A, 31 and B.
  EXPECT_NEAR(r.Of('T')[4].a, -(0.65f + 0.31f + 0.66f), 1e-5);
}

TEST(TextLayout, EmptyStringOnlyCentresAtZeroAndHighCodesIndexTheirOwnMetrics) {
  const auto metrics = Metrics();
  Recorder r;
  LayOutText("", metrics, TextMotion{}, r);
  ASSERT_EQ(r.ops.size(), 1u);
  EXPECT_NEAR(r.ops[0].a, 0.0f, 1e-5);
  EXPECT_NEAR(r.ops[0].b, 0.0f, 1e-5);

  // Bytes above 127 must not go negative through a signed char.
  const std::string high = {static_cast<char>(0x80), static_cast<char>(0xFF)};
  const TextMeasure m = MeasureText(high, metrics);
  EXPECT_NEAR(m.width, 1.28f + 2.55f, 1e-5);
  EXPECT_EQ(m.breaks, 0);
}

TEST(TextLayout, WorkingBufferCutsLongStringsAndStopsAtNul) {
  const auto metrics = Metrics();
  Recorder r;
  LayOutText(std::string(40000, 'x'), metrics, TextMotion{}, r);
  EXPECT_EQ(r.Of('G').size(), kTextBufferSize - 1);
  EXPECT_EQ(TextBuffer(std::string(40000, 'x')).size(), kTextBufferSize - 1);

  Recorder n;
  LayOutText(std::string("AB\0CD", 5), metrics, TextMotion{}, n);
  EXPECT_EQ(n.Of('G').size(), 2u);
}

TEST(CodePage, Windows1252HighControlsArePrintableLatin1Passes) {
  EXPECT_EQ(Windows1252ToUnicode(0x41), 0x41u);
  EXPECT_EQ(Windows1252ToUnicode(0x80), 0x20ACu);  // euro
  EXPECT_EQ(Windows1252ToUnicode(0x81), 0x81u);    // undefined in the code page
  EXPECT_EQ(Windows1252ToUnicode(0x8C), 0x152u);   // OE
  EXPECT_EQ(Windows1252ToUnicode(0x9F), 0x178u);   // Y diaeresis
  EXPECT_EQ(Windows1252ToUnicode(0xA0), 0xA0u);
  EXPECT_EQ(Windows1252ToUnicode(0xE9), 0xE9u);
  EXPECT_EQ(Windows1252ToUtf8("Caf\xE9 \x80"), "Caf\xC3\xA9 \xE2\x82\xAC");
}

}  // namespace
}  // namespace vl::render
