// The built-in 64 x 64 picture (res/builtin_image.bmp, drawn by res/tools/make_default_pictures),
// compiled into the library so the image plane has something to show with no files at all.
#include <cstdint>

#include "assets/pictures/picture_texture.h"
#include "engine/byte_reader.h"

namespace vl::assets {
namespace {

constexpr uint8_t kBuiltinBmp[] = {
#include "builtin_image_data.inc"
};

}  // namespace

BuiltinBitmap LoadBuiltinBitmap() {
  // Our own file, but still read through the bounded reader: a bad replacement of the resource
  // gives an empty bitmap, not a wild read.
  ByteReader in(kBuiltinBmp);
  uint16_t magic = 0, planes = 0, bits = 0;
  uint32_t file_size, reserved, pixel_offset, header_size, compression;
  int32_t width = 0, height = 0;
  if (!in.Read(magic) || magic != 0x4D42 || !in.Read(file_size) || !in.Read(reserved) || !in.Read(pixel_offset) ||
      !in.Read(header_size) || !in.Read(width) || !in.Read(height) || !in.Read(planes) || !in.Read(bits) ||
      !in.Read(compression))
    return {};
  // Only what the upload expects: 24 bits, uncompressed, bottom-up.
  if (bits != 24 || compression != 0 || width <= 0 || height <= 0 || width > 4096 || height > 4096) return {};
  const uint64_t row = (uint64_t(width) * 3 + 3) / 4 * 4;
  const uint64_t size = row * uint64_t(height);
  if (pixel_offset > sizeof kBuiltinBmp || size > sizeof kBuiltinBmp - pixel_offset) return {};
  return BuiltinBitmap{width, height, std::span<const uint8_t>(kBuiltinBmp + pixel_offset, size)};
}

}  // namespace vl::assets
