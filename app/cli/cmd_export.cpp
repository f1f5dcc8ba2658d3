// vantaloop-cli export LOOP.lqf OUT --preset N [--format F] [--audio FILE] [--loops K] [--no-preroll] [--fast]: writes a
// loop as the preset's own video format, or as H.264, FFV1, a PNG sequence, WebP or GIF. A
// progress bar on a terminal, plain progress lines otherwise. Exit 0 only when the whole file was
// written; a failure, a cancel (Ctrl+C) or a refusal leaves no partial file.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

#include "app/cli/command.h"
#include "engine/output_file.h"
#include "platform/export/loop_export.h"

namespace {

constexpr const char* kName = "export";

namespace ex = vl::exporting;
using Clock = std::chrono::steady_clock;

std::string MinSec(double seconds) {
  const long s = static_cast<long>(seconds);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
  return buf;
}

// Progress on stderr: one redrawn bar on a terminal, a line every second or so otherwise.
class ProgressPrinter {
 public:
  explicit ProgressPrinter(bool terminal) : terminal_(terminal) {}

  void Update(ex::ExportPhase phase, int done, int total) {
    const auto now = Clock::now();
    const bool last = done == total;
    if (!last && now - last_print_ < (terminal_ ? std::chrono::milliseconds(100) : std::chrono::seconds(1))) return;
    last_print_ = now;
    const double elapsed = std::chrono::duration<double>(now - started_).count();
    std::string text;
    if (phase == ex::ExportPhase::kPreroll) {
      text = "playing the loop through before recording: " + std::to_string(done) + " of " + std::to_string(total);
    } else if (phase == ex::ExportPhase::kFinishing) {
      text = "finishing the file";
    } else {
      if (!recording_) recording_ = true, recording_started_ = now;
      const double recording = std::chrono::duration<double>(now - recording_started_).count();
      text = "frame " + std::to_string(done) + " of " + std::to_string(total) + ", " + MinSec(elapsed) + " elapsed";
      if (done > 0 && done < total) text += ", about " + MinSec(recording * (total - done) / done) + " left";
      if (terminal_) {
        constexpr int kWidth = 30;
        const int filled = total > 0 ? static_cast<int>(static_cast<int64_t>(kWidth) * done / total) : 0;
        text = "[" + std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(kWidth - filled), '.') +
               "] " + text;
      }
    }
    if (terminal_) {
      std::fprintf(stderr, "\r\033[Kexport: %s", text.c_str());
      open_line_ = true;
    } else {
      std::fprintf(stderr, "export: %s\n", text.c_str());
    }
    std::fflush(stderr);
  }

  // Ends the bar's line before anything else is printed.
  void Close() {
    if (open_line_) std::fputc('\n', stderr);
    open_line_ = false;
  }

 private:
  bool terminal_;
  bool open_line_ = false;
  bool recording_ = false;
  Clock::time_point started_ = Clock::now(), recording_started_, last_print_{};
};

struct Options {
  std::string loop, out, format;
  int preset = -1;
  int loops = 1;
  bool no_preroll = false;
  bool fast = false;
  std::string audio;  // --audio FILE
};

int Run(const Options& o) {
  ex::ExportRequest request;
  request.loop_path = o.loop;
  request.out_path = o.out;
  request.preset = o.preset;
  request.loops = o.loops;
  request.preroll = !o.no_preroll;
  request.fast = o.fast;
  request.audio_path = o.audio;
  if (!o.format.empty()) {
    const auto format = ex::ParseExportFormat(o.format);
    if (!format) return vl::cli::UsageError(kName, "--format wants mp4, avi, mpg, 3gp, mkv, png, webp, gif or dvd, not " + o.format);
    request.format = *format;
  }
  // What the command line asks for is checked before anything is drawn.
  std::string error;
  const auto resolved = ex::ResolveFormat(request.preset, request.format, &error);
  if (!resolved) return vl::cli::UsageError(kName, error);
  if (!ex::CheckOutputName(request.out_path, request.preset, *resolved, &error)) return vl::cli::UsageError(kName, error);
  if (vl::Status same = vl::RefuseSameFile(request.loop_path, request.out_path))
    return vl::cli::UsageError(kName, same->ToString());

  // Ctrl+C cancels cleanly (no partial file).
  const std::atomic<bool>& interrupted = vl::cli::CatchInterrupts();

  ProgressPrinter progress(::isatty(STDERR_FILENO) == 1);
  ex::ExportObserver observer;
  observer.cancel = &interrupted;
  observer.progress = [&](ex::ExportPhase phase, int done, int total) { progress.Update(phase, done, total); };
  observer.warning = [&](const std::string& line) {
    progress.Close();
    std::fprintf(stderr, "export: %s\n", vl::EscapeControl(line).c_str());
  };
  const ex::ExportResult result = ex::ExportLoop(request, observer);
  progress.Close();
  if (!result.ok) return vl::cli::Fail(kName, result.cancelled ? "interrupted; nothing was written" : result.error);
  const ex::PresetFormat& p = *ex::PresetFormatOf(request.preset);
  std::printf("%s: %d frames (%d a cycle) of %d x %d, %s, %s%s\n", o.out.c_str(), result.frames_written,
              result.loop_frames, result.width, result.height, p.ntsc_rate ? (std::to_string(p.fps) + "000/1001 fps").c_str()
                                                                 : (std::to_string(p.fps) + " fps").c_str(),
              result.encoder.c_str(), result.audio_encoder.empty() ? "" : (" with " + result.audio_encoder + " sound").c_str());
  return 0;
}

}  // namespace

VL_CLI_COMMAND(export, "export",
               "Write a loop as a video file in an export preset's own format, or as H.264 MP4, lossless FFV1 "
               "Matroska, a PNG sequence, animated WebP or GIF; seamless by default.",
               [](CLI::App& app) {
                 auto o = std::make_shared<Options>();
                 app.add_option("LOOP", o->loop, "The loop file")->required()->type_name("LOOP.lqf");
                 app.add_option("OUT", o->out,
                                "The file to write; its extension must match the format (a PNG sequence is a "
                                "folder of frame_00000.png ...)")
                     ->required();
                 app.add_option("--preset", o->preset,
                                "Export preset 0-16: 0/1 DV AVI PAL/NTSC (.avi), 2/3 VCD, 4/5 SVCD, 6-13 MPEG-2 "
                                "(.mpg), 14 3GP H.263 (.3gp), 15/16 HD H.264 (.mp4)")
                     ->required()
                     ->type_name("N");
                 app.add_option("--format", o->format,
                                "mp4|avi|mpg|3gp|mkv|png|webp|gif|dvd; default the preset's own format (dvd: presets "
                                "0/1 as a DVD-Video program stream, .mpg)")
                     ->type_name("F");
                 app.add_option("--audio", o->audio,
                                "Sound from FILE (any FFmpeg reads), looped or cut to the video's length; without it "
                                "DV and the disc formats carry silence")
                     ->type_name("FILE");
                 app.add_option("--loops", o->loops, "Cycles of the loop to record, default 1")->type_name("K");
                 app.add_flag("--no-preroll", o->no_preroll,
                              "Record from a fresh start instead of playing the loop through first");
                 app.add_flag("--fast", o->fast,
                              "Sum the echoes partly at reduced resolution (faster, within a few levels of exact)");
                 return [o] { return Run(*o); };
               });
