// The outline text on a headless context: the glyph lists' contract (range, pen steps, metrics
// shared by the solid and wireframe builds) and whole frames through the renderer, judged the
// way a person would: where the ink is, and that styles, rotation and the chrome copy show.
#include <GL/gl.h>
#include <fontconfig/fontconfig.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "engine/sequence_loader.h"
#include "engine/sequence_reader.h"
#include "engine/sequence_text.h"
#include "engine/sequence_writer.h"
#include "platform/headless/png_file.h"
#include "render/offline_player.h"
#include "render/text_layer.h"
#include "tests/render/gl_test_context.h"

namespace vl::render {
namespace {

using engine::SceneState;
using engine::TextureSlot;

// The renderer's layer slots with only the text filled in.
class TextOnlyLayers final : public SceneLayers {
 public:
  explicit TextOnlyLayers(TextLayer& text) : text_(text) {}
  void DrawText(SceneState& s) override { text_.DrawTextPass(s); }
  void DrawGlowScene(SceneState& s, GlowVariant v) override { text_.DrawGlowText(s, v); }

 private:
  TextLayer& text_;
};

class TextAssets final : public RenderAssets {
 public:
  explicit TextAssets(TextLayer& text) : text_(text) { set_quiet(true); }
  void RebuildGlyphLists(SceneState& s) override {
    ++rebuilds;
    last = text_.BuildGlyphLists(s);
  }
  int rebuilds = 0;
  GlyphBuildReport last;

 private:
  TextLayer& text_;
};

// A frame of a loop given as source text, through start-up, the loader and the renderer.
struct TextRig {
  static constexpr int kW = 200, kH = 150;
  std::unique_ptr<SceneState> scene = std::make_unique<SceneState>();
  TextLayer text;
  TextOnlyLayers layers{text};
  TextAssets assets{text};
  Random random;  // the rig's own: nothing else the process draws reaches its frames
  OfflinePlayer player{*scene, layers, 25, random};

  void Start() { player.Start(assets, kW, kH); }
  void Load(const std::string& source) {
    auto compiled = std::make_unique<SceneState>();
    ASSERT_FALSE(engine::CompileSequence(source, "test loop", *compiled).has_value());
    const auto bytes = engine::WriteSequence(*compiled);
    auto parsed = engine::ParseSequence(bytes, "test loop");
    ASSERT_TRUE(parsed.ok()) << parsed.error().ToString();
    engine::ApplySequence(*scene, *parsed, assets);
  }
};

uint32_t MakeTexture(bool checker) {
  uint8_t px[16 * 16 * 3];
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) {
      uint8_t* p = &px[(y * 16 + x) * 3];
      const bool on = !checker || ((x / 4 + y / 4) % 2 == 0);
      p[0] = on ? 255 : 40, p[1] = on ? 200 : 40, p[2] = on ? 60 : 160;
    }
  GLuint tex = 0;
  glGenTextures(1, &tex);
  glBindTexture(GL_TEXTURE_2D, tex);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
  glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, 16, 16, 0, GL_RGB, GL_UNSIGNED_BYTE, px);
  return tex;
}

// Pixels that differ clearly from the (black) background, and where they are.
struct Ink {
  int count = 0;
  int x0 = 1 << 30, y0 = 1 << 30, x1 = -1, y1 = -1;
  double cx() const { return (x0 + x1) / 2.0; }
  double cy() const { return (y0 + y1) / 2.0; }
};

Ink FindInk(const headless::Image& img) {
  Ink ink;
  for (int y = 0; y < img.height; ++y)
    for (int x = 0; x < img.width; ++x) {
      const uint8_t* p = img.Pixel(x, y);
      if (p[0] + p[1] + p[2] < 60) continue;
      ++ink.count;
      ink.x0 = std::min(ink.x0, x), ink.y0 = std::min(ink.y0, y);
      ink.x1 = std::max(ink.x1, x), ink.y1 = std::max(ink.y1, y);
    }
  return ink;
}

int DifferentPixels(const headless::Image& a, const headless::Image& b) {
  int n = 0;
  for (size_t i = 0; i + 3 < a.rgba.size(); i += 4)
    if (std::abs(a.rgba[i] - b.rgba[i]) + std::abs(a.rgba[i + 1] - b.rgba[i + 1]) +
            std::abs(a.rgba[i + 2] - b.rgba[i + 2]) >
        60)
      ++n;
  return n;
}

