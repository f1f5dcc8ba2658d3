// Reading a loop file into a checked, self-contained record, before anything in the scene is
// touched: a damaged file is refused whole and leaves the playing loop as it was.
// No OpenGL, no Qt.
#pragma once
#include <bitset>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "engine/load_error.h"
#include "engine/scene_state.h"

namespace vl::engine {

inline constexpr int32_t kMaxKeyframeCount = kKeyListSize - 1;  // keys 0 .. keyframe_count
inline constexpr int32_t kMaxKeyFrame = kFrameSlots - 1;

// Everything one file holds, as read. Settings not present in the file keep their load defaults
// here and are flagged absent in `present`.
struct ParsedSequence {
  std::string path;
  float version = 0.0f;
  SequenceSettings settings;
  std::bitset<kSettingCount> present;
  std::array<float, kTrackCount> initial{};
  std::bitset<kTrackCount> initial_present;
  bool has_fog_near_working = false;
  float fog_near_working = 0.0f;
  int32_t keyframe_count = 0;
  std::vector<int32_t> key_frames;  // keyframe_count + 1 entries
  int key_groups = 0;               // groups per key record for this version
  std::vector<float> key_floats;    // key_groups * 3 floats per key, in file order
  // What reading it noticed without refusing it (a loop source's repeated names, say), each
  // "FILE: line L, column C: ..." ready to show.
  std::vector<std::string> warnings;
};

// Parses and validates a whole file image. Errors carry the file, byte offset and field.
Expected<ParsedSequence> ParseSequence(std::span<const uint8_t> bytes, const std::string& path);
Expected<ParsedSequence> ReadSequenceFile(const std::filesystem::path& path);

}  // namespace vl::engine
