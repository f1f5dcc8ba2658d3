#include "platform/export/loop_export.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <limits>
#include <memory>
#include <system_error>
#include <vector>

#include "engine/output_file.h"
#include "engine/random.h"
#include "engine/sequence_loader.h"
#include "platform/headless/loop_run.h"
#include "platform/headless/png_file.h"
#include "assets/particle_system.h"
#include "render/fountain.h"
#include "render/offline_player.h"
#include "render/player_layers.h"

namespace vl::exporting {
namespace {

namespace fs = std::filesystem;
using video::VideoFormat;
using Seconds = std::chrono::duration<double>;

constexpr int kMaxLoops = 1000;
// Particles that never die (a time scale of 0, say) would make the preroll endless: it stops
// after this many frames, or at most this many cycles of a long loop.
constexpr int kPrerollFrameCap = 4000;
constexpr int kPrerollCycleCap = 4;

struct FormatName {
  ExportFormat format;
  const char* name;
  const char* extension;
};
constexpr FormatName kFormatNames[] = {
    {ExportFormat::kMp4, "mp4", ".mp4"},    {ExportFormat::kAvi, "avi", ".avi"}, {ExportFormat::kMpg, "mpg", ".mpg"},
    {ExportFormat::k3gp, "3gp", ".3gp"},    {ExportFormat::kMkv, "mkv", ".mkv"}, {ExportFormat::kPng, "png", ""},
    {ExportFormat::kWebp, "webp", ".webp"}, {ExportFormat::kGif, "gif", ".gif"}, {ExportFormat::kDvd, "dvd", ".mpg"},
};

// The preset's own format as one of the names (".avi" is avi, ...).
ExportFormat OwnFormat(const PresetFormat& p) {
  for (const auto& f : kFormatNames)
    if (std::string_view(f.extension) == p.extension) return f.format;
  return ExportFormat::kMp4;
}

bool IsPngFrameName(const std::string& name) {
  // frame_00000.png
  if (name.size() != 15 || name.rfind("frame_", 0) != 0 || name.substr(11) != ".png") return false;
  for (size_t i = 6; i < 11; ++i)
    if (name[i] < '0' || name[i] > '9') return false;
  return true;
}

// A folder that holds nothing but an earlier PNG sequence, which an export may replace.
bool IsPngSequenceFolder(const fs::path& dir) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec))
    if (!entry.is_regular_file() || !IsPngFrameName(entry.path().filename().string())) return false;
  return !ec;
}

std::string FrameFileName(int index) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "frame_%05d.png", index);
  return buf;
}

// Where frames go: a video file, or a folder of PNG files.
class FrameSink {
 public:
  virtual ~FrameSink() = default;
  virtual bool Add(const headless::Image& frame, std::string* error) = 0;
  virtual bool Finish(std::string* error) = 0;
  virtual std::string encoder() const = 0;
};

class VideoSink final : public FrameSink {
 public:
  explicit VideoSink(std::unique_ptr<video::VideoWriter> writer) : writer_(std::move(writer)) {}
  bool Add(const headless::Image& frame, std::string* error) override {
    return writer_->AddFrame(frame.rgba.data(), error);
  }
  bool Finish(std::string* error) override { return writer_->Finish(error); }
  std::string encoder() const override { return writer_->codec_name(); }
  std::string audio_encoder() const { return writer_->audio_codec_name(); }

 private:
  std::unique_ptr<video::VideoWriter> writer_;
};

class PngSink final : public FrameSink {
 public:
  explicit PngSink(fs::path dir) : dir_(std::move(dir)) {}
  bool Add(const headless::Image& frame, std::string* error) override {
    return headless::WritePngFile(frame, dir_ / FrameFileName(next_++), error);
  }
  bool Finish(std::string*) override { return true; }
  std::string encoder() const override { return "png"; }

 private:
  fs::path dir_;
  int next_ = 0;
};

