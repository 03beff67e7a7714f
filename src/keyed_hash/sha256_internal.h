// SHA-256 kernels behind PreparedKey. Internal to keyed_hash.
//
// A kernel hashes a group of messages at once (its lanes) under one prepared
// key and writes each digest as 64 hex characters. Every kernel accepts any
// message lengths; it is fastest when all messages of a group fit one block
// (at most 55 bytes after the key block), which is why the drivers sort
// short and long messages into separate groups.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "keyed_hash/hmac.h"
#include "keyed_hash/short_block.h"

// Other architectures build the portable path only; QM_PORTABLE_ONLY does
// the same on x86, to check that build.
#if (defined(__x86_64__) || defined(_M_X64)) && !defined(QM_PORTABLE_ONLY)
#define QM_X86_KERNELS 1
#endif

namespace quillon::keyed_hash::internal {

// The SHA-256 round constants (FIPS 180-4), shared by the kernels.
alignas(32) inline constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
    0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
    0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
    0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
    0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
    0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
    0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
    0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
    0xc67178f2};

// The initial hash value H(0) (FIPS 180-4, 5.3.3).
inline constexpr std::uint32_t kInitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372,
                                                   0xa54ff53a, 0x510e527f, 0x9b05688c,
                                                   0x1f83d9ab, 0x5be0cd19};

using keyed_hash::kBlock;
using keyed_hash::kOneBlockMax;
using keyed_hash::copy_short;

// The chaining values after the ipad and opad blocks of the key, borrowed
// from the PreparedKey that holds them.
struct KeyStates {
  const std::uint32_t* inner;
  const std::uint32_t* outer;
};

inline std::size_t message_size(const Message& m) { return m.head.size() + m.tail.size(); }

// Inner compressions of a message: its blocks after the key block, padding
// included.
inline std::size_t inner_blocks(std::size_t n) { return (n + 9 + kBlock - 1) / kBlock; }

inline void store_be32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

// Block `index` of a message of any length, padding included; `index` is
// below inner_blocks(message_size(m)).
inline void build_block(const Message& m, std::size_t index, std::uint8_t* block) {
  const std::size_t n = message_size(m);
  const std::size_t lo = index * kBlock, hi = lo + kBlock;
  std::memset(block, 0, kBlock);
  const std::size_t h = m.head.size();
  if (lo < h) copy_short(block, m.head.data() + lo, (h < hi ? h : hi) - lo);
  const std::size_t tail_lo = lo > h ? lo : h;
  const std::size_t tail_hi = n < hi ? n : hi;
  if (tail_lo < tail_hi) {
    copy_short(block + (tail_lo - lo), m.tail.data() + (tail_lo - h), tail_hi - tail_lo);
  }
  if (n >= lo && n < hi) block[n - lo] = 0x80;
  if (index + 1 == inner_blocks(n)) {
    const std::uint64_t bits = (static_cast<std::uint64_t>(n) + kBlock) * 8;
    store_be32(block + kBlock - 8, static_cast<std::uint32_t>(bits >> 32));
    store_be32(block + kBlock - 4, static_cast<std::uint32_t>(bits));
  }
}

// Sorts messages into groups of L short ones (one block each) and groups of
// L long ones, so a long message never keeps a group of short ones waiting
// for extra compressions. Outputs are addressed per message, so the order
// of the work does not matter. `rest` gets what is left, fewer than 2 * L
// messages, short and long together.
template <std::size_t L, typename Short, typename Long, typename Rest>
void in_groups(const Message* msgs, std::size_t n, char* const* outs, Short&& full_short,
               Long&& full_long, Rest&& rest) {
  Message short_msgs[L], long_msgs[L];
  char* short_outs[L];
  char* long_outs[L];
  std::size_t n_short = 0, n_long = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (message_size(msgs[i]) <= kOneBlockMax) {
      short_msgs[n_short] = msgs[i];
      short_outs[n_short] = outs[i];
      if (++n_short == L) {
        full_short(short_msgs, short_outs);
        n_short = 0;
      }
    } else {
      long_msgs[n_long] = msgs[i];
      long_outs[n_long] = outs[i];
      if (++n_long == L) {
        full_long(long_msgs, long_outs);
        n_long = 0;
      }
    }
  }
  Message left[2 * L];
  char* left_outs[2 * L];
  std::size_t n_left = 0;
  for (std::size_t i = 0; i < n_short; ++i, ++n_left) {
    left[n_left] = short_msgs[i];
    left_outs[n_left] = short_outs[i];
  }
  for (std::size_t i = 0; i < n_long; ++i, ++n_left) {
    left[n_left] = long_msgs[i];
    left_outs[n_left] = long_outs[i];
  }
  if (n_left > 0) rest(left, left_outs, n_left);
}

// The portable code, for every CPU (sha256_portable.cc).
// One compression of the 64-byte `block` into `state`.
void compress(std::uint32_t* state, const std::uint8_t* block);
// The 32-byte SHA-256 digest of n bytes.
void sha256(const void* data, std::size_t n, std::uint8_t* digest);
// HMAC of one message from the key's states, as 64 hex characters.
void portable_hmac(const KeyStates& keys, const Message& m, char* out);
// The same for a message padded into its one block.
void portable_hmac_block(const KeyStates& keys, const std::uint8_t* block, char* out);

#ifdef QM_X86_KERNELS
struct CpuFeatures {
  bool sha = false;   // SHA extensions with SSSE3 and SSE4.1
  bool avx2 = false;  // AVX2, with the OS saving the ymm registers
};
// Read once from CPUID.
const CpuFeatures& cpu_features();

// SHA extensions: four chains in flight (two messages' outer hashes and the
// next two's inner hashes for short messages, four long messages at once);
// sha256rnds2 has several cycles of latency and more chains than two keep
// it busier on the parts measured.
inline constexpr std::size_t kShaNiLanes = 4;
void shani_hmac_many(const KeyStates& keys, const Message* msgs, std::size_t n, char* const* outs);
// Messages already padded into their one block each.
void shani_hmac_blocks(const KeyStates& keys, const std::uint8_t (*blocks)[kBlock], std::size_t n,
                       char* const* outs);
// Messages pulled from `source` a few at a time, one group ahead of the
// hashing.
void shani_hmac_source(const KeyStates& keys, const MessageSource& source);
// For measuring the unit's bound: `lanes` (1 to 4) independent chains of
// `rounds` single-block compressions each, interleaved, over the
// `n_blocks` 64-byte blocks at `blocks` taken in turn.
void shani_compress_chains(std::size_t lanes, std::uint32_t* const* states,
                           const std::uint8_t* blocks, std::size_t n_blocks, std::size_t rounds);

// AVX2, eight messages per group, one per 32-bit lane.
inline constexpr std::size_t kAvx2Lanes = 8;
void avx2_hmac_many(const KeyStates& keys, const Message* msgs, std::size_t n, char* const* outs);
// Messages padded into their one block each, the blocks 32-byte aligned.
void avx2_hmac_blocks(const KeyStates& keys, const std::uint8_t (*blocks)[kBlock], std::size_t n,
                      char* const* outs);
// For measuring the bound: eight chains, one per lane, of `rounds`
// single-block compressions each, over `n_blocks` (a multiple of 8, at
// least 8) 32-byte-aligned blocks taken eight at a time.
void avx2_compress_chains(std::uint32_t* const* states, const std::uint8_t* blocks,
                          std::size_t n_blocks, std::size_t rounds);
#endif

}  // namespace quillon::keyed_hash::internal
