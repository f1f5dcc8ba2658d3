// LoopFileWatch: tells when the file of the playing loop changes on disk, so that a loop being
// edited can be reloaded as it is saved. The file is looked at every 100 ms (size, time and
// identity, so that editors that save by replacing the file are seen too), and a change is told
// once the file has stayed the same for one look, so a save still being written is not read.
// A file that goes away, or is replaced by something that is not a regular file, is told once
// (the loop plays on), and told again when a regular file is back.
#pragma once
#include <filesystem>
#include <optional>
#include <string>

#include <QObject>
#include <QTimer>

namespace vl::desktop {

class LoopFileWatch : public QObject {
  Q_OBJECT
 public:
  explicit LoopFileWatch(QObject* parent = nullptr);
  // Starts watching `path` as it is now; an empty path stops.
  void Watch(const std::filesystem::path& path);
  void Stop() { Watch({}); }
  const std::filesystem::path& path() const { return path_; }

 signals:
  void Changed();
  // `what` is "gone" (deleted, renamed away, a link to nothing) or what took the file's place
  // ("a FIFO", "a folder", "a device", "a socket").
  void Missing(const QString& what);
  void Back();

 private:
  struct Stamp {
    bool exists = false;
    uintmax_t size = 0;
    std::filesystem::file_time_type time{};
    uintmax_t inode = 0;
    std::string missing;  // why it is not a regular file; empty when it is one
    bool operator==(const Stamp&) const = default;
  };
  static Stamp Look(const std::filesystem::path& path);
  void Poll();

  std::filesystem::path path_;
  Stamp seen_;                    // what the playing loop was read from
  std::optional<Stamp> pending_;  // a change seen once, told when it holds still
  std::string told_missing_;      // what was last told about a missing file; empty once back
  QTimer timer_;
};

}  // namespace vl::desktop
