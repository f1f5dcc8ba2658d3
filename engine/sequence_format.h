// The layout of a loop file (.lqf): a flat little-endian stream with no magic number. Its first
// field is a version float, and later fields appear or not by comparing that float with 3, 4, 5
// and 6. The reader, the writer and the text form all walk these two tables. No OpenGL, no Qt.
#pragma once
#include <array>
#include <cstdint>
#include <span>

#include "engine/scene_state.h"

namespace vl::engine {

// When a field is present, as a comparison of the version float ("always" holds even for NaN).
enum class VersionGate : uint8_t { Always, AtLeast3, AtLeast4, AtLeast5, AtLeast6 };

inline bool IsPresent(VersionGate gate, float version) {
  switch (gate) {
    case VersionGate::Always: return true;
    case VersionGate::AtLeast3: return version >= 3.0f;
    case VersionGate::AtLeast4: return version >= 4.0f;
    case VersionGate::AtLeast5: return version >= 5.0f;
    case VersionGate::AtLeast6: return version >= 6.0f;
  }
  return false;
}

enum class HeaderFieldKind : uint8_t {
  kSetting,        // one setting, typed by the setting catalogue (float32, int32 or string)
  kInitialValues,  // a run of float32 initial values of consecutive tracks
  kWorkingValue,   // a float32 written to a track's working value (particle_fog_near)
  kIgnored,        // an int32 read and discarded
  kKeyframeCount,  // int32 keyframe_count
};

struct HeaderField {
  HeaderFieldKind kind;
  VersionGate gate;
  Setting setting;  // kSetting
  Track first;      // kInitialValues, kWorkingValue
  uint8_t count;    // kInitialValues
};

// The header, in file order. Some settings appear more than once; the last value read remains.
std::span<const HeaderField> HeaderLayout();

// One key record: an int32 frame number, then groups of three float32 each naming up to three
// tracks. Where a group names a track twice, the later float overwrites the earlier one.
struct KeyGroup {
  VersionGate gate;
  std::array<Track, 3> tracks;
};
inline constexpr int kKeyGroupCount = 80;
std::span<const KeyGroup> KeyLayout();

// Bytes of one key record for a version: 964 (>= 6), 952 (>= 5) or 700.
int KeyRecordBytes(float version);
int KeyGroupsPresent(float version);

}  // namespace vl::engine
