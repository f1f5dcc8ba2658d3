#include "assets/tga.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <utility>

#include "engine/asset_paths.h"
#include "engine/byte_reader.h"

namespace vl::assets {
namespace {

constexpr std::array<uint8_t, 12> kTrueColourHeader = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0};
// Colour-mapped: map type 1, image type 1, first entry 0, 256 entries (0x0100), 24 bits.
constexpr std::array<uint8_t, 12> kColourMappedHeader = {0, 1, 1, 0, 0, 0, 1, 0x18, 0, 0, 0, 0};
constexpr size_t kColourMapBytes = 768;

LoadError TgaError(const std::string& file, uint64_t offset, const char* field, std::string message) {
  return LoadError{file, std::move(message), offset, field};
}

}  // namespace

namespace {

// Where a TGA's pixels are: the header checked, the image's fields set, data left empty.
struct TgaLayout {
  TgaImage image;
  size_t pixel_offset = 0;
  size_t pixel_bytes = 0;
};

Expected<TgaLayout> ReadTgaHeader(std::span<const uint8_t> bytes, const std::string& file_name) {
  ByteReader in(bytes);
  std::array<uint8_t, 12> fixed{};
  if (!in.Read(fixed))
    return TgaError(file_name, 0, "header",
                    "file is " + std::to_string(bytes.size()) + " bytes, shorter than the 18-byte TGA header");
  if (fixed != kTrueColourHeader && fixed != kColourMappedHeader)
    return TgaError(file_name, 0, "header",
                    "not a supported TGA: only uncompressed true-colour (type 2) or 256-entry colour-mapped "
                    "(type 1) files with no image id and origin 0,0 are read");
  uint16_t width = 0, height = 0;
  uint8_t bits = 0, descriptor = 0;
  if (!in.Read(width) || !in.Read(height) || !in.Read(bits) || !in.Read(descriptor))
    return TgaError(file_name, in.offset(), "header", "file ends inside the 18-byte TGA header");

  TgaLayout layout;
  layout.image.width = width;
  layout.image.height = height;
  layout.image.bits_per_pixel = bits;
  // The image descriptor (origin corner, alpha bits) is not looked at: rows are taken in file
  // order, and the usual bottom-up order is what GL expects.
  const uint64_t bytes_per_pixel = bits / 8u;
  if (bytes_per_pixel == 1 && !in.Skip(kColourMapBytes))
    return TgaError(file_name, in.offset(), "colour map",
                    "file ends inside the 768-byte colour map (" + std::to_string(in.remaining()) + " bytes remain)");

  // At most 65535 * 65535 * 31: fits easily in 64 bits.
  const uint64_t size = uint64_t{width} * height * bytes_per_pixel;
  if (size > in.remaining())
    return TgaError(file_name, in.offset(), "pixel data",
                    "pixel data needs " + std::to_string(size) + " bytes (" + std::to_string(width) + " x " +
                        std::to_string(height) + " x " + std::to_string(bytes_per_pixel) + "), only " +
                        std::to_string(in.remaining()) + " remain");
  layout.pixel_offset = in.position();
  layout.pixel_bytes = static_cast<size_t>(size);
  return layout;
}

}  // namespace

Expected<TgaImage> ReadTgaBytes(std::span<const uint8_t> bytes, const std::string& file_name) {
  auto layout = ReadTgaHeader(bytes, file_name);
  if (!layout) return layout.error();
  const auto pixels = bytes.subspan(layout->pixel_offset, layout->pixel_bytes);
  try {
    layout->image.data.assign(pixels.begin(), pixels.end());
  } catch (const std::bad_alloc&) {
    return TgaError(file_name, layout->pixel_offset, "pixel data",
                    "not enough memory for " + std::to_string(layout->pixel_bytes) + " bytes of pixels");
  }
  return std::move(layout->image);
}

Expected<TgaImage> ReadTgaFileBuffer(std::vector<uint8_t> file, const std::string& file_name) {
  auto layout = ReadTgaHeader(file, file_name);
  if (!layout) return layout.error();
  file.erase(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(layout->pixel_offset));
  file.resize(layout->pixel_bytes);
  layout->image.data = std::move(file);
  return std::move(layout->image);
}

Expected<TgaImage> ReadTga(const std::filesystem::path& path) {
  auto bytes = ReadFileBytes(path);
  if (!bytes) return bytes.error();
  return ReadTgaFileBuffer(std::move(*bytes), path.string());
}

const char* TexelFormatName(TexelFormat format) {
  switch (format) {
    case TexelFormat::kRgb: return "GL_RGB";
    case TexelFormat::kRgba: return "GL_RGBA";
    case TexelFormat::kAlpha: return "GL_ALPHA";
  }
  return "?";
}

