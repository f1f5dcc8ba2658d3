#include "engine/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace vl {
namespace fs = std::filesystem;

namespace {

std::string Errno(int e) { return std::strerror(e); }

// Each name is tried once per process; another process (or an old leftover) holding one just
// moves us to the next number.
std::atomic<unsigned> g_next_temp{0};

}  // namespace

Expected<fs::path> MakeTemporaryBeside(const fs::path& target, bool folder) {
  const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
  const std::string extension = target.extension().string().size() <= 16 ? target.extension().string() : "";
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::string name = ".vl-" + std::to_string(::getpid()) + "-" + std::to_string(g_next_temp++) + extension;
    const fs::path temp = dir / name;
    if (folder) {
      if (::mkdir(temp.c_str(), 0777) == 0) return temp;
    } else {
      const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
      if (fd >= 0) {
        ::close(fd);
        return temp;
      }
    }
    if (errno != EEXIST) return LoadError{target.string(), "cannot write beside it: " + Errno(errno), {}, {}};
  }
  return LoadError{target.string(), "cannot find a free temporary name beside it", {}, {}};
}

fs::path ReplaceTarget(const fs::path& path) {
  struct stat link {};
  struct stat st {};
  if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return path;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return path;
  std::error_code ec;
  fs::path real = fs::canonical(path, ec);
  return ec ? path : real;
}

Expected<OutputFile> OutputFile::Begin(const fs::path& target, bool folder) {
  const fs::path real = ReplaceTarget(target);
  // Only a regular file (or a folder of pictures) is ever replaced: a device, FIFO or socket at the
  // name stays untouched.
  struct stat st {};
  if (::stat(real.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !(folder && S_ISDIR(st.st_mode))) {
    if (S_ISDIR(st.st_mode)) return LoadError{target.string(), "cannot write: it is a folder", {}, {}};
    return LoadError{target.string(), "cannot write: not a regular file; it is left as it is", {}, {}};
  }
  auto temp = MakeTemporaryBeside(real, folder);
  if (!temp) return LoadError{target.string(), temp.error().message, {}, {}};
  return OutputFile(real, *temp, folder);
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : target_(std::move(other.target_)), temp_(std::move(other.temp_)), folder_(other.folder_), done_(other.done_) {
  other.done_ = true;
}

OutputFile::~OutputFile() {
  if (done_ || temp_.empty()) return;
  std::error_code ec;
  fs::remove_all(temp_, ec);
}

Status OutputFile::Commit() {
  const std::string name = target_.string();
  struct stat st {};
  const bool had_folder = ::lstat(target_.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  if (had_folder && !folder_) return LoadError{name, "cannot write: it is a folder", {}, {}};
  if (!had_folder) {
    if (::rename(temp_.c_str(), target_.c_str()) != 0)
      return LoadError{name, "cannot move the finished file into place: " + Errno(errno), {}, {}};
    done_ = true;
    return std::nullopt;
  }
  // rename() cannot replace a folder that has files: the old one goes aside first, and comes back
  // if the new one cannot take its place.
  auto aside = MakeTemporaryBeside(target_, true);
  if (!aside) return LoadError{name, aside.error().message, {}, {}};
  ::rmdir(aside->c_str());
  if (::rename(target_.c_str(), aside->c_str()) != 0)
    return LoadError{name, "cannot move the old folder aside: " + Errno(errno), {}, {}};
  if (::rename(temp_.c_str(), target_.c_str()) != 0) {
    const int e = errno;
    ::rename(aside->c_str(), target_.c_str());
    return LoadError{name, "cannot move the finished folder into place: " + Errno(e), {}, {}};
  }
  done_ = true;
  std::error_code ec;
  fs::remove_all(*aside, ec);
  return std::nullopt;
}

Status RefuseSameFile(const fs::path& in, const fs::path& out) {
  struct stat a {};
  struct stat b {};
  if (::stat(in.c_str(), &a) != 0 || ::stat(out.c_str(), &b) != 0) return std::nullopt;
  if (a.st_dev != b.st_dev || a.st_ino != b.st_ino) return std::nullopt;
  return LoadError{out.string(), "is the input file " + in.string() + "; writing it would destroy it", {}, {}};
}

std::string WhyNotReadable(const fs::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return errno == ENOENT ? "no such file" : Errno(errno);
  if (S_ISDIR(st.st_mode)) return "not a regular file but a folder";
  if (S_ISFIFO(st.st_mode)) return "not a regular file but a FIFO";
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return "not a regular file but a device";
  if (S_ISSOCK(st.st_mode)) return "not a regular file but a socket";
  if (!S_ISREG(st.st_mode)) return "not a regular file";
  if (::access(path.c_str(), R_OK) != 0) return Errno(errno);
  return "";
}

}  // namespace vl
