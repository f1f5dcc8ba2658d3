// The loop source form: a readable, diffable text of a loop (settings by name, initial values by
// track name, keys as a frame plus the values that change), which compiles back to a loop file.
// No OpenGL, no Qt.
//
//   version 6
//   [settings]
//   text_string = "Moxtrel"
//   particle_count = 800
//   [initial]
//   text_rot_x = 0
//   [key]
//   frame = 0
//   [key]
//   frame = 100
//   text_rot_y = 360
//
// Strings are byte strings in double quotes: \" \\ and \xNN escapes. A key lists only the values
// that differ from the previous key (the first key: from the initial values); a value it omits
// stays as it was. Settings and initial values that are omitted take their load defaults, and a
// name length field that is omitted is the length of its name.
#pragma once
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "engine/load_error.h"
#include "engine/scene_state.h"
#include "engine/sequence_reader.h"

namespace vl::engine {

// The source text of the loop held by the scene (as loaded from a file of the given version).
std::string DecompileSequence(const SceneState& scene);

// Fills `scene` (which it resets) from source text; the scene's sequence_version is the version
// the file should be written with. Errors name the file, the line and the column.
Status CompileSequence(const std::string& text, const std::string& source_name, SceneState& scene);

// Loop sources run to kilobytes, a few MB at the very most; a larger file is refused before it is
// read. (Only a loop of thousands of keys that each change every value would come near this.)
inline constexpr uint64_t kMaxSourceBytes = uint64_t{64} << 20;
// Reads a source file (a regular file of at most kMaxSourceBytes) and compiles it.
Status CompileSequenceFile(const std::filesystem::path& path, SceneState& scene);

// Whether bytes read from a file that is not named .lqf are a loop source: text whose first
// non-blank characters are "version" or a '#' comment. Loop files start with a binary float.
bool LooksLikeLoopSource(std::string_view bytes);

// Reads a loop in either form, checked whole before anything else is touched: a .lqf file, or a
// loop source compiled and checked the way `compile` does before it writes. Files named .lqf are
// always read as loop files.
Expected<ParsedSequence> ReadLoopFile(const std::filesystem::path& path);

}  // namespace vl::engine
