// The vortex fountain: one small emitter whose particles rise, fade with age and are drawn as
// camera-facing textured squares. The vortex draws it once per chain element and steps it after
// each draw, so one pool of particles makes the whole chain. Randomness from the program's
// generator; drawing in the current GL context.
#pragma once
#include <cstdint>
#include <vector>

#include "assets/particle_system.h"
#include "engine/random.h"
#include "engine/scene_state.h"

namespace vl::render {

// The small 3-vector the fountain computes with.
struct FountainVec {
  float x = 0, y = 0, z = 0;
  FountainVec() = default;
  FountainVec(float ax, float ay, float az) : x(ax), y(ay), z(az) {}
  FountainVec operator+(FountainVec o) const { return {x + o.x, y + o.y, z + o.z}; }
  FountainVec operator-(FountainVec o) const { return {x - o.x, y - o.y, z - o.z}; }
  FountainVec operator*(float s) const { return {x * s, y * s, z * s}; }
};

struct FountainParticle {
  FountainVec position, velocity, acceleration;
  FountainVec colour;  // 0..1
  bool alive = false;
  int32_t age = 0;
};

// A particle older than this is not moved any more and dies at the next step.
inline constexpr int32_t kFountainMaxAge = 2000;

class Fountain {
 public:
  explicit Fountain(Random& random) : random_(&random) {}

  // A pool of `count` dead particles around `origin`.
  void Create(int count, FountainVec origin);

  // Particle i starts at the vortex position plus the origin with a random velocity and the
  // fountain colour. With fountain_cycle on, each emission moves the working colour on (red by
  // 1.1, green 2.2, blue 3.3, each wrapping to 0 at 255).
  void Emit(int i, engine::SceneState& scene);

  // Revives at most ceil(n / 10) dead particles (none for n <= 0) and moves the others by n.
  // Returns how many were revived.
  int Step(int32_t n, engine::SceneState& scene);

  // Squares facing the view (axes from the current model-view matrix), faded by age, blended.
  void Draw(uint32_t texture);

  const std::vector<FountainParticle>& particles() const { return particles_; }
  std::vector<FountainParticle>& particles() { return particles_; }
  FountainVec origin() const { return origin_; }

  // Sends each element's squares as one array draw instead of a strip per particle; the same
  // pixels either way.
  void set_use_arrays(bool on) { use_arrays_ = on; }

 private:
  float Draw1000() { return static_cast<float>(random_->Next() % 1000) / 1000.0f; }

  Random* random_;
  FountainVec origin_;
  std::vector<FountainParticle> particles_;
  bool use_arrays_ = true;
  std::vector<float> positions_, texcoords_, colours_;
};

}  // namespace vl::render
