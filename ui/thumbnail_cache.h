// ThumbnailCache: the loop library's 96 x 96 thumbnails, shared by every list that shows them.
// Pictures are read on a worker thread, from regular files only, with a cap on the file's size and
// on the time its reading may take, so a FIFO or a slow disk never holds up the interface. Only
// what a list asks for (what it shows) is decoded, and at most `capacity` thumbnails are kept.
#pragma once
#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <QImage>
#include <QObject>
#include <QPixmap>

namespace vl::ui {

inline constexpr int kThumbSize = 96;
// Library thumbnails are small JPEGs; anything larger is not one.
inline constexpr int64_t kMaxThumbnailFileBytes = int64_t{32} << 20;
inline constexpr int kThumbnailReadMs = 2000;

// What a look at a file found: enough to tell that it changed since it was decoded.
struct FileStamp {
  bool regular = false;
  dev_t device = 0;
  ino_t inode = 0;
  int64_t size = 0;
  int64_t mtime_ns = 0;
  bool operator==(const FileStamp&) const = default;
};

// Reads and decodes one picture file into its thumbnail, on any thread. Anything that is not a
// regular file, is larger than kMaxThumbnailFileBytes, takes longer than kThumbnailReadMs to read
// or does not decode gives the placeholder's thumbnail; `why` then says which. The file is opened
// without blocking, by its name's bytes.
QImage DecodeThumbnail(const std::string& path, FileStamp* stamp = nullptr, std::string* why = nullptr);

// Scales to 96 x 96 (aspect ratio not kept) over opaque white; 96 x 96 pictures are kept as is.
QImage MakeThumbnail(const QImage& picture);
// The program's own "no picture" image, 199 x 151.
QImage PlaceholderPicture();

class ThumbnailCache : public QObject {
  Q_OBJECT
 public:
  static constexpr size_t kDefaultCapacity = 400;  // about 15 MB
  explicit ThumbnailCache(size_t capacity = kDefaultCapacity, QObject* parent = nullptr);
  ~ThumbnailCache() override;

  // The program's one cache (made on first use, gone with the application).
  static ThumbnailCache& Shared();

  // The thumbnail of `path` when it is at hand. Otherwise (or when it was decoded before the last
  // Revalidate) a read is queued, the most recent asks first, and Ready tells when it is done.
  std::optional<QPixmap> Find(const std::string& path);
  // The files may have changed on disk: each thumbnail is looked at again when next asked for.
  void Revalidate() { ++generation_; }

  size_t size() const { return entries_.size(); }
  size_t capacity() const { return capacity_; }
  size_t decoded() const { return decoded_; }  // files read (decoded or not), for tests and figures
  // Waits for the worker to finish what is queued (tests and benchmarks only).
  void Drain();

  // The names `list` gives for `folder`, listed again only when the folder has changed since (its
  // time and identity): a library of thousands of loops is listed once, not at every opening.
  std::vector<std::string> ListFolder(const std::string& folder, const std::string& extension,
                                      const std::function<std::vector<std::string>()>& list);

 signals:
  void Ready(const std::string& path);

 private:
  struct Entry {
    QPixmap pixmap;
    FileStamp stamp;
    uint64_t generation = 0;
    std::list<std::string>::iterator lru;
  };
  struct Job {
    std::string path;
    std::optional<FileStamp> known;  // the stamp of the thumbnail held, to skip an unchanged file
  };
  void Work();
  void Deliver(const std::string& path, const FileStamp& stamp, const QImage& image, bool unchanged);
  void Touch(Entry& entry, const std::string& path);

  size_t capacity_;
  std::unordered_map<std::string, Entry> entries_;
  std::list<std::string> lru_;  // most recently used first
  uint64_t generation_ = 1;
  size_t decoded_ = 0;
  std::unordered_set<std::string> asked_;  // queued or being read
  struct Listing {
    std::string folder, extension;
    FileStamp stamp;
    std::vector<std::string> names;
  };
  std::optional<Listing> listing_;

  std::mutex mutex_;
  std::condition_variable wake_, idle_;
  std::deque<Job> jobs_;
  bool busy_ = false;
  bool quit_ = false;
  std::thread worker_;
};

}  // namespace vl::ui