// With VL_TEXT_PNG_DIR set, frames are kept for looking at.
void Keep(const headless::Image& img, const std::string& name) {
  const char* dir = std::getenv("VL_TEXT_PNG_DIR");
  if (!dir) return;
  std::string error;
  std::filesystem::create_directories(dir);
  EXPECT_TRUE(headless::WritePngFile(img, std::filesystem::path(dir) / (name + ".png"), &error)) << error;
}

std::string Loop(const std::string& settings, const std::string& initial = "") {
  return "version 6\n[settings]\ntext_string = \"Moxtrel\"\ntext_on = 2\nfx_text = 0\n" + settings +
         "\n[initial]\ntext_pos_z = -100\n" + initial + "\n[key]\nframe = 0\n[key]\nframe = 10\n";
}

headless::Image Frame(headless::HeadlessContext& gl, TextRig& rig) {
  rig.player.Seek(0);
  rig.player.DrawNextFrame();
  return gl.ReadPixels();
}

TEST(GlyphLists, OneRangeOf256ReusedOnRebuildWithPenSteps) {
  VL_REQUIRE_GL(gl, 32, 32);
  auto owner = std::make_unique<SceneState>();
  SceneState& scene = *owner;
  TextLayer text;
  const GlyphBuildReport report = text.BuildGlyphLists(scene);  // "Arial Black"
  ASSERT_TRUE(report.font_found) << report.message;
  EXPECT_EQ(report.fill_failures, 0);
  EXPECT_GT(report.glyphs_with_outline, 180);
  const uint32_t base = text.glyphs().base();
  ASSERT_NE(base, 0u);
  for (int i = 0; i < kGlyphListCount; ++i) ASSERT_TRUE(glIsList(base + i)) << i;
  const GlyphMetricsTable solid = text.glyphs().metrics();

  // Wireframe: same range, same metrics.
  scene.settings.text_wireframe = 2.0f;
  text.BuildGlyphLists(scene);
  EXPECT_EQ(text.glyphs().base(), base);
  for (int c = 0; c < kGlyphListCount; ++c) {
    EXPECT_EQ(text.glyphs().metrics()[c].cell_inc_x, solid[c].cell_inc_x) << c;
    EXPECT_EQ(text.glyphs().metrics()[c].black_box_y, solid[c].black_box_y) << c;
  }

  // Each list steps the pen by its own increment; 255 is empty and does not move.
  GLfloat m[16];
  glMatrixMode(GL_MODELVIEW);
  for (int c : {int('M'), int('i'), int(' '), 0xFF}) {
    glLoadIdentity();
    glCallList(base + c);
    glGetFloatv(GL_MODELVIEW_MATRIX, m);
    EXPECT_FLOAT_EQ(m[12], solid[c].cell_inc_x) << c;
    EXPECT_FLOAT_EQ(m[13], 0.0f);
  }
  EXPECT_EQ(solid[0xFF].cell_inc_x, 0.0f);
  EXPECT_GT(solid['M'].cell_inc_x, solid['i'].cell_inc_x);

  // Drawing a line from identity: the centring takes off half the measured width and the glyphs
  // step the whole of it, so the pen ends half a width right of the start.
  for (const char* s : {"Moxtrel", "W.i,W"}) {
    glLoadIdentity();
    text.DrawString(scene, s);
    glGetFloatv(GL_MODELVIEW_MATRIX, m);
    EXPECT_NEAR(m[12], MeasureText(s, solid).width / 2.0f, 1e-5) << s;
  }
  glLoadIdentity();
  text.DrawString(scene, "");
  glGetFloatv(GL_MODELVIEW_MATRIX, m);
  EXPECT_EQ(m[12], 0.0f);
  EXPECT_EQ(m[13], 0.0f);

  text.DeleteGlyphLists();
  EXPECT_FALSE(glIsList(base));
  EXPECT_EQ(text.glyphs().base(), 0u);
  EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

// A new text in the face the lists were made from keeps them (each letter typed in the editor
// would otherwise cost a frame's time); another form or face builds them again.
TEST(GlyphLists, ANewTextInTheSameFaceKeepsTheLists) {
  VL_REQUIRE_GL(gl, 32, 32);
  auto owner = std::make_unique<SceneState>();
  SceneState& scene = *owner;
  TextLayer text;
  ASSERT_TRUE(text.BuildGlyphLists(scene).font_found);
  const uint32_t base = text.glyphs().base();
  const float step = text.glyphs().metrics()['Z'].cell_inc_x;
  // The list of 'Z' replaced by a marker a build would overwrite.
  auto mark = [&] {
    glNewList(base + 'Z', GL_COMPILE);
    glTranslatef(1234.0f, 0.0f, 0.0f);
    glEndList();
  };
  auto kept = [&] {
    GLfloat m[16];
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glCallList(base + 'Z');
    glGetFloatv(GL_MODELVIEW_MATRIX, m);
    return m[12] == 1234.0f;
  };
  mark();
  scene.settings.text_string = "Grand Opening";
  EXPECT_TRUE(text.BuildGlyphLists(scene).font_found);
  EXPECT_TRUE(kept()) << "the same face's lists were built again";
  EXPECT_EQ(text.glyphs().metrics()['Z'].cell_inc_x, step);
  scene.settings.text_wireframe = 2.0f;
  text.BuildGlyphLists(scene);
  EXPECT_FALSE(kept()) << "the wireframe kept the solid lists";
  mark();
  scene.settings.text_font_face = "Courier New";
  const GlyphBuildReport courier = text.BuildGlyphLists(scene);
  ASSERT_TRUE(courier.font_found);
  EXPECT_FALSE(kept()) << "another face kept the lists of " << courier.font.file;
  EXPECT_NE(text.glyphs().metrics()['Z'].cell_inc_x, step);
  EXPECT_EQ(text.glyphs().base(), base);
  EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

TEST(GlyphLists, NoFontAtAllLeavesEmptyListsAndSaysWhy) {
  VL_REQUIRE_GL(gl, 32, 32);
  // A font configuration that knows no fonts, for this test only.
  const auto conf = std::filesystem::temp_directory_path() / "vl_text_no_fonts.conf";
  {
    std::ofstream(conf) << "<?xml version=\"1.0\"?>\n<fontconfig><cachedir>" << conf.parent_path().string()
                        << "/vl_text_no_fonts_cache</cachedir></fontconfig>\n";
  }
  setenv("FONTCONFIG_FILE", conf.c_str(), 1);
  ASSERT_TRUE(FcInitReinitialize());
  auto owner = std::make_unique<SceneState>();
  TextLayer text;
  testing::internal::CaptureStderr();
  const GlyphBuildReport report = text.BuildGlyphLists(*owner);
  const std::string logged = testing::internal::GetCapturedStderr();
  unsetenv("FONTCONFIG_FILE");
  FcInitReinitialize();

  EXPECT_FALSE(report.font_found);
  EXPECT_NE(report.message.find("Arial Black"), std::string::npos) << report.message;
  EXPECT_NE(logged.find("Arial Black"), std::string::npos) << logged;
  ASSERT_NE(text.glyphs().base(), 0u);
  // The lists exist and draw nothing; the text stays where the (zero-width) centring left it.
  GLfloat m[16];
  glLoadIdentity();
  text.DrawString(*owner, "Moxtrel");
  glGetFloatv(GL_MODELVIEW_MATRIX, m);
  EXPECT_EQ(m[12], 0.0f);
  EXPECT_TRUE(glIsList(text.glyphs().base() + 'M'));
  EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));

  // Fonts back: the same range fills up.
  const uint32_t base = text.glyphs().base();
  EXPECT_TRUE(text.BuildGlyphLists(*owner).font_found);
  EXPECT_EQ(text.glyphs().base(), base);
}

