// The frame renderer in a headless context: what the frame looks like with passes on and off,
// the trail clock, echo layer counts, hostile keyed values, and repeatability.
#include <gtest/gtest.h>

#include <GL/gl.h>

#include <cmath>
#include <cstdlib>
#include <limits>

#include "platform/headless/png_file.h"
#include "render/view_setup.h"
#include "tests/render/loop_fixture.h"

namespace vl::render {
namespace {

using engine::Track;
using test::LoopBuilder;

constexpr int kW = 720, kH = 576;

bool Near(const uint8_t* px, int r, int g, int b, int tol = 1) {
  return std::abs(px[0] - r) <= tol && std::abs(px[1] - g) <= tol && std::abs(px[2] - b) <= tol;
}

LoopBuilder GreyLoop(int frames) {
  LoopBuilder loop(frames);
  loop.Hold(Track::background_r, 100).Hold(Track::background_g, 100).Hold(Track::background_b, 100);
  return loop;
}

TEST(FrameRenderer, AllSwitchesOffShowsOnlyTheBackgroundAndStillAdvances) {
  LoopBuilder loop(10);
  loop.Hold(Track::background_r, 30).Hold(Track::background_g, 60).Hold(Track::background_b, 90);
  VL_LOAD_LOOP(run, loop.Write("plain.lqf"), 320, 240);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(run.player->DrawNextFrame(), i);
  EXPECT_EQ(run.scene->current_frame, 3);
  headless::Image img = run.gl->ReadPixels();
  int wrong = 0;
  for (int y = 0; y < img.height; ++y)
    for (int x = 0; x < img.width; ++x) wrong += !Near(img.Pixel(x, y), 30, 60, 90);
  EXPECT_EQ(wrong, 0);
  const auto& stats = run.player->renderer().last_frame();
  EXPECT_FALSE(stats.glow_captured);
  EXPECT_EQ(stats.echo_overlays, 0);
  EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

TEST(FrameRenderer, SceneEchoAddsTheTintedCaptureAfterTheModels) {
  LoopBuilder loop = GreyLoop(10);
  loop.settings().fx_text = 2.0f;
  loop.settings().scene_echo_on = 2.0f;
  loop.Hold(Track::scene_echo_b, 100).Hold(Track::scene_echo_layers, 10);
  VL_LOAD_LOOP(run, loop.Write("echo.lqf"), kW, kH);
  run.player->DrawNextFrame();
  const auto& stats = run.player->renderer().last_frame();
  EXPECT_TRUE(stats.glow_captured);
  EXPECT_EQ(stats.scene_echo_layers, 35);
  // The early echoes of all three models run whenever captures do.
  EXPECT_EQ(stats.model_echo_layers, (std::array<int, 3>{25, 25, 25}));
  EXPECT_EQ(stats.echo_overlays, 4);
  EXPECT_EQ(run.scene->echo_scene_late, 2.0f);

  // Version 6: the echo colour is scene_echo / 100, here pure blue, added to the grey frame.
  headless::Image img = run.gl->ReadPixels();
  const uint8_t* centre = img.Pixel(kW / 2, kH / 2);
  EXPECT_TRUE(Near(centre, 100, 100, centre[2], 1)) << int(centre[0]) << "," << int(centre[1]);
  EXPECT_GT(centre[2], 130);
}

TEST(FrameRenderer, EchoLayerCountsAreBounded) {
  EXPECT_EQ(EchoLayerCount(0.0f), 25);
  EXPECT_EQ(EchoLayerCount(10.9f), 35);
  EXPECT_EQ(EchoLayerCount(-25.0f), 0);
  EXPECT_EQ(EchoLayerCount(-1.0e9f), 0);
  EXPECT_EQ(EchoLayerCount(1.0e9f), kMaxEchoLayers);
  EXPECT_EQ(EchoLayerCount(std::numeric_limits<float>::infinity()), kMaxEchoLayers);
  EXPECT_EQ(EchoLayerCount(std::numeric_limits<float>::quiet_NaN()), 0);
}

// Counts trail updates over `frames` ticks at 25 fps.
int TrailUpdates(float rate, int frames, int* first_admitted = nullptr) {
  LoopBuilder loop = GreyLoop(200);
  loop.settings().trail_on = 2.0f;
  test::LoadedLoop run;
  std::string error;
  if (!run.Load(loop.Write("trail.lqf"), 320, 240, &error)) {
    ADD_FAILURE() << error;
    return -1;
  }
  run.scene->trail_rate = rate;
  int updates = 0;
  for (int i = 0; i < frames; ++i) {
    run.player->DrawNextFrame();
    if (run.player->renderer().last_frame().trail_admitted) {
      if (updates == 0 && first_admitted) *first_admitted = i;
      ++updates;
    }
  }
  return updates;
}

TEST(FrameRenderer, TrailClockAtRates0And99) {
  {
    std::string error;
    if (!headless::HeadlessContext::Create(16, 16, &error)) {
      if (test::RunningInCi()) FAIL() << error;
      GTEST_SKIP() << error;
    }
  }
  // Rate 0: at most 100 updates a second, so every 40 ms tick, the first (t = 0) included.
  int first = -1;
  EXPECT_EQ(TrailUpdates(0.0f, 50, &first), 50);
  EXPECT_EQ(first, 0);
  // Rate 99: the first tick, then at most one a second: at 0, 1.04 s and 2.08 s.
  first = -1;
  EXPECT_EQ(TrailUpdates(99.0f, 60, &first), 3);
  EXPECT_EQ(first, 0);
  // 100 and beyond are clamped to 99; a NaN rate never updates and must not divide by zero.
  EXPECT_EQ(TrailUpdates(500.0f, 60), 3);
  EXPECT_EQ(TrailUpdates(std::numeric_limits<float>::quiet_NaN(), 30), 0);
}

TEST(FrameRenderer, TrailOverlayShowsTheKeptImageOnceUpdated) {
  LoopBuilder loop = GreyLoop(20);
  loop.settings().trail_on = 2.0f;
  loop.settings().scene_echo_on = 2.0f;  // the trail switches this off
  VL_LOAD_LOOP(run, loop.Write("trail_pixels.lqf"), 320, 240);
  // The first frame already updates the trail (t = 0 is admitted): the kept grey frame comes
  // back twice, through the composite in the trail tint (blue by default, about 0.9 strong) and
  // through the yellow overlay.
  run.player->DrawNextFrame();
  EXPECT_TRUE(run.player->renderer().last_frame().trail_admitted);
  EXPECT_EQ(run.scene->settings.scene_echo_on, 0.0f);
  const headless::Image img = run.gl->ReadPixels();
  const uint8_t* px = img.Pixel(160, 120);
  EXPECT_GT(px[0], 130);
  EXPECT_GT(px[1], 130);
  EXPECT_NEAR(px[2], 190, 3);
}

TEST(FrameRenderer, HostileKeyedValuesNeitherHangNorCrash) {
  const float hostile[] = {
      std::numeric_limits<float>::quiet_NaN(), 1.0e30f, -1.0e30f, std::numeric_limits<float>::infinity(),
      -std::numeric_limits<float>::infinity(), 1.0e9f};
  int n = 0;
  for (float v : hostile) {
    LoopBuilder loop(3);
    for (int t = 0; t < engine::kTrackCount; ++t) loop.Hold(static_cast<Track>(t), v);
    auto& s = loop.settings();
    s.trail_on = s.fx_text = s.fx_sprites = s.fx_particles = s.fx_vortex = 2.0f;
    s.fx_model_1 = s.fx_model_2 = s.fx_model_3 = 2.0f;
    s.echo_model_1_on = s.echo_model_2_on = s.echo_model_3_on = 2.0f;
    s.backdrop_on = s.tunnel_on = s.photo_on = s.vortex_on = s.particles_on = s.sprites_on = 2.0f;
    s.model_1_on = s.model_2_on = s.model_3_on = s.text_on = s.text_lit = 2.0f;
    VL_LOAD_LOOP(run, loop.Write("hostile_" + std::to_string(n++) + ".lqf"), 128, 96);
    run.scene->trail_rate = v;
    for (int i = 0; i < 4; ++i) run.player->DrawNextFrame();
    const auto& stats = run.player->renderer().last_frame();
    for (int layers : stats.model_echo_layers) EXPECT_LE(layers, kMaxEchoLayers);
    EXPECT_EQ(run.scene->current_frame, 1) << v;  // 0, 1, 2, rewind, 0 -> 1
  }
}

TEST(FrameRenderer, TwoRendersGiveIdenticalBytes) {
  LoopBuilder loop(30);
  loop.Hold(Track::background_r, 40).Hold(Track::background_b, 200);
  loop.Hold(Track::trail_scroll, 7).Hold(Track::scene_echo_layers, 5);
  loop.settings().trail_on = 2.0f;
  loop.settings().echo_model_1_on = 2.0f;
  auto path = loop.Write("repeat.lqf");
  std::vector<uint8_t> first;
  for (int run_index = 0; run_index < 2; ++run_index) {
    VL_LOAD_LOOP(run, path, 256, 192);
    for (int i = 0; i < 12; ++i) run.player->DrawNextFrame();
    std::string error;
    auto png = headless::EncodePng(run.gl->ReadPixels(), &error);
    ASSERT_FALSE(png.empty()) << error;
    if (run_index == 0) first = png;
    else EXPECT_EQ(png, first);
  }
}

TEST(ViewSetup, StartUpLeavesLightsTargetsAndProjection) {
  VL_REQUIRE_GL(gl, 64, 64);
  auto scene = std::make_unique<engine::SceneState>();
  SceneLayers layers;
  RenderAssets assets;
  assets.set_quiet(true);
  ManualClock clock;
  FrameRenderer renderer(*scene, layers, clock);
  vl::Random random;
  StartView(*scene, renderer, layers, assets, random);

  EXPECT_TRUE(glIsEnabled(GL_LIGHTING));
  EXPECT_TRUE(glIsEnabled(GL_LIGHT0));
  GLfloat diffuse[4];
  glGetLightfv(GL_LIGHT0, GL_DIFFUSE, diffuse);
  EXPECT_FLOAT_EQ(diffuse[0], 0.3f);
  GLfloat depth = 0;
  glGetFloatv(GL_DEPTH_CLEAR_VALUE, &depth);
  EXPECT_FLOAT_EQ(depth, 1.0f);
  for (uint32_t tex : {renderer.glow_scene_texture(), renderer.glow_model_texture(1), renderer.glow_model_texture(3),
                       renderer.trail_texture()}) {
    ASSERT_TRUE(glIsTexture(tex));
    glBindTexture(GL_TEXTURE_2D, tex);
    GLint w = 0;
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &w);
    EXPECT_EQ(w, 512);
  }
  EXPECT_EQ(scene->loop_sequence, 2.0f);
  EXPECT_EQ(scene->settings.model_2_unit, 3);

  // A zero-height client area keeps 0 in the scene but projects as height 1.
  ApplyViewSize(*scene, 64, 0);
  EXPECT_EQ(scene->view_height, 0);
  GLint viewport[4];
  glGetIntegerv(GL_VIEWPORT, viewport);
  EXPECT_EQ(viewport[3], 1);
  EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

}  // namespace
}  // namespace vl::render
