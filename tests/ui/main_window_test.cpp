// The whole program in one window on the X display: start-up with the bundled library, playback
// ticks that draw, the lock that skips ticks without blanking the picture, the panels, a damaged
// loop, and a video export.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include <QGuiApplication>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>

#include "app/desktop/main_frame.h"
#include "engine/asset_paths.h"
#include "engine/sequence_text.h"
#include "engine/sequence_writer.h"
#include "ui/live_sync.h"
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
  EXPECT_EQ(s.locked_fps, 30);                                          // empty profile: preset 1
  EXPECT_EQ(view->size() * view->devicePixelRatio(), QSize(640, 480));  // the preset's 4:3 picture
  EXPECT_GT(s.current_frame, 0);
  EXPECT_EQ(view->desktop().startup_sequence_index, 0);  // no random pick
  EXPECT_GE(view->desktop().sequence_count, 1);

  // A tick the lock skips draws nothing, and the widget keeps showing the last frame, pixel for
  // pixel.
  s.lock_frame_rate = 1;
  s.lock_last_ms = INT32_MAX;
  const QImage shown = view->shown_frame();
  EXPECT_GT(DrawnShare(shown), 0.2);
  const int skipped = view->ticks_skipped();
  const int drawn = view->ticks_drawn();
  ASSERT_TRUE(test::WaitFor([&] { return view->ticks_skipped() > skipped + 2; }, 5000));
  EXPECT_EQ(view->ticks_drawn(), drawn);
  EXPECT_EQ(view->shown_frame(), shown);
  EXPECT_EQ(view->grab().toImage().convertToFormat(QImage::Format_RGB32), shown);
}

TEST_F(MainWindowTest, RandomStartPanelsAndDamagedLoop) {
  StartAndPlay(3);
  ui::DesktopState& d = view->desktop();
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
  // (The scene is asked for afresh after every wait: the view draws meanwhile.)
  const std::string before = view->scene().sequence_file_name;
  const int keys = view->scene().keyframe_count;
  const fs::path broken = dir / "Broken.lqf";
  test::WriteText(broken, std::string("\x00\x00\xc0\x40garbage", 11));
  EXPECT_FALSE(view->LoadLoop(broken.string()));
  ASSERT_FALSE(view->reported().empty());
  EXPECT_NE(view->reported().back().find("Broken.lqf"), std::string::npos) << view->reported().back();
  EXPECT_EQ(view->scene().sequence_file_name, before);
  EXPECT_EQ(view->scene().keyframe_count, keys);

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
  EXPECT_EQ(view->scene().keyframe_count, 0);
  EXPECT_EQ(view->scene().playing, 0);
  EXPECT_EQ(d.control_panel_open, 0);
}

TEST_F(MainWindowTest, StatusBarSaysWhetherANewLoopPlays) {
  const std::string loop = (fs::path(VL_BIN_DIR) / "Sequences" / "default.lqf").string();
  frame->SetCommandLineFile(loop);
  StartAndPlay(2);
  EXPECT_EQ(frame->statusBar()->currentMessage(), "Playing default.lqf");
  ASSERT_TRUE(test::WaitFor([&] { return view->control_panel() != nullptr; }, 5000));
  view->control_panel()->Stop();
  ASSERT_TRUE(view->LoadLoop(loop));
  EXPECT_EQ(frame->statusBar()->currentMessage(), "Stopped: default.lqf");
  // It really waits on frame 0.
  const int drawn = view->ticks_drawn();
  ASSERT_TRUE(test::WaitFor([&] { return view->ticks_drawn() > drawn + 3; }, 5000));
  EXPECT_EQ(view->scene().current_frame, 0);
  view->control_panel()->Play();
  ASSERT_TRUE(view->LoadLoop(loop));
  EXPECT_EQ(frame->statusBar()->currentMessage(), "Playing default.lqf");
}

