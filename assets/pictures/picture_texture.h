// Picture files (JPEG, BMP, GIF, ICO, PNG, WMF, EMF) decoded into texture pixel buffers for the
// image planes, photos and models. Everything up to a buffer ready for upload; the GL side
// (render/) generates the name, uploads and reports failures, keeping the previous texture.
// Uses Qt (QtGui, QtSvg), libwmf and libemf2svg; no OpenGL.
#pragma once
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/load_error.h"

namespace vl::assets {

// The four picture loaders. They differ only in the alpha rule, the upload, and what they
// report back into the scene.
enum class PictureLoader {
  kColourKeyed,  // image plane / model textures: black is transparent, one level
  kMipmapped,    // sequence textures, Gold, Envroll: colour key, then a 3-component mipmap build
  kPhotoA,       // photo A: opaque, one level; natural size goes to photo_a_width/height
  kPhotoB,       // photo B: the same into photo_b_width/height
};

// How the GL side uploads PictureTexture::rgba (format GL_RGBA, GL_UNSIGNED_BYTE either way):
//   kSingleLevelRgba: glTexImage2D level 0, internal format GL_RGBA; min and mag filter GL_LINEAR.
//   kMipmapsRgb:      the levels of gluBuild2DMipmaps with 3 components (the alpha is dropped; see
//                     render/mipmap_upload.h); mag GL_LINEAR,
//                     min GL_LINEAR_MIPMAP_NEAREST.
enum class PictureUpload { kSingleLevelRgba, kMipmapsRgb };

// A size in HIMETRIC units (0.01 mm), as the photo size entries store it.
struct HimetricSize {
  int32_t width = 0;
  int32_t height = 0;
};

// Metafiles (WMF, EMF) are drawn at most this many pixels on a side, whatever texture size GL
// allows, and their decoding and drawing together must finish within kMetafileTimeoutMs.
inline constexpr int32_t kMaxMetafileSide = 4096;
inline constexpr int kMetafileTimeoutMs = 8000;

// The screen resolution that turns HIMETRIC into pixels. Raster pictures are one file pixel
// per screen pixel, so their pixel size comes back unchanged.
inline constexpr int kPictureDpi = 96;

// A decoded picture stretched to its texture size.
struct PictureTexture {
  int32_t width = 0;  // texture size: each side rounded to a power of two or clamped
  int32_t height = 0;
  std::vector<uint8_t> rgba;  // width * height * 4 bytes: R, G, B, A; first row = picture's bottom
  PictureUpload upload = PictureUpload::kSingleLevelRgba;
  int32_t pixel_width = 0;  // natural size in pixels at kPictureDpi, before rounding
  int32_t pixel_height = 0;
  HimetricSize natural;
};

// A load's outcome. `natural_size` is set as soon as the picture opened, even when a later step
// failed: the photo loaders write it into their size entry (at photo_size_slot) either way, and
// clear their layout state only when the upload succeeds.
struct PictureLoad {
  std::optional<HimetricSize> natural_size;
  Expected<PictureTexture> texture = LoadError{};
};

// Decodes the named picture for `loader`. The name is resolved with ResolvePicturePath under the
// scene's `custom_image_mode` against `base` (the program folder). Names containing "http://" are
// never fetched: they fail as a missing file would, whichever loader. A metafile must be decoded
// and drawn within `metafile_time_ms` (at most kMetafileTimeoutMs); with no time left it is not
// started at all.
PictureLoad LoadPictureTexture(std::string_view name, PictureLoader loader, int32_t max_texture_size,
                               int32_t custom_image_mode, const std::filesystem::path& base,
                               int metafile_time_ms = kMetafileTimeoutMs);
// The same over a file already in memory; `name` is only used in messages.
PictureLoad DecodePictureTexture(std::span<const uint8_t> bytes, std::string_view name, PictureLoader loader,
                                 int32_t max_texture_size, int metafile_time_ms = kMetafileTimeoutMs);

// Natural size only (no pixels decoded where the format allows).
Expected<HimetricSize> ReadPictureSize(std::span<const uint8_t> bytes, std::string_view name);

// The pieces, exposed for the tests and the GL side.
// MulDiv-style rounding: himetric * dpi / 2540 to the nearest integer, halves away from zero.
int32_t HimetricToPixels(int32_t himetric, int dpi = kPictureDpi);
int32_t PixelsToHimetric(int32_t pixels, int dpi = kPictureDpi);
// d <= max: the power of two nearest to d in the logarithmic sense, 2^floor(log2(d) + 0.5)
// (700 -> 512, 767 -> 1024); d > max: max. d must be at least 1.
int32_t RoundTextureSide(int32_t d, int32_t max_texture_size);
// Black colour key: alpha 0 exactly where R, G and B are all 0, else 255; opaque sets 255.
void ApplyPictureAlpha(std::span<uint8_t> rgba, PictureLoader loader);

// The built-in 64 x 64 picture shown on the image plane before any sequence names one. Upload:
// the levels of gluBuild2DMipmaps(GL_TEXTURE_2D, 3, width, height, GL_BGR_EXT, GL_UNSIGNED_BYTE,
// bgr) at GL_UNPACK_ALIGNMENT 4, mag GL_LINEAR, min GL_LINEAR_MIPMAP_NEAREST.
struct BuiltinBitmap {
  int32_t width = 0;
  int32_t height = 0;
  std::span<const uint8_t> bgr;  // bottom row first, blue-green-red, rows padded to 4 bytes
};
BuiltinBitmap LoadBuiltinBitmap();

}  // namespace vl::assets
