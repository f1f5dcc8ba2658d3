// Where the program's windows land under a window manager (openbox), read from the X server: the
// control panel beside the picture and back where the user left it, full screen with nothing
// but the picture, the loading splash off the output screen, the big loop window with its title
// bar on the screen and the keyboard.
#include <gtest/gtest.h>

#include "tests/app/desktop/x_session.h"

namespace vl::xtest {
namespace {

const QColor kGreen(0, 200, 0);
// The loading splash's frame colour.
const QColor kSplashGold(250, 200, 40);

bool Eventually(const std::function<bool()>& done, int ms) {
  for (int waited = 0; waited <= ms; waited += 200) {
    if (done()) return true;
    SleepMs(200);
  }
  return false;
}

// The program's window with `role`, its client and frame rectangles.
struct Placed {
  Window id = 0;
  QRect client, frame;
};
std::optional<Placed> Find(XServer& x, const Program& program, const std::string& role, int ms = 15000) {
  auto w = program.WindowWithRole(role, ms);
  if (!w) return std::nullopt;
  return Placed{w->first, w->second, x.FrameOf(w->first, w->second)};
}

// Waits until the main window and the panel have been still for a second (the window manager
// and the program have both had their say).
std::pair<Placed, Placed> SettledWindows(XServer& x, const Program& program) {
  std::pair<Placed, Placed> last;
  int same = 0;
  for (int waited = 0; waited < 20000 && same < 5; waited += 200) {
    auto main = Find(x, program, "player", 0), panel = Find(x, program, "control-panel", 0);
    if (main && panel) {
      const bool still = main->frame == last.first.frame && panel->frame == last.second.frame;
      same = still ? same + 1 : 0;
      last = {*main, *panel};
    }
    SleepMs(200);
  }
  return last;
}

std::string Rect(const QRect& r) {
  return std::to_string(r.width()) + "x" + std::to_string(r.height()) + "+" + std::to_string(r.x()) + "+" +
         std::to_string(r.y());
}

void ExitFromMenu(XServer& x, const Placed& main) {
  x.Run("xdotool windowactivate --sync " + std::to_string(main.id) + " key alt+f sleep 0.4 key x");
}

// The panel opens beside the main window, on the screen and clear of its frame, so the whole
// picture shows: at the size the issue met (720 x 576 centred on 1280 x 1024, where only moving
// the main window makes room) and with every pixel doubled.
TEST(DesktopPlacement, ControlPanelNeverCoversThePicture) {
  const struct {
    const char* screen;
    int preset;
    const char* scale;
    QSize picture;
  } cases[] = {{"1280x1024x24", 0, "1", {768, 576}},
               {"1280x1024x24", 3, "1", {320, 240}},
               {"2560x1600x24", 3, "2", {320, 240}}};  // the preset's 4:3 picture in device pixels
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.screen) + " preset " + std::to_string(c.preset) + " scale " + c.scale);
    VL_X_SERVER_WITH_WM(x, c.screen);
    const fs::path home = Scratch("beside" + std::to_string(c.preset) + c.scale);
    Program::WriteSettings(home, c.preset, 1);
    const fs::path loop = CompileLoop(home, "green", PlainLoopSource(0, 200, 0));
    Program program(*x, home, {loop.string()}, {std::string("QT_SCALE_FACTOR=") + c.scale});
    ASSERT_TRUE(program.MainWindow()) << program.Stderr();
    ASSERT_TRUE(Find(*x, program, "control-panel")) << program.Stderr();
    const auto [main, panel] = SettledWindows(*x, program);
    const QRect screen(QPoint(0, 0), x->Grab().size());
    EXPECT_FALSE(panel.frame.intersects(main.frame)) << "main " << Rect(main.frame) << " panel " << Rect(panel.frame);
    EXPECT_TRUE(screen.contains(panel.frame)) << Rect(panel.frame);
    EXPECT_TRUE(screen.contains(main.frame)) << Rect(main.frame);
    // Every pixel of the picture is on the screen.
    const ColourArea green = FindColour(x->Grab(), kGreen);
    EXPECT_EQ(green.box.size(), c.picture);
    EXPECT_EQ(green.count, int64_t{c.picture.width()} * c.picture.height());
  }
}

