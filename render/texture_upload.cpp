#include "render/texture_upload.h"

#include <GL/gl.h>
#include <GL/glu.h>

#include <cstddef>

namespace vl::render {
namespace {

bool Consistent(const TexturePixels& image) {
  if (image.width < 1 || image.height < 1 || image.width > 16384 || image.height > 16384) return false;
  if (image.channels != 3 && image.channels != 4) return false;
  return image.pixels.size() == static_cast<std::size_t>(image.width) * image.height * image.channels;
}

GLenum Format(int channels) { return channels == 4 ? GL_RGBA : GL_RGB; }

}  // namespace

uint32_t UploadMipmappedTexture(const TexturePixels& image) {
  if (!Consistent(image)) return 0;
  GLuint name = 0;
  glGenTextures(1, &name);
  glBindTexture(GL_TEXTURE_2D, name);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_LINEAR);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_REPEAT);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_REPEAT);
  gluBuild2DMipmaps(GL_TEXTURE_2D, image.channels, image.width, image.height, Format(image.channels),
                    GL_UNSIGNED_BYTE, image.pixels.data());
  return name;
}

uint32_t UploadLinearTexture(const TexturePixels& image) {
  if (!Consistent(image)) return 0;
  GLuint name = 0;
  glGenTextures(1, &name);
  glBindTexture(GL_TEXTURE_2D, name);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
  glTexImage2D(GL_TEXTURE_2D, 0, image.channels == 4 ? GL_RGBA : GL_RGB, image.width, image.height, 0,
               Format(image.channels), GL_UNSIGNED_BYTE, image.pixels.data());
  return name;
}

uint32_t CreateBlankTexture(int width, int height, int channels) {
  TexturePixels blank;
  blank.width = width;
  blank.height = height;
  blank.channels = channels;
  blank.pixels.assign(static_cast<std::size_t>(width) * height * channels, 0);
  return UploadLinearTexture(blank);
}

}  // namespace vl::render
