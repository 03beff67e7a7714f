// AES-SIV (RFC 5297): deterministic authenticated encryption, the encrypt
// transform's cipher. The same key, associated data and plaintext always
// give the same ciphertext, so a column encrypts alike on every run; a
// ciphertext that was changed, or is opened under another key or other
// associated data, does not authenticate and yields no plaintext.
//
// A ciphertext is the 16-byte synthetic IV V followed by the plaintext
// XORed with AES-CTR under V: 16 bytes longer than the plaintext.
//
// The associated data is the same for every value of a call (the column's
// context), so its part of S2V is computed once (SivHeader); per value
// remain the CMAC chain over the plaintext and the CTR blocks. Batches run
// eight values at a time, their CMAC chains interleaved and their CTR blocks
// encrypted together, so the AES-NI kernel keeps eight blocks in flight.
//
// Objects are immutable after construction and may serve several threads at
// once; keys and subkeys are wiped when they die.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "block_cipher/aes.h"
#include "block_cipher/error.h"

namespace quillon::block_cipher {

inline constexpr std::size_t kSivTag = 16;

// S2V's running value after the associated-data components, for one key.
struct SivHeader {
  alignas(16) std::uint8_t d[kAesBlock];
  ~SivHeader();
};

class SivKey {
 public:
  // A raw key of 32, 48 or 64 bytes: its first half keys S2V's CMAC, its
  // second half CTR (AES-128-, -192-, -256-SIV); BadKeyLength otherwise.
  static Result<std::unique_ptr<SivKey>, CipherError> make(const std::uint8_t* key,
                                                          std::size_t size,
                                                          Kernel kernel = fastest_kernel());
  // The encrypt transform's key from the caller's key bytes: 64 bytes of
  // HKDF-SHA-256 (salt absent, info "quillon_mask encrypt") as AES-256-SIV.
  static std::unique_ptr<SivKey> derive(std::string_view caller_key,
                                        Kernel kernel = fastest_kernel());
  ~SivKey();
  SivKey(const SivKey&) = delete;
  SivKey& operator=(const SivKey&) = delete;

  // The header for these associated-data components, in order (a nonce, if
  // any, is one of them; RFC 5297 puts it last). No components: the
  // deterministic form with no associated data.
  SivHeader header(const std::string_view* components, std::size_t n) const;

  // Encrypts plaintexts[i] into outs[i], which receives
  // kSivTag + plaintexts[i].size() bytes, for every i < n. Each plaintext is
  // read once (copied into its output, then worked on there); outputs must
  // not overlap inputs or each other.
  void seal_many(const SivHeader& header, const std::string_view* plaintexts, std::size_t n,
                 std::uint8_t* const* outs) const;

  // Decrypts ciphertexts[i] (V || C) into outs[i], which receives
  // ciphertexts[i].size() - kSivTag bytes. Stops at the first ciphertext
  // that is shorter than the tag or does not authenticate (tags compared in
  // constant time): returns NotAuthentic and its index, with every output
  // written so far zeroed, so nothing unauthenticated leaves.
  Result<Done, BatchError> open_many(const SivHeader& header,
                                     const std::string_view* ciphertexts, std::size_t n,
                                     std::uint8_t* const* outs) const;

  Kernel kernel() const { return mac_.kernel(); }

 private:
  SivKey(const std::uint8_t* key, AesKeySize half, Kernel kernel);
  // S2V's last step and CMAC over plaintexts[0..n) (n up to the group size).
  void tags(const SivHeader& header, const std::uint8_t* const* plain, const std::size_t* sizes,
            std::size_t n, std::uint8_t (*v)[kAesBlock]) const;
  // XORs the CTR keystream under v[i] over sizes[i] bytes from in[i] to out[i].
  void ctr(const std::uint8_t (*v)[kAesBlock], const std::uint8_t* const* in,
           std::uint8_t* const* out, const std::size_t* sizes, std::size_t n) const;
  void cmac(const std::uint8_t* data, std::size_t size, std::uint8_t* tag) const;

  AesKey mac_, ctr_;
  // CMAC's subkeys K1, K2 (RFC 4493) and S2V's starting value CMAC(0^128).
  alignas(16) std::uint8_t k1_[kAesBlock], k2_[kAesBlock], d0_[kAesBlock];
};

}  // namespace quillon::block_cipher
