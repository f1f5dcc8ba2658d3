#include "engine/asset_paths.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>

namespace fs = std::filesystem;

namespace {

class AssetPathsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("vl_paths_" + std::to_string(::getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_ / "Textures" / "Sub");
    std::ofstream(root_ / "Textures" / "Gold.jpg") << "x";
    std::ofstream(root_ / "Textures" / "Sub" / "deep.PNG") << "x";
  }
  void TearDown() override { fs::remove_all(root_); }
  fs::path root_;
};

TEST_F(AssetPathsTest, FindsExactCaseFoldedAndBackslashedNames) {
  EXPECT_EQ(vl::ResolveAssetPath("Textures/Gold.jpg", root_), root_ / "Textures" / "Gold.jpg");
  EXPECT_EQ(vl::ResolveAssetPath("Textures\\Gold.jpg", root_), root_ / "Textures" / "Gold.jpg");
  EXPECT_EQ(vl::ResolveAssetPath("textures\\GOLD.JPG", root_), root_ / "Textures" / "Gold.jpg");
  EXPECT_EQ(vl::ResolveAssetPath("TEXTURES/sub/Deep.png", root_), root_ / "Textures" / "Sub" / "deep.PNG");
  auto absolute = (root_ / "Textures" / "Gold.jpg").string();
  EXPECT_EQ(vl::ResolveAssetPath(absolute, "/nonexistent"), fs::path(absolute));
}

TEST_F(AssetPathsTest, RefusesMissingEmptyFoldersAndNetworkNames) {
  EXPECT_FALSE(vl::ResolveAssetPath("Textures/Silver.jpg", root_));
  EXPECT_FALSE(vl::ResolveAssetPath("", root_));
  EXPECT_FALSE(vl::ResolveAssetPath("Textures", root_));  // a folder is not an asset
  EXPECT_FALSE(vl::ResolveAssetPath("http://example.invalid/Gold.jpg", root_));
  EXPECT_FALSE(vl::ResolveAssetPath("Textures/http://Gold.jpg", root_));
}

TEST_F(AssetPathsTest, PictureNamesFollowCustomImageMode) {
  const fs::path gold = root_ / "Textures" / "Gold.jpg";
  // Below 2: always inside the program folder, with backslashes and any letter case.
  for (int mode : {0, 1}) {
    EXPECT_EQ(vl::ResolvePicturePath("textures\\GOLD.JPG", mode, root_), gold) << mode;
    EXPECT_EQ(vl::ResolvePicturePath("\\Textures\\Gold.jpg", mode, root_), gold) << mode;  // folder + "\\" + name
    EXPECT_FALSE(vl::ResolvePicturePath(gold.string(), mode, "/nonexistent")) << mode;
    EXPECT_FALSE(vl::ResolvePicturePath("C:\\Textures\\Gold.jpg", mode, root_)) << mode;
    EXPECT_FALSE(vl::ResolvePicturePath("/", mode, root_)) << mode;
  }
  // An absolute name is looked for inside the folder, not outside it.
  EXPECT_EQ(vl::ResolvePicturePath(gold.string(), 0, root_), std::nullopt);
  EXPECT_EQ(vl::ResolvePicturePath("/Textures/Gold.jpg", 0, root_), gold);
  // 2 or more: as given; relative names still against the folder, same matching.
  for (int mode : {2, 3}) {
    EXPECT_EQ(vl::ResolvePicturePath(gold.string(), mode, "/nonexistent"), gold) << mode;
    EXPECT_EQ(vl::ResolvePicturePath("TEXTURES\\sub\\Deep.png", mode, root_), root_ / "Textures" / "Sub" / "deep.PNG");
    EXPECT_FALSE(vl::ResolvePicturePath("http://example.invalid/Gold.jpg", mode, root_));
  }
  EXPECT_FALSE(vl::ResolvePicturePath("http://example.invalid/Gold.jpg", 0, root_));
}

TEST_F(AssetPathsTest, ReadFileBytesNamesTheFileAndEnforcesTheLimit) {
  auto ok = vl::ReadFileBytes(root_ / "Textures" / "Gold.jpg");
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(ok->size(), 1u);
  auto missing = vl::ReadFileBytes(root_ / "none.lqf");
  ASSERT_FALSE(missing.ok());
  EXPECT_NE(missing.error().ToString().find("none.lqf"), std::string::npos);
  auto big = vl::ReadFileBytes(root_ / "Textures" / "Gold.jpg", 0);
  EXPECT_FALSE(big.ok());
  EXPECT_FALSE(vl::ReadFileBytes(root_ / "Textures").ok());
}

}  // namespace
