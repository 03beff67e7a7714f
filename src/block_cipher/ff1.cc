#include "block_cipher/ff1.h"

#include <cstring>

#include "block_cipher/hkdf.h"
#include "keyed_hash/hmac.h"

namespace quillon::block_cipher {
namespace {

constexpr std::size_t kB = kAesBlock;
// The longer half of the longest value, and the most bytes NUM of it and y
// take: b <= 2 bytes per numeral of radix 2^16, d = 4 ceil(b / 4) + 4.
constexpr std::size_t kMaxHalf = kFf1MaxLength - kFf1MaxLength / 2;
constexpr std::size_t kMaxNumBytes = 2 * kMaxHalf;
constexpr std::size_t kMaxD = 4 * ((kMaxNumBytes + 3) / 4) + 4;
constexpr std::size_t kLimbs = (kMaxD + 3) / 4;
// Q after the whole tweak blocks: the tweak's last partial block, zeros,
// the round number and NUM, in whole blocks.
constexpr std::size_t kMaxTail = (15 + 15 + 1 + kMaxNumBytes + 15) / 16 * 16;

// An unsigned number in 32-bit limbs, least significant first.
struct Big {
  std::uint32_t limb[kLimbs];
  std::size_t size = 0;

  // this = this * mul + add
  void mul_add(std::uint32_t mul, std::uint32_t add) {
    std::uint64_t carry = add;
    for (std::size_t i = 0; i < size; ++i) {
      const std::uint64_t t = std::uint64_t{limb[i]} * mul + carry;
      limb[i] = static_cast<std::uint32_t>(t);
      carry = t >> 32;
    }
    if (carry != 0) limb[size++] = static_cast<std::uint32_t>(carry);
  }
  // this = this / d; returns this % d.
  std::uint32_t div_small(std::uint32_t d) {
    std::uint64_t rem = 0;
    for (std::size_t i = size; i-- > 0;) {
      const std::uint64_t cur = rem << 32 | limb[i];
      limb[i] = static_cast<std::uint32_t>(cur / d);
      rem = cur % d;
    }
    while (size > 0 && limb[size - 1] == 0) --size;
    return static_cast<std::uint32_t>(rem);
  }
  // The low n bytes, big-endian.
  void to_bytes(std::uint8_t* out, std::size_t n) const {
    for (std::size_t i = 0; i < n; ++i) {
      out[n - 1 - i] = i / 4 < size ? static_cast<std::uint8_t>(limb[i / 4] >> (8 * (i % 4))) : 0;
    }
  }
  void from_bytes(const std::uint8_t* in, std::size_t n) {
    size = (n + 3) / 4;
    std::memset(limb, 0, size * sizeof(limb[0]));
    for (std::size_t i = 0; i < n; ++i) limb[i / 4] |= std::uint32_t{in[n - 1 - i]} << (8 * (i % 4));
  }
  // this = this - 1, for this >= 1.
  void decrement() {
    for (std::size_t i = 0; i < size && limb[i]-- == 0; ++i) {
    }
  }
  std::size_t byte_length() const {
    std::size_t top = size;
    while (top > 0 && limb[top - 1] == 0) --top;
    if (top == 0) return 0;
    std::size_t bytes = 4 * (top - 1);
    for (std::uint32_t x = limb[top - 1]; x != 0; x >>= 8) ++bytes;
    return bytes;
  }
};

// Numerals taken k at a time: radix^k is the largest power that fits 32
// bits, so one limb operation handles k numerals.
struct Chunk {
  std::size_t k = 0;
  std::uint32_t power = 1;
  std::uint32_t radix;
  // ceil(2^64 / radix): x / radix is the high half of x * inverse for every
  // 32-bit x (Lemire, Kaser and Kurz, "Faster remainder by direct
  // computation"), a multiplication where a division would take tens of
  // cycles per digit.
  std::uint64_t inverse;
  explicit Chunk(std::uint32_t r) : radix(r), inverse(~std::uint64_t{0} / r + 1) {
    while (std::uint64_t{power} * radix <= 0xffffffffu) {
      power *= radix;
      ++k;
    }
  }
  std::uint32_t divide(std::uint32_t x) const {
    return static_cast<std::uint32_t>((static_cast<unsigned __int128>(inverse) * x) >> 64);
  }
};

// NUM_radix(x): the numerals as a number, most significant first.
void num_radix(const std::uint32_t* x, std::size_t n, std::uint32_t radix, const Chunk& chunk,
               Big& out) {
  out.size = 0;
  std::uint32_t acc = 0, power = 1;
  std::size_t count = 0;
  for (std::size_t i = 0; i < n; ++i) {
    acc = acc * radix + x[i];
    power *= radix;
    if (++count == chunk.k) {
      out.mul_add(power, acc);
      acc = 0, power = 1, count = 0;
    }
  }
  if (count > 0) out.mul_add(power, acc);
}

// The low m base-radix digits of y, most significant first: STR^m_radix of
// y mod radix^m. Consumes y.
void low_digits(Big& y, std::size_t m, const Chunk& chunk, std::uint32_t* digits) {
  for (std::size_t filled = 0; filled < m;) {
    std::uint32_t r = y.div_small(chunk.power);
    for (std::size_t t = 0; t < chunk.k && filled < m; ++t, ++filled) {
      const std::uint32_t q = chunk.divide(r);
      digits[m - 1 - filled] = r - q * chunk.radix;
      r = q;
    }
  }
}

}  // namespace

CipherResult<Done> ff1_check_domain(std::uint32_t radix, std::size_t n) {
  if (radix < 2 || radix > kFf1MaxRadix || n < 2 || n > kFf1MaxLength) {
    return CipherError::OutsideDomain;
  }
  std::uint64_t values = 1;
  for (std::size_t i = 0; i < n && values < kFf1MinDomain; ++i) values *= radix;
  if (values < kFf1MinDomain) return CipherError::OutsideDomain;
  return Done{};
}

std::unique_ptr<Ff1Key> Ff1Key::make(const std::uint8_t* key, AesKeySize size, Kernel kernel) {
  return std::unique_ptr<Ff1Key>(new Ff1Key(key, size, kernel));
}

std::unique_ptr<Ff1Key> Ff1Key::derive(std::string_view caller_key, Kernel kernel) {
  const DerivedKey<32> key(caller_key, "quillon_mask fpe");
  return std::unique_ptr<Ff1Key>(new Ff1Key(key.bytes, AesKeySize::Aes256, kernel));
}

// Algorithms 7 and 8 of SP 800-38G. A holds the half that is replaced next
// by the sum (encryption) or the half whose NUM goes into Q (decryption);
// the three numeral buffers rotate instead of being copied.
template <typename Numeral>
CipherResult<Done> Ff1Key::run(bool encrypt, std::uint32_t radix, std::string_view tweak, const Numeral* in,
                   Numeral* out, std::size_t n) const {
  if (auto ok = ff1_check_domain(radix, n); !ok.ok()) return ok;
  if (tweak.size() > 0xffffffffu) return CipherError::OutsideDomain;
  for (std::size_t i = 0; i < n; ++i) {
    if (in[i] >= radix) return CipherError::BadNumeral;
  }
  const std::size_t u = n / 2, v = n - u, t = tweak.size();
  std::uint32_t buffers[3][kMaxHalf];
  std::uint32_t *a = buffers[0], *b = buffers[1], *c = buffers[2];
  for (std::size_t i = 0; i < u; ++i) a[i] = in[i];
  for (std::size_t i = 0; i < v; ++i) b[i] = in[u + i];
  const Chunk chunk(radix);

  // b: the bytes of the largest NUM of v numerals, radix^v - 1.
  Big big;
  big.size = 1;
  big.limb[0] = 1;
  for (std::size_t i = 0; i < v; ++i) big.mul_add(radix, 0);
  big.decrement();
  const std::size_t num_bytes = big.byte_length();
  const std::size_t d = 4 * ((num_bytes + 3) / 4) + 4;

  // PRF(P || Q) is CBC-MAC; P and the tweak's whole blocks are the same in
  // every round, so their chaining value is computed once.
  alignas(16) std::uint8_t base[kB] = {1, 2, 1};
  base[3] = static_cast<std::uint8_t>(radix >> 16);
  base[4] = static_cast<std::uint8_t>(radix >> 8);
  base[5] = static_cast<std::uint8_t>(radix);
  base[6] = 10;
  base[7] = static_cast<std::uint8_t>(u % 256);
  for (int k = 0; k < 4; ++k) {
    base[8 + k] = static_cast<std::uint8_t>(n >> (24 - 8 * k));
    base[12 + k] = static_cast<std::uint8_t>(t >> (24 - 8 * k));
  }
  aes_.encrypt_blocks(base, base, 1);
  const auto* tw = reinterpret_cast<const std::uint8_t*>(tweak.data());
  const std::size_t whole = t / kB * kB;
  for (std::size_t off = 0; off < whole; off += kB) {
    for (std::size_t k = 0; k < kB; ++k) base[k] ^= tw[off + k];
    aes_.encrypt_blocks(base, base, 1);
  }
  const std::size_t pad = (kB - (t + num_bytes + 1) % kB) % kB;
  const std::size_t tail_size = t - whole + pad + 1 + num_bytes;

  alignas(16) std::uint8_t tail[kMaxTail];
  alignas(16) std::uint8_t s[(kMaxD + kB - 1) / kB * kB];
  std::uint32_t y_digits[kMaxHalf];
  for (std::size_t step = 0; step < 10; ++step) {
    const std::size_t i = encrypt ? step : 9 - step;
    const std::size_t m = i % 2 == 0 ? u : v;
    // Q's tail: T's last partial block, zeros, [i], [NUM(src)]^b.
    const std::uint32_t* src = encrypt ? b : a;
    std::memset(tail, 0, tail_size);
    if (t > whole) std::memcpy(tail, tw + whole, t - whole);
    tail[tail_size - num_bytes - 1] = static_cast<std::uint8_t>(i);
    num_radix(src, n - m, radix, chunk, big);
    big.to_bytes(tail + tail_size - num_bytes, num_bytes);
    std::memcpy(s, base, kB);
    for (std::size_t off = 0; off < tail_size; off += kB) {
      for (std::size_t k = 0; k < kB; ++k) s[k] ^= tail[off + k];
      aes_.encrypt_blocks(s, s, 1);
    }
    // S = R || CIPH(R xor [1]) || ...: the extra blocks are independent.
    const std::size_t extra = (d + kB - 1) / kB - 1;
    for (std::size_t j = 1; j <= extra; ++j) {
      std::memcpy(s + kB * j, s, kB);
      for (std::size_t k = 0; k < 8; ++k) s[kB * j + 15 - k] ^= static_cast<std::uint8_t>(j >> (8 * k));
    }
    if (extra > 0) aes_.encrypt_blocks(s + kB, s + kB, extra);
    big.from_bytes(s, d);
    low_digits(big, m, chunk, y_digits);
    if (encrypt) {
      // C = A + y mod radix^m, digit by digit from the least significant.
      std::uint32_t carry = 0;
      for (std::size_t k = m; k-- > 0;) {
        const std::uint32_t sum = a[k] + y_digits[k] + carry;
        carry = sum >= radix;
        c[k] = sum - carry * radix;
      }
      std::uint32_t* spent = a;
      a = b, b = c, c = spent;
    } else {
      // C = B - y mod radix^m.
      std::uint32_t borrow = 0;
      for (std::size_t k = m; k-- > 0;) {
        const std::uint32_t sub = y_digits[k] + borrow;
        borrow = b[k] < sub;
        c[k] = b[k] + borrow * radix - sub;
      }
      std::uint32_t* spent = b;
      b = a, a = c, c = spent;
    }
  }
  for (std::size_t i = 0; i < u; ++i) out[i] = static_cast<Numeral>(a[i]);
  for (std::size_t i = 0; i < v; ++i) out[u + i] = static_cast<Numeral>(b[i]);
  keyed_hash::wipe(buffers, sizeof(buffers));
  return Done{};
}

CipherResult<Done> Ff1Key::encrypt(std::uint32_t radix, std::string_view tweak, const std::uint16_t* in,
                       std::uint16_t* out, std::size_t n) const {
  return run(true, radix, tweak, in, out, n);
}
CipherResult<Done> Ff1Key::encrypt(std::uint32_t radix, std::string_view tweak, const std::uint32_t* in,
                       std::uint32_t* out, std::size_t n) const {
  return run(true, radix, tweak, in, out, n);
}
CipherResult<Done> Ff1Key::decrypt(std::uint32_t radix, std::string_view tweak, const std::uint16_t* in,
                       std::uint16_t* out, std::size_t n) const {
  return run(false, radix, tweak, in, out, n);
}
CipherResult<Done> Ff1Key::decrypt(std::uint32_t radix, std::string_view tweak, const std::uint32_t* in,
                       std::uint32_t* out, std::size_t n) const {
  return run(false, radix, tweak, in, out, n);
}

}  // namespace quillon::block_cipher
