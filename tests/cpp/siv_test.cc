// AES-SIV: RFC 5297's vectors, OpenSSL's EVP AES-SIV over random values and
// contexts against the batch API, tampered and foreign ciphertexts, and the
// encrypt transform's whole token recipe.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "block_cipher/base64url.h"
#include "block_cipher/siv.h"
#include "cipher_oracle.h"
#include "cipher_test_util.h"

namespace quillon_cipher {
namespace {

using oracle::Bytes;
using oracle::from_hex;

std::string_view view(const Bytes& b) { return {reinterpret_cast<const char*>(b.data()), b.size()}; }

std::unique_ptr<SivKey> key_of(const Bytes& key, Kernel kernel) {
  auto made = SivKey::make(key.data(), key.size(), kernel);
  EXPECT_TRUE(made.ok());
  return std::move(made).value();
}

constexpr std::uint8_t kUnwritten = 0xee;

// Outputs in heap blocks of exactly their size, so ASan sees an overrun.
struct Outputs {
  std::vector<std::unique_ptr<std::uint8_t[]>> blocks;
  std::vector<std::uint8_t*> ptrs;
  std::vector<std::size_t> sizes;
  void add(std::size_t n) {
    blocks.emplace_back(new std::uint8_t[n > 0 ? n : 1]);
    std::fill_n(blocks.back().get(), n, kUnwritten);
    ptrs.push_back(blocks.back().get());
    sizes.push_back(n);
  }
  Bytes at(std::size_t i) const { return Bytes(ptrs[i], ptrs[i] + sizes[i]); }
};

Bytes seal_one(const SivKey& key, const std::vector<Bytes>& ad, const Bytes& plain) {
  std::vector<std::string_view> components;
  for (const Bytes& a : ad) components.push_back(view(a));
  const SivHeader header = key.header(components.data(), components.size());
  Bytes out(kSivTag + plain.size());
  std::uint8_t* outs[] = {out.data()};
  const std::string_view p = view(plain);
  key.seal_many(header, &p, 1, outs);
  return out;
}

using SivVectors = KernelTest;

// RFC 5297 A.1 (deterministic, one AD component) and A.2 (two AD components
// and a nonce, S2V's vector form).
TEST_P(SivVectors, Rfc5297) {
  struct Case {
    const char* key;
    std::vector<const char*> ad;
    const char *plain, *out;
  } cases[] = {
      {"fffefdfcfbfaf9f8f7f6f5f4f3f2f1f0f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff",
       {"101112131415161718191a1b1c1d1e1f2021222324252627"},
       "112233445566778899aabbccddee",
       "85632d07c6e8f37f950acd320a2ecc9340c02b9690c4dc04daef7f6afe5c"},
      {"7f7e7d7c7b7a79787776757473727170404142434445464748494a4b4c4d4e4f",
       {"00112233445566778899aabbccddeeffdeaddadadeaddadaffeeddccbbaa99887766554433221100",
        "102030405060708090a0", "09f911029d74e35bd84156c5635688c0"},
       "7468697320697320736f6d6520706c61696e7465787420746f20656e6372797074207573696e67205349"
       "562d414553",
       "7bdb6e3b432667eb06f4d14bff2fbd0fcb900f2fddbe404326601965c889bf17dba77ceb094fa663b7a3f7"
       "48ba8af829ea64ad544a272e9c485b62a3fd5c0d"},
  };
  for (const Case& c : cases) {
    const auto key = key_of(from_hex(c.key), GetParam());
    std::vector<Bytes> ad;
    for (const char* a : c.ad) ad.push_back(from_hex(a));
    const Bytes sealed = seal_one(*key, ad, from_hex(c.plain));
    EXPECT_EQ(sealed, from_hex(c.out));

    std::vector<std::string_view> components;
    for (const Bytes& a : ad) components.push_back(view(a));
    const SivHeader header = key->header(components.data(), components.size());
    Bytes plain(sealed.size() - kSivTag);
    std::uint8_t* outs[] = {plain.data()};
    const std::string_view token = view(sealed);
    ASSERT_TRUE(key->open_many(header, &token, 1, outs).ok());
    EXPECT_EQ(plain, from_hex(c.plain));
  }
}

// Batches of 0 to 40 values of 0 to 300 bytes, under a random context of 0
// to 300 bytes (none when empty, as the transform passes it) and every key
// size, against OpenSSL one value at a time; then opened back.
TEST_P(SivVectors, BatchesMatchOpenSsl) {
  std::mt19937 rng(5297);
  auto random_bytes = [&](std::size_t n) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<std::uint8_t>(rng());
    return b;
  };
  for (int round = 0; round < 24; ++round) {
    const Bytes raw = random_bytes(32 + 16 * static_cast<std::size_t>(round % 3));
    const oracle::Siv openssl(raw);
    ASSERT_TRUE(openssl.ok());
    const auto key = key_of(raw, GetParam());
    const Bytes context = random_bytes(round % 4 == 0 ? 0 : rng() % 301);
    std::vector<Bytes> ad;
    if (!context.empty()) ad.push_back(context);
    std::vector<std::string_view> components;
    if (!context.empty()) components.push_back(view(context));
    const SivHeader header = key->header(components.data(), components.size());

    const std::size_t n = rng() % 41;
    std::vector<Bytes> values;
    std::vector<std::string_view> views;
    Outputs sealed;
    for (std::size_t i = 0; i < n; ++i) {
      // Short, block-edge and long sizes all appear.
      const std::size_t sizes[] = {0, 1, 15, 16, 17, 25, 31, 32, 33};
      values.push_back(random_bytes(i % 3 == 0 ? rng() % 301 : sizes[rng() % 9]));
    }
    for (std::size_t i = 0; i < n; ++i) {
      views.push_back(view(values[i]));
      sealed.add(kSivTag + values[i].size());
    }
    key->seal_many(header, views.data(), n, sealed.ptrs.data());
    std::vector<std::string_view> tokens;
    Outputs opened;
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_EQ(sealed.at(i), openssl.seal(ad, values[i]))
          << "value " << i << " of " << n << ", " << values[i].size() << " bytes";
      tokens.push_back(view(Bytes()));
      opened.add(values[i].size());
    }
    std::vector<Bytes> sealed_bytes;
    for (std::size_t i = 0; i < n; ++i) sealed_bytes.push_back(sealed.at(i));
    for (std::size_t i = 0; i < n; ++i) tokens[i] = view(sealed_bytes[i]);
    ASSERT_TRUE(key->open_many(header, tokens.data(), n, opened.ptrs.data()).ok());
    for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(opened.at(i), values[i]) << i;
  }
}

