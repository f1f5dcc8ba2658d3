// Face matching and glyph geometry from the system's fonts (no GL context needed): which face a
// request lands on, em-normalised outlines, the non-zero fill and the walls' facing.
#include <gtest/gtest.h>

#include <cmath>
#include <fontconfig/fontconfig.h>

#include "render/glyph_lists.h"
#include "tests/render/gl_test_context.h"

// Fontconfig keeps its configuration for the life of the process (until FcFini, which a
// program that draws text to the end never calls); the leak checker would report it at exit.
// NOLINTNEXTLINE(bugprone-reserved-identifier): the name the leak checker looks for
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace vl::render {
namespace {

// The fonts these tests read come from the set-up scripts' package list.
#define VL_REQUIRE_FONT(choice_var, request) \
  auto choice_var##_all = FindFontCandidates(request); \
  if (choice_var##_all.empty()) { \
    if (::vl::test::RunningInCi()) FAIL() << "no outline fonts installed"; \
    GTEST_SKIP() << "no outline fonts installed"; \
  } \
  const FontChoice& choice_var = choice_var##_all.front(); /* NOLINT(bugprone-macro-parentheses): the name declared */

bool HasFamily(const char* family) {
  FcPattern* p = FcNameParse(reinterpret_cast<const FcChar8*>(family));
  FcObjectSet* os = FcObjectSetBuild(FC_FILE, nullptr);
  FcFontSet* set = FcFontList(nullptr, p, os);
  const bool found = set && set->nfont > 0;
  if (set) FcFontSetDestroy(set);
  FcObjectSetDestroy(os);
  FcPatternDestroy(p);
  return found;
}

#define VL_REQUIRE_FAMILY(family) \
  if (!HasFamily(family)) { \
    if (::vl::test::RunningInCi()) FAIL() << (family) << " is not installed"; \
    GTEST_SKIP() << (family) << " is not installed"; \
  }

OutlineFont OpenFirst(const FontRequest& request) {
  auto all = FindFontCandidates(request);
  EXPECT_FALSE(all.empty());
  auto font = OutlineFont::Open(all.front());
  EXPECT_TRUE(font.ok()) << (font.ok() ? "" : font.error().ToString());
  return std::move(font.value());
}

double Area(const std::vector<Vec2>& c) {
  double a = 0;
  for (size_t i = 0; i < c.size(); ++i) {
    const Vec2 p = c[i], q = c[(i + 1) % c.size()];
    a += p.x * q.y - q.x * p.y;
  }
  return a / 2;
}

double TriangleArea(const Vec2& a, const Vec2& b, const Vec2& c) {
  return ((b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x)) / 2;
}

bool InsideFill(const GlyphShape& s, Vec2 p) {
  for (size_t i = 0; i < s.triangles.size(); i += 3) {
    const Vec2 &a = s.triangles[i], &b = s.triangles[i + 1], &c = s.triangles[i + 2];
    if (TriangleArea(a, b, p) >= 0 && TriangleArea(b, c, p) >= 0 && TriangleArea(c, a, p) >= 0) return true;
  }
  return false;
}

TEST(FontMatching, BlackFacesBecomeTheirFamilyAtBlackWeight) {
  VL_REQUIRE_FAMILY("Liberation Sans");
  // Debian has no "Arial Black": Arial's metric twin at its heaviest weight stands in.
  VL_REQUIRE_FONT(black, (FontRequest{"Arial Black", 0, false}));
  EXPECT_EQ(black.family, "Liberation Sans");
  EXPECT_NE(black.style.find("Bold"), std::string::npos) << black.style;
  EXPECT_FALSE(black.exact);

  VL_REQUIRE_FONT(italic, (FontRequest{"Arial Black", 0, true}));
  EXPECT_NE(italic.style.find("Italic"), std::string::npos) << italic.style;
}

TEST(FontMatching, ExistingFaceIsTakenAsItIsWithWeightAndItalic) {
  VL_REQUIRE_FAMILY("Liberation Serif");
  VL_REQUIRE_FONT(plain, (FontRequest{"Liberation Serif", 0, false}));
  EXPECT_TRUE(plain.exact);
  EXPECT_EQ(plain.style, "Regular");
  VL_REQUIRE_FONT(bold, (FontRequest{"Liberation Serif", 700, false}));
  EXPECT_EQ(bold.style, "Bold");
  VL_REQUIRE_FONT(bold_italic, (FontRequest{"liberation serif", 700, true}));
  EXPECT_EQ(bold_italic.style, "Bold Italic");
  EXPECT_TRUE(bold_italic.exact);
  // A full name picks that face whatever the weight says.
  VL_REQUIRE_FONT(full, (FontRequest{"Liberation Serif Bold", 0, false}));
  EXPECT_TRUE(full.exact);
  EXPECT_EQ(full.style, "Bold");
  // Weights beyond the Windows range are held to it rather than upsetting the match.
  VL_REQUIRE_FONT(wild, (FontRequest{"Liberation Serif", -5, false}));
  EXPECT_EQ(wild.style, "Regular");
}

TEST(FontMatching, UnknownFaceStillGivesDrawableGlyphs) {
  VL_REQUIRE_FONT(any, (FontRequest{"Qzxv No Such Face", 0, false}));
  EXPECT_FALSE(any.exact);
  OutlineFont font = OpenFirst({"Qzxv No Such Face", 0, false});
  const GlyphShape a = font.Shape('A');
  EXPECT_FALSE(a.contours.empty());
  EXPECT_FALSE(a.triangles.empty());
  EXPECT_GT(a.metrics.cell_inc_x, 0.3f);

  // A damaged or missing file is refused with its name, not opened.
  FontChoice missing = any;
  missing.file = "/nonexistent/font.ttf";
  auto refused = OutlineFont::Open(missing);
  ASSERT_FALSE(refused.ok());
  EXPECT_NE(refused.error().ToString().find("/nonexistent/font.ttf"), std::string::npos);
  auto garbage = OutlineFont::OpenBytes(std::vector<uint8_t>(300, 0x5A), "garbage.ttf");
  ASSERT_FALSE(garbage.ok());
  EXPECT_NE(garbage.error().ToString().find("garbage.ttf"), std::string::npos);
  EXPECT_FALSE(OutlineFont::OpenBytes({}, "empty.ttf").ok());
}

// Contours per letter of "Hello Font" in a text face: the counters of e and o make the
// difference, and a picture font drawn at the letters' codes does not follow the pattern.
bool DrawsHelloFont(const OutlineFont& font, std::string* why) {
  const std::pair<char, size_t> letters[] = {{'H', 1}, {'e', 2}, {'l', 1}, {'o', 2}, {'F', 1}, {'n', 1}, {'t', 1}};
  for (auto [letter, contours] : letters) {
    const size_t got = font.Shape(static_cast<uint8_t>(letter)).contours.size();
    if (got != contours) {
      *why = std::string("'") + letter + "' has " + std::to_string(got) + " contours";
      return false;
    }
  }
  return true;
}

// Loops made on other systems name their faces; here none of these is installed, and fontconfig's
// first choice for some (Impact, Comic Sans MS) is a dingbat or a script face.
TEST(FontMatching, FacesTheSystemLacksAreDrawnInLettersNeverPictures) {
  VL_REQUIRE_FAMILY("DejaVu Sans");
  for (const char* face : {"Impact", "Arial", "Arial Black", "Verdana", "Tahoma", "Comic Sans MS", "Times New Roman",
                           "Georgia", "Qzxv No Such Face"}) {
    SCOPED_TRACE(face);
    const auto all = FindFontCandidates({face, 0, false, "Hello Font"});
    ASSERT_FALSE(all.empty());
    EXPECT_FALSE(all.front().exact);
    for (const FontChoice& c : all) EXPECT_FALSE(c.symbol) << c.file;
    auto font = OutlineFont::Open(all.front());
    ASSERT_TRUE(font.ok()) << font.error().ToString();
    std::string why;
    EXPECT_TRUE(DrawsHelloFont(font.value(), &why)) << FontFaceName(all.front()) << ": " << why;
    // Messages name a stand-in the system's configuration does not give for the name.
    const std::string note = FontSubstituteNote({face, 0, false}, all.front());
    if (all.front().match == FontMatch::kAlias) {
      EXPECT_EQ(note, "");
      continue;
    }
    EXPECT_EQ(note.find(std::string("font \"") + face + "\" is not on this system; the text is drawn in " +
                        FontFaceName(all.front())),
              0u)
        << note;
  }
}

TEST(FontMatching, StandInsKeepClassWeightAndWidth) {
  VL_REQUIRE_FAMILY("Liberation Sans");
  VL_REQUIRE_FAMILY("DejaVu Sans Condensed");
  auto first = [](const char* face, int32_t weight = 0, bool italic = false) {
    auto all = FindFontCandidates({face, weight, italic, "Hello Font"});
    return all.empty() ? FontChoice{} : all.front();
  };
  // A heavy condensed poster face.
  const FontChoice impact = first("Impact");
  EXPECT_EQ(impact.match, FontMatch::kSimilar);
  EXPECT_NE(impact.style.find("Bold"), std::string::npos) << FontFaceName(impact);
  EXPECT_TRUE(impact.style.find("Condensed") != std::string::npos || impact.family.find("Narrow") != std::string::npos)
      << FontFaceName(impact);
  EXPECT_NE(first("Impact", 0, true).style.find("Oblique"), std::string::npos);
  // Metric twins.
  EXPECT_EQ(FontFaceName(first("Arial")), "Liberation Sans");
  EXPECT_EQ(FontFaceName(first("Arial", 700, true)), "Liberation Sans Bold Italic");
  EXPECT_EQ(FontFaceName(first("Times New Roman")), "Liberation Serif");
  EXPECT_EQ(FontFaceName(first("Courier New")), "Liberation Mono");
  // Faces of the same class, upright and of normal width.
  EXPECT_EQ(FontFaceName(first("Verdana")), "DejaVu Sans");
  EXPECT_EQ(FontFaceName(first("Tahoma", 700)), "DejaVu Sans Bold");
  EXPECT_NE(first("Georgia").family.find("Serif"), std::string::npos) << FontFaceName(first("Georgia"));
  const FontChoice comic = first("Comic Sans MS");
  EXPECT_NE(comic.family, "Z003");  // fontconfig's choice: a calligraphic italic
  EXPECT_EQ(comic.style.find("Italic"), std::string::npos) << FontFaceName(comic);
  if (HasFamily("Comic Neue")) { EXPECT_EQ(comic.family, "Comic Neue"); }
  if (HasFamily("Carlito")) { EXPECT_EQ(first("Calibri").family, "Carlito"); }
  if (HasFamily("Caladea")) { EXPECT_EQ(first("Cambria").family, "Caladea"); }
  // A name known nowhere gets the system's default, and says so.
  EXPECT_EQ(first("Qzxv No Such Face").match, FontMatch::kFallback);
}

TEST(FontMatching, PictureFontsOnlyWhenAskedForByName) {
  VL_REQUIRE_FAMILY("D050000L");
  // "Dingbats" is the configuration's name for the URW dingbats; asked for, it is honoured.
  const auto dingbats = FindFontCandidates({"Dingbats", 0, false, "Hello"});
  ASSERT_FALSE(dingbats.empty());
  EXPECT_EQ(dingbats.front().family, "D050000L");
  EXPECT_TRUE(dingbats.front().symbol);
  EXPECT_EQ(dingbats.front().match, FontMatch::kAlias);
  const auto named = FindFontCandidates({"D050000L", 0, false, "Hello"});
  ASSERT_FALSE(named.empty());
  EXPECT_TRUE(named.front().exact);
  EXPECT_TRUE(named.front().symbol);
  // Its pictures fail the letter test that the stand-ins pass.
  auto font = OutlineFont::Open(dingbats.front());
  ASSERT_TRUE(font.ok());
  std::string why;
  EXPECT_FALSE(DrawsHelloFont(font.value(), &why));
  // "Symbol" draws Greek at the Latin letters: honoured when named, never a stand-in.
  const auto symbol = FindFontCandidates({"Symbol", 0, false, "Hello"});
  ASSERT_FALSE(symbol.empty());
  EXPECT_TRUE(symbol.front().symbol) << symbol.front().family;
  // Text faces are not taken for picture fonts.
  VL_REQUIRE_FONT(sans, (FontRequest{"Liberation Sans", 0, false}));
  EXPECT_FALSE(sans.symbol);
}

TEST(GlyphShape, OutlinesAreInEmsWithFillMinusHoles) {
  VL_REQUIRE_FAMILY("Liberation Sans");
  OutlineFont font = OpenFirst({"Liberation Sans", 0, false});

  // Capital height of Arial-like faces is about 0.72 em; advance of 'H' 0.722 em.
  const GlyphShape h = font.Shape('H');
  EXPECT_NEAR(h.metrics.black_box_y, 0.69, 0.05);
  EXPECT_NEAR(h.metrics.cell_inc_x, 0.722, 0.01);
  EXPECT_NEAR(h.metrics.origin_y, h.metrics.black_box_y, 0.01);  // sits on the baseline

  // 'O' and 'B' have holes: the fill covers the outer area less the inner ones, and every
  // triangle faces +z.
  for (uint8_t code : {'O', 'B', '8', '%'}) {
    const GlyphShape s = font.Shape(code);
    ASSERT_GT(s.contours.size(), 1u) << code;
    ASSERT_FALSE(s.fill_failed);
    double net = 0, fill = 0;
    for (const auto& c : s.contours) net += Area(c);
    for (size_t i = 0; i < s.triangles.size(); i += 3) {
      const double a = TriangleArea(s.triangles[i], s.triangles[i + 1], s.triangles[i + 2]);
      EXPECT_GE(a, 0.0) << code;
      fill += a;
    }
    EXPECT_NEAR(fill, std::fabs(net), 1e-6) << code;
    EXPECT_GT(fill, 0.05) << code;
  }

  // Space and code 255 of the list range: no outline, but space still advances.
  const GlyphShape space = font.Shape(' ');
  EXPECT_TRUE(space.contours.empty());
  EXPECT_GT(space.metrics.cell_inc_x, 0.2f);
}

// Every wall normal must point out of the ink: just outside along the normal is unfilled, just
// inside is filled. Checked for a TrueType face (filled on the right) and, where installed, a
// PostScript-outline face (filled on the left).
void ExpectWallsFaceOut(const GlyphShape& s, const char* what) {
  const auto walls = GlyphWalls(s);
  ASSERT_FALSE(walls.empty()) << what;
  int wrong = 0, checked = 0;
  for (const GlyphWall& w : walls) {
    const double len = std::hypot(w.b.x - w.a.x, w.b.y - w.a.y);
    if (len < 0.01) continue;  // too short to probe beside reliably
    const Vec2 mid{(w.a.x + w.b.x) / 2, (w.a.y + w.b.y) / 2};
    const double e = 0.002;
    ++checked;
    if (InsideFill(s, {mid.x + w.normal.x * e, mid.y + w.normal.y * e}) ||
        !InsideFill(s, {mid.x - w.normal.x * e, mid.y - w.normal.y * e}))
      ++wrong;
    // The normal is the left of a -> b, which makes the quad a, b, b', a' wind
    // counter-clockwise seen from outside.
    EXPECT_NEAR(w.normal.x * (w.b.x - w.a.x) + w.normal.y * (w.b.y - w.a.y), 0.0, 1e-9);
    EXPECT_GT((w.b.x - w.a.x) * w.normal.y - (w.b.y - w.a.y) * w.normal.x, 0.0);
  }
  EXPECT_GE(checked, 4) << what;
  EXPECT_EQ(wrong, 0) << what << ": " << wrong << " of " << checked << " walls face inwards";
}

TEST(GlyphShape, WallsFaceOutOfTheInkForBothContourConventions) {
  VL_REQUIRE_FAMILY("Liberation Sans");
  OutlineFont tt = OpenFirst({"Liberation Sans", 0, false});
  EXPECT_TRUE(tt.Shape('O').fill_right);
  for (uint8_t code : {'I', 'O', 'e'}) ExpectWallsFaceOut(tt.Shape(code), "TrueType");

  VL_REQUIRE_FAMILY("Nimbus Sans");
  OutlineFont ps = OpenFirst({"Nimbus Sans", 0, false});
  EXPECT_FALSE(ps.Shape('O').fill_right);
  for (uint8_t code : {'I', 'O', 'e'}) ExpectWallsFaceOut(ps.Shape(code), "PostScript");
}

TEST(GlyphShape, CodesFollowWindows1252AndCurvesAreFine) {
  VL_REQUIRE_FAMILY("Liberation Sans");
  OutlineFont font = OpenFirst({"Liberation Sans", 0, false});
  // 0x80 is the euro sign in the loops' code page; 0x81 is unassigned and gets the missing glyph.
  const GlyphShape euro = font.Shape(0x80), unassigned = font.Shape(0x81), e_acute = font.Shape(0xE9);
  EXPECT_NEAR(euro.metrics.cell_inc_x, 0.556, 0.01);
  EXPECT_NE(euro.contours.size(), unassigned.contours.size());
  EXPECT_EQ(e_acute.contours.size(), font.Shape('e').contours.size() + 1);  // the accent

  // The bowl of 'O' is flattened finely: consecutive points never more than a 20th em apart,
  // and there are plenty of them.
  const GlyphShape o = font.Shape('O');
  size_t points = 0;
  for (const auto& c : o.contours) {
    points += c.size();
    for (size_t i = 0; i < c.size(); ++i)
      EXPECT_LT(std::hypot(c[i].x - c[(i + 1) % c.size()].x, c[i].y - c[(i + 1) % c.size()].y), 0.05);
  }
  EXPECT_GT(points, 60u);
}

TEST(Tessellation, OverlappingContoursFillOnceAndGarbageIsSafe) {
  // Two squares overlapping by half, same direction: non-zero fills the union once (1.5).
  const std::vector<std::vector<Vec2>> overlap = {{{0, 0}, {1, 0}, {1, 1}, {0, 1}},
                                                  {{0.5, 0}, {1.5, 0}, {1.5, 1}, {0.5, 1}}};
  std::vector<Vec2> tris;
  ASSERT_TRUE(TessellateNonZero(overlap, &tris));
  double fill = 0;
  for (size_t i = 0; i < tris.size(); i += 3) fill += TriangleArea(tris[i], tris[i + 1], tris[i + 2]);
  EXPECT_NEAR(fill, 1.5, 1e-9);

  // Clockwise input still comes out counter-clockwise.
  ASSERT_TRUE(TessellateNonZero({{{0, 0}, {0, 1}, {1, 1}, {1, 0}}}, &tris));
  for (size_t i = 0; i < tris.size(); i += 3) EXPECT_GT(TriangleArea(tris[i], tris[i + 1], tris[i + 2]), 0);

  // A self-crossing bow tie and degenerate contours neither crash nor leave odd vertex counts.
  EXPECT_TRUE(TessellateNonZero({{{0, 0}, {1, 1}, {1, 0}, {0, 1}}}, &tris));
  EXPECT_EQ(tris.size() % 3, 0u);
  EXPECT_TRUE(TessellateNonZero({{{0, 0}, {0, 0}, {0, 0}}, {}}, &tris));
  EXPECT_EQ(tris.size() % 3, 0u);
  EXPECT_TRUE(TessellateNonZero({}, &tris));
  EXPECT_TRUE(tris.empty());
}

}  // namespace
}  // namespace vl::render
