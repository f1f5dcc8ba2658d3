// desktop_soak [--seconds N] [--seed S]: plays with the real desktop program on a private Xvfb
// for N seconds (60 by default) the way a restless user would: loads of bundled, generated and
// damaged loops through the Open dialog, play, stop, scrubbing, the loop switch, new project,
// settings applied, the big loop window, the status bar, full screen, an export started and
// cancelled. Passes (exit 0) when the program never crashes or stops answering, reports no GL
// error, keeps the playing loop through every damaged load, and its resident memory at the end is
// within 20 MB of what it was after the first minute (both read after 20 s without commands). The windows are found by their roles, the
// control panel is opened again through the menu when a command sent it away, and a failure leaves
// a picture of the screen and the program's last status lines. VL_SOAK_TRACE=1 prints a line per
// command with the program's memory.
#include <cinttypes>
#include <cstdio>
#include <map>
#include <random>
#include <set>

#include "tests/app/desktop/x_session.h"

namespace vl::xtest {
namespace {

// Resident memory of the program and the part of it in the C heap (its own allocations and the
// GL driver's), from /proc.
struct Memory {
  int64_t resident_kb = -1;
  int64_t heap_kb = -1;
};
Memory MemoryOf(pid_t pid) {
  Memory m;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) m.resident_kb = std::strtoll(line.c_str() + 6, nullptr, 10);
  std::ifstream maps("/proc/" + std::to_string(pid) + "/smaps");
  bool in_heap = false;
  while (std::getline(maps, line)) {
    const size_t dash = line.find('-'), space = line.find(' ');
    if (dash != std::string::npos && dash < space && line.find_first_not_of("0123456789abcdef") == dash) {
      in_heap = line.find("[heap]") != std::string::npos;  // a mapping's first line
      if (in_heap && m.heap_kb < 0) m.heap_kb = 0;
    } else if (in_heap && line.rfind("Rss:", 0) == 0) {
      m.heap_kb += std::strtoll(line.c_str() + 4, nullptr, 10);
    }
  }
  return m;
}

struct Win {
  Window id = 0;
  QRect rect;
  std::string title, role;
};

// Every viewable top-level window.
std::vector<Win> TopLevels(XServer& x) {
  std::vector<Win> found;
  Display* d = x.dpy();
  XSync(d, False);
  Window root = DefaultRootWindow(d), parent = 0, *children = nullptr;
  unsigned n = 0;
  if (!XQueryTree(d, root, &root, &parent, &children, &n)) return found;
  for (unsigned i = 0; i < n; ++i) {
    XWindowAttributes a;
    if (!XGetWindowAttributes(d, children[i], &a) || a.map_state != IsViewable || a.width < 40) continue;
    char* name = nullptr;
    std::string title;
    if (XFetchName(d, children[i], &name) && name) {
      title = name;
      XFree(name);
    }
    found.push_back({children[i], QRect(a.x, a.y, a.width, a.height), title, x.Role(children[i])});
  }
  if (children) XFree(children);
  return found;
}

// Places on the control panel, from its top-left corner: the playback group keeps its size and
// place whatever the panel's width.
constexpr QPoint kPlay(71, 84), kStop(173, 84), kLoopBox(112, 185), kBigWindow(296, 185), kExport(122, 230),
    kSettings(296, 230);
constexpr int kSliderY = 144, kSliderLeft = 30, kSliderWidth = 330;
constexpr QSize kScreen(1280, 1024);

class Soak {
 public:
  Soak(int seconds, uint32_t seed) : seconds_(seconds), rng_(seed), seed_(seed) {}

