// Writing the scene as a loop file: exactly the fields the reader reads, for the version given
// (version 6 carries every field). No OpenGL, no Qt.
#pragma once
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/load_error.h"
#include "engine/scene_state.h"

namespace vl::engine {

inline constexpr float kCurrentSequenceVersion = 6.0f;

// The file image of the scene's settings, initial values and keys. Name length fields are written
// as the scene holds them, so a load -> write -> load round trip keeps the loop exactly.
std::vector<uint8_t> WriteSequence(const SceneState& scene, float version = kCurrentSequenceVersion);

// Writes to a temporary file beside `path` and renames it over, so a failed write loses nothing.
Status WriteSequenceFile(const SceneState& scene, const std::filesystem::path& path,
                         float version = kCurrentSequenceVersion);

// Appends one string with the shortest length prefix of the archive form.
void AppendArchiveString(std::vector<uint8_t>& out, const std::string& bytes);

}  // namespace vl::engine
