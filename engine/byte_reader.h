// A bounded little-endian reader over a byte span. Every read checks what remains first and
// fails instead of returning a short read. No OpenGL, no Qt.
#pragma once
#include <cstdint>
#include <bit>
#include <cstring>
#include <span>
#include <string>

namespace vl {

class ByteReader {
 public:
  explicit ByteReader(std::span<const uint8_t> bytes, uint64_t base_offset = 0) : data_(bytes), base_(base_offset) {}

  size_t remaining() const { return data_.size() - pos_; }
  size_t position() const { return pos_; }
  // Offset of the next byte within the whole file (for error messages).
  uint64_t offset() const { return base_ + pos_; }
  bool at_end() const { return pos_ == data_.size(); }

  // Reads a trivially copyable little-endian value; false (and nothing consumed) if too short.
  template <class T>
  bool Read(T& out) {
    if (remaining() < sizeof(T)) return false;
    std::memcpy(&out, data_.data() + pos_, sizeof(T));
    pos_ += sizeof(T);
    return true;
  }

  // Reads n trivially copyable values; false (and nothing consumed) if too short.
  template <class T>
  bool ReadArray(T* out, size_t n) {
    if (n > remaining() / sizeof(T)) return false;
    std::memcpy(out, data_.data() + pos_, n * sizeof(T));
    pos_ += n * sizeof(T);
    return true;
  }

  bool Skip(size_t n) {
    if (remaining() < n) return false;
    pos_ += n;
    return true;
  }

  // Copies n bytes into out; false if fewer remain.
  bool ReadBytes(size_t n, std::string& out) {
    if (remaining() < n) return false;
    out.assign(reinterpret_cast<const char*>(data_.data() + pos_), n);
    pos_ += n;
    return true;
  }

  // A reader limited to the next n bytes; this reader moves past them. False if fewer remain.
  bool Sub(size_t n, ByteReader& out) {
    if (remaining() < n) return false;
    out = ByteReader(data_.subspan(pos_, n), base_ + pos_);
    pos_ += n;
    return true;
  }

  std::span<const uint8_t> rest() const { return data_.subspan(pos_); }

 private:
  std::span<const uint8_t> data_;
  size_t pos_ = 0;
  uint64_t base_ = 0;
};

static_assert(std::endian::native == std::endian::little, "readers assume a little-endian host");

}  // namespace vl
