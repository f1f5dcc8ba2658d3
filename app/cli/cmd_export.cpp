// vantaloop-cli export LOOP.lqf OUT --preset N [--format F] [--audio FILE] [--loops K] [--no-preroll] [--fast]: writes a
// loop as the preset's own video format, or as H.264, FFV1, a PNG sequence, WebP or GIF. A
// progress bar on a terminal, plain progress lines otherwise. Exit 0 only when the whole file was
// written; a failure, a cancel (Ctrl+C) or a refusal leaves no partial file.
// With --out-dir (LOOP... or --all, --preset N,M...) it does a batch of such exports: see
// export_batch_cli.h.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <filesystem>
#include <string>
#include <vector>

#include "app/cli/command.h"
#include "app/cli/export_batch_cli.h"
#include "engine/output_file.h"
#include "platform/export/export_batch.h"
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
        text = "[" + std::string(static_cast<size_t>(filled), '#') +
               std::string(static_cast<size_t>(kWidth - filled), '.') + "] " + text;
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
  // The command line as given: LOOP OUT, or the loops of a batch; the batch's own options.
  std::vector<std::string> args;
  std::string preset_list;
  std::vector<int> presets;
  bool all = false, list = false;
  std::string out_dir, pattern, shard;
};

// One export; a failure's reason also goes to *why (a batch sums them up).
int Run(const Options& o, std::string* why = nullptr) {
  auto Fail = [why](const char* name, const std::string& message) {
    if (why) *why = message;
    return vl::cli::Fail(name, message);
  };
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
    if (!format)
      return vl::cli::UsageError(kName,
                                 "--format wants mp4, avi, mpg, 3gp, mkv, png, webp, gif or dvd, not " + o.format);
    request.format = *format;
  }
  // What the command line asks for is checked before anything is drawn.
  std::string error;
  const auto resolved = ex::ResolveFormat(request.preset, request.format, &error);
  if (!resolved) return vl::cli::UsageError(kName, error);
  if (!ex::CheckOutputName(request.out_path, request.preset, *resolved, &error))
    return vl::cli::UsageError(kName, error);
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
  if (!result.ok) return Fail(kName, result.cancelled ? "interrupted; nothing was written" : result.error);
  const ex::PresetFormat& p = *ex::PresetFormatOf(request.preset);
  std::printf("%s: %d frames (%d a cycle) of %d x %d, %s, %s%s\n", vl::EscapeControl(o.out).c_str(),
              result.frames_written, result.loop_frames, result.width, result.height,
              p.ntsc_rate ? (std::to_string(p.fps) + "000/1001 fps").c_str() : (std::to_string(p.fps) + " fps").c_str(),
              result.encoder.c_str(),
              result.audio_encoder.empty() ? "" : (" with " + result.audio_encoder + " sound").c_str());
  return 0;
}

// "3" or "2,3,15".
bool ParsePresets(const std::string& text, std::vector<int>* presets) {
  presets->clear();
  size_t start = 0;
  while (start <= text.size()) {
    const size_t comma = std::min(text.find(',', start), text.size());
    const std::string item = text.substr(start, comma - start);
    // A sign is let through: "preset -1 does not exist" says more than a parse error.
    const size_t digits = item.rfind('-', 0) == 0 ? 1 : 0;
    if (item.size() <= digits || item.size() > 9 || item.find_first_not_of("0123456789", digits) != std::string::npos)
      return false;
    presets->push_back(std::stoi(item));
    start = comma + 1;
  }
  return true;
}

// The options a command line gives export.
void AddOptions(CLI::App& app, Options& o) {
  app.add_option("LOOP", o.args,
                 "The loop file, then OUT: the file to write; its extension must match the format (a "
                 "PNG sequence is a folder of frame_00000.png ...). With --out-dir: any number of "
                 "loops, no OUT")
      ->type_name("LOOP.lqf");
  app.add_option("--preset", o.preset_list,
                 "Export preset 0-16: 0/1 DV AVI PAL/NTSC (.avi), 2/3 VCD, 4/5 SVCD, 6-13 MPEG-2 "
                 "(.mpg), 14 3GP H.263 (.3gp), 15/16 HD H.264 (.mp4); with --out-dir a list N,M,...")
      ->required()
      ->type_name("N");
  app.add_option("--format", o.format,
                 "mp4|avi|mpg|3gp|mkv|png|webp|gif|dvd; default the preset's own format (dvd: presets "
                 "0/1 as a DVD-Video program stream, .mpg)")
      ->type_name("F");
  app.add_option("--audio", o.audio,
                 "Sound from FILE (any FFmpeg reads), looped or cut to the video's length; without it "
                 "DV and the disc formats carry silence")
      ->type_name("FILE");
  app.add_option("--loops", o.loops, "Cycles of the loop to record, default 1")->type_name("K");
  app.add_flag("--no-preroll", o.no_preroll, "Record from a fresh start instead of playing the loop through first");
  app.add_flag("--fast", o.fast, "Sum the echoes partly at reduced resolution (faster, within a few levels of exact)");
  // A batch: every loop at every preset, named by a pattern, in one folder.
  app.add_option("--out-dir", o.out_dir,
                 "Export every LOOP (and with --all the library's loops) at every --preset into DIR; "
                 "files there already are skipped, so a stopped batch resumes")
      ->type_name("DIR");
  app.add_flag("--all", o.all, "Every loop of the library (bundled, then your own)");
  app.add_option("--name", o.pattern,
                 "Output names, from {loop} {preset} {ext}; default {loop}_{preset}.{ext} (a PNG "
                 "sequence's folder has no extension)")
      ->type_name("PATTERN");
  app.add_flag("--list", o.list,
               "Print the jobs not yet done, one single-export command a line, for GNU parallel and "
               "the like");
  app.add_option("--shard", o.shard,
                 "Only the K-th of N shards of about equal work (K from 0, as Slurm's "
                 "SLURM_ARRAY_TASK_ID)")
      ->type_name("K/N");
}

