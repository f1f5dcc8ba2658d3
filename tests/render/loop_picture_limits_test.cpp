// A loop that names one hostile metafile in every picture slot, loaded by the player's own asset
// loader in a measured child: the file is decoded once for the whole loop, the slots share or copy
// its texture, and the load stays within 1 GB and 10 s however slow the drawing is.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "engine/asset_paths.h"
#include "engine/scene_state.h"
#include "engine/sequence_loader.h"
#include "platform/headless/headless_context.h"
#include "render/render_assets.h"
#include "tests/hostile_files.h"
#include "tests/measured_child.h"
#include "tests/render/gl_test_context.h"

namespace {

namespace fs = std::filesystem;
using vl::engine::TextureSlot;
using vl::testing::ChildUsage;
using vl::testing::RunMeasured;

constexpr uint64_t kGigabyte = uint64_t{1} << 30;

// Loads the loop in a child. The report: the number of slot failures reported, then for each
// picture slot the texture it holds, in slot order.
ChildUsage LoadInChild(const fs::path& dir, const std::string& loop) {
  return RunMeasured(
      [&](std::string& report) {
        auto gl = vl::test::ChildGlContext(report);
        if (!gl) return 1;
        vl::SetProgramFolder(dir);
        auto scene = std::make_unique<vl::engine::SceneState>();
        vl::render::RenderAssets assets;
        int failures = 0;
        std::string last;
        assets.set_reporter([&](const std::string& line) {
          ++failures;
          last = line;
        });
        if (auto status = vl::engine::LoadSequence(*scene, loop, assets)) {
          report = status->ToString();
          return 1;
        }
        report = std::to_string(failures);
        for (TextureSlot slot :
             {TextureSlot::text_texture, TextureSlot::custom_image_texture, TextureSlot::sprite_texture,
              TextureSlot::fountain_texture, TextureSlot::tunnel_texture, TextureSlot::backdrop_1_texture,
              TextureSlot::backdrop_2_texture, TextureSlot::model_1_texture, TextureSlot::model_2_texture,
              TextureSlot::model_3_texture, TextureSlot::photo_a_texture, TextureSlot::photo_b_texture})
          report += " " + std::to_string(scene->texture(slot));
        report += "\n" + last;
        return 0;
      },
      /*extra_address_space=*/3 * kGigabyte, /*timeout_seconds=*/60);
}

class LoopPictureLimits : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("vl_loop_pictures_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(LoopPictureLimits, OneMetafileBombInEverySlotIsDrawnOnce) {
  VL_REQUIRE_GL(probe, 16, 16);
  probe.reset();
  ASSERT_TRUE(vl::hostile::WriteBytes(dir_ / "bomb.wmf", vl::hostile::WmfBomb()));
  std::ofstream(dir_ / "bombs.txt") << vl::hostile::EveryPictureSlot("bomb.wmf");
  const ChildUsage run = LoadInChild(dir_, "bombs.txt");
  ASSERT_TRUE(run.exited && run.exit_code == 0) << run.Describe();
  EXPECT_LE(run.peak_rss, kGigabyte) << run.Describe();
  EXPECT_LE(run.seconds, 10.0) << run.Describe();

  // No failures; mipmapped slots (sequence texture twice, the model textures) each have their
  // own texture, the colour-keyed slots one between them, the photos another.
  std::istringstream in(run.report);
  int failures = -1;
  in >> failures;
  EXPECT_EQ(failures, 0) << run.report;
  uint32_t t[12] = {};
  for (uint32_t& name : t) in >> name;
  for (uint32_t name : t) EXPECT_NE(name, 0u) << run.report;
  const std::set<uint32_t> mipmapped = {t[0], t[1], t[7], t[8], t[9]};
  EXPECT_EQ(mipmapped.size(), 5u) << run.report;
  for (int i = 3; i <= 6; ++i) EXPECT_EQ(t[i], t[2]) << run.report;
  EXPECT_EQ(t[10], t[11]) << run.report;
  EXPECT_EQ(mipmapped.count(t[2]) + mipmapped.count(t[10]), 0u) << run.report;
}

TEST_F(LoopPictureLimits, ASlowMetafileInEverySlotSpendsOneTimeLimit) {
  VL_REQUIRE_GL(probe, 16, 16);
  probe.reset();
  // A thousand full-frame rectangles: it draws in time or it fails, once, for every slot (the
  // other loaders take the colours it drew, however little time is left).
  ASSERT_TRUE(vl::hostile::WriteBytes(dir_ / "rects.emf", vl::hostile::EmfBomb(60000, 1000)));
  std::ofstream(dir_ / "rects.txt") << vl::hostile::EveryPictureSlot("rects.emf");
  const ChildUsage run = LoadInChild(dir_, "rects.txt");
  ASSERT_TRUE(run.exited && run.exit_code == 0) << run.Describe();
  EXPECT_LE(run.peak_rss, kGigabyte) << run.Describe();
  EXPECT_LE(run.seconds, 10.0) << run.Describe();
  const int failures = std::stoi(run.report);
  EXPECT_TRUE(failures == 0 || failures == 12) << run.report;
  if (failures) { EXPECT_NE(run.report.find("did not finish within"), std::string::npos) << run.report; }
}

}  // namespace
