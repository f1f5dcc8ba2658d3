#include "engine/sequence_text.h"

#include "engine/asset_paths.h"

#include <bit>
#include <bitset>
#include <new>
#include <cctype>
#include <memory>
#include <set>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/keyframes.h"
#include "engine/sequence_format.h"
#include "engine/sequence_reader.h"
#include "engine/sequence_writer.h"
#include "engine/asset_paths.h"

namespace vl::engine {
namespace {

std::bitset<kTrackCount> KeyedTracks(float version) {
  std::bitset<kTrackCount> keyed;
  for (const KeyGroup& g : KeyLayout())
    if (IsPresent(g.gate, version))
      for (Track t : g.tracks) keyed.set(static_cast<size_t>(t));
  return keyed;
}

bool SameBits(float a, float b) { return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b); }

void AppendFloat(std::string& out, float v) {
  char buf[32];
  if (std::isnan(v)) std::snprintf(buf, sizeof buf, std::signbit(v) ? "-nan" : "nan");
  else if (std::isinf(v)) std::snprintf(buf, sizeof buf, v > 0 ? "inf" : "-inf");
  else std::snprintf(buf, sizeof buf, "%.9g", static_cast<double>(v));
  out += buf;
}

void AppendQuoted(std::string& out, const std::string& bytes) {
  out += '"';
  for (unsigned char c : bytes) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    }
  }
  out += '"';
}

}  // namespace

std::string DecompileSequence(const SceneState& scene) {
  std::string out = "# Vantaloop loop source\nversion ";
  AppendFloat(out, scene.sequence_version);
  out += "\n\n[settings]\n";
  for (int i = 0; i < kSettingCount; ++i) {
    const auto s = static_cast<Setting>(i);
    out += SettingName(s);
    out += " = ";
    switch (kSettingCatalogue[static_cast<size_t>(i)].type) {
      case SettingType::F: AppendFloat(out, *scene.settings.FloatField(s)); break;
      case SettingType::I: out += std::to_string(*scene.settings.IntField(s)); break;
      case SettingType::S: AppendQuoted(out, *scene.settings.StringField(s)); break;
    }
    out += '\n';
  }
  // The particle fog start is also stored as a working value in version 6 files.
  out += "particle_fog_near = ";
  AppendFloat(out, scene.work.particle_fog_near);
  out += "\n\n[initial]\n";
  for (int t = 0; t < kTrackCount; ++t) {
    out += kTrackCatalogue[static_cast<size_t>(t)].name;
    out += " = ";
    AppendFloat(out, scene.tracks[static_cast<size_t>(t)].initial_value);
    out += '\n';
  }
  const auto keyed = KeyedTracks(scene.sequence_version);
  const auto& frames = *scene.keyframe_frame;
  for (int32_t k = 0; k <= scene.keyframe_count; ++k) {
    const int32_t frame = frames[static_cast<size_t>(k)];
    out += "\n[key]\nframe = " + std::to_string(frame) + "\n";
    for (int t = 0; t < kTrackCount; ++t) {
      if (!keyed.test(static_cast<size_t>(t))) continue;
      const ParameterTrack& track = scene.tracks[static_cast<size_t>(t)];
      const float value = track.key_values[frame];
      const float before = k == 0 ? track.initial_value : track.key_values[frames[static_cast<size_t>(k) - 1]];
      if (SameBits(value, before)) continue;
      out += kTrackCatalogue[static_cast<size_t>(t)].name;
      out += " = ";
      AppendFloat(out, value);
      out += '\n';
    }
  }
  return out;
}

namespace {

class SourceParser {
 public:
  SourceParser(const std::string& name, SceneState& scene, std::vector<std::string>* warnings)
      : name_(name), scene_(scene), warnings_(warnings) {}

