// Asset names a loop can hold that are not ordinary files, or that carry control characters:
// loads fail at once with a line that says what the name is, and the line cannot drive a terminal.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/asset_paths.h"
#include "render/render_assets.h"
#include "tests/measured_child.h"

namespace {

namespace fs = std::filesystem;
using vl::engine::SceneState;
using vl::engine::TextureSlot;

class AssetNamesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("vl_asset_names_" + std::to_string(::getpid()));
    fs::create_directories(dir_ / "model" / "folder.3ds");
    fs::create_directories(dir_ / "Images");
    vl::SetProgramFolder(dir_);
    assets_.set_reporter([this](const std::string& line) { reports_.push_back(line); });
  }
  void TearDown() override {
    fs::remove_all(dir_);
    vl::SetProgramFolder(fs::current_path());
  }
  fs::path dir_;
  std::unique_ptr<SceneState> scene_ = std::make_unique<SceneState>();
  vl::render::RenderAssets assets_;
  std::vector<std::string> reports_;
};

TEST_F(AssetNamesTest, ModelNamesThatAreNotRegularFilesFailAtOnce) {
  ASSERT_EQ(::mkfifo((dir_ / "model" / "pipe.3ds").c_str(), 0600), 0);
  struct Case {
    std::string name;
    std::string line;
  };
  const Case cases[] = {
      {"model\\PIPE.3ds", "Unable to find the file: model\\PIPE.3ds! (not a regular file but a FIFO)"},
      {"/dev/zero", "Unable to find the file: /dev/zero! (not a regular file but a device)"},
      {"model/folder.3ds", "Unable to find the file: model/folder.3ds! (not a regular file but a folder)"},
      {"model/none.3ds", "Unable to find the file: model/none.3ds!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // In a child: a FIFO used to block the load for ever, /dev/zero to be read to a gigabyte.
    const auto run = vl::testing::RunMeasured(
        [&](std::string& report) {
          assets_.LoadModel(*scene_, 1, c.name);
          report = reports_.size() == 1 ? reports_[0] : std::to_string(reports_.size()) + " reports";
          return assets_.model(1).object_count == 0 ? 0 : 1;
        },
        /*extra_address_space=*/uint64_t{2} << 30, /*timeout_seconds=*/10);
    ASSERT_TRUE(run.exited) << run.Describe();
    EXPECT_EQ(run.exit_code, 0) << run.Describe();
    EXPECT_EQ(run.report, c.name + ": " + c.line) << run.Describe();
    EXPECT_LE(run.growth(), uint64_t{64} << 20) << run.Describe();
  }
}

TEST_F(AssetNamesTest, ReportedNamesCannotForgeLinesOrSendEscapes) {
  const std::string forged = "Images/x\x1b[2J\nall assets loaded\r";
  assets_.LoadPictureTexture(*scene_, forged, TextureSlot::sprite_texture);
  assets_.LoadPhotoTextureA(*scene_, "Images");  // a folder, not a picture
  assets_.LoadParticleTexture(*scene_, forged);
  ASSERT_EQ(reports_.size(), 3u);
  for (const std::string& line : reports_)
    for (char c : line) EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20 || c == 0x7F) << line;
  EXPECT_EQ(reports_[0].rfind("Images/x\\x1b[2J\\x0aall assets loaded\\x0d: no such file under ", 0), 0u)
      << reports_[0];
  EXPECT_EQ(reports_[1], "Images: not a regular file but a folder (photo A kept)");
  EXPECT_EQ(reports_[2].rfind("Failed to load Texture (Images/x\\x1b[2J\\x0aall assets loaded\\x0d, (null)).", 0), 0u)
      << reports_[2];
}

}  // namespace
