// The window answers keys while the heaviest bundled loop plays: from a key sent with xdotool to
// the status line it causes, timed on the real program. The figures are printed; the bound is
// loose because tests share a busy machine.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "tests/app/desktop/x_session.h"

namespace vl::xtest {
namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds from sending `keys` until a new status line beginning with `want` appears; -1
// when none comes within `ms`.
double TimeToStatus(XServer& x, const Program& program, const std::string& keys, const std::string& want, int ms) {
  const size_t seen = program.StatusLines().size();
  const auto start = Clock::now();
  x.Run("xdotool key " + keys);
  for (;;) {
    const auto lines = program.StatusLines();
    for (size_t i = seen; i < lines.size(); ++i)
      if (lines[i].rfind(want, 0) == 0) return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (Clock::now() - start > std::chrono::milliseconds(ms)) return -1.0;
    SleepMs(2);
  }
}

TEST(DesktopResponse, KeysActQuicklyWhileTheHeaviestLoopPlays) {
  VL_X_SERVER(x, "1280x1024x24");
  const fs::path home = Scratch("response");
  Program::WriteSettings(home, 0, 1);  // 720 x 576 at 25 frames a second, locked
  Program program(*x, home, {(fs::path(VL_BIN_DIR) / "Sequences" / "model_trio.lqf").string()});
  auto main = program.MainWindow();
  ASSERT_TRUE(main) << program.Stderr();
  ASSERT_TRUE(program.WaitForStatus([](const std::string& s) { return s == "Playing model_trio.lqf"; }, 30000))
      << program.Stdout();
  SleepMs(2000);  // well into playing, the drawing mode settled
  const QRect view_area(main->x(), main->y() + main->height() / 4, main->width(), main->height() / 2);
  const QImage before = x->Grab(view_area);

  std::vector<double> menu, full;
  for (int i = 0; i < 8; ++i) {
    x->FocusWindowAt("Vantaloop", main->center());
    // The File menu opens on its first item, whose prompt the status line shows.
    menu.push_back(TimeToStatus(*x, program, "alt+f", "Open an existing document", 5000));
    x->Run("xdotool key Escape sleep 0.2 key Escape");
    SleepMs(300 + 70 * i);  // each key at another point of the frame being drawn
    if (i % 2 == 1) {       // full screen and back: the picture changes size
      x->FocusWindowAt("Vantaloop", main->center());
      full.push_back(TimeToStatus(*x, program, "F11", "Full screen on ", 5000));
      SleepMs(500);
      x->FocusWindowAt("Vantaloop", QPoint(640, 512));
      x->Run("xdotool key Escape");
      SleepMs(500);
    }
  }
  auto report = [](const char* what, std::vector<double> v) {
    std::sort(v.begin(), v.end());
    std::printf("%s: median %.0f ms, max %.0f ms, all:", what, v[v.size() / 2], v.back());
    for (double d : v) std::printf(" %.0f", d);
    std::printf("\n");
    return v;
  };
  for (const auto& [what, times] : {std::pair{"key to status line (alt+f, menu prompt)", menu},
                                    std::pair{"key to status line (F11, full screen)", full}}) {
    const auto sorted = report(what, times);
    EXPECT_GT(sorted.front(), 0.0) << what << ": a key went unanswered";
    EXPECT_LT(sorted[sorted.size() / 2], 250.0) << what;
    EXPECT_LT(sorted.back(), 1000.0) << what;
  }
  // It really played meanwhile.
  EXPECT_NE(x->Grab(view_area), before);
  EXPECT_TRUE(program.Running());
}

}  // namespace
}  // namespace vl::xtest
