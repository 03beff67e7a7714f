#include "block_cipher/hkdf.h"

#include <cstring>

#include "keyed_hash/hmac.h"
#include "keyed_hash/pull.h"

namespace quillon::block_cipher {
namespace {

constexpr std::size_t kDigest = 32;

// The keyed hash gives hex; HKDF chains raw digests.
void hmac_bytes(const keyed_hash::PreparedKey& key, std::string_view head,
                std::string_view tail, std::uint8_t* out) {
  char hex[keyed_hash::kHexDigestLength];
  const keyed_hash::Message message{head, tail};
  char* const out_slot = hex;
  keyed_hash::MessageList one(&message, 1, &out_slot);
  key.hex_digests(one.source());
  for (std::size_t i = 0; i < kDigest; ++i) {
    auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
    out[i] = static_cast<std::uint8_t>(nibble(hex[2 * i]) << 4 | nibble(hex[2 * i + 1]));
  }
  keyed_hash::wipe(hex, sizeof(hex));
}

std::string_view view(const std::uint8_t* p, std::size_t n) {
  return {reinterpret_cast<const char*>(p), n};
}

}  // namespace

CipherResult<Done> hkdf_sha256(std::string_view ikm, std::string_view salt, std::string_view info,
                   std::uint8_t* out, std::size_t n) {
  if (n > kHkdfMaxOutput) return CipherError::OutputTooLong;
  std::uint8_t prk[kDigest];
  hmac_bytes(keyed_hash::PreparedKey(salt, keyed_hash::Kernel::Portable), {}, ikm, prk);
  const keyed_hash::PreparedKey expand(view(prk, kDigest), keyed_hash::Kernel::Portable);
  keyed_hash::wipe(prk, sizeof(prk));
  // T(i) = HMAC(PRK, T(i-1) || info || i), T(0) empty: the message is the
  // previous digest as head, info and the counter byte as tail.
  std::uint8_t t[kDigest];
  std::string tail(info);
  tail.push_back('\0');
  std::size_t previous = 0;
  for (std::size_t done = 0, i = 1; done < n; ++i) {
    tail.back() = static_cast<char>(i);
    hmac_bytes(expand, view(t, previous), tail, t);
    previous = kDigest;
    const std::size_t take = n - done < kDigest ? n - done : kDigest;
    std::memcpy(out + done, t, take);
    done += take;
  }
  keyed_hash::wipe(t, sizeof(t));
  return Done{};
}

}  // namespace quillon::block_cipher
