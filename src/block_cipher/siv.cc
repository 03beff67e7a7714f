#include "block_cipher/siv.h"

#include <cstring>

#include "block_cipher/hkdf.h"
#include "keyed_hash/hmac.h"

namespace quillon::block_cipher {
namespace {

// Values per group: one per lane of the widest kernel.
constexpr std::size_t kGroup = 8;
constexpr std::size_t kB = kAesBlock;

// Doubling in GF(2^128) (RFC 5297 dbl, RFC 4493 subkeys): a one-bit left
// shift, reduced by 0x87 when the top bit falls out, without a branch.
void dbl(const std::uint8_t* in, std::uint8_t* out) {
  const std::uint8_t carry = static_cast<std::uint8_t>(0x87 & -(in[0] >> 7));
  for (std::size_t i = 0; i + 1 < kB; ++i) {
    out[i] = static_cast<std::uint8_t>(in[i] << 1 | in[i + 1] >> 7);
  }
  out[kB - 1] = static_cast<std::uint8_t>(in[kB - 1] << 1) ^ carry;
}

void xor_into(std::uint8_t* dst, const std::uint8_t* src, std::size_t n = kB) {
  for (std::size_t i = 0; i < n; ++i) dst[i] ^= src[i];
}

std::uint64_t load_be64(const std::uint8_t* p) {
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = v << 8 | p[i];
  return v;
}
void store_be64(std::uint8_t* p, std::uint64_t v) {
  for (int i = 7; i >= 0; --i, v >>= 8) p[i] = static_cast<std::uint8_t>(v);
}

// CMAC blocks of a plaintext of n bytes in S2V's last step: one when it is
// shorter than a block (the padded block), else one per started block.
std::size_t tag_blocks(std::size_t n) { return n < kB ? 1 : (n + kB - 1) / kB; }

const std::uint8_t* bytes(std::string_view s) {
  return reinterpret_cast<const std::uint8_t*>(s.data());
}

}  // namespace

SivHeader::~SivHeader() { keyed_hash::wipe(d, sizeof(d)); }

SivKey::SivKey(const std::uint8_t* key, AesKeySize half, Kernel kernel)
    : mac_(key, half, kernel), ctr_(key + static_cast<std::size_t>(half), half, kernel) {
  std::uint8_t l[kB] = {};
  mac_.encrypt_blocks(l, l, 1);
  dbl(l, k1_);
  dbl(k1_, k2_);
  keyed_hash::wipe(l, sizeof(l));
  const std::uint8_t zero[kB] = {};
  cmac(zero, kB, d0_);
}

SivKey::~SivKey() {
  keyed_hash::wipe(k1_, sizeof(k1_));
  keyed_hash::wipe(k2_, sizeof(k2_));
  keyed_hash::wipe(d0_, sizeof(d0_));
}

Result<std::unique_ptr<SivKey>, CipherError> SivKey::make(const std::uint8_t* key,
                                                          std::size_t size, Kernel kernel) {
  if (size != 32 && size != 48 && size != 64) return CipherError::BadKeyLength;
  return std::unique_ptr<SivKey>(new SivKey(key, static_cast<AesKeySize>(size / 2), kernel));
}

std::unique_ptr<SivKey> SivKey::derive(std::string_view caller_key, Kernel kernel) {
  const DerivedKey<64> key(caller_key, "quillon_mask encrypt");
  return std::unique_ptr<SivKey>(new SivKey(key.bytes, AesKeySize::Aes256, kernel));
}

void SivKey::cmac(const std::uint8_t* data, std::size_t size, std::uint8_t* tag) const {
  const std::size_t blocks = size == 0 ? 1 : (size + kB - 1) / kB;
  std::uint8_t x[kB] = {};
  for (std::size_t j = 0; j + 1 < blocks; ++j) {
    xor_into(x, data + kB * j);
    mac_.encrypt_blocks(x, x, 1);
  }
  const std::size_t last = size - kB * (blocks - 1);
  std::uint8_t block[kB] = {};
  if (last > 0) std::memcpy(block, data + kB * (blocks - 1), last);
  if (last < kB) block[last] = 0x80;
  xor_into(block, last == kB ? k1_ : k2_);
  xor_into(x, block);
  mac_.encrypt_blocks(x, tag, 1);
}

SivHeader SivKey::header(const std::string_view* components, std::size_t n) const {
  SivHeader h;
  std::memcpy(h.d, d0_, kB);
  for (std::size_t i = 0; i < n; ++i) {
    std::uint8_t mac[kB];
    cmac(bytes(components[i]), components[i].size(), mac);
    dbl(h.d, h.d);
    xor_into(h.d, mac);
  }
  return h;
}

// S2V's last component T is the plaintext with D XORed into its last 16
// bytes, or dbl(D) XOR the padded plaintext when shorter than a block; its
// CMAC chains advance together, one block of each live chain per AES call.
void SivKey::tags(const SivHeader& header, const std::uint8_t* const* plain,
                  const std::size_t* sizes, std::size_t n, std::uint8_t (*v)[kB]) const {
  std::uint8_t dbl_d[kB];
  dbl(header.d, dbl_d);
  std::size_t longest = 0;
  for (std::size_t l = 0; l < n; ++l) {
    std::memset(v[l], 0, kB);
    if (tag_blocks(sizes[l]) > longest) longest = tag_blocks(sizes[l]);
  }
  alignas(16) std::uint8_t buf[kGroup][kB];
  std::size_t lane_of[kGroup];
  for (std::size_t j = 0; j < longest; ++j) {
    std::size_t k = 0;
    for (std::size_t l = 0; l < n; ++l) {
      const std::size_t size = sizes[l], blocks = tag_blocks(size);
      if (j >= blocks) continue;
      std::uint8_t* out = buf[k];
      std::memset(out, 0, kB);
      if (size < kB) {
        if (size > 0) std::memcpy(out, plain[l], size);
        out[size] = 0x80;
        xor_into(out, dbl_d);
        xor_into(out, k1_);
      } else {
        const std::size_t lo = kB * j, take = size - lo < kB ? size - lo : kB;
        std::memcpy(out, plain[l] + lo, take);
        if (take < kB) out[take] = 0x80;
        const std::size_t end_lo = size - kB;  // where D starts
        for (std::size_t pos = lo > end_lo ? lo : end_lo; pos < lo + take; ++pos) {
          out[pos - lo] ^= header.d[pos - end_lo];
        }
        if (j + 1 == blocks) xor_into(out, take == kB ? k1_ : k2_);
      }
      xor_into(out, v[l]);
      lane_of[k++] = l;
    }
    mac_.encrypt_blocks(buf[0], buf[0], k);
    for (std::size_t t = 0; t < k; ++t) std::memcpy(v[lane_of[t]], buf[t], kB);
  }
  keyed_hash::wipe(buf, sizeof(buf));
}

// Counter blocks of all values go through the cipher eight at a time. The
// counter is V with the top bits of its last two 32-bit words cleared
// (RFC 5297 2.5), incremented as a
// 128-bit big-endian number.
void SivKey::ctr(const std::uint8_t (*v)[kB], const std::uint8_t* const* in,
                 std::uint8_t* const* out, const std::size_t* sizes, std::size_t n) const {
  alignas(16) std::uint8_t ks[kGroup][kB];
  std::size_t lane_of[kGroup], offset_of[kGroup];
  std::size_t k = 0;
  auto flush = [&] {
    ctr_.encrypt_blocks(ks[0], ks[0], k);
    for (std::size_t t = 0; t < k; ++t) {
      const std::size_t l = lane_of[t], off = offset_of[t];
      const std::size_t take = sizes[l] - off < kB ? sizes[l] - off : kB;
      for (std::size_t i = 0; i < take; ++i) out[l][off + i] = in[l][off + i] ^ ks[t][i];
    }
    k = 0;
  };
  for (std::size_t l = 0; l < n; ++l) {
    const std::uint64_t hi = load_be64(v[l]);
    const std::uint64_t lo = load_be64(v[l] + 8) & ~(std::uint64_t{1} << 63 | std::uint64_t{1} << 31);
    for (std::size_t off = 0, j = 0; off < sizes[l]; off += kB, ++j) {
      const std::uint64_t low = lo + j;
      store_be64(ks[k], hi + (low < lo ? 1 : 0));
      store_be64(ks[k] + 8, low);
      lane_of[k] = l;
      offset_of[k] = off;
      if (++k == kGroup) flush();
    }
  }
  if (k > 0) flush();
  keyed_hash::wipe(ks, sizeof(ks));
}

void SivKey::seal_many(const SivHeader& header, const std::string_view* plaintexts,
                       std::size_t n, std::uint8_t* const* outs) const {
  for (std::size_t at = 0; at < n; at += kGroup) {
    const std::size_t m = n - at < kGroup ? n - at : kGroup;
    std::uint8_t* body[kGroup];
    std::size_t sizes[kGroup];
    for (std::size_t l = 0; l < m; ++l) {
      body[l] = outs[at + l] + kSivTag;
      sizes[l] = plaintexts[at + l].size();
      if (sizes[l] > 0) std::memcpy(body[l], plaintexts[at + l].data(), sizes[l]);
    }
    std::uint8_t v[kGroup][kB];
    tags(header, body, sizes, m, v);
    ctr(v, body, body, sizes, m);
    for (std::size_t l = 0; l < m; ++l) std::memcpy(outs[at + l], v[l], kB);
  }
}

Result<Done, BatchError> SivKey::open_many(const SivHeader& header,
                                           const std::string_view* ciphertexts, std::size_t n,
                                           std::uint8_t* const* outs) const {
  auto fail = [&](std::size_t index, std::size_t written) {
    for (std::size_t i = 0; i < written; ++i) {
      if (ciphertexts[i].size() > kSivTag) std::memset(outs[i], 0, ciphertexts[i].size() - kSivTag);
    }
    return BatchError{CipherError::NotAuthentic, index};
  };
  for (std::size_t at = 0; at < n; at += kGroup) {
    const std::size_t m = n - at < kGroup ? n - at : kGroup;
    std::uint8_t v[kGroup][kB], check[kGroup][kB];
    const std::uint8_t* body[kGroup];
    std::size_t sizes[kGroup];
    for (std::size_t l = 0; l < m; ++l) {
      const std::string_view c = ciphertexts[at + l];
      if (c.size() < kSivTag) return fail(at + l, at);
      std::memcpy(v[l], c.data(), kB);
      body[l] = bytes(c) + kSivTag;
      sizes[l] = c.size() - kSivTag;
    }
    ctr(v, body, outs + at, sizes, m);
    tags(header, outs + at, sizes, m, check);
    for (std::size_t l = 0; l < m; ++l) {
      std::uint8_t diff = 0;
      for (std::size_t i = 0; i < kB; ++i) diff |= static_cast<std::uint8_t>(v[l][i] ^ check[l][i]);
      if (diff != 0) return fail(at + l, at + m);
    }
  }
  return Done{};
}

}  // namespace quillon::block_cipher
