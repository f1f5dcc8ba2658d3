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
#include "platform/headless/headless_context.h"
#include "platform/headless/png_file.h"
#include "platform/video/video_writer.h"
#include "render/offline_player.h"
#include "render/player_layers.h"

namespace {

constexpr const char* kName = "render";
constexpr int kSheetTiles = 16;
constexpr int kSheetColumns = 4;
constexpr int kTileWidth = 240;

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

int Run(Options o, const Typed& t) {
  if (!t.size.empty() && !ParsePair(t.size, 'x', 16, 8192, &o.width, &o.height))
    return vl::cli::UsageError(kName, "--size wants WxH, each 16 to 8192");
  if (!t.fps.empty() && !ParseInt(t.fps, 1, 1000, &o.fps)) return vl::cli::UsageError(kName, "--fps wants 1 to 1000");
  if (!t.frames.empty() &&
      (!ParsePair(t.frames, '-', 0, vl::engine::kFrameSlots - 1, &o.first, &o.last) || o.first > o.last))
    return vl::cli::UsageError(kName, "--frames wants A-B with 0 <= A <= B <= 9999");
  if (!t.every.empty() && !ParseInt(t.every, 1, vl::engine::kFrameSlots, &o.every))
    return vl::cli::UsageError(kName, "--every wants a whole number from 1 to " + std::to_string(vl::engine::kFrameSlots));
  if (!o.out_dir.empty() + !o.sheet.empty() + !o.video.empty() != 1)
    return vl::cli::UsageError(kName, "give one of --out DIR, --sheet FILE.png or --video FILE.mp4");
  // A video has every frame of the range.
  if (!o.video.empty()) o.every = 1;

  // The loader falls back to the library's default loop for names it cannot find; a file named
  // on the command line must exist.
  std::error_code ec;
  fs::path loop_path = fs::absolute(o.loop, ec);
  if (ec) return vl::cli::Fail(kName, o.loop + ": no such file");
  if (const std::string why = vl::WhyNotReadable(loop_path); !why.empty()) return vl::cli::Fail(kName, o.loop + ": " + why);
  // The loop is read whole before anything is written, but a video is written as it is drawn.
  for (const std::string& out : {o.sheet, o.video})
    if (!out.empty())
      if (vl::Status same = vl::RefuseSameFile(loop_path, out)) return vl::cli::UsageError(kName, same->ToString());

  std::string error;
  auto gl = vl::headless::HeadlessContext::Create(o.width, o.height, &error);
  if (!gl) return vl::cli::Fail(kName, error);

  auto scene = std::make_unique<vl::engine::SceneState>();
  vl::render::RenderAssets assets;
  vl::cli::PrintedModelProgress model_progress(kName);
  assets.set_model_progress(&model_progress);
  // A generator of the command's own: the frames depend on nothing else the process draws.
  vl::Random random;
  vl::render::PlayerLayers layers(assets, random);
  vl::render::OfflinePlayer player(*scene, layers, o.fps, random);
  player.Start(assets, o.width, o.height);
  player.renderer().set_render_mode(o.reference ? vl::render::RenderMode::kReference
                                    : o.fast    ? vl::render::RenderMode::kFast
                                                : vl::render::RenderModeFromEnvironment());
  if (auto err = vl::engine::LoadSequence(*scene, loop_path.string(), assets)) return vl::cli::Fail(kName, err->ToString());

  const int end = vl::engine::PlayedFrameCount(*scene);
  if (!vl::engine::HasFramesToPlay(*scene)) return vl::cli::Fail(kName, o.loop + ": " + vl::engine::kNothingToPlay);
  if (o.first < 0) o.first = 0, o.last = end - 1;
  if (o.last >= end)
    return vl::cli::Fail(kName, o.loop + ": frames " + std::to_string(o.first) + "-" + std::to_string(o.last) +
                                    " are outside the loop's 0-" + std::to_string(end - 1));

  // Frames written: every K-th of the range; a sheet takes up to 16 of those, evenly spaced.
  std::vector<int> wanted;
  for (int f = o.first; f <= o.last; f += o.every) wanted.push_back(f);
  if (!o.sheet.empty() && wanted.size() > kSheetTiles) {
    std::vector<int> picked;
    picked.reserve(kSheetTiles);
    for (int i = 0; i < kSheetTiles; ++i)
      picked.push_back(wanted[static_cast<size_t>(i) * (wanted.size() - 1) / (kSheetTiles - 1)]);
    wanted = picked;
  }
  if (!o.out_dir.empty()) {
    fs::create_directories(o.out_dir, ec);
    if (!fs::is_directory(o.out_dir, ec)) return vl::cli::Fail(kName, o.out_dir + ": cannot create the folder");
  }

  const int tile_w = std::min(kTileWidth, o.width);
  const int tile_h = std::max(1, static_cast<int>(static_cast<int64_t>(tile_w) * o.height / o.width));
  const int columns = std::min<int>(kSheetColumns, static_cast<int>(wanted.size()));
  const int rows = (static_cast<int>(wanted.size()) + columns - 1) / columns;
  vl::headless::Image sheet;
  if (!o.sheet.empty()) {
    sheet.width = columns * tile_w;
    sheet.height = rows * tile_h;
    sheet.rgba.assign(static_cast<size_t>(sheet.width) * sheet.height * 4, 0);
  }

  // A video is written beside its name and moved into place when finished: Ctrl+C or a full disk
  // leaves the old file as it was.
  std::unique_ptr<vl::video::VideoWriter> video;
  std::optional<vl::OutputFile> video_file;
  const std::atomic<bool>& interrupted = vl::cli::CatchInterrupts();
  if (!o.video.empty()) {
    auto begun = vl::OutputFile::Begin(o.video);
    if (!begun) return vl::cli::Fail(kName, begun.error().ToString());
    video_file.emplace(std::move(*begun));
    vl::video::VideoOptions vo;
    vo.width = o.width;
    vo.height = o.height;
    vo.fps = o.fps;
    video = vl::video::VideoWriter::Open(video_file->temp_path().string(), vo, &error);
    if (!video) return vl::cli::Fail(kName, o.video + ": " + WithoutPrefix(error, video_file->temp_path().string() + ": "));
  }

  // Every frame of the range is drawn, written or not: the trail and the layers carry state from
  // one frame to the next.
  player.Seek(o.first);
  const int total = o.last - o.first + 1;
  const bool show_progress = total > 100;
  auto last_report = std::chrono::steady_clock::now();
  size_t next = 0;
  for (int k = 0; k < total && next < wanted.size(); ++k) {
    if (interrupted) return vl::cli::Fail(kName, "interrupted; nothing was written");
    const int frame = player.DrawNextFrame();
    if (frame != wanted[next]) continue;
    vl::headless::Image image = gl->ReadPixels();
    if (video) {
      if (!video->AddFrame(image.rgba.data(), &error)) return vl::cli::Fail(kName, o.video + ": " + error);
    } else if (!o.out_dir.empty()) {
      if (!vl::headless::WritePngFile(image, fs::path(o.out_dir) / FrameFileName(frame), &error))
        return vl::cli::Fail(kName, error);
    } else {
      const int i = static_cast<int>(next);
      vl::headless::Blit(vl::headless::Downscale(image, tile_w, tile_h), sheet, (i % columns) * tile_w,
                         (i / columns) * tile_h);
    }
    ++next;
    auto now = std::chrono::steady_clock::now();
    if (show_progress && now - last_report > std::chrono::seconds(1)) {
      std::fprintf(stderr, "render: frame %d of %d-%d\n", frame, o.first, o.last);
      last_report = now;
    }
  }
  if (!o.sheet.empty() && !vl::headless::WritePngFile(sheet, o.sheet, &error)) return vl::cli::Fail(kName, error);
  if (video && !video->Finish(&error)) return vl::cli::Fail(kName, o.video + ": " + error);
  if (interrupted) return vl::cli::Fail(kName, "interrupted; nothing was written");
  if (video_file)
    if (vl::Status moved = video_file->Commit()) return vl::cli::Fail(kName, moved->ToString());
  if (show_progress) std::fprintf(stderr, "render: done, %zu image(s)\n", next);
  return 0;
}

}  // namespace

