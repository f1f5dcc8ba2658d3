#include "platform/live/live_control.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <system_error>

#include "engine/load_error.h"
#include "engine/numeric.h"
#include "engine/output_file.h"

namespace vl::live {

namespace fs = std::filesystem;
using engine::SceneState;
using engine::Setting;
using engine::SettingType;
using engine::Track;

namespace {

// Values a track may be held at: wide enough for every position and angle a loop uses, small
// enough that nothing downstream overflows a float on the way to the screen.
constexpr float kMaxTrackValue = 1.0e7f;

const char* TypeName(const LiveArg& a) {
  switch (a.index()) {
    case 0: return "a whole number";
    case 1: return "a number";
    default: return "a string";
  }
}

// A number of either OSC kind; NaN and the infinities are no number a control can mean.
bool Number(const LiveArg& a, double* out) {
  if (const auto* i = std::get_if<int32_t>(&a)) {
    *out = *i;
    return true;
  }
  if (const auto* f = std::get_if<float>(&a)) {
    if (!std::isfinite(*f)) return false;
    *out = *f;
    return true;
  }
  return false;
}

// A whole number, sent as an int or as a float without a fraction (many controllers send only
// floats).
bool Whole(const LiveArg& a, int64_t* out) {
  double v = 0;
  if (!Number(a, &v) || v != std::floor(v) || std::fabs(v) > 2147483647.0) return false;
  *out = static_cast<int64_t>(v);
  return true;
}

std::string Described(const LiveArg& a) {
  if (const auto* f = std::get_if<float>(&a)) {
    if (std::isnan(*f)) return "NaN";
    if (std::isinf(*f)) return *f > 0 ? "infinity" : "-infinity";
  }
  return TypeName(a);
}

std::string WantsNoArguments(const std::vector<LiveArg>& args) {
  return args.empty() ? std::string() : "takes no arguments";
}

std::string WantsOneWhole(const std::vector<LiveArg>& args, int64_t lo, int64_t hi, int64_t* out) {
  const std::string range = std::to_string(lo) + " to " + std::to_string(hi);
  if (args.size() != 1) return "wants one whole number, " + range;
  if (!Whole(args[0], out)) return "wants a whole number " + range + ", not " + Described(args[0]);
  if (*out < lo || *out > hi) return "wants " + range + ", not " + std::to_string(*out);
  return {};
}

std::string WantsOneNumber(const std::vector<LiveArg>& args, double lo, double hi, double* out) {
  char range[64];
  std::snprintf(range, sizeof range, "%g to %g", lo, hi);
  if (args.size() != 1) return std::string("wants one number, ") + range;
  if (!Number(args[0], out)) return std::string("wants a number ") + range + ", not " + Described(args[0]);
  if (*out < lo || *out > hi) return std::string("wants ") + range;
  return {};
}

// Text from outside arrives as UTF-8; the scene keeps the one-byte encoding its loops are written
// in. Only what that encoding holds is taken, and no control characters (a line break or an escape
// would reach the glyph builder and the status line); the rest is refused, never shown garbled.
bool ToLoopText(const std::string& in, std::string* out, std::string* why) {
  auto text = engine::Utf8ToWindows1252(in);
  if (!text) return *why = "is not UTF-8 that the loop's text can hold (Windows-1252)", false;
  for (unsigned char c : *text)
    if (c < 0x20 || c == 0x7F) return *why = "holds control characters", false;
  *out = std::move(*text);
  return true;
}

bool SameFile(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  return !a.empty() && !b.empty() && fs::equivalent(a, b, ec) && !ec;
}

}  // namespace

std::vector<fs::path> ListLibrary(const std::vector<fs::path>& folders) {
  std::vector<fs::path> all;
  for (const fs::path& folder : folders) {
    std::vector<fs::path> here;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      const fs::path& p = it->path();
      if (p.extension() != ".lqf" || p.filename().string().rfind('.', 0) == 0) continue;
      std::error_code type_ec;
      if (it->is_regular_file(type_ec)) here.push_back(p);
    }
    std::sort(here.begin(), here.end());
    all.insert(all.end(), here.begin(), here.end());
  }
  return all;
}

