// The tests' oracle: OpenSSL's HMAC-SHA-256 and SHA-256, independent of the
// keyed hash under test, rendered as lowercase hex.
#pragma once

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <string>
#include <string_view>

namespace quillon::keyed_hash::oracle {

inline std::string hex(const unsigned char* bytes, std::size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 0x0f]);
  }
  return out;
}

// OpenSSL reads a null key pointer as "keep the previous key", so an empty
// key gets a valid pointer.
inline std::string hmac_sha256(std::string_view key, std::string_view data) {
  static const unsigned char kNone[1] = {0};
  unsigned char tag[EVP_MAX_MD_SIZE];
  unsigned int tag_len = 0;
  const auto* k = key.empty() ? kNone : reinterpret_cast<const unsigned char*>(key.data());
  const auto* d = data.empty() ? kNone : reinterpret_cast<const unsigned char*>(data.data());
  if (HMAC(EVP_sha256(), k, static_cast<int>(key.size()), d, data.size(), tag, &tag_len) ==
      nullptr) {
    return "openssl failed";
  }
  return hex(tag, tag_len);
}

inline std::string sha256(std::string_view data) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest);
  return hex(digest, sizeof(digest));
}

}  // namespace quillon::keyed_hash::oracle
