// The whole program in one window on the X display: start-up with the bundled library, playback
// ticks that draw, the lock that skips ticks without blanking the picture, the panels, a damaged
// loop, and a video export.
#include <climits>
#include <cstdlib>
#include <cstring>

#include <QGuiApplication>

#include "app/desktop/main_frame.h"
#include "engine/asset_paths.h"
#include "ui/thumbs_list_ctrl.h"
#include "tests/ui/ui_fixtures.h"

namespace vl::desktop {
namespace {

namespace fs = std::filesystem;

bool InCi() {
  const char* ci = std::getenv("CI");
  return ci && std::strcmp(ci, "true") == 0;
}

// Share of pixels that are not the black background.
double DrawnShare(const QImage& image) {
  if (image.isNull()) return 0.0;
  int64_t drawn = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x)
      if ((image.pixel(x, y) & 0xFFFFFF) != 0) ++drawn;
  return static_cast<double>(drawn) / (static_cast<double>(image.width()) * image.height());
}

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (QGuiApplication::platformName() != "xcb") {
      if (InCi()) FAIL() << "no X display for the window tests";
      GTEST_SKIP() << "no X display (platform " << QGuiApplication::platformName().toStdString() << ")";
    }
    SetProgramFolder(VL_BIN_DIR);
    dir = test::ScratchFolder("main_window");
    settings = test::ScratchSettings(dir);
    ViewOptions options;
    options.quiet = true;
    options.splash_pause_ms = 0;
    frame = std::make_unique<CMainFrame>(*settings, options);
    view = frame->view();
  }
  void TearDown() override { frame.reset(); }

  void StartAndPlay(int ticks) {
    frame->show();
    ASSERT_TRUE(test::WaitFor([&] { return view->ticks_drawn() >= ticks; }, 20000))
        << "drawn " << view->ticks_drawn() << ", skipped " << view->ticks_skipped();
  }

  fs::path dir;
  std::unique_ptr<QSettings> settings;
  std::unique_ptr<CMainFrame> frame;
  CZentropeView* view = nullptr;
};

TEST_F(MainWindowTest, CommandLineLoopPlaysAndDraws) {
  frame->SetCommandLineFile((fs::path(VL_BIN_DIR) / "Sequences" / "default.lqf").string());
  StartAndPlay(8);
  engine::SceneState& s = view->scene();
  EXPECT_EQ(s.sequence_file_name, "default.lqf");
  EXPECT_GT(s.keyframe_count, 0);
  EXPECT_EQ(s.locked_fps, 30);                  // empty profile: preset 1
  EXPECT_EQ(frame->size(), QSize(724, 621));
  EXPECT_GT(s.current_frame, 0);
  EXPECT_EQ(view->desktop().startup_sequence_index, 0);  // no random pick
  EXPECT_GE(view->desktop().sequence_count, 1);

  const QImage shown = view->grabFramebuffer();
  EXPECT_GT(DrawnShare(shown), 0.2);

  // A tick the lock skips draws nothing, and the widget keeps showing the last frame.
  s.lock_frame_rate = 1;
  s.lock_last_ms = INT32_MAX;
  const int skipped = view->ticks_skipped();
  const QImage kept = view->grabFramebuffer();
  EXPECT_GT(view->ticks_skipped(), skipped);
  EXPECT_EQ(kept, shown);
}

TEST_F(MainWindowTest, RandomStartPanelsAndDamagedLoop) {
  StartAndPlay(3);
  ui::DesktopState& d = view->desktop();
  engine::SceneState& s = view->scene();
  EXPECT_GE(d.startup_sequence_index, 1);  // random start is on in an empty profile
  ASSERT_TRUE(test::WaitFor([&] { return view->control_panel() != nullptr; }, 5000));
  ui::CControlPanelDlg* panel = view->control_panel();
  EXPECT_EQ(d.control_panel_open, 2);
  EXPECT_GT(panel->thumbs()->count(), 0);

  // Open Controls while the panel is up changes nothing; after its close box it makes a new one.
  view->OpenControls();
  EXPECT_EQ(view->control_panel(), panel);
  panel->close();
  EXPECT_EQ(d.control_panel_open, 0);
  view->OpenControls();
  EXPECT_NE(view->control_panel(), nullptr);
  EXPECT_EQ(d.control_panel_open, 2);

  // A damaged loop is reported by name and the playing loop stays.
  const std::string before = s.sequence_file_name;
  const int keys = s.keyframe_count;
  const fs::path broken = dir / "Broken.lqf";
  test::WriteText(broken, std::string("\x00\x00\xc0\x40garbage", 11));
  EXPECT_FALSE(view->LoadLoop(broken.string()));
  ASSERT_FALSE(view->reported().empty());
  EXPECT_NE(view->reported().back().find("Broken.lqf"), std::string::npos) << view->reported().back();
  EXPECT_EQ(s.sequence_file_name, before);
  EXPECT_EQ(s.keyframe_count, keys);

  // The big window replaces the panel; Esc leaves both hidden.
  view->control_panel()->OpenBigWindow();
  ASSERT_TRUE(test::WaitFor([&] { return view->loop_window() != nullptr; }, 5000));
  EXPECT_FALSE(view->control_panel()->isVisible());
  EXPECT_GT(view->loop_window()->thumbs()->count(), 0);
  view->loop_window()->reject();
  EXPECT_EQ(d.control_panel_open, 0);
  EXPECT_FALSE(view->control_panel()->isVisible());
  view->OpenControls();
  EXPECT_EQ(d.control_panel_open, 2);

  // New project: no keys, stopped, panel hidden.
  view->NewProject(false);
  EXPECT_EQ(s.keyframe_count, 0);
  EXPECT_EQ(s.playing, 0);
  EXPECT_EQ(d.control_panel_open, 0);
}

TEST_F(MainWindowTest, ExportsTheLoopToAVideoFile) {
  frame->SetCommandLineFile((fs::path(VL_BIN_DIR) / "Sequences" / "default.lqf").string());
  StartAndPlay(2);
  view->scene().export_preset = 14;  // 176 x 144 at 30
  const fs::path out = dir / "loop.mp4";
  std::string error;
  ASSERT_TRUE(view->ExportVideoTo(out.string(), &error)) << error;
  EXPECT_GT(fs::file_size(out), 1000u);
  // The screen goes on playing afterwards.
  const int drawn = view->ticks_drawn();
  EXPECT_TRUE(test::WaitFor([&] { return view->ticks_drawn() > drawn + 2; }, 5000));

  std::string bad_error;
  EXPECT_FALSE(view->ExportVideoTo((dir / "no_such_folder" / "x.mp4").string(), &bad_error));
  EXPECT_FALSE(bad_error.empty());
}

}  // namespace
}  // namespace vl::desktop