TEST_F(MainWindowTest, ExportsInTheBackgroundWhileTheViewPlays) {
  // The bundled default loop cut to 20 frames keeps the export short.
  const fs::path loop = dir / "short.lqf";
  {
    auto scene = std::make_unique<engine::SceneState>();
    std::ifstream in(fs::path(VL_TEST_DATA) / ".." / ".." / "res" / "loops" / "default.txt");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t last_key = text.rfind("frame = 300");
    ASSERT_NE(last_key, std::string::npos);
    text.replace(last_key, 11, "frame = 20");
    text.replace(text.rfind("frame = 150"), 11, "frame = 10");
    ASSERT_FALSE(engine::CompileSequence(text, "short", *scene));
    ASSERT_FALSE(engine::WriteSequenceFile(*scene, loop));
  }
  frame->SetCommandLineFile(loop.string());
  StartAndPlay(2);
  frame->resize(360, 300);           // a small view keeps its ticks quick on a busy machine
  view->scene().export_preset = 14;  // 176 x 144 at 30, H.263 in 3GP
  std::string error;
  EXPECT_FALSE(view->StartExport((dir / "loop.mp4").string(), exporting::ExportFormat::kPresetOwn, &error));
  EXPECT_NE(error.find("must end in .3gp"), std::string::npos) << error;

  const fs::path out = dir / "loop.3gp";
  ASSERT_TRUE(view->StartExport(out.string(), exporting::ExportFormat::kPresetOwn, &error)) << error;
  VideoExport* job = view->video_export();
  EXPECT_FALSE(view->StartExport(out.string(), exporting::ExportFormat::kPresetOwn, &error)) << "one at a time";
  // The view goes on drawing while the export runs on its own thread.
  const int drawn = view->ticks_drawn();
  ASSERT_TRUE(test::WaitFor([&] { return !job->running(); }, 120000));
  EXPECT_TRUE(job->result().ok) << job->result().error;
  EXPECT_GE(view->ticks_drawn(), drawn + 3) << "the view stood still during the export";
  EXPECT_EQ(job->result().frames_written, 20);
  EXPECT_EQ(job->frames_done(), 20);
  EXPECT_GT(fs::file_size(out), 1000u);

  // A cancelled export stops and leaves no file.
  ASSERT_TRUE(view->LoadLoop((fs::path(VL_BIN_DIR) / "Sequences" / "default.lqf").string()));
  const fs::path cancelled = dir / "cancelled.gif";
  ASSERT_TRUE(view->StartExport(cancelled.string(), exporting::ExportFormat::kGif, &error)) << error;
  job = view->video_export();
  ASSERT_TRUE(test::WaitFor([&] { return job->frames_done() >= 2 || !job->running(); }, 60000));
  job->Cancel();
  ASSERT_TRUE(test::WaitFor([&] { return !job->running(); }, 10000));
  EXPECT_TRUE(job->result().cancelled);
  EXPECT_LT(job->result().frames_written, 300);
  EXPECT_FALSE(fs::exists(cancelled));
  for (const auto& e : fs::directory_iterator(dir)) EXPECT_NE(e.path().filename().string().rfind(".vl-", 0), 0u);
}

