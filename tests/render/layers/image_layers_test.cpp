// The image layers driven through the renderer on a headless context: each layer alone shows and
// switching it off removes it, the counting rules of the vortex and sprite ring, the tunnel's mode
// hysteresis, the photos' late alphas, the particle pass's reset and prewarm, the glow pieces,
// keyed values of any size, and repeatable renders.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

#include "tests/render/layers/layers_rig.h"
#include "tests/render/gl_test_context.h"

namespace {

using vl::engine::Track;
using vl::render::GlowVariant;
using vl::test::LayerRig;

constexpr int kW = 160, kH = 128;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Pixels whose colour differs from the same pixel of `background`.
int CountChanged(const vl::headless::Image& picture, const vl::headless::Image& background) {
  int n = 0;
  for (size_t i = 0; i < picture.rgba.size(); i += 4)
    if (picture.rgba[i] != background.rgba[i] || picture.rgba[i + 1] != background.rgba[i + 1] ||
        picture.rgba[i + 2] != background.rgba[i + 2])
      ++n;
  return n;
}

struct Layer {
  const char* name;
  float vl::engine::SequenceSettings::*on;
};

TEST(ImageLayers, EachLayerAloneShowsAndSwitchingItOffRemovesIt) {
  VL_REQUIRE_GL(gl, kW, kH);
  const Layer layers[] = {
      {"backdrop", &vl::engine::SequenceSettings::backdrop_on},
      {"tunnel", &vl::engine::SequenceSettings::tunnel_on},
      {"photos", &vl::engine::SequenceSettings::photo_on},
      {"vortex", &vl::engine::SequenceSettings::vortex_on},
      {"particles", &vl::engine::SequenceSettings::particles_on},
      {"sprites", &vl::engine::SequenceSettings::sprites_on},
  };
  LayerRig rig(kW, kH);
  rig.Key(Track::background_r, 20);
  rig.Frames(1);
  const auto background = gl->ReadPixels();
  // Nothing but the background: one colour everywhere.
  vl::headless::Image plain = background;
  for (size_t i = 0; i < plain.rgba.size(); i += 4) std::copy_n(background.Pixel(0, 0), 4, &plain.rgba[i]);
  EXPECT_EQ(CountChanged(background, plain), 0);
  EXPECT_EQ(background.Pixel(0, 0)[0], 20);
  for (const Layer& layer : layers) {
    rig.scene->settings.*layer.on = 2.0f;
    rig.Frames(3);  // the photos' alpha and the fountain's first particles arrive a frame late
    EXPECT_GT(CountChanged(gl->ReadPixels(), background), kW * kH / 100) << layer.name;
    rig.scene->settings.*layer.on = 0.0f;
    rig.Frames(1);
    EXPECT_EQ(CountChanged(gl->ReadPixels(), background), 0) << layer.name;
  }
}

TEST(ImageLayers, VortexLengthFollowsTheSpacing) {
  VL_REQUIRE_GL(gl, kW, kH);
  LayerRig rig(kW, kH);
  rig.scene->settings.vortex_on = 2;
  const struct {
    float spacing;
    int elements;
  } cases[] = {{118, 26}, {243, 1},     {240, 1},   {230, 3},   {250, 0},
               {100, 26}, {-1e30f, 26}, {kNaN, 26}, {1e30f, 0}, {std::numeric_limits<float>::infinity(), 0}};
  for (const auto& c : cases) {
    rig.Key(Track::vortex_spacing, c.spacing);
    rig.Frames(1);
    EXPECT_EQ(rig.slots.image.stats().vortex_elements, c.elements) << c.spacing;
  }
  // Each element steps the fountain by 2 + emit + spacing - 1 and revives at most ceil(n / 10).
  rig.Key(Track::vortex_spacing, 118);
  rig.Key(Track::vortex_emit, -114);  // n = 5: one revival per element
  rig.slots.image.CreateFountain(*rig.scene);
  rig.Frames(1);
  EXPECT_EQ(rig.slots.image.stats().fountain_revived, 26);
}

TEST(ImageLayers, GlowVortexRaisesTheSpacingByVariant) {
  VL_REQUIRE_GL(gl, kW, kH);
  LayerRig rig(kW, kH);
  auto& image = rig.slots.image;
  rig.scene->settings.fx_vortex = 2;
  rig.scene->work.vortex_spacing = 50;
  EXPECT_TRUE(image.DrawGlowVortex(*rig.scene, GlowVariant::kCapture));
  EXPECT_EQ(image.stats().vortex_elements, 1);
  EXPECT_EQ(rig.scene->work.vortex_spacing, 243.0f);
  rig.scene->work.vortex_spacing = 50;
  image.DrawGlowVortex(*rig.scene, GlowVariant::kTrail);
  EXPECT_EQ(image.stats().vortex_elements, 26);
  EXPECT_EQ(rig.scene->work.vortex_spacing, 118.0f);
  rig.scene->settings.fx_vortex = 0;
  EXPECT_FALSE(image.DrawGlowVortex(*rig.scene, GlowVariant::kCapture));

  // Through the renderer: the capture runs first and the main vortex sees the raised spacing.
  rig.scene->settings.fx_vortex = 2;
  rig.scene->settings.vortex_on = 2;
  rig.scene->settings.scene_echo_on = 2;
  rig.Key(Track::vortex_spacing, 100);
  rig.Frames(1);
  EXPECT_TRUE(rig.player.renderer().last_frame().glow_captured);
  EXPECT_EQ(image.stats().vortex_elements, 1);
}

TEST(ImageLayers, SpriteCountIsBoundedByTheRecords) {
  VL_REQUIRE_GL(gl, kW, kH);
  LayerRig rig(kW, kH);
  rig.Frames(1);
  const auto background = gl->ReadPixels();
  rig.scene->settings.sprites_on = 2;
  const struct {
    float count;
    int drawn;
  } cases[] = {{0, 0}, {-5, 0}, {kNaN, 0}, {0.5f, 1}, {250, 250}, {600, 600}, {1e30f, vl::render::kMaxSprites}};
  for (const auto& c : cases) {
    rig.Key(Track::sprite_count, c.count);
    rig.Frames(1);
    EXPECT_EQ(rig.slots.image.stats().sprites_drawn, c.drawn) << c.count;
    if (c.drawn == 0) { EXPECT_EQ(CountChanged(gl->ReadPixels(), background), 0) << c.count; }
  }
  // Start-up filled the 250 records of the default count; the rest stay as it left them.
  const auto& sprites = rig.slots.image.sprites();
  EXPECT_NE(sprites[249].r | sprites[249].g | sprites[249].b, 0);
  EXPECT_EQ(sprites[250].r | sprites[250].g | sprites[250].b, 0);
  EXPECT_EQ(sprites[250].radius, 0.0f);
  EXPECT_FLOAT_EQ(sprites[60].radius, 1.0f);
}

TEST(ImageLayers, TunnelModeKeepsItsValueBetweenTheThresholds) {
  VL_REQUIRE_GL(gl, kW, kH);
  LayerRig rig(kW, kH);
  rig.scene->settings.tunnel_on = 2;
  const auto mode_after = [&](float stretch) {
    rig.Key(Track::tunnel_stretch, stretch);
    rig.Frames(1);
    return rig.scene->tunnel_tex_mode;
  };
  EXPECT_EQ(mode_after(-29.9f), 0.0f);
  EXPECT_EQ(mode_after(-29.95f), 0.0f);
  EXPECT_EQ(mode_after(-30.0f), 2.0f);
  EXPECT_EQ(mode_after(-29.95f), 2.0f);
  // Mode 2 was in force for that frame: u steps by whole units per ring.
  EXPECT_NEAR(rig.slots.image.tunnel_texcoord(3, 0)[0] - rig.slots.image.tunnel_texcoord(2, 0)[0], 1.0f, 1e-5f);
  // The texture coordinates read the mode of the frame before: 272 draws once more in mode 2.
  EXPECT_EQ(mode_after(272.0f), 0.0f);
  EXPECT_NEAR(rig.slots.image.tunnel_texcoord(3, 0)[0] - rig.slots.image.tunnel_texcoord(2, 0)[0], 1.0f, 1e-5f);
  mode_after(272.0f);
  EXPECT_NEAR(rig.slots.image.tunnel_texcoord(3, 0)[0] - rig.slots.image.tunnel_texcoord(2, 0)[0], 1.0f / 16, 1e-5f);
  // The phase is the speed of the frame before, not a running sum.
  rig.Key(Track::tunnel_speed, 95.83f);
  rig.Frames(2);
  EXPECT_FLOAT_EQ(rig.slots.image.tunnel_phase(), 1.0f);
}

TEST(ImageLayers, PhotoAlphasFollowTheMixOneFrameLate) {
  VL_REQUIRE_GL(gl, kW, kH);
  LayerRig rig(kW, kH);
  rig.scene->settings.photo_on = 2;
  rig.Key(Track::photo_mix, 0);
  rig.Frames(2);
  EXPECT_EQ(rig.slots.image.photo_alpha_a(), 0.0f);
  EXPECT_EQ(rig.slots.image.photo_alpha_b(), 1.0f);
  const auto b_opaque = gl->ReadPixels();
  rig.Key(Track::photo_mix, 255);
  rig.Frames(1);  // drawn with the old alphas
  EXPECT_EQ(gl->ReadPixels().rgba, b_opaque.rgba);
  EXPECT_EQ(rig.slots.image.photo_alpha_a(), 1.0f);
  EXPECT_EQ(rig.slots.image.photo_alpha_b(), 0.0f);
  rig.Frames(1);  // now A is opaque, B transparent
  EXPECT_NE(gl->ReadPixels().rgba, b_opaque.rgba);
  // The wave moves the grid for the next frame.
  rig.Key(Track::wave_phase, 90);
  rig.Frames(1);
  EXPECT_NEAR(rig.slots.image.photo_grid_vertex(0, 7)[2], 1.0f, 1e-6f);
}

TEST(ImageLayers, ParticlePassResetsPrewarmsAndGlowsWithoutTheMainPassState) {
  VL_REQUIRE_GL(gl, kW, kH);
  LayerRig rig(kW, kH);
  auto& image = rig.slots.image;
  auto& scene = *rig.scene;
  // Start-up asked for a reset; the first particle frame applies it with particle_count.
  scene.settings.particles_on = 2;
  scene.particle_prewarm = 2;
  rig.Frames(1);
  EXPECT_EQ(image.particles().capacity(), 800);
  EXPECT_EQ(scene.particle_reset_a, 0.0f);
  EXPECT_EQ(scene.particle_reset_b, 0.0f);
  EXPECT_EQ(image.stats().particle_resets, 2);
  EXPECT_EQ(scene.particle_prewarm, 0.0f);
  EXPECT_TRUE(image.particles().textured);  // picked up from the particle_texture slot

  // An absurd count from a loop keeps the default pool.
  scene.settings.particle_count = -7;
  scene.particle_reset_a = 2;
  testing::internal::CaptureStderr();
  rig.Frames(1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("-7"), std::string::npos);
  EXPECT_EQ(image.particles().capacity(), 300);

  // The glow piece updates again but leaves the prewarm request for the main pass.
  scene.particle_prewarm = 2;
  scene.settings.fx_particles = 2;
  image.particles().AllocateParticles(300);
  EXPECT_TRUE(image.DrawGlowParticles(scene, GlowVariant::kTrail));
  EXPECT_EQ(scene.particle_prewarm, 2.0f);
  int alive = 0;
  for (const auto& p : image.particles().particles()) alive += p.alive;
  EXPECT_EQ(alive, 150);  // 300 per unit x (25 / 50)
  scene.settings.fx_particles = 0;
  EXPECT_FALSE(image.DrawGlowParticles(scene, GlowVariant::kCapture));
}

// Every working value keyed to the same extreme, every layer and effect on.
TEST(ImageLayers, KeyedExtremesNeitherHangNorCrash) {
  VL_REQUIRE_GL(gl, kW, kH);
  for (float v : {kNaN, 1e30f, -1e30f, std::numeric_limits<float>::infinity()}) {
    LayerRig rig(kW, kH);
    auto& set = rig.scene->settings;
    for (float* f : {&set.backdrop_on, &set.tunnel_on, &set.photo_on, &set.vortex_on, &set.particles_on,
                     &set.sprites_on, &set.fx_sprites, &set.fx_particles, &set.fx_vortex, &set.scene_echo_on})
      *f = 2.0f;
    set.particle_count = std::numeric_limits<int32_t>::max();
    rig.scene->particle_size = v;
    rig.scene->tunnel_tex_mode = 2;
    for (int i = 0; i < vl::engine::kTrackCount; ++i) rig.Key(static_cast<Track>(i), v);
    testing::internal::CaptureStderr();
    rig.Frames(3);
    testing::internal::GetCapturedStderr();
    EXPECT_LE(rig.slots.image.stats().sprites_drawn, vl::render::kMaxSprites);
    EXPECT_LE(rig.slots.image.stats().vortex_elements, vl::render::kMaxVortexElements);
    EXPECT_LE(rig.slots.image.particles().capacity(), vl::assets::kMaxParticles);
  }
}

// All layers with the glow capture, then with the trail: the whole of what this code draws.
// Each on a fresh context, so no GL state carries over from the render before.
vl::headless::Image RenderEverything(bool arrays, bool trail) {
  std::string error;
  auto gl = vl::headless::HeadlessContext::Create(kW, kH, &error);
  if (!gl) return {};
  LayerRig rig(kW, kH, 12345);
  rig.slots.image.set_use_arrays(arrays);
  auto& set = rig.scene->settings;
  for (float* f : {&set.backdrop_on, &set.tunnel_on, &set.photo_on, &set.vortex_on, &set.particles_on, &set.sprites_on,
                   &set.fx_sprites, &set.fx_particles, &set.fx_vortex})
    *f = 2.0f;
  (trail ? set.trail_on : set.scene_echo_on) = 2.0f;
  rig.Key(Track::vortex_spacing, 150);
  rig.Key(Track::vortex_swirl, 20);
  rig.Key(Track::vortex_emit, -100);
  rig.Key(Track::tunnel_speed, 30);
  rig.Key(Track::photo_mix, 128);
  rig.Key(Track::wave_phase, 40);
  rig.Frames(6);
  return gl->ReadPixels();
}

TEST(ImageLayers, SameLoopSamePicturesWhicheverGeometryPath) {
  VL_REQUIRE_GL(gl, kW, kH);
  for (bool trail : {false, true}) {
    const auto first = RenderEverything(true, trail);
    const auto again = RenderEverything(true, trail);
    const auto immediate = RenderEverything(false, trail);
    ASSERT_FALSE(first.rgba.empty());
    EXPECT_EQ(first.rgba, again.rgba) << trail;
    EXPECT_EQ(first.rgba, immediate.rgba) << trail;
  }
}

// The loop check reads these rule functions to say a layer draws nothing; the passes must draw by
// the same ones, at the edges of each rule (the spacing's floor, the last element, the alpha byte
// wrapping at 512).
TEST(ImageLayers, DrawsByTheRulesTheLoopCheckReads) {
  VL_REQUIRE_GL(gl, kW, kH);
  using vl::render::VortexElementCount;
  using vl::render::VortexSpacing;
  LayerRig rig(kW, kH);
  rig.Frames(1);
  const auto background = gl->ReadPixels();
  rig.scene->settings.vortex_on = 2;
  for (float spacing : {kNaN, -1e30f, 116.0f, 116.01f, 118.0f, 239.9f, 240.0f, 244.99f, 245.0f, 1e30f}) {
    rig.Key(Track::vortex_spacing, spacing);
    rig.Frames(1);
    EXPECT_EQ(rig.slots.image.stats().vortex_elements, VortexElementCount(VortexSpacing(spacing))) << spacing;
  }
  rig.Key(Track::vortex_spacing, 118);
  for (float emit : {-1000.0f, -119.0f, -118.5f, -118.0f, -117.0f, 0.0f, kNaN}) {
    rig.Key(Track::vortex_emit, emit);
    rig.slots.image.CreateFountain(*rig.scene);
    rig.Frames(1);
    EXPECT_EQ(rig.slots.image.stats().fountain_revived > 0, vl::render::FountainStep(emit, 118) > 0) << emit;
  }
  rig.scene->settings.vortex_on = 0;

  rig.scene->settings.sprites_on = 2;
  rig.Key(Track::sprite_count, 100);
  for (float alpha : {kNaN, -3.0f, 0.0f, 1.0f, 1.9f, 128.0f, 256.0f, 511.0f, 512.0f, 513.0f, 600.0f}) {
    rig.Key(Track::sprite_alpha, alpha);
    rig.Frames(1);
    const bool seen = CountChanged(gl->ReadPixels(), background) > 0;
    EXPECT_EQ(seen, vl::render::UntintedSpriteAlpha(vl::render::SpriteAlpha(alpha)) != 0) << alpha;
  }
}

// The check's "nothing feeds the scene echo" is the renderer's own condition for drawing it; the
// glow of models 1 and 3 reaches the capture but does not feed the scene echo.
TEST(ImageLayers, TheSceneEchoIsDrawnExactlyWhenTheCheckSaysItIsFed) {
  VL_REQUIRE_GL(gl, kW, kH);
  using Settings = vl::engine::SequenceSettings;
  const struct {
    const char* name;
    float Settings::*on;
    bool feeds;
  } switches[] = {{"fx_text", &Settings::fx_text, true},           {"fx_sprites", &Settings::fx_sprites, true},
                  {"fx_particles", &Settings::fx_particles, true}, {"fx_vortex", &Settings::fx_vortex, true},
                  {"fx_model_2", &Settings::fx_model_2, true},     {"fx_model_1", &Settings::fx_model_1, false},
                  {"fx_model_3", &Settings::fx_model_3, false},    {"none", nullptr, false}};
  LayerRig rig(kW, kH);
  auto& set = rig.scene->settings;
  for (const auto& s : switches) {
    rig.AllOff();
    set.fx_model_1 = set.fx_model_3 = 0;
    set.scene_echo_on = 2;
    if (s.on) set.*s.on = 2;
    EXPECT_EQ(vl::render::SceneEchoFed(set), s.feeds) << s.name;
    rig.Frames(1);
    EXPECT_EQ(rig.player.renderer().last_frame().scene_echo_layers >= 0, s.feeds) << s.name;
  }
}

}  // namespace
