#include "ui/profile_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <QFile>
#include <QStandardPaths>

#include "ui/export_presets.h"

namespace vl::ui {

namespace fs = std::filesystem;

namespace {

std::string KindOf(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

bool WriteAll(int fd, const QByteArray& bytes) {
  qsizetype done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += n;
  }
  return true;
}

// The file a link names, through any number of links (up to the system's own limit).
fs::path FollowLinks(fs::path path) {
  for (int hops = 0; hops < 40; ++hops) {
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(path, ec))) break;
    const fs::path target = fs::read_symlink(path, ec);
    if (ec) break;
    path = target.is_absolute() ? target : path.parent_path() / target;
  }
  return path;
}

}  // namespace

fs::path ProfileFile::DefaultPath() {
  const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
  return fs::path(QFile::encodeName(base).toStdString()) / kSettingsOrganisation /
         (std::string(kSettingsApplication) + ".conf");
}

ProfileFile::ProfileFile(fs::path path) : path_(std::move(path)) {
  const QString copy = scratch_.filePath("profile.conf");
  const std::string shown = path_.string();
  // Opened without waiting: a FIFO would otherwise hold the start for as long as no one writes.
  const int fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  struct stat st {};
  if (fd < 0) {
    if (errno != ENOENT) {
      keep_ = true;
      note_ = shown + ": " + std::strerror(errno);
    }
  } else if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    note_ = shown + " is " + KindOf(st.st_mode) + ", not a regular file";
  } else if (st.st_size > kMaxProfileBytes) {
    keep_ = true;
    note_ = shown + " is larger than " + std::to_string(kMaxProfileBytes >> 20) + " MB: not a settings file";
  } else {
    QByteArray bytes(static_cast<qsizetype>(st.st_size), '\0');
    qsizetype got = 0;
    while (got < bytes.size()) {
      const ssize_t n = ::read(fd, bytes.data() + got, static_cast<size_t>(bytes.size() - got));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += n;
    }
    bytes.resize(got);
    QFile out(copy);
    if (out.open(QIODevice::WriteOnly)) out.write(bytes);
  }
  if (fd >= 0) ::close(fd);
  if (!note_.empty()) note_ += ": starting with the default settings, which will not be saved there";
  store_ = std::make_unique<QSettings>(copy, QSettings::IniFormat);
}

std::string ProfileFile::Publish() {
  const std::string shown = path_.string();
  if (keep_) return "Settings not saved: " + shown + " could not be read, so it is left as it was";
  store_->sync();
  if (store_->status() != QSettings::NoError) return "Settings not saved: the settings could not be written out";
  QFile copy(store_->fileName());
  if (!copy.open(QIODevice::ReadOnly)) return "Settings not saved: the settings could not be written out";
  const QByteArray bytes = copy.readAll();

  const fs::path target = FollowLinks(path_);
  struct stat st {};
  const bool exists = ::stat(target.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode))
    return "Settings not saved: " + shown + " is " + KindOf(st.st_mode) + ", not a regular file";
  std::error_code ec;
  fs::create_directories(target.parent_path(), ec);
  // A short name beside the file, renamed over it once whole: a failed write leaves the old file.
  std::string temp = (target.parent_path() / ".vl-XXXXXX").string();
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return "Settings not saved: " + target.parent_path().string() + ": " + std::strerror(errno);
  ::fchmod(fd, exists ? (st.st_mode & 07777) : 0644);
  const bool written = WriteAll(fd, bytes) && ::fsync(fd) == 0;
  const int write_errno = errno;
  if (::close(fd) != 0 || !written) {
    ::unlink(temp.c_str());
    return "Settings not saved: " + shown + ": " + std::strerror(written ? errno : write_errno);
  }
  if (::rename(temp.c_str(), target.c_str()) != 0) {
    const int e = errno;
    ::unlink(temp.c_str());
    return "Settings not saved: " + shown + ": " + std::strerror(e);
  }
  return {};
}

}  // namespace vl::ui
