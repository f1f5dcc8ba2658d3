// The user's own library (<XDG data>/Vantaloop/Sequences) on the real program: its loops are in
// the control panel's list after the bundled ones, and choosing one plays it.
#include <gtest/gtest.h>

#include "tests/app/desktop/x_session.h"

namespace vl::xtest {
namespace {

// Pixels of a strong magenta: the user's loop's picture, plain or tinted by the list's selection.
int64_t MagentaPixels(const QImage& img) {
  int64_t n = 0;
  for (int y = 0; y < img.height(); ++y)
    for (int x = 0; x < img.width(); ++x) {
      const QRgb p = img.pixel(x, y);
      n += qRed(p) - qGreen(p) > 100 && qBlue(p) - qGreen(p) > 100;
    }
  return n;
}

TEST(DesktopUserLibrary, TheUsersOwnLoopIsListedAndPlays) {
  VL_X_SERVER_WITH_WM(x, "1600x1200x24");
  const fs::path home = Scratch("user-library");
  const fs::path data = home / "data";  // not the harness's default: XDG_DATA_HOME is what counts
  const fs::path user = data / "Vantaloop" / "Sequences";
  fs::create_directories(user);
  Program::WriteSettings(home, 3, 1);
  // A magenta still, with the library picture the command-line tool draws of it.
  const fs::path made = CompileLoop(home, "mine", PlainLoopSource(220, 0, 220));
  fs::rename(made, user / "mine.lqf");
  const std::string cmd = (fs::path(VL_BIN_DIR) / "vantaloop-cli").string() + " thumbnail " +
                          (user / "mine.lqf").string() + " " + (user / "mine.jpg").string() + " >/dev/null 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  const QImage drawn(QString::fromStdString((user / "mine.jpg").string()));
  ASSERT_FALSE(drawn.isNull());
  const QColor colour = drawn.pixelColor(drawn.width() / 2, drawn.height() / 2);

  Program program(*x, home, {}, {"XDG_DATA_HOME=" + data.string()});
  auto panel = program.WindowWithRole("control-panel");
  ASSERT_TRUE(program.MainWindow() && panel) << program.Stderr();
  SleepMs(1500);  // placed by the window manager, the list's first pictures read
  panel = program.WindowWithRole("control-panel");
  ASSERT_TRUE(panel);
  EXPECT_EQ(MagentaPixels(x->Grab(panel->second)), 0) << "the user's loop is last, out of view at first";

  // The list has the keyboard focus: End goes to its last item.
  x->Run("xdotool windowactivate --sync " + std::to_string(panel->first) + " key End");
  int64_t picture = 0;
  for (int waited = 0; waited < 5000 && picture < 80 * 80; waited += 200) {
    SleepMs(200);
    picture = MagentaPixels(x->Grab(panel->second));
  }
  EXPECT_GE(picture, 80 * 80) << "the user's loop's picture is not in the list";
  const size_t seen = program.StatusLines().size();
  // "Load Selected Video Loop" spans the list's width at the panel's foot.
  const QRect& r = panel->second;
  const QPoint button(r.x() + r.width() * 3 / 4, r.bottom() - 38);
  x->Run("xdotool mousemove " + std::to_string(button.x()) + " " + std::to_string(button.y()) + " click 1");
  EXPECT_TRUE(program.WaitForStatus([](const std::string& s) { return s.rfind("Playing mine.lqf", 0) == 0; }, 15000))
      << program.Stdout();
  EXPECT_GT(program.StatusLines().size(), seen);
  // And it is the user's loop on screen.
  const auto main = program.MainWindow();
  ASSERT_TRUE(main);
  SleepMs(500);
  EXPECT_GT(FindColour(x->Grab(*main), colour, 16).count, main->width() * main->height() / 3);
}

// Ctrl+S offers the user's library (made when missing) until the user saves somewhere else; then
// it offers that folder.
TEST(DesktopUserLibrary, SaveStartsInTheUsersLibraryThenTheLastFolder) {
  VL_X_SERVER_WITH_WM(x, "1600x1200x24");
  const fs::path home = Scratch("user-library-save");
  const fs::path data = home / "data";
  const fs::path user = data / "Vantaloop" / "Sequences";
  const fs::path elsewhere = home / "elsewhere";
  fs::create_directories(elsewhere);
  Program::WriteSettings(home, 3, 1);
  const fs::path loop = CompileLoop(home, "blue", PlainLoopSource(0, 0, 200));
  auto save_as = [&](Program& program, const std::string& typed) {
    const auto main = program.WindowWithRole("player");
    ASSERT_TRUE(main);
    x->Run("xdotool windowactivate --sync " + std::to_string(main->first) + " key ctrl+s");
    ASSERT_TRUE(x->WaitForWindow("Save a Moxtrel Keyframe File", 8000));
    SleepMs(800);
    x->Run("xdotool key ctrl+a type '" + typed + "'");
    x->Run("xdotool key Return");
  };
  auto saved = [](const Program& program, const fs::path& file) {
    return program.WaitForStatus([&](const std::string& s) { return s == "Saved " + file.string(); }, 8000);
  };
  Program program(*x, home, {loop.string()}, {"XDG_DATA_HOME=" + data.string()});
  ASSERT_TRUE(program.WaitForStatus([](const std::string& s) { return s.rfind("Playing blue.lqf", 0) == 0; }, 15000));
  ASSERT_FALSE(fs::exists(user));
  save_as(program, "first");
  EXPECT_TRUE(saved(program, user / "first.lqf")) << program.Stdout();
  EXPECT_TRUE(fs::is_regular_file(user / "first.lqf"));
  save_as(program, (elsewhere / "second.lqf").string());
  EXPECT_TRUE(saved(program, elsewhere / "second.lqf")) << program.Stdout();
  save_as(program, "third");
  EXPECT_TRUE(saved(program, elsewhere / "third.lqf")) << program.Stdout();
  EXPECT_FALSE(fs::exists(user / "third.lqf"));
}

}  // namespace
}  // namespace vl::xtest