VL_CLI_COMMAND(render, "render",
               "Play a loop headless and write its frames as PNG files, a contact sheet or a video.",
               [](CLI::App& app) {
                 auto o = std::make_shared<Options>();
                 auto t = std::make_shared<Typed>();
                 app.add_option("LOOP.lqf", o->loop, "The loop file")->required();
                 app.add_option("--out", o->out_dir, "Write frame_NNNNN.png files into DIR")->type_name("DIR");
                 app.add_option("--sheet", o->sheet, "Write one contact sheet of up to 16 frames")->type_name("FILE.png");
                 app.add_option("--video", o->video, "Write an H.264 video (.mp4, .mkv, .avi, .mov)")
                     ->type_name("FILE.mp4");
                 app.add_option("--size", t->size, "Frame size, default 720x576")->type_name("WxH");
                 app.add_option("--fps", t->fps, "Frames per second, default 25")->type_name("N");
                 app.add_option("--frames", t->frames, "Only frames A to B")->type_name("A-B");
                 app.add_option("--every", t->every, "Every K-th frame of the range")->type_name("K");
                 auto* fast = app.add_flag("--fast", o->fast, "Sum the echoes partly at reduced resolution (faster, "
                                                              "within a few levels of exact)");
                 app.add_flag("--reference", o->reference,
                              "Draw every pass as written, one quad per echo layer (slow; for comparisons; "
                              "also VANTALOOP_REFERENCE=1)")
                     ->excludes(fast);
                 return [o, t] { return Run(*o, *t); };
               });