// A batch of ten tokens with one spoiled at position 6: the error names it
// and no output holds plaintext (each is zeroed or was never written).
TEST_P(SivVectors, TamperedOrForeignTokensDoNotAuthenticate) {
  Bytes raw(64);
  for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<std::uint8_t>(i * 7);
  const auto key = key_of(raw, GetParam());
  Bytes other_raw(raw);
  other_raw[40] ^= 1;  // the CTR half: the tag still matches nothing
  const auto other_key = key_of(other_raw, GetParam());
  const std::string context = "orders.email";
  const std::string_view ctx = context;
  const SivHeader header = key->header(&ctx, 1);
  const std::string_view other_ctx = "orders.phone";

  constexpr std::size_t kBad = 6;
  std::vector<Bytes> values, tokens;
  for (std::size_t i = 0; i < 10; ++i) {
    values.push_back(Bytes(5 + 4 * i, static_cast<std::uint8_t>('a' + i)));
    tokens.push_back(seal_one(*key, {Bytes(context.begin(), context.end())}, values[i]));
  }
  struct Spoil {
    const char* name;
    std::function<void(Bytes&)> apply;
    const SivKey* key;
    std::string_view context;
  };
  std::vector<Spoil> spoils = {
      {"wrong key", [](Bytes&) {}, other_key.get(), ctx},
      {"wrong context", [](Bytes&) {}, key.get(), other_ctx},
      {"no context", [](Bytes&) {}, key.get(), {}},
      {"truncated below the tag", [](Bytes& t) { t.resize(kSivTag - 1); }, key.get(), ctx},
      {"ciphertext cut", [](Bytes& t) { t.pop_back(); }, key.get(), ctx},
      {"byte appended", [](Bytes& t) { t.push_back(0); }, key.get(), ctx},
  };
  for (std::size_t bit = 0; bit < 8 * tokens[kBad].size(); bit += 5) {
    spoils.push_back({"flipped bit", [bit](Bytes& t) { t[bit / 8] ^= 1 << (bit % 8); }, key.get(), ctx});
  }
  for (const Spoil& s : spoils) {
    std::vector<Bytes> batch(tokens);
    s.apply(batch[kBad]);
    const bool whole_batch = s.key != key.get() || s.context != ctx;
    std::vector<std::string_view> views;
    Outputs opened;
    for (const Bytes& t : batch) {
      views.push_back(view(t));
      opened.add(t.size() > kSivTag ? t.size() - kSivTag : 0);
    }
    const std::size_t n_ctx = s.context.empty() ? 0 : 1;
    const SivHeader h = s.key->header(&s.context, n_ctx);
    const auto opened_result = s.key->open_many(h, views.data(), views.size(), opened.ptrs.data());
    ASSERT_FALSE(opened_result.ok()) << s.name;
    EXPECT_EQ(opened_result.error().error, CipherError::NotAuthentic);
    EXPECT_EQ(opened_result.error().index, whole_batch ? 0 : kBad) << s.name;
    for (std::size_t i = 0; i < batch.size(); ++i) {
      const Bytes out = opened.at(i);
      const bool cleared = std::all_of(out.begin(), out.end(), [](auto b) { return b == 0; }) ||
                           std::all_of(out.begin(), out.end(), [](auto b) { return b == kUnwritten; });
      EXPECT_TRUE(cleared) << s.name << " left plaintext in output " << i;
    }
  }
  // Untouched, the same batch opens.
  std::vector<std::string_view> views;
  Outputs opened;
  for (const Bytes& t : tokens) {
    views.push_back(view(t));
    opened.add(t.size() - kSivTag);
  }
  EXPECT_TRUE(key->open_many(header, views.data(), views.size(), opened.ptrs.data()).ok());
}

