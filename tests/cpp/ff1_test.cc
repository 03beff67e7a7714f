// FF1: NIST's nine samples, an FF1 written from SP 800-38G's pseudocode over
// OpenSSL's AES and BIGNUM for every radix class and length up to the
// maximum, and the domain's edges.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "block_cipher/ff1.h"
#include "cipher_oracle.h"
#include "cipher_test_util.h"

namespace quillon::block_cipher {
namespace {

using oracle::Bytes;
using oracle::from_hex;

const std::string kBase36 = "0123456789abcdefghijklmnopqrstuvwxyz";

std::vector<std::uint32_t> numerals(const std::string& s) {
  std::vector<std::uint32_t> out;
  for (char c : s) out.push_back(static_cast<std::uint32_t>(kBase36.find(c)));
  return out;
}

std::string_view view(const Bytes& b) { return {reinterpret_cast<const char*>(b.data()), b.size()}; }

using Ff1Samples = KernelTest;

// NIST's FF1 samples 1-9 (AES-128, -192, -256; radix 10 and 36; with and
// without tweak), both ways and for both numeral widths.
TEST_P(Ff1Samples, NistSamples) {
  const char* keys[] = {"2b7e151628aed2a6abf7158809cf4f3c",
                        "2b7e151628aed2a6abf7158809cf4f3cef4359d8d580aa4f",
                        "2b7e151628aed2a6abf7158809cf4f3cef4359d8d580aa4f7f036d6f04fc6a94"};
  struct Case {
    int key;
    std::uint32_t radix;
    const char *tweak, *plain, *cipher;
  } cases[] = {
      {0, 10, "", "0123456789", "2433477484"},
      {0, 10, "39383736353433323130", "0123456789", "6124200773"},
      {0, 36, "3737373770717273373737", "0123456789abcdefghi", "a9tv40mll9kdu509eum"},
      {1, 10, "", "0123456789", "2830668132"},
      {1, 10, "39383736353433323130", "0123456789", "2496655549"},
      {1, 36, "3737373770717273373737", "0123456789abcdefghi", "xbj3kv35jrawxv32ysr"},
      {2, 10, "", "0123456789", "6657667009"},
      {2, 10, "39383736353433323130", "0123456789", "1001623463"},
      {2, 36, "3737373770717273373737", "0123456789abcdefghi", "xs8a0azh2avyalyzuwd"},
  };
  for (const Case& c : cases) {
    const Bytes key = from_hex(keys[c.key]);
    const auto ff1 = Ff1Key::make(key.data(), static_cast<AesKeySize>(key.size()), GetParam());
    ASSERT_EQ(ff1->kernel(), GetParam());
    const Bytes tweak = from_hex(c.tweak);
    const auto plain = numerals(c.plain), cipher = numerals(c.cipher);
    const std::size_t n = plain.size();
    std::vector<std::uint32_t> out(n);
    ASSERT_TRUE(ff1->encrypt(c.radix, view(tweak), plain.data(), out.data(), n).ok());
    EXPECT_EQ(out, cipher) << c.cipher;
    ASSERT_TRUE(ff1->decrypt(c.radix, view(tweak), cipher.data(), out.data(), n).ok());
    EXPECT_EQ(out, plain) << c.cipher;
    std::vector<std::uint16_t> narrow(plain.begin(), plain.end());
    ASSERT_TRUE(ff1->encrypt(c.radix, view(tweak), narrow.data(), narrow.data(), n).ok());
    EXPECT_EQ(std::vector<std::uint32_t>(narrow.begin(), narrow.end()), cipher) << "in place";
  }
}

// Radices at the edges (the smallest, a byte's, the largest) and common
// ones, lengths from the smallest in the domain to the maximum, tweaks
// across the block edges, against the reference; then back. The derived
// key is tested on columns, in cipher_columns_test.cc.
TEST_P(Ff1Samples, MatchesReferenceFf1) {
  std::mt19937 rng(800038);
  const std::uint32_t radices[] = {2, 10, 36, 255, 256, 65536};
  for (int round = 0; round < 3; ++round) {
    for (std::uint32_t radix : radices) {
      Bytes key(16 + 8 * static_cast<std::size_t>(rng() % 3));
      for (auto& b : key) b = static_cast<std::uint8_t>(rng());
      const auto ff1 = Ff1Key::make(key.data(), static_cast<AesKeySize>(key.size()), GetParam());
      oracle::Ff1 reference(key, radix);
      std::size_t shortest = 2;
      while (!ff1_check_domain(radix, shortest).ok()) ++shortest;
      const std::size_t lengths[] = {shortest, shortest + 1, 16, 33};
      const std::size_t n = round == 2 ? kFf1MaxLength : std::max(shortest, lengths[rng() % 4]);
      Bytes tweak(round == 0 ? 0 : rng() % 40);
      for (auto& b : tweak) b = static_cast<std::uint8_t>(rng());
      std::vector<std::uint32_t> plain(n), out(n), back(n);
      for (auto& x : plain) x = static_cast<std::uint32_t>(rng() % radix);
      ASSERT_TRUE(ff1->encrypt(radix, view(tweak), plain.data(), out.data(), n).ok());
      ASSERT_EQ(out, reference.run(plain, tweak, true))
          << "radix " << radix << " n " << n << " tweak " << tweak.size();
      ASSERT_TRUE(ff1->decrypt(radix, view(tweak), out.data(), back.data(), n).ok());
      EXPECT_EQ(back, plain) << "radix " << radix << " n " << n;
    }
  }
}

QM_FOR_EVERY_KERNEL(Ff1Samples);

// Outside the domain, or a numeral not below the radix: an error, the
// output untouched, in both directions.
TEST(Ff1Domain, ErrorsLeaveTheOutputAlone) {
  const Bytes key(32, 7);
  const auto ff1 = Ff1Key::make(key.data(), AesKeySize::Aes256);
  struct Edge {
    std::uint32_t radix;
    std::size_t n;
    bool inside;
  } edges[] = {{10, 5, false},   {10, 6, true},     {2, 19, false},   {2, 20, true},
               {1000, 2, true},  {999, 2, false},   {1, 300, false},  {0, 10, false},
               {65536, 2, true}, {65537, 2, false}, {36, kFf1MaxLength, true},
               {36, kFf1MaxLength + 1, false},      {65536, 1, false}};
  for (const Edge& e : edges) {
    EXPECT_EQ(ff1_check_domain(e.radix, e.n).ok(), e.inside) << e.radix << "^" << e.n;
    std::vector<std::uint32_t> in(e.n, 0), out(e.n, 0xabcd);
    const CipherResult<Done> s = ff1->encrypt(e.radix, "", in.data(), out.data(), e.n);
    EXPECT_EQ(s.ok(), e.inside) << e.radix << "^" << e.n;
    if (!e.inside) {
      EXPECT_EQ(s.error(), CipherError::OutsideDomain);
      EXPECT_EQ(out, std::vector<std::uint32_t>(e.n, 0xabcd));
    }
  }
  for (bool encrypt : {true, false}) {
    for (std::uint32_t radix : {10u, 36u, 65536u}) {
      std::vector<std::uint32_t> in(20, 1), out(20, 0xabcd);
      in[13] = radix;
      const CipherResult<Done> s = encrypt ? ff1->encrypt(radix, "t", in.data(), out.data(), in.size())
                               : ff1->decrypt(radix, "t", in.data(), out.data(), in.size());
      ASSERT_FALSE(s.ok());
      EXPECT_EQ(s.error(), CipherError::BadNumeral);
      EXPECT_EQ(out, std::vector<std::uint32_t>(20, 0xabcd));
    }
  }
}

}  // namespace
}  // namespace quillon::block_cipher
