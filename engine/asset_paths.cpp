#include "engine/asset_paths.h"
#include "engine/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

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
  return DataFolderBeside(ExecutableFolder());
}

fs::path DataFolderBeside(const fs::path& exe_folder) {
  std::error_code ec;
  if (fs::exists(exe_folder / "Sequences", ec)) return exe_folder;
  fs::path installed = exe_folder.parent_path() / "share" / "vantaloop";
  if (fs::is_directory(installed, ec)) return installed;
  return exe_folder;
}

void SetProgramFolder(const fs::path& folder) { LibraryOverride() = folder; }

fs::path UserDataFolder(const char* xdg_data_home, const char* home) {
  if (xdg_data_home && *xdg_data_home && fs::path(xdg_data_home).is_absolute())
    return fs::path(xdg_data_home) / "Vantaloop";
  if (home && *home && fs::path(home).is_absolute()) return fs::path(home) / ".local/share/Vantaloop";
  return {};
}

fs::path UserDataFolder() { return UserDataFolder(std::getenv("XDG_DATA_HOME"), std::getenv("HOME")); }

namespace {

// The program folder, unless only the user's folder has the file.
template <typename Finder>
fs::path BaseHolding(Finder&& found_under) {
  fs::path program = ProgramFolder();
  if (found_under(program)) return program;
  const fs::path user = UserDataFolder();
  std::error_code ec;
  if (user.empty() || !fs::is_directory(user, ec) || fs::equivalent(user, program, ec)) return program;
  return found_under(user) ? user : program;
}

}  // namespace

fs::path AssetBaseFor(std::string_view name) {
  return BaseHolding([&](const fs::path& base) { return FindAssetFile(name, base).ok(); });
}

fs::path PictureBaseFor(std::string_view name, int32_t custom_image_mode) {
  return BaseHolding([&](const fs::path& base) { return FindPictureFile(name, custom_image_mode, base).ok(); });
}

std::optional<fs::path> ResolveAssetPath(std::string_view name) { return ResolveAssetPath(name, ProgramFolder()); }

namespace {

// Finds what a name refers to, whatever kind of file it is: the exact name when it exists, else
// each path component matched ignoring ASCII case (listing order decides ties).
std::optional<fs::path> FindAnyFile(std::string_view name, const fs::path& base) {
  if (name.empty() || name.find("http://") != std::string_view::npos) return std::nullopt;
  if (name.find('\0') != std::string_view::npos) return std::nullopt;
  std::string unix_name(name);
  for (char& c : unix_name)
    if (c == '\\') c = '/';
  fs::path wanted(unix_name);
  fs::path full = wanted.is_absolute() ? wanted : base / wanted;

  std::error_code ec;
  if (fs::exists(full, ec)) return full;

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
  if (fs::exists(walked, ec)) return walked;
  return std::nullopt;
}

LoadError NotRegular(const std::string& file, const struct stat& st) {
  const char* kind = S_ISDIR(st.st_mode)                          ? " but a folder"
                     : S_ISFIFO(st.st_mode)                       ? " but a FIFO"
                     : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? " but a device"
                     : S_ISSOCK(st.st_mode)                       ? " but a socket"
                                                                  : "";
  return LoadError{file, std::string("not a regular file") + kind, {}, {}};
}

}  // namespace

std::optional<fs::path> ResolveAssetPath(std::string_view name, const fs::path& base) {
  auto found = FindAnyFile(name, base);
  std::error_code ec;
  if (found && fs::is_regular_file(*found, ec)) return found;
  return std::nullopt;
}

