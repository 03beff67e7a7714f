// The padded block of a short message, built straight from a caller's own
// data as the kernel pulls it (pull.h), with no list of messages in between.
//
// An HMAC-SHA-256 message of at most kOneBlockMax bytes takes exactly one
// block after the key block: the message, 0x80, zeros, and the bit length
// of key block and message in the last bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quillon::keyed_hash {

inline constexpr std::size_t kBlock = 64;
// The longest message whose padding (0x80 and the 8-byte length) still fits
// the same block.
inline constexpr std::size_t kOneBlockMax = kBlock - 9;

// Copies n <= 64 bytes with a few overlapping moves instead of a library call;
// every read and write stays inside [src, src + n) and [dst, dst + n).
inline void copy_short(std::uint8_t* dst, const char* src, std::size_t n) {
  if (n >= 16) {
    std::size_t i = 0;
    for (; i + 16 < n; i += 16) std::memcpy(dst + i, src + i, 16);
    std::memcpy(dst + n - 16, src + n - 16, 16);
  } else if (n >= 8) {
    std::memcpy(dst, src, 8);
    std::memcpy(dst + n - 8, src + n - 8, 8);
  } else if (n >= 4) {
    std::memcpy(dst, src, 4);
    std::memcpy(dst + n - 4, src + n - 4, 4);
  } else if (n > 0) {
    dst[0] = static_cast<std::uint8_t>(src[0]);
    dst[n / 2] = static_cast<std::uint8_t>(src[n / 2]);
    dst[n - 1] = static_cast<std::uint8_t>(src[n - 1]);
  }
}

// The block of head + tail (head_size + tail size <= kOneBlockMax). `head`
// is kHeadBytes bytes: the head's head_size bytes, then zeros, so the whole
// of it is copied with fixed-size moves.
inline constexpr std::size_t kHeadBytes = 32;
inline void pad_short_block(const char* head, std::size_t head_size, const char* tail,
                            std::size_t tail_size, std::uint8_t* block) {
  std::memcpy(block, head, kHeadBytes);
  std::memset(block + kHeadBytes, 0, kBlock - kHeadBytes);
  copy_short(block + head_size, tail, tail_size);
  const std::size_t n = head_size + tail_size;
  block[n] = 0x80;
  const std::uint32_t bits = static_cast<std::uint32_t>((kBlock + n) * 8);
  block[kBlock - 2] = static_cast<std::uint8_t>(bits >> 8);
  block[kBlock - 1] = static_cast<std::uint8_t>(bits);
}

}  // namespace quillon::keyed_hash
