// SHA-256 fingerprints of decoded pixel buffers for the command-line tool and the tests, computed
// by OpenSSL's libcrypto. No OpenGL, no Qt.
#pragma once
#include <cstdint>
#include <span>
#include <string>

namespace vl::assets {

// Lower-case hex digest of bytes.
std::string Sha256Hex(std::span<const uint8_t> bytes);

}  // namespace vl::assets
