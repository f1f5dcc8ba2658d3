// Texture loading figures: the TGA pair builder (read, merge, swap) and picture decoding to a
// texture buffer, at the sizes the program uses.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "assets/pictures/picture_texture.h"
#include "assets/tga.h"
#include "engine/asset_paths.h"

namespace {

std::vector<uint8_t> MakeTga(int n, int bits) {
  std::vector<uint8_t> f = {
      0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, uint8_t(n), uint8_t(n >> 8), uint8_t(n), uint8_t(n >> 8), uint8_t(bits), 0};
  if (bits == 8) f.insert(f.end(), 768, 0);
  for (size_t i = 0; i < size_t(n) * n * (bits / 8); ++i) f.push_back(uint8_t(i * 31));
  return f;
}

void BM_TgaPairMerge(benchmark::State& state) {
  const int n = int(state.range(0));
  auto colour = MakeTga(n, 24), alpha = MakeTga(n, 8);
  for (auto _ : state) {
    auto r = vl::assets::LoadTextureImageFromBytes(vl::assets::NamedBytes{"c", colour},
                                                   vl::assets::NamedBytes{"a", alpha}, true);
    benchmark::DoNotOptimize(r.image->pixels.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * n * n * 4);
}
BENCHMARK(BM_TgaPairMerge)->Arg(64)->Arg(512)->Arg(2048);

void BM_Tga32Alone(benchmark::State& state) {
  const int n = int(state.range(0));
  auto colour = MakeTga(n, 32);
  for (auto _ : state) {
    auto r = vl::assets::LoadTextureImageFromBytes(vl::assets::NamedBytes{"c", colour}, std::nullopt, true);
    benchmark::DoNotOptimize(r.image->pixels.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * n * n * 4);
}
BENCHMARK(BM_Tga32Alone)->Arg(64)->Arg(512);

// The default pictures drawn beside the programs at build time.
void BM_DefaultPicture(benchmark::State& state, const char* name, vl::assets::PictureLoader loader) {
  auto path = vl::ResolveAssetPath(name, VL_BIN_DIR);
  if (!path) {
    state.SkipWithError("default pictures not built");
    return;
  }
  auto bytes = vl::ReadFileBytes(*path);
  for (auto _ : state) {
    auto load = vl::assets::DecodePictureTexture(*bytes, name, loader, 2048);
    benchmark::DoNotOptimize(load.texture.ok());
  }
}
BENCHMARK_CAPTURE(BM_DefaultPicture, photo_jpeg_512x384, "Images/video-girl.jpg", vl::assets::PictureLoader::kPhotoA);
BENCHMARK_CAPTURE(BM_DefaultPicture, gold_jpeg_256, "Textures/Gold.jpg", vl::assets::PictureLoader::kMipmapped);
BENCHMARK_CAPTURE(BM_DefaultPicture, envroll_bmp_256, "Particles/Envroll.bmp", vl::assets::PictureLoader::kMipmapped);

}  // namespace

BENCHMARK_MAIN();