  Status Run(const std::string& text) {
    // A byte order mark from an editor that writes one is not part of the first line.
    size_t pos = text.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0;
    while (pos <= text.size()) {
      // Lines end with LF, CR LF or a lone CR (old Mac editors).
      size_t end = text.find_first_of("\r\n", pos);
      if (end == std::string::npos) end = text.size();
      ++line_;
      const std::string raw = text.substr(pos, end - pos);
      indent_ = static_cast<int>(raw.find_first_not_of(" \t") == std::string::npos ? 0 : raw.find_first_not_of(" \t"));
      key_column_ = value_column_ = indent_ + 1;
      // A NUL would end the value early wherever the text is handled as a C string.
      if (const size_t nul = raw.find('\0'); nul != std::string::npos)
        return ErrorAt(static_cast<int>(nul) + 1, "NUL byte in the source");
      if (auto err = Line(Trim(raw))) return err;
      pos = end + (end + 1 < text.size() && text[end] == '\r' && text[end + 1] == '\n' ? 2 : 1);
    }
    return Finish();
  }

 private:
  enum class Section { kNone, kSettings, kInitial, kKey };

  static std::string Trim(std::string s) {
    while (!s.empty() && (s.back() == '\r' || s.back() == ' ' || s.back() == '\t')) s.pop_back();
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    return s.substr(i);
  }

  // Source text quoted in a message: at most 60 bytes of it, so that a runaway line (a binary
  // file given as source, say) does not flood the terminal. Control bytes are escaped when the
  // error is printed.
  static std::string Quote(const std::string& s) {
    constexpr size_t kShown = 60;
    if (s.size() <= kShown) return "'" + s + "'";
    return "'" + s.substr(0, kShown) + "'... (" + std::to_string(s.size()) + " bytes)";
  }

  // Errors point at the line and the column (from 1) of the key, or of the value when the value
  // is what is wrong.
  LoadError Error(const std::string& message) const { return ErrorAt(key_column_, message); }
  LoadError ValueError(const std::string& message) const { return ErrorAt(value_column_, message); }
  LoadError ErrorAt(int column, const std::string& message) const {
    return LoadError{name_, message, std::nullopt,
                     "line " + std::to_string(line_) + ", column " + std::to_string(column)};
  }
  // Where the text after `from` (an index into the trimmed line) starts, as a column.
  int ColumnAfter(const std::string& line, size_t from) const {
    size_t i = from;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    return indent_ + static_cast<int>(i) + 1;
  }

  static bool ParseFloat(const std::string& s, float& out) {
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    out = std::strtof(s.c_str(), &end);
    return end && *end == '\0';
  }

  // A number for `what`: refused when it is not one or no float can hold it (1e999 would become
  // infinity silently); nan and inf written as such are taken, with a warning.
  Status Float(const std::string& value, float& out, const std::string& what) {
    float v;
    if (!ParseFloat(value, v)) return ValueError("bad number " + Quote(value) + " for " + what);
    if (errno == ERANGE && std::isinf(v))
      return ValueError("number " + Quote(value) + " for " + what +
                        " is too large for a float (at most 3.40282347e+38)");
    if (!std::isfinite(v)) Warn(value_column_, what + " is " + value + ", which no frame can draw");
    out = v;
    return std::nullopt;
  }

  void Warn(int column, const std::string& message) {
    if (warnings_) warnings_->push_back(ErrorAt(column, message).ToString());
  }

  // A name given twice in one section: the later value wins, as it always has, but it is said.
  void NoteName(const std::string& key) {
    if (!names_in_section_.insert(key).second)
      Warn(key_column_, Quote(key) + " is set again in this section; the last value is used");
  }

