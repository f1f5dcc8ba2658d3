// The real program meeting files that are not what their names say: a FIFO as the settings file
// or as a library thumbnail, library names that are not UTF-8 or hold a backslash, and a stored
// export preset that is not one of the list.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "tests/app/desktop/x_session.h"

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
  EXPECT_TRUE(StatusHas(
      program, settings.string() + " is a FIFO, not a regular file: starting with the default settings", 10000))
      << program.Stdout();
  EXPECT_NE(program.Stderr().find("is a FIFO, not a regular file"), std::string::npos) << program.Stderr();
  // The default settings: preset 1's 720 x 480 frame, a 4:3 picture shown at 640 x 480, painted green.
  EXPECT_TRUE(Shows(*x, kGreen, 640 * 480, 15000));
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
    EXPECT_TRUE(Shows(*x, kGreen, 320 * 240, 10000));
  }
  SleepMs(500);
  {  // Named on the command line.
    Program::WriteSettings(home, 3, 1, /*random=*/0);
    Program program(*x, home, {odd.string(), "--library", (home / "lib").string()});
    ASSERT_TRUE(program.MainWindow()) << program.Stderr();
    EXPECT_TRUE(program.WaitForStatus(played, 15000)) << program.Stdout() << program.Stderr();
    EXPECT_TRUE(Shows(*x, kGreen, 320 * 240, 10000));
  }
}

// Before, a library folder that was not there (or could not be listed) gave an empty list and only
// the fallback loop's failure; now the status bar says what is wrong with the folder.
TEST(DesktopHostileFiles, ALibraryFolderThatCannotBeReadIsSaidToBe) {
  VL_X_SERVER(x, "1280x1024x24");
  const fs::path home = Scratch("nolibrary");
  const fs::path loop = CompileLoop(home, "green", PlainLoopSource(kGreen.red(), kGreen.green(), kGreen.blue()));
  Program program(*x, home, {loop.string(), "--library", (home / "nowhere").string()});
  ASSERT_TRUE(program.MainWindow()) << program.Stderr();
  EXPECT_TRUE(StatusHas(
      program, "The loop library " + (home / "nowhere" / "Sequences").string() + " cannot be read: no such folder",
      10000))
      << program.Stdout();
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
    if (view.box.size() == QSize(640, 480)) break;
    SleepMs(200);
  }
  EXPECT_EQ(view.box.size(), QSize(640, 480));
}

// Options > Settings, then Apply, from the keyboard: the File menu, two menus to the right, its
// first item; the dialog's default button is Apply.
bool ApplySettings(XServer& x, const Program& program, QRect main) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    x.FocusWindowAt("Vantaloop", main.center());
    x.Run("xdotool key alt+f sleep 0.3 key Right sleep 0.2 key Right");
    if (!StatusHas(program, "Choose the export format and how the player starts", 3000)) {
      x.Run("xdotool key Escape sleep 0.2 key Escape");
      continue;
    }
    x.Run("xdotool key Return");
    SleepMs(1500);  // the dialog opens with Apply as its default button
    x.Run("xdotool key Return");
    return true;
  }
  return false;
}

// Before, Apply wrote through a link to a device node and left a regular file in its place.
TEST(DesktopHostileFiles, ApplyNeverWritesThroughALinkToADeviceAndReplacesALinkedFileWhole) {
  VL_X_SERVER(x, "1280x1024x24");
  const fs::path home = Scratch("settings_link");
  Program::WriteSettings(home, 3, 1);
  const fs::path settings = home / ".config" / "Vantaloop" / "Vantaloop.conf";
  const fs::path real = home / "real.conf";
  fs::rename(settings, real);
  const fs::path device = home / "device";
  ASSERT_EQ(::mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
  fs::create_symlink(device, settings);
  const fs::path loop = CompileLoop(home, "green", PlainLoopSource(kGreen.red(), kGreen.green(), kGreen.blue()));
  {
    Program program(*x, home, {loop.string()});
    auto main = program.MainWindow();
    ASSERT_TRUE(main) << program.Stderr();
    EXPECT_TRUE(StatusHas(program, "is a device, not a regular file: starting with the default settings", 10000))
        << program.Stdout();
    ASSERT_TRUE(Shows(*x, kGreen, 100 * 100, 15000));
    ASSERT_TRUE(ApplySettings(*x, program, *main)) << program.Stdout();
    EXPECT_TRUE(
        StatusHas(program, "Settings not saved: " + settings.string() + " is a device, not a regular file", 8000))
        << program.Stdout();
    struct stat st {};
    ASSERT_EQ(::lstat(device.c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode)) << "the device was replaced";
    EXPECT_TRUE(fs::is_symlink(settings));
  }

  // A link to a regular file: the file it names takes the new settings whole, the link stays.
  fs::remove(settings);
  fs::create_symlink(real, settings);
  struct stat before {};
  ::stat(real.c_str(), &before);
  Program program(*x, home, {loop.string()});
  auto main = program.MainWindow();
  ASSERT_TRUE(main) << program.Stderr();
  ASSERT_TRUE(Shows(*x, kGreen, 320 * 240, 15000));  // preset 3 (shown 4:3), read through the link
  ASSERT_TRUE(ApplySettings(*x, program, *main)) << program.Stdout();
  struct stat after {};
  for (int waited = 0; waited < 8000; waited += 100) {
    ::stat(real.c_str(), &after);
    if (after.st_ino != before.st_ino) break;
    SleepMs(100);
  }
  EXPECT_NE(after.st_ino, before.st_ino) << "not replaced whole: " << program.Stdout();
  EXPECT_TRUE(fs::is_symlink(settings));
  EXPECT_NE(ReadAll(real).find("[Avi%20Export%20Settings]\nValue=3"), std::string::npos) << ReadAll(real);
  EXPECT_EQ(program.Stdout().find("Settings not saved"), std::string::npos) << program.Stdout();
}

}  // namespace
}  // namespace vl::xtest