Expected<fs::path> FindAssetFile(std::string_view name, const fs::path& base) {
  const std::string given(name);
  if (name.find("http://") != std::string_view::npos)
    return LoadError{given, "no such file (web addresses are not fetched)", {}, {}};
  if (name.empty()) return LoadError{given, "no file named", {}, {}};
  auto found = FindAnyFile(name, base);
  if (!found) {
    std::string unix_name(name);
    for (char& c : unix_name)
      if (c == '\\') c = '/';
    if (fs::path(unix_name).is_absolute()) return LoadError{given, "no such file", {}, {}};
    // A folder that cannot be looked in hides every file: say so rather than "no such file".
    struct stat folder {};
    if (::stat(base.c_str(), &folder) != 0)
      return LoadError{given,
                       "no such file: the folder " + base.string() + " " +
                           (errno == ENOENT ? std::string("does not exist") : std::strerror(errno)),
                       {},
                       {}};
    if (!S_ISDIR(folder.st_mode))
      return LoadError{given, "no such file: " + base.string() + " is not a folder", {}, {}};
    if (::access(base.c_str(), R_OK | X_OK) != 0)
      return LoadError{given, "cannot look in the folder " + base.string() + ": " + std::strerror(errno), {}, {}};
    return LoadError{given, "no such file under " + base.string(), {}, {}};
  }
  struct stat st {};
  if (::stat(found->c_str(), &st) != 0)
    return LoadError{given, std::string("cannot open: ") + std::strerror(errno), {}, {}};
  if (!S_ISREG(st.st_mode)) return NotRegular(given, st);
  return *found;
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

Expected<fs::path> FindPictureFile(std::string_view name, int32_t custom_image_mode, const fs::path& base) {
  if (custom_image_mode >= kPictureNamesAsGiven || name.find("http://") != std::string_view::npos)
    return FindAssetFile(name, base);
  const std::string given(name);
  const size_t start = name.find_first_not_of("/\\");
  const bool looks_absolute = !name.empty() && (start != 0 || name.find(':') != std::string_view::npos);
  Expected<fs::path> found = LoadError{given, "no such file under " + base.string(), {}, {}};
  if (name.find(':') == std::string_view::npos && start != std::string_view::npos)
    found = FindAssetFile(name.substr(start), base);
  if (found) return found;
  LoadError error = found.error();
  error.file = given;
  if (looks_absolute && error.message.rfind("no such file under ", 0) == 0)
    error.message += " (picture names are taken relative to it)";
  return error;
}

Expected<std::vector<uint8_t>> ReadFileBytes(const fs::path& path, uint64_t max_bytes) {
  const std::string file = path.string();
  auto cannot = [&](const char* what) { return LoadError{file, std::string(what) + std::strerror(errno), {}, {}}; };
  // Look before opening: opening a FIFO blocks until a writer comes, and opening a device can
  // have effects of its own. O_NONBLOCK covers a path swapped for a FIFO in between.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return cannot("cannot open: ");
  if (!S_ISREG(st.st_mode)) return NotRegular(file, st);
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return cannot("cannot open: ");
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  if (::fstat(fd, &st) != 0) return cannot("cannot open: ");
  if (!S_ISREG(st.st_mode)) return NotRegular(file, st);
  auto too_big = [&] { return LoadError{file, "file is larger than " + std::to_string(max_bytes) + " bytes", {}, {}}; };
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  if (size > max_bytes) return too_big();

  // One buffer of the file's size, filled in place: no growing copies of large files.
  std::vector<uint8_t> bytes;
  try {
    bytes.resize(static_cast<size_t>(size));
  } catch (const std::bad_alloc&) {
    return LoadError{file, "not enough memory to read its " + std::to_string(size) + " bytes", {}, {}};
  }
  size_t done = 0;
  for (;;) {
    if (done == bytes.size()) {
      // The file may have grown since it was measured: look for more, within the limit.
      uint8_t probe;
      const ssize_t n = ::read(fd, &probe, 1);
      if (n == 0) break;
      if (n < 0) {
        if (errno == EINTR) continue;
        return cannot("read error: ");
      }
      if (bytes.size() + 1 > max_bytes) return too_big();
      try {
        bytes.push_back(probe);
        bytes.resize(std::min<uint64_t>(max_bytes, bytes.size() + 65536));
      } catch (const std::bad_alloc&) { return LoadError{file, "not enough memory to read it", {}, {}}; }
      done += 1;
      continue;
    }
    const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return cannot("read error: ");
    }
    done += static_cast<size_t>(n);
  }
  bytes.resize(done);
  return bytes;
}

namespace {

// Writes all of bytes to fd; false (errno set) on the first failing write.
bool WriteAll(int fd, std::span<const uint8_t> bytes) {
  const uint8_t* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

Status WriteFileBytes(const fs::path& path, std::span<const uint8_t> bytes) {
  const std::string file = path.string();
  auto failed = [&](const char* what) { return LoadError{file, std::string(what) + std::strerror(errno), {}, {}}; };
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    if (S_ISDIR(st.st_mode)) return LoadError{file, "cannot write: it is a folder", {}, {}};
    // A device or a pipe: the bytes go straight to it. A pipe nobody reads is refused at once
    // rather than waited on.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
      return errno == ENXIO ? LoadError{file, "cannot write: nothing reads from this pipe", {}, {}}
                            : failed("cannot write: ");
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    const bool written = WriteAll(fd, bytes);
    const int write_errno = errno;
    const bool closed = ::close(fd) == 0;
    if (!written) {
      errno = write_errno;
      return failed("write failed: ");
    }
    if (!closed) return failed("write failed: ");
    return std::nullopt;
  }
  auto out = OutputFile::Begin(path);
  if (!out) return out.error();
  const int fd = ::open(out->temp_path().c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) return failed("cannot write: ");
  const bool written = WriteAll(fd, bytes);
  const int write_errno = errno;
  const bool closed = ::close(fd) == 0;
  const int close_errno = errno;
  if (!written || !closed) {
    errno = !written ? write_errno : close_errno;
    return failed("write failed: ");
  }
  if (Status moved = out->Commit()) return moved;
  return std::nullopt;
}

}  // namespace vl