TEST(TextFrame, MoxtrelSitsInTheMiddleAndCharacterTurnsMoveIt) {
  VL_REQUIRE_GL(gl, TextRig::kW, TextRig::kH);
  TextRig rig;
  rig.Start();
  EXPECT_EQ(rig.assets.rebuilds, 1);  // start-up builds the lists
  rig.Load(Loop("text_style = 2"));
  EXPECT_EQ(rig.assets.rebuilds, 2);  // and every load rebuilds them
  ASSERT_TRUE(rig.assets.last.font_found) << rig.assets.last.message;

  const headless::Image straight = Frame(*gl, rig);
  Keep(straight, "style2");
  const Ink ink = FindInk(straight);
  ASSERT_GT(ink.count, 1000);
  EXPECT_NEAR(ink.cx(), TextRig::kW / 2.0, 6.0);
  // The baseline runs through the middle of the frame ("Moxtrel" has no descenders).
  EXPECT_NEAR(ink.y1, TextRig::kH / 2.0, 3.0);
  EXPECT_LT(ink.y0, TextRig::kH / 2 - 10);
  EXPECT_GT(ink.x1 - ink.x0, TextRig::kW / 3);  // a line of seven glyphs
  EXPECT_LT(ink.y1 - ink.y0, TextRig::kH / 3);  // one line high
  // The middle of the block (between 'x' and 't' at this size) and the line's ends are ink-free
  // at the very top, inked across the middle row.
  int middle_row = 0;
  for (int x = ink.x0; x <= ink.x1; ++x) middle_row += straight.Pixel(x, (ink.y0 + ink.y1) / 2)[0] > 60;
  EXPECT_GT(middle_row, (ink.x1 - ink.x0) / 4);

  // Turning each character a further 6 degrees about z bends the line into an arc.
  rig.Load(Loop("text_style = 2", "char_rot_z = 60"));
  const headless::Image bent = Frame(*gl, rig);
  Keep(bent, "style2_char_rot_z");
  const Ink bent_ink = FindInk(bent);
  EXPECT_GT(DifferentPixels(straight, bent), 1000);
  EXPECT_GT(bent_ink.y1 - bent_ink.y0, (ink.y1 - ink.y0) * 3 / 2);

  // Tumbling about x with a spiral push in depth: still drawn, still different.
  rig.Load(Loop("text_style = 2", "char_rot_x = 300\nchar_rot_y = 120\nchar_offset_z = -20"));
  const headless::Image tumbling = Frame(*gl, rig);
  Keep(tumbling, "style2_tumbling");
  EXPECT_GT(FindInk(tumbling).count, 500);
  EXPECT_GT(DifferentPixels(straight, tumbling), 1000);
}

