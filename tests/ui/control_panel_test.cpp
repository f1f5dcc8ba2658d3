// The control panel against a stand-in view: buttons write the scene fields, playback writes the
// slider and labels back.
#include <algorithm>
#include <cstdlib>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>

#include "engine/asset_paths.h"
#include "render/playback.h"
#include "tests/ui/ui_fixtures.h"
#include "ui/control_panel.h"
#include "ui/loop_library.h"
#include "ui/thumbs_list_ctrl.h"

namespace vl::ui {
namespace {

class PanelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = test::ScratchFolder("panel");
    std::filesystem::create_directories(dir / "Sequences");
    SetProgramFolder(dir);
  }
  void TearDown() override { SetProgramFolder(VL_BIN_DIR); }

  // A loop with keys at 0, 100 and 250, expanded to 250 frames.
  void GiveLoop() {
    auto& keys = *view.scene_.keyframe_frame;
    keys[0] = 0, keys[1] = 100, keys[2] = 250;
    view.scene_.keyframe_count = 2;
    view.scene_.frame_count = view.scene_.baked_frame_count = 250;
  }

  std::filesystem::path dir;
  test::FakeView view;
};

TEST_F(PanelTest, PlayNeedsKeyframesAndStopAlwaysStops) {
  CControlPanelDlg panel(view);
  engine::SceneState& s = view.scene_;
  panel.Play();
  EXPECT_EQ(s.playing, 0);
  EXPECT_EQ(s.stop_requested, 0.0f);

  GiveLoop();
  s.loop_sequence = 2.0f;
  panel.Play();
  EXPECT_EQ(s.playing, 1);
  panel.Stop();
  EXPECT_EQ(s.playing, 0);
  EXPECT_EQ(s.stop_requested, 2.0f);
  // With looping on, the tick keeps it stopped until Play.
  render::UpdatePlayingState(s);
  EXPECT_EQ(s.playing, 0);
  panel.Play();
  render::UpdatePlayingState(s);
  EXPECT_EQ(s.playing, 1);
}

TEST_F(PanelTest, LoopSwitchAlternatesFromTheStartingState) {
  view.scene_.loop_sequence = 2.0f;
  CControlPanelDlg panel(view);
  EXPECT_TRUE(panel.loop_box()->isChecked());
  EXPECT_EQ(view.scene_.loop_toggle_count, 1.0f);
  const float expected[] = {0.0f, 2.0f, 0.0f, 2.0f};
  for (float want : expected) {
    panel.loop_box()->click();
    EXPECT_EQ(view.scene_.loop_sequence, want);
    EXPECT_EQ(panel.loop_box()->isChecked(), want >= 2.0f);
  }

  test::FakeView off_view;
  CControlPanelDlg off_panel(off_view);
  EXPECT_FALSE(off_panel.loop_box()->isChecked());
  off_panel.loop_box()->click();
  EXPECT_EQ(off_view.scene_.loop_sequence, 2.0f);
}

TEST_F(PanelTest, SliderRangeTicksAndSeeking) {
  {
    CControlPanelDlg empty(view);
    EXPECT_EQ(empty.slider()->maximum(), 300);  // last keyframe at 0
    EXPECT_EQ(empty.keyframe_ticks(), 0);
    // No ticks: moving the slider only changes the number.
    empty.slider()->setValue(40);
    EXPECT_EQ(empty.frame_edit()->text(), "40");
    EXPECT_TRUE(view.seeks.empty());
  }
  GiveLoop();
  CControlPanelDlg panel(view);
  EXPECT_EQ(panel.slider()->maximum(), 250);
  EXPECT_EQ(panel.keyframe_ticks(), 2);
  panel.slider()->setValue(120);
  EXPECT_EQ(view.seeks, std::vector<int>{120});
  EXPECT_EQ(panel.frame_edit()->text(), "120");
  // At or past the baked frames: no seek.
  view.scene_.baked_frame_count = 200;
  panel.slider()->setValue(200);
  EXPECT_EQ(view.seeks, std::vector<int>{120});
  // Playback moving the slider is not a seek.
  panel.SetSliderPosition(30);
  EXPECT_EQ(view.seeks, std::vector<int>{120});
  EXPECT_EQ(panel.SliderPosition(), 30);
}

