// HKDF-SHA-256 (RFC 5869) over the keyed hash's HMAC: how each transform
// turns the caller's key into a key of its own. Each purpose derives with its
// own `info`, once per call, never per row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "block_cipher/error.h"
#include "keyed_hash/hmac.h"

namespace quillon::block_cipher {

// The most HKDF-SHA-256 can give: 255 digests.
inline constexpr std::size_t kHkdfMaxOutput = 255 * 32;

// Extract then expand: writes n bytes of OKM to `out`. An empty salt is the
// RFC's absent salt (HMAC pads both to the same zero block). OutputTooLong
// when n exceeds kHkdfMaxOutput, with nothing written. Intermediate keys are
// wiped before return.
CipherResult<Done> hkdf_sha256(std::string_view ikm, std::string_view salt, std::string_view info,
                   std::uint8_t* out, std::size_t n);

// A purpose's N-byte key derived from the caller's key (salt absent, the
// purpose's `info`), held only as long as the object and wiped with it.
template <std::size_t N>
struct DerivedKey {
  static_assert(N <= kHkdfMaxOutput, "HKDF-SHA-256 gives at most 8160 bytes");
  std::uint8_t bytes[N];

  DerivedKey(std::string_view caller_key, std::string_view info) {
    // Within HKDF's limit (checked above), so this cannot fail.
    static_cast<void>(hkdf_sha256(caller_key, {}, info, bytes, N));
  }
  ~DerivedKey() { keyed_hash::wipe(bytes, N); }
  DerivedKey(const DerivedKey&) = delete;
  DerivedKey& operator=(const DerivedKey&) = delete;
};

}  // namespace quillon::block_cipher
