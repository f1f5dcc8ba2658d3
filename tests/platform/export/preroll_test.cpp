// The preroll draws only what the recording depends on (the trail image, the captures, the
// particles): the recorded frames must come out byte for byte as after a preroll that draws every
// picture whole.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/asset_paths.h"
#include "platform/export/loop_export.h"
#include "tests/platform/export/export_fixture.h"
#include "tests/render/gl_test_context.h"

namespace vl::exporting {
namespace {

namespace fs = std::filesystem;

class PrerollTest : public test::ExportFixture {
 protected:
  PrerollTest() : ExportFixture("vl_preroll_") {}

  // The recorded frames of a bundled loop, as drawn.
  std::vector<std::vector<uint8_t>> Frames(const std::string& loop, int preset, int frame_limit, bool whole,
                                           bool fast = false) {
    ExportRequest request;
    request.loop_path = (fs::path(VL_BIN_DIR) / "Sequences" / (loop + ".lqf")).string();
    request.out_path = (dir_ / "out.mkv").string();
    request.preset = preset;
    request.format = ExportFormat::kMkv;
    request.frame_limit = frame_limit;
    request.fast = fast;
    request.preroll_drawn_whole = whole;
    std::vector<std::vector<uint8_t>> frames;
    ExportObserver observer;
    observer.frame_drawn = [&frames](int, const headless::Image& image) { frames.push_back(image.rgba); };
    const ExportResult r = ExportLoop(request, observer);
    EXPECT_TRUE(r.ok) << loop << ": " << r.error;
    return frames;
  }

  static int FirstDifferent(const std::vector<std::vector<uint8_t>>& a, const std::vector<std::vector<uint8_t>>& b) {
    if (a.size() != b.size()) return -2;
    for (size_t i = 0; i < a.size(); ++i)
      if (a[i] != b[i]) return static_cast<int>(i);
    return -1;
  }
};

// One preroll cycle (shortened, as the benchmark shortens it) of loops with particles, the
// fountain, the trail, photos, models, echoes and the tunnel, exact and fast.
TEST_F(PrerollTest, CheapPrerollRecordsTheFramesOfAWholeOne) {
  for (const char* loop :
       {"default", "embers", "fountain", "gilded", "tunnel", "model_trio", "photos", "reflection", "swell"}) {
    for (const bool fast : {false, true}) {
      const auto whole = Frames(loop, 14, 30, true, fast);
      const auto cheap = Frames(loop, 14, 30, false, fast);
      ASSERT_EQ(whole.size(), 30u) << loop;
      EXPECT_EQ(FirstDifferent(whole, cheap), -1)
          << loop << (fast ? " fast" : " exact") << ": first frame that differs";
    }
  }
}

// Loops whose particles take several cycles to settle: the cycles compared by their pictures
// still draw them whole, so the preroll stops after the same cycle either way.
TEST_F(PrerollTest, SeveralCyclesEndWhereTheWholePrerollEnds) {
  for (const char* loop : {"gilded", "embers"}) {
    const auto whole = Frames(loop, 13, 0, true);
    const auto cheap = Frames(loop, 13, 0, false);
    ASSERT_FALSE(whole.empty()) << loop;
    EXPECT_EQ(FirstDifferent(whole, cheap), -1) << loop << ": first frame that differs";
  }
}

// HD files take x264's faster speed; the encoder still runs as one thread, so the same request
// gives the same file on every run, and the preroll's saving does not reach the pictures.
TEST_F(PrerollTest, HdFilesAreTheSameBytesOnEveryRun) {
  auto bytes = [&](const char* name, bool whole) {
    ExportRequest request;
    request.loop_path = (fs::path(VL_BIN_DIR) / "Sequences" / "embers.lqf").string();
    request.out_path = (dir_ / name).string();
    request.preset = 15;
    request.frame_limit = 8;
    request.preroll_drawn_whole = whole;
    const ExportResult r = ExportLoop(request, {});
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.encoder, "libx264");
    std::ifstream in(request.out_path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  const std::string first = bytes("a.mp4", false);
  ASSERT_GT(first.size(), 1000u);
  EXPECT_TRUE(first == bytes("b.mp4", false));
  EXPECT_TRUE(first == bytes("c.mp4", true));
}

}  // namespace
}  // namespace vl::exporting
