#include "assets/sha256.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace vl::assets {

std::string Sha256Hex(std::span<const uint8_t> bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1 || length != 32)
    throw std::runtime_error("SHA-256 is not available from libcrypto");
  std::string hex(2 * length, '0');
  static constexpr char kDigits[] = "0123456789abcdef";
  for (unsigned int i = 0; i < length; ++i) {
    hex[2 * i] = kDigits[digest[i] >> 4];
    hex[2 * i + 1] = kDigits[digest[i] & 15];
  }
  return hex;
}

}  // namespace vl::assets
