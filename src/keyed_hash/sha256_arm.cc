// HMAC-SHA-256 on the ARMv8 Cryptography Extensions. The state stays in
// its natural a..d, e..h order in two vectors; sha256h/sha256h2 do four
// rounds per pair, sha256su0/su1 extend the schedule four words at a time.
// Several chains are interleaved because every pair waits on the chain's
// last result; the inner digest goes straight from registers into the
// outer block, whose padding words are constants.
//
// The build compiles this file alone with the crypto extensions (CMake),
// so no other file carries those instructions; its functions are entered
// only after the HWCAP check and the known-answer gate in dispatch.cc.
// Compilers emit no SHA instruction from plain code, so the inline helpers
// this file shares with others stay baseline.
#include "keyed_hash/sha256_internal.h"

#ifdef QM_ARM_KERNELS

#include <arm_neon.h>

namespace quillon::keyed_hash::internal {
namespace {

inline uint32x4_t load_words(const std::uint8_t* p) {
  return vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(p)));
}

// One chain: its state, the state before the block (added back at the
// end), and the schedule window; W[t..t+3] comes from W[t-16..t-13] and
// W[t-12..t-9] (su0), then W[t-8..t-5] and W[t-4..t-1] (su1).
struct Lane {
  uint32x4_t abcd, efgh, abcd_save, efgh_save, w[4];

  void load_block(const std::uint8_t* block) {
    for (int g = 0; g < 4; ++g) w[g] = load_words(block + 16 * g);
  }
  void four_rounds(int group) {
    const uint32x4_t kw = vaddq_u32(w[group & 3], vld1q_u32(kRound + 4 * group));
    const uint32x4_t abcd_before = abcd;
    abcd = vsha256hq_u32(abcd, efgh, kw);
    efgh = vsha256h2q_u32(efgh, abcd_before, kw);
  }
  void schedule_next(int group) {
    w[group & 3] = vsha256su1q_u32(vsha256su0q_u32(w[group & 3], w[(group + 1) & 3]),
                                   w[(group + 2) & 3], w[(group + 3) & 3]);
  }
  void set_state(const std::uint32_t state[8]) {
    abcd = vld1q_u32(state);
    efgh = vld1q_u32(state + 4);
  }
};

// One block on each of N chains, their rounds interleaved; the message
// words must already be in w.
template <std::size_t N>
inline void compress(Lane (&l)[N]) {
  for (std::size_t i = 0; i < N; ++i) {
    l[i].abcd_save = l[i].abcd;
    l[i].efgh_save = l[i].efgh;
  }
#pragma GCC unroll 4
  for (int g = 0; g < 4; ++g) {
    for (std::size_t i = 0; i < N; ++i) l[i].four_rounds(g);
  }
#pragma GCC unroll 12
  for (int g = 4; g < 16; ++g) {
    for (std::size_t i = 0; i < N; ++i) {
      l[i].schedule_next(g);
      l[i].four_rounds(g);
    }
  }
  for (std::size_t i = 0; i < N; ++i) {
    l[i].abcd = vaddq_u32(l[i].abcd, l[i].abcd_save);
    l[i].efgh = vaddq_u32(l[i].efgh, l[i].efgh_save);
  }
}