TEST_F(PanelTest, PlaybackTicksDriveSliderFrameNumberAndFpsLabel) {
  GiveLoop();
  engine::SceneState& s = view.scene_;
  s.playing = 1;
  s.play_to_sequence_end = 1;
  s.loop_sequence = 2.0f;
  CControlPanelDlg panel(view);
  s.current_frame = 248;
  render::AdvanceFrame(s, &panel);
  EXPECT_EQ(s.current_frame, 249);
  render::AdvanceFrame(s, &panel);  // reaches the end: shows it, rewinds, stops
  EXPECT_EQ(panel.SliderPosition(), 250);
  EXPECT_EQ(panel.frame_edit()->text(), "250");
  EXPECT_EQ(s.current_frame, 0);
  EXPECT_EQ(s.playing, 0);
  render::UpdatePlayingState(s);  // looping restarts without Play
  EXPECT_EQ(s.playing, 1);

  s.fps_window_start_ms = 0;
  s.fps_frame_count = -1;  // the next tick closes the window with 0 frames counted
  render::MeasureFrameRate(s, 2000, &panel);
  EXPECT_EQ(panel.fps_label()->text(), "3 Fps");
  s.fps_frame_count = 21;
  render::MeasureFrameRate(s, 4000, &panel);
  EXPECT_EQ(panel.fps_label()->text(), "25 Fps");
}

TEST_F(PanelTest, LoadedLoopResetsSliderAndTicks) {
  CControlPanelDlg panel(view);
  panel.SetSliderPosition(77);
  GiveLoop();
  panel.SequenceLoaded();
  EXPECT_EQ(panel.SliderPosition(), 0);
  EXPECT_EQ(panel.slider()->maximum(), 250);
  EXPECT_EQ(panel.frame_edit()->text(), "0");
  EXPECT_EQ(panel.keyframe_ticks(), 2);
  EXPECT_TRUE(view.seeks.empty());
}

// The list shows which library loop plays (not always its first), and a panel opened on a
// stopped loop or a new project shows its frame rather than an empty box.
TEST_F(PanelTest, ShowsThePlayingLoopAndItsFrame) {
  for (const char* name : {"Aurora", "Clouds", "Dunes"})
    test::WriteJpeg(dir / "Sequences" / (std::string(name) + ".jpg"), 8, 8, Qt::white);
  view.desktop_.loaded_sequence_path = (dir / "Sequences" / "Clouds.lqf").string();
  view.scene_.current_frame = 0;
  CControlPanelDlg panel(view);
  ASSERT_EQ(panel.thumbs()->count(), 3);
  EXPECT_EQ(panel.thumbs()->GetSelectedName(), "Clouds.jpg");
  EXPECT_EQ(panel.frame_edit()->text(), "0");

  view.desktop_.loaded_sequence_path = (dir / "Sequences" / "Dunes.lqf").string();
  panel.SequenceLoaded();
  EXPECT_EQ(panel.thumbs()->GetSelectedName(), "Dunes.jpg");
  EXPECT_EQ(panel.thumbs()->selectionModel()->selectedIndexes().size(), 1);
  // A loop of the same name elsewhere is not the library's.
  view.desktop_.loaded_sequence_path = (dir / "Aurora.lqf").string();
  panel.SequenceLoaded();
  EXPECT_EQ(panel.thumbs()->GetSelectedName(), "Dunes.jpg");
}

TEST_F(PanelTest, LoadSelectedAndTheOtherButtons) {
  test::WriteJpeg(dir / "Sequences" / "Clouds.jpg", 8, 8, Qt::white);
  view.desktop_.control_panel_open = 2;
  CControlPanelDlg panel(view);
  ASSERT_EQ(panel.thumbs()->count(), 1);
  panel.LoadSelected();
  EXPECT_EQ(view.loads, std::vector<std::string>{"Sequences/Clouds.lqf"});
  EXPECT_EQ(view.desktop_.control_panel_open, 2);
  EXPECT_EQ(view.panel_shows, 1);

  // Nothing selected: no load, the panel comes back.
  panel.thumbs()->clearSelection();
  panel.LoadSelected();
  EXPECT_EQ(view.loads.size(), 1u);
  EXPECT_EQ(view.panel_shows, 2);

  panel.OpenBigWindow();
  EXPECT_EQ(view.desktop_.control_panel_open, 0);
  EXPECT_EQ(view.scene_.loop_window_request, 2.0f);

  // The hidden preset list: entry 0 loads nothing, others load by file name.
  view.desktop_.sequence_names = {kNothingSelected, "A.lqf", "B.lqf"};
  panel.PresetChosen(0);
  panel.PresetChosen(2);
  panel.PresetChosen(9);
  EXPECT_EQ(view.loads.back(), "Sequences/B.lqf");
  EXPECT_EQ(view.loads.size(), 2u);

  view.desktop_.control_panel_open = 2;
  panel.show();
  panel.close();
  EXPECT_EQ(view.desktop_.control_panel_open, 0);
}

