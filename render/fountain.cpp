#include "render/fountain.h"
#include "render/quad_arrays.h"

#include <GL/gl.h>

#include <algorithm>
#include <limits>

#include "engine/numeric.h"

namespace vl::render {

namespace {

// Texture coordinates of the strip's corners, in strip order.
constexpr float kStripUv[4][2] = {{0, 1}, {0, 0}, {1, 1}, {1, 0}};

}  // namespace

void Fountain::Create(int count, FountainVec origin) {
  origin_ = origin;
  particles_.assign(static_cast<size_t>(std::max(count, 0)), FountainParticle{});
}

void Fountain::Emit(int i, engine::SceneState& scene) {
  auto& w = scene.work;
  FountainParticle& p = particles_[static_cast<size_t>(i)];
  p.position = FountainVec(w.vortex_x / 40.0f, w.vortex_y / 40.0f, w.vortex_z / 40.0f) + origin_;
  // Drawn in the order z, y, x: the first draw goes to the last axis.
  const float r1 = Draw1000();
  const float r2 = Draw1000();
  const float r3 = Draw1000();
  p.velocity = FountainVec(r3 * w.fountain_spread_x / 5000.0f - 0.0005f, r2 * w.fountain_spread_y / 5000.0f,
                           r1 * w.fountain_spread_z / 5000.0f - 0.0005f);
  p.colour = FountainVec(w.fountain_r / 255.0f, w.fountain_g / 255.0f, w.fountain_b / 255.0f);
  p.alive = true;
  p.age = 0;
  if (IsOn(scene.settings.fountain_cycle)) {
    // The cycle runs on working values, so it restarts from the keyed colour every frame.
    w.fountain_r += 1.1f;
    w.fountain_g += 2.2f;
    w.fountain_b += 3.3f;
    if (w.fountain_r >= 255.0f) w.fountain_r = 0.0f;
    if (w.fountain_g >= 255.0f) w.fountain_g = 0.0f;
    if (w.fountain_b >= 255.0f) w.fountain_b = 0.0f;
  }
}

int Fountain::Step(int32_t n, engine::SceneState& scene) {
  int emitted = 0;
  const float fn = static_cast<float>(n);
  for (size_t i = 0; i < particles_.size(); ++i) {
    FountainParticle& p = particles_[i];
    if (!p.alive && n * 0.1 > emitted) {
      Emit(static_cast<int>(i), scene);
      ++emitted;
    } else if (p.age < kFountainMaxAge + 1) {
      p.position = p.position + p.velocity * fn;
      p.velocity = p.velocity + p.acceleration;
      // The step comes from keyed values and can be anything; the age saturates instead of
      // wrapping round into the young again.
      const int64_t age = static_cast<int64_t>(p.age) + n;
      p.age = static_cast<int32_t>(
          std::clamp<int64_t>(age, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
    } else {
      p.alive = false;
    }
  }
  return emitted;
}

void Fountain::Draw(uint32_t texture) {
  float m[16];
  glGetFloatv(GL_MODELVIEW_MATRIX, m);
  const FountainVec right(m[0], m[4], m[8]);
  const FountainVec up(m[1], m[5], m[9]);
  glBindTexture(GL_TEXTURE_2D, texture);
  glEnable(GL_BLEND);

  auto corners = [&](const FountainParticle& p, FountainVec out[4]) {
    out[0] = p.position - right + up;
    out[1] = p.position - right - up;
    out[2] = p.position + right + up;
    out[3] = p.position + right - up;
  };

  if (!use_arrays_) {
    FountainVec c[4];
    for (const FountainParticle& p : particles_) {
      if (!p.alive) continue;
      const float fade = static_cast<float>(p.age) / static_cast<float>(kFountainMaxAge);
      glColor4f(p.colour.x - fade, p.colour.y - fade, p.colour.z - fade, 0.5f);
      corners(p, c);
      glBegin(GL_TRIANGLE_STRIP);
      for (int k = 0; k < 4; ++k) {
        glTexCoord2f(kStripUv[k][0], kStripUv[k][1]);
        glVertex3f(c[k].x, c[k].y, c[k].z);
      }
      glEnd();
    }
  } else {
    // Each strip of four is the quad (0, 1, 3, 2); as GL_QUADS the squares cover the same pixels.
    const size_t capacity = particles_.size();
    if (positions_.size() < capacity * 12) {
      positions_.resize(capacity * 12);
      texcoords_.resize(capacity * 8);
      colours_.resize(capacity * 16);
    }
    constexpr int kQuadOrder[4] = {0, 1, 3, 2};
    size_t n = 0;
    FountainVec c[4];
    const FountainParticle* last = nullptr;
    for (const FountainParticle& p : particles_) {
      if (!p.alive) continue;
      last = &p;
      const float fade = static_cast<float>(p.age) / static_cast<float>(kFountainMaxAge);
      corners(p, c);
      for (int k = 0; k < 4; ++k) {
        const int s = kQuadOrder[k];
        float* pos = &positions_[n * 12 + static_cast<size_t>(k) * 3];
        pos[0] = c[s].x, pos[1] = c[s].y, pos[2] = c[s].z;
        float* uv = &texcoords_[n * 8 + static_cast<size_t>(k) * 2];
        uv[0] = kStripUv[s][0], uv[1] = kStripUv[s][1];
        float* col = &colours_[n * 16 + static_cast<size_t>(k) * 4];
        col[0] = p.colour.x - fade, col[1] = p.colour.y - fade, col[2] = p.colour.z - fade, col[3] = 0.5f;
      }
      ++n;
    }
    if (n > 0) {
      DrawQuadArrays(positions_.data(), texcoords_.data(), colours_.data(), n);
      // Leave the last particle's colour current, as the strips do.
      const float fade = static_cast<float>(last->age) / static_cast<float>(kFountainMaxAge);
      glColor4f(last->colour.x - fade, last->colour.y - fade, last->colour.z - fade, 0.5f);
    }
  }
  glDisable(GL_BLEND);
}

}  // namespace vl::render
