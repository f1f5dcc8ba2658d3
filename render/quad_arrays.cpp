#include "render/quad_arrays.h"

#include <GL/gl.h>

namespace vl::render {

void DrawQuadArrays(const float* positions, const float* texcoords, const float* colours, size_t quads) {
  if (quads == 0) return;
  glEnableClientState(GL_VERTEX_ARRAY);
  glEnableClientState(GL_TEXTURE_COORD_ARRAY);
  glEnableClientState(GL_COLOR_ARRAY);
  glVertexPointer(3, GL_FLOAT, 0, positions);
  glTexCoordPointer(2, GL_FLOAT, 0, texcoords);
  glColorPointer(4, GL_FLOAT, 0, colours);
  glDrawArrays(GL_QUADS, 0, static_cast<GLsizei>(quads * 4));
  glDisableClientState(GL_COLOR_ARRAY);
  glDisableClientState(GL_TEXTURE_COORD_ARRAY);
  glDisableClientState(GL_VERTEX_ARRAY);
}

}  // namespace vl::render