  int Run() {
    std::string error;
    x_ = XServer::Start(std::to_string(kScreen.width()) + "x" + std::to_string(kScreen.height()) + "x24", &error);
    if (!x_) {
      std::fprintf(stderr, "desktop_soak: %s\n", error.c_str());
      return InCi() ? 1 : 77;
    }
    home_ = Scratch("soak");
    MakeLoops();
    Program::WriteSettings(home_, 3, 1, /*random=*/1, /*lock=*/1);
    program_ = std::make_unique<Program>(*x_, home_, std::vector<std::string>{});
    if (!program_->MainWindow(20000) || !FindPlayer()) return Fail("the main window never appeared");
    if (!WaitForLoad(20000)) return Fail("the first loop never played");
    for (int waited = 0; waited < 10000 && !WithRole("control-panel"); waited += 200) SleepMs(200);
    if (!EnsurePanel()) return Fail("the control panel never appeared");

    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] {
      return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    };
    // Memory after the first minute is the baseline (a shorter run compares its end with itself).
    const int64_t baseline_at = std::min<int64_t>(60'000, seconds_ * 1000LL);
    Memory baseline;
    int64_t next_sample = 60'000;
    while (elapsed() < seconds_ * 1000LL) {
      if (!program_->Running()) return Fail("the program ended (crash?)");
      if (baseline.resident_kb < 0 && elapsed() >= baseline_at) {
        baseline = Settled();
        std::printf("desktop_soak: %5.0f s resident %" PRId64 " kB, heap %" PRId64 " kB (baseline)\n",
                    static_cast<double>(elapsed()) / 1000.0, baseline.resident_kb, baseline.heap_kb);
      }
      if (elapsed() >= next_sample) {
        const Memory now = MemoryOf(program_->pid());
        std::printf(
            "desktop_soak: %5.0f s resident %" PRId64 " kB, heap %" PRId64 " kB, %d loads (%d damaged), %d commands\n",
            static_cast<double>(elapsed()) / 1000.0, now.resident_kb, now.heap_kb, loads_, damaged_loads_, commands_);
        next_sample += 60'000;
      }
      if (trace_) {
        const Memory now = MemoryOf(program_->pid());
        std::printf("  %6.1f s %7" PRId64 " kB heap %7" PRId64 " kB  [%d] ", static_cast<double>(elapsed()) / 1000.0,
                    now.resident_kb, now.heap_kb, commands_ + 1);
      }
      if (!Step()) return 1;
      if (program_->Stderr().find("GL error") != std::string::npos) return Fail("a GL error was reported");
    }
    // A run of a minute or less compares its end with itself.
    const bool short_run = baseline.resident_kb < 0;
    if (short_run) baseline = Settled();
    const Memory end = short_run ? baseline : Settled();
    std::printf(
        "desktop_soak: seed %u, %d s: %d loads (%d bundled, %d generated, %d damaged), %d commands, "
        "%d exports cancelled, %d new projects, panel opened again %d times, %d clicks that missed, "
        "%d Open dialogs missed, %d slow to move; resident %" PRId64 " kB (heap %" PRId64 " kB) after %.0f s, %" PRId64
        " kB (heap %" PRId64 " kB) at the end\n",
        seed_, seconds_, loads_, bundled_loads_, generated_loads_, damaged_loads_, commands_, exports_, new_projects_,
        panel_reopened_, missed_, unanswered_, slow_, baseline.resident_kb, baseline.heap_kb,
        static_cast<double>(baseline_at) / 1000.0, end.resident_kb, end.heap_kb);
    if (baseline.resident_kb > 0 && end.resident_kb - baseline.resident_kb > 20 * 1024)
      return Fail("resident memory grew by " + std::to_string((end.resident_kb - baseline.resident_kb) / 1024) + " MB");
    if (!program_->Running()) return Fail("the program ended (crash?)");
    std::printf("desktop_soak: passed\n");
    return 0;
  }

 private:
  // Says what failed and leaves what shows why: the screen as a picture, the windows, the
  // program's last status lines and the end of its standard error.
  int Fail(const std::string& why) {
    std::printf("desktop_soak: FAILED after %d loads and %d commands (seed %u): %s\nlast action: %s\n", loads_,
                commands_, seed_, why.c_str(), last_action_.c_str());
    if (x_) {
      const fs::path shot = (home_.empty() ? fs::temp_directory_path() : home_) / "failure.png";
      if (x_->Grab().save(QString::fromStdString(shot.string()))) std::printf("screen: %s\n", shot.c_str());
      std::printf("windows:");
      for (const Win& w : TopLevels(*x_))
        std::printf(" '%s'%s%s %d,%d %dx%d;", w.title.c_str(), w.role.empty() ? "" : " role ", w.role.c_str(),
                    w.rect.x(), w.rect.y(), w.rect.width(), w.rect.height());
      std::printf("\n");
    }
    if (program_) {
      const auto lines = program_->StatusLines();
      std::printf("last status lines:\n");
      for (size_t i = lines.size() > 25 ? lines.size() - 25 : 0; i < lines.size(); ++i)
        std::printf("  %s\n", lines[i].c_str());
      if (std::getenv("VL_SOAK_STACKS"))  // where the program is, for a hang
        std::system(("ps -o pid,stat,time,wchan:30 -p " + std::to_string(program_->pid()) + "; gdb -p " +
                     std::to_string(program_->pid()) +
                     " -batch -ex 'thread apply all bt 15' 2>&1 | grep -E '^#|^Thread|ptrace' | head -60")
                        .c_str());
      std::string err = program_->Stderr();
      if (err.size() > 4000) err = err.substr(err.size() - 4000);
      std::printf("program stderr (end):\n%s\n", err.c_str());
    }
    return 1;
  }