// The user's own loops (<XDG_DATA_HOME>/Vantaloop/Sequences) come after the bundled ones, with or
// without a picture; choosing one loads it from there, and a playing one is the one highlighted.
TEST_F(PanelTest, ListsAndLoadsTheUsersOwnLoops) {
  const std::filesystem::path user = dir / "data" / "Vantaloop" / "Sequences";
  std::filesystem::create_directories(user / "folder.lqf");
  test::WriteJpeg(dir / "Sequences" / "Clouds.jpg", 8, 8, Qt::white);
  test::WriteJpeg(user / "mine.jpg", 8, 8, Qt::white);
  test::WriteJpeg(user / "stray.jpg", 8, 8, Qt::white);  // a picture without its loop
  for (const char* name : {"mine.lqf", "bare.lqf", "loud.LQF", ".hidden.lqf"}) std::ofstream(user / name) << "x";
  const char* old = std::getenv("XDG_DATA_HOME");
  const std::string saved = old ? old : "";
  setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
  view.desktop_.loaded_sequence_path = (user / "bare.lqf").string();
  struct RestoreEnv {
    std::string value;
    ~RestoreEnv() { setenv("XDG_DATA_HOME", value.c_str(), 1); }
  } restore{saved};
  CControlPanelDlg panel(view);

  CThumbsListCtrl& list = *panel.thumbs();
  ASSERT_EQ(list.count(), 3);
  EXPECT_EQ(list.name(0), "Clouds.jpg");
  std::vector<std::string> mine = {list.name(1), list.name(2)};
  std::sort(mine.begin(), mine.end());
  EXPECT_EQ(mine, (std::vector<std::string>{"bare.jpg", "mine.jpg"}));
  EXPECT_EQ(list.folder(1), user.string());
  EXPECT_EQ(list.GetSelectedName(), "bare.jpg");  // the playing one, not the bundled first
  EXPECT_EQ(list.GetSelectedFolder(), user.string());

  panel.LoadSelected();
  ASSERT_EQ(view.loads.size(), 1u);
  EXPECT_EQ(view.loads[0], (user / "bare.lqf").string());
  list.SelectRow(0);
  panel.LoadSelected();
  EXPECT_EQ(view.loads.back(), "Sequences/Clouds.lqf");
}

TEST(UserLibrary, DataFolderFollowsXdgThenHome) {
  EXPECT_EQ(UserDataFolder("/x/data", "/home/me"), std::filesystem::path("/x/data/Vantaloop"));
  // A relative XDG_DATA_HOME is not used, as the XDG rules say.
  EXPECT_EQ(UserDataFolder("data", "/home/me"), std::filesystem::path("/home/me/.local/share/Vantaloop"));
  EXPECT_EQ(UserDataFolder("", "/home/me"), std::filesystem::path("/home/me/.local/share/Vantaloop"));
  EXPECT_EQ(UserDataFolder(nullptr, "/home/me"), std::filesystem::path("/home/me/.local/share/Vantaloop"));
  // Never the current folder.
  EXPECT_TRUE(UserDataFolder(nullptr, nullptr).empty());
  EXPECT_TRUE(UserDataFolder("rel", "also/rel").empty());
}

TEST(UserLibrary, ThumbnailNamesOnlyForLoopsThatMapBack) {
  const std::filesystem::path user = test::ScratchFolder("userloops");
  for (const char* name : {"a.lqf", "b.c.lqf", "d.LQF", ".e.lqf", "f.jpg", "lqf"}) std::ofstream(user / name) << "x";
  std::filesystem::create_directories(user / "g.lqf");
  std::vector<std::string> names = UserLoopThumbnailNames(user);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a.jpg", "b.c.jpg"}));
  for (const std::string& name : names) EXPECT_TRUE(std::filesystem::exists(user / *SequenceNameForThumbnail(name)));
  EXPECT_TRUE(UserLoopThumbnailNames(user / "missing").empty());
  EXPECT_TRUE(UserLoopThumbnailNames({}).empty());
}

}  // namespace
}  // namespace vl::ui
