// SHA-256 (FIPS 180-4), small and self-contained: fingerprints of decoded pixel buffers for the
// command-line tool and the tests. No OpenGL, no Qt.
#pragma once
#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace vl::assets {

class Sha256 {
 public:
  Sha256();
  void Update(std::span<const uint8_t> bytes);
  std::array<uint8_t, 32> Finish();  // the object is spent afterwards

 private:
  void Block(const uint8_t* p);
  std::array<uint32_t, 8> state_;
  std::array<uint8_t, 64> buffer_{};
  size_t buffered_ = 0;
  uint64_t length_ = 0;  // bytes hashed so far
};

// Lower-case hex digest of bytes.
std::string Sha256Hex(std::span<const uint8_t> bytes);

}  // namespace vl::assets
