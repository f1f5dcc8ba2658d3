// LoopFileWatch: tells when the file of the playing loop changes on disk, so that a loop being
// edited can be reloaded as it is saved. The file is looked at every 100 ms (size, time and
// identity, so that editors that save by replacing the file are seen too), and a change is told
// once the file has stayed the same for one look, so a save still being written is not read.
#pragma once
#include <filesystem>
#include <optional>

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

 private:
  struct Stamp {
    bool exists = false;
    uintmax_t size = 0;
    std::filesystem::file_time_type time{};
    uintmax_t inode = 0;
    bool operator==(const Stamp&) const = default;
  };
  static Stamp Look(const std::filesystem::path& path);
  void Poll();

  std::filesystem::path path_;
  Stamp seen_;                    // what the playing loop was read from
  std::optional<Stamp> pending_;  // a change seen once, told when it holds still
  QTimer timer_;
};

}  // namespace vl::desktop
