#include "render/gl_state.h"

#include <GL/gl.h>

namespace vl::render {

void SetTextureGeneration(bool on) {
  if (on) {
    glEnable(GL_TEXTURE_GEN_S);
    glEnable(GL_TEXTURE_GEN_T);
  } else {
    glDisable(GL_TEXTURE_GEN_S);
    glDisable(GL_TEXTURE_GEN_T);
  }
}

void UseSphereMapGeneration() {
  glTexGeni(GL_S, GL_TEXTURE_GEN_MODE, GL_SPHERE_MAP);
  glTexGeni(GL_T, GL_TEXTURE_GEN_MODE, GL_SPHERE_MAP);
}

void SetSpotLight0(float x, float y, float z) {
  const GLfloat position[4] = {x, y, z, 1.0f};
  const GLfloat direction[3] = {0.0f, 0.0f, -1.0f};
  glLightfv(GL_LIGHT0, GL_POSITION, position);
  glLightf(GL_LIGHT0, GL_SPOT_CUTOFF, 90.0f);
  glLightf(GL_LIGHT0, GL_SPOT_EXPONENT, 100.0f);
  glLightfv(GL_LIGHT0, GL_SPOT_DIRECTION, direction);
}

}  // namespace vl::render
