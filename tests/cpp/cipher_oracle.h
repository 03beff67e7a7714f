// The cipher tests' and benchmarks' oracle, independent of block_cipher:
// OpenSSL's AES-ECB, AES-SIV (EVP "AES-256-SIV" and friends, OpenSSL 3) and
// HKDF, and an FF1 written straight from NIST SP 800-38G's pseudocode over
// OpenSSL's AES and BIGNUM arithmetic, one value at a time.
#pragma once

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/core_names.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quillon::block_cipher::oracle {

using Bytes = std::vector<std::uint8_t>;

inline Bytes from_hex(const std::string& hex) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

// OpenSSL's base64 with the URL-safe alphabet swapped in and the padding
// dropped (RFC 4648 section 5).
inline std::string base64url(const Bytes& b) {
  std::string out(4 * ((b.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), b.data(),
                                static_cast<int>(b.size()));
  out.resize(static_cast<std::size_t>(n));
  while (!out.empty() && out.back() == '=') out.pop_back();
  for (char& c : out) c = c == '+' ? '-' : c == '/' ? '_' : c;
  return out;
}

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;
struct CipherFree {
  void operator()(EVP_CIPHER* c) const { EVP_CIPHER_free(c); }
};
using Cipher = std::unique_ptr<EVP_CIPHER, CipherFree>;
struct BnFree {
  void operator()(BIGNUM* b) const { BN_free(b); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;
struct BnCtxFree {
  void operator()(BN_CTX* c) const { BN_CTX_free(c); }
};

inline const EVP_CIPHER* ecb_for(std::size_t key_size) {
  return key_size == 16 ? EVP_aes_128_ecb() : key_size == 24 ? EVP_aes_192_ecb() : EVP_aes_256_ecb();
}

// AES-ECB without padding over whole blocks.
inline Bytes aes_ecb(const Bytes& key, const Bytes& in) {
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  Bytes out(in.size() + 16);
  int n = 0, m = 0;
  EVP_EncryptInit_ex(ctx.get(), ecb_for(key.size()), nullptr, key.data(), nullptr);
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  EVP_EncryptUpdate(ctx.get(), out.data(), &n, in.data(), static_cast<int>(in.size()));
  EVP_EncryptFinal_ex(ctx.get(), out.data() + n, &m);
  out.resize(static_cast<std::size_t>(n + m));
  return out;
}

// AES-SIV (RFC 5297) by OpenSSL: key of 32, 48 or 64 bytes, each associated
// data component passed as its own AAD update, then the plaintext; returns
// V || C.
class Siv {
 public:
  explicit Siv(const Bytes& key)
      : cipher_(EVP_CIPHER_fetch(nullptr,
                                 key.size() == 32   ? "AES-128-SIV"
                                 : key.size() == 48 ? "AES-192-SIV"
                                                    : "AES-256-SIV",
                                 nullptr)),
        key_(key) {}
  bool ok() const { return cipher_ != nullptr; }

  Bytes seal(const std::vector<Bytes>& ad, const Bytes& plain) const {
    if (plain.empty()) return seal_empty(ad);
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    EVP_EncryptInit_ex2(ctx.get(), cipher_.get(), key_.data(), nullptr, nullptr);
    int n = 0;
    for (const Bytes& a : ad) {
      EVP_EncryptUpdate(ctx.get(), nullptr, &n, a.data(), static_cast<int>(a.size()));
    }
    Bytes out(16 + plain.size());
    EVP_EncryptUpdate(ctx.get(), out.data() + 16, &n, plain.data(),
                      static_cast<int>(plain.size()));
    EVP_EncryptFinal_ex(ctx.get(), out.data() + 16, &n);
    EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, 16, out.data());
    return out;
  }

 private:
  // OpenSSL's SIV skips an empty plaintext and leaves a zero tag, so that
  // case follows RFC 5297 2.4 over OpenSSL's CMAC: V = CMAC(dbl(D) xor
  // 10^127), D the S2V value after the associated data.
  Bytes seal_empty(const std::vector<Bytes>& ad) const {
    auto dbl = [](Bytes d) {
      const std::uint8_t carry = d[0] >> 7;
      for (std::size_t i = 0; i < 15; ++i) d[i] = static_cast<std::uint8_t>(d[i] << 1 | d[i + 1] >> 7);
      d[15] = static_cast<std::uint8_t>(d[15] << 1) ^ (carry ? 0x87 : 0);
      return d;
    };
    Bytes d = cmac(Bytes(16, 0));
    for (const Bytes& a : ad) {
      d = dbl(d);
      const Bytes m = cmac(a);
      for (int i = 0; i < 16; ++i) d[i] ^= m[i];
    }
    d = dbl(d);
    d[0] ^= 0x80;
    return cmac(d);
  }
  Bytes cmac(const Bytes& data) const {
    std::unique_ptr<EVP_MAC, void (*)(EVP_MAC*)> mac(EVP_MAC_fetch(nullptr, "CMAC", nullptr),
                                                     EVP_MAC_free);
    std::unique_ptr<EVP_MAC_CTX, void (*)(EVP_MAC_CTX*)> ctx(EVP_MAC_CTX_new(mac.get()),
                                                             EVP_MAC_CTX_free);
    std::string name = key_.size() == 32 ? "AES-128-CBC" : key_.size() == 48 ? "AES-192-CBC" : "AES-256-CBC";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string("cipher", name.data(), 0), OSSL_PARAM_construct_end()};
    EVP_MAC_init(ctx.get(), key_.data(), key_.size() / 2, params);
    EVP_MAC_update(ctx.get(), data.data(), data.size());
    Bytes out(16);
    std::size_t n = 0;
    EVP_MAC_final(ctx.get(), out.data(), &n, out.size());
    return out;
  }

  Cipher cipher_;
  Bytes key_;
};

// HKDF-SHA-256 by OpenSSL (RFC 5869), salt empty when absent.
inline Bytes hkdf_sha256(const Bytes& ikm, const Bytes& salt, const Bytes& info, std::size_t n) {
  std::unique_ptr<EVP_PKEY_CTX, void (*)(EVP_PKEY_CTX*)> ctx(
      EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr), EVP_PKEY_CTX_free);
  static const std::uint8_t kNone[1] = {0};
  Bytes out(n);
  EVP_PKEY_derive_init(ctx.get());
  EVP_PKEY_CTX_set_hkdf_md(ctx.get(), EVP_sha256());
  EVP_PKEY_CTX_set1_hkdf_salt(ctx.get(), salt.empty() ? kNone : salt.data(),
                              static_cast<int>(salt.size()));
  EVP_PKEY_CTX_set1_hkdf_key(ctx.get(), ikm.empty() ? kNone : ikm.data(),
                             static_cast<int>(ikm.size()));
  EVP_PKEY_CTX_add1_hkdf_info(ctx.get(), info.empty() ? kNone : info.data(),
                              static_cast<int>(info.size()));
  std::size_t len = n;
  EVP_PKEY_derive(ctx.get(), out.data(), &len);
  return out;
}

// FF1 (NIST SP 800-38G Rev. 1, algorithms 7 and 8) step by step: NUM, STR
// and the modular sum through BIGNUM, PRF as CBC-MAC over AES-ECB.
class Ff1 {
 public:
  Ff1(const Bytes& key, std::uint32_t radix) : key_(key), radix_(radix) {
    ctx_.reset(EVP_CIPHER_CTX_new());
    EVP_EncryptInit_ex(ctx_.get(), ecb_for(key.size()), nullptr, key.data(), nullptr);
    EVP_CIPHER_CTX_set_padding(ctx_.get(), 0);
  }

  std::vector<std::uint32_t> run(const std::vector<std::uint32_t>& x, const Bytes& tweak,
                                 bool encrypt) {
    std::unique_ptr<BN_CTX, BnCtxFree> bn_ctx(BN_CTX_new());
    const std::size_t n = x.size(), u = n / 2, v = n - u, t = tweak.size();
    std::vector<std::uint32_t> a(x.begin(), x.begin() + static_cast<long>(u));
    std::vector<std::uint32_t> b(x.begin() + static_cast<long>(u), x.end());
    // b = ceil(ceil(v * log2(radix)) / 8): the bytes of radix^v - 1.
    Bn limit = power(v);
    BN_sub_word(limit.get(), 1);
    const std::size_t bb = static_cast<std::size_t>(BN_num_bytes(limit.get()));
    const std::size_t d = 4 * ((bb + 3) / 4) + 4;
    Bytes p = {1, 2, 1, static_cast<std::uint8_t>(radix_ >> 16),
               static_cast<std::uint8_t>(radix_ >> 8), static_cast<std::uint8_t>(radix_), 10,
               static_cast<std::uint8_t>(u % 256)};
    for (int s = 24; s >= 0; s -= 8) p.push_back(static_cast<std::uint8_t>(n >> s));
    for (int s = 24; s >= 0; s -= 8) p.push_back(static_cast<std::uint8_t>(t >> s));
    for (int step = 0; step < 10; ++step) {
      const int i = encrypt ? step : 9 - step;
      const auto& src = encrypt ? b : a;
      // Q = T || 0^((-t-b-1) mod 16) || [i] || [NUM(src)]^b
      Bytes q(tweak);
      q.resize(t + (16 - (t + bb + 1) % 16) % 16, 0);
      q.push_back(static_cast<std::uint8_t>(i));
      Bytes num(bb);
      BN_bn2binpad(num_radix(src).get(), num.data(), static_cast<int>(bb));
      q.insert(q.end(), num.begin(), num.end());
      Bytes pq(p);
      pq.insert(pq.end(), q.begin(), q.end());
      Bytes r(16, 0);
      for (std::size_t off = 0; off < pq.size(); off += 16) {
        for (int k = 0; k < 16; ++k) r[k] ^= pq[off + k];
        r = block(r);
      }
      Bytes s(r);
      for (std::size_t j = 1; s.size() < d; ++j) {
        Bytes rj(r);
        for (int k = 0; k < 8; ++k) rj[15 - k] ^= static_cast<std::uint8_t>(j >> (8 * k));
        const Bytes e = block(rj);
        s.insert(s.end(), e.begin(), e.end());
      }
      Bn y(BN_bin2bn(s.data(), static_cast<int>(d), nullptr));
      const std::size_t m = i % 2 == 0 ? u : v;
      Bn modulus = power(m);
      Bn c(BN_new());
      if (encrypt) {
        BN_add(c.get(), num_radix(a).get(), y.get());
      } else {
        BN_sub(c.get(), num_radix(b).get(), y.get());
      }
      BN_nnmod(c.get(), c.get(), modulus.get(), bn_ctx.get());
      std::vector<std::uint32_t> cs = str_radix(c.get(), m);
      if (encrypt) {
        a = b;
        b = cs;
      } else {
        b = a;
        a = cs;
      }
    }
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }

 private:
  Bytes block(const Bytes& in) {
    Bytes out(16);
    int n = 0;
    EVP_EncryptUpdate(ctx_.get(), out.data(), &n, in.data(), 16);
    return out;
  }
  Bn power(std::size_t e) const {
    Bn r(BN_new());
    BN_one(r.get());
    for (std::size_t k = 0; k < e; ++k) BN_mul_word(r.get(), radix_);
    return r;
  }
  Bn num_radix(const std::vector<std::uint32_t>& x) const {
    Bn r(BN_new());
    BN_zero(r.get());
    for (std::uint32_t digit : x) {
      BN_mul_word(r.get(), radix_);
      BN_add_word(r.get(), digit);
    }
    return r;
  }
  std::vector<std::uint32_t> str_radix(const BIGNUM* x, std::size_t m) const {
    Bn r(BN_dup(x));
    std::vector<std::uint32_t> out(m);
    for (std::size_t k = m; k-- > 0;) out[k] = static_cast<std::uint32_t>(BN_div_word(r.get(), radix_));
    return out;
  }

  Bytes key_;
  std::uint32_t radix_;
  CipherCtx ctx_;
};

}  // namespace quillon::block_cipher::oracle