TextureImageResult BuildTextureImage(const std::optional<std::string>& colour_file,
                                     const std::optional<std::string>& alpha_file, bool build_mipmaps,
                                     const TgaSourceReader& read) {
  auto fail = [&](const char* reason, std::optional<LoadError> detail = std::nullopt) {
    TextureImageResult r;
    r.error.text = "Failed to load Texture (" + colour_file.value_or("(null)") + ", " + alpha_file.value_or("(null)") +
                   "). Reason: " + reason;
    r.error.detail = std::move(detail);
    return r;
  };
  if (!colour_file && !alpha_file)
    return fail("No colour or alpha file given.",
                LoadError{"", "a texture needs a colour file, an alpha file or both", {}, {}});

  TexturePixels out;
  out.format = TexelFormat::kRgb;
  out.build_mipmaps = build_mipmaps;
  out.colour_file = colour_file;
  out.alpha_file = alpha_file;

  std::optional<TgaImage> colour;
  if (colour_file) {
    auto c = read(*colour_file, TgaRole::kColour);
    if (!c) return fail("Failed to load RGB file.", c.error());
    colour = std::move(*c);
    out.width = colour->width;
    out.height = colour->height;
    if (colour->bits_per_pixel == 32) {
      out.format = TexelFormat::kRgba;
      out.pixels = std::move(colour->data);
    }
  } else {
    out.format = TexelFormat::kAlpha;
  }

  if (out.format != TexelFormat::kRgba) {
    if (alpha_file) {
      auto a = read(*alpha_file, TgaRole::kAlpha);
      if (!a) return fail("Failed to load alpha file.", a.error());
      const TgaImage& alpha = *a;
      if (colour && colour->bits_per_pixel != 24)
        return fail("RGB file not in 8 Bit format!",
                    LoadError{*colour_file,
                              "a colour file paired with an alpha file must have 24 bits per pixel, not " +
                                  std::to_string(colour->bits_per_pixel),
                              16, "bits per pixel"});
      if (alpha.bits_per_pixel != 8)
        return fail("Alpha file not in 8 bit format.",
                    LoadError{*alpha_file,
                              "an alpha file must have 8 bits per pixel, not " + std::to_string(alpha.bits_per_pixel),
                              16, "bits per pixel"});
      if (colour && (alpha.width != colour->width || alpha.height != colour->height))
        return fail(
            "Alpha size does not eqal RGB size.",
            LoadError{*alpha_file,
                      "alpha file is " + std::to_string(alpha.width) + " x " + std::to_string(alpha.height) +
                          ", colour file is " + std::to_string(colour->width) + " x " + std::to_string(colour->height),
                      12, "width, height"});
      const size_t count = size_t(alpha.width) * size_t(alpha.height);
      if (!colour) {
        out.width = alpha.width;
        out.height = alpha.height;
        out.pixels = alpha.data;
        out.format = TexelFormat::kAlpha;
      } else {
        try {
          out.pixels.resize(count * 4);
        } catch (const std::bad_alloc&) {
          return fail(
              "Out of memory.",
              LoadError{*colour_file, "no memory for a " + std::to_string(count * 4) + "-byte merged texture", {}, {}});
        }
        const uint8_t* c = colour->data.data();
        const uint8_t* al = alpha.data.data();
        uint8_t* o = out.pixels.data();
        for (size_t i = 0; i < count; ++i) {
          o[4 * i + 0] = c[3 * i + 0];
          o[4 * i + 1] = c[3 * i + 1];
          o[4 * i + 2] = c[3 * i + 2];
          o[4 * i + 3] = al[i];
        }
        out.format = TexelFormat::kRgba;
      }
    } else {
      // A colour file alone is uploaded as GL_RGB: its pixels must be exactly 3 bytes, or the
      // upload would read the wrong number of bytes (past the end, for 8- and 16-bit files).
      if (colour->bits_per_pixel / 8 != 3)
        return fail("RGB file not in 24 or 32 bit format.",
                    LoadError{*colour_file,
                              "a colour file given alone must have 24 or 32 bits per pixel, not " +
                                  std::to_string(colour->bits_per_pixel),
                              16, "bits per pixel"});
      out.pixels = std::move(colour->data);
    }
  }

  out.components = out.format == TexelFormat::kRgba ? 4 : out.format == TexelFormat::kAlpha ? 1 : 3;
  if (out.components > 1) {
    const size_t count = size_t(out.width) * size_t(out.height);
    const size_t step = size_t(out.components);
    uint8_t* p = out.pixels.data();
    for (size_t i = 0; i < count; ++i) std::swap(p[i * step], p[i * step + 2]);
  }
  TextureImageResult r;
  r.image = std::move(out);
  return r;
}

TextureImageResult LoadTextureImage(const std::optional<std::string>& colour_file,
                                    const std::optional<std::string>& alpha_file, bool build_mipmaps,
                                    const std::optional<std::filesystem::path>& base) {
  return BuildTextureImage(colour_file, alpha_file, build_mipmaps,
                           [&](const std::string& name, TgaRole) -> Expected<TgaImage> {
                             if (!base) return ReadTga(std::filesystem::path(name));
                             auto path = FindAssetFile(name, *base);
                             if (!path) return path.error();
                             return ReadTga(*path);
                           });
}

TextureImageResult LoadTextureImageFromBytes(const std::optional<NamedBytes>& colour,
                                             const std::optional<NamedBytes>& alpha, bool build_mipmaps) {
  std::optional<std::string> colour_name, alpha_name;
  if (colour) colour_name = colour->name;
  if (alpha) alpha_name = alpha->name;
  return BuildTextureImage(colour_name, alpha_name, build_mipmaps,
                           [&](const std::string& name, TgaRole role) -> Expected<TgaImage> {
                             const NamedBytes& file = role == TgaRole::kColour ? *colour : *alpha;
                             return ReadTgaBytes(file.bytes, name);
                           });
}

}  // namespace vl::assets
