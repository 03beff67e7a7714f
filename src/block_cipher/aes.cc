// AesKey and the kernel gate: CPU features read once, then FIPS-197's
// vectors through every lane of a fast kernel before it is trusted. A kernel
// that gets one wrong is never chosen; Portable serves instead.
#include <cstring>

#include "block_cipher/aes.h"
#include "block_cipher/aes_internal.h"
#include "keyed_hash/hmac.h"

namespace quillon::block_cipher {

namespace {

// FIPS-197 appendix C: one plaintext under the keys 00 01 02 ... of each size.
const std::uint8_t kPlain[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
const std::uint8_t kCipher[3][16] = {
    {0x69, 0xc4, 0xe0, 0xd8, 0x6a, 0x7b, 0x04, 0x30, 0xd8, 0xcd, 0xb7, 0x80, 0x70, 0xb4, 0xc5, 0x5a},
    {0xdd, 0xa9, 0x7c, 0xa4, 0x86, 0x4c, 0xdf, 0xe0, 0x6e, 0xaf, 0x70, 0xa0, 0xec, 0x0d, 0x71, 0x91},
    {0x8e, 0xa2, 0xb7, 0xca, 0x51, 0x67, 0x45, 0xbf, 0xea, 0xfc, 0x49, 0x90, 0x4b, 0x49, 0x60, 0x89}};

bool cpu_supports(Kernel kernel) {
#ifdef QM_X86_AES
  if (kernel == Kernel::AesNi) return internal::cpu_has_aes();
#endif
  return kernel == Kernel::Portable;
}

}  // namespace

// Fifteen blocks in one call: a full group of eight, then the groups of
// four, two and one that finish a batch, so every lane position is checked.
bool passes_known_answers(Kernel kernel) {
  std::uint8_t key[32];
  for (int i = 0; i < 32; ++i) key[i] = static_cast<std::uint8_t>(i);
  const AesKeySize sizes[3] = {AesKeySize::Aes128, AesKeySize::Aes192, AesKeySize::Aes256};
  constexpr std::size_t kCount = 15;
  for (int s = 0; s < 3; ++s) {
    const AesKey aes(key, sizes[s], kernel, AesKey::Unchecked{});
    std::uint8_t blocks[kCount * 16];
    for (std::size_t i = 0; i < kCount; ++i) std::memcpy(blocks + 16 * i, kPlain, 16);
    aes.encrypt_blocks(blocks, blocks, kCount);
    for (std::size_t i = 0; i < kCount; ++i) {
      if (std::memcmp(blocks + 16 * i, kCipher[s], 16) != 0) return false;
    }
  }
  return true;
}

bool kernel_available(Kernel kernel) {
  static const bool aes_ni = cpu_supports(Kernel::AesNi) && passes_known_answers(Kernel::AesNi);
  return kernel == Kernel::Portable || (kernel == Kernel::AesNi && aes_ni);
}

Kernel fastest_kernel() {
  return kernel_available(Kernel::AesNi) ? Kernel::AesNi : Kernel::Portable;
}

const char* kernel_name(Kernel kernel) {
  return kernel == Kernel::AesNi ? "aes-ni" : "portable";
}

AesKey::AesKey(const std::uint8_t* key, AesKeySize size, Kernel kernel, Unchecked)
    : kernel_(kernel), rounds_(static_cast<int>(size) / 4 + 6) {
  internal::expand_key(key, static_cast<int>(size) / 4, round_keys_);
}

AesKey::AesKey(const std::uint8_t* key, AesKeySize size, Kernel kernel)
    : AesKey(key, size, kernel_available(kernel) ? kernel : Kernel::Portable, Unchecked{}) {}

AesKey::AesKey(const std::uint8_t* key, AesKeySize size)
    : AesKey(key, size, fastest_kernel(), Unchecked{}) {}

AesKey::~AesKey() { keyed_hash::wipe(round_keys_, sizeof(round_keys_)); }

void AesKey::encrypt_blocks(const std::uint8_t* in, std::uint8_t* out, std::size_t n) const {
#ifdef QM_X86_AES
  if (kernel_ == Kernel::AesNi) {
    internal::aesni_encrypt(round_keys_, rounds_, in, out, n);
    return;
  }
#endif
  internal::portable_encrypt(round_keys_, rounds_, in, out, n);
}

std::size_t AesKey::lanes() const {
#ifdef QM_X86_AES
  if (kernel_ == Kernel::AesNi) return internal::kAesNiLanes;
#endif
  return 1;
}

}  // namespace quillon::block_cipher
