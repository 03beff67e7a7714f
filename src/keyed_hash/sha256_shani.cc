// HMAC-SHA-256 on the x86 SHA extensions. The state is kept in the ABEF/CDGH
// lane order that sha256rnds2 expects; four rounds per group, the message
// schedule extended with sha256msg1/msg2 four words at a time. Several
// independent chains are interleaved because sha256rnds2 has a latency of
// several cycles; the inner digest goes straight from registers into the
// outer block, whose padding words are constants.
#include "keyed_hash/sha256_internal.h"

#ifdef QM_X86_KERNELS

#include <immintrin.h>

// Only the functions below are built for the SHA extensions (not the whole
// file), so no inline function shared with other files is compiled with
// instructions the CPU may lack. They are entered after a CPUID check.
#define QM_SHANI __attribute__((target("sha,sse4.1,ssse3")))

namespace quillon::keyed_hash::internal {
namespace {

QM_SHANI inline __m128i byte_swap_mask() {
  return _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
}

// One chain: its state in ABEF/CDGH order, the state before the block (added
// back at the end), and the message schedule window; W[t..t+3] comes from
// W[t-16..t-13] (msg1), W[t-7..t-4] (alignr) and W[t-2..t-1] (msg2).
struct Lane {
  __m128i abef, cdgh, abef_save, cdgh_save, w[4];

  QM_SHANI void load_block(const std::uint8_t* block, __m128i byte_swap) {
    for (int g = 0; g < 4; ++g) {
      w[g] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * g)),
                              byte_swap);
    }
  }
  QM_SHANI void four_rounds(int group) {
    __m128i msg = _mm_add_epi32(
        w[group & 3], _mm_load_si128(reinterpret_cast<const __m128i*>(kRound + 4 * group)));
    cdgh = _mm_sha256rnds2_epu32(cdgh, abef, msg);
    msg = _mm_shuffle_epi32(msg, 0x0E);
    abef = _mm_sha256rnds2_epu32(abef, cdgh, msg);
  }
  QM_SHANI void schedule_next(int group) {
    __m128i next = _mm_sha256msg1_epu32(w[group & 3], w[(group + 1) & 3]);
    next = _mm_add_epi32(next, _mm_alignr_epi8(w[(group + 3) & 3], w[(group + 2) & 3], 4));
    w[group & 3] = _mm_sha256msg2_epu32(next, w[(group + 3) & 3]);
  }
};

// Chaining values (a..d, e..h) to the ABEF/CDGH lane order and back.
QM_SHANI inline void to_lanes(__m128i abcd, __m128i efgh, __m128i& abef, __m128i& cdgh) {
  const __m128i tmp = _mm_shuffle_epi32(abcd, 0xB1);
  cdgh = _mm_shuffle_epi32(efgh, 0x1B);
  abef = _mm_alignr_epi8(tmp, cdgh, 8);
  cdgh = _mm_blend_epi16(cdgh, tmp, 0xF0);
}
QM_SHANI inline void from_lanes(__m128i abef, __m128i cdgh, __m128i& abcd, __m128i& efgh) {
  const __m128i tmp = _mm_shuffle_epi32(abef, 0x1B);
  cdgh = _mm_shuffle_epi32(cdgh, 0xB1);
  abcd = _mm_blend_epi16(tmp, cdgh, 0xF0);
  efgh = _mm_alignr_epi8(cdgh, tmp, 8);
}
QM_SHANI inline void load_state(const std::uint32_t state[8], __m128i& abef, __m128i& cdgh) {
  to_lanes(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)),
           _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), abef, cdgh);
}

// One block on each of N chains, their rounds interleaved; the message
// words must already be in w.
template <std::size_t N>
QM_SHANI inline void compress(Lane (&l)[N]) {
  for (std::size_t i = 0; i < N; ++i) {
    l[i].abef_save = l[i].abef;
    l[i].cdgh_save = l[i].cdgh;
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
    l[i].abef = _mm_add_epi32(l[i].abef, l[i].abef_save);
    l[i].cdgh = _mm_add_epi32(l[i].cdgh, l[i].cdgh_save);
  }
}

// 16 bytes of digest, held as four native words, to 32 hex characters: the
// words are byte-swapped to digest order, split into nibbles and looked up
// sixteen at a time with pshufb.
QM_SHANI inline void hex16(__m128i words, char* out) {
  const __m128i table = _mm_setr_epi8('0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b',
                                      'c', 'd', 'e', 'f');
  const __m128i low_nibbles = _mm_set1_epi8(0x0f);
  const __m128i bytes = _mm_shuffle_epi8(words, byte_swap_mask());
  const __m128i hi = _mm_and_si128(_mm_srli_epi16(bytes, 4), low_nibbles);
  const __m128i lo = _mm_and_si128(bytes, low_nibbles);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                   _mm_shuffle_epi8(table, _mm_unpacklo_epi8(hi, lo)));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16),
                   _mm_shuffle_epi8(table, _mm_unpackhi_epi8(hi, lo)));
}

