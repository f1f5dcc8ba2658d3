// The playback tick's rules on a fake clock: no GL involved.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>

#include "render/playback.h"

namespace vl::render {
namespace {

using engine::SceneState;

struct FakePanel : PlaybackPanel {
  int slider = -1;
  int number = -1;
  std::string label;
  int label_updates = 0;
  void SetSliderPosition(int f) override { slider = f; }
  int SliderPosition() const override { return slider; }
  void SetFrameNumber(int f) override { number = f; }
  void SetFpsLabel(const std::string& t) override {
    label = t;
    ++label_updates;
  }
};

// Records the frame each draw saw, and advances like the renderer does.
struct CountingDrawer : FrameDrawer {
  SceneState& scene;
  std::vector<int> drawn;
  explicit CountingDrawer(SceneState& s) : scene(s) {}
  void DrawFrameStep(PlaybackPanel* panel) override {
    drawn.push_back(scene.current_frame);
    AdvanceFrame(scene, panel);
  }
};

struct PlaybackTest : ::testing::Test {
  std::unique_ptr<SceneState> scene = std::make_unique<SceneState>();
  ManualClock clock;
  NoSleep sleep;
  FakePanel panel;
  Playback playback{*scene, clock, sleep};
  CountingDrawer drawer{*scene};

