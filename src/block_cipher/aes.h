// AES (FIPS-197) encryption of independent 16-byte blocks under 128-, 192- or
// 256-bit keys: the block function under CMAC, CTR and FF1's PRF. Those modes
// only ever run the cipher forwards, so there is no inverse cipher here.
//
// Two kernels serve: AES-NI, eight blocks in flight at once since aesenc has
// several cycles of latency; and a portable one for every CPU that computes
// the S-box as an inversion in GF(2^8) eight bytes to a word, with no table
// lookup and no branch that depends on key or data (constant time). The key
// schedule is the portable code for both. A fast kernel is trusted only
// after FIPS-197's vectors come out right through every lane position.
//
// The code is our own and needs no library at run time; the tests check it
// against OpenSSL.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillon::block_cipher {

inline constexpr std::size_t kAesBlock = 16;

// Key sizes in bytes.
enum class AesKeySize : std::uint8_t { Aes128 = 16, Aes192 = 24, Aes256 = 32 };

enum class Kernel : std::uint8_t {
  Portable,  // computed S-box, constant time, one word of eight bytes at a time
  AesNi,     // x86 AES instructions, eight blocks interleaved
};

// True when `kernel` can serve here: built for this architecture, its
// instructions present, and FIPS-197's vectors right through it (checked once
// per process). Portable is always available.
bool kernel_available(Kernel kernel);
// AesNi when available, else Portable.
Kernel fastest_kernel();
// "portable", "aes-ni".
const char* kernel_name(Kernel kernel);

// An expanded key. Immutable after construction, so one object may serve
// several threads at once; the round keys are wiped when it dies.
class AesKey {
 public:
  // `key` holds size bytes. Serves with the fastest kernel.
  AesKey(const std::uint8_t* key, AesKeySize size);
  // Serves with `kernel`, or with Portable when it is not available; for
  // tests and benchmarks.
  AesKey(const std::uint8_t* key, AesKeySize size, Kernel kernel);
  ~AesKey();
  AesKey(const AesKey&) = delete;
  AesKey& operator=(const AesKey&) = delete;

  // Encrypts the n blocks at `in` into `out` (16 * n bytes each, any n);
  // out == in is allowed, other overlaps are not. Callers with independent
  // blocks (different chains, CTR counters) get the most from the AES-NI
  // kernel by passing eight or more at once.
  void encrypt_blocks(const std::uint8_t* in, std::uint8_t* out, std::size_t n) const;

  // Blocks the serving kernel keeps in flight.
  std::size_t lanes() const;
  Kernel kernel() const { return kernel_; }

 private:
  struct Unchecked {};
  AesKey(const std::uint8_t* key, AesKeySize size, Kernel kernel, Unchecked);
  friend bool passes_known_answers(Kernel kernel);

  Kernel kernel_;
  int rounds_;  // 10, 12 or 14
  alignas(16) std::uint8_t round_keys_[15 * kAesBlock];
};

}  // namespace quillon::block_cipher