// A loop with one key, or keys that run backwards, has nothing to play: it is refused and the
// loop on screen plays on (before, it replaced it with a frozen black picture).
TEST_F(MainWindowTest, ALoopWithNothingToPlayKeepsThePlayingOne) {
  frame->SetCommandLineFile((fs::path(VL_BIN_DIR) / "Sequences" / "default.lqf").string());
  StartAndPlay(2);
  const int keys = view->scene().keyframe_count;
  ASSERT_GT(keys, 0);
  const struct {
    const char* name;
    const char* keys;
  } cases[] = {{"one_key.txt", "[key]\nframe = 0\n"}, {"backwards.txt", "[key]\nframe = 300\n[key]\nframe = 0\n"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::WriteText(dir / c.name, std::string("version 6\n\n[settings]\ntext_on = 0\n\n") + c.keys);
    EXPECT_FALSE(view->LoadLoop((dir / c.name).string()));
    ASSERT_FALSE(view->reported().empty());
    EXPECT_EQ(view->reported().back(), std::string("Could not load the loop: ") + c.name +
                                           ": the loop has no frames to play (the loop on screen plays on)");
    EXPECT_EQ(view->scene().sequence_file_name, "default.lqf");
    EXPECT_EQ(view->scene().keyframe_count, keys);
    EXPECT_EQ(view->desktop().loaded_sequence_path, (fs::path(VL_BIN_DIR) / "Sequences" / "default.lqf").string());
    const int drawn = view->ticks_drawn();
    ASSERT_TRUE(test::WaitFor([&] { return view->ticks_drawn() > drawn + 2; }, 5000));
    EXPECT_GT(DrawnShare(view->shown_frame()), 0.2);
  }
}

TEST_F(MainWindowTest, OptionsSayWhetherThereIsMidiAndOfferLink) {
  QMenu* options = nullptr;
  for (QAction* a : frame->menuBar()->actions())
    if (a->text() == "Options") options = a->menu();
  ASSERT_TRUE(options);
  QAction* midi = nullptr;
  QAction* link = nullptr;
  for (QAction* a : options->actions()) {
    if (a->text().startsWith("MIDI")) midi = a;
    if (a->text() == "Join Link Session") link = a;
  }
  ASSERT_TRUE(midi && link);
  if (fs::exists("/dev/snd/seq")) {
    EXPECT_EQ(midi->text(), "MIDI...");
  } else {
    EXPECT_EQ(midi->text(), "MIDI (no MIDI system)...");
    EXPECT_NE(midi->statusTip().indexOf("/dev/snd/seq"), -1) << midi->statusTip().toStdString();
  }
  // Joining is left to the Link tests, which run on a network of their own: here Link would
  // announce itself on every network the machine has.
  EXPECT_TRUE(link->isCheckable());
  EXPECT_FALSE(link->isChecked());
  EXPECT_FALSE(frame->live_sync()->link_joined());
}

TEST(VideoExportText, ProgressShowsFramesElapsedAndTimeLeft) {
  EXPECT_EQ(VideoExport::ProgressText(exporting::ExportPhase::kRecording, 30, 300, 5000, 45000),
            "Frame 30 of 300\nElapsed 0:05, about 0:45 left");
  EXPECT_EQ(VideoExport::ProgressText(exporting::ExportPhase::kRecording, 1, 300, 5000),
            "Frame 1 of 300\nElapsed 0:05");
  EXPECT_EQ(VideoExport::ProgressText(exporting::ExportPhase::kPreroll, 10, 300, 61000),
            "Playing the loop through once before recording (10 of 300)\nElapsed 1:01");
}

// The time left comes from the pace of recent frames. Seen: 12 s of preroll and start-up, then
// frames at 200 ms; at frame 48 of 250 the average since the start said 1:38 left, the export
// needed 0:40 more.
TEST(VideoExportText, TimeLeftFollowsTheRecentPace) {
  TimeLeftEstimate left;
  EXPECT_EQ(left.LeftMs(250), -1);
  left.Recorded(12000, 1);
  left.Recorded(12200, 2);
  EXPECT_EQ(left.LeftMs(250), -1);  // one interval is no pace yet
  for (int frame = 3; frame <= 48; ++frame) left.Recorded(12000 + 200 * (frame - 1), frame);
  EXPECT_NEAR(static_cast<double>(left.LeftMs(250)), 202 * 200.0, 200.0);
  // The pace changes (a busier part of the loop): within the window the estimate follows it.
  for (int frame = 49; frame <= 100; ++frame) left.Recorded(21400 + 400 * (frame - 48), frame);
  EXPECT_NEAR(static_cast<double>(left.LeftMs(250)), 150 * 400.0, 400.0);
  // Repeated counts (a progress call shown twice) change nothing; the end is no time left.
  left.Recorded(50000, 100);
  EXPECT_NEAR(static_cast<double>(left.LeftMs(250)), 150 * 400.0, 400.0);
  left.Recorded(80000, 250);
  EXPECT_EQ(left.LeftMs(250), 0);
}

}  // namespace
}  // namespace vl::desktop
