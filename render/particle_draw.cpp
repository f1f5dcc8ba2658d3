#include "render/particle_draw.h"
#include "render/quad_arrays.h"

#include <GL/gl.h>

#include <cmath>
#include <cstdio>

namespace vl::render {

using assets::Particle;
using assets::ParticleSystem;
using assets::Vec3;

namespace {

Vec3 Add(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec3 Sub(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec3 Scale(Vec3 a, float s) { return {a.x * s, a.y * s, a.z * s}; }

// Texture coordinates of the corners in drawing order.
constexpr float kCornerUv[4][2] = {{0, 0}, {0, 1}, {1, 1}, {1, 0}};

}  // namespace

void BillboardAxes(int32_t mode, const float m[16], Vec3* right, Vec3* up) {
  switch (mode) {
    case 0:
      *right = {1, 0, 0};
      *up = {0, 1, 0};
      break;
    case 1:
      *right = {m[0], m[4], m[8]};
      *up = {m[1], m[5], m[9]};
      break;
    case 2:
      *right = {m[0], m[4], m[8]};
      *up = {0, 1, 0};
      break;
    default: break;
  }
}

void BillboardCorners(const Particle& p, Vec3 right, Vec3 up, Vec3 corners[4]) {
  // A zero or negative angle draws the quad unrotated: spin can turn it either way, but only a
  // positive angle ever turns the axes.
  if (p.angle > 0.0f) {
    const float c = std::cos(p.angle);
    const float s = std::sin(p.angle);
    const Vec3 r = Add(Scale(right, c), Scale(up, s));
    const Vec3 u = Sub(Scale(up, c), Scale(right, s));
    right = r;
    up = u;
  }
  const float h = p.size * 0.5f;
  corners[0] = Sub(Sub(p.position, Scale(right, h)), Scale(up, h));  // bottom-left
  corners[1] = Add(corners[0], Scale(up, p.size));                   // top-left
  corners[2] = Add(corners[1], Scale(right, p.size));                // top-right
  corners[3] = Sub(corners[2], Scale(up, p.size));                   // bottom-right
}

void AttachParticleTexture(ParticleSystem& system, uint32_t gl_texture) {
  if (gl_texture == 0) return;
  glBindTexture(GL_TEXTURE_2D, gl_texture);
  glTexParameterf(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, static_cast<float>(GL_LINEAR));
  glTexParameterf(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, static_cast<float>(GL_LINEAR));
  system.texture = gl_texture;
  system.textured = true;
}

void ParticleDrawer::Draw(ParticleSystem& system) {
  if (system.textured) {
    glBindTexture(GL_TEXTURE_2D, system.texture);
    float m[16];
    glGetFloatv(GL_MODELVIEW_MATRIX, m);
    BillboardAxes(system.billboard_mode, m, &system.billboard_right, &system.billboard_up);
    if (geometry_ == ParticleGeometry::kArrays) DrawQuadsArrays(system);
    else DrawQuadsImmediate(system);
    return;
  }

  // Points: each one's size is a factor of the point size in force when the draw began. GL
  // refuses sizes that are not positive and keeps the previous one; doing the same here keeps
  // the error flag clear.
  glGetFloatv(GL_POINT_SIZE, &system.saved_point_size);
  for (const Particle& p : system.particles()) {
    if (!p.alive) continue;
    const float size = p.size * system.saved_point_size;
    if (size > 0.0f) glPointSize(size);
    glColor4f(p.colour.x, p.colour.y, p.colour.z, p.alpha);
    glBegin(GL_POINTS);
    glVertex3f(p.position.x, p.position.y, p.position.z);
    glEnd();
  }
}

void ParticleDrawer::DrawQuadsImmediate(const ParticleSystem& system) {
  Vec3 corners[4];
  for (const Particle& p : system.particles()) {
    if (!p.alive) continue;
    const float colour[4] = {p.colour.x, p.colour.y, p.colour.z, p.alpha};
    glColor4fv(colour);
    BillboardCorners(p, system.billboard_right, system.billboard_up, corners);
    glBegin(GL_POLYGON);
    for (int c = 0; c < 4; ++c) {
      glTexCoord2f(kCornerUv[c][0], kCornerUv[c][1]);
      glVertex3f(corners[c].x, corners[c].y, corners[c].z);
    }
    glEnd();
  }
}

void ParticleDrawer::DrawQuadsArrays(const ParticleSystem& system) {
  const size_t capacity = system.particles().size();
  if (positions_.size() < capacity * 12) {
    positions_.resize(capacity * 12);
    texcoords_.resize(capacity * 8);
    colours_.resize(capacity * 16);
  }
  size_t n = 0;  // quads filled
  Vec3 corners[4];
  for (const Particle& p : system.particles()) {
    if (!p.alive) continue;
    BillboardCorners(p, system.billboard_right, system.billboard_up, corners);
    float* pos = &positions_[n * 12];
    float* uv = &texcoords_[n * 8];
    float* col = &colours_[n * 16];
    for (int c = 0; c < 4; ++c) {
      pos[c * 3 + 0] = corners[c].x;
      pos[c * 3 + 1] = corners[c].y;
      pos[c * 3 + 2] = corners[c].z;
      uv[c * 2 + 0] = kCornerUv[c][0];
      uv[c * 2 + 1] = kCornerUv[c][1];
      col[c * 4 + 0] = p.colour.x;
      col[c * 4 + 1] = p.colour.y;
      col[c * 4 + 2] = p.colour.z;
      col[c * 4 + 3] = p.alpha;
    }
    ++n;
  }
  if (n == 0) return;
  DrawQuadArrays(positions_.data(), texcoords_.data(), colours_.data(), n);
  // The colour array leaves the current colour undefined; the immediate path leaves the last
  // particle's, and later passes may rely on that.
  const Particle* last = nullptr;
  for (const Particle& p : system.particles())
    if (p.alive) last = &p;
  if (last) glColor4f(last->colour.x, last->colour.y, last->colour.z, last->alpha);
}

std::string ResetMainParticles(ParticleSystem& system, const engine::SceneState& scene) {
  system.ApplyDefaultConfiguration();
  std::string why;
  if (!system.AllocateParticles(scene.settings.particle_count, &why)) {
    std::fprintf(stderr, "vantaloop: particles: %s\n", why.c_str());
    return why;
  }
  return {};
}

void ConfigureMainParticles(ParticleSystem& system, engine::SceneState& scene) {
  auto& w = scene.work;
  // The emitter spread is the raw working value less 0.01, not scaled like the position.
  system.SetEmitter(w.particle_emitter_x / 1000.0f, w.particle_emitter_y / 1000.0f, w.particle_emitter_z / 1000.0f,
                    w.particle_emitter_x - 0.01f, w.particle_emitter_y - 0.01f, w.particle_emitter_z - 0.01f);
  system.SetAcceleration(w.particle_accel_dir_x / 100.0f, w.particle_accel_dir_y / 100.0f,
                         w.particle_accel_dir_z / 100.0f, w.particle_accel_min / 100.0f, w.particle_accel_max / 100.0f);
  system.SetVelocity(w.particle_velocity_x / 100.0f, w.particle_velocity_y / 100.0f, w.particle_velocity_z / 100.0f,
                     w.particle_velocity_spread_x / 100.0f, w.particle_velocity_spread_y / 100.0f,
                     w.particle_velocity_spread_z / 100.0f);
  // Lives are kept well above zero (a NaN counts as too small) so an emission always takes.
  if (!(w.particle_life_min > 0.1f)) w.particle_life_min = 0.2f;
  if (!(w.particle_life_max > 0.1f)) w.particle_life_max = 0.2f;
  system.life_min = w.particle_life_min + 0.0025f;
  system.life_max = w.particle_life_max + 0.0025f;
  system.SetStartColours(w.particle_colour_a_r / 15.0f - 10.0f, w.particle_colour_a_g / 15.0f - 10.0f,
                         w.particle_colour_a_b / 15.0f - 10.0f, scene.particle_colour_b_r, scene.particle_colour_b_g,
                         scene.particle_colour_b_b);
  // Start alpha 100 to 500: GL clamps it to 1, so particles stay opaque until they die.
  system.SetAlphaRanges(100.0f, 500.0f, 100.0f, 100.0f);
  const float size = 5.0f * scene.particle_size;
  system.SetSizeRanges(size, size, size, 0.12f);
}

}  // namespace vl::render