// Where the user drags the panel is where it opens next time.
TEST(DesktopPlacement, ControlPanelOpensWhereTheUserLeftIt) {
  VL_X_SERVER_WITH_WM(x, "1600x1200x24");
  const fs::path home = Scratch("remember");
  Program::WriteSettings(home, 3, 1);
  const fs::path loop = CompileLoop(home, "green", PlainLoopSource(0, 200, 0));
  QRect moved_to;
  {
    Program program(*x, home, {loop.string()});
    ASSERT_TRUE(Find(*x, program, "control-panel")) << program.Stderr();
    const auto [main, panel] = SettledWindows(*x, program);
    // To the screen's bottom-right corner, clear of the main window.
    const QPoint target(1600 - panel.frame.width() - 10, 1200 - panel.frame.height() - 10);
    ASSERT_FALSE(QRect(target, panel.frame.size()).intersects(main.frame));
    x->Run("xdotool windowmove " + std::to_string(panel.id) + " " + std::to_string(target.x()) + " " +
           std::to_string(target.y()));
    SleepMs(1500);
    moved_to = Find(*x, program, "control-panel", 0)->frame;
    ASSERT_LE((moved_to.topLeft() - target).manhattanLength(), 40) << Rect(moved_to);
    ExitFromMenu(*x, main);
    for (int waited = 0; waited < 5000 && program.Running(); waited += 100) SleepMs(100);
    EXPECT_FALSE(program.Running());
  }
  Program again(*x, home, {loop.string()});
  ASSERT_TRUE(Find(*x, again, "control-panel")) << again.Stderr();
  const auto [main, panel] = SettledWindows(*x, again);
  EXPECT_LE((panel.frame.topLeft() - moved_to.topLeft()).manhattanLength(), 4)
      << Rect(panel.frame) << " left at " << Rect(moved_to);
}

// F11 on the only screen: the picture and black bars, no panel; Esc brings the panel back where
// it was. A model loaded meanwhile shows its splash nowhere on that screen.
TEST(DesktopPlacement, FullScreenShowsOnlyThePicture) {
  VL_X_SERVER_WITH_WM(x, "1280x1024x24");
  const fs::path home = Scratch("onlypicture");
  Program::WriteSettings(home, 0, 1);  // 720 x 576 shown 4:3: the 5:4 screen's width, bars above and below
  const fs::path loop = CompileLoop(home, "green", PlainLoopSource(0, 200, 0));
  Program program(*x, home, {loop.string()});
  ASSERT_TRUE(Find(*x, program, "control-panel")) << program.Stderr();
  const auto [main, panel] = SettledWindows(*x, program);
  x->Run("xdotool windowactivate --sync " + std::to_string(main.id) + " key F11");
  const QRect picture(0, 32, 1280, 960);
  ASSERT_TRUE(Eventually([&] { return FindColour(x->Grab(), kGreen).box == picture; }, 10000));
  SleepMs(1000);
  EXPECT_EQ(FindColour(x->Grab(), kGreen).count, 1280 * 960);
  EXPECT_FALSE(program.WindowWithRole("control-panel", 0));

  // The loop file changes to one with a model: reloaded with the splash's steps, none of it shown.
  CompileLoop(
      home, "green",
      PlainLoopSource(0, 200, 0, "model_1_on = 2\nmodel_1_load = 2\nmodel_1_file_name = \"model/Tardis.3ds\"\n"));
  bool splash_seen = false;
  const bool reloaded = Eventually(
      [&] {
        splash_seen |= FindColour(x->Grab(), kSplashGold, 12).count > 200;
        for (const std::string& s : program.StatusLines())
          if (s.rfind("Reloaded green.lqf", 0) == 0) return true;
        return false;
      },
      15000);
  EXPECT_TRUE(reloaded) << program.Stdout();
  EXPECT_FALSE(splash_seen);

  x->Run("xdotool key Escape");
  EXPECT_TRUE(Eventually([&] { return program.WindowWithRole("control-panel", 0).has_value(); }, 5000));
  const auto [main_after, panel_after] = SettledWindows(*x, program);
  EXPECT_EQ(panel_after.frame, panel.frame);
  EXPECT_FALSE(panel_after.frame.intersects(main_after.frame));
}

// Two screens, full screen on the left one (the main window's): a model loaded meanwhile shows
// its splash on the right screen, where the controls are, never over the picture.
TEST(DesktopPlacement, SplashShowsOnTheControlScreen) {
  VL_X_SERVER_WITH_WM(x, "2560x1024x24");
  x->Run("xrandr --setmonitor LEFT 1280/340x1024/270+0+0 screen");
  x->Run("xrandr --setmonitor RIGHT 1280/340x1024/270+1280+0 none");
  if (x->Run("xrandr --listmonitors").find("RIGHT") == std::string::npos) GTEST_SKIP() << "no RandR monitors here";
  const fs::path home = Scratch("splashscreen");
  Program::WriteSettings(home, 0, 1, 0, 1, "[Output%20Screen]\nName=LEFT\n");
  const fs::path loop = CompileLoop(home, "green", PlainLoopSource(0, 200, 0));
  Program program(*x, home, {loop.string()});
  auto main = Find(*x, program, "player");
  ASSERT_TRUE(main) << program.Stderr();
  ASSERT_LT(main->frame.right(), 1280);
  SleepMs(1500);
  x->Run("xdotool windowactivate --sync " + std::to_string(main->id) + " key F11");
  ASSERT_TRUE(
      Eventually([&] { return FindColour(x->Grab(QRect(0, 0, 1280, 1024)), kGreen).count == 1280 * 960; }, 10000));
  CompileLoop(
      home, "green",
      PlainLoopSource(0, 200, 0, "model_1_on = 2\nmodel_1_load = 2\nmodel_1_file_name = \"model/Tardis.3ds\"\n"));
  bool on_output = false, on_control = false;
  Eventually(
      [&] {
        on_output |= FindColour(x->Grab(QRect(0, 0, 1280, 1024)), kSplashGold, 12).count > 200;
        on_control |= FindColour(x->Grab(QRect(1280, 0, 1280, 1024)), kSplashGold, 12).count > 200;
        for (const std::string& s : program.StatusLines())
          if (s.rfind("Reloaded green.lqf", 0) == 0) return true;
        return false;
      },
      15000);
  EXPECT_FALSE(on_output);
  EXPECT_TRUE(on_control);
}