// key64 = HKDF-SHA-256(key, no salt, "quillon_mask encrypt", 64); token =
// base64url without padding of AES-256-SIV(key64, value, [context] or none),
// all of it by OpenSSL on the oracle side.
TEST_P(SivVectors, EncryptTokenRecipe) {
  const std::string caller_key = "secret key bytes";
  const auto key = SivKey::derive(caller_key, GetParam());
  ASSERT_EQ(key->kernel(), GetParam());
  const std::string info = "quillon_mask encrypt";
  const Bytes oracle_key =
      oracle::hkdf_sha256(Bytes(caller_key.begin(), caller_key.end()), {}, Bytes(info.begin(), info.end()), 64);
  const oracle::Siv openssl(oracle_key);
  for (const std::string context : {"", "customers.email"}) {
    const std::string_view ctx = context;
    const SivHeader header = key->header(&ctx, context.empty() ? 0 : 1);
    for (const std::string value : {"alice@example.com", "", "x", "0123456789abcdef0123456789"}) {
      std::vector<Bytes> ad;
      if (!context.empty()) ad.push_back(Bytes(context.begin(), context.end()));
      const Bytes expected_raw = openssl.seal(ad, Bytes(value.begin(), value.end()));
      std::string expected(4 * ((expected_raw.size() + 2) / 3) + 1, '\0');
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(expected.data()), expected_raw.data(),
                      static_cast<int>(expected_raw.size()));
      expected.resize(expected.find('\0'));
      while (!expected.empty() && expected.back() == '=') expected.pop_back();
      for (char& c : expected) c = c == '+' ? '-' : c == '/' ? '_' : c;

      Bytes raw(kSivTag + value.size());
      std::uint8_t* outs[] = {raw.data()};
      const std::string_view v = value;
      key->seal_many(header, &v, 1, outs);
      std::string token(base64url_size(raw.size()), '\0');
      base64url_encode(raw.data(), raw.size(), token.data());
      EXPECT_EQ(token, expected) << "context '" << context << "' value '" << value << "'";
    }
  }
}

QM_FOR_EVERY_KERNEL(SivVectors);

TEST(SivKey, RejectsKeysOfOtherLengths) {
  const Bytes raw(80, 1);
  for (std::size_t size : {0u, 16u, 31u, 33u, 63u, 65u, 80u}) {
    const auto made = SivKey::make(raw.data(), size);
    ASSERT_FALSE(made.ok()) << size;
    EXPECT_EQ(made.error(), CipherError::BadKeyLength);
  }
}

}  // namespace
}  // namespace quillon_cipher
