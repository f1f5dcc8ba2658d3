// The desktop program as a user meets it: a private Xvfb, the real build/bin/vantaloop started on
// it with a settings folder of its own, keys and clicks through xdotool, and the screen read back
// as pixels through Xlib.
#pragma once
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <climits>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <QColor>
#include <QImage>
#include <QRect>

// Xlib after Qt, and its macros that collide with Qt's names undone.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#undef Status
#undef None
#undef Bool
#undef CursorShape
#undef Unsorted
#undef KeyPress
#undef KeyRelease
#undef FocusIn
#undef FocusOut
#undef Always
#undef Success

namespace vl::xtest {

namespace fs = std::filesystem;

inline bool InCi() {
  const char* ci = std::getenv("CI");
  return ci && std::strcmp(ci, "true") == 0;
}

inline void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

inline fs::path Scratch(const std::string& name) {
  auto dir = fs::temp_directory_path() / ("vl_x_" + name + "_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

inline std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline bool HaveCommand(const char* name) {
  return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

// Starts argv with `env` added to the environment, stdout and stderr into the given files.
inline pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, const fs::path& out,
                   const fs::path& err, int keep_fd = -1) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  ::setpgid(0, 0);
  for (const std::string& e : env) ::putenv(const_cast<char*>(e.c_str()));
  const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (o >= 0) ::dup2(o, 1);
  if (e >= 0) ::dup2(e, 2);
  for (int fd = 3; fd < 256; ++fd)
    if (fd != keep_fd) ::close(fd);
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  ::execvp(args[0], args.data());
  ::_exit(127);
}

// Ends a child we started: TERM, then KILL after `grace_ms`. Gives its exit status (-1 if killed).
inline int EndChild(pid_t pid, int grace_ms = 3000) {
  if (pid <= 0) return -1;
  ::kill(pid, SIGTERM);
  int status = 0;
  for (int waited = 0; waited < grace_ms; waited += 20) {
    if (::waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    SleepMs(20);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return -1;
}

// A private X server, so screen sizes and screen layouts are the test's own whatever DISPLAY the
// test runner has. Black root window; no window manager unless StartWindowManager is called.
class XServer {
 public:
  // `screen` as Xvfb takes it, e.g. "1280x1024x24"; `second`, when given, a second X screen.
  static std::unique_ptr<XServer> Start(const std::string& screen, std::string* error, const std::string& second = {}) {
    if (!HaveCommand("Xvfb")) {
      *error = "Xvfb is not installed";
      return nullptr;
    }
    int fds[2];
    if (::pipe(fds) != 0) {
      *error = "pipe failed";
      return nullptr;
    }
    auto server = std::unique_ptr<XServer>(new XServer);
    const fs::path log = fs::temp_directory_path() / ("vl_xvfb_" + std::to_string(::getpid()) + ".log");
    std::vector<std::string> argv = {"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", screen};
    if (!second.empty()) argv.insert(argv.end(), {"-screen", "1", second});
    argv.insert(argv.end(), {"-br", "-nolisten", "tcp", "+extension", "RANDR"});
    server->pid_ = Spawn(argv, {}, "/dev/null", log, fds[1]);
    ::close(fds[1]);
    std::string number;
    char c = 0;
    while (::read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    ::close(fds[0]);
    if (number.empty()) {
      *error = "Xvfb did not start: " + ReadAll(log);
      return nullptr;
    }
    server->display_ = ":" + number;
    server->dpy_ = XOpenDisplay(server->display_.c_str());
    // Windows come and go while we look at them: a request about one that just went is no error.
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    if (!server->dpy_) {
      *error = "cannot open " + server->display_;
      return nullptr;
    }
    return server;
  }
  ~XServer() {
    EndChild(wm_pid_);
    if (dpy_) XCloseDisplay(dpy_);
    EndChild(pid_);
  }

  // Starts openbox on this server, as a user's desktop has a window manager that places, frames
  // and focuses windows. False (with why) when it is not installed or did not come up.
  bool StartWindowManager(std::string* error) {
    if (!HaveCommand("openbox")) {
      *error = "openbox is not installed";
      return false;
    }
    const fs::path home = Scratch("wm_home" + display_.substr(1));
    wm_pid_ = Spawn({"openbox", "--sm-disable"},
                    {"DISPLAY=" + display_, "HOME=" + home.string(), "XDG_CONFIG_HOME=" + (home / ".config").string()},
                    "/dev/null", home / "openbox.log");
    // Up once it announces itself on the root window.
    const Atom check = XInternAtom(dpy_, "_NET_SUPPORTING_WM_CHECK", False);
    for (int waited = 0; waited < 10000; waited += 50) {
      Atom type = 0;
      int format = 0;
      unsigned long count = 0, after = 0;
      unsigned char* data = nullptr;
      if (XGetWindowProperty(dpy_, DefaultRootWindow(dpy_), check, 0, 1, False, AnyPropertyType, &type, &format, &count,
                             &after, &data) == 0 &&
          data) {
        XFree(data);
        if (count > 0) {
          SleepMs(300);  // its own setup done
          return true;
        }
      }
      SleepMs(50);
    }
    *error = "openbox did not start: " + ReadAll(home / "openbox.log");
    return false;
  }
  bool has_window_manager() const { return wm_pid_ > 0; }

  const std::string& display() const { return display_; }
  Display* dpy() const { return dpy_; }

  // Runs a command (xdotool, xrandr) on this display; its stdout.
  std::string Run(const std::string& command) const {
    const std::string line = "DISPLAY=" + display_ + " " + command + " 2>/dev/null";
    std::string out;
    if (FILE* p = ::popen(line.c_str(), "r")) {
      char buf[512];
      size_t n;
      while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
      ::pclose(p);
    }
    return out;
  }

  // The screen (or a part of it) as it is now; `x_screen` 1 for a second X screen.
  QImage Grab(QRect area = {}, int x_screen = 0) const {
    XSync(dpy_, False);
    const Window root = x_screen == 0 ? DefaultRootWindow(dpy_) : RootWindow(dpy_, x_screen);
    XWindowAttributes attrs;
    XGetWindowAttributes(dpy_, root, &attrs);
    if (area.isNull()) area = QRect(0, 0, attrs.width, attrs.height);
    area = area.intersected(QRect(0, 0, attrs.width, attrs.height));
    if (area.isEmpty()) return {};
    XImage* x = XGetImage(dpy_, root, area.x(), area.y(), static_cast<unsigned>(area.width()),
                          static_cast<unsigned>(area.height()), AllPlanes, ZPixmap);
    if (!x) return {};
    QImage image(area.width(), area.height(), QImage::Format_RGB32);
    for (int y = 0; y < area.height(); ++y)
      for (int xx = 0; xx < area.width(); ++xx) image.setPixel(xx, y, 0xFF000000u | (XGetPixel(x, xx, y) & 0xFFFFFF));
    XDestroyImage(x);
    return image;
  }

  // Top-level windows whose title is `title` (or names a loop before it: "x.lqf - `title`"),
  // viewable, with their rectangles on the screen (the client area, without a window manager's
  // frame). Under a window manager the program's windows are children of its frames.
  std::vector<std::pair<Window, QRect>> WindowsTitled(const std::string& title) const {
    std::vector<std::pair<Window, QRect>> found;
    XSync(dpy_, False);
    const Window root = DefaultRootWindow(dpy_);
    auto titled = [&](const char* name) {
      const std::string n = name, suffix = " - " + title;
      return n == title ||
             (n.size() > suffix.size() && n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0);
    };
    std::function<void(Window, int)> visit = [&](Window w, int depth) {
      Window r = 0, parent = 0, *children = nullptr;
      unsigned n = 0;
      if (!XQueryTree(dpy_, w, &r, &parent, &children, &n)) return;
      for (unsigned i = 0; i < n; ++i) {
        XWindowAttributes a;
        if (!XGetWindowAttributes(dpy_, children[i], &a) || a.map_state != IsViewable) continue;
        // WM_NAME may be there but empty (a window without a title): that is still a name.
        XTextProperty name{};
        if (XGetWMName(dpy_, children[i], &name)) {
          const std::string text =
              name.value ? std::string(reinterpret_cast<const char*>(name.value), name.nitems) : "";
          if (titled(text.c_str())) {
            int x = 0, y = 0;
            Window child = 0;
            XTranslateCoordinates(dpy_, children[i], root, 0, 0, &x, &y, &child);
            found.push_back({children[i], QRect(x, y, a.width, a.height)});
          }
          if (name.value) XFree(name.value);
        } else if (depth < 2) {
          visit(children[i], depth + 1);  // a frame: the client is inside
        }
      }
      if (children) XFree(children);
    };
    visit(root, 0);
    return found;
  }

  // The window's rectangle with the window manager's frame (title bar and borders) around it.
  QRect FrameOf(Window w, QRect client) const {
    const Atom extents = XInternAtom(dpy_, "_NET_FRAME_EXTENTS", False);
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    QRect frame = client;
    if (XGetWindowProperty(dpy_, w, extents, 0, 4, False, AnyPropertyType, &type, &format, &count, &after, &data) ==
            0 &&
        data) {
      if (format == 32 && count == 4) {
        const long* e = reinterpret_cast<const long*>(data);  // left, right, top, bottom
        frame = client.adjusted(static_cast<int>(-e[0]), static_cast<int>(-e[2]), static_cast<int>(e[1]),
                                static_cast<int>(e[3]));
      }
      XFree(data);
    }
    return frame;
  }

  // The window that has the keyboard.
  Window Focused() const {
    Window w = 0;
    int revert = 0;
    XGetInputFocus(dpy_, &w, &revert);
    return w;
  }

  // The window's WM_WINDOW_ROLE, or "" when it has none.
  std::string Role(Window w) const {
    const Atom role = XInternAtom(dpy_, "WM_WINDOW_ROLE", False);
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::string value;
    // (X's Success is 0; the macro is not usable beside Qt's headers.)
    if (XGetWindowProperty(dpy_, w, role, 0, 256, False, AnyPropertyType, &type, &format, &count, &after, &data) == 0 &&
        data) {
      if (format == 8) value.assign(reinterpret_cast<const char*>(data), count);
      XFree(data);
    }
    return value;
  }

  // Gives the keyboard to the window titled `title` that holds `point` (no window manager does).
  void FocusWindowAt(const std::string& title, QPoint point) const {
    for (const auto& w : WindowsTitled(title))
      if (w.second.contains(point)) Run("xdotool windowfocus --sync " + std::to_string(w.first));
  }

  std::optional<QRect> WaitForWindow(const std::string& title, int ms) const {
    for (int waited = 0; waited <= ms; waited += 50) {
      auto w = WindowsTitled(title);
      if (!w.empty()) return w.front().second;
      SleepMs(50);
    }
    return std::nullopt;
  }

 private:
  XServer() = default;
  pid_t pid_ = 0;
  pid_t wm_pid_ = 0;
  std::string display_;
  Display* dpy_ = nullptr;
};

// The real program on a private server, with a settings file and a home of its own.
class Program {
 public:
  Program(XServer& x, const fs::path& home, std::vector<std::string> args, std::vector<std::string> env = {})
      : x_(x), home_(home) {
    fs::create_directories(home / ".config");
    std::vector<std::string> argv = {(fs::path(VL_BIN_DIR) / "vantaloop").string(), "--status-to-stdout"};
    argv.insert(argv.end(), args.begin(), args.end());
    env.push_back("DISPLAY=" + x.display());
    env.push_back("HOME=" + home.string());
    env.push_back("XDG_CONFIG_HOME=" + (home / ".config").string());
    // The user library is the scratch home's unless the test names one; the tester's own never.
    if (std::none_of(env.begin(), env.end(), [](const std::string& e) { return e.rfind("XDG_DATA_HOME=", 0) == 0; }))
      env.push_back("XDG_DATA_HOME=" + (home / ".local" / "share").string());
    env.push_back("QT_QPA_PLATFORM=xcb");
    pid_ = Spawn(argv, env, home / "stdout.txt", home / "stderr.txt");
  }
  ~Program() { End(); }

  int End() {
    const int status = EndChild(pid_);
    pid_ = 0;
    return status;
  }
  bool Running() const { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }
  pid_t pid() const { return pid_; }

  std::string Stdout() const { return ReadAll(home_ / "stdout.txt"); }
  std::string Stderr() const { return ReadAll(home_ / "stderr.txt"); }
  // Status-bar messages so far, one per line.
  std::vector<std::string> StatusLines() const {
    std::vector<std::string> lines;
    std::istringstream in(Stdout());
    std::string line;
    while (std::getline(in, line))
      if (line.rfind("status: ", 0) == 0) lines.push_back(line.substr(8));
    return lines;
  }
  std::string LastStatus() const {
    auto lines = StatusLines();
    return lines.empty() ? std::string() : lines.back();
  }
  bool WaitForStatus(const std::function<bool(const std::string&)>& match, int ms) const {
    for (int waited = 0; waited <= ms; waited += 50) {
      for (const std::string& s : StatusLines())
        if (match(s)) return true;
      SleepMs(50);
    }
    return false;
  }

  // The main window's rectangle once it is mapped. The control panel has the same title (and at
  // small presets is the larger window); the main window's role is "player".
  std::optional<QRect> MainWindow(int ms = 15000) const {
    auto w = WindowWithRole("player", ms);
    if (!w) return std::nullopt;
    return w->second;
  }
  // The program's window with this role ("player", "control-panel"), once it is mapped.
  std::optional<std::pair<Window, QRect>> WindowWithRole(const std::string& role, int ms = 15000) const {
    for (int waited = 0; waited <= ms; waited += 50) {
      for (const auto& w : x_.WindowsTitled("Vantaloop"))
        if (x_.Role(w.first) == role) return w;
      SleepMs(50);
    }
    return std::nullopt;
  }

  static void WriteSettings(const fs::path& home, int preset, int resize, int random = 0, int lock = 1,
                            const std::string& extra = {}) {
    fs::create_directories(home / ".config" / "Vantaloop");
    std::ofstream(home / ".config" / "Vantaloop" / "Vantaloop.conf")
        << "[Avi%20Export%20Settings]\nValue=" << preset << "\n[Lock%20frame%20rate%20to%20AVI%20Speed]\nValue=" << lock
        << "\n[Random%20Sequence%20On%20Start%20Up]\nValue=" << random << "\n[Resize]\nValue=" << resize
        << "\n[Preset%20Loop]\nValue=0\n"
        << extra;
  }

 private:
  XServer& x_;
  fs::path home_;
  pid_t pid_ = 0;
};

// Writes a loop from its source text with the command-line tool.
inline fs::path CompileLoop(const fs::path& dir, const std::string& name, const std::string& source) {
  const fs::path txt = dir / (name + ".txt");
  fs::path lqf = dir / (name + ".lqf");
  std::ofstream(txt) << source;
  const std::string cmd = (fs::path(VL_BIN_DIR) / "vantaloop-cli").string() + " compile " + txt.string() + " " +
                          lqf.string() + " >/dev/null 2>&1";
  EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
  return lqf;
}

// A still loop of one background colour and nothing else.
inline std::string PlainLoopSource(int r, int g, int b, const std::string& settings = {},
                                   const std::string& initial = {}) {
  std::ostringstream s;
  s << "version 6\n\n[settings]\ntext_string = \"\"\ntext_on = 0\nfx_text = 0\n"
    << settings << "\n[initial]\nbackground_r = " << r << "\nbackground_g = " << g << "\nbackground_b = " << b << "\n"
    << initial << "\n[key]\nframe = 0\n\n[key]\nframe = 100\n";
  return s.str();
}

// The bounding box of the pixels within `tol` of `colour`, and how many there are.
struct ColourArea {
  QRect box;
  int64_t count = 0;
};
inline ColourArea FindColour(const QImage& img, QColor colour, int tol = 2) {
  ColourArea a;
  int x0 = INT32_MAX, y0 = INT32_MAX, x1 = -1, y1 = -1;
  for (int y = 0; y < img.height(); ++y) {
    const QRgb* row = reinterpret_cast<const QRgb*>(img.constScanLine(y));
    for (int x = 0; x < img.width(); ++x) {
      const QRgb p = row[x];
      if (std::abs(qRed(p) - colour.red()) <= tol && std::abs(qGreen(p) - colour.green()) <= tol &&
          std::abs(qBlue(p) - colour.blue()) <= tol) {
        ++a.count;
        x0 = std::min(x0, x), y0 = std::min(y0, y), x1 = std::max(x1, x), y1 = std::max(y1, y);
      }
    }
  }
  if (x1 >= 0) a.box = QRect(QPoint(x0, y0), QPoint(x1, y1));
  return a;
}

// Share of the image's pixels that are not black.
inline double PaintedShare(const QImage& img) {
  if (img.isNull()) return 0.0;
  int64_t n = 0;
  for (int y = 0; y < img.height(); ++y)
    for (int x = 0; x < img.width(); ++x) n += (img.pixel(x, y) & 0xFFFFFF) != 0;
  return static_cast<double>(n) / (static_cast<double>(img.width()) * img.height());
}

}  // namespace vl::xtest

// The same, with a window manager running on it.
#define VL_X_SERVER_WITH_WM(var, screen) \
  VL_X_SERVER(var, screen) \
  if (!(var)->StartWindowManager(&var##_error)) { \
    if (vl::xtest::InCi()) FAIL() << var##_error; \
    GTEST_SKIP() << var##_error; \
  }

#define VL_X_SERVER(var, screen) \
  std::string var##_error; \
  auto var = vl::xtest::XServer::Start((screen), &var##_error); /* NOLINT(bugprone-macro-parentheses): a name */ \
  if (!(var)) { \
    if (vl::xtest::InCi()) FAIL() << var##_error; \
    GTEST_SKIP() << var##_error; \
  }
