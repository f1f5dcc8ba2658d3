// The particle system: a fixed pool of particles emitted from a box around an emitter, flying
// under constant acceleration, changing colour, alpha and size linearly over their life, spinning
// and dying. This is the simulation only; drawing lives in render/. No OpenGL, no Qt.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "engine/random.h"

namespace vl::assets {

struct Vec3 {
  float x = 0, y = 0, z = 0;
};

struct Particle {
  Vec3 position, velocity, acceleration;
  float angle = 0;  // billboard rotation in radians
  float spin = 0;
  float spin_acceleration = 0;
  float alpha = 0;
  float alpha_delta = 0;
  Vec3 colour, colour_delta;
  float size = 0;
  float size_delta = 0;
  float life = 0;
  float age = 0;
  bool alive = false;
};

// The largest pool a loop may ask for; a larger particle_count is refused and the old pool kept.
inline constexpr int kMaxParticles = 200000;

class ParticleSystem {
 public:
  explicit ParticleSystem(Random& random) : random_(&random) {}

  void SetEmitter(float x, float y, float z, float sx, float sy, float sz);
  void SetVelocity(float x, float y, float z, float sx, float sy, float sz);
  void SetSpinRange(float min, float max);
  void SetAcceleration(float x, float y, float z, float min, float max);
  void SetStartColours(float ar, float ag, float ab, float br, float bg, float bb);
  void SetEndColours(float ar, float ag, float ab, float br, float bg, float bb);
  void SetAlphaRanges(float start_min, float start_max, float end_min, float end_max);
  void SetSizeRanges(float start_min, float start_max, float end_min, float end_max);

  // A new pool of `count` free particles. A negative count or one above kMaxParticles is refused
  // (false, with the reason in `error`), and the old pool stays.
  bool AllocateParticles(int64_t count, std::string* error = nullptr);

  // Advances live particles by dt and emits new ones into the lowest free slots.
  void UpdateParticles(float dt);

  // Births replayed from one cycle of a loop to the next, for a file that must repeat exactly.
  // A full pool emits only as many particles as died, so each cycle's births follow the deaths
  // of the cycle before and never settle. While replaying, every update records how many
  // particles the cycle has emitted so far, and no update emits more than the same update of the
  // cycle before had by then: the counts can only fall, so they settle within a few cycles, and
  // a pool that is not full emits as before. The player never replays.
  void StartBirthReplay();
  // Ends a cycle: its births become the limits of the next. True when they matched the limits
  // the cycle played under, update for update (so a cycle that starts from the same particles
  // emits the same ones).
  bool NextBirthCycle();
  bool replaying_births() const { return replay_.on; }

  // The configuration the player applies on a particle reset (before reallocating).
  void ApplyDefaultConfiguration();

  void SpawnParticle(Particle& p);
  void StepParticle(Particle& p, float dt);

  const std::vector<Particle>& particles() const { return particles_; }
  std::vector<Particle>& particles() { return particles_; }
  int capacity() const { return static_cast<int>(particles_.size()); }

  Vec3 emitter_position, emitter_spread;
  Vec3 velocity_base, velocity_spread;
  float speed_min = 0, speed_max = 0;
  float spin_min = 0, spin_max = 0;
  float spin_accel_min = 0, spin_accel_max = 0;
  Vec3 accel_direction;
  float accel_min = 0, accel_max = 0;
  float alpha_start_min = 0, alpha_start_max = 0;
  float alpha_end_min = 1, alpha_end_max = 1;
  float size_start_min = 0, size_start_max = 0;
  float size_end_min = 0, size_end_max = 0;
  Vec3 start_colour_a, start_colour_b, end_colour_a, end_colour_b;
  float life_min = 1, life_max = 1;
  bool respawn = false;
  int32_t billboard_mode = 0;  // 0 fixed axes, 1 full billboard, 2 upright billboard
  bool textured = false;
  bool use_emitter_position = false;
  int32_t emission_rate = 0;
  float emission_jitter = 0;

  // Drawing state, kept here because the draw carries it from one frame to the next: the GL name
  // of the particle texture (0 until one is attached), the point size captured by the last
  // untextured draw, and the billboard axes of the last textured draw (a billboard_mode outside
  // 0..2 keeps the previous ones).
  uint32_t texture = 0;
  float saved_point_size = 1;
  Vec3 billboard_right{1, 0, 0}, billboard_up{0, 1, 0};

 private:
  double R() { return random_->Next() / 32767.0; }
  float Range(float lo, float hi) { return static_cast<float>(R() * (hi - lo) + lo); }
  double Sym() { return R() * 2 - 1; }

  struct BirthReplay {
    bool on = false;
    // 64 bits: a cycle of many updates can replace a large pool many times over.
    std::vector<int64_t> limits;  // births so far after each update of the cycle before
    std::vector<int64_t> births;  // the same for the cycle being played
    int64_t so_far = 0;
  };

  Random* random_;
  std::vector<Particle> particles_;
  BirthReplay replay_;
};

}  // namespace vl::assets
