// The model pass driven through the frame renderer on virtual time: what a model does to the
// frame and how its switches change it, the chrome copy, additive blending, the glow capture and
// its echo, hostile keyed values, repeatability, and the bundled model loops.
#include <gtest/gtest.h>

#include <GL/gl.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>

#include "engine/numeric.h"
#include "platform/headless/png_file.h"
#include "tests/render/models/model_fixture.h"

namespace vl::render {
namespace {

using engine::Track;
using test::LoopBuilder;
using test::ModelOf;
using test::ModelRun;
using test::Panel;
using test::PixelNear;

constexpr int kW = 720, kH = 576;

struct Shot {
  headless::Image img;
  std::string error;
  std::string reports;
  bool no_context = false;
  int drawn = -1;
};

// Plays `frames` ticks of the loop and keeps the last frame; `prepare` runs after the load.
Shot Render(const std::filesystem::path& loop, int frames, const std::function<void(ModelRun&)>& prepare = {}) {
  Shot shot;
  ModelRun run;
  if (!run.Load(loop, kW, kH, &shot.error)) {
    shot.no_context = !run.gl;
    if (shot.error.empty()) shot.error = "load failed";
    return shot;
  }
  if (prepare) prepare(run);
  for (int i = 0; i < frames; ++i) shot.drawn = run.player->DrawNextFrame();
  shot.img = run.gl->ReadPixels();
  shot.reports = run.reports;
  // To look at what a test saw: VL_MODEL_PNG_DIR=folder.
  if (const char* dir = std::getenv("VL_MODEL_PNG_DIR"))
    headless::WritePngFile(shot.img, std::filesystem::path(dir) / (loop.stem().string() + ".png"), &shot.error);
  if (glGetError() != GL_NO_ERROR) shot.error = "GL error after the frames";
  return shot;
}

#define VL_SHOT(var, ...) \
  Shot var = Render(__VA_ARGS__); \
  if (var.no_context && !::vl::test::RunningInCi()) GTEST_SKIP() << var.error; \
  ASSERT_TRUE(var.error.empty()) << var.error;

// Slots 1 and 2 become panels of half size 5 (about 87 pixels at z -40).
void Panels(ModelRun& run) {
  run.assets->models()[0] = ModelOf({Panel(5.0f)});
  run.assets->models()[1] = ModelOf({Panel(5.0f)});
}

// Grey background, model 1 on, red, unlit, untextured.
LoopBuilder RedPanelLoop() {
  LoopBuilder loop = test::StillLoop(10);
  loop.Hold(Track::background_r, 100).Hold(Track::background_g, 100).Hold(Track::background_b, 100);
  loop.Hold(Track::model_1_r, 205).Hold(Track::model_1_g, 0).Hold(Track::model_1_b, 0);
  loop.settings().model_1_on = 2.0f;
  loop.settings().model_1_lit = 0.0f;
  return loop;
}

// The bundled model in slot 1, textured and lit, turned so two sides show, on black.
LoopBuilder BundledModelLoop() {
  LoopBuilder loop = test::StillLoop(10);
  auto& s = loop.settings();
  s.model_1_on = 2.0f;
  s.model_1_load = 2.0f;
  s.model_1_file_name = "model/Tardis.3ds";
  s.model_1_texture_name = "Textures/TardisImages3.jpg";
  loop.Hold(Track::model_1_rot_y, 30).Hold(Track::model_1_rot_x, 10);
  return loop;
}

// Rows between the first and the last that hold a pixel off the background.
int DrawnRows(const headless::Image& img, uint8_t r, uint8_t g, uint8_t b) {
  int top = -1, bottom = -1;
  for (int y = 0; y < img.height; ++y)
    for (int x = 0; x < img.width; ++x)
      if (!PixelNear(img.Pixel(x, y), r, g, b, 8)) {
        if (top < 0) top = y;
        bottom = y;
        break;
      }
  return top < 0 ? 0 : bottom - top + 1;
}

TEST(ModelFrames, ColourAlphaLightingAndAdditiveChangeThePanelAsExpected) {
  const int cx = kW / 2, cy = kH / 2;
  {
    VL_SHOT(unlit, RedPanelLoop().Write("red.lqf"), 1, Panels);
    EXPECT_TRUE(PixelNear(unlit.img.Pixel(cx, cy), 255, 0, 0));
    EXPECT_TRUE(PixelNear(unlit.img.Pixel(20, 20), 100, 100, 100));
    EXPECT_EQ(test::CountNotNear(unlit.img, 100, 100, 100) > 20000, true);
  }
  {
    LoopBuilder loop = RedPanelLoop();
    loop.Hold(Track::model_1_alpha, 127.5f);
    VL_SHOT(half, loop.Write("red_half.lqf"), 1, Panels);
    EXPECT_TRUE(PixelNear(half.img.Pixel(cx, cy), 178, 50, 50));
  }
  {
    LoopBuilder loop = RedPanelLoop();
    loop.settings().model_1_additive = 2.0f;
    VL_SHOT(added, loop.Write("red_add.lqf"), 1, Panels);
    EXPECT_TRUE(PixelNear(added.img.Pixel(cx, cy), 255, 100, 100));
  }
  {
    // Lit from the slot's light straight ahead: the white highlight appears on the red panel,
    // which the unlit panel never shows.
    LoopBuilder loop = RedPanelLoop();
    loop.settings().model_1_lit = 2.0f;
    VL_SHOT(lit, loop.Write("red_lit.lqf"), 1, Panels);
    const uint8_t* px = lit.img.Pixel(cx, cy);
    EXPECT_GT(px[0], 200);
    EXPECT_GT(px[1], 60);
    EXPECT_GT(px[0], px[1]);
  }
  {
    LoopBuilder loop = RedPanelLoop();
    loop.settings().model_1_on = 0.0f;
    VL_SHOT(off, loop.Write("red_off.lqf"), 1, Panels);
    EXPECT_EQ(test::CountNotNear(off.img, 100, 100, 100), 0);
  }
}

TEST(ModelFrames, AdditiveModelShowsThroughANearerOne) {
  // Slot 1 blue and near, slot 2 red and behind it.
  LoopBuilder loop = test::StillLoop(10);
  auto& s = loop.settings();
  s.model_1_on = s.model_2_on = 2.0f;
  s.model_1_lit = s.model_2_lit = 0.0f;
  loop.Hold(Track::model_1_r, 0).Hold(Track::model_1_g, 0).Hold(Track::model_1_b, 205).Hold(Track::model_1_z, -30);
  loop.Hold(Track::model_2_r, 205).Hold(Track::model_2_g, 0).Hold(Track::model_2_b, 0).Hold(Track::model_2_z, -60);
  {
    VL_SHOT(hidden, loop.Write("behind.lqf"), 1, Panels);
    EXPECT_TRUE(PixelNear(hidden.img.Pixel(kW / 2, kH / 2), 0, 0, 255));
  }
  s.model_2_additive = 2.0f;
  VL_SHOT(shown, loop.Write("behind_add.lqf"), 1, Panels);
  EXPECT_TRUE(PixelNear(shown.img.Pixel(kW / 2, kH / 2), 255, 0, 255));
}

// At its natural size and default place (z -40, centred) the bundled model reads as the subject
// of the picture: about a third of the frame's height, not a dot.
TEST(ModelFrames, BundledModelFillsAThirdOfTheHeightAtItsDefaultPlace) {
  LoopBuilder loop = test::StillLoop(10);
  loop.settings().model_1_on = loop.settings().model_1_load = 2.0f;
  loop.settings().model_1_file_name = "model/Tardis.3ds";
  loop.settings().model_1_texture_name = "Textures/TardisImages3.jpg";
  VL_SHOT(shot, loop.Write("natural.lqf"), 1);
  const int rows = DrawnRows(shot.img, 0, 0, 0);
  EXPECT_GT(rows, kH * 28 / 100) << rows << " of " << kH;
  EXPECT_LT(rows, kH * 40 / 100) << rows << " of " << kH;
  // Centred: the middle row of the frame crosses it.
  int middle = 0;
  for (int x = 0; x < kW; ++x) middle += static_cast<bool>(!PixelNear(shot.img.Pixel(x, kH / 2), 0, 0, 0, 8));
  EXPECT_GT(middle, 20);
}

TEST(ModelFrames, ChromeCopyOnlyAddsLight) {
  VL_SHOT(plain, BundledModelLoop().Write("plain.lqf"), 1);
  EXPECT_TRUE(plain.reports.empty()) << plain.reports;
  EXPECT_GT(test::CountNotNear(plain.img, 0, 0, 0), 10000);
  LoopBuilder loop = BundledModelLoop();
  loop.settings().model_1_chrome = 2.0f;
  VL_SHOT(chrome, loop.Write("chrome.lqf"), 1);
  int darker = 0, brighter = 0;
  for (size_t i = 0; i < plain.img.rgba.size(); i += 4) {
    const int d = test::Brightness(&chrome.img.rgba[i]) - test::Brightness(&plain.img.rgba[i]);
    darker += d < -3;
    brighter += d > 30;
  }
  EXPECT_EQ(darker, 0);
  EXPECT_GT(brighter, 5000);
}

TEST(ModelFrames, GlowCaptureAndEchoShowAroundTheModel) {
  LoopBuilder loop = test::StillLoop(10);
  auto& s = loop.settings();
  s.model_1_on = 2.0f;
  s.model_1_lit = 0.0f;
  loop.Hold(Track::model_1_echo_g, 100);  // green echo
  const int outside_x = kW / 2 + 120;     // past the panel's right edge
  {
    VL_SHOT(no_glow, loop.Write("no_glow.lqf"), 1, Panels);
    EXPECT_TRUE(PixelNear(no_glow.img.Pixel(outside_x, kH / 2), 0, 0, 0));
  }
  s.fx_model_1 = 2.0f;
  s.echo_model_1_on = 2.0f;
  VL_SHOT(glow, loop.Write("glow.lqf"), 1, Panels);
  // The echo is green, brightest next to the model and fading towards the frame's edge.
  const uint8_t* px = glow.img.Pixel(outside_x, kH / 2);
  EXPECT_GT(px[1], px[0] + 60);
  EXPECT_GT(test::Brightness(px), test::Brightness(glow.img.Pixel(5, 5)) + 100);
  EXPECT_TRUE(PixelNear(glow.img.Pixel(kW / 2, kH / 2), 255, 255, 255));
}

TEST(ModelFrames, HostileKeyedValuesNeitherHangNorCrash) {
  const float kHostile[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(), 1.0e30f, -1.0e30f};
  for (const float v : kHostile) {
    SCOPED_TRACE(v);
    LoopBuilder loop = BundledModelLoop();
    auto& s = loop.settings();
    s.model_1_unit = 6;
    s.model_1_chrome = s.model_1_sphere_map = s.fx_model_1 = s.echo_model_1_on = s.fx_model_2 = 2.0f;
    // The model's own tracks; the echo counts are the renderer's (and capped there).
    for (int t = static_cast<int>(Track::model_1_rot_x); t <= static_cast<int>(Track::model_1_scroll_v); ++t)
      loop.Hold(static_cast<Track>(t), v);
    VL_SHOT(shot, loop.Write("hostile.lqf"), 3);
    EXPECT_EQ(shot.drawn, 2);
  }
}

TEST(ModelFrames, SameLoopRendersTheSamePixelsTwice) {
  LoopBuilder loop = BundledModelLoop();
  auto& s = loop.settings();
  s.model_1_chrome = s.fx_model_1 = s.echo_model_1_on = 2.0f;
  s.model_2_on = s.model_2_load = s.model_2_sphere_map = s.model_2_additive = 2.0f;
  s.model_2_file_name = "model/Tardis.3ds";
  s.model_2_texture_name = "Textures/TardisImages3.jpg";
  loop.Hold(Track::model_2_x, 8).Hold(Track::model_2_rot_z, 40).Hold(Track::model_1_echo_b, 80);
  const auto path = loop.Write("twice.lqf");
  VL_SHOT(first, path, 4);
  VL_SHOT(second, path, 4);
  EXPECT_TRUE(first.img.rgba == second.img.rgba);
}

// Every bundled loop whose name starts with "model" loads its models and shows them; with
// VL_MODEL_PNG_DIR set, the frames are also written there to look at.
TEST(ModelFrames, BundledModelLoopsLoadAndShowTheirModels) {
  const std::filesystem::path library = std::filesystem::path(VL_BIN_DIR) / "Sequences";
  int loops = 0;
  const char* png_dir = std::getenv("VL_MODEL_PNG_DIR");
  for (const auto& entry : std::filesystem::directory_iterator(library)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("model", 0) != 0 || entry.path().extension() != ".lqf") continue;
    SCOPED_TRACE(name);
    ++loops;
    VL_MODEL_RUN(run, entry.path(), kW, kH);
    EXPECT_TRUE(run.reports.empty()) << run.reports;
    const auto& set = run.scene->settings;
    const float on[3] = {set.model_1_on, set.model_2_on, set.model_3_on};
    for (int k = 0; k < 3; ++k) {
      if (!vl::IsOn(on[k])) continue;
      EXPECT_GT(run.assets->models()[static_cast<size_t>(k)].object_count, 0) << "slot " << k + 1;
    }
    // Four frames spread over the loop; the model pass keeps nothing from frame to frame.
    const int frames = run.scene->frame_count;
    for (int f = 0; f < frames; f += std::max(1, frames / 4)) {
      run.player->Seek(f);
      run.player->DrawNextFrame();
      headless::Image img = run.gl->ReadPixels();
      const uint8_t* corner = img.Pixel(0, 0);
      EXPECT_GT(test::CountNotNear(img, corner[0], corner[1], corner[2], 8), 5000) << "frame " << f;
      if (png_dir) {
        std::string error;
        const auto out =
            std::filesystem::path(png_dir) / (entry.path().stem().string() + "_" + std::to_string(f) + ".png");
        EXPECT_TRUE(headless::WritePngFile(img, out, &error)) << error;
      }
    }
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
  }
  EXPECT_GE(loops, 3);
}

}  // namespace
}  // namespace vl::render
