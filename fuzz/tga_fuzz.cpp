// Fuzz target for the TGA reader and the colour/alpha pair builder over in-memory files.
// Input: one mode byte (bit 0: colour file given, bit 1: alpha file given), a 4-byte
// little-endian length of the colour file, then the colour file's bytes and the alpha file's.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <optional>

#include "assets/tga.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  const uint8_t mode = data[0];
  uint32_t colour_len = 0;
  std::memcpy(&colour_len, data + 1, 4);
  std::span<const uint8_t> rest(data + 5, size - 5);
  colour_len = static_cast<uint32_t>(std::min<size_t>(colour_len, rest.size()));
  std::optional<vl::assets::NamedBytes> colour, alpha;
  if (mode & 1) colour = vl::assets::NamedBytes{"colour.tga", rest.first(colour_len)};
  if (mode & 2) alpha = vl::assets::NamedBytes{"alpha.tga", rest.subspan(colour_len)};
  auto r = vl::assets::LoadTextureImageFromBytes(colour, alpha, (mode & 4) != 0);
  if (r.ok()) {
    // The buffer must hold exactly what an upload of this format and size reads.
    const auto& im = *r.image;
    const size_t want = size_t(im.width) * size_t(im.height) * size_t(im.components);
    if (im.pixels.size() != want) __builtin_trap();
  } else if (r.error.text.rfind("Failed to load Texture (", 0) != 0) {
    __builtin_trap();
  }
  return 0;
}
