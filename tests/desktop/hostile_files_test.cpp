// The real program meeting files that are not what their names say: a FIFO as the settings file
// or as a library thumbnail, library names that are not UTF-8 or hold a backslash, and a stored
// export preset that is not one of the list.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "tests/desktop/x_session.h"

namespace vl::xtest {

namespace {

const QColor kGreen(0, 200, 0);

bool StatusHas(const Program& program, const std::string& text, int ms) {
  return program.WaitForStatus([&](const std::string& s) { return s.find(text) != std::string::npos; }, ms);
}

// Waits until `colour` covers at least `pixels` of the screen.
bool Shows(XServer& x, QColor colour, int64_t pixels, int ms) {
  for (int waited = 0; waited <= ms; waited += 200) {
    if (FindColour(x.Grab(), colour).count >= pixels) return true;
    SleepMs(200);
  }
  return false;
}

// Before, the program opened the settings FIFO at start-up and waited for a writer (no window at
// all), and the control panel's list opened the thumbnail FIFO on the interface thread.
TEST(DesktopHostileFiles, FifosAsSettingsFileAndThumbnailNeverHoldUpTheStart) {
  VL_X_SERVER(x, "1280x1024x24");
  const fs::path home = Scratch("fifos");
  fs::create_directories(home / ".config" / "Vantaloop");
  const fs::path settings = home / ".config" / "Vantaloop" / "Vantaloop.conf";
  ASSERT_EQ(::mkfifo(settings.c_str(), 0644), 0);
  fs::create_directories(home / "lib");
  fs::copy(fs::path(VL_BIN_DIR) / "Sequences", home / "lib" / "Sequences", fs::copy_options::recursive);
  ASSERT_EQ(::mkfifo((home / "lib" / "Sequences" / "stuck.jpg").c_str(), 0644), 0);
  const fs::path loop = CompileLoop(home, "green", PlainLoopSource(kGreen.red(), kGreen.green(), kGreen.blue()));

  Program program(*x, home, {loop.string(), "--library", (home / "lib").string()});
  auto main = program.MainWindow(20000);
  ASSERT_TRUE(main) << "no window: " << program.Stderr();
  EXPECT_TRUE(StatusHas(program, settings.string() + " is a FIFO, not a regular file: starting with the default settings",
                        10000))
      << program.Stdout();
  EXPECT_NE(program.Stderr().find("is a FIFO, not a regular file"), std::string::npos) << program.Stderr();
  // The default settings: preset 1's 720 x 480 frame, painted green.
  EXPECT_TRUE(Shows(*x, kGreen, 720 * 480, 15000));
  // The control panel is up beside it, painted, and the interface answers keys.
  std::optional<QRect> panel;
  for (int waited = 0; waited < 15000 && !panel; waited += 200) {
    for (const auto& w : x->WindowsTitled("Vantaloop"))
      if (x->Role(w.first) == "control-panel") panel = w.second;
    SleepMs(200);
  }
  ASSERT_TRUE(panel) << program.Stdout();
  SleepMs(1000);
  EXPECT_GT(PaintedShare(x->Grab(*panel)), 0.5);
  bool answered = false;
  for (int attempt = 0; attempt < 3 && !answered; ++attempt) {
    x->FocusWindowAt("Vantaloop", main->center());
    x->Run("xdotool key alt+f");
    answered = StatusHas(program, "Open an existing document", 5000);
    x->Run("xdotool key Escape");
  }
  EXPECT_TRUE(answered) << "the interface does not answer";
  EXPECT_TRUE(program.Running());
  struct stat st {};
  ASSERT_EQ(::stat(settings.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

// Before, a library loop whose name held a backslash (read as a folder separator) or bytes that
// are not UTF-8 (lost in a text round trip) was never found, and the library's default played.
TEST(DesktopHostileFiles, LibraryNamesThatAreNotUtf8OrHoldABackslashPlay) {
  VL_X_SERVER(x, "1280x1024x24");
  const fs::path home = Scratch("names");
  fs::create_directories(home / "lib" / "Sequences");
  const std::string name = "Caf\xe9 one\\two.lqf";
  const fs::path odd = home / "lib" / "Sequences" / name;
  fs::rename(CompileLoop(home, "green", PlainLoopSource(kGreen.red(), kGreen.green(), kGreen.blue())), odd);
  auto played = [](const std::string& s) {
    return s.rfind("Playing Caf", 0) == 0 && s.find(" one\\two.lqf") != std::string::npos;
  };

  {  // The random start-up pick: the library's only loop.
    Program::WriteSettings(home, 3, 1, /*random=*/1);
    Program program(*x, home, {"--library", (home / "lib").string()});
    ASSERT_TRUE(program.MainWindow()) << program.Stderr();
    EXPECT_TRUE(program.WaitForStatus(played, 15000)) << program.Stdout() << program.Stderr();
    EXPECT_TRUE(Shows(*x, kGreen, 352 * 240, 10000));
  }
  SleepMs(500);
  {  // Named on the command line.
    Program::WriteSettings(home, 3, 1, /*random=*/0);
    Program program(*x, home, {odd.string(), "--library", (home / "lib").string()});
    ASSERT_TRUE(program.MainWindow()) << program.Stderr();
    EXPECT_TRUE(program.WaitForStatus(played, 15000)) << program.Stdout() << program.Stderr();
    EXPECT_TRUE(Shows(*x, kGreen, 352 * 240, 10000));
  }
}

// Before, a preset of 99 left the window at whatever size it had, with no word said.
TEST(DesktopHostileFiles, AStoredPresetOutsideTheListFallsBackToTheDefaultAndSaysSo) {
  VL_X_SERVER(x, "1280x1024x24");
  const fs::path home = Scratch("preset99");
  Program::WriteSettings(home, 99, /*resize=*/1);
  const fs::path loop = CompileLoop(home, "green", PlainLoopSource(kGreen.red(), kGreen.green(), kGreen.blue()));
  Program program(*x, home, {loop.string()});
  ASSERT_TRUE(program.MainWindow()) << program.Stderr();
  EXPECT_TRUE(StatusHas(program, "The stored export preset 99 is not one of 0 .. 16: using preset 1", 10000))
      << program.Stdout();
  ColourArea view;
  for (int waited = 0; waited < 15000; waited += 200) {
    view = FindColour(x->Grab(), kGreen);
    if (view.box.size() == QSize(720, 480)) break;
    SleepMs(200);
  }
  EXPECT_EQ(view.box.size(), QSize(720, 480));
}

}  // namespace
}  // namespace vl::xtest
