// The desktop program on its own X server, looked at as pixels: the view sized to the preset's
// frame, the passes covering the whole view on a scaled screen, the loading splash painted while a
// model loads, asset problems told without a box, the Open dialog, and full screen on a second
// screen.
#include <gtest/gtest.h>

#include "tests/app/desktop/x_session.h"

namespace vl::xtest {
namespace {

const QColor kGreen(0, 200, 0);

// Polls `done` every 200 ms for up to `ms`.
bool Eventually(const std::function<bool()>& done, int ms) {
  for (int waited = 0; waited <= ms; waited += 200) {
    if (done()) return true;
    SleepMs(200);
  }
  return false;
}

// Waits until the program shows a rectangle of `colour` that stays the same for a few grabs.
ColourArea WaitForStillArea(XServer& x, QColor colour, int ms, int tol = 2) {
  ColourArea last;
  int same = 0;
  for (int waited = 0; waited <= ms; waited += 200) {
    ColourArea now = FindColour(x.Grab(), colour, tol);
    if (now.count > 0 && now.box == last.box && now.count == last.count) {
      if (++same >= 2) return now;
    } else {
      same = 0;
    }
    last = now;
    SleepMs(200);
  }
  return last;
}

// Starts the program with preset `preset` applied at start-up and a green still loop.
struct PresetRun {
  PresetRun(XServer& x, const std::string& name, int preset, std::vector<std::string> env = {}) : home(Scratch(name)) {
    Program::WriteSettings(home, preset, /*resize=*/1);
    loop = CompileLoop(home, "green", PlainLoopSource(kGreen.red(), kGreen.green(), kGreen.blue()));
    program = std::make_unique<Program>(x, home, std::vector<std::string>{loop.string()}, std::move(env));
  }
  fs::path home, loop;
  std::unique_ptr<Program> program;
};

// The view takes the shape the preset's file is shown at: DV and VCD pictures are 4:3 (720 x 576
// shown at 768 x 576, 352 x 240 at 320 x 240), HD is square.
TEST(DesktopWindow, ViewIsExactlyThePresetFrameSize) {
  VL_X_SERVER(x, "1600x1200x24");
  const struct { int preset, w, h; } cases[] = {{0, 768, 576}, {3, 320, 240}, {15, 1280, 720}};
  for (const auto& c : cases) {
    SCOPED_TRACE("preset " + std::to_string(c.preset));
    PresetRun run(*x, "preset" + std::to_string(c.preset), c.preset);
    ASSERT_TRUE(run.program->MainWindow()) << run.program->Stderr();
    const ColourArea view = WaitForStillArea(*x, kGreen, 15000);
    EXPECT_EQ(view.box.size(), QSize(c.w, c.h));
    EXPECT_EQ(view.count, int64_t{c.w} * c.h);  // all of it drawn, nothing over it

    if (c.preset == 3) {
      // Hiding the status bar (View > Status Bar) keeps the view's size; the window shrinks.
      auto main_of = [&] {
        for (const auto& w : x->WindowsTitled("Vantaloop"))
          if (w.second.contains(view.box.center())) return w.second;
        return QRect();
      };
      const QRect before = main_of();
      x->Run("xdotool mousemove " + std::to_string(view.box.center().x()) + " " +
             std::to_string(view.box.center().y()) + " click 1 key alt+v sleep 0.5 key s");
      SleepMs(1500);
      const QRect after = main_of();
      EXPECT_LT(after.height(), before.height());
      const ColourArea hidden = WaitForStillArea(*x, kGreen, 5000);
      EXPECT_EQ(hidden.box.size(), QSize(c.w, c.h));
    }
    EXPECT_TRUE(run.program->Running());
  }

  // 1920 x 1080 does not fit on 1600 x 1200: as large as fits, the aspect kept, and said.
  PresetRun big(*x, "preset16", 16);
  ASSERT_TRUE(big.program->MainWindow());
  const ColourArea view = WaitForStillArea(*x, kGreen, 15000);
  EXPECT_LE(view.box.width(), 1600);
  EXPECT_GT(view.box.width(), 1400);
  EXPECT_NEAR(static_cast<double>(view.box.width()) / view.box.height(), 1920.0 / 1080.0, 0.01);
  EXPECT_TRUE(big.program->WaitForStatus(
      [](const std::string& s) { return s.find("larger than the screen") != std::string::npos; }, 5000))
      << big.program->Stdout();
}

// With every logical pixel two device pixels, a screen-filling echo of a uniform glow capture
// must cover the whole view, not its lower-left quarter.
TEST(DesktopWindow, PassesCoverTheWholeViewOnAScaledScreen) {
  VL_X_SERVER(x, "1600x2000x24");  // room for the panel below the window
  const fs::path home = Scratch("hidpi");
  Program::WriteSettings(home, 15, 1);  // 1280 x 720 device pixels
  const fs::path loop = CompileLoop(home, "echo",
                                    PlainLoopSource(100, 100, 100, "fx_text = 2\nscene_echo_on = 2\n",
                                                    "scene_echo_r = 0\nscene_echo_g = 0\nscene_echo_b = 100\n"
                                                    "scene_echo_layers = 10\n"));
  Program program(*x, home, {loop.string()}, {"QT_SCALE_FACTOR=2"});
  ASSERT_TRUE(program.MainWindow()) << program.Stderr();
  SleepMs(4000);
  // The main window is the one at the top (the panel sits below it).
  QRect main;
  for (const auto& w : x->WindowsTitled("Vantaloop"))
    if (main.isNull() || w.second.y() < main.y()) main = w.second;
  const QImage screen = x->Grab(main);
  // The echo adds blue to the grey clear everywhere; grey left over means a part of the view
  // the passes did not reach.
  int64_t tinted = 0, bare = 0;
  int x0 = INT32_MAX, y0 = INT32_MAX, x1 = -1, y1 = -1;
  for (int y = 0; y < screen.height(); ++y)
    for (int xx = 0; xx < screen.width(); ++xx) {
      const QRgb p = screen.pixel(xx, y);
      const int r = qRed(p), g = qGreen(p), b = qBlue(p);
      if (std::abs(r - 100) <= 3 && std::abs(g - 100) <= 3 && std::abs(b - 100) <= 3) {
        ++bare;
      } else if (std::abs(g - 100) <= 3 && b > 130) {  // grey with the echo's colour added
        ++tinted;
        x0 = std::min(x0, xx), y0 = std::min(y0, y), x1 = std::max(x1, xx), y1 = std::max(y1, y);
      }
    }
  const QRect view(QPoint(x0, y0), QPoint(x1, y1));
  EXPECT_EQ(view.size(), QSize(1280, 720));
  bare = 0;  // inside the view (menu and status texts may use that grey)
  for (int y = view.top(); y <= view.bottom(); ++y)
    for (int xx = view.left(); xx <= view.right(); ++xx) {
      const QRgb p = screen.pixel(xx, y);
      bare += std::abs(qRed(p) - 100) <= 3 && std::abs(qGreen(p) - 100) <= 3 && std::abs(qBlue(p) - 100) <= 3;
    }
  EXPECT_EQ(bare, 0);
  EXPECT_GT(tinted, 1280 * 720 * 95 / 100);
}

// The splash's text is drawn and the main window painted while a model loop loads.
TEST(DesktopWindow, SplashAndWindowArePaintedWhileAModelLoads) {
  VL_X_SERVER(x, "1280x1024x24");
  const fs::path home = Scratch("splash");
  Program::WriteSettings(home, 3, 1);
  Program program(*x, home, {(fs::path(VL_BIN_DIR) / "Sequences" / "model_single.lqf").string()});
  // The splash: 343 x 122, centred on the screen; its message area is white text on dark blue.
  const QRect splash((1280 - 343) / 2, (1024 - 122) / 2, 343, 122);
  const QRect text_area = QRect(125, 60, 166, 44).translated(splash.topLeft());
  std::vector<QImage> texts;
  bool window_painted_during_load = false;
  for (int waited = 0; waited < 12000; waited += 150) {
    const QImage shot = x->Grab();
    const QImage area = shot.copy(text_area);
    const bool frame_seen = FindColour(shot.copy(splash), QColor(250, 200, 40), 12).count > 200;
    const int64_t white = FindColour(area, Qt::white, 40).count;
    if (frame_seen && white > 30) {
      if (texts.empty() || texts.back() != area) texts.push_back(area);
      // The main window behind: its menu bar and status bar are drawn while the load waits.
      if (auto w = x->WindowsTitled("Vantaloop"); !w.empty()) {
        const QRect r = w.front().second;
        const QImage top = shot.copy(QRect(r.x(), r.y(), r.width(), 20));
        const QImage bottom = shot.copy(QRect(r.x(), r.bottom() - 20, r.width(), 20));
        window_painted_during_load |= PaintedShare(top) > 0.9 && PaintedShare(bottom) > 0.9;
      }
    }
    if (texts.size() >= 3 && window_painted_during_load) break;
    SleepMs(150);
  }
  // "Please Wait:", the file, "Is Now Loading": three different texts.
  EXPECT_GE(texts.size(), 3u);
  EXPECT_TRUE(window_painted_during_load);
  // After the load the model plays.
  EXPECT_TRUE(program.WaitForStatus([](const std::string& s) { return s == "Playing model_single.lqf"; }, 10000))
      << program.Stdout();
  EXPECT_TRUE(program.Running());
}

// A missing picture is told in the status bar and on stderr, with no box; the model loader's
// "Warning" (version above 3) comes before its "Error", both as boxes.
TEST(DesktopWindow, AssetProblemsAreToldWhereTheyBelong) {
  VL_X_SERVER(x, "1280x1024x24");
  const fs::path home = Scratch("assets");
  // A wide square-pixel preset (700 x 200): the photo planes leave the green at the sides.
  Program::WriteSettings(home, 8, 1);
  const fs::path loop = CompileLoop(
      home, "photo", PlainLoopSource(0, 200, 0, "photo_on = 2\nphoto_a_name = \"Images/nowhere-to-be-found.jpg\"\n"));
  {
    Program program(*x, home, {loop.string()});
    ASSERT_TRUE(program.MainWindow());
    EXPECT_TRUE(program.WaitForStatus(
        [](const std::string& s) {
          return s.rfind("Playing photo.lqf", 0) == 0 && s.find("nowhere-to-be-found.jpg") != std::string::npos;
        },
        10000))
        << program.Stdout();
    SleepMs(1000);
    EXPECT_LE(x->WindowsTitled("Vantaloop").size(), 2u);  // the main window and the panel, no box
    EXPECT_NE(program.Stderr().find("nowhere-to-be-found.jpg"), std::string::npos) << program.Stderr();
    // The picture plays on (the photo planes draw untextured over part of the green).
    EXPECT_GT(FindColour(x->Grab(), kGreen).count, 500);
  }

  // Version 4, then a child chunk running past the file's end.
  const std::vector<uint8_t> bytes = {0x4D, 0x4D, 22, 0, 0, 0,    0x02, 0x00, 10, 0, 0,
                                      0,    4,    0,  0, 0, 0x3D, 0x3D, 100,  0,  0, 0};
  fs::create_directories(home / "lib" / "model");
  std::ofstream(home / "lib" / "model" / "late.3ds", std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  fs::copy(fs::path(VL_BIN_DIR) / "Sequences", home / "lib" / "Sequences", fs::copy_options::recursive);
  const fs::path model_loop = CompileLoop(
      home, "late",
      PlainLoopSource(0, 200, 0, "model_1_on = 2\nmodel_1_load = 2\nmodel_1_file_name = \"model/late.3ds\"\n"));
  Program program(*x, home, {model_loop.string(), "--library", (home / "lib").string()});
  auto warning = x->WaitForWindow("Warning", 15000);
  ASSERT_TRUE(warning) << program.Stderr();
  EXPECT_TRUE(x->WindowsTitled("Error").empty());  // not yet: the warning is shown when it happens
  x->Run("xdotool key Return");
  auto error = x->WaitForWindow("Error", 5000);
  ASSERT_TRUE(error);
  x->Run("xdotool key Return");
  SleepMs(1000);
  EXPECT_TRUE(x->WindowsTitled("Error").empty());
  EXPECT_TRUE(program.Running());
}

TEST(DesktopWindow, OpenDialogHasItsTitle) {
  VL_X_SERVER(x, "1280x1024x24");
  PresetRun run(*x, "open", 3);
  auto main = run.program->MainWindow();
  ASSERT_TRUE(main);
  WaitForStillArea(*x, kGreen, 10000);
  x->Run("xdotool mousemove " + std::to_string(main->center().x()) + " " + std::to_string(main->center().y()) +
         " click 1");
  // A menu item shows its prompt; closing the menu brings back the idle text.
  x->Run("xdotool key alt+f");
  EXPECT_TRUE(run.program->WaitForStatus([](const std::string& s) { return s == "Open an existing document"; }, 5000))
      << run.program->Stdout();
  x->Run("xdotool key Escape sleep 0.3 key Escape");
  SleepMs(1000);
  EXPECT_EQ(run.program->LastStatus(), "Vantaloop");
  // Without a window manager the keyboard follows the pointer's last click: give the window the
  // focus again, and on a busy machine press the key again if no dialog came.
  bool shown = false;
  for (int attempt = 0; attempt < 3 && !shown; ++attempt) {
    x->Run("xdotool mousemove " + std::to_string(main->center().x()) + " " + std::to_string(main->center().y()) +
           " click 1 sleep 0.3 key ctrl+o");
    shown = x->WaitForWindow("Open a Moxtrel Keyframe File", 8000).has_value();
  }
  EXPECT_TRUE(shown);
  x->Run("xdotool key Escape");
}

// Two screens side by side; the settings send full screen to the right one.
TEST(DesktopWindow, FullScreenOnTheChosenScreenLetterboxed) {
  VL_X_SERVER(x, "2560x1024x24");
  x->Run("xrandr --setmonitor LEFT 1280/340x1024/270+0+0 screen");
  x->Run("xrandr --setmonitor RIGHT 1280/340x1024/270+1280+0 none");
  if (x->Run("xrandr --listmonitors").find("RIGHT") == std::string::npos) GTEST_SKIP() << "no RandR monitors here";
  const fs::path home = Scratch("full");
  Program::WriteSettings(home, 15, 1, 0, 1, "[Output%20Screen]\nName=RIGHT\n");  // 1280 x 720, 16:9
  const fs::path loop = CompileLoop(home, "green", PlainLoopSource(0, 200, 0));
  Program program(*x, home, {loop.string()});
  auto main = program.MainWindow();
  ASSERT_TRUE(main);
  const ColourArea normal = WaitForStillArea(*x, kGreen, 15000);
  ASSERT_EQ(normal.box.size(), QSize(1280, 720));
  ASSERT_LT(normal.box.right(), 1280);

  // The right screen: the picture at 1280 x 720 in the middle, black bars above and below.
  const QRect letterboxed(0, 152, 1280, 720);
  auto right_shows = [&](QRect box) {
    return Eventually([&] { return FindColour(x->Grab(QRect(1280, 0, 1280, 1024)), kGreen).box == box; }, 15000);
  };
  auto window_shows = [&](QRect box) {
    return Eventually([&] { return FindColour(x->Grab(), kGreen).box == box; }, 15000);
  };
  x->FocusWindowAt("Vantaloop", normal.box.center());
  x->Run("xdotool key F11");
  ASSERT_TRUE(right_shows(letterboxed));
  const QImage right = x->Grab(QRect(1280, 0, 1280, 1024));
  EXPECT_EQ(FindColour(right.copy(0, 0, 1280, 152), Qt::black, 0).count, 1280 * 152);
  EXPECT_EQ(FindColour(right.copy(0, 872, 1280, 152), Qt::black, 0).count, 1280 * 152);
  // The control panel stays on the left screen.
  EXPECT_GT(PaintedShare(x->Grab(QRect(0, 0, 1280, 1024))), 0.02);

  // Esc returns to the window as it was.
  x->FocusWindowAt("Vantaloop", QPoint(1280 + 640, 512));
  x->Run("xdotool key Escape");
  EXPECT_TRUE(window_shows(normal.box));

  // A double-click on the picture goes full screen too, and F11 returns.
  x->Run("xdotool mousemove " + std::to_string(normal.box.center().x()) + " " +
         std::to_string(normal.box.center().y()) + " click --repeat 2 --delay 80 1");
  EXPECT_TRUE(right_shows(letterboxed));
  x->FocusWindowAt("Vantaloop", QPoint(1280 + 640, 512));
  x->Run("xdotool key F11");
  EXPECT_TRUE(window_shows(normal.box));
  EXPECT_TRUE(program.Running());
}

}  // namespace
}  // namespace vl::xtest
