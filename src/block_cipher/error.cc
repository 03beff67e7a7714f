#include "block_cipher/error.h"

namespace quillon::block_cipher {

const char* message(CipherError error) {
  switch (error) {
    case CipherError::BadKeyLength:
      return "key length not supported";
    case CipherError::OutputTooLong:
      return "derived key too long";
    case CipherError::NotAuthentic:
      return "ciphertext does not authenticate";
    case CipherError::BadEncoding:
      return "token is not base64url";
    case CipherError::OutsideDomain:
      return "outside the format-preserving domain";
    case CipherError::BadNumeral:
      return "numeral outside the alphabet";
  }
  return "cipher failed";
}

}  // namespace quillon::block_cipher
