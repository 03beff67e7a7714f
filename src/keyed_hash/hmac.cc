#include "keyed_hash/hmac.h"

#include <cstring>

#include "keyed_hash/sha256_internal.h"

namespace quillon_hash {


const char* message(HashError error) {
  switch (error) {
    case HashError::HmacFailed:
      return "HMAC computation failed";
  }
  return "HMAC computation failed";
}

Result<std::string, HashError> hmac_sha256(std::string_view key, std::string_view data) {
  const PreparedKey prepared(key, Kernel::Portable);
  std::string out(kHexDigestLength, '\0');
  prepared.hex_digest({}, data, out.data());
  return out;
}

void wipe(void* p, std::size_t n) {
  if (n == 0) return;
  std::memset(p, 0, n);
  // The compiler must assume the zeros are read, so it cannot drop the
  // memset of a buffer about to be freed.
  __asm__ __volatile__("" : : "r"(p) : "memory");
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
  wipe(inner_, sizeof(inner_));
  wipe(outer_, sizeof(outer_));
}

void PreparedKey::init(std::string_view key) {
  // RFC 2104: a key longer than the block is replaced by its digest, then
  // zero-padded to the block.
  std::uint8_t block[kBlock] = {};
  if (key.size() > kBlock) {
    internal::sha256(key.data(), key.size(), block);
  } else if (!key.empty()) {
    std::memcpy(block, key.data(), key.size());
  }
  std::uint8_t pad[kBlock];
  std::memcpy(inner_, internal::kInitialState, sizeof(inner_));
  for (std::size_t i = 0; i < kBlock; ++i) pad[i] = block[i] ^ 0x36;
  internal::compress(inner_, pad);
  std::memcpy(outer_, internal::kInitialState, sizeof(outer_));
  for (std::size_t i = 0; i < kBlock; ++i) pad[i] = block[i] ^ 0x5c;
  internal::compress(outer_, pad);
  wipe(block, sizeof(block));
  wipe(pad, sizeof(pad));
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
  const internal::KeyStates keys{inner_, outer_};
#ifdef QM_X86_KERNELS
  switch (kernel_) {
    case Kernel::ShaNi:
      internal::shani_hmac_many(keys, msgs, n, outs);
      return true;
    case Kernel::Avx2:
      // A lone message costs a whole eight-lane group there; one portable
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
  for (std::size_t i = 0; i < n; ++i) internal::portable_hmac(keys, msgs[i], outs[i]);
  return true;
}

}  // namespace quillon_hash
