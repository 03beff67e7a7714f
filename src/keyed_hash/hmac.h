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

#include "keyed_hash/result.h"
#include "keyed_hash/short_block.h"

namespace quillon_hash {

// No kernel fails today; the error stays in the interface so a kernel that
// can fail needs no change of callers.
enum class HashError : std::uint8_t {
  HmacFailed,
};

// "HMAC computation failed", with nothing after it.
const char* message(HashError error);

inline constexpr std::size_t kHexDigestLength = 64;

// HMAC-SHA-256 of `data` under `key` (any lengths, zero included).
Result<std::string, HashError> hmac_sha256(std::string_view key, std::string_view data);

// One message as two parts hashed as their concatenation, so callers need
// not compose "position:value" in a temporary.
struct Message {
  std::string_view head;
  std::string_view tail;
};

// Overwrites n bytes at p with zeros in a way the compiler cannot drop as a
// dead store: for keys and key-derived state before their memory is freed.
void wipe(void* p, std::size_t n);
// The same for a key copy held as an optional string (absent: no key).
inline void wipe(std::optional<std::string>& key) {
  if (key && !key->empty()) wipe(key->data(), key->size());
}

// A caller's messages of at most kOneBlockMax bytes each, padded by the
// caller (pad_short_block) on demand: fill() writes up to `max` blocks and
// their output slots and returns how many; fewer than `max` only when it has
// no more, 0 at the end.
struct BlockSource {
  std::size_t (*fill)(void* context, std::uint8_t (*blocks)[kBlock], char** outs, std::size_t max);
  void* context;
};

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

  // Writes the 64 hex characters of HMAC(key, head + tail) to `out`.
  // Returns false only if the kernel fails (none does today).
  bool hex_digest(std::string_view head, std::string_view tail, char* out) const;

  // Writes the digest of msgs[i] to outs[i] for every i < n, any n, any
  // message lengths; as n hex_digest calls would. lanes() messages fill the
  // kernel once; callers get the most from it with batches of hundreds,
  // since messages longer than 55 bytes are grouped apart from the short
  // ones and a batch's last group may run part-empty. Outputs must not
  // overlap. Returns false only if the kernel fails (none does today);
  // outputs are then unspecified.
  bool hex_digest_many(const Message* msgs, std::size_t n, char* const* outs) const;

  // The same for messages of at most kOneBlockMax bytes that the caller
  // padded into their blocks itself (pad_short_block): blocks[i]'s digest
  // goes to outs[i]. Lets a caller feed the kernel straight from its own
  // data; the blocks are only read.
  bool hex_digest_blocks(const std::uint8_t (*blocks)[kBlock], std::size_t n,
                         char* const* outs) const;

  // Pulls padded one-block messages from `source` until it has none left
  // and hashes them, for callers that read their messages from their own
  // data as the kernel goes: the SHA-NI kernel asks for the next few while
  // it still hashes the ones before, so reading them overlaps the hashing.
  // Only for kernels that cannot fail (stream_capable()); false otherwise,
  // having pulled nothing.
  bool hex_digest_stream(const BlockSource& source) const;
  bool stream_capable() const { return kernel_ == Kernel::ShaNi; }

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

}  // namespace quillon_hash
