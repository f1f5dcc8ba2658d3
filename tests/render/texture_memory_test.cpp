// What a large texture costs to load into GL, measured in a child process: at most twice the
// texture as GL keeps it (four bytes a texel, every mipmap level) plus 64 MB, counted from the
// moment the child's GL context exists.
#include <gtest/gtest.h>

#include <GL/gl.h>
#include <unistd.h>

#include <QImage>

#include <filesystem>
#include <memory>
#include <string>

#include "engine/asset_paths.h"
#include "engine/scene_state.h"
#include "platform/headless/headless_context.h"
#include "render/render_assets.h"
#include "tests/hostile_files.h"
#include "tests/measured_child.h"
#include "tests/render/gl_test_context.h"

namespace {

namespace fs = std::filesystem;
using vl::testing::ChildUsage;
using vl::testing::RunMeasured;

constexpr uint64_t kMegabyte = uint64_t{1} << 20;

uint64_t ChainBytes(uint64_t w, uint64_t h) {
  uint64_t bytes = 0;
  for (;; w = w > 1 ? w / 2 : 1, h = h > 1 ? h / 2 : 1) {
    bytes += w * h * 4;
    if (w == 1 && h == 1) return bytes;
  }
}

// Loads `file` from `dir` into one texture slot in a measured child. The report: resident bytes
// once the GL context exists, the width of the texture's level 0, then the message the load
// reported (empty when it reported none).
ChildUsage LoadInChild(const fs::path& dir, const std::string& file, vl::engine::TextureSlot slot,
                       void (vl::render::RenderAssets::*load)(vl::engine::SceneState&, const std::string&)) {
  return RunMeasured(
      [&](std::string& report) {
        auto gl = vl::test::ChildGlContext(report);
        if (!gl) return 1;
        const uint64_t base = vl::testing::ResidentBytes();
        vl::SetProgramFolder(dir);
        auto scene = std::make_unique<vl::engine::SceneState>();
        vl::render::RenderAssets assets;
        std::string reported;
        assets.set_reporter([&](const std::string& line) { reported = line; });
        (assets.*load)(*scene, file);
        GLint w = 0;
        glBindTexture(GL_TEXTURE_2D, scene->texture(slot));
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &w);
        report = std::to_string(base) + " " + std::to_string(w) + " " + reported;
        return reported.empty() ? 0 : 1;
      },
      /*extra_address_space=*/0, /*timeout_seconds=*/120);
}

TEST(TextureMemory, AParticleTextureLoadHoldsThePixelsAndTheTextureOnly) {
  {
    VL_REQUIRE_GL(probe, 16, 16);  // skips (or fails under CI) without GL, before any file is written
  }
  struct Case {
    int w, h, bits;
    int texture;  // the power-of-two side GL gets
  };
  const Case cases[] = {
      {8192, 8192, 32, 8192},  // as it is: mipmaps made in the file's own buffer
      {7000, 7000, 24, 8192},  // resized up first: the picture goes before the texture is made
  };
  const fs::path dir = fs::temp_directory_path() / ("vl_texture_memory_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.w) + " x " + std::to_string(c.h) + " x " + std::to_string(c.bits));
    ASSERT_TRUE(vl::hostile::WriteTga(dir / "big.tga", c.w, c.h, c.bits));
    const ChildUsage run = LoadInChild(dir, "big.tga", vl::engine::TextureSlot::particle_texture,
                                       &vl::render::RenderAssets::LoadParticleTexture);
    fs::remove(dir / "big.tga");
    ASSERT_TRUE(run.exited && run.exit_code == 0) << run.Describe();
    const uint64_t base = std::stoull(run.report);
    EXPECT_EQ(run.report.substr(run.report.find(' ') + 1), std::to_string(c.texture) + " ");
    const uint64_t texture = ChainBytes(uint64_t(c.texture), uint64_t(c.texture));
    EXPECT_LE(run.peak_rss - base, 2 * texture + 64 * kMegabyte)
        << "texture " << (texture >> 20) << " MB; " << run.Describe();
  }
  fs::remove_all(dir);
}

TEST(TextureMemory, AnEightKPhotoLoads) {
  { VL_REQUIRE_GL(probe, 16, 16); }
  const fs::path dir = fs::temp_directory_path() / ("vl_photo_memory_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  {
    QImage image(8192, 8192, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y) {
      auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
      for (int x = 0; x < image.width(); ++x) row[x] = qRgb(x & 255, y & 255, (x ^ y) & 255);
    }
    ASSERT_TRUE(image.save(QString::fromStdString((dir / "photo.jpg").string()), "JPG", 90));
  }
  const ChildUsage run = LoadInChild(dir, "photo.jpg", vl::engine::TextureSlot::photo_a_texture,
                                     &vl::render::RenderAssets::LoadPhotoTextureA);
  fs::remove_all(dir);
  ASSERT_TRUE(run.exited && run.exit_code == 0) << run.Describe();
  EXPECT_EQ(run.report.substr(run.report.find(' ') + 1), "8192 ");
  const uint64_t texture = uint64_t{8192} * 8192 * 4;  // one level
  EXPECT_LE(run.peak_rss - std::stoull(run.report), 2 * texture + 64 * kMegabyte) << run.Describe();
}

}  // namespace