  // Memory with the program left alone for a while: an export or a load under way holds large
  // blocks it frees when done, and the program hands freed memory back every fifteen seconds.
  // Both ends of the comparison are read this way.
  Memory Settled() {
    DismissExtras();
    SleepMs(20000);
    return MemoryOf(program_->pid());
  }

  bool Hung(const std::string& why) {
    Fail(why);
    return false;
  }

  int Pick(int n) { return static_cast<int>(rng_() % static_cast<uint32_t>(n)); }

  void MakeLoops() {
    for (const auto& e : fs::directory_iterator(fs::path(VL_BIN_DIR) / "Sequences"))
      if (e.path().extension() == ".lqf") bundled_.push_back(e.path());
    std::sort(bundled_.begin(), bundled_.end());
    // Generated: a background that changes colour, with a few layers switched on.
    const char* layers[] = {"trail_on = 2\n",
                            "fx_text = 2\nscene_echo_on = 2\ntext_on = 2\ntext_string = \"soak\"\n",
                            "sprites_on = 2\n",
                            "particles_on = 2\n",
                            "photo_on = 2\nphoto_a_name = \"Images/not-here.jpg\"\n",
                            "vortex_on = 2\n"};
    for (int i = 0; i < 6; ++i) {
      std::string settings = layers[i];
      settings += layers[Pick(6)];
      std::ostringstream src;
      src << "version 6\n\n[settings]\n"
          << (settings.find("text_on") == std::string::npos ? "text_on = 0\n" : "") << settings
          << "\n[initial]\nbackground_r = " << Pick(120) << "\nbackground_g = " << Pick(120)
          << "\nbackground_b = " << Pick(120)
          << "\n\n[key]\nframe = 0\n\n[key]\nframe = 60\nbackground_r = " << 100 + Pick(150)
          << "\n\n[key]\nframe = 120\n";
      const fs::path lqf = CompileLoop(home_, "generated" + std::to_string(i), src.str());
      if (fs::exists(lqf)) generated_.push_back(lqf);
    }
    // Damaged: bundled loops cut short, with bytes flipped, and plain garbage.
    for (int i = 0; i < 6 && !bundled_.empty(); ++i) {
      std::string bytes = ReadAll(bundled_[static_cast<size_t>(Pick(static_cast<int>(bundled_.size())))]);
      if (i % 3 == 0) bytes.resize(static_cast<size_t>(Pick(static_cast<int>(bytes.size()) / 2) + 4));
      if (i % 3 == 1)
        for (int k = 0; k < 40; ++k)
          bytes[static_cast<size_t>(Pick(static_cast<int>(bytes.size())))] ^= static_cast<char>(0xFF);
      if (i % 3 == 2) {
        bytes.assign(static_cast<size_t>(200 + Pick(4000)), '\0');
        for (char& c : bytes) c = static_cast<char>(Pick(256));
        bytes.replace(0, 4, std::string("\x00\x00\xc0\x40", 4));  // version 6
      }
      const fs::path p = home_ / ("damaged" + std::to_string(i) + ".lqf");
      std::ofstream(p, std::ios::binary) << bytes;
      damaged_.push_back(p);
    }
  }

  // ---- Windows: found by their roles, never by where they were ------------------------------

  std::optional<Win> WithRole(const std::string& role) {
    for (const Win& w : TopLevels(*x_))
      if (w.role == role) return w;
    return std::nullopt;
  }
  bool FindPlayer() {
    auto w = WithRole("player");
    if (w) player_ = *w;
    return w.has_value();
  }

