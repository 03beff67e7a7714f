// Expected tokens from OpenSSL's one-shot HMAC, which shares no code with
// the engine's kernels.
#pragma once

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdint>
#include <string>

namespace oracle {

inline std::string hmac_hex(const std::string& key, const std::string& message) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
       reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest, &size);
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < size; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 15];
  }
  return out;
}

// The token of `value` at `position`.
inline std::string token(const std::string& key, std::int64_t position, const std::string& value) {
  return hmac_hex(key, std::to_string(position) + ":" + value);
}

}  // namespace oracle
