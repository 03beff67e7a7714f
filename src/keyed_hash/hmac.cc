// OPENSSL_SUPPRESS_DEPRECATED: the SHA256_CTX functions are the only OpenSSL
// interface that lets a prepared state be copied for a few cents a value
// (EVP_MD_CTX_copy costs an allocation per copy), and the only one that
// shows the raw chaining values the fast kernels start from.
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

PreparedKey::PreparedKey(std::string_view key, Kernel kernel, Unchecked) : kernel_(kernel) {
  init(key);
}

PreparedKey::PreparedKey(std::string_view key, Kernel kernel)
    : PreparedKey(key, kernel_available(kernel) ? kernel : Kernel::Portable, Unchecked{}) {}

PreparedKey::PreparedKey(std::string_view key)
    : PreparedKey(key,
                  kernel_available(Kernel::ShaNi)  ? Kernel::ShaNi
                  : kernel_available(Kernel::Avx2) ? Kernel::Avx2
                                                   : Kernel::Portable,
                  Unchecked{}) {}

PreparedKey::~PreparedKey() {
  OPENSSL_cleanse(inner_, sizeof(inner_));
  OPENSSL_cleanse(outer_, sizeof(outer_));
  OPENSSL_cleanse(inner_ctx_, sizeof(inner_ctx_));
  OPENSSL_cleanse(outer_ctx_, sizeof(outer_ctx_));
}

void PreparedKey::init(std::string_view key) {
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
  auto* inner = reinterpret_cast<SHA256_CTX*>(inner_ctx_);
  auto* outer = reinterpret_cast<SHA256_CTX*>(outer_ctx_);
  SHA256_Init(inner);
  SHA256_Update(inner, ipad, kBlock);
  SHA256_Init(outer);
  SHA256_Update(outer, opad, kBlock);
  // After exactly one block the context's h[] are the chaining values.
  for (int w = 0; w < 8; ++w) {
    inner_[w] = inner->h[w];
    outer_[w] = outer->h[w];
  }
  OPENSSL_cleanse(block, sizeof(block));
  OPENSSL_cleanse(ipad, sizeof(ipad));
  OPENSSL_cleanse(opad, sizeof(opad));
}

bool PreparedKey::portable_digest(std::string_view head, std::string_view tail, char* out) const {
  SHA256_CTX ctx;
  unsigned char digest[SHA256_DIGEST_LENGTH];
  std::memcpy(&ctx, inner_ctx_, sizeof(ctx));
  bool ok = SHA256_Update(&ctx, bytes(head), head.size()) &&
            SHA256_Update(&ctx, bytes(tail), tail.size()) && SHA256_Final(digest, &ctx);
  if (ok) {
    std::memcpy(&ctx, outer_ctx_, sizeof(ctx));
    ok = SHA256_Update(&ctx, digest, sizeof(digest)) && SHA256_Final(digest, &ctx);
  }
  if (ok) hex_bytes(digest, sizeof(digest), out);
  OPENSSL_cleanse(&ctx, sizeof(ctx));
  return ok;
}

bool PreparedKey::hex_digest(std::string_view head, std::string_view tail, char* out) const {
  const Message m{head, tail};
  return hex_digest_many(&m, 1, &out);
}

std::size_t PreparedKey::lanes() const {
  switch (kernel_) {
#ifdef QM_X86_KERNELS
    case Kernel::ShaNi:
      return internal::kShaNiLanes;
    case Kernel::Avx2:
      return internal::kAvx2Lanes;
#endif
    default:
      return 1;
  }
}

bool PreparedKey::hex_digest_blocks(const std::uint8_t (*blocks)[kBlock], std::size_t n,
                                    char* const* outs) const {
#ifdef QM_X86_KERNELS
  if (kernel_ == Kernel::ShaNi) {
    internal::shani_hmac_blocks({inner_, outer_}, blocks, n, outs);
    return true;
  }
#endif
  // The other kernels take messages: each one is the front of its block.
  constexpr std::size_t kChunk = 64;
  Message msgs[kChunk];
  bool ok = true;
  for (std::size_t at = 0; at < n; at += kChunk) {
    const std::size_t count = n - at < kChunk ? n - at : kChunk;
    for (std::size_t i = 0; i < count; ++i) {
      const auto* b = reinterpret_cast<const char*>(blocks[at + i]);
      msgs[i] = {{}, std::string_view(b, short_block_size(blocks[at + i]))};
    }
    ok &= hex_digest_many(msgs, count, outs + at);
  }
  return ok;
}

bool PreparedKey::hex_digest_stream(const BlockSource& source) const {
#ifdef QM_X86_KERNELS
  if (kernel_ == Kernel::ShaNi) {
    internal::shani_hmac_stream({inner_, outer_}, source);
    return true;
  }
#endif
  static_cast<void>(source);
  return false;
}

bool PreparedKey::hex_digest_many(const Message* msgs, std::size_t n, char* const* outs) const {
#ifdef QM_X86_KERNELS
  const internal::KeyStates keys{inner_, outer_};
  switch (kernel_) {
    case Kernel::ShaNi:
      internal::shani_hmac_many(keys, msgs, n, outs);
      return true;
    case Kernel::Avx2:
      // A lone message costs a whole eight-lane group there; one OpenSSL
      // pass is cheaper.
      if (n > 1) {
        internal::avx2_hmac_many(keys, msgs, n, outs);
        return true;
      }
      break;
    case Kernel::Portable:
      break;
  }
#endif
  bool ok = true;
  for (std::size_t i = 0; i < n; ++i) ok &= portable_digest(msgs[i].head, msgs[i].tail, outs[i]);
  return ok;
}

}  // namespace quillon_hash
