#include "ui/thumbnail_cache.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include <QBuffer>
#include <QCoreApplication>
#include <QImageReader>
#include <QPainter>
#include <QPointer>

namespace vl::ui {

namespace {

// Big pictures are decoded at a reduced size (JPEG does this cheaply): the thumbnail is 96 x 96.
constexpr int kDecodeEdge = 4 * kThumbSize;
// Queued reads beyond this many are forgotten, oldest first: a list scrolled fast asks for rows
// that are long out of sight.
constexpr size_t kMaxQueued = 256;

FileStamp StampOf(const struct stat& st) {
  FileStamp s;
  s.regular = S_ISREG(st.st_mode);
  s.device = st.st_dev;
  s.inode = st.st_ino;
  s.size = static_cast<int64_t>(st.st_size);
  s.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return s;
}

const char* KindOf(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

QImage Placeholder(std::string* why, const std::string& reason) {
  if (why) *why = reason;
  static const QImage thumb = MakeThumbnail(PlaceholderPicture());
  return thumb;
}

}  // namespace

QImage PlaceholderPicture() {
  static const QImage image = [] {
    QImage img(199, 151, QImage::Format_RGB32);
    img.fill(QColor(192, 192, 192));
    QPainter p(&img);
    p.setPen(QPen(QColor(128, 128, 128), 6));
    p.drawRect(3, 3, 192, 144);
    p.setPen(QPen(QColor(128, 0, 0), 10));
    p.drawLine(40, 30, 159, 120);
    p.drawLine(159, 30, 40, 120);
    return img;
  }();
  return image;
}

QImage MakeThumbnail(const QImage& picture) {
  QImage thumb(kThumbSize, kThumbSize, QImage::Format_RGB32);
  thumb.fill(Qt::white);
  QPainter p(&thumb);
  if (picture.width() == kThumbSize && picture.height() == kThumbSize) {
    p.drawImage(0, 0, picture);
  } else {
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.drawImage(QRect(0, 0, kThumbSize, kThumbSize), picture);
  }
  return thumb;
}

QImage DecodeThumbnail(const std::string& path, FileStamp* stamp, std::string* why) {
  if (stamp) *stamp = FileStamp{};
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return Placeholder(why, std::strerror(errno));
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const std::string kind = KindOf(st.st_mode);
    ::close(fd);
    return Placeholder(why, "not a regular file (" + kind + ")");
  }
  if (stamp) *stamp = StampOf(st);
  if (st.st_size > kMaxThumbnailFileBytes) {
    ::close(fd);
    return Placeholder(why, "larger than " + std::to_string(kMaxThumbnailFileBytes >> 20) + " MB");
  }
  QByteArray bytes;
  bytes.resize(static_cast<qsizetype>(st.st_size));
  qsizetype got = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kThumbnailReadMs);
  bool late = false;
  while (got < bytes.size()) {
    if (std::chrono::steady_clock::now() > deadline) {
      late = true;
      break;
    }
    const ssize_t n = ::read(fd, bytes.data() + got, static_cast<size_t>(bytes.size() - got));
    if (n > 0) {
      got += n;
    } else if (n == 0) {  // NOLINT(bugprone-branch-clone): each break has its own reason
      break;              // the file shrank while it was read: decode what there is
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd p{fd, POLLIN, 0};
      ::poll(&p, 1, 50);
    } else if (errno != EINTR) {
      break;
    }
  }
  ::close(fd);
  if (late) return Placeholder(why, "took longer than " + std::to_string(kThumbnailReadMs) + " ms to read");
  bytes.resize(got);

  QBuffer buffer(&bytes);
  buffer.open(QIODevice::ReadOnly);
  QImageReader reader(&buffer);
  reader.setAutoTransform(false);
  reader.setAllocationLimit(64);  // MB; the reduced decode below stays far under it
  const QSize size = reader.size();
  if (size.width() > kDecodeEdge || size.height() > kDecodeEdge)
    reader.setScaledSize(size.scaled(QSize(kDecodeEdge, kDecodeEdge), Qt::KeepAspectRatio).expandedTo(QSize(1, 1)));
  const QImage picture = reader.read();
  if (picture.isNull()) return Placeholder(why, reader.errorString().toStdString());
  if (why) why->clear();
  return MakeThumbnail(picture);
}

