// OPENSSL_SUPPRESS_DEPRECATED: the SHA256_CTX functions are the only OpenSSL
// interface that lets a prepared state be copied for a few cents a value;
// EVP_MD_CTX_copy costs an allocation per copy.
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include "keyed_hash/hmac.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <cstring>

#include "keyed_hash/sha256_internal.h"

namespace quillon_hash {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr std::size_t kBlock = 64;
constexpr std::uint32_t kInitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

static_assert(sizeof(SHA256_CTX) <= 128, "prepared context storage too small");

// OpenSSL treats a null key pointer as "keep the previous key"; an empty key
// must be a real, zero-length key.
const unsigned char kEmpty[1] = {0};
const unsigned char* bytes(std::string_view s) {
  return s.empty() ? kEmpty : reinterpret_cast<const unsigned char*>(s.data());
}

void hex_bytes(const unsigned char* tag, std::size_t n, char* out) {
  for (std::size_t i = 0; i < n; ++i) {
    out[2 * i] = kHexDigits[tag[i] >> 4];
    out[2 * i + 1] = kHexDigits[tag[i] & 0x0f];
  }
}

void hex_words(const std::uint32_t state[8], char* out) {
  for (int w = 0; w < 8; ++w) {
    const std::uint32_t v = state[w];
    for (int nib = 0; nib < 8; ++nib) out[8 * w + nib] = kHexDigits[(v >> (28 - 4 * nib)) & 0x0f];
  }
}

inline void store_be32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

inline void store_be64(std::uint8_t* p, std::uint64_t v) {
  store_be32(p, static_cast<std::uint32_t>(v >> 32));
  store_be32(p + 4, static_cast<std::uint32_t>(v));
}

// Finishes a SHA-256 whose first `prior_bytes` (a whole number of blocks)
// are already in `state`, over head + tail.
void finish_shani(std::uint32_t state[8], std::uint64_t prior_bytes, std::string_view head,
                  std::string_view tail) {
  alignas(16) std::uint8_t buf[2 * kBlock];
  const std::uint64_t total = prior_bytes + head.size() + tail.size();
  std::size_t fill = 0;

  auto feed = [&](const char* p, std::size_t n) {
    if (fill + n >= kBlock) {
      if (fill > 0) {
        const std::size_t take = kBlock - fill;
        std::memcpy(buf + fill, p, take);
        internal::sha256_compress_shani(state, buf, 1);
        p += take;
        n -= take;
        fill = 0;
      }
      const std::size_t whole = n / kBlock;
      if (whole > 0) {
        internal::sha256_compress_shani(state, reinterpret_cast<const std::uint8_t*>(p), whole);
        p += whole * kBlock;
        n -= whole * kBlock;
      }
    }
    if (n > 0) std::memcpy(buf + fill, p, n);
    fill += n;
  };
  feed(head.data(), head.size());
  feed(tail.data(), tail.size());

  buf[fill++] = 0x80;
  const std::size_t blocks = fill > kBlock - 8 ? 2 : 1;
  std::memset(buf + fill, 0, blocks * kBlock - 8 - fill);
  store_be64(buf + blocks * kBlock - 8, total * 8);
  internal::sha256_compress_shani(state, buf, blocks);
}

}  // namespace

const char* message(HashError error) {
  switch (error) {
    case HashError::HmacFailed:
      return "HMAC computation failed";
  }
  return "HMAC computation failed";
}

Result<std::string, HashError> hmac_sha256(std::string_view key, std::string_view data) {
  unsigned char tag[EVP_MAX_MD_SIZE];
  unsigned int tag_len = 0;
  if (HMAC(EVP_sha256(), bytes(key), static_cast<int>(key.size()), bytes(data), data.size(), tag,
           &tag_len) == nullptr ||
      tag_len != 32) {
    return HashError::HmacFailed;
  }
  std::string out(kHexDigestLength, '\0');
  hex_bytes(tag, tag_len, out.data());
  OPENSSL_cleanse(tag, sizeof(tag));
  return out;
}

PreparedKey::PreparedKey(std::string_view key) { init(key, internal::cpu_has_sha_extensions()); }

PreparedKey::PreparedKey(std::string_view key, ForceOpenSsl) { init(key, false); }

PreparedKey::~PreparedKey() {
  OPENSSL_cleanse(inner_, sizeof(inner_));
  OPENSSL_cleanse(outer_, sizeof(outer_));
  OPENSSL_cleanse(inner_ctx_, sizeof(inner_ctx_));
  OPENSSL_cleanse(outer_ctx_, sizeof(outer_ctx_));
}

