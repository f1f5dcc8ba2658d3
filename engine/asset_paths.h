// Finding the files a loop names. Loops were authored on Windows: names may use backslashes
// and another letter case than the file on disk. Every loader resolves names through here.
// No OpenGL, no Qt.
#pragma once
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/load_error.h"

namespace vl {

// The folder that relative asset names are relative to: the library folder set by the program
// (--library DIR), else $VANTALOOP_HOME, else the folder of the running executable.
std::filesystem::path ProgramFolder();
void SetProgramFolder(const std::filesystem::path& folder);

// Resolves an asset name as a loop stores it. Relative names are taken against base (by default
// the program folder); '\' is read as '/'; the exact name is tried first, then a case-insensitive
// match of each path component. Names containing "http://" are never fetched and do not resolve.
std::optional<std::filesystem::path> ResolveAssetPath(std::string_view name);
std::optional<std::filesystem::path> ResolveAssetPath(std::string_view name,
                                                      const std::filesystem::path& base);

// Reads a whole file, refusing files larger than max_bytes. The error names the file.
Expected<std::vector<uint8_t>> ReadFileBytes(const std::filesystem::path& path,
                                             uint64_t max_bytes = uint64_t{1} << 30);

}  // namespace vl