TEST(TextFrame, EveryStyleAndTheWireframeDrawTheText) {
  VL_REQUIRE_GL(gl, TextRig::kW, TextRig::kH);
  TextRig rig;
  rig.Start();
  const uint32_t tex = MakeTexture(true);
  headless::Image styles[5];
  for (int style = 0; style <= 4; ++style) {
    rig.Load(Loop("text_style = " + std::to_string(style) + "\ntext_lit = 2", "text_rot_y = 25\ntext_rot_x = 15"));
    rig.scene->texture(TextureSlot::text_texture) = tex;
    rig.scene->texture(TextureSlot::custom_image_texture) = tex;
    styles[style] = Frame(*gl, rig);
    Keep(styles[style], "style" + std::to_string(style) + "_turned");
    const Ink ink = FindInk(styles[style]);
    EXPECT_GT(ink.count, 1000) << "style " << style;
    EXPECT_NEAR(ink.cx(), TextRig::kW / 2.0, 15.0) << "style " << style;
  }
  // The texture shows: the textured styles differ from plain colour and from each other.
  EXPECT_GT(DifferentPixels(styles[0], styles[2]), 300);
  EXPECT_GT(DifferentPixels(styles[3], styles[2]), 300);
  EXPECT_GT(DifferentPixels(styles[0], styles[3]), 300);

  // Wireframe: outlines of the same glyphs, so the same extent and much less ink.
  rig.Load(Loop("text_style = 2"));
  const Ink solid = FindInk(Frame(*gl, rig));
  rig.Load(Loop("text_style = 2\ntext_wireframe = 2"));
  const headless::Image lines = Frame(*gl, rig);
  Keep(lines, "wireframe");
  const Ink wire = FindInk(lines);
  EXPECT_GT(wire.count, 300);
  EXPECT_LT(wire.count, solid.count * 3 / 4);
  EXPECT_NEAR(wire.x0, solid.x0, 3);
  EXPECT_NEAR(wire.x1, solid.x1, 3);
  glDeleteTextures(1, &tex);
}

