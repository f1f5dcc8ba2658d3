// The default pictures drawn at build time must sit beside the programs and load with the
// loaders that use them at start-up.
#include <gtest/gtest.h>

#include "assets/pictures/picture_texture.h"
#include "assets/tga.h"

namespace vl::assets {
namespace {

TEST(DefaultPictures, LoadFromTheProgramFolder) {
  struct Case {
    const char* name;
    PictureLoader loader;
  } cases[] = {
      {"Images/video-girl.jpg", PictureLoader::kPhotoA},
      {"Images/sleeping-dog.jpg", PictureLoader::kPhotoB},
      {"Particles/Envroll.bmp", PictureLoader::kMipmapped},
      {"Textures/Gold.jpg", PictureLoader::kMipmapped},
  };
  for (const Case& c : cases) {
    auto load = LoadPictureTexture(c.name, c.loader, 2048, 0, VL_BIN_DIR);
    ASSERT_TRUE(load.texture.ok()) << load.texture.error().ToString();
    EXPECT_GE(load.texture->width, 256) << c.name;
    EXPECT_GE(load.texture->height, 256) << c.name;
  }
  // The particle is a 32-bit file: RGBA with its own soft alpha, clear at the corners, solid
  // at the centre.
  auto particle = LoadTextureImage(std::string("Particles/particle.tga"), std::nullopt, true, VL_BIN_DIR);
  ASSERT_TRUE(particle.ok()) << particle.error.text;
  const TexturePixels& p = *particle.image;
  EXPECT_EQ(p.format, TexelFormat::kRgba);
  EXPECT_EQ(p.width, 64);
  EXPECT_EQ(p.pixels[3], 0);
  EXPECT_EQ(p.pixels[(32 * 64 + 32) * 4 + 3], 255);
}

}  // namespace
}  // namespace vl::assets
