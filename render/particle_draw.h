// Drawing the particle system and driving the main system from the scene: the billboard axes, the
// quads or points of every live particle, the texture hook, the reset request and the per-frame
// configuration. The simulation itself is assets/particle_system.h; only the draw touches GL.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "assets/particle_system.h"
#include "engine/scene_state.h"

namespace vl::render {

// ---- Geometry (no GL) ------------------------------------------------------------------------

// The billboard axes for a draw. `modelview` is the current matrix, column-major as GL returns it.
// Mode 0: the fixed x and y axes; 1: the view's right and up (quads face the camera); 2: the
// view's right with the fixed vertical (quads turn about the vertical only); any other mode leaves
// *right and *up as they are.
void BillboardAxes(int32_t mode, const float modelview[16], assets::Vec3* right, assets::Vec3* up);

// The four corners of a particle's quad in drawing order: bottom-left, top-left, top-right,
// bottom-right. The axes are turned by the particle's angle only when it is above zero.
void BillboardCorners(const assets::Particle& p, assets::Vec3 right, assets::Vec3 up, assets::Vec3 corners[4]);

// ---- Drawing (GL) ----------------------------------------------------------------------------

// The texture hook: the particle texture loader calls this with the GL name it made from the TGA
// colour (and alpha) file. Sets linear filters on it and switches the system from points to
// textured quads. A name of 0 (a failed load) leaves the system as it was.
void AttachParticleTexture(assets::ParticleSystem& system, uint32_t gl_texture);

// How the live particles are sent to GL. Immediate mode sends one primitive per particle; the
// array path sends the same quads with one call per draw. Both draw the same pixels.
enum class ParticleGeometry { kImmediate, kArrays };

// Draws every live particle: textured quads facing the billboard axes, or, without a texture,
// points of size x the point size current when the draw began. Leaves the point size of the last
// point drawn and the texture binding of the system.
class ParticleDrawer {
 public:
  explicit ParticleDrawer(ParticleGeometry geometry = ParticleGeometry::kArrays) : geometry_(geometry) {}
  void Draw(assets::ParticleSystem& system);
  void set_geometry(ParticleGeometry g) { geometry_ = g; }

 private:
  void DrawQuadsImmediate(const assets::ParticleSystem& system);
  void DrawQuadsArrays(const assets::ParticleSystem& system);

  ParticleGeometry geometry_;
  // Reused between draws; they grow to the largest pool drawn and then stay.
  std::vector<float> positions_, texcoords_, colours_;
};

// ---- The main system as the player drives it (no GL) -----------------------------------------

// A reset request: the default configuration, then a pool of the loop's particle_count. A count
// the pool cannot take (negative, or above kMaxParticles) is refused with a line on stderr and the
// default configuration's pool stays. Returns the refusal, empty when none.
std::string ResetMainParticles(assets::ParticleSystem& system, const engine::SceneState& scene);

// The per-frame configuration from the working values: emitter, acceleration, velocity, life
// (raising stored lives not above 0.1 to 0.2 in the scene first), start colours, alpha and size
// ranges, in that order.
void ConfigureMainParticles(assets::ParticleSystem& system, engine::SceneState& scene);

}  // namespace vl::render