std::optional<LiveMessage> LiveControl::Handle(const LiveMessage& m, double now) {
  const std::string& address = m.address;
  const Args& args = m.args;
  std::string problem;
  std::optional<LiveMessage> reply;
  const size_t prefix = std::strlen(kAddressPrefix);
  const std::string name = address.rfind(kAddressPrefix, 0) == 0 ? address.substr(prefix) : std::string();
  int64_t n = 0;
  double x = 0;

  if (name == "play") {
    if ((problem = WantsNoArguments(args)).empty()) {
      scene_.stop_requested = 0.0f;
      scene_.playing = scene_.keyframe_count != 0 ? 1 : 0;
    }
  } else if (name == "stop") {
    if ((problem = WantsNoArguments(args)).empty()) scene_.stop_requested = 2.0f;
  } else if (name == "frame") {
    problem = Seek(args, now);
  } else if (name == "next" || name == "previous") {
    if ((problem = WantsNoArguments(args)).empty()) problem = Step(name == "next" ? 1 : -1);
  } else if (name == "load") {
    problem = Load(args);
  } else if (name == "open") {
    problem = Open(args);
  } else if (name == "loop") {
    if ((problem = WantsOneWhole(args, 0, 1, &n)).empty()) scene_.loop_sequence = n ? 2.0f : 0.0f;
  } else if (name == "speed") {
    if ((problem = WantsOneNumber(args, 0, kMaxSpeed, &x)).empty()) {
      speed_ = static_cast<float>(x);
      fraction_ = 0.0;
    }
  } else if (name == "tempo") {
    problem = WantsOneNumber(args, 0, engine::BeatClock::kMaxTempo, &x);
    if (problem.empty() && x != 0.0 && x < engine::BeatClock::kMinTempo) problem = "wants 0 (none) or 20 to 999";
    if (problem.empty()) beat_.SetTempo(x, now);
  } else if (name == "beats") {
    if ((problem = WantsOneWhole(args, 0, engine::BeatClock::kMaxBeatsPerLoop, &n)).empty())
      beat_.SetBeatsPerLoop(static_cast<int>(n), now);
  } else if (name == "tap") {
    if ((problem = WantsNoArguments(args)).empty()) beat_.Tap(now);
  } else if (name == "text") {
    problem = SetText(args);
  } else if (name == "set") {
    problem = SetSetting(args);
  } else if (name == "track") {
    problem = HoldTrack(args);
  } else if (name == "release") {
    problem = Release(args);
  } else if (name == "fullscreen") {
    if ((problem = WantsOneWhole(args, 0, 1, &n)).empty()) host_.SetFullScreen(n != 0, &problem);
  } else if (name == "snapshot") {
    if ((problem = WantsNoArguments(args)).empty()) host_.Snapshot(&problem);
  } else if (name == "state") {
    if ((problem = WantsNoArguments(args)).empty()) reply = State();
  } else {
    problem = "unknown address";
  }
  if (!problem.empty()) {
    // The address came from the network: cut and escaped before it reaches a terminal.
    std::string shown = address.size() > 80 ? address.substr(0, 80) + "..." : address;
    host_.Status("ignored " + EscapeControl(shown) + ": " + problem);
  }
  return reply;
}

std::string LiveControl::Seek(const Args& args, double now) {
  if (!engine::HasFramesToPlay(scene_)) return "no loop is playing";
  const int end = engine::PlayedFrameCount(scene_);
  int64_t frame = 0;
  if (std::string p = WantsOneWhole(args, 0, end - 1, &frame); !p.empty()) return p;
  scene_.current_frame = static_cast<int>(frame);
  fraction_ = 0.0;
  // A loop on the beat keeps on the beat from the frame asked for.
  if (beat_.Locked()) beat_.SetLoopPhase(static_cast<double>(frame) / end, now);
  return {};
}

