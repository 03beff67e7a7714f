// SHA-256 compression on the x86 SHA extensions. The state is kept in the
// ABEF/CDGH lane order that sha256rnds2 expects; four rounds per group, the
// message schedule extended with sha256msg1/msg2 four words at a time.
#include "keyed_hash/sha256_internal.h"

#include <cpuid.h>
#include <immintrin.h>

namespace quillon_hash::internal {

bool cpu_has_sha_extensions() {
  static const bool has = [] {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
    const bool ssse3 = (ecx & bit_SSSE3) != 0;
    const bool sse41 = (ecx & bit_SSE4_1) != 0;
    if (__get_cpuid_max(0, nullptr) < 7) return false;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    const bool sha = (ebx & bit_SHA) != 0;
    return ssse3 && sse41 && sha;
  }();
  return has;
}

namespace {

alignas(16) constexpr std::uint32_t kRound[64] = {
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

inline void four_rounds(__m128i& abef, __m128i& cdgh, __m128i w, int group) {
  __m128i msg = _mm_add_epi32(w, _mm_load_si128(reinterpret_cast<const __m128i*>(kRound + 4 * group)));
  cdgh = _mm_sha256rnds2_epu32(cdgh, abef, msg);
  msg = _mm_shuffle_epi32(msg, 0x0E);
  abef = _mm_sha256rnds2_epu32(abef, cdgh, msg);
}

// One compression's state in the ABEF/CDGH lane order, with its message
// schedule window; W[t..t+3] comes from W[t-16..t-13] (msg1), W[t-7..t-4]
// (alignr) and W[t-2..t-1] (msg2).
struct Lane {
  __m128i abef, cdgh, abef_save, cdgh_save, w[4];

  void load(const std::uint32_t state[8]) {
    __m128i tmp = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
    cdgh = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
    tmp = _mm_shuffle_epi32(tmp, 0xB1);
    cdgh = _mm_shuffle_epi32(cdgh, 0x1B);
    abef = _mm_alignr_epi8(tmp, cdgh, 8);
    cdgh = _mm_blend_epi16(cdgh, tmp, 0xF0);
    abef_save = abef;
    cdgh_save = cdgh;
  }
  void store(std::uint32_t state[8]) {
    abef = _mm_add_epi32(abef, abef_save);
    cdgh = _mm_add_epi32(cdgh, cdgh_save);
    const __m128i tmp = _mm_shuffle_epi32(abef, 0x1B);
    cdgh = _mm_shuffle_epi32(cdgh, 0xB1);
    abef = _mm_blend_epi16(tmp, cdgh, 0xF0);
    cdgh = _mm_alignr_epi8(cdgh, tmp, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), abef);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), cdgh);
  }
  void schedule_load(const std::uint8_t* data, int g, __m128i byte_swap) {
    w[g] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * g)), byte_swap);
  }
  void schedule_next(int g) {
    __m128i next = _mm_sha256msg1_epu32(w[g & 3], w[(g + 1) & 3]);
    next = _mm_add_epi32(next, _mm_alignr_epi8(w[(g + 3) & 3], w[(g + 2) & 3], 4));
    w[g & 3] = _mm_sha256msg2_epu32(next, w[(g + 3) & 3]);
  }
};

}  // namespace

void sha256_compress_shani(std::uint32_t state[8], const std::uint8_t* data, std::size_t blocks) {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  for (; blocks > 0; --blocks, data += 64) {
    Lane lane;
    lane.load(state);
    for (int g = 0; g < 4; ++g) {
      lane.schedule_load(data, g, byte_swap);
      four_rounds(lane.abef, lane.cdgh, lane.w[g], g);
    }
    for (int g = 4; g < 16; ++g) {
      lane.schedule_next(g);
      four_rounds(lane.abef, lane.cdgh, lane.w[g & 3], g);
    }
    lane.store(state);
  }
}


void sha256_compress_shani_x2(std::uint32_t state_a[8], const std::uint8_t* block_a,
                              std::uint32_t state_b[8], const std::uint8_t* block_b) {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  Lane a, b;
  a.load(state_a);
  b.load(state_b);
  for (int g = 0; g < 4; ++g) {
    a.schedule_load(block_a, g, byte_swap);
    b.schedule_load(block_b, g, byte_swap);
    four_rounds(a.abef, a.cdgh, a.w[g], g);
    four_rounds(b.abef, b.cdgh, b.w[g], g);
  }
  for (int g = 4; g < 16; ++g) {
    a.schedule_next(g);
    b.schedule_next(g);
    four_rounds(a.abef, a.cdgh, a.w[g & 3], g);
    four_rounds(b.abef, b.cdgh, b.w[g & 3], g);
  }
  a.store(state_a);
  b.store(state_b);
}

}  // namespace quillon_hash::internal
