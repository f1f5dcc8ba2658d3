#include "app/desktop/loop_watch.h"

#include <sys/stat.h>

namespace vl::desktop {

namespace fs = std::filesystem;

LoopFileWatch::LoopFileWatch(QObject* parent) : QObject(parent) {
  timer_.setInterval(100);
  connect(&timer_, &QTimer::timeout, this, &LoopFileWatch::Poll);
}

void LoopFileWatch::Watch(const fs::path& path) {
  path_ = path;
  pending_.reset();
  told_missing_.clear();
  if (path.empty()) {
    timer_.stop();
    return;
  }
  seen_ = Look(path);
  timer_.start();
}

LoopFileWatch::Stamp LoopFileWatch::Look(const fs::path& path) {
  Stamp s;
  std::error_code ec;
  struct stat st {};
  // Through links: a link to a device is a device.
  if (::stat(path.c_str(), &st) != 0) {
    s.missing = "gone";
  } else if (!S_ISREG(st.st_mode)) {
    s.missing = S_ISFIFO(st.st_mode)                           ? "a FIFO"
                : S_ISDIR(st.st_mode)                          ? "a folder"
                : S_ISSOCK(st.st_mode)                         ? "a socket"
                : (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) ? "a device"
                                                               : "not a regular file";
  }
  if (!s.missing.empty()) return s;
  s.exists = true;
  s.size = static_cast<uintmax_t>(st.st_size);
  s.inode = static_cast<uintmax_t>(st.st_ino);
  s.time = fs::last_write_time(path, ec);
  return s;
}

void LoopFileWatch::Poll() {
  const Stamp now = Look(path_);
  // Any change counts once it has held still for one look: a save still being written, or one
  // that deletes the file before writing it again, is not taken for what it is half way.
  if (!(now == seen_) && (!pending_ || !(*pending_ == now))) {
    pending_ = now;
    return;
  }
  pending_.reset();
  if (!now.exists) {  // the loop plays on; said once for each new state
    if (told_missing_ != now.missing) {
      told_missing_ = now.missing;
      emit Missing(QString::fromStdString(now.missing));
    }
    return;
  }
  if (!told_missing_.empty()) {
    told_missing_.clear();
    emit Back();
  }
  if (now == seen_) return;
  seen_ = now;
  emit Changed();
}

}  // namespace vl::desktop
