// Uncompressed TGA files and the colour/alpha texture pairs built from them for the particle
// textures. Everything up to a pixel buffer ready for upload; the GL side only uploads it.
// No OpenGL, no Qt.
#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/load_error.h"

namespace vl::assets {

// A TGA file as stored: the pixel bytes in file order (blue, green, red[, alpha] for colour
// images, one byte per pixel for 8-bit files), first row = bottom row.
struct TgaImage {
  std::vector<uint8_t> data;
  int32_t bits_per_pixel = 0;
  int32_t width = 0;
  int32_t height = 0;
};

// Reads an uncompressed TGA. Only two 12-byte header forms are accepted, byte for byte:
// plain true-colour (type 2, no image id, origin 0,0) and colour-mapped (type 1 with a map of
// 256 24-bit entries starting at 0). 8-bit files carry a 768-byte colour map that is skipped
// whatever the header says. Anything after the pixels (a TGA 2.0 footer, say) is ignored.
Expected<TgaImage> ReadTga(const std::filesystem::path& path);
Expected<TgaImage> ReadTgaBytes(std::span<const uint8_t> bytes, const std::string& file_name);
// What ReadTga does with the file once it is read whole: the file's own buffer becomes the pixel
// buffer (the header moved out of the way in place), so a large texture is held once, not twice.
Expected<TgaImage> ReadTgaFileBuffer(std::vector<uint8_t> file, const std::string& file_name);

// The pixel format of a texture pair's buffer; the renderer maps it to GL_RGB, GL_RGBA or
// GL_ALPHA (the same value serves as format and, through `components`, internal format).
enum class TexelFormat { kRgb, kRgba, kAlpha };
const char* TexelFormatName(TexelFormat format);  // "GL_RGB", "GL_RGBA", "GL_ALPHA"

// A texture built from a colour file, an alpha file or both, ready for upload:
//   glTexImage2D(GL_TEXTURE_2D, 0, components, width, height, 0, <format>, GL_UNSIGNED_BYTE, pixels)
// or, with build_mipmaps, every mipmap level as gluBuild2DMipmaps(GL_TEXTURE_2D, components, width,
// height, <format>, GL_UNSIGNED_BYTE, pixels) makes them (render/mipmap_upload.h builds the same
// levels in the pixel buffer itself).
// Colour bytes are already red, green, blue[, alpha]; rows are bottom-up, packed without padding
// (a GL_RGB upload needs GL_UNPACK_ALIGNMENT 1 when width * 3 is not a multiple of 4).
struct TexturePixels {
  TexelFormat format = TexelFormat::kRgb;
  int32_t width = 0;
  int32_t height = 0;
  int32_t components = 3;  // 4 for kRgba, 1 for kAlpha, else 3
  std::vector<uint8_t> pixels;
  bool build_mipmaps = false;
  std::optional<std::string> colour_file;  // the names as given to the load
  std::optional<std::string> alpha_file;
};

// Why a texture pair did not load. `text` is the loader's own line,
// "Failed to load Texture (<colour>, <alpha>). Reason: <reason>", where a missing name prints
// as "(null)" (what the C library's printf shows for a null string). `detail` says which file
// failed and where, when a file could not be read.
struct TextureImageError {
  std::string text;
  std::optional<LoadError> detail;
};

struct TextureImageResult {
  std::optional<TexturePixels> image;  // set on success
  TextureImageError error;             // set on failure
  bool ok() const { return image.has_value(); }
};

// Builds a texture pair from the named files (either may be absent). With a base folder the
// names go through ResolveAssetPath (loop names: backslashes, letter case); without, they are
// opened exactly as given. The alpha file is not read at all when the colour file has 32 bits.
TextureImageResult LoadTextureImage(const std::optional<std::string>& colour_file,
                                    const std::optional<std::string>& alpha_file, bool build_mipmaps,
                                    const std::optional<std::filesystem::path>& base = std::nullopt);

// The same over files already in memory (the names are only printed).
struct NamedBytes {
  std::string name;
  std::span<const uint8_t> bytes;
};
TextureImageResult LoadTextureImageFromBytes(const std::optional<NamedBytes>& colour,
                                             const std::optional<NamedBytes>& alpha, bool build_mipmaps);

// The builder itself, reading each file through `read` only when it is needed.
enum class TgaRole { kColour, kAlpha };
using TgaSourceReader = std::function<Expected<TgaImage>(const std::string& name, TgaRole role)>;
TextureImageResult BuildTextureImage(const std::optional<std::string>& colour_file,
                                     const std::optional<std::string>& alpha_file, bool build_mipmaps,
                                     const TgaSourceReader& read);

}  // namespace vl::assets
