// Turning decoded pixels into GL textures. The picture and TGA readers produce TexturePixels;
// only this file touches GL for them. Textures are replaced, never freed: the old name stays valid
// for anything that still holds it.
#pragma once
#include <cstdint>
#include <vector>

namespace vl::render {

struct TexturePixels {
  int width = 0;
  int height = 0;
  int channels = 0;             // 3 (RGB) or 4 (RGBA)
  std::vector<uint8_t> pixels;  // rows bottom to top, as GL reads them, tightly packed
};

// Both return a new texture name, or 0 when the pixels are inconsistent (nothing is uploaded).
// Mipmapped: gluBuild2DMipmaps, linear-mipmap-linear minification, repeat wrap.
uint32_t UploadMipmappedTexture(const TexturePixels& image);
// One level, linear filters.
uint32_t UploadLinearTexture(const TexturePixels& image);

// A new zero-filled width x height texture with linear filters (render targets).
uint32_t CreateBlankTexture(int width, int height, int channels);

}  // namespace vl::render
