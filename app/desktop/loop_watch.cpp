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
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return s;
  s.exists = true;
  s.size = static_cast<uintmax_t>(st.st_size);
  s.inode = static_cast<uintmax_t>(st.st_ino);
  s.time = fs::last_write_time(path, ec);
  return s;
}

void LoopFileWatch::Poll() {
  const Stamp now = Look(path_);
  if (now == seen_) {
    pending_.reset();
    return;
  }
  // A file that is gone (mid-replace, or deleted) is waited for; the loop plays on.
  if (!now.exists) return;
  if (!pending_ || !(*pending_ == now)) {
    pending_ = now;
    return;
  }
  seen_ = now;
  pending_.reset();
  emit Changed();
}

}  // namespace vl::desktop
