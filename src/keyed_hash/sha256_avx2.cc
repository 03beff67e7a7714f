// HMAC-SHA-256 over AVX2 for CPUs without the SHA extensions: eight
// messages at once, one per 32-bit lane (multi-buffer). Each of the eight
// state words and sixteen message words is a vector holding that word of
// all eight messages, so the rounds are the scalar rounds done eight wide.
// Blocks are transposed on the way in; the inner digests are already the
// outer message words, so only the final state is transposed back.
#include "keyed_hash/sha256_internal.h"

#ifdef QM_X86_KERNELS

#include <immintrin.h>

// Only these functions are built for AVX2 (not the whole file), so no
// inline function shared with other files is compiled with instructions the
// CPU may lack. They are entered after a CPUID check.
#define QM_AVX2 __attribute__((target("avx2")))

namespace quillon::keyed_hash::internal {
namespace {

using V = __m256i;

QM_AVX2 inline V add(V a, V b) { return _mm256_add_epi32(a, b); }
QM_AVX2 inline V x(V a, V b) { return _mm256_xor_si256(a, b); }
template <int N>
QM_AVX2 inline V ror(V v) {
  return _mm256_or_si256(_mm256_srli_epi32(v, N), _mm256_slli_epi32(v, 32 - N));
}
QM_AVX2 inline V big_sigma0(V a) { return x(x(ror<2>(a), ror<13>(a)), ror<22>(a)); }
QM_AVX2 inline V big_sigma1(V e) { return x(x(ror<6>(e), ror<11>(e)), ror<25>(e)); }
QM_AVX2 inline V small_sigma0(V w) { return x(x(ror<7>(w), ror<18>(w)), _mm256_srli_epi32(w, 3)); }
QM_AVX2 inline V small_sigma1(V w) {
  return x(x(ror<17>(w), ror<19>(w)), _mm256_srli_epi32(w, 10));
}
// ((f ^ g) & e) ^ g picks f where e has ones, g elsewhere.
QM_AVX2 inline V choose(V e, V f, V g) { return x(_mm256_and_si256(x(f, g), e), g); }
QM_AVX2 inline V majority(V a, V b, V c) {
  return x(_mm256_and_si256(x(a, b), x(b, c)), b);
}

// One round on rotating names: only d and h change, the caller renames.
QM_AVX2 inline void sha_round(V a, V b, V c, V& d, V e, V f, V g, V& h, V k_plus_w) {
  const V t1 = add(add(add(h, big_sigma1(e)), choose(e, f, g)), k_plus_w);
  d = add(d, t1);
  h = add(t1, add(big_sigma0(a), majority(a, b, c)));
}

QM_AVX2 inline V kw(const V* w, int t) {
  return add(w[t & 15], _mm256_set1_epi32(static_cast<int>(kRound[t])));
}

// One block on every lane: `s` the eight state words, `w` the sixteen
// message words (overwritten by the schedule).
QM_AVX2 void compress(V s[8], V w[16]) {
  V a = s[0], b = s[1], c = s[2], d = s[3], e = s[4], f = s[5], g = s[6], h = s[7];
#pragma GCC unroll 8
  for (int t = 0; t < 64; t += 8) {
    if (t >= 16) {
#pragma GCC unroll 8
      for (int j = t; j < t + 8; ++j) {
        w[j & 15] = add(add(small_sigma1(w[(j - 2) & 15]), w[(j - 7) & 15]),
                        add(small_sigma0(w[(j - 15) & 15]), w[j & 15]));
      }
    }
    sha_round(a, b, c, d, e, f, g, h, kw(w, t + 0));
    sha_round(h, a, b, c, d, e, f, g, kw(w, t + 1));
    sha_round(g, h, a, b, c, d, e, f, kw(w, t + 2));
    sha_round(f, g, h, a, b, c, d, e, kw(w, t + 3));
    sha_round(e, f, g, h, a, b, c, d, kw(w, t + 4));
    sha_round(d, e, f, g, h, a, b, c, kw(w, t + 5));
    sha_round(c, d, e, f, g, h, a, b, kw(w, t + 6));
    sha_round(b, c, d, e, f, g, h, a, kw(w, t + 7));
  }
  s[0] = add(s[0], a);
  s[1] = add(s[1], b);
  s[2] = add(s[2], c);
  s[3] = add(s[3], d);
  s[4] = add(s[4], e);
  s[5] = add(s[5], f);
  s[6] = add(s[6], g);
  s[7] = add(s[7], h);
}

// 8x8 transpose of 32-bit words: row i, word j to row j, word i.
QM_AVX2 void transpose(V r[8]) {
  const V t0 = _mm256_unpacklo_epi32(r[0], r[1]), t1 = _mm256_unpackhi_epi32(r[0], r[1]);
  const V t2 = _mm256_unpacklo_epi32(r[2], r[3]), t3 = _mm256_unpackhi_epi32(r[2], r[3]);
  const V t4 = _mm256_unpacklo_epi32(r[4], r[5]), t5 = _mm256_unpackhi_epi32(r[4], r[5]);
  const V t6 = _mm256_unpacklo_epi32(r[6], r[7]), t7 = _mm256_unpackhi_epi32(r[6], r[7]);
  const V u0 = _mm256_unpacklo_epi64(t0, t2), u1 = _mm256_unpackhi_epi64(t0, t2);
  const V u2 = _mm256_unpacklo_epi64(t1, t3), u3 = _mm256_unpackhi_epi64(t1, t3);
  const V u4 = _mm256_unpacklo_epi64(t4, t6), u5 = _mm256_unpackhi_epi64(t4, t6);
  const V u6 = _mm256_unpacklo_epi64(t5, t7), u7 = _mm256_unpackhi_epi64(t5, t7);
  r[0] = _mm256_permute2x128_si256(u0, u4, 0x20);
  r[1] = _mm256_permute2x128_si256(u1, u5, 0x20);
  r[2] = _mm256_permute2x128_si256(u2, u6, 0x20);
  r[3] = _mm256_permute2x128_si256(u3, u7, 0x20);
  r[4] = _mm256_permute2x128_si256(u0, u4, 0x31);
  r[5] = _mm256_permute2x128_si256(u1, u5, 0x31);
  r[6] = _mm256_permute2x128_si256(u2, u6, 0x31);
  r[7] = _mm256_permute2x128_si256(u3, u7, 0x31);
}

QM_AVX2 inline V byte_swap_mask() {
  return _mm256_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12, 3, 2, 1, 0, 7, 6,
                          5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
}

// Message words of eight 64-byte blocks, word t of block i in lane i of w[t].
QM_AVX2 void load_blocks(const std::uint8_t (*blocks)[kBlock], V w[16]) {
  const V byte_swap = byte_swap_mask();
  for (int half = 0; half < 2; ++half) {
    V* r = w + 8 * half;
    for (int i = 0; i < 8; ++i) {
      r[i] = _mm256_load_si256(reinterpret_cast<const V*>(blocks[i] + 32 * half));
    }
    transpose(r);
    for (int j = 0; j < 8; ++j) r[j] = _mm256_shuffle_epi8(r[j], byte_swap);
  }
}

// A digest of eight native words to 64 hex characters: byte-swapped to
// digest order, split into nibbles, looked up with vpshufb. unpack works
// within 128-bit halves, so the halves are put back in order on the way out.
QM_AVX2 inline void hex32(V words, char* out) {
  const V table = _mm256_setr_epi8('0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b', 'c',
                                   'd', 'e', 'f', '0', '1', '2', '3', '4', '5', '6', '7', '8', '9',
                                   'a', 'b', 'c', 'd', 'e', 'f');
  const V low_nibbles = _mm256_set1_epi8(0x0f);
  const V bytes = _mm256_shuffle_epi8(words, byte_swap_mask());
  const V hi = _mm256_and_si256(_mm256_srli_epi16(bytes, 4), low_nibbles);
  const V lo = _mm256_and_si256(bytes, low_nibbles);
  const V first = _mm256_shuffle_epi8(table, _mm256_unpacklo_epi8(hi, lo));  // bytes 0-7, 16-23
  const V second = _mm256_shuffle_epi8(table, _mm256_unpackhi_epi8(hi, lo));  // 8-15, 24-31
  _mm256_storeu_si256(reinterpret_cast<V*>(out), _mm256_permute2x128_si256(first, second, 0x20));
  _mm256_storeu_si256(reinterpret_cast<V*>(out + 32),
                      _mm256_permute2x128_si256(first, second, 0x31));
}

// The outer hashes of the eight inner digests in `s`, written as hex.
QM_AVX2 void finish8(const KeyStates& keys, V s[8], char* const* outs) {
  // Outer block: the inner digest words, 0x80, zeros, the bit length 768.
  V w[16];
  for (int j = 0; j < 8; ++j) {
    w[j] = s[j];
    s[j] = _mm256_set1_epi32(static_cast<int>(keys.outer[j]));
  }
  w[8] = _mm256_set1_epi32(static_cast<int>(0x80000000u));
  for (int j = 9; j < 15; ++j) w[j] = _mm256_setzero_si256();
  w[15] = _mm256_set1_epi32(768);
  compress(s, w);
  transpose(s);
  for (int i = 0; i < 8; ++i) hex32(s[i], outs[i]);
}

// Eight messages of any lengths. A lane whose message has fewer blocks than
// the longest keeps its state: the compression still runs on all lanes, and
// finished lanes take their old state back.
QM_AVX2 void hmac8(const KeyStates& keys, const Message* msgs, char* const* outs) {
  alignas(32) std::uint8_t blocks[8][kBlock];
  std::uint32_t counts[8];
  std::uint32_t least = ~0u, most = 0;
  for (int i = 0; i < 8; ++i) {
    counts[i] = static_cast<std::uint32_t>(inner_blocks(message_size(msgs[i])));
    least = counts[i] < least ? counts[i] : least;
    most = counts[i] > most ? counts[i] : most;
  }
  V s[8], w[16];
  for (int j = 0; j < 8; ++j) s[j] = _mm256_set1_epi32(static_cast<int>(keys.inner[j]));
  if (most == 1) {
    for (int i = 0; i < 8; ++i) build_short_block(msgs[i], blocks[i]);
    load_blocks(blocks, w);
    compress(s, w);
  } else {
    const V lane_counts = _mm256_loadu_si256(reinterpret_cast<const V*>(counts));
    for (std::uint32_t step = 0; step < most; ++step) {
      for (int i = 0; i < 8; ++i) {
        if (step < counts[i]) build_block(msgs[i], step, blocks[i]);
      }
      load_blocks(blocks, w);
      V before[8];
      for (int j = 0; j < 8; ++j) before[j] = s[j];
      compress(s, w);
      if (step >= least) {
        const V active = _mm256_cmpgt_epi32(lane_counts, _mm256_set1_epi32(static_cast<int>(step)));
        for (int j = 0; j < 8; ++j) s[j] = _mm256_blendv_epi8(before[j], s[j], active);
      }
    }
  }
  finish8(keys, s, outs);
}

// Eight messages padded into their one block each (32-byte aligned).
QM_AVX2 void hmac8_blocks(const KeyStates& keys, const std::uint8_t (*blocks)[kBlock], char* const* outs) {
  V s[8], w[16];
  for (int j = 0; j < 8; ++j) s[j] = _mm256_set1_epi32(static_cast<int>(keys.inner[j]));
  load_blocks(blocks, w);
  compress(s, w);
  finish8(keys, s, outs);
}

QM_AVX2 void compress8(std::uint32_t* const* states, const std::uint8_t* blocks,
                       std::size_t n_blocks, std::size_t rounds) {
  V s[8], w[16];
  for (int i = 0; i < 8; ++i) s[i] = _mm256_loadu_si256(reinterpret_cast<const V*>(states[i]));
  transpose(s);
  std::size_t next = 0;
  for (std::size_t r = 0; r < rounds; ++r) {
    load_blocks(reinterpret_cast<const std::uint8_t(*)[kBlock]>(blocks + kBlock * next), w);
    next = next + 8 > n_blocks - 8 ? 0 : next + 8;
    compress(s, w);
  }
  transpose(s);
  for (int i = 0; i < 8; ++i) _mm256_storeu_si256(reinterpret_cast<V*>(states[i]), s[i]);
}

}  // namespace

void avx2_hmac_many(const KeyStates& keys, const Message* msgs, std::size_t n,
                    char* const* outs) {
  in_groups<kAvx2Lanes>(
      msgs, n, outs, [&](const Message* m, char* const* o) { hmac8(keys, m, o); },
      [&](const Message* m, char* const* o) { hmac8(keys, m, o); },
      [&](const Message* m, char* const* o, std::size_t count) {
        // Full groups first; a short last group is filled with copies of
        // its first message whose digests go to a scratch buffer.
        for (; count >= kAvx2Lanes; count -= kAvx2Lanes, m += kAvx2Lanes, o += kAvx2Lanes) {
          hmac8(keys, m, o);
        }
        if (count == 0) return;
        char scratch[kHexDigestLength];
        Message group[kAvx2Lanes];
        char* group_outs[kAvx2Lanes];
        for (std::size_t i = 0; i < kAvx2Lanes; ++i) {
          group[i] = m[i < count ? i : 0];
          group_outs[i] = i < count ? o[i] : scratch;
        }
        hmac8(keys, group, group_outs);
      });
}

void avx2_hmac_blocks(const KeyStates& keys, const std::uint8_t (*blocks)[kBlock], std::size_t n,
                      char* const* outs) {
  for (; n >= kAvx2Lanes; n -= kAvx2Lanes, blocks += kAvx2Lanes, outs += kAvx2Lanes) {
    hmac8_blocks(keys, blocks, outs);
  }
  if (n == 0) return;
  // A short last group: copies of its first block fill the other lanes,
  // their digests going to a scratch buffer.
  alignas(32) std::uint8_t group[kAvx2Lanes][kBlock];
  char scratch[kHexDigestLength];
  char* group_outs[kAvx2Lanes];
  for (std::size_t i = 0; i < kAvx2Lanes; ++i) {
    std::memcpy(group[i], blocks[i < n ? i : 0], kBlock);
    group_outs[i] = i < n ? outs[i] : scratch;
  }
  hmac8_blocks(keys, group, group_outs);
}

void avx2_compress_chains(std::uint32_t* const* states, const std::uint8_t* blocks,
                          std::size_t n_blocks, std::size_t rounds) {
  compress8(states, blocks, n_blocks, rounds);
}

}  // namespace quillon::keyed_hash::internal

#endif  // QM_X86_KERNELS
