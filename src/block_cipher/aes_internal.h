// AES kernels behind AesKey. Internal to block_cipher.
//
// Round keys are FIPS-197's w[] in byte order, (rounds + 1) * 16 bytes; both
// kernels and the key schedule share that layout (it is also what aesenc
// takes, so no conversion sits between them).
#pragma once

#include <cstddef>
#include <cstdint>

#if (defined(__x86_64__) || defined(_M_X64)) && !defined(QM_PORTABLE_ONLY)
#define QM_X86_AES 1
#endif

namespace quillon::block_cipher::internal {

// The key schedule (FIPS-197 5.2), constant time: `key` has 4 * nk bytes
// (nk = 4, 6 or 8), `round_keys` gets (nk + 7) * 16.
void expand_key(const std::uint8_t* key, int nk, std::uint8_t* round_keys);

// The portable cipher over n blocks; out == in allowed.
void portable_encrypt(const std::uint8_t* round_keys, int rounds, const std::uint8_t* in,
                      std::uint8_t* out, std::size_t n);

#ifdef QM_X86_AES
// Read once from CPUID: AES instructions with SSE2 (every x86-64).
bool cpu_has_aes();
inline constexpr std::size_t kAesNiLanes = 8;
void aesni_encrypt(const std::uint8_t* round_keys, int rounds, const std::uint8_t* in,
                   std::uint8_t* out, std::size_t n);
#endif

}  // namespace quillon::block_cipher::internal