std::string LiveControl::Load(const Args& args) {
  if (args.size() != 1) return "wants one loop name or library index";
  if (library_.empty()) return "the library has no loops";
  const int count = static_cast<int>(library_.size());
  if (const auto* s = std::get_if<std::string>(&args[0])) {
    // Names only: a path would reach outside the library (that is /open's work).
    if (s->find('/') != std::string::npos || s->find('\\') != std::string::npos)
      return "wants a loop's name in the library, not a path";
    for (int pass = 0; pass < 2; ++pass)
      for (const fs::path& p : library_) {
        const std::string file = p.filename().string(), stem = p.stem().string();
        const bool match =
            pass == 0 ? (*s == file || *s == stem)
                      : (strcasecmp(s->c_str(), file.c_str()) == 0 || strcasecmp(s->c_str(), stem.c_str()) == 0);
        if (match) return LoadFile(p);
      }
    std::string shown = s->size() > 80 ? s->substr(0, 80) + "..." : *s;
    return "no loop named \"" + EscapeControl(shown) + "\" in the library";
  }
  int64_t index = 0;
  if (std::string p = WantsOneWhole(args, 0, count - 1, &index); !p.empty()) return p;
  return LoadFile(library_[static_cast<size_t>(index)]);
}

std::string LiveControl::Step(int delta) {
  if (library_.empty()) return "the library has no loops";
  const int count = static_cast<int>(library_.size());
  int at = -1;
  for (int i = 0; i < count && at < 0; ++i)
    if (SameFile(library_[static_cast<size_t>(i)], loaded_file_)) at = i;
  const int next = at < 0 ? (delta > 0 ? 0 : count - 1) : ((at + delta) % count + count) % count;
  return LoadFile(library_[static_cast<size_t>(next)]);
}

std::string LiveControl::Open(const Args& args) {
  if (args.size() != 1 || !std::holds_alternative<std::string>(args[0])) return "wants one path (a string)";
  const std::string& path = std::get<std::string>(args[0]);
  if (path.empty()) return "wants a path, not an empty string";
  if (const std::string why = WhyNotReadable(path); !why.empty()) return EscapeControl(path) + ": " + why;
  return LoadFile(path);
}

std::string LiveControl::LoadFile(const fs::path& file) {
  std::string why;
  if (!host_.LoadLoop(file, &why)) return why + " (the loop on screen plays on)";
  loaded_file_ = file;
  fraction_ = 0.0;
  return {};
}

std::string LiveControl::SetText(const Args& args) {
  if (args.size() != 1 || !std::holds_alternative<std::string>(args[0])) return "wants one string";
  std::string text, why;
  if (!ToLoopText(std::get<std::string>(args[0]), &text, &why)) return "the text " + why;
  if (text.size() > kMaxTextBytes) return "wants at most " + std::to_string(kMaxTextBytes) + " characters";
  return host_.ApplyEdit(engine::SetStringSettingEdit(Setting::text_string, std::move(text)));
}

std::string LiveControl::SetSetting(const Args& args) {
  if (args.size() != 2 || !std::holds_alternative<std::string>(args[0])) return "wants a setting's name and a value";
  const std::string& key = std::get<std::string>(args[0]);
  const auto s = engine::FindSetting(key);
  if (!s) {
    std::string shown = key.size() > 80 ? key.substr(0, 80) + "..." : key;
    return "no setting named \"" + EscapeControl(shown) + "\"";
  }
  const LiveArg& v = args[1];
  // The same edit the editor makes: checked, then assets and glyphs loaded again as it asks.
  switch (engine::kSettingCatalogue[static_cast<size_t>(*s)].type) {
    case SettingType::F: {
      double x = 0;
      if (!Number(v, &x)) return key + " wants a number, not " + Described(v);
      if (std::fabs(x) > kMaxTrackValue) return key + " wants a number within 1e7 either way";
      return host_.ApplyEdit(engine::SetFloatSettingEdit(*s, static_cast<float>(x)));
    }
    case SettingType::I: {
      int64_t i = 0;
      if (!Whole(v, &i)) return key + " wants a whole number, not " + Described(v);
      return host_.ApplyEdit(engine::SetIntSettingEdit(*s, static_cast<int32_t>(i)));
    }
    case SettingType::S: {
      if (!std::holds_alternative<std::string>(v)) return key + " wants a string, not " + Described(v);
      std::string text, why;
      if (!ToLoopText(std::get<std::string>(v), &text, &why)) return key + " " + why;
      if (text.size() > engine::kMaxSettingBytes) return key + " is too long";
      return host_.ApplyEdit(engine::SetStringSettingEdit(*s, std::move(text)));
    }
  }
  return {};
}