  void Xdo(const std::string& args) { x_->Run("xdotool " + args); }
  void Focus(const Win& w) { Xdo("windowfocus --sync " + std::to_string(w.id)); }
  void ClickAt(QPoint p) { Xdo("mousemove " + std::to_string(p.x()) + " " + std::to_string(p.y()) + " click 1"); }
  // The pointer off every window, so nothing shows as hovered when the screen is read.
  void MouseAway() {
    Xdo("mousemove " + std::to_string(kScreen.width() - 1) + " " + std::to_string(kScreen.height() - 1));
  }

  bool WaitFor(const std::function<bool()>& done, int ms) {
    for (int waited = 0; waited <= ms; waited += 100) {
      if (done()) return true;
      SleepMs(100);
    }
    return false;
  }

  bool FullScreen() {
    FindPlayer();
    return player_.rect.size() == kScreen;
  }
  // Esc (or F11 when Esc went astray) and the window back at its size before anything else is
  // sent: a key that comes while the program is still changing the window toggles it again. A
  // window that stays full screen is a fault.
  void LeaveFullScreen() {
    if (!FullScreen()) return;
    for (int attempt = 0; attempt < 3; ++attempt) {
      Focus(player_);
      Xdo(attempt == 1 ? "key F11" : "key Escape");
      if (WaitFor([&] { return !FullScreen(); }, 8000)) return;
    }
    if (fault_.empty()) fault_ = "full screen was not left with Esc nor F11";
  }

  // Windows beyond the main window, the panel and the splash: boxes and dialogs left open.
  std::vector<Win> Extras() {
    std::vector<Win> extra;
    for (const Win& w : TopLevels(*x_)) {
      if (w.role == "player" || w.role == "control-panel") continue;
      if (w.rect.size() == QSize(343, 122)) continue;  // the loading splash
      extra.push_back(w);
    }
    return extra;
  }

  // Closes what is left open: Escape, then Return for boxes (OK).
  int DismissExtras() {
    int closed = 0;
    for (int round = 0; round < 6; ++round) {
      auto extra = Extras();
      if (extra.empty()) break;
      for (const Win& w : extra) {
        Focus(w);
        Xdo(round % 2 == 0 ? "key Escape" : "key Return");
        ++closed;
      }
      SleepMs(400);
    }
    return closed;
  }

  // View > Open Controls: the menu's second item of five (Status Bar, Open Controls, Messages,
  // Loop Editor, Full Screen), opened with the mouse or, on a second try, with Alt+V.
  void OpenControlsFromMenu(int attempt) {
    Focus(player_);
    std::set<Window> before;
    for (const Win& w : TopLevels(*x_)) before.insert(w.id);
    if (attempt % 2 == 0) ClickAt(player_.rect.topLeft() + QPoint(58, 9));
    else Xdo("key alt+v");
    for (int waited = 0; waited < 2000; waited += 100) {
      for (const Win& w : TopLevels(*x_))
        if (!before.count(w.id) && w.rect.top() >= player_.rect.top() && w.rect.top() < player_.rect.top() + 60) {
          ClickAt(QPoint(w.rect.center().x(), w.rect.top() + w.rect.height() * 3 / 10));
          return;
        }
      SleepMs(100);
    }
    Xdo("key Escape");
  }

  // The control panel, found by its role and raised. Gone (a new project, the big loop window,
  // Esc) it is opened again through View > Open Controls, as a user would.
  bool EnsurePanel() {
    for (int attempt = 0; attempt < 4; ++attempt) {
      if (auto p = WithRole("control-panel")) {
        panel_ = *p;
        Xdo("windowraise " + std::to_string(panel_.id));
        return true;
      }
      if (attempt == 0) ++panel_reopened_;
      DismissExtras();
      LeaveFullScreen();
      OpenControlsFromMenu(attempt);
      WaitFor([&] { return WithRole("control-panel").has_value(); }, 6000);
    }
    return false;
  }

  bool ClickPanel(QPoint at) {
    if (!EnsurePanel()) return Hung("the control panel did not open through View > Open Controls");
    ClickAt(panel_.rect.topLeft() + at);
    return true;
  }

