// Loop runs: several in one thread must not draw from or into each other.
#include "platform/headless/loop_run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine/asset_paths.h"
#include "render/clock.h"
#include "tests/render/gl_test_context.h"
#include "tests/render/loop_fixture.h"

namespace vl::headless {
namespace {

namespace fs = std::filesystem;

constexpr int kW = 160, kH = 128;
constexpr int kFrames = 8;

// A bundled loop whose particles draw from the random generator every frame.
fs::path EmbersLoop() { return fs::path(VL_TEST_DATA) / ".." / ".." / "res" / "loops" / "embers.txt"; }

class LoopRunTest : public ::testing::Test {
 protected:
  void SetUp() override { SetProgramFolder(VL_BIN_DIR); }
  void TearDown() override { SetProgramFolder(fs::current_path()); }

  // A run of the embers loop, or null with the test failed or skipped.
  std::unique_ptr<LoopRun> Embers() {
    LoopRunSetup setup;
    setup.width = kW;
    setup.height = kH;
    setup.prepare_assets = [](render::RenderAssets& a) { a.set_quiet(true); };
    std::string error;
    auto run = LoopRun::Create(setup, &error);
    if (!run) {
      if (test::RunningInCi()) ADD_FAILURE() << error;
      return nullptr;
    }
    if (Status err = run->Load(EmbersLoop())) {
      ADD_FAILURE() << err->ToString();
      return nullptr;
    }
    return run;
  }
};

TEST_F(LoopRunTest, RunsSideBySideDrawWhatEachDrawsAlone) {
  std::vector<Image> alone;
  {
    auto run = Embers();
    if (!run) GTEST_SKIP() << "no headless OpenGL context";
    for (int k = 0; k < kFrames; ++k) {
      run->DrawNextFrame();
      alone.push_back(run->ReadPixels());
    }
  }
  // The frames move: a generator shared between runs would show here.
  ASSERT_NE(alone.front().rgba, alone.back().rgba);

  // Two runs drawn turn about, the second ending halfway while the first's context is current:
  // neither draws from the other's generator, and the one that goes leaves the other whole.
  auto a = Embers();
  auto b = Embers();
  ASSERT_TRUE(a && b);
  for (int k = 0; k < kFrames; ++k) {
    if (b) {
      ASSERT_TRUE(b->MakeCurrent());
      b->DrawNextFrame();
      EXPECT_EQ(b->ReadPixels().rgba, alone[k].rgba) << "second run, frame " << k;
    }
    ASSERT_TRUE(a->MakeCurrent());
    a->DrawNextFrame();
    EXPECT_EQ(a->ReadPixels().rgba, alone[k].rgba) << "first run, frame " << k;
    if (k == kFrames / 2) b.reset();
  }
}

// Live play ticks on its own clock: the trail, at most one update a second at rate 99, sees that
// clock (here over a second a tick) and not the virtual time that passes a second every 25 ticks.
TEST_F(LoopRunTest, ALiveRunReadsItsOwnClock) {
  test::LoopBuilder loop(100);
  loop.settings().trail_on = 2.0f;
  const fs::path file = loop.Write("live_trail.lqf");
  for (bool live : {false, true}) {
    SCOPED_TRACE(live ? "live" : "virtual");
    render::ManualClock fast;
    LoopRunSetup setup;
    setup.width = kW;
    setup.height = kH;
    setup.prepare_assets = [](render::RenderAssets& a) { a.set_quiet(true); };
    if (live) setup.live_clock = &fast;
    std::string error;
    auto run = LoopRun::Create(setup, &error);
    if (!run) GTEST_SKIP() << error;
    ASSERT_FALSE(run->Load(file).has_value());
    run->scene().trail_rate = 99.0f;
    int updates = 0;
    for (int k = 0; k < 60; ++k) {
      if (live) {
        fast.Advance(1100);
        run->player().playback().Tick(run->renderer());
      } else {
        run->DrawNextFrame();
      }
      updates += run->renderer().last_frame().trail_admitted;
    }
    EXPECT_EQ(updates, live ? 60 : 3);
  }
}

TEST_F(LoopRunTest, SaysWhyWhenNoContextCanBeMade) {
  LoopRunSetup setup;
  setup.width = 0;
  std::string error;
  EXPECT_EQ(LoopRun::Create(setup, &error), nullptr);
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace vl::headless
