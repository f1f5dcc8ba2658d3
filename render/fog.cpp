#include "render/fog.h"

#include <GL/gl.h>

namespace vl::render {

void ApplyTunnelFog(const engine::SceneState& scene) {
  const GLfloat colour[4] = {scene.fog_r / 255.0f, scene.fog_g / 255.0f, scene.fog_b / 255.0f, 1.0f};
  glFogi(GL_FOG_MODE, GL_LINEAR);
  glFogfv(GL_FOG_COLOR, colour);
  glFogf(GL_FOG_DENSITY, scene.fog_density);
  glHint(GL_FOG_HINT, GL_NICEST);
  glFogf(GL_FOG_START, scene.work.fog_start / 10.0f);
  glFogf(GL_FOG_END, scene.work.fog_end / 10.0f);
  glEnable(GL_FOG);
}

void ApplyParticleFog(const engine::SceneState& scene) {
  // The colour channels are used as stored (not divided by 255).
  const GLfloat colour[4] = {scene.particle_fog_r, scene.particle_fog_g, scene.particle_fog_b, 1.0f};
  glFogi(GL_FOG_MODE, GL_LINEAR);
  glFogfv(GL_FOG_COLOR, colour);
  glFogf(GL_FOG_DENSITY, 0.05f);
  glHint(GL_FOG_HINT, GL_NICEST);
  glFogf(GL_FOG_START, -scene.work.particle_fog_near * 500.0f);
  glFogf(GL_FOG_END, scene.particle_fog_far * 500.0f + 10000.0f);
  glEnable(GL_FOG);
}

}  // namespace vl::render
