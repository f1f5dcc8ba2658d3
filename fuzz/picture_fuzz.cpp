// Fuzzes picture decoding (JPEG, BMP, GIF, ICO, PNG through Qt; WMF through libwmf; EMF through
// libemf2svg) into texture buffers, and the size reading the photo loaders do first. The first
// byte picks the loader variant.
#include <cstddef>
#include <cstdint>
#include <span>

#include "assets/pictures/picture_texture.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using vl::assets::PictureLoader;
  if (size < 1) return 0;
  const PictureLoader loaders[4] = {PictureLoader::kColourKeyed, PictureLoader::kMipmapped, PictureLoader::kPhotoA,
                                    PictureLoader::kPhotoB};
  const std::span<const uint8_t> file(data + 1, size - 1);
  const auto load = vl::assets::DecodePictureTexture(file, "fuzz.pic", loaders[data[0] & 3],
                                                     /*max_texture_size=*/1024);
  if (load.texture.ok()) {
    const auto& t = load.texture.value();
    // What we hand to GL must match its size.
    if (t.rgba.size() != static_cast<size_t>(t.width) * static_cast<size_t>(t.height) * 4) __builtin_trap();
  }
  // A size read alone must agree with the size the full decode found.
  const auto size_only = vl::assets::ReadPictureSize(file, "fuzz.pic");
  if (size_only.ok() && load.texture.ok() &&
      (size_only.value().width != load.texture.value().natural.width ||
       size_only.value().height != load.texture.value().natural.height))
    __builtin_trap();
  return 0;
}