  // Waits for the status line of a finished load ("Playing X" or "Stopped: X") after `from`.
  bool WaitForLoad(int ms, size_t from = 0, std::string* line = nullptr) {
    for (int waited = 0; waited <= ms; waited += 100) {
      auto lines = program_->StatusLines();
      for (size_t i = from; i < lines.size(); ++i)
        if (lines[i].rfind("Playing ", 0) == 0 || lines[i].rfind("Stopped: ", 0) == 0) {
          if (line) *line = lines[i];
          return true;
        }
      for (size_t i = from; i < lines.size(); ++i)
        if (lines[i].rfind("Could not load the loop", 0) == 0) return false;
      // A model loader box ("Error", "Warning") is answered.
      for (const Win& w : Extras())
        if (w.title == "Error" || w.title == "Warning") {
          Focus(w);
          Xdo("key Return");
        }
      SleepMs(100);
    }
    return false;
  }

  // Whether a status line matching `match` came after the first `from`.
  bool WaitForStatusAfter(size_t from, const std::function<bool(const std::string&)>& match, int ms) {
    for (int waited = 0; waited <= ms; waited += 100) {
      const auto lines = program_->StatusLines();
      for (size_t i = from; i < lines.size(); ++i)
        if (match(lines[i])) return true;
      SleepMs(100);
    }
    return false;
  }

  QRect ViewArea() {
    FindPlayer();
    // Below the menu bar, above the status bar: the middle of the window is the view.
    return QRect(player_.rect.x(), player_.rect.y() + 30, player_.rect.width(),
                 std::max(1, player_.rect.height() - 60));
  }

  // The picture or the panel's frame number changes within fifteen seconds (the loop plays and
  // the program answers; a loop may hide its moving background behind still planes).
  bool Moves() {
    EnsurePanel();
    MouseAway();
    auto look = [&] { return std::make_pair(x_->Grab(ViewArea()), x_->Grab(panel_.rect)); };
    const auto first = look();
    for (int i = 0; i < 75; ++i) {
      SleepMs(200);
      if (look() != first) {
        if (i >= 25) ++slow_;  // moved, but only after five seconds (a busy machine)
        return true;
      }
    }
    return false;
  }

  // Whether the picture must be moving: a loop plays, and loops round (else it may have ended).
  bool Playing() const { return has_loop_ && !stopped_ && loop_on_; }

  // ---- Commands ---------------------------------------------------------------------------

  bool Load() {
    const int kind = Pick(10);
    const std::vector<fs::path>& from = kind < 5 ? bundled_ : kind < 7 ? generated_ : damaged_;
    if (from.empty()) return true;
    const fs::path path = from[static_cast<size_t>(Pick(static_cast<int>(from.size())))];
    const bool damaged = &from == &damaged_;
    last_action_ = "load " + path.string();
    std::optional<QRect> dialog;
    for (int attempt = 0; attempt < 3 && !dialog; ++attempt) {
      // Whatever an earlier command left open (a box, a dialog) goes first.
      DismissExtras();
      LeaveFullScreen();
      FindPlayer();
      Focus(player_);
      if (attempt % 2 == 0) {
        Xdo("key ctrl+o");
      } else {  // File > Open Sequence with the mouse
        ClickAt(player_.rect.topLeft() + QPoint(15, 9));
        SleepMs(400);
        Xdo("key Down key Return");
      }
      dialog = x_->WaitForWindow("Open a Moxtrel Keyframe File", 5000);
    }
    if (!dialog && (!Playing() || Moves())) {
      // Still painting: the keys and clicks went astray (focus without a window manager), which
      // is counted and reported rather than called a hang.
      ++unanswered_;
      std::printf("desktop_soak: the Open dialog did not appear after command %d; the program still paints\n",
                  commands_);
      DismissExtras();
      return true;
    }
    if (!dialog) return Hung("the Open dialog did not appear");
    for (const auto& w : x_->WindowsTitled("Open a Moxtrel Keyframe File")) Focus(Win{w.first, w.second, "", ""});
    Xdo("type --delay 1 '" + path.string() + "'");
    const size_t before = program_->StatusLines().size();
    Xdo("key Return");
    ++loads_;
    std::string line;
    const bool loaded = WaitForLoad(20000, before, &line);
    if (loaded) {
      has_loop_ = true;
      stopped_ = line.rfind("Stopped: ", 0) == 0;
      if (!damaged) {
        bundled_loads_ += &from == &bundled_;
        generated_loads_ += &from == &generated_;
        return true;
      }
    }
    if (damaged) ++damaged_loads_;
    // A failed load tells the user in a box; answer it.
    SleepMs(300);
    DismissExtras();
    if (!loaded && !damaged) return Hung("the loop " + path.string() + " did not load");
    // The loop that played before plays on.
    if (Playing() && !Moves()) return Hung("the playing loop stopped after a damaged load");
    return true;
  }

