// Expected tokens for the engine's tests, from OpenSSL's one-shot HMAC,
// which shares no code with the engine's kernels.
#pragma once

#include <cstdint>
#include <string>

#include "openssl_oracle.h"

namespace quillon::oracle {

inline std::string hmac_hex(const std::string& key, const std::string& message) {
  return keyed_hash::oracle::hmac_sha256(key, message);
}

// The token of `value` at `position`.
inline std::string token(const std::string& key, std::int64_t position, const std::string& value) {
  return hmac_hex(key, std::to_string(position) + ":" + value);
}

}  // namespace quillon::oracle
