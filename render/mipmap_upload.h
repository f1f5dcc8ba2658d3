// Mipmapped texture uploads that cost little more than the texture itself. The levels are the
// ones the GLU mipmap builder makes (the same power-of-two size, the same box filters, byte for
// byte), but they are made by halving one buffer in place, and the picture's own buffer is that
// buffer, so a load holds the picture and the texture and nothing else. Calls OpenGL; knows
// nothing about where the pixels came from.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace vl::render {

// The GLU rounding to a power of two: down, unless the two highest bits are both set (5 -> 4,
// 6 -> 8, 767 -> 512, 768 -> 1024). value must be at least 1.
int32_t NearestPowerOfTwo(int32_t value);

// Pixels for a mipmapped upload, bottom row first. Each row holds width * components bytes and is
// padded to a multiple of `alignment` (1, 2, 4 or 8), as GL_UNPACK_ALIGNMENT would read it.
struct MipmapSource {
  int32_t width = 0;
  int32_t height = 0;
  int32_t components = 0;  // 1 to 4, the bytes of one pixel of `format`
  uint32_t format = 0;     // GL_RGBA, GL_RGB, GL_BGR, GL_ALPHA, ...
  int32_t alignment = 1;
  std::vector<uint8_t> pixels;  // taken by the upload and freed as soon as the levels are in GL
};

// The size gluBuild2DMipmaps gives the texture: each side rounded by NearestPowerOfTwo, then both
// halved until GL's proxy says the texture and its mipmaps fit. Needs a current context.
struct MipmapSize {
  int32_t width = 0;
  int32_t height = 0;
};
MipmapSize FitMipmapSize(int32_t width, int32_t height, int32_t internal_format, uint32_t format);

// Uploads `source` into the texture bound to GL_TEXTURE_2D as level 0 and every mipmap level down
// to 1 x 1, as gluBuild2DMipmaps(GL_TEXTURE_2D, internal_format, ...) would with the same pixels.
// The source buffer is consumed: halved in place level by level and released at the end (a
// picture that must be resized first is released once it has been). The minification filter is
// left at GL_LINEAR_MIPMAP_NEAREST, which makes GL keep every level in one allocation; callers set
// their own filters afterwards. Returns false with the reason when the pixels do not fit their
// size, memory runs out, or GL refuses a level.
bool UploadMipmaps(MipmapSource source, int32_t internal_format, std::string* why);

}  // namespace vl::render
