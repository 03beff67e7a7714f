// AES-SIV: RFC 5297's vectors, OpenSSL's EVP AES-SIV over random values and
// contexts against the batch API, tampered and foreign ciphertexts. The
// encrypt transform's token recipe (HKDF, base64url) and a key shared by
// threads are tested on columns, in cipher_columns_test.cc.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "block_cipher/siv.h"
#include "cipher_oracle.h"
#include "cipher_test_util.h"

namespace quillon::block_cipher {
namespace {

using oracle::Bytes;
using oracle::from_hex;

constexpr std::uint8_t kUnwritten = 0xee;

std::string_view view(const Bytes& b) { return {reinterpret_cast<const char*>(b.data()), b.size()}; }
Bytes bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

// A transform's context is one AD component, or none when empty.
std::vector<Bytes> as_ad(const Bytes& context) {
  if (context.empty()) return {};
  return {context};
}

std::vector<std::string_view> views(const std::vector<Bytes>& items) {
  std::vector<std::string_view> out;
  for (const Bytes& b : items) out.push_back(view(b));
  return out;
}

std::unique_ptr<SivKey> key_of(const Bytes& key, Kernel kernel) {
  auto made = SivKey::make(key.data(), key.size(), kernel);
  EXPECT_TRUE(made.ok());
  return std::move(made).value();
}

// Outputs in heap blocks of exactly their size, so ASan sees an overrun,
// filled with kUnwritten.
struct Outputs {
  std::vector<std::unique_ptr<std::uint8_t[]>> blocks;
  std::vector<std::uint8_t*> ptrs;
  std::vector<std::size_t> sizes;
  explicit Outputs(const std::vector<std::size_t>& n) : sizes(n) {
    for (std::size_t size : n) {
      blocks.emplace_back(new std::uint8_t[size > 0 ? size : 1]);
      std::fill_n(blocks.back().get(), size, kUnwritten);
      ptrs.push_back(blocks.back().get());
    }
  }
  Bytes at(std::size_t i) const { return Bytes(ptrs[i], ptrs[i] + sizes[i]); }
};

std::vector<Bytes> seal(const SivKey& key, const std::vector<Bytes>& ad,
                        const std::vector<Bytes>& values) {
  const auto components = views(ad);
  const SivHeader header = key.header(components.data(), components.size());
  std::vector<std::size_t> sizes;
  for (const Bytes& v : values) sizes.push_back(kSivTag + v.size());
  Outputs out(sizes);
  key.seal_many(header, views(values).data(), values.size(), out.ptrs.data());
  std::vector<Bytes> sealed;
  for (std::size_t i = 0; i < values.size(); ++i) sealed.push_back(out.at(i));
  return sealed;
}

struct Opened {
  Result<Done, BatchError> result = Done{};
  Outputs out;
};
Opened open(const SivKey& key, const std::vector<Bytes>& ad, const std::vector<Bytes>& tokens) {
  const auto components = views(ad);
  const SivHeader header = key.header(components.data(), components.size());
  std::vector<std::size_t> sizes;
  for (const Bytes& t : tokens) sizes.push_back(t.size() > kSivTag ? t.size() - kSivTag : 0);
  Opened opened{Done{}, Outputs(sizes)};
  opened.result = key.open_many(header, views(tokens).data(), tokens.size(), opened.out.ptrs.data());
  return opened;
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
    const auto sealed = seal(*key, ad, {from_hex(c.plain)});
    EXPECT_EQ(sealed[0], from_hex(c.out));
    const Opened opened = open(*key, ad, sealed);
    ASSERT_TRUE(opened.result.ok());
    EXPECT_EQ(opened.out.at(0), from_hex(c.plain));
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
  const std::size_t edge_sizes[] = {0, 1, 15, 16, 17, 25, 31, 32, 33};
  for (int round = 0; round < 24; ++round) {
    const Bytes raw = random_bytes(32 + 16 * static_cast<std::size_t>(round % 3));
    const oracle::Siv openssl(raw);
    ASSERT_TRUE(openssl.ok());
    const auto key = key_of(raw, GetParam());
    const Bytes context = random_bytes(round % 4 == 0 ? 0 : rng() % 301);
    const std::vector<Bytes> ad = as_ad(context);
    std::vector<Bytes> values(rng() % 41);
    for (std::size_t i = 0; i < values.size(); ++i) {
      values[i] = random_bytes(i % 3 == 0 ? rng() % 301 : edge_sizes[rng() % 9]);
    }
    const auto sealed = seal(*key, ad, values);
    for (std::size_t i = 0; i < values.size(); ++i) {
      ASSERT_EQ(sealed[i], openssl.seal(ad, values[i]))
          << "value " << i << " of " << values.size() << ", " << values[i].size() << " bytes";
    }
    const Opened opened = open(*key, ad, sealed);
    ASSERT_TRUE(opened.result.ok());
    for (std::size_t i = 0; i < values.size(); ++i) EXPECT_EQ(opened.out.at(i), values[i]) << i;
  }
}

// A batch of ten tokens with one spoiled at position 6, or opened under
// another key or context: the error names the first that fails, and no
// output holds plaintext (each is zeroed or was never written).
TEST_P(SivVectors, TamperedOrForeignTokensDoNotAuthenticate) {
  Bytes raw(64);
  for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<std::uint8_t>(i * 7);
  const auto key = key_of(raw, GetParam());
  raw[40] ^= 1;  // the CTR half: the tag then matches nothing
  const auto other_key = key_of(raw, GetParam());
  const std::vector<Bytes> ctx = {bytes("orders.email")};
  constexpr std::size_t kBad = 6;
  std::vector<Bytes> values;
  for (std::size_t i = 0; i < 10; ++i) values.push_back(Bytes(5 + 4 * i, static_cast<std::uint8_t>('a' + i)));
  const auto tokens = seal(*key, ctx, values);
  ASSERT_TRUE(open(*key, ctx, tokens).result.ok());

  struct Spoil {
    std::string name;
    std::function<void(Bytes&)> apply;
    const SivKey* key;
    std::vector<Bytes> ad;
  };
  const auto same = [](Bytes&) {};
  std::vector<Spoil> spoils = {
      {"wrong key", same, other_key.get(), ctx},
      {"wrong context", same, key.get(), {bytes("orders.phone")}},
      {"no context", same, key.get(), {}},
      {"shorter than the tag", [](Bytes& t) { t.resize(kSivTag - 1); }, key.get(), ctx},
      {"ciphertext cut", [](Bytes& t) { t.pop_back(); }, key.get(), ctx},
      {"byte appended", [](Bytes& t) { t.push_back(0); }, key.get(), ctx},
  };
  for (std::size_t bit = 0; bit < 8 * tokens[kBad].size(); bit += 5) {
    spoils.push_back({"bit " + std::to_string(bit), [bit](Bytes& t) { t[bit / 8] ^= 1 << (bit % 8); },
                      key.get(), ctx});
  }
  for (const Spoil& s : spoils) {
    std::vector<Bytes> batch(tokens);
    s.apply(batch[kBad]);
    const Opened opened = open(*s.key, s.ad, batch);
    ASSERT_FALSE(opened.result.ok()) << s.name;
    EXPECT_EQ(opened.result.error().error, CipherError::NotAuthentic);
    const bool whole_batch = s.key != key.get() || s.ad != ctx;
    EXPECT_EQ(opened.result.error().index, whole_batch ? 0 : kBad) << s.name;
    for (std::size_t i = 0; i < batch.size(); ++i) {
      const Bytes out = opened.out.at(i);
      const bool cleared = std::all_of(out.begin(), out.end(), [](auto b) { return b == 0; }) ||
                           std::all_of(out.begin(), out.end(), [](auto b) { return b == kUnwritten; });
      EXPECT_TRUE(cleared) << s.name << " left plaintext in output " << i;
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
}  // namespace quillon::block_cipher
