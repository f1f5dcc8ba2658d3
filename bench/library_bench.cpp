// The loop library's thumbnails with a large library: memory and the time the control panel and
// the big loop window take to open, with their first screenful of pictures.
//   build/bench/library_bench [--loops N] [--openings K]
// The library is made in a temporary folder from the bundled default loop and its thumbnail
// (hard links, so N loops cost no disk), and removed afterwards. Runs on Qt's offscreen platform
// unless a display is named.
#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include <QApplication>
#include <QPointer>

#include "engine/asset_paths.h"
#include "ui/control_panel.h"
#include "ui/loop_library.h"
#include "ui/thumbnail_cache.h"
#include "ui/thumbs_list_ctrl.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double ResidentMb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
  return 0.0;
}

double Ms(Clock::time_point since) { return std::chrono::duration<double, std::milli>(Clock::now() - since).count(); }

// What the panels ask of the view: nothing here plays.
class BenchView : public vl::ui::ViewHost {
 public:
  vl::engine::SceneState& scene() override { return scene_; }
  void ChangeScene(std::function<void(vl::engine::SceneState&)> change) override { change(scene_); }
  vl::ui::DesktopState& desktop() override { return desktop_; }
  bool LoadLoop(const std::string&) override { return true; }
  void SeekToFrame(int) override {}
  void ShowSettings() override {}
  void ExportVideo() override {}
  void ShowControlPanel() override {}
  void HideControlPanel() override {}

 private:
  vl::engine::SceneState scene_;
  vl::ui::DesktopState desktop_;
};

// Shows `window`, then runs the event loop until the pictures of its list's first screenful are
// read and painted. Gives the milliseconds to the first paint and to the pictures.
std::pair<double, double> Open(QWidget& window, vl::ui::ThumbnailCache& cache, Clock::time_point start) {
  window.show();
  QCoreApplication::processEvents();
  const double shown = Ms(start);
  cache.Drain();
  QCoreApplication::processEvents();
  cache.Drain();  // rows a repaint asked for once the first pictures came
  QCoreApplication::processEvents();
  return {shown, Ms(start)};
}

}  // namespace

int main(int argc, char** argv) {
  int loops = 20000, openings = 5;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--loops") == 0) loops = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--openings") == 0) openings = std::atoi(argv[i + 1]);
  }
  if (!std::getenv("DISPLAY") && !std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);

  const fs::path bundled = fs::path(VL_BIN_DIR) / "Sequences";
  if (!fs::exists(bundled / "default.lqf") || !fs::exists(bundled / "default.jpg")) {
    std::fprintf(stderr, "library_bench: build the loop_library target first (%s)\n", bundled.c_str());
    return 1;
  }
  const fs::path root = fs::temp_directory_path() / ("vl_library_bench_" + std::to_string(::getpid()));
  const fs::path library = root / "Sequences";
  fs::create_directories(library);
  auto start = Clock::now();
  for (int i = 0; i < loops; ++i) {
    const std::string name = "loop" + std::to_string(100000 + i);
    for (const char* ext : {".lqf", ".jpg"}) {
      std::error_code ec;
      fs::create_hard_link(bundled / (std::string("default") + ext), library / (name + ext), ec);
      if (ec) fs::copy_file(bundled / (std::string("default") + ext), library / (name + ext));
    }
  }
  std::string load;
  std::getline(std::ifstream("/proc/loadavg"), load);
  std::printf("library: %d loops and thumbnails made in %.0f ms (load average %s)\n", loops, Ms(start),
              load.substr(0, 14).c_str());
  vl::SetProgramFolder(root);
  vl::ui::ThumbnailCache& cache = vl::ui::ThumbnailCache::Shared();
  malloc_trim(0);
  std::printf("memory at start:                   %7.1f MB\n", ResidentMb());

  start = Clock::now();
  const size_t listed = vl::ui::CThumbsListCtrl::CollectFiles(library, "jpg").size();
  std::printf("listing the folder: %zu pictures in %.1f ms\n", listed, Ms(start));

  BenchView view;
  vl::ui::ScanSequenceFolder(view.desktop(), library);
  start = Clock::now();
  auto* panel = new vl::ui::CControlPanelDlg(view);
  const auto [panel_shown, panel_pictures] = Open(*panel, cache, start);
  std::printf("control panel: shown in %.1f ms, first pictures in %.1f ms (%zu read)\n", panel_shown, panel_pictures,
              cache.decoded());
  std::printf("memory with the control panel:     %7.1f MB\n", ResidentMb());

  QPointer<vl::ui::CLoopWindowDlg> window;
  for (int k = 1; k <= openings; ++k) {
    if (window) delete window;
    const size_t read_before = cache.decoded();
    start = Clock::now();
    window = new vl::ui::CLoopWindowDlg(view);
    const auto [shown, pictures] = Open(*window, cache, start);
    // Scrolled to the end and back, as a user looking through the library would.
    window->thumbs()->scrollToBottom();
    QCoreApplication::processEvents();
    cache.Drain();
    window->thumbs()->scrollToTop();
    QCoreApplication::processEvents();
    cache.Drain();
    QCoreApplication::processEvents();
    std::printf(
        "big loop window, opening %d: shown in %.1f ms, first pictures in %.1f ms (%zu read); "
        "cache %zu of %zu\n",
        k, shown, pictures, cache.decoded() - read_before, cache.size(), cache.capacity());
    std::printf("memory after opening %d:            %7.1f MB (%.1f MB after handing back free heap)\n", k,
                ResidentMb(), (malloc_trim(0), ResidentMb()));
  }
  delete window;
  delete panel;
  fs::remove_all(root);
  return 0;
}