// One loop, one file, one preset: the command line it has always been.
int RunOne(Options& o) {
  if (o.args.empty()) return vl::cli::UsageError(kName, "LOOP is required");
  if (o.args.size() == 1) return vl::cli::UsageError(kName, "OUT is required");
  if (o.args.size() > 2)
    return vl::cli::UsageError(
        kName, "one LOOP and its OUT, or several loops with --out-dir DIR; " + o.args[2] + " was not expected");
  if (o.presets.size() != 1) return vl::cli::UsageError(kName, "several presets need --out-dir DIR");
  o.loop = o.args[0];
  o.out = o.args[1];
  o.preset = o.presets[0];
  return Run(o);
}

// Every other option given, as each job of a batch is to get it.
std::vector<std::string> JobArgs(const CLI::App& app) {
  std::vector<std::string> args;
  for (const CLI::Option* opt : app.get_options()) {
    const std::string name = opt->get_name();
    if (opt->get_positional() || opt->count() == 0 || name == "--help" || name == "--preset" || name == "--out-dir" ||
        name == "--all" || name == "--name" || name == "--list" || name == "--shard")
      continue;
    if (opt->get_expected_max() == 0) {  // a flag
      args.push_back(name);
    } else {
      for (const std::string& value : opt->results()) {
        args.push_back(name);
        // The jobs may run in another folder or on another machine.
        args.push_back(name == "--audio" ? std::filesystem::absolute(value).string() : value);
      }
    }
  }
  return args;
}

// Every loop at every preset, named by a pattern, in one folder.
int RunBatch(const std::shared_ptr<Options>& o, const CLI::App& app) {
  if (o->out_dir.empty()) return vl::cli::UsageError(kName, "a batch needs --out-dir DIR");
  if (o->args.empty() && !o->all) return vl::cli::UsageError(kName, "no loops given (LOOP... or --all)");
  vl::cli::ExportBatchOptions b;
  b.loops = o->args;
  b.all = o->all;
  b.presets = o->presets;
  b.format = o->format;
  b.out_dir = o->out_dir;
  b.pattern = o->pattern.empty() ? ex::kDefaultNamePattern : o->pattern;
  b.shard = o->shard;
  b.list = o->list;
  b.loops_recorded = o->loops;
  b.preroll = !o->no_preroll;
  b.job_args = JobArgs(app);
  return vl::cli::RunExportBatch(b, [o](const std::string& loop, const std::string& out, int preset, std::string* why) {
    Options one = *o;
    one.loop = loop;
    one.out = out;
    one.preset = preset;
    const int code = Run(one, why);
    if (code != 0 && why->empty()) *why = "refused (see above)";
    return code;
  });
}

}  // namespace

VL_CLI_COMMAND(export, "export",
               "Write a loop as a video file in an export preset's own format, or as H.264 MP4, lossless FFV1 "
               "Matroska, a PNG sequence, animated WebP or GIF; seamless by default.",
               [](CLI::App& app) {
                 auto o = std::make_shared<Options>();
                 AddOptions(app, *o);
                 return [o, &app] {
                   if (!ParsePresets(o->preset_list, &o->presets))
                     return vl::cli::UsageError(kName,
                                                "--preset wants a preset number 0-16, or with --out-dir a "
                                                "list N,M,..., not " +
                                                    o->preset_list);
                   const bool batch =
                       !o->out_dir.empty() || o->all || o->list || !o->shard.empty() || !o->pattern.empty();
                   return batch ? RunBatch(o, app) : RunOne(*o);
                 };
               });