// Removes a partial file or folder on the way out unless told the export is complete.
struct PartialOutput {
  fs::path path;
  bool keep = false;
  ~PartialOutput() {
    if (keep || path.empty()) return;
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

// Puts the finished export `done` at `out`. A file replaces a file of that name in one step; a
// folder cannot, so an earlier PNG folder is moved aside first and removed only once the new one
// is in place, and put back when the move fails: the earlier export is never lost.
bool MoveIntoPlace(const fs::path& done, const fs::path& out, std::string* error) {
  std::error_code ec;
  fs::path aside;
  if (fs::is_directory(out, ec)) {
    // A short free name beside it, as for the export itself: long output names still fit.
    auto free_name = MakeTemporaryBeside(out, /*folder=*/true);
    if (!free_name) {
      *error = free_name.error().message;
      return false;
    }
    aside = *free_name;
    fs::remove(aside, ec);  // rename() replaces only an empty folder, or none
    fs::rename(out, aside, ec);
    if (ec) {
      *error = "cannot move the earlier export aside: " + ec.message();
      return false;
    }
  }
  fs::rename(done, out, ec);
  if (ec) {
    *error = "cannot move the finished export into place: " + ec.message();
    std::error_code back;
    if (!aside.empty()) fs::rename(aside, out, back);
    if (back) *error += "; the earlier export is kept as " + aside.string();
    return false;
  }
  if (!aside.empty()) fs::remove_all(aside, ec);
  return true;
}

// x264's speed preset for a frame size, chosen by measurement (the README's export section): HD
// frames take a faster one to keep an export near real time on two cores, at the same quality
// factor; smaller frames keep "medium", which costs them little.
const char* H264SpeedFor(int width, int height) {
  return static_cast<int64_t>(width) * height >= 1280 * 720 ? "veryfast" : "medium";
}

// The generator's state for frame `frame` of every cycle. Each frame starts a sequence of its
// own, so what one frame draws does not depend on how much the frames before it drew (a full
// particle pool emits only as many as died).
uint32_t FrameSeed(uint32_t cycle_seed, int frame) {
  uint32_t h = cycle_seed ^ (static_cast<uint32_t>(frame) * 2654435761u);
  h ^= h >> 16;
  h *= 0x45d9f3bu;
  h ^= h >> 16;
  return h;
}

// The live particles of both systems, byte for byte and in no particular order (which slot a
// particle took does not change the picture: particles blend by adding). Two cycles that start
// from the same snapshot draw the same particles.
std::vector<std::string> ParticleSnapshot(render::PlayerLayers& layers) {
  std::vector<std::string> records;
  std::string r;
  auto put = [&r](const auto& value) { r.append(reinterpret_cast<const char*>(&value), sizeof value); };
  for (const assets::Particle& p : layers.image().particles().particles()) {
    if (!p.alive) continue;
    r.clear();
    for (const assets::Vec3& v : {p.position, p.velocity, p.acceleration, p.colour, p.colour_delta})
      put(v.x), put(v.y), put(v.z);
    for (const float f :
         {p.angle, p.spin, p.spin_acceleration, p.alpha, p.alpha_delta, p.size, p.size_delta, p.life, p.age})
      put(f);
    records.push_back(r);
  }
  for (const render::FountainParticle& p : layers.image().fountain().particles()) {
    if (!p.alive) continue;
    r = "f";
    for (const render::FountainVec& v : {p.position, p.velocity, p.acceleration, p.colour})
      put(v.x), put(v.y), put(v.z);
    put(p.age);
    records.push_back(r);
  }
  std::sort(records.begin(), records.end());
  return records;
}

// Each recorded cycle replays the births of the one before, as the preroll's last cycle did.
void NextRecordedCycle(render::PlayerLayers& layers) {
  assets::ParticleSystem& system = layers.image().particles();
  if (system.replaying_births()) system.NextBirthCycle();
}

struct PrerollOutcome {
  int cycles = 0;
  bool repeats = true;  // the cycle to be recorded starts as the one before started
  bool cancelled = false;
};

// Plays whole cycles unrecorded, each from the same random sequence, until a cycle ends on the
// particles it started from, having emitted as the one before: then the next starts as it did
// and every recorded cycle draws the same pictures. That takes as long as the longest-lived
// particle from before needs to die, and no longer. From the second cycle on (the first carries
// the load's long warm-up step) the particle pool replays its births, so a full pool settles too;
// the replay stays on while recording. At most `max_cycles`; `frames` below the loop's length
// (measuring) plays one cycle so shortened.
PrerollOutcome PlayPreroll(render::OfflinePlayer& player, render::PlayerLayers& layers, Random& random,
                           uint32_t cycle_seed, int frames, int max_cycles, const std::function<bool()>& cancelled,
                           const std::function<void(int)>& progress) {
  assets::ParticleSystem& system = layers.image().particles();
  PrerollOutcome outcome;
  std::vector<std::string> before = ParticleSnapshot(layers), after;
  while (outcome.cycles < max_cycles) {
    for (int k = 0; k < frames; ++k) {
      if (cancelled()) return {outcome.cycles, false, true};
      random.Seed(FrameSeed(cycle_seed, k));
      player.DrawNextFrame();
      progress(k + 1);
    }
    ++outcome.cycles;
    after = ParticleSnapshot(layers);
    const bool same_births = system.replaying_births() && system.NextBirthCycle();
    if (outcome.cycles == 1) {
      if (after == before) return outcome;  // no particles, or none that move
      system.StartBirthReplay();
    }
    if (same_births && after == before) return outcome;
    before.swap(after);
  }
  outcome.repeats = max_cycles <= 1;
  return outcome;
}

}  // namespace

const PresetFormat* PresetFormatOf(int preset) {
  if (preset < 0 || preset >= kPresetCount) return nullptr;
  return &kExportPresets[static_cast<size_t>(preset)];
}

std::optional<ExportFormat> ParseExportFormat(std::string_view name) {
  for (const auto& f : kFormatNames)
    if (name == f.name) return f.format;
  return std::nullopt;
}

const char* ExportFormatName(ExportFormat format) {
  for (const auto& f : kFormatNames)
    if (f.format == format) return f.name;
  return "the preset's own format";
}

const char* ExportFormatExtension(ExportFormat format) {
  for (const auto& f : kFormatNames)
    if (f.format == format) return f.extension;
  return "";
}

std::optional<ExportFormat> ResolveFormat(int preset, ExportFormat format, std::string* error) {
  const PresetFormat* p = PresetFormatOf(preset);
  if (!p) {
    if (error)
      *error = "preset " + std::to_string(preset) + " does not exist (0 to " + std::to_string(kPresetCount - 1) + ")";
    return std::nullopt;
  }
  const ExportFormat own = OwnFormat(*p);
  if (format == ExportFormat::kPresetOwn) return own;
  if (format == ExportFormat::kDvd && !(p->width == 720 && ((p->height == 576 && p->fps == 25 && !p->ntsc_rate) ||
                                                            (p->height == 480 && p->fps == 30 && p->ntsc_rate)))) {
    if (error)
      *error = std::string("preset ") + std::to_string(preset) + " (" + p->name + ", " + std::to_string(p->width) +
               " x " + std::to_string(p->height) +
               ") is not a DVD size; dvd takes the 720-wide presets 0 (PAL) and 1 (NTSC)";
    return std::nullopt;
  }
  if ((format == ExportFormat::kAvi || format == ExportFormat::kMpg || format == ExportFormat::k3gp) && format != own) {
    if (error)
      *error = std::string("preset ") + std::to_string(preset) + " (" + p->name + ") is not written as " +
               ExportFormatName(format) + "; its own format is " + ExportFormatName(own) +
               ", and any preset can be written as mp4, mkv, png, webp or gif";
    return std::nullopt;
  }
  return format;
}

bool CheckOutputName(const std::string& out, int preset, ExportFormat resolved, std::string* error) {
  if (out.empty()) {
    if (error) *error = "no output name given";
    return false;
  }
  if (resolved == ExportFormat::kPng) return true;
  const std::string want = ExportFormatExtension(resolved);
  std::string ext = fs::path(out).extension().string();
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ext == want) return true;
  if (error) {
    const PresetFormat* p = PresetFormatOf(preset);
    *error = out + ": a " +
             (p && resolved == OwnFormat(*p)
                  ? std::string(p->name) + " file (preset " + std::to_string(preset) + "'s own format)"
                  : std::string(ExportFormatName(resolved)) + " file") +
             " must end in " + want + (ext.empty() ? ", the name has no extension" : ", not " + ext) +
             "; use --format to write another format";
  }
  return false;
}