// The big loop window from the panel's button: inside the screen with its title bar, clear of
// the main window's menu, and it has the keyboard: the first Esc closes it (leaving the panel
// closed too, until View > Open Controls).
TEST(DesktopPlacement, BigLoopWindowOnScreenWithTheKeyboard) {
  VL_X_SERVER_WITH_WM(x, "1280x1024x24");
  const fs::path home = Scratch("bigwindow");
  Program::WriteSettings(home, 3, 1);
  const fs::path loop = CompileLoop(home, "green", PlainLoopSource(0, 200, 0));
  Program program(*x, home, {loop.string()});
  ASSERT_TRUE(Find(*x, program, "control-panel")) << program.Stderr();
  const auto [main, panel] = SettledWindows(*x, program);
  const QPoint button = panel.client.topLeft() + QPoint(296, 185);  // "Open Big Window"
  x->Run("xdotool mousemove " + std::to_string(button.x()) + " " + std::to_string(button.y()) + " click 1");
  // The program's one untitled window this large.
  auto find_big = [&]() -> std::optional<Placed> {
    for (const auto& w : x->WindowsTitled(""))
      if (w.second.width() >= 600 && w.second.height() >= 400)
        return Placed{w.first, w.second, x->FrameOf(w.first, w.second)};
    return std::nullopt;
  };
  std::optional<Placed> big;
  ASSERT_TRUE(Eventually([&] { return (big = find_big()).has_value(); }, 8000));
  const QRect screen(0, 0, 1280, 1024);
  EXPECT_TRUE(screen.contains(big->frame)) << Rect(big->frame);
  EXPECT_GT(big->frame.top(), big->client.top() - 60);  // it has a title bar, and on the screen
  EXPECT_GE(big->frame.top(), 0);
  // Clear of the main window's menu bar (the first 20 pixels of the client area).
  EXPECT_FALSE(big->frame.intersects(QRect(main.client.topLeft(), QSize(main.client.width(), 20))))
      << Rect(big->frame) << " main " << Rect(main.client);
  x->Run("xdotool key Escape");
  EXPECT_TRUE(Eventually([&] { return !find_big(); }, 3000));
  EXPECT_TRUE(program.Running());
}

// Two X screens alike in name and size (each at 0, 0): the second, chosen in the settings, is
// where full screen goes, and Esc returns to the first.
TEST(DesktopPlacement, FullScreenOnTheSecondXScreen) {
  std::string error;
  auto x = XServer::Start("1280x1024x24", &error, "1280x1024x24");
  if (!x) {
    if (InCi()) FAIL() << error;
    GTEST_SKIP() << error;
  }
  if (ScreenCount(x->dpy()) < 2) GTEST_SKIP() << "one X screen only";
  const fs::path home = Scratch("xscreens");
  Program::WriteSettings(home, 0, 1, 0, 1, "[Output%20Screen]\nName=screen 1280x1024+0+0 #2\n");
  const fs::path loop = CompileLoop(home, "green", PlainLoopSource(0, 200, 0));
  Program program(*x, home, {loop.string()});
  auto main = Find(*x, program, "player");
  ASSERT_TRUE(main) << program.Stderr();
  ASSERT_TRUE(Eventually([&] { return FindColour(x->Grab(), kGreen).count == 768 * 576; }, 10000));
  EXPECT_EQ(FindColour(x->Grab({}, 1), kGreen).count, 0);
  x->Run("xdotool windowfocus --sync " + std::to_string(main->id) + " key F11");
  EXPECT_TRUE(Eventually([&] { return FindColour(x->Grab({}, 1), kGreen).count == 1280 * 960; }, 10000))
      << FindColour(x->Grab({}, 1), kGreen).count << " " << program.Stdout();
  EXPECT_TRUE(program.WaitForStatus(
      [](const std::string& s) { return s.find("Full screen on 2: screen (1280 x 1024 at 0, 0, X screen 1)") == 0; },
      3000))
      << program.Stdout();
  // The controls stay on the first X screen, whose coordinates are its own.
  EXPECT_TRUE(program.WindowWithRole("control-panel", 3000));
  // Esc: back on the first X screen, as it was.
  x->Run("xdotool key Escape");
  EXPECT_TRUE(Eventually([&] { return FindColour(x->Grab(), kGreen).count == 768 * 576; }, 10000))
      << FindColour(x->Grab(), kGreen).count;
  EXPECT_EQ(FindColour(x->Grab({}, 1), kGreen).count, 0);
  EXPECT_TRUE(program.Running());
}

}  // namespace
}  // namespace vl::xtest
