// Base64url (RFC 4648 section 5) without padding: how encrypt tokens are
// written as text. Decoding is strict, so each byte string has exactly one
// text: only the 64 URL-safe characters, no '=', no length of 1 mod 4, and
// the unused low bits of the last character zero. Ciphertexts are public, so
// a table lookup per character is fine here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "block_cipher/error.h"

namespace quillon::block_cipher {

// Characters for n bytes: ceil(4n / 3).
inline constexpr std::size_t base64url_size(std::size_t n) { return (4 * n + 2) / 3; }

// Writes base64url_size(n) characters to `out`.
void base64url_encode(const std::uint8_t* in, std::size_t n, char* out);

// The bytes a text of `chars` characters decodes to; BadEncoding for a
// length no encoding has (1 mod 4).
Result<std::size_t, CipherError> base64url_decoded_size(std::size_t chars);

// Decodes `text` into base64url_decoded_size(text.size()) bytes at `out`;
// BadEncoding for any text base64url_encode would not have written. `out`
// is unspecified after a failure.
CipherResult<Done> base64url_decode(std::string_view text, std::uint8_t* out);

}  // namespace quillon::block_cipher