ExportSound SoundOf(int preset, ExportFormat resolved) {
  const PresetFormat* p = PresetFormatOf(preset);
  if (resolved == ExportFormat::kPng || resolved == ExportFormat::kWebp || resolved == ExportFormat::kGif)
    return ExportSound::kNone;
  if (resolved == ExportFormat::kDvd) return ExportSound::kSilenceUnlessGiven;
  const bool own = p && resolved == OwnFormat(*p);
  if (own && (p->video == VideoFormat::kDvAvi || p->video == VideoFormat::kVcd || p->video == VideoFormat::kSvcd))
    return ExportSound::kSilenceUnlessGiven;
  return ExportSound::kOnlyGiven;
}

namespace {

// What a request comes to once checked: the format, the names and the frame's sizes.
struct ExportPlan {
  ExportFormat format = ExportFormat::kPresetOwn;
  const PresetFormat* preset = nullptr;
  fs::path loop_path, out;
  bool png = false;
  // The loop is drawn in the shape the file is shown at. Files of square pixels have that size;
  // the DV, VCD, SVCD and DVD files keep their frame and say how wide its pixels are.
  bool square_file = false;
  int drawn_width = 0, file_width = 0;
};

// The output name: its folder exists, and nothing is in its way that is not ours to replace.
std::string CheckOutput(const ExportRequest& request, ExportPlan& plan) {
  std::error_code ec;
  plan.out = fs::absolute(request.out_path, ec);
  if (Status same = RefuseSameFile(plan.loop_path, plan.out)) return same->ToString();
  const fs::path folder = plan.out.parent_path();
  if (ec || !fs::is_directory(folder, ec))
    return request.out_path + ": the folder " + folder.string() + " does not exist";
  const bool png = plan.png;
  if (fs::is_directory(plan.out, ec) && !(png && IsPngSequenceFolder(plan.out)))
    return request.out_path + (png ? ": a folder of that name holds other files than a PNG sequence" : ": is a folder");
  // A FIFO, device or socket at the name is not ours to replace.
  if (fs::exists(plan.out, ec) && !fs::is_regular_file(plan.out, ec) && !fs::is_directory(plan.out, ec))
    return request.out_path + ": " + WhyNotReadable(plan.out) + "; it is left as it is";
  if (png && fs::exists(plan.out, ec) && !fs::is_directory(plan.out, ec))
    return request.out_path + ": a file of that name is in the way of the PNG folder";
  return {};
}

// Step 1: what to write, and where. An empty string when the request can be done.
std::string CheckRequest(const ExportRequest& request, ExportPlan& plan) {
  std::string why;
  const std::optional<ExportFormat> format = ResolveFormat(request.preset, request.format, &why);
  if (!format) return why;
  if (!CheckOutputName(request.out_path, request.preset, *format, &why)) return why;
  if (request.loops < 1 || request.loops > kMaxLoops)
    return "the number of loops must be 1 to " + std::to_string(kMaxLoops);
  plan.format = *format;
  plan.preset = PresetFormatOf(request.preset);
  plan.png = *format == ExportFormat::kPng;
  std::error_code ec;
  plan.loop_path = fs::absolute(request.loop_path, ec);
  // The loader falls back to the library's default loop for names it cannot find; the loop named
  // for an export must exist.
  if (ec) return request.loop_path + ": no such file";
  if (const std::string why_not = WhyNotReadable(plan.loop_path); !why_not.empty())
    return request.loop_path + ": " + why_not;
  if (std::string why_out = CheckOutput(request, plan); !why_out.empty()) return why_out;

  // Sound goes into the formats that carry it, read from a file that is only read.
  const bool silent_format = SoundOf(request.preset, *format) == ExportSound::kNone;
  if (!request.audio_path.empty()) {
    if (silent_format)
      return request.audio_path + ": " + ExportFormatName(*format) +
             " files carry no sound; write mp4, mkv or the preset's own format for sound";
    // A FIFO or a device could block for ever or never end.
    if (!fs::is_regular_file(request.audio_path, ec))
      return request.audio_path + (fs::exists(request.audio_path, ec) ? ": is not a regular file" : ": no such file");
  }
  plan.square_file = *format == ExportFormat::kMp4 || *format == ExportFormat::kMkv || plan.png || silent_format;
  plan.drawn_width = plan.preset->shown_width();
  plan.file_width = plan.square_file ? plan.drawn_width : plan.preset->width;
  return {};
}

// The loop on a context of its own at the drawn size, with a scene, layers and a generator of its
// own, so the frames depend on nothing else the process draws.
struct LoopToExport {
  std::unique_ptr<headless::LoopRun> run;
  int end = 0;  // frames in one cycle
  render::PlayerLayers& layers() { return *run->player_layers(); }
};

std::optional<LoopToExport> SetUpLoop(const ExportRequest& request, const ExportPlan& plan,
                                      const ExportObserver& observer, std::string* error) {
  headless::LoopRunSetup setup;
  setup.width = plan.drawn_width;
  setup.height = plan.preset->height;
  setup.fps = plan.preset->fps;
  if (request.fast) setup.mode = render::RenderMode::kFast;
  setup.prepare_assets = [&observer](render::RenderAssets& assets) {
    if (observer.warning) assets.set_reporter(observer.warning);
  };
  std::string why;
  LoopToExport loop{headless::LoopRun::Create(setup, &why)};
  if (!loop.run) {
    *error = "cannot make a headless OpenGL context for the export: " + why;
    return std::nullopt;
  }
  if (Status err = loop.run->Load(plan.loop_path)) {
    *error = err->ToString();
    return std::nullopt;
  }
  engine::SceneState& scene = loop.run->scene();
  if (!engine::HasFramesToPlay(scene)) {
    *error = request.loop_path + ": " + engine::kNothingToPlay;
    return std::nullopt;
  }
  loop.end = engine::PlayedFrameCount(scene);
  // The export records the loop repeating, as the player shows it with the loop switch on.
  scene.loop_sequence = 2.0f;
  scene.stop_requested = 0.0f;
  return loop;
}

video::VideoOptions WriterOptions(const ExportRequest& request, const ExportPlan& plan) {
  const PresetFormat& preset = *plan.preset;
  video::VideoOptions options;
  options.width = plan.file_width;
  options.height = preset.height;
  options.input_width = plan.drawn_width;
  options.pixel_aspect_num = plan.drawn_width;
  options.pixel_aspect_den = plan.file_width;
  if (!request.audio_path.empty()) {
    options.audio = video::VideoOptions::Audio::kFile;
    options.audio_path = request.audio_path;
  } else if (SoundOf(request.preset, plan.format) == ExportSound::kSilenceUnlessGiven) {
    // DV, VCD, SVCD and DVD: editors and disc authoring expect a sound track.
    options.audio = video::VideoOptions::Audio::kSilence;
  }
  options.fps = preset.fps;
  options.ntsc_rate = preset.ntsc_rate;
  options.h264_speed = H264SpeedFor(preset.width, preset.height);
  switch (plan.format) {
    case ExportFormat::kMp4: options.format = VideoFormat::kH264Mp4; break;
    case ExportFormat::kMkv: options.format = VideoFormat::kFfv1Mkv; break;
    case ExportFormat::kWebp: options.format = VideoFormat::kWebp; break;
    case ExportFormat::kGif: options.format = VideoFormat::kGif; break;
    case ExportFormat::kDvd: options.format = VideoFormat::kDvd; break;
    default: options.format = preset.video; break;
  }
  return options;
}

// Step 2: the file, written beside its final name (`partial`) and moved there when complete.
std::unique_ptr<FrameSink> OpenSink(const ExportRequest& request, const ExportPlan& plan, const fs::path& partial,
                                    ExportResult& result, std::string* error) {
  if (plan.png) return std::make_unique<PngSink>(partial);
  std::string why;
  auto writer = video::VideoWriter::Open(partial.string(), WriterOptions(request, plan), &why);
  if (!writer) {
    // Name the file the user asked for, not the partial one; a fault of the sound names its file.
    const std::string prefix = partial.string() + ": ";
    if (!request.audio_path.empty() && why.rfind(request.audio_path, 0) == 0) *error = why;
    else *error = request.out_path + ": " + (why.rfind(prefix, 0) == 0 ? why.substr(prefix.size()) : why);
    return nullptr;
  }
  result.audio_encoder = writer->audio_codec_name();
  return std::make_unique<VideoSink>(std::move(writer));
}

enum class Outcome { kDone, kFailed, kCancelled };

struct Steps {
  const ExportRequest& request;
  const ExportObserver& observer;
  LoopToExport& loop;
  ExportResult& result;
  uint32_t cycle_seed = 0;
  bool cancelled() const { return observer.cancel && observer.cancel->load(std::memory_order_relaxed); }
};

// Step 3: whole cycles on virtual time, nothing kept. Every cycle, preroll and recorded alike,
// starts the generator from the same state, so each draws the same random sequence; once no
// particle from before a cycle survives into the next, every cycle starts from the same
// particles and the file repeats exactly.
Outcome Preroll(Steps& s) {
  const ExportRequest& request = s.request;
  render::OfflinePlayer& player = s.loop.run->player();
  const int end = s.loop.end;
  const int preroll_frames = request.frame_limit > 0 ? std::min(end, request.frame_limit) : end;
  const auto t0 = std::chrono::steady_clock::now();
  // Nobody sees the preroll's pictures: the frames leave the state the recording reads (trail,
  // captures, particles) and draw nothing else.
  player.renderer().set_picture_unseen(!request.preroll_drawn_whole);
  player.renderer().set_echoes_unseen(true);
  const int max_cycles = request.frame_limit > 0 ? 1 : std::max(kPrerollCycleCap, kPrerollFrameCap / end);
  const PrerollOutcome preroll = PlayPreroll(
      player, s.loop.layers(), s.loop.run->random(), s.cycle_seed, preroll_frames, max_cycles,
      [&] { return s.cancelled(); },
      [&](int done) {
        if (s.observer.progress) s.observer.progress(ExportPhase::kPreroll, done, preroll_frames);
      });
  player.renderer().set_picture_unseen(false);
  player.renderer().set_echoes_unseen(false);
  if (preroll.cancelled) return Outcome::kCancelled;
  if (!preroll.repeats && s.observer.warning)
    s.observer.warning(request.loop_path + ": its particles still differ from one cycle to the next after " +
                       std::to_string(preroll.cycles) + " cycles played through; the file may not repeat exactly");
  if (preroll_frames < end) player.Seek(0);  // a shortened preroll (measuring) restarts the loop
  // The GL may still be drawing the preroll; wait for it so its time is counted here.
  s.loop.run->ReadPixels();
  s.result.preroll_s = Seconds(std::chrono::steady_clock::now() - t0).count();
  s.result.preroll_cycles = preroll.cycles;
  return Outcome::kDone;
}

// Step 4: exactly the loop's frames, `loops` times, then the file finished. Each frame is encoded
// on a worker while the next one draws; at most one frame waits. The encoder is only ever called
// by one thread at a time, in frame order.
Outcome Record(Steps& s, FrameSink& sink) {
  headless::LoopRun& run = *s.loop.run;
  const int end = s.loop.end;
  const int total =
      s.request.frame_limit > 0 ? std::min(end * s.request.loops, s.request.frame_limit) : end * s.request.loops;
  ExportResult& result = s.result;
  std::string encode_why;
  double encode_s = 0;
  std::array<headless::Image, 2> pictures;
  // Declared after everything its task reads, so leaving early waits for the worker first.
  std::future<bool> encoding;
  auto encoded = [&] {
    if (!encoding.valid()) return true;
    const bool ok = encoding.get();
    result.encode_s = encode_s;
    if (!ok) result.error = s.request.out_path + ": " + encode_why;
    return ok;
  };
  for (int k = 0; k < total; ++k) {
    if (s.cancelled()) {
      encoded();
      return Outcome::kCancelled;
    }
    const auto t0 = std::chrono::steady_clock::now();
    if (k > 0 && k % end == 0) NextRecordedCycle(s.loop.layers());
    run.random().Seed(FrameSeed(s.cycle_seed, k % end));
    const int drawn = run.DrawNextFrame();
    if (drawn != k % end) {
      encoded();
      result.error = s.request.loop_path + ": playback drew frame " + std::to_string(drawn) + " where frame " +
                     std::to_string(k % end) + " was due";
      return Outcome::kFailed;
    }
    // Two pictures alternate: one is read while the other is being encoded.
    headless::Image& image = pictures[k % 2];
    run.ReadPixelsInto(&image);
    result.render_s += Seconds(std::chrono::steady_clock::now() - t0).count();
    if (s.observer.frame_drawn) s.observer.frame_drawn(k, image);
    if (!encoded()) return Outcome::kFailed;
    result.frames_written = k;
    // The picture is not read into again until this encoding has been waited for.
    encoding = std::async(std::launch::async, [&sink, &encode_why, &encode_s, &frame = image] {
      const auto start = std::chrono::steady_clock::now();
      const bool ok = sink.Add(frame, &encode_why);
      encode_s += Seconds(std::chrono::steady_clock::now() - start).count();
      return ok;
    });
    if (s.observer.progress) s.observer.progress(ExportPhase::kRecording, k + 1, total);
  }
  if (!encoded()) return Outcome::kFailed;
  result.frames_written = total;

  if (s.observer.progress) s.observer.progress(ExportPhase::kFinishing, total, total);
  const auto t0 = std::chrono::steady_clock::now();
  std::string why;
  const bool finished = sink.Finish(&why);
  result.encode_s += Seconds(std::chrono::steady_clock::now() - t0).count();
  if (!finished) {
    result.error = s.request.out_path + ": " + why;
    return Outcome::kFailed;
  }
  return s.cancelled() ? Outcome::kCancelled : Outcome::kDone;
}

}  // namespace

