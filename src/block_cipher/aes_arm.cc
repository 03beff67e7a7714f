// AES on the ARMv8 AES instructions: eight blocks in flight, each round key
// applied to all eight before the next, so the latency of aese and aesmc is
// hidden behind the other blocks. aese adds the round key before SubBytes
// and ShiftRows (aesenc adds it after MixColumns), so round r takes key r
// and the last key is added alone.
//
// The build compiles this file alone with the crypto extensions (CMake);
// its cipher is entered only after the HWCAP check and FIPS-197's vectors
// (aes.cc).
#include "block_cipher/aes_internal.h"

#ifdef QM_ARM_AES

#include <arm_neon.h>
#include <sys/auxv.h>

// The bit as Linux's arm64 <asm/hwcap.h> defines it, for C libraries whose
// headers lack it.
#ifndef HWCAP_AES
#define HWCAP_AES (1 << 3)
#endif

namespace quillon::block_cipher::internal {

bool cpu_has_arm_aes() {
  static const bool has = (getauxval(AT_HWCAP) & HWCAP_AES) != 0;
  return has;
}

namespace {

// Encrypts L blocks with the round keys held in registers.
template <std::size_t L>
inline void encrypt_group(const uint8x16_t* rk, int rounds, const std::uint8_t* in, std::uint8_t* out) {
  uint8x16_t x[L];
  for (std::size_t i = 0; i < L; ++i) x[i] = vld1q_u8(in + 16 * i);
  for (int r = 0; r < rounds - 1; ++r) {
    for (std::size_t i = 0; i < L; ++i) x[i] = vaesmcq_u8(vaeseq_u8(x[i], rk[r]));
  }
  for (std::size_t i = 0; i < L; ++i) {
    vst1q_u8(out + 16 * i, veorq_u8(vaeseq_u8(x[i], rk[rounds - 1]), rk[rounds]));
  }
}

}  // namespace

void arm_aes_encrypt(const std::uint8_t* round_keys, int rounds, const std::uint8_t* in,
                     std::uint8_t* out, std::size_t n) {
  uint8x16_t rk[15];
  for (int r = 0; r <= rounds; ++r) rk[r] = vld1q_u8(round_keys + 16 * r);
  for (; n >= kArmAesLanes; n -= kArmAesLanes, in += 16 * kArmAesLanes, out += 16 * kArmAesLanes) {
    encrypt_group<kArmAesLanes>(rk, rounds, in, out);
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
  for (int r = 0; r <= rounds; ++r) rk[r] = vdupq_n_u8(0);
  __asm__ __volatile__("" : : "r"(rk) : "memory");
}

}  // namespace quillon::block_cipher::internal

#endif  // QM_ARM_AES
