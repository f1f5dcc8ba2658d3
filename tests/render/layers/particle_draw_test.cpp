// The particle draw's geometry, the main system's reset and per-frame configuration, and the
// draw itself on a headless context (points sized from the saved point size, quads through
// either geometry path giving the same pixels).
#include <GL/gl.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "render/particle_draw.h"
#include "tests/render/gl_test_context.h"

namespace {

using vl::assets::Particle;
using vl::assets::ParticleSystem;
using vl::assets::Vec3;
using vl::render::BillboardAxes;
using vl::render::BillboardCorners;

// A model-view matrix (column-major) turned by `deg` about the x axis and then about y.
void TurnedMatrix(float deg_x, float deg_y, float m[16]) {
  const float ax = deg_x * 3.14159265f / 180.0f, ay = deg_y * 3.14159265f / 180.0f;
  const float cx = std::cos(ax), sx = std::sin(ax), cy = std::cos(ay), sy = std::sin(ay);
  // R = Rx * Ry
  const float r[3][3] = {{cy, 0, sy}, {sx * sy, cx, -sx * cy}, {-cx * sy, sx, cx * cy}};
  for (int i = 0; i < 16; ++i) m[i] = 0;
  for (int row = 0; row < 3; ++row)
    for (int col = 0; col < 3; ++col) m[col * 4 + row] = r[row][col];
  m[15] = 1;
}

TEST(BillboardAxes, ModesFixFollowOrTurnAboutTheVerticalOnly) {
  float m[16];
  TurnedMatrix(30, 50, m);
  Vec3 right, up;
  BillboardAxes(0, m, &right, &up);
  EXPECT_EQ(right.x, 1.0f);
  EXPECT_EQ(up.y, 1.0f);

  BillboardAxes(1, m, &right, &up);  // the view's rows: up leans with the x turn
  EXPECT_FLOAT_EQ(up.x, m[1]);
  EXPECT_FLOAT_EQ(up.z, m[9]);
  EXPECT_NE(up.z, 0.0f);

  BillboardAxes(2, m, &right, &up);  // upright: only the right axis follows the view
  EXPECT_FLOAT_EQ(right.x, m[0]);
  EXPECT_FLOAT_EQ(right.z, m[8]);
  EXPECT_EQ(up.x, 0.0f);
  EXPECT_EQ(up.y, 1.0f);
  EXPECT_EQ(up.z, 0.0f);

  const Vec3 keep_r = right, keep_u = up;
  BillboardAxes(7, m, &right, &up);  // unknown mode keeps the last axes
  EXPECT_EQ(right.x, keep_r.x);
  EXPECT_EQ(up.y, keep_u.y);
}

TEST(BillboardCorners, OnlyAPositiveAngleTurnsTheQuad) {
  Particle p;
  p.position = {1, 2, 3};
  p.size = 2;
  Vec3 c[4];
  for (float angle : {0.0f, -0.7f}) {
    p.angle = angle;
    BillboardCorners(p, {1, 0, 0}, {0, 1, 0}, c);
    EXPECT_FLOAT_EQ(c[0].x, 0);  // bottom-left
    EXPECT_FLOAT_EQ(c[0].y, 1);
    EXPECT_FLOAT_EQ(c[1].y, 3);  // top-left
    EXPECT_FLOAT_EQ(c[2].x, 2);  // top-right
    EXPECT_FLOAT_EQ(c[3].y, 1);  // bottom-right
    EXPECT_FLOAT_EQ(c[3].z, 3);
  }
  p.angle = 0.5f;
  BillboardCorners(p, {1, 0, 0}, {0, 1, 0}, c);
  // The bottom edge runs along the turned right axis (cos 0.5, sin 0.5); the centre stays.
  const float ex = c[3].x - c[0].x, ey = c[3].y - c[0].y;
  EXPECT_NEAR(std::atan2(ey, ex), 0.5f, 1e-5f);
  EXPECT_NEAR(std::hypot(ex, ey), 2.0f, 1e-5f);
  EXPECT_NEAR((c[0].x + c[2].x) / 2, 1.0f, 1e-5f);
  EXPECT_NEAR((c[0].y + c[2].y) / 2, 2.0f, 1e-5f);
}

class MainParticles : public ::testing::Test {
 protected:
  MainParticles() : scene(std::make_unique<vl::engine::SceneState>()), system(random) {}
  std::unique_ptr<vl::engine::SceneState> scene;
  vl::Random random;
  ParticleSystem system;
};

TEST_F(MainParticles, ResetRefusesAbsurdCountsAndKeepsTheDefaultPool) {
  for (int32_t count : {-5, 50'000'000, std::numeric_limits<int32_t>::max(), std::numeric_limits<int32_t>::min()}) {
    scene->settings.particle_count = count;
    testing::internal::CaptureStderr();
    const std::string why = vl::render::ResetMainParticles(system, *scene);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(why.empty()) << count;
    EXPECT_NE(log.find(std::to_string(count)), std::string::npos) << log;
    EXPECT_EQ(system.capacity(), 300) << count;
    EXPECT_EQ(system.emission_rate, 300);
    EXPECT_EQ(system.billboard_mode, 1);
  }
  scene->settings.particle_count = 800;
  EXPECT_TRUE(vl::render::ResetMainParticles(system, *scene).empty());
  EXPECT_EQ(system.capacity(), 800);
}

TEST_F(MainParticles, ConfigurationScalesTheWorkingValuesAndKeepsLivesAboveZero) {
  auto& w = scene->work;
  w.particle_emitter_x = 10;
  w.particle_accel_min = 30;
  w.particle_accel_max = 40;
  w.particle_velocity_spread_y = 50;
  w.particle_colour_a_r = 150;
  scene->particle_colour_b_g = 0.5f;
  scene->particle_size = 2;
  w.particle_life_min = 0.05f;
  w.particle_life_max = std::numeric_limits<float>::quiet_NaN();
  vl::render::ConfigureMainParticles(system, *scene);

  EXPECT_FLOAT_EQ(system.emitter_position.x, 0.01f);
  EXPECT_FLOAT_EQ(system.emitter_spread.x, 9.99f);  // the raw value less 0.01
  EXPECT_FLOAT_EQ(system.accel_min, 0.3f);
  EXPECT_FLOAT_EQ(system.accel_max, 0.4f);
  EXPECT_FLOAT_EQ(system.velocity_spread.y, 0.5f);
  EXPECT_FLOAT_EQ(system.start_colour_a.x, 0.0f);  // 150 / 15 - 10
  EXPECT_FLOAT_EQ(system.start_colour_b.y, 0.5f);
  EXPECT_EQ(w.particle_life_min, 0.2f);  // raised in the scene itself
  EXPECT_EQ(w.particle_life_max, 0.2f);
  EXPECT_FLOAT_EQ(system.life_min, 0.2025f);
  EXPECT_FLOAT_EQ(system.size_start_min, 10.0f);
  EXPECT_FLOAT_EQ(system.size_end_max, 0.12f);
  EXPECT_EQ(system.alpha_start_max, 500.0f);

  // Every emission takes now: no life can come out as zero.
  system.AllocateParticles(100);
  system.emission_rate = 100;
  system.UpdateParticles(0.01f);  // one emission
  EXPECT_TRUE(system.particles()[0].alive);
}

// ---- On a headless context ----

ParticleSystem OneParticle(vl::Random& random, float size) {
  ParticleSystem s(random);
  s.AllocateParticles(4);
  s.particles()[1].alive = true;
  s.particles()[1].size = size;
  s.particles()[1].colour = {1, 0, 0};
  s.particles()[1].alpha = 1;
  return s;
}

TEST(ParticleDrawer, PointsAreSizedFromThePointSizeWhenTheDrawBegan) {
  VL_REQUIRE_GL(gl, 32, 32);
  vl::Random random;
  ParticleSystem s = OneParticle(random, 3.0f);
  glPointSize(2.0f);
  vl::render::ParticleDrawer drawer;
  drawer.Draw(s);
  GLfloat size = 0;
  glGetFloatv(GL_POINT_SIZE, &size);
  EXPECT_EQ(s.saved_point_size, 2.0f);
  EXPECT_EQ(size, 6.0f);
  // A point of no size leaves the point size alone and raises no GL error.
  s.particles()[1].size = 0;
  drawer.Draw(s);
  glGetFloatv(GL_POINT_SIZE, &size);
  EXPECT_EQ(size, 6.0f);
  EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

TEST(ParticleDrawer, ArraysDrawTheSamePixelsAsImmediateMode) {
  VL_REQUIRE_GL(gl, 96, 96);
  vl::Random random;
  random.Seed(7);
  ParticleSystem s(random);
  s.ApplyDefaultConfiguration();
  s.SetSizeRanges(0.3f, 0.6f, 0.2f, 0.4f);
  s.SetAlphaRanges(0.4f, 0.9f, 0.1f, 0.2f);
  for (int i = 0; i < 5; ++i) s.UpdateParticles(0.3f);
  GLuint texture = 0;
  glGenTextures(1, &texture);
  glBindTexture(GL_TEXTURE_2D, texture);
  const uint8_t texels[2 * 2 * 4] = {255, 255, 255, 255, 90, 90, 90, 255, 90, 90, 90, 255, 255, 255, 255, 255};
  glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, 2, 2, 0, GL_RGBA, GL_UNSIGNED_BYTE, texels);
  vl::render::AttachParticleTexture(s, texture);
  ASSERT_TRUE(s.textured);

  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  glOrtho(-1.5, 1.5, -0.5, 2.5, -10, 10);
  glMatrixMode(GL_MODELVIEW);
  glEnable(GL_TEXTURE_2D);
  glEnable(GL_BLEND);
  glBlendFunc(GL_SRC_ALPHA, GL_ONE);
  vl::headless::Image pictures[2];
  for (int pass = 0; pass < 2; ++pass) {
    glClearColor(0, 0, 0, 1);
    glClear(GL_COLOR_BUFFER_BIT);
    glLoadIdentity();
    glRotatef(25, 0, 1, 0);
    vl::render::ParticleDrawer drawer(pass == 0 ? vl::render::ParticleGeometry::kImmediate
                                                : vl::render::ParticleGeometry::kArrays);
    drawer.Draw(s);
    pictures[pass] = gl->ReadPixels();
  }
  int lit = 0;
  for (size_t i = 0; i < pictures[0].rgba.size(); i += 4) lit += pictures[0].rgba[i] > 0;
  EXPECT_GT(lit, 50);
  EXPECT_EQ(pictures[0].rgba, pictures[1].rgba);
}

}  // namespace