TEST(TextFrame, UnknownFaceStillDrawsAndColourIsScaledBy205) {
  VL_REQUIRE_GL(gl, TextRig::kW, TextRig::kH);
  TextRig rig;
  rig.Start();
  rig.Load(Loop("text_style = 2\ntext_font_face = \"Qzxv No Such Face\"",
                "text_colour_r = 205\ntext_colour_g = 41\ntext_colour_b = 0"));
  ASSERT_TRUE(rig.assets.last.font_found) << rig.assets.last.message;
  const headless::Image img = Frame(*gl, rig);
  const Ink ink = FindInk(img);
  ASSERT_GT(ink.count, 600);
  // Red 205 / 205 is full; green 41 / 205 is 0.2 (51 of 255).
  int r = 0, g = 0, n = 0;
  for (int y = ink.y0; y <= ink.y1; ++y)
    for (int x = ink.x0; x <= ink.x1; ++x)
      if (img.Pixel(x, y)[0] > 250) r += img.Pixel(x, y)[0], g += img.Pixel(x, y)[1], ++n;
  ASSERT_GT(n, 300);
  EXPECT_NEAR(static_cast<double>(g) / n, 51.0, 3.0);
}

// A loop naming a face this system lacks ("Impact" here): fontconfig's own first choice is a
// dingbat font; the frame must show the letters, as the stand-in face asked for by name does.
TEST(TextFrame, AFaceTheSystemLacksIsDrawnInItsStandIn) {
  VL_REQUIRE_GL(gl, TextRig::kW, TextRig::kH);
  TextRig rig;
  rig.Start();
  auto draw = [&](const std::string& face) {
    rig.Load(Loop("text_style = 2\ntext_string = \"Hello Font\"\ntext_font_face = \"" + face + "\"",
                  "text_colour_r = 205\ntext_colour_g = 205\ntext_colour_b = 205"));
    return Frame(*gl, rig);
  };
  const headless::Image impact = draw("Impact");
  Keep(impact, "impact");
  ASSERT_TRUE(rig.assets.last.font_found) << rig.assets.last.message;
  const FontChoice stand_in = rig.assets.last.font;
  EXPECT_FALSE(stand_in.exact);
  EXPECT_FALSE(stand_in.symbol) << stand_in.file;
  EXPECT_GT(FindInk(impact).count, 600);

  const headless::Image named = draw(FontFaceName(stand_in));
  ASSERT_TRUE(rig.assets.last.font.exact) << FontFaceName(stand_in) << " is not a name the system knows";
  EXPECT_EQ(rig.assets.last.font.file, stand_in.file);
  EXPECT_LT(DifferentPixels(impact, named), 5);

  // What it drew before: the dingbats (when installed) at the same codes.
  const headless::Image dingbats = draw("D050000L");
  Keep(dingbats, "dingbats");
  if (rig.assets.last.font.exact) { EXPECT_GT(DifferentPixels(impact, dingbats), 300); }
}

// What a load tells about the face: only when the text shows, and only for a stand-in.
TEST(TextLayerNotes, AStandInFaceIsToldWhenTheTextShows) {
  auto owner = std::make_unique<SceneState>();
  SceneState& scene = *owner;
  scene.settings.text_font_face = "Impact";
  scene.settings.text_string = "Hello Font";
  GlyphBuildReport built;
  built.font_found = true;
  const auto all = FindFontCandidates(TextLayer::RequestFor(scene));
  ASSERT_FALSE(all.empty());
  built.font = all.front();
  scene.settings.text_on = 0, scene.settings.fx_text = 0, scene.settings.text_chrome = 0;
  EXPECT_EQ(TextLayer::FontNote(scene, built), "");
  scene.settings.fx_text = 2;
  EXPECT_EQ(TextLayer::FontNote(scene, built), "text: font \"Impact\" is not on this system; the text is drawn in " +
                                                   FontFaceName(built.font) + ", " +
                                                   std::string(FontMatchReason(built.font.match)));
  built.font.match = FontMatch::kAlias;  // a metric twin: nothing to tell
  EXPECT_EQ(TextLayer::FontNote(scene, built), "");
  built = {};
  built.message = "text: no outline font";
  EXPECT_EQ(TextLayer::FontNote(scene, built), "text: no outline font");
}

