// The AES kernels: FIPS-197's vectors, then OpenSSL's AES-ECB over random
// keys and blocks in batches of every size around the lane groups.
#include <gtest/gtest.h>

#include <random>

#include "block_cipher/aes.h"
#include "cipher_oracle.h"
#include "cipher_test_util.h"

namespace quillon::block_cipher {
namespace {

using oracle::Bytes;
using oracle::from_hex;

using AesKernels = KernelTest;

AesKeySize size_of(const Bytes& key) { return static_cast<AesKeySize>(key.size()); }

// FIPS-197 appendix C.1-C.3 and appendix B.
TEST_P(AesKernels, Fips197Vectors) {
  struct Case {
    const char *key, *plain, *cipher;
  } cases[] = {
      {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
       "69c4e0d86a7b0430d8cdb78070b4c55a"},
      {"000102030405060708090a0b0c0d0e0f1011121314151617", "00112233445566778899aabbccddeeff",
       "dda97ca4864cdfe06eaf70a0ec0d7191"},
      {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
       "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"},
      {"2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734",
       "3925841d02dc09fbdc118597196a0b32"},
  };
  for (const Case& c : cases) {
    const Bytes key = from_hex(c.key);
    const AesKey aes(key.data(), size_of(key), GetParam());
    ASSERT_EQ(aes.kernel(), GetParam());
    Bytes block = from_hex(c.plain);
    aes.encrypt_blocks(block.data(), block.data(), 1);
    EXPECT_EQ(block, from_hex(c.cipher)) << c.key;
  }
}

// Each batch size up to three groups and a bit, every key size, in place and
// not; outputs sit in exact-size heap blocks so ASan sees an overrun.
TEST_P(AesKernels, BatchesMatchOpenSsl) {
  std::mt19937 rng(7);
  for (std::size_t key_size : {16u, 24u, 32u}) {
    Bytes key(key_size);
    for (auto& b : key) b = static_cast<std::uint8_t>(rng());
    const AesKey aes(key.data(), size_of(key), GetParam());
    for (std::size_t n = 1; n <= 3 * aes.lanes() + 3; ++n) {
      Bytes in(16 * n);
      for (auto& b : in) b = static_cast<std::uint8_t>(rng());
      const Bytes expected = oracle::aes_ecb(key, in);
      auto out = std::make_unique<std::uint8_t[]>(16 * n);
      aes.encrypt_blocks(in.data(), out.get(), n);
      EXPECT_EQ(Bytes(out.get(), out.get() + 16 * n), expected) << key_size << " " << n;
      aes.encrypt_blocks(in.data(), in.data(), n);
      EXPECT_EQ(in, expected) << "in place " << key_size << " " << n;
    }
  }
}

QM_FOR_EVERY_KERNEL(AesKernels);

}  // namespace
}  // namespace quillon::block_cipher