// The outer hash of each lane's finished inner state: the digest words are
// the first eight message words as they are, followed by constant padding
// (0x80, then the bit length of key block and digest, 768).
template <std::size_t N>
QM_SHANI inline void finish_outer(const KeyStates& keys, Lane (&l)[N], char* const* outs) {
  __m128i outer_abef, outer_cdgh;
  load_state(keys.outer, outer_abef, outer_cdgh);
  const __m128i pad_words = _mm_setr_epi32(static_cast<int>(0x80000000u), 0, 0, 0);
  const __m128i length_words = _mm_setr_epi32(0, 0, 0, 768);
  for (std::size_t i = 0; i < N; ++i) {
    from_lanes(l[i].abef, l[i].cdgh, l[i].w[0], l[i].w[1]);
    l[i].w[2] = pad_words;
    l[i].w[3] = length_words;
    l[i].abef = outer_abef;
    l[i].cdgh = outer_cdgh;
  }
  compress(l);
  for (std::size_t i = 0; i < N; ++i) {
    __m128i abcd, efgh;
    from_lanes(l[i].abef, l[i].cdgh, abcd, efgh);
    hex16(abcd, outs[i]);
    hex16(efgh, outs[i] + 32);
  }
}

// N messages of at most kOneBlockMax bytes, already padded into their
// blocks: one inner and one outer compression each.
template <std::size_t N>
QM_SHANI void hmac_blocks(const KeyStates& keys, const std::uint8_t (*blocks)[kBlock],
                          char* const* outs) {
  __m128i inner_abef, inner_cdgh;
  load_state(keys.inner, inner_abef, inner_cdgh);
  const __m128i byte_swap = byte_swap_mask();
  Lane l[N];
  for (std::size_t i = 0; i < N; ++i) {
    l[i].abef = inner_abef;
    l[i].cdgh = inner_cdgh;
    l[i].load_block(blocks[i], byte_swap);
  }
  compress(l);
  finish_outer(keys, l, outs);
}

// Short messages in pairs over prebuilt blocks, software-pipelined on four
// chains: each step runs the outer hashes of one pair and the inner hashes
// of the next, interleaved, so an outer hash waits only on the step before
// (as the chains of the measured bound do) and the unit is not left idle
// between a group's inner and outer hashes.
QM_SHANI void hmac_pairs(const KeyStates& keys, const std::uint8_t (*blocks)[kBlock],
                         char* const* outs, std::size_t pairs) {
  __m128i inner_abef, inner_cdgh, outer_abef, outer_cdgh;
  load_state(keys.inner, inner_abef, inner_cdgh);
  load_state(keys.outer, outer_abef, outer_cdgh);
  const __m128i byte_swap = byte_swap_mask();
  const __m128i pad_words = _mm_setr_epi32(static_cast<int>(0x80000000u), 0, 0, 0);
  const __m128i length_words = _mm_setr_epi32(0, 0, 0, 768);
  Lane l[4];  // 0, 1: outer hashes of pair p - 1; 2, 3: inner hashes of pair p
  {
    Lane two[2];
    for (std::size_t i = 0; i < 2; ++i) {
      two[i].abef = inner_abef;
      two[i].cdgh = inner_cdgh;
      two[i].load_block(blocks[i], byte_swap);
    }
    compress(two);
    l[2] = two[0];
    l[3] = two[1];
  }
  for (std::size_t p = 1; p < pairs; ++p) {
    for (std::size_t i = 0; i < 2; ++i) {
      from_lanes(l[2 + i].abef, l[2 + i].cdgh, l[i].w[0], l[i].w[1]);
      l[i].w[2] = pad_words;
      l[i].w[3] = length_words;
      l[i].abef = outer_abef;
      l[i].cdgh = outer_cdgh;
      l[2 + i].abef = inner_abef;
      l[2 + i].cdgh = inner_cdgh;
      l[2 + i].load_block(blocks[2 * p + i], byte_swap);
    }
    compress(l);
    for (std::size_t i = 0; i < 2; ++i) {
      __m128i abcd, efgh;
      from_lanes(l[i].abef, l[i].cdgh, abcd, efgh);
      hex16(abcd, outs[2 * (p - 1) + i]);
      hex16(efgh, outs[2 * (p - 1) + i] + 32);
    }
  }
  Lane two[2] = {l[2], l[3]};
  finish_outer(keys, two, outs + 2 * (pairs - 1));
}

