#include "engine/asset_paths.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "tests/measured_child.h"

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

TEST_F(AssetPathsTest, NamesOfFoldersFifosAndDevicesAreNotRegularFiles) {
  ASSERT_EQ(::mkfifo((root_ / "Textures" / "Pipe.jpg").c_str(), 0600), 0);
  struct Case {
    std::string name;
    std::string message;
  };
  const Case cases[] = {
      {"Textures/Sub", "not a regular file but a folder"},
      {"textures\\PIPE.JPG", "not a regular file but a FIFO"},
      {"/dev/null", "not a regular file but a device"},
      {"Textures/Silver.jpg", "no such file under " + root_.string()},
      {"/nonexistent/Silver.jpg", "no such file"},  // an absolute name is not looked for under the library
      {"http://example.invalid/Gold.jpg", "no such file (web addresses are not fetched)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto found = vl::FindAssetFile(c.name, root_);
    ASSERT_FALSE(found.ok());
    EXPECT_EQ(found.error().file, c.name);
    EXPECT_EQ(found.error().message, c.message);
  }
  auto gold = vl::FindAssetFile("TEXTURES/gold.JPG", root_);
  ASSERT_TRUE(gold.ok()) << gold.error().ToString();
  EXPECT_EQ(*gold, root_ / "Textures" / "Gold.jpg");
}

TEST_F(AssetPathsTest, ReadFileBytesNeverBlocksOnAFifoNorReadsADevice) {
  const fs::path fifo = root_ / "pipe.lqf";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // A sparse file of 2 GiB: refused by its size before a byte of it is read.
  const fs::path huge = root_ / "huge.lqf";
  std::ofstream(huge).close();
  fs::resize_file(huge, uint64_t{2} << 30);
  struct Case {
    fs::path path;
    std::string message;
  };
  const Case cases[] = {
      {fifo, "not a regular file but a FIFO"},
      {"/dev/zero", "not a regular file but a device"},
      {root_ / "Textures", "not a regular file but a folder"},
      {huge, "file is larger than 1073741824 bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path.string());
    const auto run = vl::testing::RunMeasured(
        [&](std::string& report) {
          auto bytes = vl::ReadFileBytes(c.path);
          report = bytes ? "read" : bytes.error().message;
          return 0;
        },
        /*extra_address_space=*/uint64_t{2} << 30, /*timeout_seconds=*/10);
    ASSERT_TRUE(run.exited) << run.Describe();
    EXPECT_EQ(run.report, c.message) << run.Describe();
    EXPECT_LE(run.growth(), uint64_t{16} << 20) << run.Describe();
  }
}

// Built, the data lies beside the programs; installed, the programs are in PREFIX/bin and the data
// in PREFIX/share/vantaloop. A build folder wins over an install it happens to sit in.
TEST_F(AssetPathsTest, DataIsBesideTheProgramsOrInTheInstalledShareFolder) {
  const fs::path bin = root_ / "usr" / "bin";
  const fs::path share = root_ / "usr" / "share" / "vantaloop";
  fs::create_directories(bin);
  EXPECT_EQ(vl::DataFolderBeside(bin), bin);  // neither: beside the programs, as before

  fs::create_directories(share / "Sequences");
  EXPECT_EQ(vl::DataFolderBeside(bin), share);

  fs::create_directories(bin / "Sequences");
  EXPECT_EQ(vl::DataFolderBeside(bin), bin);

  // A file named like the share folder is no data folder.
  const fs::path other = root_ / "opt" / "bin";
  fs::create_directories(other);
  std::ofstream(root_ / "opt" / "share") << "x";
  EXPECT_EQ(vl::DataFolderBeside(other), other);
}

// --library and $VANTALOOP_HOME come before the executable's folder. In a child process: the
// setting is the process's own.
TEST_F(AssetPathsTest, LibraryOptionAndHomeComeFirst) {
  auto body = [&]() -> int {
    ::unsetenv("VANTALOOP_HOME");
    const fs::path exe = fs::read_symlink("/proc/self/exe");
    if (vl::ProgramFolder() != vl::DataFolderBeside(exe.parent_path())) return 1;
    ::setenv("VANTALOOP_HOME", root_.c_str(), 1);
    if (vl::ProgramFolder() != root_) return 2;
    vl::SetProgramFolder(root_ / "Textures");
    if (vl::ProgramFolder() != root_ / "Textures") return 3;
    return 0;
  };
  EXPECT_EXIT(std::exit(body()), ::testing::ExitedWithCode(0), "");
}

TEST(LoadErrors, ControlCharactersInNamesAndMessagesAreEscaped) {
  const vl::LoadError e{"Images/\x1b[2J\nall assets loaded\r.jpg", std::string("bad\0byte", 8), 3, "tab\there"};
  EXPECT_EQ(e.ToString(), "Images/\\x1b[2J\\x0aall assets loaded\\x0d.jpg: at byte 3 (tab\\x09here): bad\\x00byte");
  EXPECT_EQ(vl::EscapeControl("caf\xE9 \x7F ok"), "caf\xE9 \\x7f ok");  // Windows-1252 letters stay
}

}  // namespace