  bool ToggleLoop() {
    last_action_ = "loop switch";
    if (!EnsurePanel()) return Hung("the control panel did not open through View > Open Controls");
    // The check box shows the switch: read before and after, so a click that went astray is
    // not taken for a switch.
    Focus(panel_);
    auto box = [&] {
      MouseAway();
      SleepMs(300);
      return x_->Grab(QRect(panel_.rect.topLeft() + kLoopBox - QPoint(8, 8), QSize(16, 16)));
    };
    const QImage before = box();
    if (!ClickPanel(kLoopBox)) return false;
    if (box() != before) loop_on_ = !loop_on_;
    else ++missed_;
    return true;
  }

  bool NewProject() {
    last_action_ = "new project";
    DismissExtras();
    LeaveFullScreen();
    Focus(player_);
    Xdo("key ctrl+n");
    for (int waited = 0; waited < 3000 && Extras().empty(); waited += 100) SleepMs(100);
    const auto boxes = Extras();
    if (boxes.empty()) {
      ++missed_;
      return true;
    }
    for (const Win& w : boxes) {
      Focus(w);
      Xdo("key alt+y");
    }
    // A new project has no keyframes: nothing plays until a load, and the panel goes away.
    has_loop_ = false;
    ++new_projects_;
    return true;
  }

  bool BigLoopWindow() {
    last_action_ = "big loop window";
    if (!ClickPanel(kBigWindow)) return false;
    std::optional<Win> window;
    for (int waited = 0; waited < 4000 && !window; waited += 100) {
      for (const Win& w : Extras())
        if (w.rect.width() >= 600) window = w;
      if (!window) SleepMs(100);
    }
    if (!window) {
      ++missed_;
      return true;
    }
    if (Pick(2) == 0) {
      Focus(*window);
      Xdo("key Escape");  // the panel stays away until View > Open Controls
    } else {
      ClickAt(window->rect.bottomRight() - QPoint(60, 35));  // "Close": the panel comes back
    }
    SleepMs(500);
    return true;
  }

  // An export started from the panel and cancelled from its progress dialog: the dialog goes, the
  // status bar says nothing was written, and no file (nor a partial one) is left.
  bool ExportAndCancel() {
    last_action_ = "export started and cancelled";
    if (!ClickPanel(kExport)) return false;
    std::optional<Win> chooser;
    for (int waited = 0; waited < 5000 && !chooser; waited += 100) {
      for (const Win& w : Extras())
        if (w.title == "Export Video") chooser = w;
      if (!chooser) SleepMs(100);
    }
    if (!chooser) {
      ++missed_;
      return true;
    }
    if (!has_loop_) {  // "There is no loop to export": a box to answer
      DismissExtras();
      return true;
    }
    const std::string name = "export_" + std::to_string(exports_ + 1) + ".mp4";
    const fs::path out = home_ / name;
    Focus(*chooser);
    Xdo("type --delay 1 '" + out.string() + "'");
    const size_t before = program_->StatusLines().size();
    Xdo("key Return");
    const bool started = WaitForStatusAfter(
        before, [](const std::string& s) { return s.rfind("Exporting ", 0) == 0; }, 5000);
    if (!started) {
      std::printf("desktop_soak: the export did not start after command %d\n", commands_);
      ++missed_;
      DismissExtras();
      return true;
    }
    ++exports_;
    SleepMs(300 + Pick(1500));
    // The progress dialog has the file chooser's title; it is the one still open.
    std::optional<Win> progress;
    for (int waited = 0; waited < 3000 && !progress; waited += 100) {
      for (const Win& w : Extras())
        if (w.title == "Export Video") progress = w;
      if (!progress) SleepMs(100);
    }
    bool finished_first = false;
    if (progress) {
      Focus(*progress);
      Xdo("key Escape");
    }
    const bool ended = WaitForStatusAfter(
        before,
        [&](const std::string& s) {
          finished_first = finished_first || s.rfind("Exported ", 0) == 0;
          return s.rfind("Export cancelled", 0) == 0 || s.rfind("Exported ", 0) == 0 ||
                 s.rfind("The export failed", 0) == 0;
        },
        20000);
    if (!ended) return Hung("the export did not end after Cancel");
    if (finished_first) {  // done before the cancel came: a whole file, which is fine
      fs::remove(out);
      return true;
    }
    if (!progress) return Hung("the export's progress dialog never showed");
    for (int waited = 0; waited < 3000; waited += 100) {
      bool open = false;
      for (const Win& w : Extras()) open = open || w.id == progress->id;
      if (!open) break;
      if (waited + 100 >= 3000) return Hung("the export's progress dialog stayed open after Cancel");
      SleepMs(100);
    }
    for (const auto& e : fs::directory_iterator(home_))
      if (e.path().filename().string().find(name) != std::string::npos)
        return Hung("a cancelled export left " + e.path().string());
    return true;
  }

