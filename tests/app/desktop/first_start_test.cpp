// What a newcomer meets first, on the real program: the very first start plays the bundled
// default loop, and a loop naming a face the system lacks says in the status bar which face
// stands in for it.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/app/desktop/x_session.h"

namespace vl::xtest {
namespace {

TEST(DesktopFirstStart, TheVeryFirstRunPlaysTheDefaultLoop) {
  VL_X_SERVER(x, "1280x1024x24");
  const fs::path home = Scratch("first-start");
  const fs::path conf = home / ".config" / "Vantaloop" / "Vantaloop.conf";
  ASSERT_FALSE(fs::exists(conf));
  {
    Program program(*x, home, {});
    ASSERT_TRUE(program.MainWindow());
    EXPECT_TRUE(
        program.WaitForStatus([](const std::string& s) { return s.rfind("Playing default.lqf", 0) == 0; }, 20000))
        << program.Stdout();
  }
  // Later starts are no first run; the random start stays on as it is by default.
  ASSERT_TRUE(fs::exists(conf));
  std::ifstream in(conf);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("[Random%20Sequence%20On%20Start%20Up]\nValue=1"), std::string::npos) << text;
}

TEST(DesktopFonts, AStandInFaceIsToldInTheStatusBarOnLoad) {
  VL_X_SERVER(x, "1280x1024x24");
  const fs::path home = Scratch("stand-in-face");
  Program::WriteSettings(home, 3, 1);
  const fs::path loop =
      CompileLoop(home, "impact",
                  PlainLoopSource(0, 0, 0, "text_on = 2\ntext_string = \"Hello Font\"\ntext_font_face = \"Impact\"\n"));
  Program program(*x, home, {loop.string()});
  ASSERT_TRUE(program.MainWindow());
  EXPECT_TRUE(program.WaitForStatus(
      [](const std::string& s) {
        return s.rfind("Playing impact.lqf", 0) == 0 &&
               s.find("font \"Impact\" is not on this system; the text is drawn in ") != std::string::npos;
      },
      15000))
      << program.Stdout();
  EXPECT_EQ(program.Stdout().find("D050000L"), std::string::npos);  // never the dingbats
}

}  // namespace
}  // namespace vl::xtest
