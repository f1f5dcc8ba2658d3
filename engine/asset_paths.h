// Finding the files a loop names. Loops were authored on Windows: names may use backslashes
// and another letter case than the file on disk. Every loader resolves names through here.
// No OpenGL, no Qt.
#pragma once
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/load_error.h"

namespace vl {

// The folder that relative asset names are relative to: the library folder set by the program
// (--library DIR), else $VANTALOOP_HOME, else DataFolderBeside(the running executable's folder).
std::filesystem::path ProgramFolder();

// Where the data of programs in exe_folder lies: exe_folder itself when it has a Sequences folder
// (the build lays the data beside the programs), else exe_folder/../share/vantaloop when that is a
// folder (an installed package: PREFIX/bin and PREFIX/share/vantaloop), else exe_folder.
std::filesystem::path DataFolderBeside(const std::filesystem::path& exe_folder);
void SetProgramFolder(const std::filesystem::path& folder);

// The user's data folder: $XDG_DATA_HOME/Vantaloop when that variable holds an absolute path
// (a relative one is ignored, as the XDG rules say), else $HOME/.local/share/Vantaloop. Empty
// when neither gives an absolute path, so nothing is ever looked for in the current folder.
// It holds the user's own loops (Sequences) and the assets they name, in the same sub-folders as
// the bundled library (Textures, Images, Particles, model).
std::filesystem::path UserDataFolder(const char* xdg_data_home, const char* home);
std::filesystem::path UserDataFolder();  // from the environment

// The folder a loop's asset name is taken relative to: the program folder when the name is found
// there, else the user's data folder when it is found there, else the program folder (so a
// message about a missing file names the library). Bundled files win over the user's, so a file a
// user drops in their folder cannot change what a bundled loop shows.
std::filesystem::path AssetBaseFor(std::string_view name);
std::filesystem::path PictureBaseFor(std::string_view name, int32_t custom_image_mode);

// Resolves an asset name as a loop stores it. Relative names are taken against base (by default
// the program folder); '\' is read as '/'; the exact name is tried first, then a case-insensitive
// match of each path component. Names containing "http://" are never fetched and do not resolve.
std::optional<std::filesystem::path> ResolveAssetPath(std::string_view name);
std::optional<std::filesystem::path> ResolveAssetPath(std::string_view name, const std::filesystem::path& base);

// The same, saying why a name does not resolve: "not a regular file" when it names a folder,
// FIFO, device or socket (none of which is ever opened), else "no such file under BASE" ("no such
// file" for absolute names). The error names the file as given.
Expected<std::filesystem::path> FindAssetFile(std::string_view name, const std::filesystem::path& base);

// Picture names follow the scene's custom_image_mode. Below kPictureNamesAsGiven a name is always
// taken as base (the program folder) + "/" + name: an absolute name is looked for inside the
// program folder (so "/home/me/a.jpg" fails unless the folder has home/me/a.jpg) and a name with a
// drive letter never resolves. At kPictureNamesAsGiven or above the name is used as given:
// absolute names as they are, relative ones against base (the program's current folder). Either
// way backslashes are read as '/', letter case is matched as ResolveAssetPath does, and names
// containing "http://" do not resolve.
inline constexpr int32_t kPictureNamesAsGiven = 2;
std::optional<std::filesystem::path> ResolvePicturePath(std::string_view name, int32_t custom_image_mode,
                                                        const std::filesystem::path& base);

// The same, saying why a picture name does not resolve (see FindAssetFile).
Expected<std::filesystem::path> FindPictureFile(std::string_view name, int32_t custom_image_mode,
                                                const std::filesystem::path& base);

// Reads a whole file, refusing files larger than max_bytes before reading any, and anything that
// is not a regular file ("not a regular file") without blocking on it. The error names the file.
Expected<std::vector<uint8_t>> ReadFileBytes(const std::filesystem::path& path, uint64_t max_bytes = uint64_t{1} << 30);

// Writes a whole file and says so only when every byte reached it: every write and the final
// close are checked. A file (or nothing) at `path` is replaced through a temporary file beside it,
// so a failed write leaves the old file as it was and no partial one. A device or FIFO at `path`
// (/dev/stdout, /dev/full, a pipe) is written to directly, never replaced. The error names the
// file and the reason ("No space left on device").
Status WriteFileBytes(const std::filesystem::path& path, std::span<const uint8_t> bytes);

}  // namespace vl
