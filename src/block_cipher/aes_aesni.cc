// AES on the x86 AES instructions: eight blocks in flight, each round key
// applied to all eight before the next, so aesenc's latency is hidden behind
// the other blocks.
#include "block_cipher/aes_internal.h"

#ifdef QM_X86_AES

#include <cpuid.h>
#include <immintrin.h>

// Only these functions are built for AES-NI, and they are entered after a
// CPUID check.
#define QM_AESNI __attribute__((target("aes,sse2")))

namespace quillon::block_cipher::internal {

bool cpu_has_aes() {
  static const bool has = [] {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    return __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (ecx & bit_AES) != 0;
  }();
  return has;
}

namespace {

// Encrypts L blocks with the round keys held in registers.
template <std::size_t L>
QM_AESNI inline void encrypt_group(const __m128i* rk, int rounds, const std::uint8_t* in,
                                   std::uint8_t* out) {
  __m128i x[L];
  for (std::size_t i = 0; i < L; ++i) {
    x[i] = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16 * i)), rk[0]);
  }
  for (int r = 1; r < rounds; ++r) {
    for (std::size_t i = 0; i < L; ++i) x[i] = _mm_aesenc_si128(x[i], rk[r]);
  }
  for (std::size_t i = 0; i < L; ++i) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * i),
                     _mm_aesenclast_si128(x[i], rk[rounds]));
  }
}

}  // namespace

QM_AESNI void aesni_encrypt(const std::uint8_t* round_keys, int rounds, const std::uint8_t* in,
                            std::uint8_t* out, std::size_t n) {
  __m128i rk[15];
  for (int r = 0; r <= rounds; ++r) {
    rk[r] = _mm_load_si128(reinterpret_cast<const __m128i*>(round_keys + 16 * r));
  }
  for (; n >= kAesNiLanes; n -= kAesNiLanes, in += 16 * kAesNiLanes, out += 16 * kAesNiLanes) {
    encrypt_group<kAesNiLanes>(rk, rounds, in, out);
  }
  if (n >= 4) {
    encrypt_group<4>(rk, rounds, in, out);
    n -= 4, in += 64, out += 64;
  }
  if (n >= 2) {
    encrypt_group<2>(rk, rounds, in, out);
    n -= 2, in += 32, out += 32;
  }
  if (n == 1) encrypt_group<1>(rk, rounds, in, out);
  // The round keys leave no copy on the stack.
  for (int r = 0; r <= rounds; ++r) rk[r] = _mm_setzero_si128();
  __asm__ __volatile__("" : : "r"(rk) : "memory");
}

}  // namespace quillon::block_cipher::internal

#endif
