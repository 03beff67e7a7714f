// HKDF-SHA-256 against RFC 5869's vectors and OpenSSL; base64url against
// RFC 4648's vectors and OpenSSL's base64, and its strict decoding.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "block_cipher/base64url.h"
#include "block_cipher/hkdf.h"
#include "cipher_oracle.h"

namespace quillon::block_cipher {
namespace {

using oracle::Bytes;
using oracle::from_hex;

std::string_view view(const Bytes& b) { return {reinterpret_cast<const char*>(b.data()), b.size()}; }

Bytes range(std::uint8_t from, std::uint8_t to) {
  Bytes out;
  for (unsigned b = from; b <= to; ++b) out.push_back(static_cast<std::uint8_t>(b));
  return out;
}

// RFC 5869 A.1-A.3: basic, long inputs, absent salt and info.
TEST(Hkdf, Rfc5869Vectors) {
  struct Case {
    Bytes ikm, salt, info;
    const char* okm;
  } cases[] = {
      {Bytes(22, 0x0b), range(0x00, 0x0c), range(0xf0, 0xf9),
       "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"},
      {range(0x00, 0x4f), range(0x60, 0xaf), range(0xb0, 0xff),
       "b11e398dc80327a1c8e7f78c596a49344f012eda2d4efad8a050cc4c19afa97c59045a99cac7827271cb41c65e5"
       "90e09da3275600c2f09b8367793a9aca3db71cc30c58179ec3e87c14c01d5c1f3434f1d87"},
      {Bytes(22, 0x0b), {}, {},
       "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"},
  };
  for (const Case& c : cases) {
    const Bytes expected = from_hex(c.okm);
    Bytes okm(expected.size());
    ASSERT_TRUE(hkdf_sha256(view(c.ikm), view(c.salt), view(c.info), okm.data(), okm.size()).ok());
    EXPECT_EQ(okm, expected);
  }
}

// Every output length across the digest edges, long keys, against OpenSSL.
TEST(Hkdf, MatchesOpenSslAtEveryLength) {
  std::mt19937 rng(5869);
  for (std::size_t n : {0u, 1u, 31u, 32u, 33u, 64u, 65u, 100u, 8160u}) {
    Bytes ikm(rng() % 200), salt(rng() % 100), info(rng() % 60);
    for (Bytes* b : {&ikm, &salt, &info}) {
      for (auto& x : *b) x = static_cast<std::uint8_t>(rng());
    }
    Bytes okm(n);
    ASSERT_TRUE(hkdf_sha256(view(ikm), view(salt), view(info), okm.data(), n).ok());
    if (n > 0) {
      EXPECT_EQ(okm, oracle::hkdf_sha256(ikm, salt, info, n)) << n;
    }
  }
  Bytes big(kHkdfMaxOutput + 1, 0xab);
  const CipherResult<Done> too_long = hkdf_sha256("k", "", "", big.data(), big.size());
  ASSERT_FALSE(too_long.ok());
  EXPECT_EQ(too_long.error(), CipherError::OutputTooLong);
  EXPECT_EQ(big, Bytes(kHkdfMaxOutput + 1, 0xab));
}

std::string encode(const Bytes& b) {
  std::string out(base64url_size(b.size()), '\0');
  base64url_encode(b.data(), b.size(), out.data());
  return out;
}

// RFC 4648 section 10 (padding dropped), and the two URL-safe characters.
TEST(Base64url, Rfc4648Vectors) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},           {"f", "Zg"},          {"fo", "Zm8"},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg"}, {"fooba", "Zm9vYmE"}, {"foobar", "Zm9vYmFy"}, {"\xfb\xff", "-_8"},
  };
  for (const auto& [plain, text] : cases) {
    const Bytes bytes(plain.begin(), plain.end());
    EXPECT_EQ(encode(bytes), text);
    const auto size = base64url_decoded_size(text.size());
    ASSERT_TRUE(size.ok());
    Bytes decoded(size.value());
    ASSERT_TRUE(base64url_decode(text, decoded.data()).ok()) << text;
    EXPECT_EQ(decoded, bytes);
  }
}

// Random bytes of every length up to 100 against OpenSSL's base64 with the
// URL alphabet swapped in and the padding dropped; decoding gives them back.
TEST(Base64url, MatchesOpenSslAndRoundTrips) {
  std::mt19937 rng(4648);
  for (std::size_t n = 0; n <= 100; ++n) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<std::uint8_t>(rng());
    const std::string expected = oracle::base64url(b);
    ASSERT_EQ(encode(b), expected) << n;
    Bytes decoded(base64url_decoded_size(expected.size()).value());
    ASSERT_TRUE(base64url_decode(expected, decoded.data()).ok());
    EXPECT_EQ(decoded, b);
  }
}

// Texts base64url_encode never writes.
TEST(Base64url, StrictDecodingRejects) {
  const std::string bad[] = {
      "Z",         // a length of 1 mod 4
      "Zm9vY",     // likewise after whole groups
      "Zg==",      // padding
      "Zg=",       // padding
      "Zh",        // unused low bits set
      "Zm9",       // unused low bits set
      "Zm+v",      // standard alphabet
      "Zm/v",      // standard alphabet
      "Zm 9v",     // whitespace
      "Zm9v\n",    // newline
      std::string("Zm\0v", 4),
      "Zm9v\xc3\xa9",  // non-ASCII
  };
  for (const std::string& text : bad) {
    Bytes out(text.size());
    const auto size = base64url_decoded_size(text.size());
    const CipherResult<Done> decoded = base64url_decode(text, out.data());
    EXPECT_TRUE(!size.ok() || !decoded.ok()) << text;
    if (!decoded.ok()) {
      EXPECT_EQ(decoded.error(), CipherError::BadEncoding);
    }
  }
}

}  // namespace
}  // namespace quillon::block_cipher
