// vantaloop-cli render LOOP.lqf --out DIR | --sheet FILE.png | --video FILE.mp4: plays a loop
// headless on virtual time and writes its frames as PNG files, one contact sheet, or a video.
// Same command, same bytes.
#include <charconv>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/cli/command.h"
#include "app/cli/printed_model_progress.h"
#include "engine/output_file.h"
#include "engine/sequence_loader.h"
#include "platform/headless/loop_run.h"
#include "platform/headless/png_file.h"
#include "platform/video/video_writer.h"

namespace {

constexpr const char* kName = "render";
constexpr int kSheetTiles = 16;
constexpr int kSheetColumns = 4;
constexpr int kTileWidth = 240;
constexpr const char* kInterrupted = "interrupted; nothing was written";

namespace fs = std::filesystem;

bool ParseInt(const std::string& text, int lo, int hi, int* out) {
  int v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || v < lo || v > hi) return false;
  *out = v;
  return true;
}

// "W" "x" "H" or "A" "-" "B".
bool ParsePair(const std::string& text, char sep, int lo, int hi, int* a, int* b) {
  size_t at = text.find(sep);
  if (at == std::string::npos) return false;
  return ParseInt(text.substr(0, at), lo, hi, a) && ParseInt(text.substr(at + 1), lo, hi, b);
}

struct Options {
  std::string loop;
  std::string out_dir;
  std::string sheet;
  std::string video;
  int width = 720, height = 576;
  int fps = 25;
  int first = -1, last = -1;  // -1: the whole loop
  int every = 1;
  bool fast = false;       // echoes partly at reduced resolution
  bool reference = false;  // every pass exactly as written, for comparisons
};

// FFmpeg's messages name the file it was given, here the temporary one.
std::string WithoutPrefix(const std::string& text, const std::string& prefix) {
  return text.rfind(prefix, 0) == 0 ? text.substr(prefix.size()) : text;
}

std::string FrameFileName(int frame) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "frame_%05d.png", frame);
  return buf;
}

// The values as typed; Run checks them.
struct Typed {
  std::string size, fps, frames, every;
};

// Checks the typed values into `o`; a usage error's exit status when one is wrong.
std::optional<int> TakeTyped(Options& o, const Typed& t) {
  if (!t.size.empty() && !ParsePair(t.size, 'x', 16, 8192, &o.width, &o.height))
    return vl::cli::UsageError(kName, "--size wants WxH, each 16 to 8192");
  if (!t.fps.empty() && !ParseInt(t.fps, 1, 1000, &o.fps)) return vl::cli::UsageError(kName, "--fps wants 1 to 1000");
  if (!t.frames.empty() &&
      (!ParsePair(t.frames, '-', 0, vl::engine::kFrameSlots - 1, &o.first, &o.last) || o.first > o.last))
    return vl::cli::UsageError(kName, "--frames wants A-B with 0 <= A <= B <= 9999");
  if (!t.every.empty() && !ParseInt(t.every, 1, vl::engine::kFrameSlots, &o.every))
    return vl::cli::UsageError(kName,
                               "--every wants a whole number from 1 to " + std::to_string(vl::engine::kFrameSlots));
  if (!o.out_dir.empty() + !o.sheet.empty() + !o.video.empty() != 1)
    return vl::cli::UsageError(kName, "give one of --out DIR, --sheet FILE.png or --video FILE.mp4");
  // A video has every frame of the range.
  if (!o.video.empty()) o.every = 1;
  return std::nullopt;
}

// Frames written: every K-th of the range; a sheet takes up to 16 of those, evenly spaced.
std::vector<int> WantedFrames(const Options& o) {
  std::vector<int> wanted;
  for (int f = o.first; f <= o.last; f += o.every) wanted.push_back(f);
  if (!o.sheet.empty() && wanted.size() > kSheetTiles) {
    std::vector<int> picked;
    picked.reserve(kSheetTiles);
    for (int i = 0; i < kSheetTiles; ++i)
      picked.push_back(wanted[static_cast<size_t>(i) * (wanted.size() - 1) / (kSheetTiles - 1)]);
    wanted = picked;
  }
  return wanted;
}

