// ProfileFile: the settings file ($XDG_CONFIG_HOME/Vantaloop/Vantaloop.conf), read and written
// only when it is a regular file or absent. Qt's settings code never opens it (it would wait
// forever on a FIFO and write through a link to whatever the link names): the program's QSettings
// works on a private copy, and Publish puts the copy in the file's place, written beside it and
// renamed over it.
#pragma once
#include <filesystem>
#include <memory>
#include <string>

#include <QSettings>
#include <QTemporaryDir>

namespace vl::ui {

// A settings file larger than this is not one of ours: it is neither read nor replaced.
inline constexpr int64_t kMaxProfileBytes = int64_t{1} << 20;

class ProfileFile {
 public:
  // Where the profile lives: $XDG_CONFIG_HOME (or ~/.config)/Vantaloop/Vantaloop.conf.
  static std::filesystem::path DefaultPath();

  explicit ProfileFile(std::filesystem::path path);
  QSettings& store() { return *store_; }
  const std::filesystem::path& path() const { return path_; }
  // Empty, or why the file was not read and the program starts with the default settings.
  const std::string& note() const { return note_; }
  // Writes the store's settings to the file; empty when done, else why nothing was written. A
  // link is followed to the regular file it names, which is replaced whole; a link to anything
  // else, or anything else in the file's place, is left alone.
  std::string Publish();

 private:
  std::filesystem::path path_;
  QTemporaryDir scratch_;
  std::unique_ptr<QSettings> store_;
  std::string note_;
  bool keep_ = false;  // the file is there but could not be read: never replaced
};

}  // namespace vl::ui