ExportResult ExportLoop(const ExportRequest& request, const ExportObserver& observer) {
  const auto started = std::chrono::steady_clock::now();
  ExportResult result;
  auto finish = [&](Outcome outcome, const std::string& why = {}) {
    result.ok = outcome == Outcome::kDone;
    result.cancelled = outcome == Outcome::kCancelled;
    if (!why.empty()) result.error = why;
    if (result.cancelled) result.error = "the export was cancelled";
    result.total_s = Seconds(std::chrono::steady_clock::now() - started).count();
    return result;
  };
  ExportPlan plan;
  std::string why = CheckRequest(request, plan);
  if (!why.empty()) return finish(Outcome::kFailed, why);
  result.width = plan.file_width;
  result.height = plan.preset->height;
  std::optional<LoopToExport> loop = SetUpLoop(request, plan, observer, &why);
  if (!loop) return finish(Outcome::kFailed, why);
  headless::LoopRun& run = *loop->run;
  result.loop_frames = loop->end;
  result.fps = plan.preset->fps;

  // A short name: an output name of up to 255 bytes still has room beside it.
  PartialOutput partial;
  auto temp = MakeTemporaryBeside(plan.out, plan.png);
  if (!temp) return finish(Outcome::kFailed, temp.error().ToString());
  partial.path = *temp;
  std::unique_ptr<FrameSink> sink = OpenSink(request, plan, partial.path, result, &why);
  if (!sink) return finish(Outcome::kFailed, why);
  result.encoder = sink->encoder();

  Steps steps{request, observer, *loop, result, run.random().state()};
  run.Seek(0);
  if (request.preroll) {
    if (Outcome o = Preroll(steps); o != Outcome::kDone) return finish(o);
  } else {
    // From a fresh start nothing was drawn before the first frame: what lags a frame behind the
    // loop starts as the first frame's own, as when the loop plays round.
    loop->layers().image().SettlePhotoLag(run.scene(), 0);
    render::FrameRenderer::SetStateBetweenFrames();
  }
  const Outcome recorded = Record(steps, *sink);
  sink.reset();
  if (recorded != Outcome::kDone) return finish(recorded);

  if (!MoveIntoPlace(partial.path, plan.out, &why)) return finish(Outcome::kFailed, request.out_path + ": " + why);
  partial.keep = true;
  return finish(Outcome::kDone);
}

}  // namespace vl::exporting
