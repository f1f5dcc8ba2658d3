#include "render/texture_upload.h"

#include <GL/gl.h>

#include <cstddef>
#include <vector>

namespace vl::render {

uint32_t CreateBlankTexture(int width, int height, int channels) {
  if (width < 1 || height < 1 || width > 16384 || height > 16384 || (channels != 3 && channels != 4)) return 0;
  const std::vector<uint8_t> zeros(static_cast<std::size_t>(width) * height * channels, 0);
  const GLenum format = channels == 4 ? GL_RGBA : GL_RGB;
  GLuint name = 0;
  glGenTextures(1, &name);
  glBindTexture(GL_TEXTURE_2D, name);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
  glTexImage2D(GL_TEXTURE_2D, 0, static_cast<GLint>(format), width, height, 0, format, GL_UNSIGNED_BYTE, zeros.data());
  return name;
}

}  // namespace vl::render
