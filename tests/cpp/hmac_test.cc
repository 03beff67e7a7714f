#include "keyed_hash/hmac.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "keyed_hash/sha256_internal.h"
#include "openssl_oracle.h"

namespace quillon::keyed_hash {
namespace {

std::string unhex(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

void hash_list(const PreparedKey& key, const Message* msgs, std::size_t n, char* const* outs) {
  MessageList list(msgs, n, outs);
  key.hex_digests(list.source());
}

std::string prepared_digest(const PreparedKey& key, std::string_view head, std::string_view tail) {
  std::string out(kHexDigestLength, '\0');
  const Message m{head, tail};
  char* slot = out.data();
  hash_list(key, &m, 1, &slot);
  return out;
}

std::string prepared_digest(const PreparedKey& key, std::string_view data) {
  return prepared_digest(key, data.substr(0, data.size() / 3), data.substr(data.size() / 3));
}

struct Rfc4231Case {
  const char* name;
  std::string key;
  std::string data;
  const char* expected;  // HMAC-SHA-256, or its published 128-bit prefix for case 5
};

class Rfc4231 : public ::testing::TestWithParam<Rfc4231Case> {};

TEST_P(Rfc4231, MatchesPublishedDigest) {
  const auto& c = GetParam();
  const std::string one_shot = hmac_sha256(c.key, c.data);
  const std::string expected = c.expected;
  EXPECT_EQ(oracle::hmac_sha256(c.key, c.data).substr(0, expected.size()), expected);
  if (expected.size() == kHexDigestLength) {
    EXPECT_EQ(one_shot, expected);
  } else {
    EXPECT_EQ(one_shot.substr(0, expected.size()), expected);
  }
  EXPECT_EQ(prepared_digest(PreparedKey(c.key), c.data), one_shot);
  for (Kernel k : {Kernel::Portable, Kernel::ShaNi, Kernel::Avx2}) {
    if (!kernel_available(k)) continue;
    EXPECT_EQ(prepared_digest(PreparedKey(c.key, k), c.data), one_shot) << kernel_name(k);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, Rfc4231,
    ::testing::Values(
        Rfc4231Case{"case1", std::string(20, '\x0b'), "Hi There",
                    "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        Rfc4231Case{"case2", "Jefe", "what do ya want for nothing?",
                    "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        Rfc4231Case{"case3", std::string(20, '\xaa'), std::string(50, '\xdd'),
                    "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
        Rfc4231Case{"case4", unhex("0102030405060708090a0b0c0d0e0f10111213141516171819"),
                    std::string(50, '\xcd'),
                    "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
        Rfc4231Case{"case5", std::string(20, '\x0c'), "Test With Truncation",
                    "a3b6167473100ee06e0c796c2955552b"},
        Rfc4231Case{"case6", std::string(131, '\xaa'),
                    "Test Using Larger Than Block-Size Key - Hash Key First",
                    "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        Rfc4231Case{"case7", std::string(131, '\xaa'),
                    "This is a test using a larger than block-size key and a larger than "
                    "block-size data. The key needs to be hashed before being used by the "
                    "HMAC algorithm.",
                    "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"}),
    [](const auto& info) { return std::string(info.param.name); });

bool is_lower_hex(const std::string& s) {
  return s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

TEST(HmacSha256, KeyBlockBoundary) {
  const std::string data = "user@example.com";
  const std::string key64(64, 'k');
  const std::string key65(65, 'k');
  unsigned char d65[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(key65.data()), key65.size(), d65);
  const std::string hashed_key65(reinterpret_cast<char*>(d65), sizeof(d65));

  // A 65-byte key is replaced by its digest; a 64-byte key is used as is.
  EXPECT_EQ(hmac_sha256(key65, data), hmac_sha256(hashed_key65, data));
  EXPECT_NE(hmac_sha256(key64, data), hmac_sha256(key65, data));
}

TEST(HmacSha256, EdgeInputsGiveWellFormedDigests) {
  const std::string binary("\xff\xfe\x00\x80 not utf-8", 14);
  for (const auto& [key, data] : {std::pair<std::string, std::string>{"", ""},
                                  {"", "x"},
                                  {"k", ""},
                                  {"k", binary}}) {
    const std::string r = hmac_sha256(key, data);
    EXPECT_EQ(r.size(), kHexDigestLength);
    EXPECT_TRUE(is_lower_hex(r)) << r;
    EXPECT_EQ(r, hmac_sha256(key, data));
    EXPECT_EQ(prepared_digest(PreparedKey(key), data), r);
  }
  // Published value for the empty key over empty data.
  EXPECT_EQ(hmac_sha256("", ""),
            "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad");
  // The empty key is a key of its own, not the absence of one.
  EXPECT_NE(hmac_sha256("", "x"), hmac_sha256("k", "x"));
}

// The digest that replaces a key longer than a block, at every padding
// layout up to five blocks, against OpenSSL.
TEST(Sha256, MatchesOpenSslAtEveryLength) {
  std::mt19937_64 rng(7);
  std::string data;
  for (std::size_t len = 0; len <= 320; ++len) {
    std::uint8_t digest[32];
    internal::sha256(data.data(), data.size(), digest);
    ASSERT_EQ(oracle::hex(digest, sizeof(digest)), oracle::sha256(data)) << "length " << len;
    data.push_back(static_cast<char>(rng()));
  }
}

// Every padding layout: data lengths 0..300 cross one, two and more blocks
// with the length field falling in the same block or spilling into the next.
// Each kernel is forced, one message at a time and all of a key's messages
// in one batch (so short and long ones share groups and lane positions).
class EveryKernel : public ::testing::TestWithParam<Kernel> {};

TEST_P(EveryKernel, MatchesOneShotOverRandomInputs) {
  if (!kernel_available(GetParam())) GTEST_SKIP() << "not on this CPU";
  std::mt19937_64 rng(20261207);
  auto random_bytes = [&](std::size_t n) {
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
  };
  const std::size_t key_lengths[] = {0, 1, 31, 32, 55, 63, 64, 65, 100, 119, 120, 200, 1000};
  for (std::size_t key_len : key_lengths) {
    const std::string key = random_bytes(key_len);
    const PreparedKey prepared(key, GetParam());
    ASSERT_EQ(prepared.kernel(), GetParam());
    std::vector<std::string> data, expected;
    std::vector<Message> msgs;
    for (std::size_t len = 0; len <= 300; ++len) {
      data.push_back(random_bytes(len));
      expected.push_back(oracle::hmac_sha256(key, data.back()));
      ASSERT_EQ(hmac_sha256(key, data.back()), expected.back())
          << "one-shot, key " << key_len << " data " << len;
    }
    for (std::size_t len = 0; len <= 300; ++len) {
      const std::string_view d = data[len];
      const std::size_t split = std::uniform_int_distribution<std::size_t>(0, len)(rng);
      msgs.push_back({d.substr(0, split), d.substr(split)});
      for (std::size_t one_split : {std::size_t{0}, len / 2, len}) {
        ASSERT_EQ(prepared_digest(prepared, d.substr(0, one_split), d.substr(one_split)), expected[len]) << "key " << key_len << " data " << len << " split " << one_split;
      }
    }
    // Shuffled, so groups hold messages of different block counts.
    std::vector<std::size_t> order(msgs.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), rng);
    std::vector<Message> batch;
    for (std::size_t i : order) batch.push_back(msgs[i]);
    std::vector<std::string> outs(batch.size(), std::string(kHexDigestLength, '\0'));
    std::vector<char*> out_ptrs;
    for (auto& o : outs) out_ptrs.push_back(o.data());
    hash_list(prepared, batch.data(), batch.size(), out_ptrs.data());
    for (std::size_t i = 0; i < order.size(); ++i) {
      ASSERT_EQ(outs[i], expected[order[i]]) << "key " << key_len << " data " << order[i] << " (batch)";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, EveryKernel,
                         ::testing::Values(Kernel::Portable, Kernel::ShaNi, Kernel::Avx2),
                         [](const auto& info) {
                           std::string name = kernel_name(info.param);
                           name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                           return name;
                         });

}  // namespace
}  // namespace quillon::keyed_hash
