// Keyed hashing: HMAC-SHA-256 (RFC 2104 over FIPS 180-4 SHA-256) rendered as
// 64 lowercase hexadecimal characters, high nibble first, nothing else.
//
// hmac_sha256 is the simple form: pure, reentrant, lock-free, it prepares
// the key on every call. PreparedKey is the hot path for many values under
// one key: the inner and outer SHA-256 states of the padded key are computed
// once, then each value costs one inner and one outer finish, several values
// at a time on the widest kernel the CPU has. Both give byte-identical
// digests for every key and data.
//
// The SHA-256 code is all our own and needs no library at run time (the
// module links into processes that load other libcrypto builds, on systems
// as old as glibc 2.28); the tests check it against OpenSSL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "keyed_hash/pull.h"

namespace quillon::keyed_hash {

inline constexpr std::size_t kHexDigestLength = 64;

// HMAC-SHA-256 of `data` under `key` (any lengths, zero included), on the
// portable kernel.
std::string hmac_sha256(std::string_view key, std::string_view data);

// Overwrites n bytes at p with zeros in a way the compiler cannot drop as a
// dead store: for keys and key-derived state before their memory is freed.
void wipe(void* p, std::size_t n);
// The same for a key copy held as an optional string (absent: no key).
inline void wipe(std::optional<std::string>& key) {
  if (key && !key->empty()) wipe(key->data(), key->size());
}

// Implementations of the keyed hash. Portable is plain C++ and runs
// everywhere; the others are x86 kernels that hash several messages at once.
enum class Kernel : std::uint8_t {
  Portable,  // plain C++ compression, one message at a time
  ShaNi,     // SHA extensions, several chains interleaved
  Avx2,      // eight messages in the 32-bit lanes of AVX2 registers
};

// True when `kernel` can serve on this CPU: built for this architecture,
// its instructions present, and its digest of RFC 4231 vectors correct
// (checked once per process). Portable is always available.
bool kernel_available(Kernel kernel);

// "portable", "sha-ni", "avx2".
const char* kernel_name(Kernel kernel);

// The key's ipad/opad SHA-256 states, computed once. Immutable after
// construction, so one object may serve several threads at once. The states
// are wiped when the object dies.
class PreparedKey {
 public:
  // Serves with the fastest available kernel: ShaNi, else Avx2, else
  // Portable.
  explicit PreparedKey(std::string_view key);
  // Serves with `kernel`, or with Portable when it is not available; for
  // tests and benchmarks.
  PreparedKey(std::string_view key, Kernel kernel);
  ~PreparedKey();
  PreparedKey(const PreparedKey&) = delete;
  PreparedKey& operator=(const PreparedKey&) = delete;

  // The one way in, whatever the kernel: pulls messages from `source`
  // until it has none left and writes each one's 64 hex characters to the
  // output slot that came with it. Messages of any length and split;
  // outputs must not overlap. The kernel pulls a few messages ahead of its
  // hashing, so the caller's reading overlaps it, and hashes messages
  // longer than one block in groups of their own.
  void hex_digests(const MessageSource& source) const;

  // How many messages the serving kernel hashes at once.
  std::size_t lanes() const;
  // The kernel serving this object.
  Kernel kernel() const { return kernel_; }

 private:
  struct Unchecked {};
  // Serves with `kernel` without asking whether it is available; the
  // known-answer check itself builds its keys this way.
  PreparedKey(std::string_view key, Kernel kernel, Unchecked);
  friend bool passes_known_answers(Kernel kernel);

  void init(std::string_view key);

  Kernel kernel_ = Kernel::Portable;
  // The chaining values after the ipad and opad blocks, for every kernel.
  alignas(32) std::uint32_t inner_[8] = {};
  alignas(32) std::uint32_t outer_[8] = {};
};

}  // namespace quillon::keyed_hash