// N messages of any lengths. While every lane still has blocks they are
// compressed together; lanes with more blocks than the others finish their
// inner hashes in pairs.
template <std::size_t N>
QM_SHANI void hmac_any(const KeyStates& keys, const Message* msgs, char* const* outs) {
  std::size_t blocks[N];
  std::size_t least = ~std::size_t{0};
  for (std::size_t i = 0; i < N; ++i) {
    blocks[i] = inner_blocks(message_size(msgs[i]));
    if (blocks[i] < least) least = blocks[i];
  }
  __m128i inner_abef, inner_cdgh;
  load_state(keys.inner, inner_abef, inner_cdgh);
  const __m128i byte_swap = byte_swap_mask();
  alignas(16) std::uint8_t block[N][kBlock];
  Lane l[N];
  for (std::size_t i = 0; i < N; ++i) {
    l[i].abef = inner_abef;
    l[i].cdgh = inner_cdgh;
  }
  for (std::size_t s = 0; s < least; ++s) {
    for (std::size_t i = 0; i < N; ++i) {
      build_block(msgs[i], s, block[i]);
      l[i].load_block(block[i], byte_swap);
    }
    compress(l);
  }
  // Lanes with blocks left go on in pairs, then alone.
  for (std::size_t s = least;; ++s) {
    std::size_t active[N];
    std::size_t count = 0;
    for (std::size_t i = 0; i < N; ++i) {
      if (s < blocks[i]) active[count++] = i;
    }
    if (count == 0) break;
    std::size_t j = 0;
    for (; j + 2 <= count; j += 2) {
      Lane two[2] = {l[active[j]], l[active[j + 1]]};
      for (std::size_t k = 0; k < 2; ++k) {
        build_block(msgs[active[j + k]], s, block[k]);
        two[k].load_block(block[k], byte_swap);
      }
      compress(two);
      l[active[j]] = two[0];
      l[active[j + 1]] = two[1];
    }
    if (j < count) {
      Lane one[1] = {l[active[j]]};
      build_block(msgs[active[j]], s, block[0]);
      one[0].load_block(block[0], byte_swap);
      compress(one);
      l[active[j]] = one[0];
    }
  }
  finish_outer(keys, l, outs);
}

// `rounds` compressions on each of N chains, the state kept in registers;
// the blocks are taken in turn from `n_blocks` of them, so no part of the
// message schedule can be hoisted out of the loop.
template <std::size_t N>
QM_SHANI void compress_chains(std::uint32_t* const* states, const std::uint8_t* blocks,
                              std::size_t n_blocks, std::size_t rounds) {
  const __m128i byte_swap = byte_swap_mask();
  Lane l[N];
  for (std::size_t i = 0; i < N; ++i) load_state(states[i], l[i].abef, l[i].cdgh);
  std::size_t next = 0;
  for (std::size_t r = 0; r < rounds; ++r) {
    for (std::size_t i = 0; i < N; ++i) {
      l[i].load_block(blocks + kBlock * next, byte_swap);
      next = next + 1 == n_blocks ? 0 : next + 1;
    }
    compress(l);
  }
  for (std::size_t i = 0; i < N; ++i) {
    __m128i abcd, efgh;
    from_lanes(l[i].abef, l[i].cdgh, abcd, efgh);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(states[i]), abcd);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(states[i] + 4), efgh);
  }
}

}  // namespace

void shani_hmac_many(const KeyStates& keys, const Message* msgs, std::size_t n,
                     char* const* outs) {
  constexpr std::size_t L = kShaNiLanes;
  // Short messages are padded into a batch of blocks first, then hashed in
  // one tight loop; the block loads then never wait on the byte-sized
  // stores that built them.
  constexpr std::size_t kBatch = 32;
  alignas(16) std::uint8_t blocks[kBatch][kBlock];
  char* block_outs[kBatch] = {};
  std::size_t n_short = 0;
  Message long_msgs[L];
  char* long_outs[L];
  std::size_t n_long = 0;
  const auto hash_batch = [&](std::size_t count) { shani_hmac_blocks(keys, blocks, count, block_outs); };
  for (std::size_t i = 0; i < n; ++i) {
    if (message_size(msgs[i]) <= kOneBlockMax) {
      build_short_block(msgs[i], blocks[n_short]);
      block_outs[n_short] = outs[i];
      if (++n_short == kBatch) {
        hash_batch(kBatch);
        n_short = 0;
      }
    } else {
      long_msgs[n_long] = msgs[i];
      long_outs[n_long] = outs[i];
      if (++n_long == L) {
        hmac_any<L>(keys, long_msgs, long_outs);
        n_long = 0;
      }
    }
  }
  hash_batch(n_short);
  // Long messages left, fewer than L: in pairs, then alone.
  std::size_t j = 0;
  for (; j + 2 <= n_long; j += 2) hmac_any<2>(keys, long_msgs + j, long_outs + j);
  if (j < n_long) hmac_any<1>(keys, long_msgs + j, long_outs + j);
}

