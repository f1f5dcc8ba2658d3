// What a newcomer meets first, on the real program: a loop naming a face the system lacks says in
// the status bar which face stands in for it.
#include <gtest/gtest.h>

#include "tests/desktop/x_session.h"

namespace vl::xtest {
namespace {

TEST(DesktopFonts, AStandInFaceIsToldInTheStatusBarOnLoad) {
  VL_X_SERVER(x, "1280x1024x24");
  const fs::path home = Scratch("stand-in-face");
  Program::WriteSettings(home, 3, 1);
  const fs::path loop = CompileLoop(
      home, "impact",
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