  // What a load leaves: frames 0 .. end - 1 in sequence mode, playing from 0, looping on.
  void Loaded(int end) {
    scene->keyframe_count = 1;
    scene->baked_frame_count = end;
    scene->play_to_sequence_end = 1;
    scene->playing = 1;
    scene->current_frame = 0;
    scene->loop_sequence = 2.0f;
    playback.set_panel(&panel);
  }
};

TEST_F(PlaybackTest, LockAt25FpsSkipsTicksWithin40Ms) {
  Loaded(100);
  scene->lock_frame_rate = 1;
  scene->locked_fps = 25;
  clock.Set(1000);
  EXPECT_TRUE(playback.Tick(drawer));  // 1000 ms after the start of the lock clock
  clock.Set(1040);
  EXPECT_FALSE(playback.Tick(drawer));  // exactly the 40 ms budget: still too early
  clock.Set(1020);
  EXPECT_FALSE(playback.Tick(drawer));
  EXPECT_EQ(scene->lock_last_ms, 1000);
  clock.Set(1041);
  EXPECT_TRUE(playback.Tick(drawer));
  EXPECT_EQ(scene->lock_last_ms, 1041);
  EXPECT_EQ(drawer.drawn, (std::vector<int>{0, 1}));  // skipped ticks neither draw nor advance
  EXPECT_EQ(sleep.slept_ms, 20);                      // the frame step's 10 ms, drawn ticks only

  scene->lock_frame_rate = 0;  // unlocked: every tick draws
  EXPECT_TRUE(playback.Tick(drawer));

  scene->lock_frame_rate = 1;
  scene->locked_fps = 0;  // never set by the program; must not divide by zero
  clock.Advance(1);
  EXPECT_TRUE(playback.Tick(drawer));
}

TEST_F(PlaybackTest, EndOfRangeRewindsWithoutDrawingTheEndFrameAndLoops) {
  Loaded(4);
  for (int i = 0; i < 7; ++i) playback.Tick(drawer);
  EXPECT_EQ(drawer.drawn, (std::vector<int>{0, 1, 2, 3, 0, 1, 2}));
  // The panel saw frame 4 at the end before the rewind.
  Loaded(2);
  drawer.drawn.clear();
  playback.Tick(drawer);
  playback.Tick(drawer);
  EXPECT_EQ(panel.number, 2);
  EXPECT_EQ(scene->current_frame, 0);
  EXPECT_EQ(scene->playing, 0);

  // Without looping, playback halts at frame 0 after the end.
  Loaded(3);
  scene->loop_sequence = 0.0f;
  drawer.drawn.clear();
  for (int i = 0; i < 6; ++i) playback.Tick(drawer);
  EXPECT_EQ(drawer.drawn, (std::vector<int>{0, 1, 2, 0, 0, 0}));
}

TEST_F(PlaybackTest, StopHoldsAndPlayResumes) {
  Loaded(50);
  playback.Tick(drawer);
  playback.Tick(drawer);
  scene->stop_requested = 2.0f;  // Stop, with looping on
  playback.Tick(drawer);
  playback.Tick(drawer);
  EXPECT_EQ(scene->current_frame, 2);
  scene->stop_requested = 0.0f;  // Play
  scene->playing = 1;
  playback.Tick(drawer);
  EXPECT_EQ(drawer.drawn, (std::vector<int>{0, 1, 2, 2, 2}));
  EXPECT_EQ(scene->current_frame, 3);

  // No loop loaded: redrawn every tick, never advanced.
  scene = std::make_unique<SceneState>();
  Playback idle(*scene, clock, sleep);
  CountingDrawer idle_drawer(*scene);
  scene->loop_sequence = 2.0f;
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(idle.Tick(idle_drawer));
  EXPECT_EQ(idle_drawer.drawn, (std::vector<int>{0, 0, 0}));
}

TEST_F(PlaybackTest, FrameRateLabelShowsLastWindowPlusThree) {
  Loaded(1000);
  clock.Set(0);
  for (int i = 0; i < 47; ++i) {
    clock.Advance(20);  // up to 940 ms
    playback.Tick(drawer);
  }
  EXPECT_EQ(panel.label_updates, 0);
  clock.Set(1010);  // not more than 1010 ms yet
  playback.Tick(drawer);
  EXPECT_EQ(panel.label_updates, 0);
  clock.Set(1011);
  playback.Tick(drawer);
  EXPECT_EQ(panel.label_updates, 1);
  EXPECT_EQ(panel.label, "52 Fps");  // 49 ticks in the window
  EXPECT_EQ(scene->measured_fps, 49);
  EXPECT_EQ(scene->fps_frame_count, 0);
  EXPECT_EQ(FpsLabelText(47), "50 Fps");
}

TEST(FoldAngle, FoldsByWholeTurnsAndNeverHangs) {
  EXPECT_FLOAT_EQ(FoldAngle(725.0f), 5.0f);
  EXPECT_FLOAT_EQ(FoldAngle(-725.0f), -5.0f);
  EXPECT_FLOAT_EQ(FoldAngle(360.0f), 360.0f);  // the bounds themselves stay
  EXPECT_FLOAT_EQ(FoldAngle(-361.0f), 359.0f);
  EXPECT_FLOAT_EQ(FoldAngle(2165.0f), 5.0f);
  // Values where adding 720 changes nothing, and non-finite ones.
  float big = FoldAngle(1.0e30f);
  EXPECT_TRUE(big >= -360.0f && big <= 360.0f) << big;
  EXPECT_EQ(FoldAngle(std::numeric_limits<float>::infinity()), 0.0f);
  EXPECT_EQ(FoldAngle(-std::numeric_limits<float>::infinity()), 0.0f);
  EXPECT_TRUE(std::isnan(FoldAngle(std::numeric_limits<float>::quiet_NaN())));
}

TEST(PhotoExtents, BIsRefreshedOnlyAfterALoadResetItsState) {
  auto scene = std::make_unique<SceneState>();
  scene->photo_a_width[0] = 300, scene->photo_a_height[0] = 200;
  scene->photo_b_width[0] = 30, scene->photo_b_height[0] = 20;
  RefreshPhotoExtents(*scene);
  EXPECT_EQ(scene->photo_b_extent_x, 30.0f);
  scene->photo_a_width[0] = 301;
  scene->photo_b_width[0] = 31;
  RefreshPhotoExtents(*scene);
  EXPECT_EQ(scene->photo_a_extent_x, 301.0f);
  EXPECT_EQ(scene->photo_b_extent_x, 30.0f);
  scene->photo_b_layout_state = 0.0f;  // a photo load
  RefreshPhotoExtents(*scene);
  EXPECT_EQ(scene->photo_b_extent_x, 31.0f);
}

}  // namespace
}  // namespace vl::render