std::string LiveControl::HoldTrack(const Args& args) {
  if (args.size() != 2 || !std::holds_alternative<std::string>(args[0])) return "wants a track's name and a number";
  const std::string& key = std::get<std::string>(args[0]);
  const auto t = engine::FindTrack(key);
  if (!t) {
    std::string shown = key.size() > 80 ? key.substr(0, 80) + "..." : key;
    return "no track named \"" + EscapeControl(shown) + "\"";
  }
  double x = 0;
  if (!Number(args[1], &x)) return key + " wants a number, not " + Described(args[1]);
  if (std::fabs(x) > kMaxTrackValue) return key + " wants a number within 1e7 either way";
  held_[static_cast<size_t>(*t)] = true;
  held_values_[static_cast<size_t>(*t)] = static_cast<float>(x);
  return {};
}

std::string LiveControl::Release(const Args& args) {
  if (args.empty()) {
    held_.reset();
    return {};
  }
  if (args.size() != 1 || !std::holds_alternative<std::string>(args[0]))
    return "wants a track's name, or nothing for all";
  const std::string& key = std::get<std::string>(args[0]);
  const auto t = engine::FindTrack(key);
  if (!t) {
    std::string shown = key.size() > 80 ? key.substr(0, 80) + "..." : key;
    return "no track named \"" + EscapeControl(shown) + "\"";
  }
  held_[static_cast<size_t>(*t)] = false;
  return {};
}

void LiveControl::BeforeTick(double now) {
  placed_ = false;
  if (!beat_.Locked() || vl::IsOn(scene_.stop_requested) || !engine::HasFramesToPlay(scene_)) return;
  // On the beat the loop goes round by itself, whatever the loop switch says: the music does.
  scene_.current_frame = beat_.FrameAt(now, engine::PlayedFrameCount(scene_));
  scene_.playing = 1;
  placed_ = true;
}

void LiveControl::HoldTracks(SceneState& scene) const {
  if (held_.none()) return;
  for (int i = 0; i < engine::kTrackCount; ++i)
    if (held_[static_cast<size_t>(i)]) scene.work[static_cast<Track>(i)] = held_values_[static_cast<size_t>(i)];
  if (held_[static_cast<size_t>(Track::wave_phase)])
    scene.wave_phase = TruncToInt(held_values_[static_cast<size_t>(Track::wave_phase)]);
}

void LiveControl::AfterTick(int drawn) {
  last_drawn_ = drawn;
  if (placed_ || speed_ == 1.0f) {
    fraction_ = 0.0;
    return;
  }
  const int end = engine::PlayedFrameCount(scene_);
  // Playback did not step (stopped, or nothing to play): neither does the speed.
  if (end < 1 || scene_.current_frame == drawn) return;
  const double pos = drawn + fraction_ + speed_;
  const double whole = std::floor(pos);
  fraction_ = pos - whole;
  if (whole < end) {
    // Replaces playback's one-frame step, and undoes its stop at the end when the slower speed
    // has not reached the end yet.
    scene_.current_frame = static_cast<int>(whole);
    scene_.playing = 1;
  } else {
    // Past the end: playback's own rewind, which the loop switch restarts.
    scene_.current_frame = 0;
    scene_.playing = 0;
    fraction_ = 0.0;
  }
}

LiveMessage LiveControl::State() const {
  const bool has_frames = engine::HasFramesToPlay(scene_);
  const bool playing = has_frames && !vl::IsOn(scene_.stop_requested) &&
                       (scene_.playing != 0 || vl::IsOn(scene_.loop_sequence) || placed_);
  LiveMessage m;
  m.address = "/vantaloop/state";
  m.args = {scene_.sequence_file_name,
            static_cast<int32_t>(last_drawn_),
            static_cast<int32_t>(has_frames ? engine::PlayedFrameCount(scene_) : 0),
            static_cast<int32_t>(playing ? 1 : 0),
            speed_,
            static_cast<float>(beat_.Tempo()),
            static_cast<int32_t>(beat_.Locked() ? beat_.BeatsPerLoop() : 0)};
  return m;
}

}  // namespace vl::live