void shani_hmac_blocks(const KeyStates& keys, const std::uint8_t (*blocks)[kBlock], std::size_t n,
                       char* const* outs) {
  if (n >= 2) hmac_pairs(keys, blocks, outs, n / 2);
  if (n % 2 == 1) hmac_blocks<1>(keys, blocks + n - 1, outs + n - 1);
}

// As hmac_pairs, over messages pulled from the source in groups of kGroup:
// the next group is pulled before the current one is hashed, so the
// caller's reads and padding run while the unit still works on the steps
// before, and a block is loaded a group after the stores that built it.
// Long messages gather across pulls and go to shani_hmac_many when their
// room is full, and at the end.
namespace {
QM_SHANI void hmac_source(const KeyStates& keys, const MessageSource& source) {
  constexpr std::size_t kGroup = 8;
  alignas(16) std::uint8_t blocks[2][kGroup][kBlock];
  char* outs[2][kGroup] = {};
  LongMessages longs;
  bool more = true;
  const auto pull_into = [&](std::size_t group) -> std::size_t {
    if (longs.full()) {
      shani_hmac_many(keys, longs.msgs, longs.size, longs.outs);
      longs.size = 0;
    }
    const Pull pulled = source.fill(source.context, Pull(blocks[group], outs[group], kGroup, longs));
    longs.size = pulled.longs();
    more = !pulled.ended();
    return pulled.shorts();
  };
  __m128i inner_abef, inner_cdgh, outer_abef, outer_cdgh;
  load_state(keys.inner, inner_abef, inner_cdgh);
  load_state(keys.outer, outer_abef, outer_cdgh);
  const __m128i byte_swap = byte_swap_mask();
  const __m128i pad_words = _mm_setr_epi32(static_cast<int>(0x80000000u), 0, 0, 0);
  const __m128i length_words = _mm_setr_epi32(0, 0, 0, 768);
  Lane l[4];  // 0, 1: outer hashes of the pending pair; 2, 3: inner hashes of the next
  char* pending_outs[2] = {nullptr, nullptr};
  bool pending = false;
  std::size_t cur = 0;
  std::size_t n = pull_into(0);
  while (n > 0 || more) {
    const std::size_t next = more ? pull_into(cur ^ 1) : 0;
    const std::uint8_t (*b)[kBlock] = blocks[cur];
    char* const* o = outs[cur];
    std::size_t k = 0;
    for (; k + 2 <= n; k += 2) {
      if (!pending) {
        Lane two[2];
        for (std::size_t i = 0; i < 2; ++i) {
          two[i].abef = inner_abef;
          two[i].cdgh = inner_cdgh;
          two[i].load_block(b[k + i], byte_swap);
        }
        compress(two);
        l[2] = two[0];
        l[3] = two[1];
      } else {
        for (std::size_t i = 0; i < 2; ++i) {
          from_lanes(l[2 + i].abef, l[2 + i].cdgh, l[i].w[0], l[i].w[1]);
          l[i].w[2] = pad_words;
          l[i].w[3] = length_words;
          l[i].abef = outer_abef;
          l[i].cdgh = outer_cdgh;
          l[2 + i].abef = inner_abef;
          l[2 + i].cdgh = inner_cdgh;
          l[2 + i].load_block(b[k + i], byte_swap);
        }
        compress(l);
        for (std::size_t i = 0; i < 2; ++i) {
          __m128i abcd, efgh;
          from_lanes(l[i].abef, l[i].cdgh, abcd, efgh);
          hex16(abcd, pending_outs[i]);
          hex16(efgh, pending_outs[i] + 32);
        }
      }
      pending = true;
      pending_outs[0] = o[k];
      pending_outs[1] = o[k + 1];
    }
    if (k < n) hmac_blocks<1>(keys, b + k, o + k);
    cur ^= 1;
    n = next;
  }
  if (pending) {
    Lane two[2] = {l[2], l[3]};
    finish_outer(keys, two, pending_outs);
  }
  if (longs.size > 0) shani_hmac_many(keys, longs.msgs, longs.size, longs.outs);
}
}  // namespace

void shani_hmac_source(const KeyStates& keys, const MessageSource& source) { hmac_source(keys, source); }

void shani_compress_chains(std::size_t lanes, std::uint32_t* const* states,
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

#endif  // QM_X86_KERNELS
