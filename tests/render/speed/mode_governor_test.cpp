#include "render/mode_governor.h"

#include <gtest/gtest.h>

namespace {

using vl::render::ModeGovernor;
using vl::render::RenderMode;

TEST(ModeGovernor, GoesFastWhileFramesMissTheRateAndBackWhenTheyDoNot) {
  ModeGovernor g;
  // 25 fps: 40 ms a frame. Frames inside it stay exact.
  for (int i = 0; i < 50; ++i) EXPECT_FALSE(g.FrameDrawn(35, 25));
  EXPECT_EQ(g.mode(), RenderMode::kExact);
  // One slow frame among fast ones is not a miss.
  EXPECT_FALSE(g.FrameDrawn(120, 25));
  EXPECT_EQ(g.mode(), RenderMode::kExact);
  // A run of slow frames is.
  bool changed = false;
  for (int i = 0; i < ModeGovernor::kWindow && !changed; ++i) changed = g.FrameDrawn(70, 25);
  EXPECT_TRUE(changed);
  EXPECT_EQ(g.mode(), RenderMode::kFast);
  EXPECT_EQ(g.status(), "Fast drawing: frames missed 25 fps");
  // Fast frames inside half the budget for two seconds: exact again.
  int frames = 0;
  while (g.mode() == RenderMode::kFast && frames < 1000) g.FrameDrawn(15, 25), ++frames;
  EXPECT_EQ(frames, 50);
  EXPECT_EQ(g.status(), "Exact drawing: frames keep 25 fps");
}

TEST(ModeGovernor, WaitsLongerAfterEachReturnThatMissesAgain) {
  ModeGovernor g;
  int previous_wait = 0;
  for (int round = 0; round < 4; ++round) {
    for (int i = 0; i < ModeGovernor::kWindow; ++i) g.FrameDrawn(80, 25);
    ASSERT_EQ(g.mode(), RenderMode::kFast);
    int frames = 0;
    while (g.mode() == RenderMode::kFast && frames < 5000) g.FrameDrawn(10, 25), ++frames;
    EXPECT_GT(frames, previous_wait);
    EXPECT_LE(frames, 25 * 30);
    previous_wait = frames;
  }
  // Fast frames that are not well inside the budget keep fast on.
  for (int i = 0; i < ModeGovernor::kWindow; ++i) g.FrameDrawn(80, 25);
  for (int i = 0; i < 2000; ++i) g.FrameDrawn(30, 25);
  EXPECT_EQ(g.mode(), RenderMode::kFast);
}

}  // namespace
