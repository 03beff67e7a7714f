// The portable AES: the S-box computed as the inverse in GF(2^8) followed by
// the affine map, eight bytes to a 64-bit word, so no memory access and no
// branch depends on key or data. Slow next to AES-NI (tens of word
// multiplications per round), and only serves where that is absent.
#include <cstring>

#include "block_cipher/aes_internal.h"

namespace quillon::block_cipher::internal {
namespace {

constexpr std::uint64_t kLow7 = 0x7f7f7f7f7f7f7f7fULL;
constexpr std::uint64_t kOnes = 0x0101010101010101ULL;

// Multiplication by x in every byte: shift, and reduce by the AES
// polynomial where the top bit fell out.
inline std::uint64_t xtime(std::uint64_t a) {
  return ((a & kLow7) << 1) ^ (((a >> 7) & kOnes) * 0x1b);
}

// Bytewise product in GF(2^8): eight masked shift-and-add steps, the masks
// made from b's bits by multiplication instead of a branch.
inline std::uint64_t gf_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r = 0;
  for (int i = 0; i < 8; ++i) {
    r ^= a & (((b >> i) & kOnes) * 0xff);
    a = xtime(a);
  }
  return r;
}

// The byte product in GF(2^8) at compile time, for the constants below.
constexpr std::uint8_t gf_mul_byte(std::uint8_t a, std::uint8_t b) {
  std::uint8_t r = 0;
  for (int i = 0; i < 8; ++i, a = static_cast<std::uint8_t>((a << 1) ^ ((a >> 7) * 0x1b))) {
    if ((b >> i) & 1) r ^= a;
  }
  return r;
}

// Raising to 2^k is linear over GF(2) (Frobenius), so a^(2^k) is the XOR of
// the images of a's set bits: images[i] = (x^i)^(2^k). A fixed sum of
// masked constants, cheaper than a product.
struct Frobenius {
  std::uint8_t images[8];
  explicit constexpr Frobenius(int k) : images() {
    for (int i = 0; i < 8; ++i) {
      std::uint8_t v = static_cast<std::uint8_t>(1u << i);
      for (int j = 0; j < k; ++j) v = gf_mul_byte(v, v);
      images[i] = v;
    }
  }
  std::uint64_t operator()(std::uint64_t a) const {
    std::uint64_t r = 0;
    for (int i = 0; i < 8; ++i) r ^= ((a >> i) & kOnes) * images[i];
    return r;
  }
};
constexpr Frobenius kSquare(1), kFourth(2);

// a^254 (the inverse, with 0 going to 0) as (a^127)^2 by Itoh-Tsujii:
// a^(2^m - 1) from shorter runs of ones, four products and five Frobenius
// maps.
inline std::uint64_t gf_inverse(std::uint64_t a) {
  const std::uint64_t a3 = gf_mul(kSquare(a), a);        // 2^2 - 1
  const std::uint64_t a15 = gf_mul(kFourth(a3), a3);     // 2^4 - 1
  const std::uint64_t a63 = gf_mul(kFourth(a15), a3);    // 2^6 - 1
  const std::uint64_t a127 = gf_mul(kSquare(a63), a);    // 2^7 - 1
  return kSquare(a127);
}

// Left rotation by k of every byte.
inline std::uint64_t rotl_bytes(std::uint64_t a, int k) {
  const std::uint64_t high = kOnes * ((0xffu << k) & 0xffu);
  return ((a << k) & high) | ((a >> (8 - k)) & ~high);
}

inline std::uint64_t sub_bytes(std::uint64_t a) {
  const std::uint64_t b = gf_inverse(a);
  return b ^ rotl_bytes(b, 1) ^ rotl_bytes(b, 2) ^ rotl_bytes(b, 3) ^ rotl_bytes(b, 4) ^
         (kOnes * 0x63);
}

// Rotations inside each 32-bit column of a word: byte i takes byte i + k/8.
inline std::uint64_t column_rotr8(std::uint64_t x) {
  return ((x >> 8) & 0x00ffffff00ffffffULL) | ((x << 24) & 0xff000000ff000000ULL);
}
inline std::uint64_t column_rotr16(std::uint64_t x) {
  return ((x >> 16) & 0x0000ffff0000ffffULL) | ((x << 16) & 0xffff0000ffff0000ULL);
}

// b_i = 2 a_i ^ 3 a_(i+1) ^ a_(i+2) ^ a_(i+3) for the two columns of a word.
inline std::uint64_t mix_columns(std::uint64_t x) {
  const std::uint64_t y = column_rotr8(x);
  const std::uint64_t z = column_rotr16(x);
  return xtime(x ^ y) ^ y ^ z ^ column_rotr8(z);
}

inline std::uint64_t load64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// State byte r + 4c is row r of column c; ShiftRows moves row r left by r
// columns. Words are little-endian, byte i at bits 8i.
constexpr int kShiftRows[16] = {0, 5, 10, 15, 4, 9, 14, 3, 8, 13, 2, 7, 12, 1, 6, 11};

inline void shift_rows(std::uint64_t& w0, std::uint64_t& w1) {
  std::uint8_t in[16], out[16];
  std::memcpy(in, &w0, 8);
  std::memcpy(in + 8, &w1, 8);
  for (int i = 0; i < 16; ++i) out[i] = in[kShiftRows[i]];
  std::memcpy(&w0, out, 8);
  std::memcpy(&w1, out + 8, 8);
}

}  // namespace

void expand_key(const std::uint8_t* key, int nk, std::uint8_t* round_keys) {
  const int words = 4 * (nk + 7);
  std::memcpy(round_keys, key, 4 * static_cast<std::size_t>(nk));
  std::uint8_t rcon = 1;
  for (int i = nk; i < words; ++i) {
    std::uint8_t t[4];
    std::memcpy(t, round_keys + 4 * (i - 1), 4);
    if (i % nk == 0 || (nk > 6 && i % nk == 4)) {
      std::uint32_t w;
      std::memcpy(&w, t, 4);
      // RotWord only at the start of a key-length group; SubWord for both.
      if (i % nk == 0) w = (w >> 8) | (w << 24);
      w = static_cast<std::uint32_t>(sub_bytes(w));
      std::memcpy(t, &w, 4);
      if (i % nk == 0) {
        t[0] ^= rcon;
        rcon = static_cast<std::uint8_t>((rcon << 1) ^ ((rcon >> 7) * 0x1b));
      }
    }
    for (int j = 0; j < 4; ++j) round_keys[4 * i + j] = round_keys[4 * (i - nk) + j] ^ t[j];
  }
}

void portable_encrypt(const std::uint8_t* round_keys, int rounds, const std::uint8_t* in,
                      std::uint8_t* out, std::size_t n) {
  for (std::size_t b = 0; b < n; ++b, in += 16, out += 16) {
    std::uint64_t w0 = load64(in) ^ load64(round_keys);
    std::uint64_t w1 = load64(in + 8) ^ load64(round_keys + 8);
    for (int r = 1; r <= rounds; ++r) {
      w0 = sub_bytes(w0);
      w1 = sub_bytes(w1);
      shift_rows(w0, w1);
      if (r != rounds) {
        w0 = mix_columns(w0);
        w1 = mix_columns(w1);
      }
      w0 ^= load64(round_keys + 16 * r);
      w1 ^= load64(round_keys + 16 * r + 8);
    }
    std::memcpy(out, &w0, 8);
    std::memcpy(out + 8, &w1, 8);
  }
}

}  // namespace quillon::block_cipher::internal
