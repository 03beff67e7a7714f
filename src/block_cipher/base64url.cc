#include "block_cipher/base64url.h"

#include <array>

namespace quillon::block_cipher {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr std::uint8_t kInvalid = 0xff;

constexpr std::array<std::uint8_t, 256> make_values() {
  std::array<std::uint8_t, 256> v{};
  for (auto& x : v) x = kInvalid;
  for (std::uint8_t i = 0; i < 64; ++i) v[static_cast<unsigned char>(kAlphabet[i])] = i;
  return v;
}
constexpr std::array<std::uint8_t, 256> kValues = make_values();

}  // namespace

void base64url_encode(const std::uint8_t* in, std::size_t n, char* out) {
  std::size_t i = 0;
  for (; i + 3 <= n; i += 3, out += 4) {
    const std::uint32_t w = std::uint32_t{in[i]} << 16 | std::uint32_t{in[i + 1]} << 8 | in[i + 2];
    out[0] = kAlphabet[w >> 18];
    out[1] = kAlphabet[(w >> 12) & 63];
    out[2] = kAlphabet[(w >> 6) & 63];
    out[3] = kAlphabet[w & 63];
  }
  if (n - i == 1) {
    out[0] = kAlphabet[in[i] >> 2];
    out[1] = kAlphabet[(in[i] & 3) << 4];
  } else if (n - i == 2) {
    const std::uint32_t w = std::uint32_t{in[i]} << 8 | in[i + 1];
    out[0] = kAlphabet[w >> 10];
    out[1] = kAlphabet[(w >> 4) & 63];
    out[2] = kAlphabet[(w & 15) << 2];
  }
}

Result<std::size_t, CipherError> base64url_decoded_size(std::size_t chars) {
  if (chars % 4 == 1) return CipherError::BadEncoding;
  return chars / 4 * 3 + (chars % 4 == 0 ? 0 : chars % 4 - 1);
}

CipherResult<Done> base64url_decode(std::string_view text, std::uint8_t* out) {
  if (text.size() % 4 == 1) return CipherError::BadEncoding;
  std::uint32_t bad = 0;
  auto value = [&](std::size_t i) {
    const std::uint8_t v = kValues[static_cast<unsigned char>(text[i])];
    bad |= v;  // only kInvalid sets the top bit
    return std::uint32_t{v} & 63;
  };
  std::size_t i = 0;
  for (; i + 4 <= text.size(); i += 4, out += 3) {
    const std::uint32_t w = value(i) << 18 | value(i + 1) << 12 | value(i + 2) << 6 | value(i + 3);
    out[0] = static_cast<std::uint8_t>(w >> 16);
    out[1] = static_cast<std::uint8_t>(w >> 8);
    out[2] = static_cast<std::uint8_t>(w);
  }
  std::uint32_t unused = 0;  // bits of the last character that encode nothing
  if (text.size() - i == 2) {
    const std::uint32_t w = value(i) << 6 | value(i + 1);
    out[0] = static_cast<std::uint8_t>(w >> 4);
    unused = w & 15;
  } else if (text.size() - i == 3) {
    const std::uint32_t w = value(i) << 12 | value(i + 1) << 6 | value(i + 2);
    out[0] = static_cast<std::uint8_t>(w >> 10);
    out[1] = static_cast<std::uint8_t>(w >> 2);
    unused = w & 3;
  }
  if ((bad & 0x80) != 0 || unused != 0) return CipherError::BadEncoding;
  return Done{};
}

}  // namespace quillon::block_cipher
