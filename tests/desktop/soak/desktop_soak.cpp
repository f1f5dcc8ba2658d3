// desktop_soak [--seconds N] [--seed S]: plays with the real desktop program on a private Xvfb
// for N seconds (60 by default) the way a restless user would: loads of bundled, generated and
// damaged loops through the Open dialog, play, stop, scrubbing, the loop switch, new project,
// settings applied, the big loop window, the status bar, full screen, an export started and
// cancelled. Passes (exit 0) when the program never crashes or stops answering, reports no GL
// error, keeps the playing loop through every damaged load, and its resident memory at the end is
// within 20 MB of what it was after the first minute.
#include <cinttypes>
#include <cstdio>
#include <map>
#include <random>
#include <set>

#include "tests/desktop/x_session.h"

namespace vl::xtest {
namespace {

int64_t ResidentKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::strtoll(line.c_str() + 6, nullptr, 10);
  return -1;
}

struct Window_ {
  Window id;
  QRect rect;
  std::string title;
};

// Every viewable top-level window.
std::vector<Window_> TopLevels(XServer& x) {
  std::vector<Window_> found;
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
    found.push_back({children[i], QRect(a.x, a.y, a.width, a.height), title});
  }
  if (children) XFree(children);
  return found;
}

class Soak {
 public:
  Soak(int seconds, uint32_t seed) : seconds_(seconds), rng_(seed), seed_(seed) {}

  int Run() {
    std::string error;
    x_ = XServer::Start("1280x1024x24", &error);
    if (!x_) {
      std::fprintf(stderr, "desktop_soak: %s\n", error.c_str());
      return InCi() ? 1 : 77;
    }
    home_ = Scratch("soak");
    MakeLoops();
    Program::WriteSettings(home_, 3, 1, /*random=*/1, /*lock=*/1);
    program_ = std::make_unique<Program>(*x_, home_, std::vector<std::string>{});
    auto main = program_->MainWindow(20000);
    if (!main) return Fail("the main window never appeared");
    if (!WaitForLoad(20000)) return Fail("the first loop never played");
    SleepMs(1500);
    if (!FindWindows()) return Fail("the control panel never appeared");

    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] {
      return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    };
    // Memory after the first minute is the baseline (a shorter run compares its end with itself).
    const int64_t baseline_at = std::min<int64_t>(60'000, seconds_ * 1000LL);
    int64_t next_sample = 60'000;
    while (elapsed() < seconds_ * 1000LL) {
      if (!program_->Running()) return Fail("the program ended (crash?)");
      if (baseline_kb_ < 0 && elapsed() >= baseline_at) {
        baseline_kb_ = ResidentKb(program_->pid());
        std::printf("desktop_soak: %5.0f s resident %" PRId64 " kB (baseline)\n", elapsed() / 1000.0, baseline_kb_);
      }
      if (elapsed() >= next_sample) {
        std::printf("desktop_soak: %5.0f s resident %" PRId64 " kB, %d loads (%d damaged), %d commands\n",
                    elapsed() / 1000.0, ResidentKb(program_->pid()), loads_, damaged_loads_, commands_);
        std::fflush(stdout);
        next_sample += 60'000;
      }
      if (!Step()) return 1;
      if (program_->Stderr().find("GL error") != std::string::npos) return Fail("a GL error was reported");
    }
    if (baseline_kb_ < 0) baseline_kb_ = ResidentKb(program_->pid());
    const int64_t end_kb = ResidentKb(program_->pid());
    std::printf("desktop_soak: seed %u, %d s: %d loads (%d good, %d damaged, %d generated), %d commands, "
                "%d exports cancelled, %d Open dialogs missed, %d slow to move; resident %" PRId64
                " kB after %.0f s, %" PRId64 " kB at the end\n",
                seed_, seconds_, loads_, good_loads_, damaged_loads_, generated_loads_, commands_, exports_, unanswered_,
                slow_,
                baseline_kb_, baseline_at / 1000.0, end_kb);
    if (baseline_kb_ > 0 && end_kb - baseline_kb_ > 20 * 1024)
      return Fail("resident memory grew by " + std::to_string((end_kb - baseline_kb_) / 1024) + " MB");
    if (!program_->Running()) return Fail("the program ended (crash?)");
    std::printf("desktop_soak: passed\n");
    return 0;
  }

