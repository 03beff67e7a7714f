// The SHA-256 compression in plain C++ (FIPS 180-4, section 6.2.2), for every
// CPU: the Portable kernel, the key's ipad/opad states, and the digest of a
// key longer than a block. The x86 kernels are checked against it in tests.
#include <cstring>

#include "keyed_hash/sha256_internal.h"

namespace quillon::keyed_hash::internal {
namespace {

inline std::uint32_t rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline std::uint32_t load_be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

constexpr char kHexDigits[] = "0123456789abcdef";

void hex_state(const std::uint32_t* state, char* out) {
  for (int w = 0; w < 8; ++w) {
    for (int nibble = 0; nibble < 8; ++nibble) {
      out[8 * w + nibble] = kHexDigits[(state[w] >> (28 - 4 * nibble)) & 0xf];
    }
  }
}

}  // namespace

// Sixteen rounds at a time over a rolling 16-word schedule, the eight working
// variables renamed by the macro's arguments instead of shifted: compilers
// keep them all in registers.
void compress(std::uint32_t* state, const std::uint8_t* block) {
  std::uint32_t w[16];
  for (int i = 0; i < 16; ++i) w[i] = load_be32(block + 4 * i);
  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];

#define QM_ROUND(a, b, c, d, e, f, g, h, k, x)                                           \
  do {                                                                                   \
    const std::uint32_t t1 =                                                             \
        h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + (k) + (x); \
    const std::uint32_t t2 =                                                             \
        (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));        \
    d += t1;                                                                             \
    h = t1 + t2;                                                                         \
  } while (0)
#define QM_SCHEDULE(i)                                                                         \
  (w[(i) & 15] += (rotr(w[((i) + 14) & 15], 17) ^ rotr(w[((i) + 14) & 15], 19) ^               \
                   (w[((i) + 14) & 15] >> 10)) +                                               \
                  w[((i) + 9) & 15] +                                                          \
                  (rotr(w[((i) + 1) & 15], 7) ^ rotr(w[((i) + 1) & 15], 18) ^ (w[((i) + 1) & 15] >> 3)))
#define QM_EIGHT(r, X)                                          \
  QM_ROUND(a, b, c, d, e, f, g, h, kRound[(r) + 0], X((r) + 0)); \
  QM_ROUND(h, a, b, c, d, e, f, g, kRound[(r) + 1], X((r) + 1)); \
  QM_ROUND(g, h, a, b, c, d, e, f, kRound[(r) + 2], X((r) + 2)); \
  QM_ROUND(f, g, h, a, b, c, d, e, kRound[(r) + 3], X((r) + 3)); \
  QM_ROUND(e, f, g, h, a, b, c, d, kRound[(r) + 4], X((r) + 4)); \
  QM_ROUND(d, e, f, g, h, a, b, c, kRound[(r) + 5], X((r) + 5)); \
  QM_ROUND(c, d, e, f, g, h, a, b, kRound[(r) + 6], X((r) + 6)); \
  QM_ROUND(b, c, d, e, f, g, h, a, kRound[(r) + 7], X((r) + 7))
#define QM_WORD(i) w[(i) & 15]

  QM_EIGHT(0, QM_WORD);
  QM_EIGHT(8, QM_WORD);
  for (int r = 16; r < 64; r += 16) {
    QM_EIGHT(r, QM_SCHEDULE);
    QM_EIGHT(r + 8, QM_SCHEDULE);
  }

#undef QM_WORD
#undef QM_EIGHT
#undef QM_SCHEDULE
#undef QM_ROUND

  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  state[5] += f;
  state[6] += g;
  state[7] += h;
}

void sha256(const void* data, std::size_t n, std::uint8_t* digest) {
  std::uint32_t state[8];
  std::memcpy(state, kInitialState, sizeof(state));
  const auto* p = static_cast<const std::uint8_t*>(data);
  std::size_t left = n;
  for (; left >= kBlock; left -= kBlock, p += kBlock) compress(state, p);
  std::uint8_t tail[2 * kBlock] = {};
  if (left > 0) std::memcpy(tail, p, left);
  tail[left] = 0x80;
  const std::size_t tail_size = left <= kOneBlockMax ? kBlock : 2 * kBlock;
  const std::uint64_t bits = static_cast<std::uint64_t>(n) * 8;
  store_be32(tail + tail_size - 8, static_cast<std::uint32_t>(bits >> 32));
  store_be32(tail + tail_size - 4, static_cast<std::uint32_t>(bits));
  for (std::size_t at = 0; at < tail_size; at += kBlock) compress(state, tail + at);
  for (int w = 0; w < 8; ++w) store_be32(digest + 4 * w, state[w]);
  wipe(state, sizeof(state));
  wipe(tail, sizeof(tail));
}

namespace {

// The outer hash of the inner digest in `state`, as hex; wipes what it used.
void finish_portable(const KeyStates& keys, std::uint32_t* state, std::uint8_t* block, char* out) {
  // The outer message: the inner digest, 0x80, zeros, and the bit length of
  // key block and digest (768).
  std::memset(block, 0, kBlock);
  for (int w = 0; w < 8; ++w) store_be32(block + 4 * w, state[w]);
  block[32] = 0x80;
  block[kBlock - 2] = 0x03;
  std::memcpy(state, keys.outer, 8 * sizeof(std::uint32_t));
  compress(state, block);
  hex_state(state, out);
  wipe(state, 8 * sizeof(std::uint32_t));
  wipe(block, kBlock);
}

}  // namespace

void portable_hmac(const KeyStates& keys, const Message& m, char* out) {
  std::uint32_t state[8];
  std::uint8_t block[kBlock];
  std::memcpy(state, keys.inner, sizeof(state));
  const std::size_t blocks = inner_blocks(message_size(m));
  for (std::size_t i = 0; i < blocks; ++i) {
    build_block(m, i, block);
    compress(state, block);
  }
  finish_portable(keys, state, block, out);
}

void portable_hmac_block(const KeyStates& keys, const std::uint8_t* padded, char* out) {
  std::uint32_t state[8];
  std::uint8_t block[kBlock];
  std::memcpy(state, keys.inner, sizeof(state));
  compress(state, padded);
  finish_portable(keys, state, block, out);
}

}  // namespace quillon::keyed_hash::internal