void PreparedKey::init(std::string_view key, bool allow_shani) {
  // RFC 2104: a key longer than the block is replaced by its digest, then
  // zero-padded to the block.
  unsigned char block[kBlock] = {};
  if (key.size() > kBlock) {
    SHA256(bytes(key), key.size(), block);
  } else if (!key.empty()) {
    std::memcpy(block, key.data(), key.size());
  }
  unsigned char ipad[kBlock], opad[kBlock];
  for (std::size_t i = 0; i < kBlock; ++i) {
    ipad[i] = block[i] ^ 0x36;
    opad[i] = block[i] ^ 0x5c;
  }

  use_shani_ = allow_shani;
  if (use_shani_) {
    std::memcpy(inner_, kInitialState, sizeof(inner_));
    std::memcpy(outer_, kInitialState, sizeof(outer_));
    internal::sha256_compress_shani(inner_, ipad, 1);
    internal::sha256_compress_shani(outer_, opad, 1);
  } else {
    auto* inner = reinterpret_cast<SHA256_CTX*>(inner_ctx_);
    auto* outer = reinterpret_cast<SHA256_CTX*>(outer_ctx_);
    SHA256_Init(inner);
    SHA256_Update(inner, ipad, kBlock);
    SHA256_Init(outer);
    SHA256_Update(outer, opad, kBlock);
  }
  OPENSSL_cleanse(block, sizeof(block));
  OPENSSL_cleanse(ipad, sizeof(ipad));
  OPENSSL_cleanse(opad, sizeof(opad));
}

bool PreparedKey::hex_digest(std::string_view head, std::string_view tail, char* out) const {
  if (use_shani_) {
    alignas(16) std::uint32_t state[8];
    std::memcpy(state, inner_, sizeof(state));
    finish_shani(state, kBlock, head, tail);

    alignas(16) std::uint8_t inner_digest[32];
    for (int w = 0; w < 8; ++w) store_be32(inner_digest + 4 * w, state[w]);
    std::memcpy(state, outer_, sizeof(state));
    finish_shani(state, kBlock, {}, {reinterpret_cast<const char*>(inner_digest), 32});
    hex_words(state, out);
    return true;
  }

  SHA256_CTX ctx;
  unsigned char digest[SHA256_DIGEST_LENGTH];
  std::memcpy(&ctx, inner_ctx_, sizeof(ctx));
  if (!SHA256_Update(&ctx, bytes(head), head.size()) ||
      !SHA256_Update(&ctx, bytes(tail), tail.size()) || !SHA256_Final(digest, &ctx)) {
    return false;
  }
  std::memcpy(&ctx, outer_ctx_, sizeof(ctx));
  if (!SHA256_Update(&ctx, digest, sizeof(digest)) || !SHA256_Final(digest, &ctx)) return false;
  hex_bytes(digest, sizeof(digest), out);
  return true;
}

namespace {

// Pads a message of at most 55 bytes, after one 64-byte key block, into one
// final block.
void one_block(std::string_view head, std::string_view tail, std::uint8_t* block) {
  const std::size_t n = head.size() + tail.size();
  if (!head.empty()) std::memcpy(block, head.data(), head.size());
  if (!tail.empty()) std::memcpy(block + head.size(), tail.data(), tail.size());
  block[n] = 0x80;
  std::memset(block + n + 1, 0, kBlock - 8 - n - 1);
  store_be64(block + kBlock - 8, (kBlock + n) * 8);
}

// The outer message: the inner digest and its padding, one block.
void outer_block(const std::uint32_t inner[8], std::uint8_t* block) {
  for (int w = 0; w < 8; ++w) store_be32(block + 4 * w, inner[w]);
  block[32] = 0x80;
  std::memset(block + 33, 0, kBlock - 8 - 33);
  store_be64(block + kBlock - 8, (kBlock + 32) * 8);
}

}  // namespace

bool PreparedKey::hex_digest2(std::string_view head_a, std::string_view tail_a, char* out_a,
                              std::string_view head_b, std::string_view tail_b,
                              char* out_b) const {
  constexpr std::size_t kOneBlockMax = kBlock - 9;
  if (!use_shani_ || head_a.size() + tail_a.size() > kOneBlockMax ||
      head_b.size() + tail_b.size() > kOneBlockMax) {
    const bool a = hex_digest(head_a, tail_a, out_a);
    const bool b = hex_digest(head_b, tail_b, out_b);
    return a && b;
  }
  alignas(16) std::uint8_t block_a[kBlock], block_b[kBlock];
  alignas(16) std::uint32_t state_a[8], state_b[8];
  one_block(head_a, tail_a, block_a);
  one_block(head_b, tail_b, block_b);
  std::memcpy(state_a, inner_, sizeof(state_a));
  std::memcpy(state_b, inner_, sizeof(state_b));
  internal::sha256_compress_shani_x2(state_a, block_a, state_b, block_b);
  outer_block(state_a, block_a);
  outer_block(state_b, block_b);
  std::memcpy(state_a, outer_, sizeof(state_a));
  std::memcpy(state_b, outer_, sizeof(state_b));
  internal::sha256_compress_shani_x2(state_a, block_a, state_b, block_b);
  hex_words(state_a, out_a);
  hex_words(state_b, out_b);
  return true;
}

}  // namespace quillon_hash