// 16 bytes of digest, held as four native words, to 32 hex characters: the
// words are byte-swapped to digest order, split into nibbles and looked up
// sixteen at a time with tbl.
inline void hex16(uint32x4_t words, char* out) {
  static constexpr std::uint8_t kDigits[16] = {'0', '1', '2', '3', '4', '5', '6', '7',
                                               '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
  const uint8x16_t table = vld1q_u8(kDigits);
  const uint8x16_t bytes = vrev32q_u8(vreinterpretq_u8_u32(words));
  const uint8x16_t hi = vshrq_n_u8(bytes, 4);
  const uint8x16_t lo = vandq_u8(bytes, vdupq_n_u8(0x0f));
  auto* dst = reinterpret_cast<std::uint8_t*>(out);
  vst1q_u8(dst, vqtbl1q_u8(table, vzip1q_u8(hi, lo)));
  vst1q_u8(dst + 16, vqtbl1q_u8(table, vzip2q_u8(hi, lo)));
}

// The outer hash of each lane's finished inner state: the digest words are
// the first eight message words as they are, followed by constant padding
// (0x80, then the bit length of key block and digest, 768).
template <std::size_t N>
inline void finish_outer(const KeyStates& keys, Lane (&l)[N], char* const* outs) {
  static constexpr std::uint32_t kPad[4] = {0x80000000u, 0, 0, 0};
  static constexpr std::uint32_t kLength[4] = {0, 0, 0, 768};
  for (std::size_t i = 0; i < N; ++i) {
    l[i].w[0] = l[i].abcd;
    l[i].w[1] = l[i].efgh;
    l[i].w[2] = vld1q_u32(kPad);
    l[i].w[3] = vld1q_u32(kLength);
    l[i].set_state(keys.outer);
  }
  compress(l);
  for (std::size_t i = 0; i < N; ++i) {
    hex16(l[i].abcd, outs[i]);
    hex16(l[i].efgh, outs[i] + 32);
  }
}

// N messages of at most kOneBlockMax bytes, already padded into their
// blocks: one inner and one outer compression each.
template <std::size_t N>
void hmac_blocks(const KeyStates& keys, const std::uint8_t (*blocks)[kBlock], char* const* outs) {
  Lane l[N];
  for (std::size_t i = 0; i < N; ++i) {
    l[i].set_state(keys.inner);
    l[i].load_block(blocks[i]);
  }
  compress(l);
  finish_outer(keys, l, outs);
}

// N messages of any lengths. While every lane still has blocks they are
// compressed together; then each lane with blocks left finishes alone,
// which costs only when the lengths of a group differ by whole blocks (the
// callers group short and long messages apart).
template <std::size_t N>
void hmac_any(const KeyStates& keys, const Message* msgs, char* const* outs) {
  std::size_t blocks[N];
  std::size_t least = ~std::size_t{0};
  for (std::size_t i = 0; i < N; ++i) {
    blocks[i] = inner_blocks(message_size(msgs[i]));
    if (blocks[i] < least) least = blocks[i];
  }
  alignas(16) std::uint8_t block[N][kBlock];
  Lane l[N];
  for (std::size_t i = 0; i < N; ++i) l[i].set_state(keys.inner);
  for (std::size_t s = 0; s < least; ++s) {
    for (std::size_t i = 0; i < N; ++i) {
      build_block(msgs[i], s, block[i]);
      l[i].load_block(block[i]);
    }
    compress(l);
  }
  for (std::size_t i = 0; i < N; ++i) {
    for (std::size_t s = least; s < blocks[i]; ++s) {
      Lane one[1] = {l[i]};
      build_block(msgs[i], s, block[0]);
      one[0].load_block(block[0]);
      compress(one);
      l[i] = one[0];
    }
  }
  finish_outer(keys, l, outs);
}

// `rounds` compressions on each of N chains, the state kept in registers;
// the blocks are taken in turn from `n_blocks` of them, so no part of the
// message schedule can be hoisted out of the loop.
template <std::size_t N>
void compress_chains(std::uint32_t* const* states, const std::uint8_t* blocks, std::size_t n_blocks,
                     std::size_t rounds) {
  Lane l[N];
  for (std::size_t i = 0; i < N; ++i) l[i].set_state(states[i]);
  std::size_t next = 0;
  for (std::size_t r = 0; r < rounds; ++r) {
    for (std::size_t i = 0; i < N; ++i) {
      l[i].load_block(blocks + kBlock * next);
      next = next + 1 == n_blocks ? 0 : next + 1;
    }
    compress(l);
  }
  for (std::size_t i = 0; i < N; ++i) {
    vst1q_u32(states[i], l[i].abcd);
    vst1q_u32(states[i] + 4, l[i].efgh);
  }
}

}  // namespace

void arm_sha2_hmac_blocks(const KeyStates& keys, const std::uint8_t (*blocks)[kBlock], std::size_t n,
                          char* const* outs) {
  constexpr std::size_t L = kArmSha2Lanes;
  for (; n >= L; n -= L, blocks += L, outs += L) hmac_blocks<L>(keys, blocks, outs);
  if (n >= 2) {
    hmac_blocks<2>(keys, blocks, outs);
    n -= 2, blocks += 2, outs += 2;
  }
  if (n == 1) hmac_blocks<1>(keys, blocks, outs);
}

void arm_sha2_hmac_many(const KeyStates& keys, const Message* msgs, std::size_t n,
                        char* const* outs) {
  constexpr std::size_t L = kArmSha2Lanes;
  const auto group = [&](const Message* m, char* const* o) { hmac_any<L>(keys, m, o); };
  in_groups<L>(msgs, n, outs, group, group, [&](const Message* m, char* const* o, std::size_t count) {
    // Fewer than 2 * L, short ones first: whole groups, then a pair, then one.
    for (; count >= L; count -= L, m += L, o += L) hmac_any<L>(keys, m, o);
    for (; count >= 2; count -= 2, m += 2, o += 2) hmac_any<2>(keys, m, o);
    if (count == 1) hmac_any<1>(keys, m, o);
  });
}

void arm_sha2_compress_chains(std::size_t lanes, std::uint32_t* const* states,
                              const std::uint8_t* blocks, std::size_t n_blocks, std::size_t rounds) {
  switch (lanes) {
    case 1:
      return compress_chains<1>(states, blocks, n_blocks, rounds);
    case 2:
      return compress_chains<2>(states, blocks, n_blocks, rounds);
    case 3:
      return compress_chains<3>(states, blocks, n_blocks, rounds);
    default:
      return compress_chains<4>(states, blocks, n_blocks, rounds);
  }
}

}  // namespace quillon::keyed_hash::internal

#endif  // QM_ARM_KERNELS
