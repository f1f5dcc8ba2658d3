// The loop editor as a user meets it, on the real program under a window manager: typing new
// text changes the picture where the text is and undo brings the original back; dragging a key
// moves its curve and the picture; Save As writes a loop that reopens and saves to the same
// bytes; closing with unsaved changes asks. The time from a drag or a typed value to the picture
// while the heaviest loop plays is printed, with where it goes, and the frame intervals while a
// key is dragged for seconds beside those of the loop alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "tests/app/desktop/tick_trace.h"
#include "tests/app/desktop/x_session.h"

namespace vl::xtest {
namespace {

using Clock = std::chrono::steady_clock;

bool Eventually(const std::function<bool()>& done, int ms, int step_ms = 50) {
  for (int waited = 0; waited <= ms; waited += step_ms) {
    if (done()) return true;
    SleepMs(step_ms);
  }
  return false;
}

std::string Key(const std::string& keys) { return "xdotool key " + keys; }
std::string Move(QPoint p) { return "xdotool mousemove " + std::to_string(p.x()) + " " + std::to_string(p.y()); }

// The editor as the last run left it: on one of its panels, showing some tracks, open or not.
std::string EditorSettings(int tab, const std::string& tracks = {}, bool shown = true) {
  return "[Loop%20Editor]\nShown=" + std::string(shown ? "true" : "false") + "\nTab=" + std::to_string(tab) +
         "\nTracks=" + tracks + "\n";
}

// Ctrl+E in the main window: the editor opens with the keyboard in its first field.
void OpenEditor(XServer& x, Window main) {
  x.Run("xdotool windowactivate --sync " + std::to_string(main) + " sleep 0.5 key ctrl+e sleep 1");
}

// A still loop: white plain text on dark blue.
std::string TextLoopSource(const std::string& text) {
  return "version 6\n\n[settings]\ntext_string = \"" + text +
         "\"\ntext_on = 2\nfx_text = 0\ntext_style = 2\ntext_lit = 0\n\n[initial]\nbackground_r = 0\n"
         "background_g = 0\nbackground_b = 120\n\n[key]\nframe = 0\n\n[key]\nframe = 100\n";
}

int64_t WhitePixels(const QImage& img) { return FindColour(img, QColor(255, 255, 255), 40).count; }

// The curve graph on screen: the widget is the area of its own dark grey in the editor (the
// window's right part; a dark picture may hold that grey too); the plot lies inside its margins
// (48 left, 6 top and right, 18 below).
std::optional<QRect> FindPlot(XServer& x, QRect window) {
  const QRect editor = window.adjusted(window.width() * 55 / 100, 0, 0, 0);
  const ColourArea a = FindColour(x.Grab(editor), QColor(28, 28, 32), 1);
  if (a.count < 100 * 60) return std::nullopt;
  const QRect w = a.box.translated(editor.topLeft());
  return QRect(w.left() + 49, w.top() + 7, w.width() - 56, w.height() - 26);
}

// The filled key marks of the first track's colour: columns with a run of that colour taller
// than the curve's line. Their centre, screen coordinates.
std::optional<QPoint> FindMark(XServer& x, QRect plot, QColor colour = QColor(230, 90, 70), int tol = 3) {
  const QImage img = x.Grab(plot);
  int64_t sx = 0, sy = 0, n = 0;
  for (int xx = 0; xx < img.width(); ++xx) {
    std::vector<int> ys;
    for (int y = 0; y < img.height(); ++y) {
      const QRgb p = img.pixel(xx, y);
      if (std::abs(qRed(p) - colour.red()) <= tol && std::abs(qGreen(p) - colour.green()) <= tol &&
          std::abs(qBlue(p) - colour.blue()) <= tol)
        ys.push_back(y);
    }
    if (ys.size() < 5) continue;
    for (int y : ys) sx += xx, sy += y, ++n;
  }
  if (n == 0) return std::nullopt;
  return QPoint(plot.left() + static_cast<int>(sx / n), plot.top() + static_cast<int>(sy / n));
}

// Drags with the left button from `from` by `by`, in steps as a hand would.
void Drag(XServer& x, QPoint from, QPoint by, int steps = 6) {
  x.Run(Move(from) + " mousedown 1");
  for (int i = 1; i <= steps; ++i) {
    x.Run(Move(from + by * i / steps));
    SleepMs(30);
  }
  x.Run("xdotool mouseup 1");
}

TEST(DesktopLoopEditor, TypedTextShowsWhereTheTextIsAndUndoBringsTheOriginalBack) {
  VL_X_SERVER_WITH_WM(x, "1600x1200x24");
  const fs::path home = Scratch("editor-text");
  Program::WriteSettings(home, 3, 1, 0, 1, EditorSettings(0, {}, false));
  const fs::path loop = CompileLoop(home, "words", TextLoopSource("I"));
  Program program(*x, home, {loop.string()});
  auto main = program.WindowWithRole("player");
  ASSERT_TRUE(main) << program.Stderr();
  ASSERT_TRUE(program.WaitForStatus([](const std::string& s) { return s.rfind("Playing words.lqf", 0) == 0; }, 15000));
  SleepMs(1500);
  const int width_alone = program.WindowWithRole("player")->second.width();
  OpenEditor(*x, main->first);
  main = program.WindowWithRole("player");
  ASSERT_GT(main->second.width(), width_alone + 150) << "the editor did not open beside the picture";
  // The picture: the blue area of the window.
  const ColourArea blue = FindColour(x->Grab(main->second), QColor(0, 0, 120), 8);
  ASSERT_GT(blue.count, 100 * 100) << "no picture on screen";
  const QRect picture = blue.box.translated(main->second.topLeft());
  const QImage before = x->Grab(picture);
  const int64_t white_before = WhitePixels(before);
  ASSERT_GT(white_before, 20) << "the text I is not on screen";

  x->Run(Key("ctrl+a") + " type 'IIII'");
  QImage typed;
  EXPECT_TRUE(Eventually([&] { return WhitePixels(typed = x->Grab(picture)) > white_before * 5 / 2; }, 5000))
      << "white pixels before " << white_before << ", after " << WhitePixels(typed);
  // The change is where the text is: across the middle, not in the corners.
  const QRect text_box = FindColour(typed, QColor(255, 255, 255), 40).box;
  const QRect first_box = FindColour(before, QColor(255, 255, 255), 40).box;
  EXPECT_GT(text_box.width(), first_box.width() * 3) << "the text did not grow along its line";
  EXPECT_NEAR(text_box.center().y(), first_box.center().y(), 4);
  EXPECT_EQ(typed.pixel(2, 2), before.pixel(2, 2));

  SleepMs(300);
  x->Run(Key("ctrl+z"));
  QImage undone;
  EXPECT_TRUE(Eventually(
      [&] { return std::llabs(WhitePixels(undone = x->Grab(picture)) - white_before) <= white_before / 20; }, 5000))
      << "after undo " << WhitePixels(undone) << " white pixels, at first " << white_before;
  EXPECT_EQ(FindColour(undone, QColor(255, 255, 255), 40).box, first_box);
  EXPECT_TRUE(program.Running());
}

TEST(DesktopLoopEditor, DraggingAKeyMovesItsCurveAndThePicture) {
  VL_X_SERVER_WITH_WM(x, "1600x1200x24");
  const fs::path home = Scratch("editor-drag");
  Program::WriteSettings(home, 1, 1, 0, 1, EditorSettings(1, "background_r"));
  // Red rises from 0 to 200 over the loop's 100 frames.
  std::string source = PlainLoopSource(0, 0, 0);
  source.replace(source.find("frame = 100\n"), 12, "frame = 100\nbackground_r = 200\n");
  const fs::path loop = CompileLoop(home, "rise", source);
  Program program(*x, home, {loop.string()});
  auto main = program.WindowWithRole("player");
  ASSERT_TRUE(main) << program.Stderr();
  ASSERT_TRUE(program.WaitForStatus([](const std::string& s) { return s.rfind("Playing rise.lqf", 0) == 0; }, 15000));
  SleepMs(1500);
  main = program.WindowWithRole("player");
  const auto plot = FindPlot(*x, main->second);
  ASSERT_TRUE(plot) << "no curve graph on screen";
  const auto mark = FindMark(*x, *plot);
  ASSERT_TRUE(mark) << "no key mark on the graph";
  EXPECT_GT(mark->x(), plot->center().x()) << "the last key is on the right";
  EXPECT_LT(mark->y(), plot->center().y()) << "and high";

  // Stop, with the picture on the key's frame: a click on the graph below the mark moves there.
  const QPoint corner = main->second.topLeft() + QPoint(20, 60);  // the picture's top left
  x->Run("xdotool windowactivate --sync " + std::to_string(main->first));
  x->Run(Move(corner) + " click 1 sleep 0.3 key space");
  ASSERT_TRUE(program.WaitForStatus([](const std::string& s) { return s.rfind("Stopped at frame", 0) == 0; }, 5000))
      << program.Stdout();
  x->Run(Move(QPoint(mark->x(), plot->bottom() - 4)) + " click 1");
  QImage shown;
  ASSERT_TRUE(Eventually([&] { return qRed((shown = x->Grab(QRect(corner, QSize(8, 8)))).pixel(4, 4)) > 185; }, 5000))
      << "frame 99 is not red 200: " << qRed(shown.pixel(4, 4));

  Drag(*x, *mark, QPoint(0, plot->height() * 6 / 10));
  SleepMs(300);
  // The dragged mark is the chosen one, drawn lighter.
  const QColor chosen = QColor(230, 90, 70).lighter(140);
  const auto moved = FindMark(*x, *plot, chosen);
  ASSERT_TRUE(moved) << "the mark left the graph";
  EXPECT_GT(moved->y() - mark->y(), plot->height() / 2) << "the mark did not follow the drag";
  EXPECT_NEAR(moved->x(), mark->x(), 3) << "a drag straight down keeps the key's frame";
  int red = 0;
  EXPECT_TRUE(Eventually([&] { return (red = qRed(x->Grab(QRect(corner, QSize(8, 8))).pixel(4, 4))) < 120; }, 5000))
      << "the picture did not follow: red " << red;

  // One undo takes the whole drag back.
  x->Run(Key("ctrl+z"));
  EXPECT_TRUE(Eventually([&] { return (red = qRed(x->Grab(QRect(corner, QSize(8, 8))).pixel(4, 4))) > 185; }, 5000))
      << "red " << red << " after undo";
  const auto back = FindMark(*x, *plot, chosen);
  ASSERT_TRUE(back);
  EXPECT_NEAR(back->y(), mark->y(), 3);
}

TEST(DesktopLoopEditor, SaveAsWritesALoopThatReopensToTheSameBytes) {
  VL_X_SERVER_WITH_WM(x, "1600x1200x24");
  const fs::path home = Scratch("editor-save");
  const fs::path user = home / ".local" / "share" / "Vantaloop" / "Sequences";
  Program::WriteSettings(home, 3, 1, 0, 1, EditorSettings(0, {}, false));
  const fs::path loop = CompileLoop(home, "greeting", TextLoopSource("Hi"));
  auto save_as = [&](Program& program, const std::string& name) {
    const auto main = program.WindowWithRole("player");
    ASSERT_TRUE(main);
    x->Run("xdotool windowactivate --sync " + std::to_string(main->first) + " key ctrl+shift+s");
    ASSERT_TRUE(x->WaitForWindow("Save a Moxtrel Keyframe File", 8000));
    SleepMs(800);
    x->Run(Key("ctrl+a") + " type '" + name + "'");
    x->Run(Key("Return"));
    EXPECT_TRUE(program.WaitForStatus(
        [&](const std::string& s) { return s == "Saved " + (user / (name + ".lqf")).string(); }, 8000))
        << program.Stdout();
  };
  {
    Program program(*x, home, {loop.string()});
    auto main = program.WindowWithRole("player");
    ASSERT_TRUE(main) << program.Stderr();
    ASSERT_TRUE(
        program.WaitForStatus([](const std::string& s) { return s.rfind("Playing greeting.lqf", 0) == 0; }, 15000));
    SleepMs(1000);
    OpenEditor(*x, main->first);
    x->Run(Key("ctrl+a") + " type 'Grand Opening'");
    x->Run(Key("Tab"));
    SleepMs(800);
    save_as(program, "opening");
  }
  const fs::path saved = user / "opening.lqf";
  ASSERT_TRUE(fs::is_regular_file(saved));
  EXPECT_TRUE(fs::is_regular_file(user / "opening.jpg")) << "no thumbnail for the library";
  const std::string dump = (fs::path(VL_BIN_DIR) / "vantaloop-cli").string() + " dump " + saved.string();
  std::string text;
  if (FILE* p = ::popen(dump.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
    ::pclose(p);
  }
  EXPECT_NE(text.find("Grand Opening"), std::string::npos) << text.substr(0, 2000);
  EXPECT_EQ(std::string(ReadAll(saved).substr(0, 4)), std::string("\x00\x00\xc0\x40", 4)) << "not version 6";
  // Opened again and saved under another name, unchanged: the same bytes.
  {
    Program program(*x, home, {saved.string()});
    ASSERT_TRUE(
        program.WaitForStatus([](const std::string& s) { return s.rfind("Playing opening.lqf", 0) == 0; }, 15000));
    SleepMs(800);
    save_as(program, "again");
  }
  ASSERT_TRUE(fs::is_regular_file(user / "again.lqf"));
  EXPECT_EQ(ReadAll(user / "again.lqf"), ReadAll(saved));
}

TEST(DesktopLoopEditor, ClosingWithUnsavedChangesAsks) {
  VL_X_SERVER_WITH_WM(x, "1600x1200x24");
  const fs::path home = Scratch("editor-close");
  Program::WriteSettings(home, 3, 1, 0, 1, EditorSettings(0, {}, false));
  const fs::path loop = CompileLoop(home, "draft", TextLoopSource("A"));
  const std::string bytes = ReadAll(loop);
  Program program(*x, home, {loop.string()});
  auto main = program.WindowWithRole("player");
  ASSERT_TRUE(main) << program.Stderr();
  ASSERT_TRUE(program.WaitForStatus([](const std::string& s) { return s.rfind("Playing draft.lqf", 0) == 0; }, 15000));
  SleepMs(1000);
  OpenEditor(*x, main->first);
  x->Run(Key("ctrl+a") + " type 'B' sleep 0.5 key Tab");
  SleepMs(500);
  // The window manager's close: the program asks, and Cancel keeps it running.
  x->Run("xdotool windowactivate --sync " + std::to_string(main->first) + " key alt+F4");
  ASSERT_TRUE(x->WaitForWindow("Unsaved changes", 5000)) << "closing did not ask";
  x->Run(Key("Escape"));
  SleepMs(1000);
  EXPECT_TRUE(program.Running());
  EXPECT_TRUE(x->WindowsTitled("Unsaved changes").empty());
  EXPECT_EQ(ReadAll(loop), bytes) << "cancel wrote the file";
  // Loading another loop asks too.
  x->Run("xdotool windowactivate --sync " + std::to_string(main->first) + " key ctrl+n");
  EXPECT_TRUE(x->WaitForWindow("Unsaved changes", 5000)) << "a new project did not ask";
  x->Run(Key("Escape"));
}

// How long a dragged key or a typed value takes to show in the picture while the heaviest
// bundled loop plays: the background tracks' keys dragged, then typed, up and down, timed to the
// picture's corner changing. Printed, not bounded: the time is mostly the loop's own frames.
// Frame intervals (ms between the starts of frames drawn) while `from` <= start < `to`.
std::vector<double> FrameIntervals(const TickTrace& trace, double from, double to) {
  std::vector<double> gaps;
  for (size_t i = 1; i < trace.ticks.size(); ++i)
    if (trace.ticks[i - 1].started >= from && trace.ticks[i].started < to)
      gaps.push_back(trace.ticks[i].started - trace.ticks[i - 1].started);
  return gaps;
}

double SteadyNowMs() { return std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count(); }

TEST(DesktopLoopEditor, AKeyDraggedForSecondsNeverStallsTheHeaviestLoop) {
  VL_X_SERVER_WITH_WM(x, "1600x1200x24");
  const fs::path home = Scratch("editor-stall");
  Program::WriteSettings(home, 0, 1, 0, 1, EditorSettings(1, "background_r background_g background_b"));
  Program program(*x, home, {(fs::path(VL_BIN_DIR) / "Sequences" / "model_trio.lqf").string()},
                  {"VANTALOOP_TRACE_TICKS=1"});
  auto main = program.WindowWithRole("player");
  ASSERT_TRUE(main) << program.Stderr();
  ASSERT_TRUE(program.WaitForStatus([](const std::string& s) { return s == "Playing model_trio.lqf"; }, 30000));
  SleepMs(2000);
  main = program.WindowWithRole("player");
  auto plot = FindPlot(*x, main->second);
  ASSERT_TRUE(plot);
  x->Run("xdotool windowactivate --sync " + std::to_string(main->first));
  x->Run(Move(plot->center()) + " keydown shift click --repeat 24 --delay 20 5 keyup shift");
  SleepMs(300);
  Drag(*x, plot->topLeft() + QPoint(2, 2), plot->bottomRight() - plot->topLeft() - QPoint(4, 4), 4);
  SleepMs(300);
  const QRect middle = plot->adjusted(plot->width() / 3, 0, -plot->width() / 3, 0);
  const auto mark = FindMark(*x, middle, QColor(255, 255, 255), 60);
  ASSERT_TRUE(mark) << "no chosen key mark on the graph";
  // Three seconds of the loop alone, then three of a key dragged up and down without a pause
  // (an edit every 20 ms), as a hand does.
  const double alone_from = SteadyNowMs();
  SleepMs(3000);
  const double drag_from = SteadyNowMs();
  std::string drag = Move(*mark) + " mousedown 1";
  for (int i = 0; i < 150; ++i)
    drag += " sleep 0.02 mousemove " + std::to_string(mark->x()) + " " +
            std::to_string(mark->y() + (i % 20 < 10 ? -(i % 10) : (i % 10) - 10) * plot->height() / 25);
  x->Run(drag + " mouseup 1");
  const double drag_to = SteadyNowMs();
  SleepMs(500);
  ASSERT_TRUE(program.Running());
  const TickTrace trace = ParseTickTrace(program.Stderr());
  const std::vector<double> alone = FrameIntervals(trace, alone_from, drag_from);
  const std::vector<double> dragged = FrameIntervals(trace, drag_from, drag_to);
  int edited = 0;
  for (const TracedTick& t : trace.ticks) edited += t.started >= drag_from && t.started < drag_to && t.changes > 0;
  std::printf(
      "frame intervals of model_trio alone: median %.0f ms, max %.0f ms over %zu frames; while a key is "
      "dragged: median %.0f ms, max %.0f ms over %zu frames, %d of them showing edits\n",
      Median(alone), Max(alone), alone.size(), Median(dragged), Max(dragged), dragged.size(), edited);
  PrintEditBreakdown(trace, "a key dragged while model_trio plays");
  ASSERT_GE(alone.size(), 5u) << "the loop did not play";
  // Frames go on being drawn while edits come in, and the drag reaches the picture.
  EXPECT_GE(dragged.size(), 5u) << "playback stood still during the drag";
  EXPECT_GE(edited, 2) << "the dragged key's edits never reached a frame";
}

TEST(DesktopLoopEditor, DragAndTypedValueToPictureTimeWhileTheHeaviestLoopPlays) {
  VL_X_SERVER_WITH_WM(x, "1600x1200x24");
  const fs::path home = Scratch("editor-speed");
  Program::WriteSettings(home, 0, 1, 0, 1, EditorSettings(1, "background_r background_g background_b"));
  Program program(*x, home, {(fs::path(VL_BIN_DIR) / "Sequences" / "model_trio.lqf").string()},
                  {"VANTALOOP_TRACE_TICKS=1"});
  auto main = program.WindowWithRole("player");
  ASSERT_TRUE(main) << program.Stderr();
  ASSERT_TRUE(program.WaitForStatus([](const std::string& s) { return s == "Playing model_trio.lqf"; }, 30000));
  SleepMs(2000);
  main = program.WindowWithRole("player");
  auto plot = FindPlot(*x, main->second);
  ASSERT_TRUE(plot);
  // Values zoomed out (Shift+wheel), then every key chosen with a box.
  x->Run("xdotool windowactivate --sync " + std::to_string(main->first));
  x->Run(Move(plot->center()) + " keydown shift click --repeat 24 --delay 20 5 keyup shift");
  SleepMs(300);
  Drag(*x, plot->topLeft() + QPoint(2, 2), plot->bottomRight() - plot->topLeft() - QPoint(4, 4), 4);
  SleepMs(300);
  const QRect corner(main->second.topLeft() + QPoint(6, 40), QSize(6, 6));
  auto bright = [&] { return qRed(x->Grab(corner).pixel(3, 3)) > 150; };
  ASSERT_FALSE(bright()) << "model_trio's background is dark";
  std::vector<double> times;
  for (int i = 0; i < 6; ++i) {
    // Chosen marks have a white edge; the three tracks' marks lie on one another.
    // The middle key's (the outer ones lie on the graph's edges).
    const QRect middle = plot->adjusted(plot->width() / 3, 0, -plot->width() / 3, 0);
    const auto mark = FindMark(*x, middle, QColor(255, 255, 255), 60);
    ASSERT_TRUE(mark) << "no chosen key mark on the graph, drag " << i;
    const bool up = i % 2 == 0;
    x->Run(Move(*mark) + " mousedown 1");
    SleepMs(50);
    const auto start = Clock::now();
    x->Run(Move(*mark + QPoint(0, (up ? -1 : 1) * plot->height() / 2)));
    const bool seen = Eventually([&] { return bright() == up; }, 3000, 5);
    times.push_back(seen ? std::chrono::duration<double, std::milli>(Clock::now() - start).count() : -1.0);
    x->Run("xdotool mouseup 1");
    SleepMs(400 + 50 * i);
  }
  // The same keys given a typed value: from the graph, Tab goes by Add key and Delete key to the
  // value field; the time runs from Return.
  x->Run("xdotool key Tab sleep 0.1 key Tab sleep 0.1 key Tab");
  std::vector<double> typed;
  for (int i = 0; i < 6; ++i) {
    const bool up = i % 2 == 0;
    x->Run(std::string("xdotool key ctrl+a type ") + (up ? "300" : "0"));
    const auto start = Clock::now();
    x->Run("xdotool key Return");
    const bool seen = Eventually([&] { return bright() == up; }, 3000, 5);
    typed.push_back(seen ? std::chrono::duration<double, std::milli>(Clock::now() - start).count() : -1.0);
    SleepMs(400 + 50 * i);
  }
  auto report = [](const char* what, std::vector<double> v) {
    std::sort(v.begin(), v.end());
    std::printf("%s while model_trio plays: median %.0f ms, max %.0f ms, all:", what, v[v.size() / 2], v.back());
    for (double t : v) std::printf(" %.0f", t);
    std::printf("\n");
    return v.front();
  };
  EXPECT_GT(report("key drag to picture", times), 0.0) << "a drag never reached the picture";
  EXPECT_GT(report("typed value to picture", typed), 0.0) << "a typed value never reached the picture";
  EXPECT_TRUE(program.Running());
  PrintEditBreakdown(ParseTickTrace(program.Stderr()), "edits while model_trio plays");
}

}  // namespace
}  // namespace vl::xtest
