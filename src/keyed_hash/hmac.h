// Keyed hashing: HMAC-SHA-256 (RFC 2104 over FIPS 180-4 SHA-256) rendered as
// 64 lowercase hexadecimal characters, high nibble first, nothing else.
//
// hmac_sha256 is the reference: pure, reentrant, lock-free, it prepares the
// key on every call through OpenSSL's one-shot HMAC. PreparedKey is the hot
// path for many values under one key: the inner and outer SHA-256 states of
// the padded key are computed once, then each value costs one inner and one
// outer finish. Both give byte-identical digests for every key and data.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "keyed_hash/result.h"

namespace quillon_hash {

enum class HashError : std::uint8_t {
  HmacFailed,  // the cryptographic library reported a failure
};

// "HMAC computation failed", with nothing after it.
const char* message(HashError error);

inline constexpr std::size_t kHexDigestLength = 64;

// HMAC-SHA-256 of `data` under `key` (any lengths, zero included).
Result<std::string, HashError> hmac_sha256(std::string_view key, std::string_view data);

// The key's ipad/opad SHA-256 states, computed once. Immutable after
// construction, so one object may serve several threads at once. The states
// are wiped when the object dies. Uses the CPU's SHA extensions when present,
// OpenSSL otherwise.
class PreparedKey {
 public:
  explicit PreparedKey(std::string_view key);
  ~PreparedKey();
  PreparedKey(const PreparedKey&) = delete;
  PreparedKey& operator=(const PreparedKey&) = delete;

  // Writes the 64 hex characters of HMAC(key, head + tail) to `out`; the
  // two-part message spares callers from composing "position:value" in a
  // temporary. Returns false only if the cryptographic library fails.
  bool hex_digest(std::string_view head, std::string_view tail, char* out) const;

  // Two digests at once, as two hex_digest calls would write them; faster
  // on the SHA extensions when both messages are short (<= 55 bytes).
  bool hex_digest2(std::string_view head_a, std::string_view tail_a, char* out_a,
                   std::string_view head_b, std::string_view tail_b, char* out_b) const;

  // Which implementation serves this object; for tests and benchmarks.
  bool uses_sha_extensions() const { return use_shani_; }

  // Forces the OpenSSL implementation, so both can be compared on one CPU.
  struct ForceOpenSsl {};
  PreparedKey(std::string_view key, ForceOpenSsl);

 private:
  void init(std::string_view key, bool allow_shani);

  bool use_shani_ = false;
  // SHA-NI path: raw chaining values after the ipad and opad blocks.
  alignas(16) std::uint32_t inner_[8] = {};
  alignas(16) std::uint32_t outer_[8] = {};
  // OpenSSL path: SHA256_CTX states after the ipad and opad blocks, kept
  // opaque here so this header does not pull in OpenSSL.
  alignas(16) unsigned char inner_ctx_[128] = {};
  alignas(16) unsigned char outer_ctx_[128] = {};
};

}  // namespace quillon_hash