// Where the frames go: PNG files in a folder, tiles of one contact sheet, or a video. Each step
// returns an empty string or what went wrong.
class FrameOutput {
 public:
  FrameOutput(const Options& o, size_t count) : o_(o) {
    tile_w_ = std::min(kTileWidth, o.width);
    tile_h_ = std::max(1, static_cast<int>(static_cast<int64_t>(tile_w_) * o.height / o.width));
    columns_ = std::max(1, std::min<int>(kSheetColumns, static_cast<int>(count)));
    if (!o.sheet.empty()) {
      sheet_.width = columns_ * tile_w_;
      sheet_.height = (static_cast<int>(count) + columns_ - 1) / columns_ * tile_h_;
      sheet_.rgba.assign(static_cast<size_t>(sheet_.width) * sheet_.height * 4, 0);
    }
  }

  std::string Open() {
    if (!o_.out_dir.empty()) {
      std::error_code ec;
      fs::create_directories(o_.out_dir, ec);
      if (!fs::is_directory(o_.out_dir, ec)) return o_.out_dir + ": cannot create the folder";
    }
    if (o_.video.empty()) return {};
    // A video is written beside its name and moved into place when finished: Ctrl+C or a full
    // disk leaves the old file as it was.
    auto begun = vl::OutputFile::Begin(o_.video);
    if (!begun) return begun.error().ToString();
    video_file_.emplace(std::move(*begun));
    vl::video::VideoOptions vo;
    vo.width = o_.width;
    vo.height = o_.height;
    vo.fps = o_.fps;
    std::string error;
    video_ = vl::video::VideoWriter::Open(video_file_->temp_path().string(), vo, &error);
    if (!video_) return o_.video + ": " + WithoutPrefix(error, video_file_->temp_path().string() + ": ");
    return {};
  }

  // The index-th wanted frame, which is loop frame `frame`.
  std::string Write(size_t index, int frame, const vl::headless::Image& image) {
    std::string error;
    if (video_) {
      if (!video_->AddFrame(image.rgba.data(), &error)) return o_.video + ": " + error;
    } else if (!o_.out_dir.empty()) {
      if (!vl::headless::WritePngFile(image, fs::path(o_.out_dir) / FrameFileName(frame), &error)) return error;
    } else {
      const int i = static_cast<int>(index);
      vl::headless::Blit(vl::headless::Downscale(image, tile_w_, tile_h_), sheet_, (i % columns_) * tile_w_,
                         (i / columns_) * tile_h_);
    }
    return {};
  }

  // Writes the sheet or ends the video; nothing is moved into place once interrupted.
  std::string Finish(const std::atomic<bool>& interrupted) {
    std::string error;
    if (!o_.sheet.empty() && !vl::headless::WritePngFile(sheet_, o_.sheet, &error)) return error;
    if (video_ && !video_->Finish(&error)) return o_.video + ": " + error;
    if (interrupted) return kInterrupted;
    if (video_file_)
      if (vl::Status moved = video_file_->Commit()) return moved->ToString();
    return {};
  }

 private:
  const Options& o_;
  int tile_w_ = 0, tile_h_ = 0, columns_ = 1;
  vl::headless::Image sheet_;
  std::unique_ptr<vl::video::VideoWriter> video_;
  std::optional<vl::OutputFile> video_file_;
};

