// FF1 (NIST SP 800-38G Rev. 1) over AES: format-preserving encryption, the
// fpe transform's cipher. A value is a string of numerals below a radix (the
// caller maps its alphabet's characters to numerals and back); its
// ciphertext is a string of as many numerals of the same radix, and the same
// key, tweak and value always give the same ciphertext.
//
// Domain: 2 <= radix <= 2^16, 2 <= n <= kFf1MaxLength numerals, and at
// least kFf1MinDomain possible values (radix^n >= 1,000,000), since smaller
// domains can be enumerated. Anything else is OutsideDomain, checked before
// any numeral is read.
//
// The arithmetic works on the digits: c = (NUM(A) + y) mod radix^m is the
// low m base-radix digits of y added digit by digit to A with carries, so
// only y is ever a big number (divided by radix to get its digits), and
// NUM(B) is built once per round for the PRF. Right for every radix; for
// 16 decimal digits every number fits two 32-bit limbs.
//
// The numeral arithmetic is not constant time (it divides); the AES under it
// is the same kernel as everywhere. Objects are immutable after
// construction and may serve several threads at once; the key is wiped when
// it dies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "block_cipher/aes.h"
#include "block_cipher/error.h"

namespace quillon::block_cipher {

inline constexpr std::size_t kFf1MaxLength = 256;
inline constexpr std::uint32_t kFf1MaxRadix = 1u << 16;
inline constexpr std::uint64_t kFf1MinDomain = 1000000;

// Done when values of n numerals of this radix can be encrypted (see above),
// else OutsideDomain.
CipherResult<Done> ff1_check_domain(std::uint32_t radix, std::size_t n);

class Ff1Key {
 public:
  // A raw AES key of `size` bytes (NIST's samples use all three sizes).
  static std::unique_ptr<Ff1Key> make(const std::uint8_t* key, AesKeySize size,
                                      Kernel kernel = fastest_kernel());
  // The fpe transform's key from the caller's key bytes: 32 bytes of
  // HKDF-SHA-256 (salt absent, info "quillon_mask fpe") as AES-256.
  static std::unique_ptr<Ff1Key> derive(std::string_view caller_key,
                                        Kernel kernel = fastest_kernel());
  Ff1Key(const Ff1Key&) = delete;
  Ff1Key& operator=(const Ff1Key&) = delete;

  // Encrypts (decrypts) the n numerals at `in` under `tweak` (any bytes,
  // empty included) into n numerals at `out`; out == in is allowed. Errors:
  // OutsideDomain (ff1_check_domain, or a tweak of 2^32 bytes or more), then
  // BadNumeral when a numeral is not below the radix; `out` is untouched on
  // either.
  CipherResult<Done> encrypt(std::uint32_t radix, std::string_view tweak, const std::uint16_t* in,
                 std::uint16_t* out, std::size_t n) const;
  CipherResult<Done> encrypt(std::uint32_t radix, std::string_view tweak, const std::uint32_t* in,
                 std::uint32_t* out, std::size_t n) const;
  CipherResult<Done> decrypt(std::uint32_t radix, std::string_view tweak, const std::uint16_t* in,
                 std::uint16_t* out, std::size_t n) const;
  CipherResult<Done> decrypt(std::uint32_t radix, std::string_view tweak, const std::uint32_t* in,
                 std::uint32_t* out, std::size_t n) const;

  Kernel kernel() const { return aes_.kernel(); }

 private:
  Ff1Key(const std::uint8_t* key, AesKeySize size, Kernel kernel) : aes_(key, size, kernel) {}
  template <typename Numeral>
  CipherResult<Done> run(bool encrypt, std::uint32_t radix, std::string_view tweak, const Numeral* in,
             Numeral* out, std::size_t n) const;

  AesKey aes_;
};

}  // namespace quillon::block_cipher
