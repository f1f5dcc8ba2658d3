// The error a reader returns: what went wrong, in which file, where, in which field or chunk.
// No OpenGL, no Qt.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace vl {

struct LoadError {
  std::string file;                // path as given
  std::string message;             // what is wrong, for a user
  std::optional<uint64_t> offset;  // byte offset of the failing field, when the file was read
  std::string field;               // field or chunk being read, when known

  // One line: "FILE: at byte N (FIELD): MESSAGE", control characters escaped.
  std::string ToString() const;
};

// Text for a terminal or a message box: control characters (bytes below 0x20, and 0x7F) become
// \xNN, so a name taken from a file can neither break a line nor send escape sequences. Other
// bytes are kept as they are.
std::string EscapeControl(std::string_view text);

// A value or the error that prevented it.
template <class T>
class Expected {
 public:
  Expected(T value) : v_(std::move(value)) {}
  Expected(LoadError error) : v_(std::move(error)) {}
  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() { return std::get<0>(v_); }
  const T& value() const { return std::get<0>(v_); }
  T* operator->() { return &value(); }
  T& operator*() { return value(); }
  const LoadError& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, LoadError> v_;
};

// For operations whose only result is success or an error.
using Status = std::optional<LoadError>;

}  // namespace vl
