// Load time and peak memory per asset kind and size, each load in a child process of its own
// (peak resident size from the child's resource usage): metafiles that claim huge drawings, TGA
// particle textures of 4k, 8k and 16k, an 8k JPEG, the 48,000-face model and 3DS files of tens of
// thousands of materials. "asset" rows stop at the buffer ready for upload; "+GL" rows go through
// the player's own loader into a headless GL context (upload and mipmaps included); "loop+GL"
// rows load a whole loop that names one file in every picture slot.
//
//   build/bench/asset_load_bench [--quick]     (--quick leaves out the 16k TGA)
//
// The files are made in a temporary folder and removed afterwards.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QGuiApplication>
#include <QImage>

#include "assets/model_3ds.h"
#include "assets/pictures/picture_texture.h"
#include "assets/tga.h"
#include "engine/asset_paths.h"
#include "engine/scene_state.h"
#include "engine/sequence_loader.h"
#include "platform/headless/headless_context.h"
#include "render/render_assets.h"
#include "tests/hostile_files.h"
#include "tests/measured_child.h"

namespace {

namespace fs = std::filesystem;
using vl::testing::ChildUsage;
using vl::testing::RunMeasured;

void Row(const char* kind, const std::string& what, uint64_t file_bytes, const ChildUsage& u) {
  std::printf("%-10s %-44s %10.1f %10.0f %10.0f %10.0f  %s\n", kind, what.c_str(), double(file_bytes) / 1048576.0,
              u.seconds * 1000.0, double(u.peak_rss) / 1048576.0, double(u.growth()) / 1048576.0,
              u.exited ? u.report.c_str() : ("killed: " + u.Describe()).c_str());
  std::fflush(stdout);
}

ChildUsage Measure(const std::function<std::string()>& load) {
  return RunMeasured(
      [&](std::string& report) {
        report = load();
        return 0;
      },
      /*extra_address_space=*/0, /*timeout_seconds=*/300);
}

std::string PictureResult(const vl::assets::PictureLoad& load) {
  if (!load.texture.ok()) return "refused: " + load.texture.error().message;
  return std::to_string(load.texture.value().width) + " x " + std::to_string(load.texture.value().height);
}

// A JPEG of w x h with some structure in it, written by Qt.
bool WriteJpeg(const fs::path& path, int w, int h) {
  QImage image(w, h, QImage::Format_RGB32);
  for (int y = 0; y < h; ++y) {
    auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < w; ++x) row[x] = qRgb(x & 255, y & 255, (x ^ y) & 255);
  }
  return image.save(QString::fromStdString(path.string()), "JPG", 90);
}

// A load by the player's own asset loader into a headless context (upload and mipmaps included):
// `load` gets the loader and the scene and returns what to print; the first line reported, if
// any, is printed instead.
std::string LoadWithGl(const fs::path& folder,
                       const std::function<std::string(vl::render::RenderAssets&, vl::engine::SceneState&)>& load) {
  std::string error;
  auto gl = vl::headless::HeadlessContext::Create(16, 16, &error);
  if (!gl) return "no GL context: " + error;
  vl::SetProgramFolder(folder);
  auto scene = std::make_unique<vl::engine::SceneState>();
  vl::render::RenderAssets assets;
  std::string reported;
  int reports = 0;
  assets.set_reporter([&](const std::string& line) {
    if (reports++ == 0) reported = line;
  });
  std::string result = load(assets, *scene);
  if (reports == 0) return result;
  return std::to_string(reports) + " refused, first: " + reported.substr(0, 120);
}

