// vantaloop [LOOP.lqf] [--library DIR] [--status-to-stdout] [--version] [--help]: the desktop
// player. Plays the named loop first, or a random loop of the library when that setting is on.
// --status-to-stdout also writes every status-bar message to standard output ("status: TEXT"), for
// scripts.
#include <malloc.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include <QApplication>
#include <QStatusBar>
#include <QTimer>

#include "app/desktop/main_frame.h"
#include "engine/asset_paths.h"
#include "ui/export_presets.h"
#include "ui/profile_file.h"
#include "vl_version.h"

namespace {

constexpr const char* kUsage = "usage: vantaloop [LOOP.lqf] [--library DIR] [--status-to-stdout]\n";

// Answered before Qt starts, so they need no display (the package's manual page is made from them).
bool AnswerWithoutDisplay(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--library") ++i;
    if (arg == "--version") {
      std::printf("vantaloop %s\n", VL_VERSION);
      return true;
    }
    if (arg == "--help" || arg == "-h") {
      std::printf(
          "%s\nPlays keyframed, procedurally rendered video loops (.lqf files) in a window or full screen.\n\n"
          "Positionals:\n"
          "  LOOP.lqf            the loop to play first\n"
          "Options:\n"
          "  --library DIR       take the loops and their pictures, models and textures from DIR\n"
          "                      instead of the program's own folder ($VANTALOOP_HOME also sets it)\n"
          "  --status-to-stdout  also write every status-bar message to standard output\n"
          "                      (\"status: TEXT\"), for scripts\n"
          "  --version           show the program version and exit\n"
          "  --help              show this help and exit\n",
          kUsage);
      return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (AnswerWithoutDisplay(argc, argv)) return std::fflush(stdout) == 0 ? 0 : 1;
  QApplication app(argc, argv);
  QApplication::setOrganizationName(vl::ui::kSettingsOrganisation);
  QApplication::setApplicationName(vl::ui::kSettingsApplication);
  QApplication::setApplicationVersion(VL_VERSION);

  std::string loop;
  bool status_to_stdout = false;
  // Names are taken as the system's bytes (Qt has removed its own options from argv): a name
  // that is not UTF-8 still names its file.
  auto absolute = [](const char* name) { return std::filesystem::absolute(name).lexically_normal(); };
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.empty()) continue;
    if (arg == "--library" && i + 1 < argc) {
      vl::SetProgramFolder(absolute(argv[++i]));
    } else if (arg == "--status-to-stdout") {
      status_to_stdout = true;
    } else if (arg.rfind("--", 0) == 0) {
      std::fputs(kUsage, stderr);
      return 2;
    } else if (loop.empty()) {
      loop = absolute(argv[i]).string();
    }
  }

  vl::ui::ProfileFile profile(vl::ui::ProfileFile::DefaultPath());
  vl::desktop::ViewOptions options;
  options.settings_note = profile.note();
  options.publish_settings = [&profile] { return profile.Publish(); };
  {
    std::error_code ec;
    options.first_run = !std::filesystem::exists(std::filesystem::symlink_status(profile.path(), ec));
  }
  vl::desktop::CMainFrame frame(profile.store(), options);
  if (!loop.empty()) frame.SetCommandLineFile(loop);
  if (status_to_stdout) {
    auto echo = [](const QString& text) {
      std::printf("status: %s\n", text.toUtf8().constData());
      std::fflush(stdout);
    };
    // Menu prompts and the idle text, and every message of the view (even one the bar already
    // shows, such as the same loop loaded twice).
    QObject::connect(frame.statusBar(), &QStatusBar::messageChanged, echo);
    frame.set_status_echo(echo);
  }
  frame.show();
  // Loads, full screen and resizes free large blocks (pictures, models, the GL driver's frame
  // images) that the C library keeps in its heap, which only shrinks from the top: hand the free
  // pages back now and then, so a long show does not hold its busiest moment's memory.
  QTimer trim;
  QObject::connect(&trim, &QTimer::timeout, [] { malloc_trim(0); });
  trim.start(15000);
  return app.exec();
}