int Run(Options o, const Typed& t) {
  if (std::optional<int> wrong = TakeTyped(o, t)) return *wrong;

  // The loader falls back to the library's default loop for names it cannot find; a file named
  // on the command line must exist.
  std::error_code ec;
  fs::path loop_path = fs::absolute(o.loop, ec);
  if (ec) return vl::cli::Fail(kName, o.loop + ": no such file");
  if (const std::string why = vl::WhyNotReadable(loop_path); !why.empty())
    return vl::cli::Fail(kName, o.loop + ": " + why);
  // The loop is read whole before anything is written, but a video is written as it is drawn.
  for (const std::string& out : {o.sheet, o.video})
    if (!out.empty())
      if (vl::Status same = vl::RefuseSameFile(loop_path, out)) return vl::cli::UsageError(kName, same->ToString());

  // The run's own generator: the frames depend on nothing else the process draws.
  vl::cli::PrintedModelProgress model_progress(kName);
  vl::headless::LoopRunSetup setup;
  setup.width = o.width;
  setup.height = o.height;
  setup.fps = o.fps;
  if (o.reference || o.fast)
    setup.mode = o.reference ? vl::render::RenderMode::kReference : vl::render::RenderMode::kFast;
  setup.prepare_assets = [&](vl::render::RenderAssets& assets) { assets.set_model_progress(&model_progress); };
  std::string error;
  auto run = vl::headless::LoopRun::Create(setup, &error);
  if (!run) return vl::cli::Fail(kName, error);
  if (vl::Status err = run->Load(loop_path)) return vl::cli::Fail(kName, err->ToString());

  const int end = vl::engine::PlayedFrameCount(run->scene());
  if (!vl::engine::HasFramesToPlay(run->scene()))
    return vl::cli::Fail(kName, o.loop + ": " + vl::engine::kNothingToPlay);
  if (o.first < 0) o.first = 0, o.last = end - 1;
  if (o.last >= end)
    return vl::cli::Fail(kName, o.loop + ": frames " + std::to_string(o.first) + "-" + std::to_string(o.last) +
                                    " are outside the loop's 0-" + std::to_string(end - 1));

  const std::vector<int> wanted = WantedFrames(o);
  FrameOutput output(o, wanted.size());
  const std::atomic<bool>& interrupted = vl::cli::CatchInterrupts();
  if (std::string why = output.Open(); !why.empty()) return vl::cli::Fail(kName, why);

  // Every frame of the range is drawn, written or not: the trail and the layers carry state from
  // one frame to the next.
  run->Seek(o.first);
  const int total = o.last - o.first + 1;
  const bool show_progress = total > 100;
  auto last_report = std::chrono::steady_clock::now();
  size_t next = 0;
  for (int k = 0; k < total && next < wanted.size(); ++k) {
    if (interrupted) return vl::cli::Fail(kName, kInterrupted);
    const int frame = run->DrawNextFrame();
    if (frame != wanted[next]) continue;
    if (std::string why = output.Write(next, frame, run->ReadPixels()); !why.empty()) return vl::cli::Fail(kName, why);
    ++next;
    auto now = std::chrono::steady_clock::now();
    if (show_progress && now - last_report > std::chrono::seconds(1)) {
      std::fprintf(stderr, "render: frame %d of %d-%d\n", frame, o.first, o.last);
      last_report = now;
    }
  }
  if (std::string why = output.Finish(interrupted); !why.empty()) return vl::cli::Fail(kName, why);
  if (show_progress) std::fprintf(stderr, "render: done, %zu image(s)\n", next);
  return 0;
}

}  // namespace

VL_CLI_COMMAND(
    render, "render", "Play a loop headless and write its frames as PNG files, a contact sheet or a video.",
    [](CLI::App& app) {
      auto o = std::make_shared<Options>();
      auto t = std::make_shared<Typed>();
      app.add_option("LOOP.lqf", o->loop, "The loop file")->required();
      app.add_option("--out", o->out_dir, "Write frame_NNNNN.png files into DIR")->type_name("DIR");
      app.add_option("--sheet", o->sheet, "Write one contact sheet of up to 16 frames")->type_name("FILE.png");
      app.add_option("--video", o->video, "Write an H.264 video (.mp4, .mkv, .avi, .mov)")->type_name("FILE.mp4");
      app.add_option("--size", t->size, "Frame size, default 720x576")->type_name("WxH");
      app.add_option("--fps", t->fps, "Frames per second, default 25")->type_name("N");
      app.add_option("--frames", t->frames, "Only frames A to B")->type_name("A-B");
      app.add_option("--every", t->every, "Every K-th frame of the range")->type_name("K");
      auto* fast = app.add_flag("--fast", o->fast,
                                "Sum the echoes partly at reduced resolution (faster, "
                                "within a few levels of exact)");
      app.add_flag("--reference", o->reference,
                   "Draw every pass as written, one quad per echo layer (slow; for comparisons; "
                   "also VANTALOOP_REFERENCE=1)")
          ->excludes(fast);
      return [o, t] { return Run(*o, *t); };
    });
