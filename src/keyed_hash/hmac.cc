#include "keyed_hash/hmac.h"

#include <cstring>

#include "keyed_hash/sha256_internal.h"

namespace quillon::keyed_hash {


std::string hmac_sha256(std::string_view key, std::string_view data) {
  const PreparedKey prepared(key, Kernel::Portable);
  std::string out(kHexDigestLength, '\0');
  const Message message{{}, data};
  char* slot = out.data();
  MessageList list(&message, 1, &slot);
  prepared.hex_digests(list.source());
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

namespace {

// The driver of the kernels that take a batch of padded blocks at a time:
// pulls up to kBatch short messages, hashes them, and hashes the long ones
// whenever their room is full and at the end.
template <typename Blocks, typename Longs>
void pull_in_batches(const MessageSource& source, const Blocks& hash_blocks, const Longs& hash_longs) {
  constexpr std::size_t kBatch = 32;
  alignas(64) std::uint8_t blocks[kBatch][kBlock];
  char* outs[kBatch];
  LongMessages longs;
  for (bool more = true; more;) {
    if (longs.full()) {
      hash_longs(longs.msgs, longs.size, longs.outs);
      longs.size = 0;
    }
    const Pull pulled = source.fill(source.context, Pull(blocks, outs, kBatch, longs));
    longs.size = pulled.longs();
    more = !pulled.ended();
    if (pulled.shorts() > 0) hash_blocks(blocks, pulled.shorts(), outs);
  }
  if (longs.size > 0) hash_longs(longs.msgs, longs.size, longs.outs);
}

}  // namespace

void PreparedKey::hex_digests(const MessageSource& source) const {
  const internal::KeyStates keys{inner_, outer_};
  const auto portable_blocks = [&keys](const std::uint8_t (*blocks)[kBlock], std::size_t n, char* const* outs) {
    for (std::size_t i = 0; i < n; ++i) internal::portable_hmac_block(keys, blocks[i], outs[i]);
  };
  const auto portable_many = [&keys](const Message* msgs, std::size_t n, char* const* outs) {
    for (std::size_t i = 0; i < n; ++i) internal::portable_hmac(keys, msgs[i], outs[i]);
  };
#ifdef QM_X86_KERNELS
  switch (kernel_) {
    case Kernel::ShaNi:
      return internal::shani_hmac_source(keys, source);
    case Kernel::Avx2:
      return pull_in_batches(
          source,
          [&](const std::uint8_t (*blocks)[kBlock], std::size_t n, char* const* outs) {
            // A lone message costs a whole eight-lane group there; one
            // portable pass is cheaper.
            if (n == 1) return portable_blocks(blocks, n, outs);
            internal::avx2_hmac_blocks(keys, blocks, n, outs);
          },
          [&](const Message* msgs, std::size_t n, char* const* outs) {
            if (n == 1) return portable_many(msgs, n, outs);
            internal::avx2_hmac_many(keys, msgs, n, outs);
          });
    case Kernel::Portable:
      break;
  }
#endif
  pull_in_batches(source, portable_blocks, portable_many);
}

}  // namespace quillon::keyed_hash