  bool Step() {
    ++commands_;
    const int what = Pick(100);
    bool ok = true;
    if (what < 35) {
      ok = Load();
    } else if (what < 45) {
      last_action_ = "play";
      ok = ClickPanel(kPlay);
      stopped_ = false;
    } else if (what < 52) {
      last_action_ = "stop";
      ok = ClickPanel(kStop);
      stopped_ = true;
    } else if (what < 62) {
      last_action_ = "scrub";
      ok = ClickPanel(QPoint(kSliderLeft + Pick(kSliderWidth), kSliderY));
    } else if (what < 67) {
      ok = ToggleLoop();
    } else if (what < 70) {
      ok = NewProject();
    } else if (what < 76) {
      last_action_ = "settings apply";
      ok = ClickPanel(kSettings);
      SleepMs(700);
      for (const Win& w : Extras()) {
        Focus(w);
        Xdo("key Return");
      }
    } else if (what < 81) {
      ok = BigLoopWindow();
    } else if (what < 85) {
      last_action_ = "status bar";
      LeaveFullScreen();
      Focus(player_);
      Xdo("key alt+v key s");
    } else if (what < 90) {
      last_action_ = "full screen";
      DismissExtras();
      LeaveFullScreen();
      Focus(player_);
      Xdo("key F11");
      if (!WaitFor([&] { return FullScreen(); }, 8000)) ++missed_;
      SleepMs(300);
      LeaveFullScreen();
    } else if (what < 93) {
      ok = ExportAndCancel();
    } else {
      last_action_ = "watch";
      SleepMs(1000);
    }
    if (trace_) std::printf("%s\n", last_action_.c_str());
    if (!ok) return false;
    if (!fault_.empty()) return Hung(fault_);
    SleepMs(150 + Pick(400));
    DismissExtras();
    if (!program_->Running()) return Hung("the program ended (crash?) after " + last_action_);
    if (Playing() && what < 62 && what >= 35 && !Moves())
      return Hung("the picture stopped moving after " + last_action_);
    return true;
  }

  int seconds_;
  std::mt19937 rng_;
  uint32_t seed_;
  bool trace_ = std::getenv("VL_SOAK_TRACE") != nullptr;  // a line per command, with memory
  std::unique_ptr<XServer> x_;
  fs::path home_;
  std::unique_ptr<Program> program_;
  std::vector<fs::path> bundled_, generated_, damaged_;
  Win player_, panel_;
  int loads_ = 0, bundled_loads_ = 0, damaged_loads_ = 0, generated_loads_ = 0, commands_ = 0, exports_ = 0;
  int new_projects_ = 0;
  int panel_reopened_ = 0;  // times the panel was gone and opened again through the menu
  int missed_ = 0;          // clicks and keys that changed nothing (focus without a window manager)
  int unanswered_ = 0;      // Open dialogs that did not appear while the program went on painting
  int slow_ = 0;            // checks where the picture took more than five seconds to move
  bool has_loop_ = true, stopped_ = false, loop_on_ = true;
  std::string last_action_ = "start-up";
  std::string fault_;  // found by a helper; the step fails with it
};

}  // namespace
}  // namespace vl::xtest

int main(int argc, char** argv) {
  int seconds = 60;
  uint32_t seed = static_cast<uint32_t>(std::time(nullptr));
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::string(argv[i]) == "--seconds") seconds = std::atoi(argv[i + 1]);
    else if (std::string(argv[i]) == "--seed") seed = static_cast<uint32_t>(std::strtoul(argv[i + 1], nullptr, 10));
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // a log read while it runs
  std::printf("desktop_soak: %d s, seed %u\n", seconds, seed);
  return vl::xtest::Soak(std::max(5, seconds), seed).Run();
}
