// Column transforms bound to the value alone: pseudonym (a keyed HMAC token),
// encrypt (deterministic AES-256-SIV, base64url), fpe (FF1 over an alphabet,
// format preserved) and reveal (the inverse of encrypt and of fpe).
//
// Each function takes one column and a prepared key and returns a new array;
// the input is never changed. Because a token depends on the value only:
//   - Utf8, LargeUtf8 and Utf8View keep their layout;
//   - a dictionary column keeps its indices (shared with the input) and gets
//     a new dictionary: only the values some valid row points to are
//     transformed, the others become null, so no value leaves in clear;
//   - nulls stay null; a column of type Null comes back as it is.
//   - any other type (maskable() in transform.h says which are taken) is
//     UnsupportedDataType naming the column.
// Output is sized before anything is written; Utf8 and Utf8View outputs past
// the 2,147,483,647-byte reach of 32-bit offsets are refused with a capacity
// error before any value is transformed.
//
// Errors (MaskError::Arrow, Invalid) name the column and the row position
// (first_position plus the row's index; for a dictionary value, the first row
// that points to it), never a value: a value that is not UTF-8 (fpe and its
// reveal), a value outside FF1's domain, a token that is not base64url or does
// not authenticate. Any error fails the whole column and nothing of it
// leaves; reveal wipes what it had decrypted before it returns the error.
//
// Input is read once, as transform.h says: validity copied into the output's
// bitmap, value ranges clamped into the bounds the check saw, each value's
// bytes read once: by the hash kernel, by the cipher, or into the output (fpe;
// an alphabet of mixed widths into a staging buffer, since sizes are known
// only after encrypting) and worked on there. A value whose size changed
// between sizing and writing is refused ("the value changed while it was
// read"), never read past what was sized.
//
// Keys are derived once, when the key object is made (per stream), and wiped
// when it dies. Key objects are immutable, so one may serve several threads;
// the functions keep no state between calls and are re-entrant.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "arrow_c/array.h"
#include "block_cipher/ff1.h"
#include "block_cipher/siv.h"
#include "keyed_hash/hmac.h"
#include "mask_engine/error.h"
#include "mask_engine/transform.h"

namespace quillon::mask_engine {

// The column's context: bytes that bind every token of a column (a table or
// column label). An empty context is no context, for every transform: FF1's
// tweak cannot tell them apart, and OpenSSL's AES-SIV, with which a holder of
// the derived key can check tokens, has no empty associated-data component.
using Context = std::optional<std::string_view>;

// Pseudonym tokens: 64 lowercase hex characters of HMAC-SHA-256 of the
// value's bytes, under the caller's key, or, with a context, under
// HMAC-SHA-256(key, "quillon_mask pseudonym\0" + context).
class PseudonymKey {
 public:
  PseudonymKey(std::string_view key, const Context& context);
  // Serves with `kernel` (Portable when it is not available); for tests.
  PseudonymKey(std::string_view key, const Context& context, keyed_hash::Kernel kernel);
  const keyed_hash::PreparedKey& prepared() const { return *prepared_; }

 private:
  std::unique_ptr<keyed_hash::PreparedKey> prepared_;
};

// Encrypt tokens: base64url (no padding) of SIV || ciphertext, AES-256-SIV
// keyed by SivKey::derive; the associated data is the context as its one
// component, or none.
class EncryptKey {
 public:
  EncryptKey(std::string_view key, const Context& context,
             block_cipher::Kernel kernel = block_cipher::fastest_kernel());
  const block_cipher::SivKey& siv() const { return *siv_; }
  const block_cipher::SivHeader& header() const { return header_; }

 private:
  std::unique_ptr<block_cipher::SivKey> siv_;
  block_cipher::SivHeader header_;
};

// The characters fpe encrypts and their numeral values, in order. Named:
// "digits" (0-9), "lower" (a-z), "upper" (A-Z), "alnum" (0-9 a-z A-Z), "hex"
// (0-9 a-f). Other text of the letters a-z alone is an unknown name; any
// other text is an explicit alphabet of at least 2 distinct code points, at
// most 65,536.
class Alphabet {
 public:
  // MaskError::Arrow (Invalid) naming what is wrong: an unknown name, an
  // alphabet of fewer than 2 characters, a repeated one, more than 65,536,
  // or not UTF-8.
  static MaskResult<Alphabet> parse(std::string_view name_or_characters);

  std::uint32_t radix() const { return static_cast<std::uint32_t>(chars_.size()); }
  // The numeral of code point c, or -1 when c is not in the alphabet.
  std::int32_t numeral(std::uint32_t c) const;
  std::uint32_t character(std::uint32_t numeral) const { return chars_[numeral]; }
  // Every character takes the same number of UTF-8 bytes, so a value's
  // ciphertext has exactly its byte length.
  bool same_width() const { return same_width_; }

 private:
  std::vector<std::uint32_t> chars_;                         // numeral -> code point
  std::int32_t ascii_[128];                                  // code point -> numeral, -1 absent
  std::vector<std::pair<std::uint32_t, std::int32_t>> wide_;  // sorted, for code points >= 128
  bool same_width_ = true;
};

// FF1 under AES-256 keyed by Ff1Key::derive; the tweak is the context's
// bytes (empty when absent).
class FpeKey {
 public:
  FpeKey(std::string_view key, const Context& context, Alphabet alphabet,
         block_cipher::Kernel kernel = block_cipher::fastest_kernel());
  const block_cipher::Ff1Key& ff1() const { return *ff1_; }
  std::string_view tweak() const { return tweak_; }
  const Alphabet& alphabet() const { return alphabet_; }

 private:
  std::unique_ptr<block_cipher::Ff1Key> ff1_;
  std::string tweak_;
  Alphabet alphabet_;
};

// `column_name` goes into error messages; `first_position` is the position
// of the column's row 0 in the whole stream.
MaskResult<ArrayRef> pseudonym_column(const PseudonymKey& key, const ArrayRef& column,
                                      std::string_view column_name, std::int64_t first_position = 0);
MaskResult<ArrayRef> encrypt_column(const EncryptKey& key, const ArrayRef& column,
                                    std::string_view column_name, std::int64_t first_position = 0);
MaskResult<ArrayRef> fpe_column(const FpeKey& key, const ArrayRef& column, std::string_view column_name,
                                std::int64_t first_position = 0);
// The plaintexts of encrypt tokens, and of fpe values.
MaskResult<ArrayRef> reveal_column(const EncryptKey& key, const ArrayRef& column,
                                   std::string_view column_name, std::int64_t first_position = 0);
MaskResult<ArrayRef> reveal_column(const FpeKey& key, const ArrayRef& column, std::string_view column_name,
                                   std::int64_t first_position = 0);

}  // namespace quillon::mask_engine