std::string LoadLoop(vl::render::RenderAssets& assets, vl::engine::SceneState& scene, const std::string& loop) {
  if (auto status = vl::engine::LoadSequence(scene, loop, assets)) return "refused: " + status->message;
  return "loaded";
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  int qt_argc = 3;
  char arg0[] = "asset_load_bench", arg1[] = "-platform", arg2[] = "offscreen";
  char* qt_argv[] = {arg0, arg1, arg2, nullptr};
  QGuiApplication app(qt_argc, qt_argv);

  const fs::path dir = fs::temp_directory_path() / ("vl_asset_load_bench_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::printf("%-10s %-44s %10s %10s %10s %10s  %s\n", "kind", "file", "file MB", "load ms", "peak MB", "growth MB",
              "result");

  // Metafiles: decoded and drawn for a GL that allows 16384 x 16384 textures.
  struct Picture {
    const char* what;
    std::vector<uint8_t> bytes;
    vl::assets::PictureLoader loader;
  };
  const Picture metafiles[] = {
      {"WMF +-32767 at 1 unit/inch (photo)", vl::hostile::WmfBomb(), vl::assets::PictureLoader::kPhotoA},
      {"EMF 60,000 px frame (sequence texture)", vl::hostile::EmfBomb(60000, 1), vl::assets::PictureLoader::kMipmapped},
      {"EMF 1,000 full-frame rectangles", vl::hostile::EmfBomb(60000, 1000), vl::assets::PictureLoader::kColourKeyed},
  };
  for (const Picture& p : metafiles) {
    Row("metafile", p.what, p.bytes.size(),
        Measure([&] { return PictureResult(vl::assets::DecodePictureTexture(p.bytes, p.what, p.loader, 16384)); }));
  }
  // The same files named in every picture slot of a loop, loaded by the player into GL.
  struct LoopCase {
    const char* what;
    std::vector<uint8_t> bytes;
    const char* file;
  };
  const LoopCase loops[] = {
      {"loop: WMF bomb in all 11 picture slots", vl::hostile::WmfBomb(), "bomb.wmf"},
      {"loop: 1,000-rectangle EMF in all 11 slots", vl::hostile::EmfBomb(60000, 1000), "rects.emf"},
  };
  for (const LoopCase& l : loops) {
    vl::hostile::WriteBytes(dir / l.file, l.bytes);
    const std::string loop = std::string(l.file) + ".txt";
    vl::hostile::WriteBytes(dir / loop, [&] {
      const std::string text = vl::hostile::EveryPictureSlot(l.file);
      return std::vector<uint8_t>(text.begin(), text.end());
    }());
    Row("loop+GL", l.what, l.bytes.size(), Measure([&] {
          return LoadWithGl(dir, [&](auto& assets, auto& scene) { return LoadLoop(assets, scene, loop); });
        }));
  }

  // An 8k JPEG photo.
  const fs::path jpeg = dir / "photo8k.jpg";
  if (WriteJpeg(jpeg, 8192, 8192)) {
    Row("picture", "JPEG 8192 x 8192 (photo)", fs::file_size(jpeg), Measure([&] {
          return PictureResult(
              vl::assets::LoadPictureTexture("photo8k.jpg", vl::assets::PictureLoader::kPhotoA, 16384, 0, dir));
        }));
    Row("picture+GL", "JPEG 8192 x 8192 (photo)", fs::file_size(jpeg), Measure([&] {
          return LoadWithGl(dir, [](auto& assets, auto& scene) {
            assets.LoadPhotoTextureA(scene, "photo8k.jpg");
            return std::string("uploaded");
          });
        }));
    Row("picture+GL", "JPEG 8192 x 8192 (sequence texture, mipmapped)", fs::file_size(jpeg), Measure([&] {
          return LoadWithGl(dir, [](auto& assets, auto& scene) {
            assets.LoadPictureTextureMipmapped(scene, "photo8k.jpg", vl::engine::TextureSlot::text_texture);
            return std::string("uploaded");
          });
        }));
  }
  fs::remove(jpeg);

  // TGA particle textures, read alone and then loaded by the player into GL.
  for (int size : {4096, 8192, 16384}) {
    if (quick && size == 16384) continue;
    const int height = size;
    const int width = size == 16384 ? 16383 : size;  // the largest a 32-bit TGA under 1 GB can be
    const fs::path tga = dir / ("particle" + std::to_string(size) + ".tga");
    if (!vl::hostile::WriteTga(tga, width, height, 32)) continue;
    const std::string what = "TGA " + std::to_string(width) + " x " + std::to_string(height) + " 32-bit";
    Row("asset", what, fs::file_size(tga), Measure([&] {
          auto r = vl::assets::LoadTextureImage(tga.string(), std::nullopt, true);
          return r.ok() ? std::string(vl::assets::TexelFormatName(r.image->format)) : "refused: " + r.error.text;
        }));
    Row("asset+GL", what, fs::file_size(tga), Measure([&] {
          return LoadWithGl(dir, [&](auto& assets, auto& scene) {
            assets.LoadParticleTexture(scene, tga.filename().string());
            return std::string("uploaded");
          });
        }));
    fs::remove(tga);
  }

  // 3DS: the largest sample model, and files of many materials matched by many face materials.
  const fs::path asteroid =
      fs::path(VL_BIN_DIR) / "../test-data/glmark2-data/usr/share/glmark2/models/asteroid-high.3ds";
  if (fs::exists(asteroid)) {
    Row("3DS", "asteroid-high.3ds (48,000 faces)", fs::file_size(asteroid), Measure([&] {
          vl::Model model;
          auto r = vl::Import3ds(asteroid, model);
          return r ? std::to_string(model.objects[0].face_count) + " faces" : "refused: " + r.error().message;
        }));
  } else {
    std::printf("3DS        asteroid-high.3ds: not fetched (scripts/fetch-test-data)\n");
  }
  for (size_t count : {size_t{65'535}, size_t{150'000}}) {
    const fs::path file = dir / "materials.3ds";
    const auto bytes = vl::hostile::ManyMaterials3ds(count);
    vl::hostile::WriteBytes(file, bytes);
    Row("3DS", std::to_string(count) + " materials + face materials", bytes.size(), Measure([&] {
          vl::Model model;
          auto r = vl::Import3ds(file, model);
          return r ? std::to_string(model.material_count) + " materials" : "refused: " + r.error().message;
        }));
    fs::remove(file);
  }
  for (size_t count : {size_t{20'000'000}}) {
    const fs::path file = dir / "objects.3ds";
    const auto bytes = vl::hostile::EmptyObjects3ds(count);
    vl::hostile::WriteBytes(file, bytes);
    Row("3DS", "20,000,000 empty objects", bytes.size(), Measure([&] {
          vl::Model model;
          auto r = vl::Import3ds(file, model);
          return r ? "loaded" : "refused: " + r.error().message;
        }));
    fs::remove(file);
  }
  fs::remove_all(dir);
  return 0;
}
