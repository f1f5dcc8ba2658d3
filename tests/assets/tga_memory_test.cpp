// What a large TGA texture costs to read, measured in a child process: the pixels are held once
// (twice when a colour and an alpha file are merged), plus at most 64 MB, and nothing at all is
// read for a name that is not a regular file.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>

#include "assets/tga.h"
#include "tests/hostile_files.h"
#include "tests/measured_child.h"

namespace {

namespace fs = std::filesystem;
using vl::testing::ChildUsage;
using vl::testing::RunMeasured;

constexpr uint64_t kMegabyte = uint64_t{1} << 20;

fs::path TempPath(const std::string& name) {
  return fs::temp_directory_path() / ("vl_tga_memory_" + std::to_string(::getpid()) + "_" + name);
}

// Loads the pair in a child; the report is "FORMAT W x H" or the failure.
ChildUsage LoadInChild(const std::optional<std::string>& colour, const std::optional<std::string>& alpha,
                       int timeout_seconds = 60) {
  return RunMeasured(
      [&](std::string& report) {
        auto r = vl::assets::LoadTextureImage(colour, alpha, /*build_mipmaps=*/true);
        if (!r.ok()) {
          report = r.error.text + (r.error.detail ? " (" + r.error.detail->ToString() + ")" : "");
          return 1;
        }
        report = std::string(vl::assets::TexelFormatName(r.image->format)) + " " + std::to_string(r.image->width) +
                 " x " + std::to_string(r.image->height);
        return 0;
      },
      /*extra_address_space=*/uint64_t{3} << 30, timeout_seconds);
}

TEST(TgaMemory, ALargeTextureIsHeldOnce) {
  struct Case {
    const char* what;
    int size;
    int colour_bits;
    bool with_alpha;
    const char* expected;
    uint64_t copies;  // of the final texture's bytes
  };
  // 256 MB of 32-bit pixels used to be held twice (the file, then a copy of its pixels); a 24-bit
  // file with its alpha file is merged into a new buffer as large as both files.
  const Case cases[] = {
      {"32-bit", 8192, 32, false, "GL_RGBA 8192 x 8192", 1},
      {"24-bit + alpha", 4096, 24, true, "GL_RGBA 4096 x 4096", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path colour = TempPath("colour.tga"), alpha = TempPath("alpha.tga");
    ASSERT_TRUE(vl::hostile::WriteTga(colour, c.size, c.size, c.colour_bits));
    if (c.with_alpha) { ASSERT_TRUE(vl::hostile::WriteTga(alpha, c.size, c.size, 8)); }
    const ChildUsage run =
        LoadInChild(colour.string(), c.with_alpha ? std::optional<std::string>(alpha.string()) : std::nullopt);
    fs::remove(colour);
    fs::remove(alpha);
    ASSERT_TRUE(run.exited) << run.Describe();
    EXPECT_EQ(run.report, c.expected) << run.Describe();
    const uint64_t texture = uint64_t(c.size) * uint64_t(c.size) * 4;
    EXPECT_LE(run.growth(), c.copies * texture + 64 * kMegabyte) << run.Describe();
  }
}

TEST(TgaMemory, NamesThatAreNotRegularFilesAreNeverRead) {
  const fs::path fifo = TempPath("fifo.tga");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& name : {fifo.string(), std::string("/dev/zero")}) {
    SCOPED_TRACE(name);
    const ChildUsage run = LoadInChild(name, std::nullopt, /*timeout_seconds=*/10);
    ASSERT_TRUE(run.exited) << run.Describe();
    EXPECT_NE(run.report.find("Reason: Failed to load RGB file. (" + name + ": not a regular file but a "),
              std::string::npos)
        << run.Describe();
    EXPECT_LE(run.growth(), 64 * kMegabyte) << run.Describe();
  }
  fs::remove(fifo);
}

}  // namespace
