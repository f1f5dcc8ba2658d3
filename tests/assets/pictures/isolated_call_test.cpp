// Decoders in a child process: results come back whole, and a crash, a hang or a flood of output
// is a clear failure in the parent, which carries on.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <thread>

#include "assets/pictures/isolated_call.h"
#include "assets/pictures/picture_texture.h"

namespace {

using vl::assets::RunIsolated;

TEST(IsolatedCall, ResultsAndReasonsComeBack) {
  auto ok = RunIsolated([](std::string& out) {
    out.assign(300000, 'x');  // more than one pipe buffer
    out += "end";
    return true;
  });
  ASSERT_TRUE(ok.ok) << ok.failure;
  EXPECT_EQ(ok.output.size(), 300003u);
  EXPECT_EQ(ok.output.substr(300000), "end");

  auto refused = RunIsolated([](std::string& out) {
    out = "bad record at 12";
    return false;
  });
  EXPECT_FALSE(refused.ok);
  EXPECT_EQ(refused.failure, "bad record at 12");
}

TEST(IsolatedCall, CrashesHangsAndFloodsFailCleanly) {
  auto crash = RunIsolated([](std::string&) {
    std::raise(SIGSEGV);
    return true;
  });
  EXPECT_FALSE(crash.ok);
  EXPECT_NE(crash.failure.find("crashed"), std::string::npos) << crash.failure;

  auto hang = RunIsolated(
      [](std::string&) {
        for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
        return true;
      },
      300);
  EXPECT_FALSE(hang.ok);
  EXPECT_NE(hang.failure.find("did not finish"), std::string::npos) << hang.failure;

  auto flood = RunIsolated(
      [](std::string& out) {
        out.assign(3 << 20, 'y');
        return true;
      },
      10000, 1 << 20);
  EXPECT_FALSE(flood.ok);
  EXPECT_NE(flood.failure.find("larger than"), std::string::npos) << flood.failure;
}

TEST(IsolatedCall, ADamagedMetafileIsRefusedNotFatal) {
  // An EMF whose header sends the metafile library reading past its buffer.
  std::ifstream in(std::string(VL_TEST_DATA) + "/pictures/emf_header_overrun.bin", std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), {});
  ASSERT_GT(bytes.size(), 1u);
  const std::span<const uint8_t> picture(reinterpret_cast<const uint8_t*>(bytes.data()) + 1, bytes.size() - 1);
  auto load = vl::assets::DecodePictureTexture(picture, "overrun.emf", vl::assets::PictureLoader::kColourKeyed, 1024);
  if (!load.texture.ok()) { EXPECT_EQ(load.texture.error().file, "overrun.emf"); }
  // Still here: whatever the library did, it did it in the child.
}

}  // namespace