 private:
  int Fail(const std::string& why) {
    std::printf("desktop_soak: FAILED after %d loads and %d commands (seed %u): %s\nlast action: %s\n", loads_,
                commands_, seed_, why.c_str(), last_action_.c_str());
    std::string err = program_ ? program_->Stderr() : std::string();
    if (err.size() > 4000) err = err.substr(err.size() - 4000);
    if (program_ && std::getenv("VL_SOAK_STACKS"))  // where the program is, for a hang
      std::system(("ps -o pid,stat,time,wchan:30 -p " + std::to_string(program_->pid()) + "; sleep 2; ps -o time= -p " +
                   std::to_string(program_->pid()) + "; gdb -p " + std::to_string(program_->pid()) +
                   " -batch -ex 'thread apply all bt 15' 2>&1 | grep -E '^#|^Thread|ptrace' | head -60")
                      .c_str());
    std::printf("program stderr (end):\n%s\n", err.c_str());
    return 1;
  }

  int Pick(int n) { return static_cast<int>(rng_() % static_cast<uint32_t>(n)); }

  void MakeLoops() {
    for (const auto& e : fs::directory_iterator(fs::path(VL_BIN_DIR) / "Sequences"))
      if (e.path().extension() == ".lqf") bundled_.push_back(e.path());
    std::sort(bundled_.begin(), bundled_.end());
    // Generated: a background that changes colour, with a few layers switched on.
    const char* layers[] = {"trail_on = 2\n", "fx_text = 2\nscene_echo_on = 2\ntext_on = 2\ntext_string = \"soak\"\n",
                            "sprites_on = 2\n", "particles_on = 2\n",
                            "photo_on = 2\nphoto_a_name = \"Images/not-here.jpg\"\n", "vortex_on = 2\n"};
    for (int i = 0; i < 6; ++i) {
      std::string settings = layers[i];
      settings += layers[Pick(6)];
      std::ostringstream src;
      src << "version 6\n\n[settings]\n" << (settings.find("text_on") == std::string::npos ? "text_on = 0\n" : "")
          << settings << "\n[initial]\nbackground_r = " << Pick(120) << "\nbackground_g = " << Pick(120)
          << "\nbackground_b = " << Pick(120) << "\n\n[key]\nframe = 0\n\n[key]\nframe = 60\nbackground_r = "
          << 100 + Pick(150) << "\n\n[key]\nframe = 120\n";
      const fs::path lqf = CompileLoop(home_, "generated" + std::to_string(i), src.str());
      if (fs::exists(lqf)) generated_.push_back(lqf);
    }
    // Damaged: bundled loops cut short, with bytes flipped, and plain garbage.
    for (int i = 0; i < 6 && !bundled_.empty(); ++i) {
      std::string bytes = ReadAll(bundled_[static_cast<size_t>(Pick(static_cast<int>(bundled_.size())))]);
      if (i % 3 == 0) bytes.resize(static_cast<size_t>(Pick(static_cast<int>(bytes.size()) / 2) + 4));
      if (i % 3 == 1)
        for (int k = 0; k < 40; ++k) bytes[static_cast<size_t>(Pick(static_cast<int>(bytes.size())))] ^= 0xFF;
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

  // The main window and the control panel, by size.
  bool FindWindows() {
    for (int waited = 0; waited < 10000; waited += 200) {
      std::vector<Window_> all = TopLevels(*x_);
      std::vector<Window_> named;
      for (const Window_& w : all)
        if (w.title == "Vantaloop") named.push_back(w);
      if (named.size() >= 2) {
        // The panel opens below the main window (or at the screen's foot).
        std::sort(named.begin(), named.end(), [](const Window_& a, const Window_& b) { return a.rect.y() < b.rect.y(); });
        main_ = named[0];
        panel_ = named[1];
        return true;
      }
      SleepMs(200);
    }
    return false;
  }

  void Xdo(const std::string& args) { x_->Run("xdotool " + args); }
  void Focus(const Window_& w) { Xdo("windowfocus --sync " + std::to_string(w.id)); }
  void ClickAt(QPoint p) { Xdo("mousemove " + std::to_string(p.x()) + " " + std::to_string(p.y()) + " click 1"); }
  // A point of the control panel, from its top-left corner (the playback group keeps its size).
  void ClickPanel(int x, int y) {
    panel_.rect = Current(panel_);
    ClickAt(panel_.rect.topLeft() + QPoint(x, y));
  }
  QRect Current(const Window_& w) {
    XWindowAttributes a;
    if (XGetWindowAttributes(x_->dpy(), w.id, &a)) return QRect(a.x, a.y, a.width, a.height);
    return w.rect;
  }

  // Windows beyond the main window, the panel and the splash: boxes and dialogs left open.
  std::vector<Window_> Extras() {
    std::vector<Window_> extra;
    for (const Window_& w : TopLevels(*x_)) {
      if (w.id == main_.id || w.id == panel_.id) continue;
      if (w.rect.size() == QSize(343, 122)) continue;  // the loading splash
      extra.push_back(w);
    }
    return extra;
  }

  // Closes what is left open: Return for boxes (OK), Escape for the rest.
  int DismissExtras() {
    int closed = 0;
    for (int round = 0; round < 6; ++round) {
      auto extra = Extras();
      if (extra.empty()) break;
      for (const Window_& w : extra) {
        Focus(w);
        Xdo(round % 2 == 0 ? "key Escape" : "key Return");
        ++closed;
      }
      SleepMs(400);
    }
    return closed;
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
      if (lines.size() > from) {
        for (size_t i = from; i < lines.size(); ++i)
          if (lines[i].rfind("Could not load the loop", 0) == 0) return false;
      }
      // A model loader box ("Error", "Warning") is answered.
      for (const Window_& w : Extras())
        if (w.title == "Error" || w.title == "Warning") {
          Focus(w);
          Xdo("key Return");
        }
      SleepMs(100);
    }
    return false;
  }

  QRect ViewArea() {
    main_.rect = Current(main_);
    // Below the menu bar, above the status bar: the middle of the window is the view.
    return QRect(main_.rect.x(), main_.rect.y() + 30, main_.rect.width(), std::max(1, main_.rect.height() - 60));
  }

  // The picture or the panel's frame number changes within five seconds (the loop plays and the
  // program answers; a loop may hide its moving background behind still planes).
  bool Moves() {
    auto look = [&] { return std::make_pair(x_->Grab(ViewArea()), x_->Grab(Current(panel_))); };
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
      Focus(main_);
      if (attempt > 0) Xdo("key Escape");  // out of full screen, where the menus are hidden
      if (attempt % 2 == 0) {
        Xdo("key ctrl+o");
      } else {  // File > Open Sequence with the mouse
        main_.rect = Current(main_);
        ClickAt(main_.rect.topLeft() + QPoint(15, 10));
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
    if (!dialog) {
      std::string open;
      for (const Window_& w : TopLevels(*x_))
        open += " '" + w.title + "' " + std::to_string(w.rect.x()) + "," + std::to_string(w.rect.y()) + " " +
                std::to_string(w.rect.width()) + "x" + std::to_string(w.rect.height());
      return Hung("the Open dialog did not appear; windows:" + open);
    }
    for (const auto& w : x_->WindowsTitled("Open a Moxtrel Keyframe File")) Focus(Window_{w.first, w.second, ""});
    Xdo("type --delay 1 '" + path.string() + "'");
    const size_t before = program_->StatusLines().size();
    Xdo("key Return");
    ++loads_;
    std::string line;
    const bool loaded = WaitForLoad(20000, before, &line);
    if (loaded) {
      ++good_loads_;
      generated_loads_ += &from == &generated_;
      has_loop_ = true;
      stopped_ = line.rfind("Stopped: ", 0) == 0;
      if (!damaged) return true;
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

  // Whether the picture must be moving: a loop plays, and loops round (else it may have ended).
  bool Playing() const { return has_loop_ && !stopped_ && loop_on_; }

  bool Hung(const std::string& why) {
    Fail(why);
    return false;
  }

  bool Step() {
    ++commands_;
    const int what = Pick(100);
    if (std::getenv("VL_SOAK_TRACE")) std::printf("  [%d] %s\n", commands_, last_action_.c_str());
    if (what < 35) return Load();
    if (what < 45) {
      last_action_ = "play";
      ClickPanel(79, 84);  // "Play >"
      stopped_ = false;
    } else if (what < 52) {
      last_action_ = "stop";
      ClickPanel(197, 84);  // "Stop"
      stopped_ = true;
    } else if (what < 62) {
      last_action_ = "scrub";
      ClickPanel(30 + Pick(360), 144);  // the frame slider
    } else if (what < 67) {
      last_action_ = "loop switch";
      ClickPanel(144, 185);  // "Loop Sequence"
      loop_on_ = !loop_on_;
    } else if (what < 70) {
      last_action_ = "new project";
      Focus(main_);
      Xdo("key ctrl+n");
      SleepMs(500);
      for (const Window_& w : Extras()) {
        Focus(w);
        Xdo("key alt+y");
      }
      has_loop_ = false;
    } else if (what < 76) {
      last_action_ = "settings apply";
      ClickPanel(328, 230);  // "Video Export Settings"
      SleepMs(700);
      for (const Window_& w : Extras()) {
        Focus(w);
        Xdo("key Return");
      }
    } else if (what < 81) {
      last_action_ = "big loop window";
      ClickPanel(328, 185);  // "Open Big Window"
      SleepMs(1000);
      for (const Window_& w : Extras()) {
        Focus(w);
        Xdo("key Escape");
      }
      Focus(main_);
      Xdo("key alt+v key Down key Return");  // View > Open Controls
    } else if (what < 85) {
      last_action_ = "status bar";
      Focus(main_);
      Xdo("key alt+v key s");
    } else if (what < 90) {
      last_action_ = "full screen";
      Focus(main_);
      Xdo("key F11");
      SleepMs(800);
      Focus(main_);  // the window was moved and resized; give it the keyboard again
      Xdo("key Escape");
      SleepMs(500);
    } else if (what < 93) {
      last_action_ = "export started and cancelled";
      ClickPanel(138, 230);  // "Export Video"
      SleepMs(800);
      auto dialog = x_->WindowsTitled("Export Video");
      if (!dialog.empty()) {
        Focus(Window_{dialog.front().first, dialog.front().second, ""});
        Xdo("type --delay 1 '" + (home_ / "export.mp4").string() + "'");
        Xdo("key Return");
        SleepMs(1200);
        ++exports_;
        for (int i = 0; i < 3; ++i) {
          for (const Window_& w : Extras()) {
            Focus(w);
            Xdo("key Escape");
          }
          SleepMs(300);
        }
      }
    } else {
      last_action_ = "watch";
      SleepMs(1000);
    }
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
  std::unique_ptr<XServer> x_;
  fs::path home_;
  std::unique_ptr<Program> program_;
  std::vector<fs::path> bundled_, generated_, damaged_;
  Window_ main_{}, panel_{};
  int loads_ = 0, good_loads_ = 0, damaged_loads_ = 0, generated_loads_ = 0, commands_ = 0, exports_ = 0;
  int unanswered_ = 0;
  int slow_ = 0;  // checks where the picture took more than five seconds to move  // Open dialogs that did not appear while the program went on painting
  int64_t baseline_kb_ = -1;
  bool has_loop_ = true, stopped_ = false, loop_on_ = true;
  std::string last_action_ = "start-up";
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
  std::printf("desktop_soak: %d s, seed %u\n", seconds, seed);
  std::fflush(stdout);
  return vl::xtest::Soak(std::max(5, seconds), seed).Run();
}
