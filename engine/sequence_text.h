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
#include <vector>

#include "engine/load_error.h"
#include "engine/scene_state.h"
#include "engine/sequence_reader.h"

namespace vl::engine {

// The source text of the loop held by the scene (as loaded from a file of the given version).
std::string DecompileSequence(const SceneState& scene);

// Fills `scene` (which it resets) from source text; the scene's sequence_version is the version
// the file should be written with. Errors name the file, the line and the column. A UTF-8 byte
// order mark is skipped; lines end with LF, CR LF or a lone CR. NUL bytes and numbers no float can
// hold are refused; a name set twice in one section, a section given twice and values written as
// nan or inf are taken but noted in `warnings` ("FILE: line L, column C: ...").
Status CompileSequence(const std::string& text, const std::string& source_name, SceneState& scene,
                       std::vector<std::string>* warnings = nullptr);

// Loop sources run to kilobytes, a few MB at the very most; a larger file is refused before it is
// read. (Only a loop of thousands of keys that each change every value would come near this.)
inline constexpr uint64_t kMaxSourceBytes = uint64_t{64} << 20;
// Reads a source file (a regular file of at most kMaxSourceBytes) and compiles it.
Status CompileSequenceFile(const std::filesystem::path& path, SceneState& scene,
                           std::vector<std::string>* warnings = nullptr);

// Whether bytes are a loop source by their look: text whose first non-blank characters (after a
// UTF-8 byte order mark) are "version" or a '#' comment. Loop files start with a binary float.
bool LooksLikeLoopSource(std::string_view bytes);

// Which form a file is read in, decided by its name and its first bytes together: a file that
// starts as a loop source is one, whatever its name (unless a .lqf file starts with a loop file's
// version number); one that starts with a loop file's version number is a loop file; the rest
// follow the name: .lqf files are loop files, everything else is a loop source.
enum class LoopForm { kLoopFile, kSource };
struct LoopFormChoice {
  LoopForm form;
  std::string why;  // for messages: "read as a loop source: it starts with ...", empty when the name says it
};
LoopFormChoice ChooseLoopForm(const std::filesystem::path& path, std::string_view bytes);

// Reads a loop in either form (see ChooseLoopForm), checked whole before anything else is
// touched: a loop file, or a loop source compiled and checked the way `compile` does before it
// writes. An error says which form the file was taken for when its name does not.
Expected<ParsedSequence> ReadLoopFile(const std::filesystem::path& path);

}  // namespace vl::engine