ThumbnailCache::ThumbnailCache(size_t capacity, QObject* parent)
    : QObject(parent), capacity_(std::max<size_t>(capacity, 1)) {
  worker_ = std::thread([this] { Work(); });
}

ThumbnailCache::~ThumbnailCache() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
    jobs_.clear();
  }
  wake_.notify_all();
  worker_.join();  // a read in hand ends within its time limit
}

ThumbnailCache& ThumbnailCache::Shared() {
  static QPointer<ThumbnailCache> shared;
  if (!shared) shared = new ThumbnailCache(kDefaultCapacity, QCoreApplication::instance());
  return *shared;
}

void ThumbnailCache::Touch(Entry& entry, const std::string& path) {
  lru_.erase(entry.lru);
  lru_.push_front(path);
  entry.lru = lru_.begin();
}

std::optional<QPixmap> ThumbnailCache::Find(const std::string& path) {
  std::optional<QPixmap> found;
  std::optional<FileStamp> known;
  if (auto it = entries_.find(path); it != entries_.end()) {
    Touch(it->second, path);
    found = it->second.pixmap;
    if (it->second.generation == generation_) return found;
    known = it->second.stamp;
  }
  if (asked_.insert(path).second) {
    std::lock_guard lock(mutex_);
    jobs_.push_back({path, known});
    while (jobs_.size() > kMaxQueued) {
      asked_.erase(jobs_.front().path);
      jobs_.pop_front();
    }
    wake_.notify_one();
  }
  return found;
}

std::vector<std::string> ThumbnailCache::ListFolder(const std::string& folder, const std::string& extension,
                                                    const std::function<std::vector<std::string>()>& list) {
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0) {
    listing_.reset();
    return list();
  }
  const FileStamp stamp = StampOf(st);
  if (listing_ && listing_->folder == folder && listing_->extension == extension && listing_->stamp == stamp)
    return listing_->names;
  listing_ = Listing{folder, extension, stamp, list()};
  return listing_->names;
}

void ThumbnailCache::Drain() {
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [this] { return jobs_.empty() && !busy_; });
  lock.unlock();
  QCoreApplication::sendPostedEvents(this);
}

void ThumbnailCache::Work() {
  for (;;) {
    Job job;
    {
      std::unique_lock lock(mutex_);
      busy_ = false;
      idle_.notify_all();
      wake_.wait(lock, [this] { return quit_ || !jobs_.empty(); });
      if (quit_) return;
      job = std::move(jobs_.back());  // the newest ask is what the user looks at now
      jobs_.pop_back();
      busy_ = true;
    }
    FileStamp stamp;
    QImage image;
    bool unchanged = false;
    if (job.known) {
      struct stat st {};
      if (::stat(job.path.c_str(), &st) == 0 && StampOf(st) == *job.known) unchanged = true, stamp = *job.known;
    }
    if (!unchanged) image = DecodeThumbnail(job.path, &stamp);
    QMetaObject::invokeMethod(
        this, [this, path = std::move(job.path), stamp, image, unchanged] { Deliver(path, stamp, image, unchanged); },
        Qt::QueuedConnection);
  }
}

void ThumbnailCache::Deliver(const std::string& path, const FileStamp& stamp, const QImage& image, bool unchanged) {
  asked_.erase(path);
  auto it = entries_.find(path);
  if (unchanged && it != entries_.end()) {
    it->second.generation = generation_;
    return;
  }
  ++decoded_;
  if (it == entries_.end()) {
    lru_.push_front(path);
    it = entries_.emplace(path, Entry{}).first;
    it->second.lru = lru_.begin();
  } else {
    Touch(it->second, path);
  }
  it->second.pixmap = QPixmap::fromImage(image);
  it->second.stamp = stamp;
  it->second.generation = generation_;
  while (entries_.size() > capacity_) {
    entries_.erase(lru_.back());
    lru_.pop_back();
  }
  emit Ready(path);
}

}  // namespace vl::ui