  static bool ParseInt(const std::string& s, int32_t& out) {
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(s.c_str(), &end, 10);
    if (!end || *end != '\0' || errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return false;
    out = static_cast<int32_t>(v);
    return true;
  }

  std::optional<std::string> ParseString(const std::string& s) const {
    if (s.size() < 2 || s.front() != '"' || s.back() != '"') return std::nullopt;
    std::string out;
    for (size_t i = 1; i + 1 < s.size(); ++i) {
      char c = s[i];
      if (c == '"') return std::nullopt;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (i + 2 >= s.size()) return std::nullopt;
      char e = s[++i];
      if (e == '"' || e == '\\') {
        out += e;
      } else if (e == 'x' && i + 3 < s.size()) {
        char hex[3] = {s[i + 1], s[i + 2], 0};
        char* end = nullptr;
        long v = std::strtol(hex, &end, 16);
        if (end != hex + 2) return std::nullopt;
        out += static_cast<char>(v);
        i += 2;
      } else {
        return std::nullopt;
      }
    }
    return out;
  }

  Status Line(const std::string& line) {
    if (line.empty() || line[0] == '#') return std::nullopt;
    if (line == "[settings]") return Enter(Section::kSettings);
    if (line == "[initial]") return Enter(Section::kInitial);
    if (line == "[key]") return Enter(Section::kKey);
    if (line.rfind("version", 0) == 0 && section_ == Section::kNone) {
      value_column_ = ColumnAfter(line, 7);
      if (!ParseFloat(Trim(line.substr(7)), scene_.sequence_version) || !std::isfinite(scene_.sequence_version))
        return ValueError("bad version number");
      have_version_ = true;
      return std::nullopt;
    }
    const size_t eq = line.find('=');
    if (eq == std::string::npos) return Error("expected 'name = value', got " + Quote(line));
    const std::string key = Trim(line.substr(0, eq));
    const std::string value = Trim(line.substr(eq + 1));
    value_column_ = ColumnAfter(line, eq + 1);
    switch (section_) {
      case Section::kNone: return Error(Quote(key) + " before any [settings], [initial] or [key] section");
      case Section::kSettings: return SettingLine(key, value);
      case Section::kInitial: {
        auto t = FindTrack(key);
        if (!t) return Error("unknown track " + Quote(key));
        NoteName(key);
        return Float(value, scene_.track(*t).initial_value, key);
      }
      case Section::kKey: return KeyLine(key, value);
    }
    return std::nullopt;
  }

  Status Enter(Section s) {
    if (!have_version_) return Error("the first line must be 'version N'");
    names_in_section_.clear();
    if (s != Section::kKey && !sections_seen_.insert(static_cast<int>(s)).second)
      Warn(key_column_, std::string("a second ") + (s == Section::kSettings ? "[settings]" : "[initial]") +
                            " section; its values are taken as if they were in the first");
    if (section_ == Section::kKey) {
      if (auto err = CloseKey()) return err;
    }
    if (s != Section::kKey && !keys_.empty()) return Error("[settings] and [initial] must come before the keys");
    if (s == Section::kKey) {
      if (keys_.size() > static_cast<size_t>(kMaxKeyframeCount)) return Error("too many keys (at most 20,000)");
      // A key starts from the previous key's values (the first from the initial values).
      current_ = keys_.empty() ? Initials() : keys_.back().values;
      current_frame_ = -1;
    }
    section_ = s;
    return std::nullopt;
  }

  std::array<float, kTrackCount> Initials() const {
    std::array<float, kTrackCount> v{};
    for (int t = 0; t < kTrackCount; ++t)
      v[static_cast<size_t>(t)] = scene_.tracks[static_cast<size_t>(t)].initial_value;
    return v;
  }

  Status SettingLine(const std::string& key, const std::string& value) {
    if (key == "particle_fog_near") {
      NoteName(key);
      return Float(value, scene_.work.particle_fog_near, key);
    }
    auto s = FindSetting(key);
    if (!s) return Error("unknown setting " + Quote(key));
    NoteName(key);
    seen_.set(static_cast<size_t>(*s));
    switch (kSettingCatalogue[static_cast<size_t>(*s)].type) {
      case SettingType::F:
        if (auto err = Float(value, *scene_.settings.FloatField(*s), key)) return err;
        break;
      case SettingType::I:
        if (!ParseInt(value, *scene_.settings.IntField(*s)))
          return ValueError("bad integer " + Quote(value) + " for " + key);
        break;
      case SettingType::S: {
        auto str = ParseString(value);
        if (!str) return ValueError("bad string for " + key + " (expected \"...\" with \\\" \\\\ \\xNN escapes)");
        *scene_.settings.StringField(*s) = *str;
        break;
      }
    }
    return std::nullopt;
  }

  Status KeyLine(const std::string& key, const std::string& value) {
    NoteName(key);
    if (key == "frame") {
      int32_t f;
      if (!ParseInt(value, f) || f < 0 || f > kMaxKeyFrame) return ValueError("key frame must be 0 .. 9999");
      if (!keys_.empty() && f <= keys_.back().frame)
        Warn(value_column_, "key " + std::to_string(keys_.size()) + " is on frame " + std::to_string(f) +
                                ", not after the key before it (frame " + std::to_string(keys_.back().frame) + ")");
      current_frame_ = f;
      return std::nullopt;
    }
    auto t = FindTrack(key);
    if (!t) return Error("unknown track " + Quote(key));
    if (!KeyedTracks(scene_.sequence_version).test(static_cast<size_t>(*t)))
      return Error("track " + Quote(key) + " has no key values in loops of this version");
    return Float(value, current_[static_cast<size_t>(*t)], key);
  }

  Status CloseKey() {
    if (current_frame_ < 0) return Error("a [key] needs a 'frame = N' line");
    keys_.push_back({current_frame_, current_});
    return std::nullopt;
  }

  Status Finish() {
    if (!have_version_) return Error("empty source: the first line must be 'version N'");
    if (section_ == Section::kKey) {
      if (auto err = CloseKey()) return err;
    }
    if (keys_.empty()) return Error("a loop needs at least one [key]");
    // Keys after the first that start a segment must not lie on frame 0.
    for (size_t k = 1; k + 1 < keys_.size(); ++k)
      if (keys_[k].frame == 0) return Error("key " + std::to_string(k) + " starts a segment on frame 0");
    for (int i = 0; i < kSettingCount; ++i) {
      // A name length left out is the length of its name.
      const std::string name = kSettingCatalogue[static_cast<size_t>(i)].name;
      const std::string suffix = "_length";
      if (seen_.test(static_cast<size_t>(i)) || name.size() <= suffix.size() ||
          name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
        continue;
      auto base = FindSetting(name.substr(0, name.size() - suffix.size()));
      if (base && scene_.settings.StringField(*base))
        *scene_.settings.FloatField(static_cast<Setting>(i)) =
            static_cast<float>(scene_.settings.StringField(*base)->size());
    }
    scene_.keyframe_count = static_cast<int32_t>(keys_.size()) - 1;
    auto& frames = *scene_.keyframe_frame;
    for (size_t k = 0; k < keys_.size(); ++k) {
      frames[k] = keys_[k].frame;
      for (int t = 0; t < kTrackCount; ++t)
        scene_.tracks[static_cast<size_t>(t)].key_values[keys_[k].frame] = keys_[k].values[static_cast<size_t>(t)];
    }
    return std::nullopt;
  }

  struct Key {
    int32_t frame;
    std::array<float, kTrackCount> values;
  };

  std::string name_;
  SceneState& scene_;
  std::vector<std::string>* warnings_;
  std::set<std::string> names_in_section_;
  std::set<int> sections_seen_;
  int line_ = 0;
  int indent_ = 0;        // leading blanks of the current line
  int key_column_ = 1;    // where the current line's name starts
  int value_column_ = 1;  // where its value starts
  bool have_version_ = false;
  Section section_ = Section::kNone;
  std::bitset<kSettingCount> seen_;
  std::vector<Key> keys_;
  std::array<float, kTrackCount> current_{};
  int32_t current_frame_ = -1;
};

}  // namespace

Status CompileSequence(const std::string& text, const std::string& source_name, SceneState& scene,
                       std::vector<std::string>* warnings) {
  ResetToLoadDefaults(scene);
  ClearKeyframes(scene);
  SourceParser parser(source_name, scene, warnings);
  try {
    return parser.Run(text);
  } catch (const std::bad_alloc&) { return LoadError{source_name, "not enough memory to compile this source", {}, {}}; }
}

Status CompileSequenceFile(const std::filesystem::path& path, SceneState& scene, std::vector<std::string>* warnings) {
  auto bytes = ReadFileBytes(path, kMaxSourceBytes);
  if (!bytes) return bytes.error();
  const std::string text(bytes->begin(), bytes->end());
  bytes->clear();
  bytes->shrink_to_fit();
  return CompileSequence(text, path.string(), scene, warnings);
}

bool LooksLikeLoopSource(std::string_view bytes) {
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  const size_t a = bytes.find_first_not_of(" \t\r\n");
  return a != std::string_view::npos && (bytes.substr(a, 7) == "version" || bytes[a] == '#');
}

namespace {

// Loop files start with their version as a little-endian float: 1 to 6 in every file written so
// far. Text read as such a float is never in that range ("vers" is about 1.9e31, four blanks 1e-19).
bool StartsWithLoopVersion(std::string_view bytes) {
  if (bytes.size() < 4) return false;
  uint32_t bits = 0;
  for (int i = 3; i >= 0; --i) bits = bits << 8 | static_cast<uint8_t>(bytes[static_cast<size_t>(i)]);
  float v;
  std::memcpy(&v, &bits, sizeof v);
  return std::isfinite(v) && v >= 1.0f && v <= 100.0f;
}

bool HasExtension(const std::filesystem::path& path, const char* extension) {
  std::string e = path.extension().string();
  for (char& c : e) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return e == extension;
}

}  // namespace

LoopFormChoice ChooseLoopForm(const std::filesystem::path& path, std::string_view bytes) {
  const bool lqf = HasExtension(path, ".lqf");
  const bool txt = HasExtension(path, ".txt");
  const bool version = StartsWithLoopVersion(bytes);
  if (LooksLikeLoopSource(bytes) && !(lqf && version))
    return {LoopForm::kSource, lqf ? "read as a loop source, not as a loop file: it starts as a loop source" : ""};
  if (version)
    return {LoopForm::kLoopFile, lqf ? "" : "read as a loop file: it starts with a loop file's version number"};
  if (lqf) return {LoopForm::kLoopFile, ""};
  return {LoopForm::kSource, txt ? "" : "read as a loop source: it does not start with a loop file's version number"};
}

Expected<ParsedSequence> ReadLoopFile(const std::filesystem::path& path) {
  // Loop files are at most about 20 MB (20,000 keys of every track); anything far larger is
  // refused before it is read.
  auto bytes = ReadFileBytes(path, uint64_t{1} << 30);
  if (!bytes) return bytes.error();
  const std::string_view view(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  if (view.find_first_not_of(" \t\r\n") == std::string_view::npos)
    // An editor that truncates before writing leaves an empty file for a moment: say so, rather
    // than where reading it ran out.
    return LoadError{path.string(), view.empty() ? "the file is empty" : "the file is empty: only blank lines", {}, {}};
  const LoopFormChoice choice = ChooseLoopForm(path, view);
  auto noted = [&](LoadError e) {
    if (!choice.why.empty()) e.message += " (" + choice.why + ")";
    return e;
  };
  if (choice.form == LoopForm::kLoopFile) {
    auto parsed = ParseSequence(*bytes, path.string());
    if (!parsed) return noted(parsed.error());
    return parsed;
  }
  if (bytes->size() > kMaxSourceBytes)
    return noted(
        LoadError{path.string(), "loop source larger than " + std::to_string(kMaxSourceBytes >> 20) + " MB", {}, {}});
  auto scene = std::make_unique<SceneState>();
  std::vector<std::string> warnings;
  if (auto err = CompileSequence(std::string(view), path.string(), *scene, &warnings)) return noted(*err);
  const std::vector<uint8_t> written = WriteSequence(*scene, scene->sequence_version);
  auto parsed = ParseSequence(written, path.string());
  if (!parsed) return LoadError{path.string(), "does not make a valid loop: " + parsed.error().message, {}, {}};
  parsed->warnings = std::move(warnings);
  return parsed;
}

}  // namespace vl::engine
