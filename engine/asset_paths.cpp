#include "engine/asset_paths.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace vl {
namespace fs = std::filesystem;

namespace {

std::optional<fs::path>& LibraryOverride() {
  static std::optional<fs::path> folder;
  return folder;
}

fs::path ExecutableFolder() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return fs::current_path(ec);
  return exe.parent_path();
}

bool IEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

fs::path ProgramFolder() {
  if (LibraryOverride()) return *LibraryOverride();
  if (const char* home = std::getenv("VANTALOOP_HOME"); home && *home) return fs::path(home);
  return ExecutableFolder();
}

void SetProgramFolder(const fs::path& folder) { LibraryOverride() = folder; }

std::optional<fs::path> ResolveAssetPath(std::string_view name) {
  return ResolveAssetPath(name, ProgramFolder());
}

std::optional<fs::path> ResolveAssetPath(std::string_view name, const fs::path& base) {
  if (name.empty() || name.find("http://") != std::string_view::npos) return std::nullopt;
  if (name.find('\0') != std::string_view::npos) return std::nullopt;
  std::string unix_name(name);
  for (char& c : unix_name)
    if (c == '\\') c = '/';
  fs::path wanted(unix_name);
  fs::path full = wanted.is_absolute() ? wanted : base / wanted;

  std::error_code ec;
  if (fs::is_regular_file(full, ec)) return full;

  // Walk the components, taking the exact name where it exists and otherwise the first entry
  // of the folder whose name matches ignoring ASCII case (listing order decides ties).
  fs::path walked = wanted.is_absolute() ? fs::path("/") : base;
  for (const fs::path& part : wanted.relative_path()) {
    const std::string piece = part.string();
    if (piece.empty() || piece == ".") continue;
    if (piece == "..") {
      walked = walked / part;
      continue;
    }
    fs::path exact = walked / part;
    if (fs::exists(exact, ec)) {
      walked = exact;
      continue;
    }
    std::optional<fs::path> match;
    for (fs::directory_iterator it(walked, ec), end; !ec && it != end; it.increment(ec)) {
      if (IEquals(it->path().filename().string(), piece)) {
        match = it->path();
        break;
      }
    }
    if (!match) return std::nullopt;
    walked = *match;
  }
  if (fs::is_regular_file(walked, ec)) return walked;
  return std::nullopt;
}

std::optional<fs::path> ResolvePicturePath(std::string_view name, int32_t custom_image_mode, const fs::path& base) {
  if (custom_image_mode >= kPictureNamesAsGiven) return ResolveAssetPath(name, base);
  // A drive letter cannot follow a folder name.
  if (name.find(':') != std::string_view::npos) return std::nullopt;
  // The folder, a separator, then the name: leading separators only repeat the one between.
  const size_t start = name.find_first_not_of("/\\");
  if (start == std::string_view::npos) return std::nullopt;
  return ResolveAssetPath(name.substr(start), base);
}

Expected<std::vector<uint8_t>> ReadFileBytes(const fs::path& path, uint64_t max_bytes) {
  struct Closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  std::unique_ptr<std::FILE, Closer> f(std::fopen(path.c_str(), "rb"));
  if (!f) return LoadError{path.string(), std::string("cannot open: ") + std::strerror(errno), {}, {}};
  std::error_code ec;
  if (fs::is_directory(path, ec)) return LoadError{path.string(), "is a folder, not a file", {}, {}};
  std::vector<uint8_t> bytes;
  uint8_t buffer[65536];
  for (;;) {
    size_t n = std::fread(buffer, 1, sizeof buffer, f.get());
    if (n == 0) break;
    if (bytes.size() + n > max_bytes)
      return LoadError{path.string(), "file is larger than " + std::to_string(max_bytes) + " bytes", {}, {}};
    bytes.insert(bytes.end(), buffer, buffer + n);
  }
  if (std::ferror(f.get())) return LoadError{path.string(), std::string("read error: ") + std::strerror(errno), {}, {}};
  return bytes;
}

}  // namespace vl
