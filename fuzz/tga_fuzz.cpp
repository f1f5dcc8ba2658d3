// Fuzz target for the TGA reader and the colour/alpha pair builder over in-memory files.
// Input: one mode byte (bit 0: colour file given, bit 1: alpha file given, bit 2: mipmaps, bit 3:
// read each file the way a file on disk is read, in its own buffer), a 4-byte little-endian length
// of the colour file, then the colour file's bytes and the alpha file's. Both ways of reading one
// file must agree.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "assets/tga.h"

namespace {

void CheckBothReadsAgree(std::span<const uint8_t> bytes) {
  auto in_place = vl::assets::ReadTgaBytes(bytes, "a.tga");
  auto own_buffer = vl::assets::ReadTgaFileBuffer(std::vector<uint8_t>(bytes.begin(), bytes.end()), "a.tga");
  if (in_place.ok() != own_buffer.ok()) __builtin_trap();
  if (!in_place.ok()) {
    if (in_place.error().ToString() != own_buffer.error().ToString()) __builtin_trap();
    return;
  }
  if (in_place->data != own_buffer->data || in_place->width != own_buffer->width ||
      in_place->height != own_buffer->height || in_place->bits_per_pixel != own_buffer->bits_per_pixel)
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  const uint8_t mode = data[0];
  uint32_t colour_len = 0;
  std::memcpy(&colour_len, data + 1, 4);
  std::span<const uint8_t> rest(data + 5, size - 5);
  colour_len = static_cast<uint32_t>(std::min<size_t>(colour_len, rest.size()));
  const auto colour_bytes = rest.first(colour_len), alpha_bytes = rest.subspan(colour_len);
  CheckBothReadsAgree(colour_bytes);

  const std::optional<std::string> colour = (mode & 1) ? std::optional<std::string>("colour.tga") : std::nullopt;
  const std::optional<std::string> alpha = (mode & 2) ? std::optional<std::string>("alpha.tga") : std::nullopt;
  const bool file_buffers = (mode & 8) != 0;
  auto r = vl::assets::BuildTextureImage(
      colour, alpha, (mode & 4) != 0,
      [&](const std::string& name, vl::assets::TgaRole role) -> vl::Expected<vl::assets::TgaImage> {
        const auto bytes = role == vl::assets::TgaRole::kColour ? colour_bytes : alpha_bytes;
        if (file_buffers) return vl::assets::ReadTgaFileBuffer(std::vector<uint8_t>(bytes.begin(), bytes.end()), name);
        return vl::assets::ReadTgaBytes(bytes, name);
      });
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