TEST(TextFrame, ChromeCopyShowsWithoutTheText) {
  VL_REQUIRE_GL(gl, TextRig::kW, TextRig::kH);
  TextRig rig;
  rig.Start();
  rig.Load(Loop("text_style = 2\ntext_chrome = 2\ntext_on = 0"));
  const uint32_t chrome = MakeTexture(false);
  rig.scene->texture(TextureSlot::chrome_texture) = chrome;

  // The renderer's text slot runs the text pass; with text_on off only the chrome copy draws.
  auto pass = [&](float chrome_on) {
    rig.scene->settings.text_chrome = chrome_on;
    glClearColor(0, 0, 0, 1);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glEnable(GL_DEPTH_TEST);
    glDisable(GL_BLEND);
    glDisable(GL_LIGHTING);
    rig.text.DrawTextPass(*rig.scene);
    return gl->ReadPixels();
  };
  const headless::Image only_chrome = pass(2.0f);
  Keep(only_chrome, "chrome_only");
  const Ink ink = FindInk(only_chrome);
  EXPECT_GT(ink.count, 1000);
  EXPECT_NEAR(ink.cx(), TextRig::kW / 2.0, 8.0);
  // Additive with the chrome texture's colour (255, 200, 60) times white: yellow, not white.
  int yellow = 0;
  for (int y = ink.y0; y <= ink.y1; ++y)
    for (int x = ink.x0; x <= ink.x1; ++x)
      yellow += only_chrome.Pixel(x, y)[0] > 200 && only_chrome.Pixel(x, y)[2] < 120;
  EXPECT_GT(yellow, ink.count / 2);
  EXPECT_EQ(FindInk(pass(0.0f)).count, 0);

  glDeleteTextures(1, &chrome);
}

TEST(TextFrame, GlowCaptureHoldsTheTextEvenWithTheTextOff) {
  // The capture copies 512 x 512 from the frame's corner, so the frame must be that big.
  VL_REQUIRE_GL(gl, kCaptureSize, kCaptureSize);
  TextRig rig;
  rig.player.Start(rig.assets, kCaptureSize, kCaptureSize);
  rig.Load(Loop("text_style = 2\ntext_on = 0\nfx_text = 2\nscene_echo_on = 2"));
  rig.player.Seek(0);
  rig.player.DrawNextFrame();
  Keep(gl->ReadPixels(), "glow_echo");
  ASSERT_TRUE(rig.player.renderer().last_frame().glow_captured);
  glBindTexture(GL_TEXTURE_2D, rig.player.renderer().glow_scene_texture());
  std::vector<uint8_t> lum(kCaptureSize * kCaptureSize);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glGetTexImage(GL_TEXTURE_2D, 0, GL_LUMINANCE, GL_UNSIGNED_BYTE, lum.data());
  int bright = 0, centre = 0;
  for (int y = 0; y < kCaptureSize; ++y)
    for (int x = 0; x < kCaptureSize; ++x)
      if (lum[y * kCaptureSize + x] > 100) {
        ++bright;
        centre +=
            std::abs(x - kCaptureSize / 2) < kCaptureSize / 3 && std::abs(y - kCaptureSize / 2) < kCaptureSize / 8;
      }
  EXPECT_GT(bright, 3000);
  EXPECT_GT(centre, bright * 8 / 10);

  // Without fx_text the text takes no part in the glow.
  rig.scene->settings.fx_text = 0.0f;
  rig.scene->settings.fx_sprites = 2.0f;  // keep the capture running
  rig.player.Seek(0);
  rig.player.DrawNextFrame();
  glBindTexture(GL_TEXTURE_2D, rig.player.renderer().glow_scene_texture());
  glGetTexImage(GL_TEXTURE_2D, 0, GL_LUMINANCE, GL_UNSIGNED_BYTE, lum.data());
  bright = 0;
  for (uint8_t v : lum) bright += v > 100;
  EXPECT_EQ(bright, 0);
}

}  // namespace
}  // namespace vl::render
