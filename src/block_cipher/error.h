// The block-cipher layer's one error type and its messages. No message holds
// key or data bytes: callers add the column and row position themselves.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/result.h"

namespace quillon::block_cipher {


enum class CipherError : std::uint8_t {
  BadKeyLength,     // a raw key of a length the cipher does not take
  OutputTooLong,    // HKDF asked for more than 255 digests
  NotAuthentic,     // an SIV token whose tag does not match its plaintext
  BadEncoding,      // base64url text with a foreign character or an impossible length
  OutsideDomain,    // FF1: radix or length outside what it encrypts
  BadNumeral,       // FF1: a numeral not below the radix
};

// A fixed text per error, e.g. "ciphertext does not authenticate".
const char* message(CipherError error);

template <typename T>
using CipherResult = Result<T, CipherError>;

// A batch operation that stops at the first value it cannot serve names it.
struct BatchError {
  CipherError error;
  std::size_t index;
};

}  // namespace quillon::block_cipher
