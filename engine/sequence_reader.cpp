#include "engine/sequence_reader.h"

#include <cstdio>

#include "engine/asset_paths.h"
#include "engine/byte_reader.h"
#include "engine/sequence_format.h"

namespace vl::engine {
namespace {

// Thrown inside the parser only; ParseSequence turns it into a LoadError.
struct ParseFailure {
  uint64_t offset;
  std::string field;
  std::string message;
};

class FieldReader {
 public:
  explicit FieldReader(std::span<const uint8_t> bytes) : r_(bytes) {}

  uint64_t offset() const { return r_.offset(); }
  size_t remaining() const { return r_.remaining(); }

  float F32(const std::string& field) {
    float v;
    if (!r_.Read(v)) Short(field, 4);
    return v;
  }
  // Bulk read of floats already known to be present.
  void Floats(float* out, size_t n) {
    if (!r_.ReadArray(out, n)) Short("key values", n * 4);
  }
  int32_t I32(const std::string& field) {
    int32_t v;
    if (!r_.Read(v)) Short(field, 4);
    return v;
  }

  std::string String(const std::string& field) {
    const uint64_t start = r_.offset();
    bool wide = false;
    uint64_t length = Length(field, /*after_marker=*/false, wide);
    if (wide) length = Length(field, /*after_marker=*/true, wide);
    const uint64_t bytes = wide ? length * 2 : length;
    if (bytes > r_.remaining())
      throw ParseFailure{start, field,
                         "string of " + std::to_string(length) + (wide ? " UTF-16 units" : " bytes") +
                             " is longer than the " + std::to_string(r_.remaining()) + " bytes left in the file"};
    std::string out;
    if (!wide) {
      r_.ReadBytes(static_cast<size_t>(bytes), out);
      return out;
    }
    out.reserve(static_cast<size_t>(length));
    for (uint64_t i = 0; i < length; ++i) {
      uint16_t unit = 0;
      r_.Read(unit);
      out += unit <= 0xFF ? static_cast<char>(unit) : '?';
    }
    return out;
  }

 private:
  [[noreturn]] void Short(const std::string& field, size_t want) {
    throw ParseFailure{
        r_.offset(), field,
        "file ends early: " + std::to_string(want) + " bytes needed, " + std::to_string(r_.remaining()) + " left"};
  }

  // The length prefix: one byte below 0xFF; else 0xFF and a 16-bit length; 0xFFFE there marks a
  // UTF-16 string whose own prefix follows (where 0xFFFE is then a plain length); 0xFFFF is
  // followed by a 32-bit length.
  uint64_t Length(const std::string& field, bool after_marker, bool& wide) {
    uint8_t b;
    if (!r_.Read(b)) Short(field, 1);
    if (b < 0xFF) return b;
    uint16_t w;
    if (!r_.Read(w)) Short(field, 2);
    if (!after_marker && w == 0xFFFE) {
      wide = true;
      return 0;
    }
    if (w < 0xFFFF) return w;
    uint32_t d;
    if (!r_.Read(d)) Short(field, 4);
    return d;
  }

  ByteReader r_;
};

std::string KeyField(int32_t k, const char* what) { return "key " + std::to_string(k) + " " + what; }

}  // namespace

Expected<ParsedSequence> ParseSequence(std::span<const uint8_t> bytes, const std::string& path) {
  ParsedSequence seq;
  seq.path = path;
  FieldReader in(bytes);
  try {
    seq.version = in.F32("sequence_version");
    const float v = seq.version;
    for (const HeaderField& field : HeaderLayout()) {
      if (!IsPresent(field.gate, v)) continue;
      switch (field.kind) {
        case HeaderFieldKind::kSetting: {
          const size_t i = static_cast<size_t>(field.setting);
          const std::string name = SettingName(field.setting);
          switch (kSettingCatalogue[i].type) {
            case SettingType::F: *seq.settings.FloatField(field.setting) = in.F32(name); break;
            case SettingType::I: *seq.settings.IntField(field.setting) = in.I32(name); break;
            case SettingType::S: *seq.settings.StringField(field.setting) = in.String(name); break;
          }
          seq.present.set(i);
          break;
        }
        case HeaderFieldKind::kInitialValues:
          for (int j = 0; j < field.count; ++j) {
            const size_t t = static_cast<size_t>(field.first) + static_cast<size_t>(j);
            seq.initial[t] = in.F32(std::string("initial value of ") + kTrackCatalogue[t].name);
            seq.initial_present.set(t);
          }
          break;
        case HeaderFieldKind::kWorkingValue:
          seq.fog_near_working = in.F32(TrackName(field.first));
          seq.has_fog_near_working = true;
          break;
        case HeaderFieldKind::kIgnored: in.I32("unused int32 after text_lit"); break;
        case HeaderFieldKind::kKeyframeCount: {
          const uint64_t at = in.offset();
          seq.keyframe_count = in.I32("keyframe_count");
          if (seq.keyframe_count < 0 || seq.keyframe_count > kMaxKeyframeCount)
            throw ParseFailure{at, "keyframe_count",
                               "keyframe_count " + std::to_string(seq.keyframe_count) + " is outside 0 .. " +
                                   std::to_string(kMaxKeyframeCount)};
          break;
        }
      }
    }

    // Key records: the whole list must fit in what remains before anything is allocated.
    seq.key_groups = KeyGroupsPresent(v);
    const uint64_t keys = static_cast<uint64_t>(seq.keyframe_count) + 1;
    const uint64_t record = static_cast<uint64_t>(KeyRecordBytes(v));
    if (keys * record > in.remaining())
      throw ParseFailure{in.offset(), "key records",
                         "file ends early: " + std::to_string(keys) + " key records of " + std::to_string(record) +
                             " bytes need " + std::to_string(keys * record) + " bytes, " +
                             std::to_string(in.remaining()) + " left"};
    seq.key_frames.resize(static_cast<size_t>(keys));
    seq.key_floats.resize(static_cast<size_t>(keys) * static_cast<size_t>(seq.key_groups) * 3);
    size_t next = 0;
    for (int32_t k = 0; k <= seq.keyframe_count; ++k) {
      const uint64_t at = in.offset();
      const int32_t frame = in.I32(KeyField(k, "frame"));
      if (frame < 0 || frame > kMaxKeyFrame)
        throw ParseFailure{at, KeyField(k, "frame"),
                           "key frame " + std::to_string(frame) + " is outside 0 .. " + std::to_string(kMaxKeyFrame)};
      // Every segment after the first starts from the frame before its first key.
      if (k >= 1 && k < seq.keyframe_count && frame == 0)
        throw ParseFailure{
            at, KeyField(k, "frame"),
            "segment " + std::to_string(k) + " starts on frame 0; only the first segment may start there"};
      seq.key_frames[static_cast<size_t>(k)] = frame;
      // The size check above guarantees the record's floats are there.
      const size_t floats = static_cast<size_t>(seq.key_groups) * 3;
      in.Floats(&seq.key_floats[next], floats);
      next += floats;
    }
  } catch (const ParseFailure& failure) { return LoadError{path, failure.message, failure.offset, failure.field}; }
  return seq;
}

Expected<ParsedSequence> ReadSequenceFile(const std::filesystem::path& path) {
  // The largest valid file is a long header plus 20,000 key records of 964 bytes; strings may be
  // long, but a loop file above 256 MB is not one we will try to hold.
  auto bytes = ReadFileBytes(path, uint64_t{256} << 20);
  if (!bytes) return bytes.error();
  return ParseSequence(*bytes, path.string());
}

}  // namespace vl::engine
