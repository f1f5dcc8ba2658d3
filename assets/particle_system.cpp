#include "assets/particle_system.h"

#include <algorithm>
#include <new>

#include "engine/numeric.h"

namespace vl::assets {

void ParticleSystem::SetEmitter(float x, float y, float z, float sx, float sy, float sz) {
  emitter_position = {x, y, z};
  emitter_spread = {sx, sy, sz};
}
void ParticleSystem::SetVelocity(float x, float y, float z, float sx, float sy, float sz) {
  velocity_base = {x, y, z};
  velocity_spread = {sx, sy, sz};
}
void ParticleSystem::SetSpinRange(float min, float max) {
  spin_min = min;
  spin_max = max;
}
void ParticleSystem::SetAcceleration(float x, float y, float z, float min, float max) {
  accel_direction = {x, y, z};
  accel_min = min;
  accel_max = max;
}
void ParticleSystem::SetStartColours(float ar, float ag, float ab, float br, float bg, float bb) {
  start_colour_a = {ar, ag, ab};
  start_colour_b = {br, bg, bb};
}
void ParticleSystem::SetEndColours(float ar, float ag, float ab, float br, float bg, float bb) {
  end_colour_a = {ar, ag, ab};
  end_colour_b = {br, bg, bb};
}
void ParticleSystem::SetAlphaRanges(float start_min, float start_max, float end_min, float end_max) {
  alpha_start_min = start_min;
  alpha_start_max = start_max;
  alpha_end_min = end_min;
  alpha_end_max = end_max;
}
void ParticleSystem::SetSizeRanges(float start_min, float start_max, float end_min, float end_max) {
  size_start_min = start_min;
  size_start_max = start_max;
  size_end_min = end_min;
  size_end_max = end_max;
}

bool ParticleSystem::AllocateParticles(int64_t count, std::string* error) {
  if (count < 0 || count > kMaxParticles) {
    if (error)
      *error = "particle count " + std::to_string(count) + " is outside 0 .. " + std::to_string(kMaxParticles) +
               "; keeping the current " + std::to_string(particles_.size()) + " particles";
    return false;
  }
  try {
    std::vector<Particle> pool(static_cast<size_t>(count));
    particles_.swap(pool);
  } catch (const std::bad_alloc&) {
    if (error) *error = "out of memory for " + std::to_string(count) + " particles";
    return false;
  }
  return true;
}

void ParticleSystem::ApplyDefaultConfiguration() {
  AllocateParticles(300);
  emission_rate = 300;
  emission_jitter = 0;
  life_min = 0.5f;
  life_max = 1.5f;
  respawn = false;
  billboard_mode = 1;
  use_emitter_position = true;
  speed_min = 0.3f;
  speed_max = 0.2f;
  SetStartColours(1, 0, 0, 1, 0.5f, 0);
  SetEndColours(1, 1, 1, 1, 0.5f, 0);
  SetAlphaRanges(1, 1, 0, 0);
  SetEmitter(0, 0, 0.5f, 0.1f, 0, 0.1f);
  SetAcceleration(0, 1, 0, 0.3f, 0.4f);
  SetSizeRanges(0.04f, 0.08f, 0.06f, 0.12f);
  SetVelocity(0, 1, 0, 0.08f, 0.5f, 0.08f);
  SetSpinRange(-2.576106f, 2.576106f);
}

void ParticleSystem::SpawnParticle(Particle& p) {
  const float life = Range(life_min, life_max);
  if (life == 0.0f) return;  // nothing else changes: a free slot stays free
  p.life = life;
  p.age = 0;
  p.position = use_emitter_position ? emitter_position : Vec3{};
  p.position.x = static_cast<float>(p.position.x + Sym() * emitter_spread.x);
  p.position.y = static_cast<float>(p.position.y + Sym() * emitter_spread.y);
  p.position.z = static_cast<float>(p.position.z + Sym() * emitter_spread.z);
  p.velocity.x = static_cast<float>(velocity_base.x + Sym() * velocity_spread.x);
  p.velocity.y = static_cast<float>(velocity_base.y + Sym() * velocity_spread.y);
  p.velocity.z = static_cast<float>(velocity_base.z + Sym() * velocity_spread.z);
  const float speed = Range(speed_min, speed_max);
  p.velocity = {p.velocity.x * speed, p.velocity.y * speed, p.velocity.z * speed};
  const float accel = Range(accel_min, accel_max);
  p.acceleration = {accel_direction.x * accel, accel_direction.y * accel, accel_direction.z * accel};
  const double c = R();
  p.colour = {static_cast<float>(start_colour_a.x + (start_colour_b.x - start_colour_a.x) * c),
              static_cast<float>(start_colour_a.y + (start_colour_b.y - start_colour_a.y) * c),
              static_cast<float>(start_colour_a.z + (start_colour_b.z - start_colour_a.z) * c)};
  const double e = R();
  const Vec3 end{static_cast<float>(end_colour_a.x + (end_colour_b.x - end_colour_a.x) * e),
                 static_cast<float>(end_colour_a.y + (end_colour_b.y - end_colour_a.y) * e),
                 static_cast<float>(end_colour_a.z + (end_colour_b.z - end_colour_a.z) * e)};
  p.colour_delta = {(end.x - p.colour.x) / life, (end.y - p.colour.y) / life, (end.z - p.colour.z) / life};
  p.alpha = Range(alpha_start_min, alpha_start_max);
  const float end_alpha = Range(alpha_end_min, alpha_end_max);
  p.alpha_delta = (end_alpha - p.alpha) / life;
  p.size = Range(size_start_min, size_start_max);
  const float end_size = Range(size_end_min, size_end_max);
  p.size_delta = (end_size - p.size) / life;
  p.angle = 0;
  p.spin = Range(spin_min, spin_max);
  p.spin_acceleration = Range(spin_accel_min, spin_accel_max);
  p.alive = true;
}

void ParticleSystem::StepParticle(Particle& p, float dt) {
  // A respawning particle that expires is re-emitted and stepped by a random part of the step.
  // Tiny (or zero) lives could repeat that without end, so the repeats are bounded.
  for (int respawns = 0;; ++respawns) {
    p.age += dt;
    if (!(p.age >= p.life)) break;
    if (!respawn || respawns >= 64) {
      p.age = 0;
      p.alive = false;
      return;
    }
    SpawnParticle(p);
    dt = static_cast<float>(dt * R());
    if (!p.alive) return;
  }
  p.size += dt * p.size_delta;
  p.alpha += dt * p.alpha_delta;
  p.colour = {p.colour.x + p.colour_delta.x * dt, p.colour.y + p.colour_delta.y * dt,
              p.colour.z + p.colour_delta.z * dt};
  p.velocity = {p.velocity.x + p.acceleration.x * dt, p.velocity.y + p.acceleration.y * dt,
                p.velocity.z + p.acceleration.z * dt};
  p.position = {p.position.x + p.velocity.x * dt, p.position.y + p.velocity.y * dt, p.position.z + p.velocity.z * dt};
  p.spin += dt * p.spin_acceleration;
  p.angle += dt * p.spin;
}

void ParticleSystem::UpdateParticles(float dt) {
  const float per_step = static_cast<float>(emission_rate) * dt;  // single precision, as stored
  int32_t n = TruncToInt(((R() - 0.5) * emission_jitter + 1) * per_step);
  const size_t update = replay_.births.size();
  if (replay_.on && update < replay_.limits.size())
    n = static_cast<int32_t>(std::min<int64_t>(n, replay_.limits[update] - replay_.so_far));
  int32_t emitted = 0;
  for (Particle& p : particles_) {
    if (p.alive) StepParticle(p, dt);
    if (n > 0 && !p.alive) {
      SpawnParticle(p);
      StepParticle(p, static_cast<float>(dt * R()));
      --n;
      ++emitted;
    }
  }
  if (replay_.on) {
    replay_.so_far += emitted;
    replay_.births.push_back(replay_.so_far);
  }
}

void ParticleSystem::StartBirthReplay() { replay_ = BirthReplay{true, {}, {}, 0}; }

bool ParticleSystem::NextBirthCycle() {
  const bool same = replay_.births == replay_.limits;
  replay_.limits.swap(replay_.births);
  replay_.births.clear();
  replay_.so_far = 0;
  return same;
}

}  // namespace vl::assets
