// Writing a file so that nothing is lost on the way: the bytes go to a short temporary name in the
// target's own folder and replace the target only once complete, so a failure, a cancel or a full
// disk leaves the old file (or folder) as it was and nothing half-written beside it.
// No OpenGL, no Qt.
#pragma once
#include <filesystem>
#include <string>

#include "engine/load_error.h"

namespace vl {

// A new, empty file (or folder) in `target`'s folder under a short name that no file has:
// ".vl-PID-N" plus the target's extension, so writers that choose their format by the extension
// still see it, and a target name of up to 255 bytes still has room beside it. The file is
// created exclusively, with the permissions a new file gets.
Expected<std::filesystem::path> MakeTemporaryBeside(const std::filesystem::path& target, bool folder = false);

// The file a write to `path` should replace: `path` itself, or the regular file a link at `path`
// leads to (the link stays a link).
std::filesystem::path ReplaceTarget(const std::filesystem::path& path);

// The temporary file or folder of one write. Removed when it goes out of scope unless committed,
// so an early return or an exception leaves nothing behind.
class OutputFile {
 public:
  // Makes the temporary beside ReplaceTarget(target); folder targets for sequences of pictures.
  // Refuses a target that is a device, FIFO or socket (or a folder, for a file).
  static Expected<OutputFile> Begin(const std::filesystem::path& target, bool folder = false);
  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&&) = delete;
  ~OutputFile();

  const std::filesystem::path& temp_path() const { return temp_; }
  const std::filesystem::path& target() const { return target_; }

  // Moves the finished temporary over the target. A folder already at the target is moved aside
  // first and removed only once the new one is in place (put back if that fails). The error names
  // the target.
  Status Commit();

 private:
  OutputFile(std::filesystem::path target, std::filesystem::path temp, bool folder)
      : target_(std::move(target)), temp_(std::move(temp)), folder_(folder) {}
  std::filesystem::path target_, temp_;
  bool folder_ = false;
  bool done_ = false;
};

// Refuses an output that is the input itself (the same file, also through links, other names or
// hard links): writing it would destroy what is being read. Fine when `out` does not exist.
Status RefuseSameFile(const std::filesystem::path& in, const std::filesystem::path& out);

// What stat() says of a path in words, for messages: "no such file", "permission denied",
// "not a regular file but a FIFO" ...; empty for a readable regular file.
std::string WhyNotReadable(const std::filesystem::path& path);

}  // namespace vl
