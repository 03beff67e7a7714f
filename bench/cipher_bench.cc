// The encrypt and fpe transforms' ciphers against OpenSSL, one thread.
//
//   openssl_siv_values_per_s     EVP AES-256-SIV one value at a time: key set,
//                                context as AAD, value, tag (baseline)
//   siv_values_per_s             SivKey::seal_many, batches of 1024, the
//                                header computed once per batch (AES-NI
//                                when the CPU has it)
//   portable_siv_values_per_s    the same on the portable kernel
//   siv_over_openssl             siv over openssl_siv
//   reference_ff1_values_per_s   FF1 written from the standard's pseudocode
//                                over OpenSSL's AES-ECB and BIGNUM, one value
//                                at a time (baseline)
//   ff1_values_per_s             Ff1Key::encrypt per value
//   portable_ff1_values_per_s    the same on the portable kernel
//   ff1_over_reference           ff1 over reference_ff1
//
// SIV values are 25 bytes ("user<n>@example.com" padded), the context
// "customers.email"; FF1 values are 16 decimal digits under a 3-byte tweak.
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "block_cipher/ff1.h"
#include "block_cipher/siv.h"
#include "cipher_oracle.h"
#include "measurements.h"

using namespace quillon;  // NOLINT(build/namespaces): the layers by their short names

namespace {

using namespace quillon::block_cipher;
using oracle::Bytes;

constexpr std::size_t kSivValues = 200000;
constexpr std::size_t kSivValueSize = 25;
constexpr std::size_t kBatch = 1024;
constexpr std::size_t kFf1Values = 20000;
constexpr std::size_t kReferenceValues = 2000;
constexpr std::size_t kDigits = 16;

struct SivWork {
  std::vector<std::string> values;
  std::vector<std::string_view> views;
  std::vector<std::uint8_t> out;
  std::vector<std::uint8_t*> outs;

  SivWork() {
    for (std::size_t i = 0; i < kSivValues; ++i) {
      std::string v = "user" + std::to_string(i) + "@example.com";
      v.resize(kSivValueSize, 'x');
      values.push_back(std::move(v));
    }
    for (const auto& v : values) views.push_back(v);
    out.resize(kSivValues * (kSivTag + kSivValueSize));
    for (std::size_t i = 0; i < kSivValues; ++i) outs.push_back(out.data() + i * (kSivTag + kSivValueSize));
  }
};

}  // namespace

int main() {
  Bytes raw(64);
  for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<std::uint8_t>(i * 29 + 3);
  const std::string context = "customers.email";
  const std::string_view ctx = context;
  SivWork work;
  const oracle::Siv openssl(raw);
  if (!openssl.ok()) {
    std::fprintf(stderr, "OpenSSL has no AES-256-SIV\n");
    return 1;
  }
  const Bytes ad(context.begin(), context.end());
  const auto fast = std::move(SivKey::make(raw.data(), raw.size()).value());
  const auto portable = std::move(SivKey::make(raw.data(), raw.size(), Kernel::Portable).value());
  auto seal_all = [&](const SivKey& key, std::size_t count) {
    const SivHeader header = key.header(&ctx, 1);
    for (std::size_t at = 0; at < count; at += kBatch) {
      key.seal_many(header, work.views.data() + at, std::min(kBatch, count - at), work.outs.data() + at);
    }
  };
  // Checked once before timing: the batch API gives OpenSSL's bytes.
  seal_all(*fast, kBatch);
  for (std::size_t i = 0; i < kBatch; i += 97) {
    const Bytes expected = openssl.seal({ad}, Bytes(work.values[i].begin(), work.values[i].end()));
    if (!std::equal(expected.begin(), expected.end(), work.outs[i])) {
      std::fprintf(stderr, "SIV output differs from OpenSSL at %zu\n", i);
      return 1;
    }
  }

  const Bytes ff1_raw(raw.begin(), raw.begin() + 32);
  const auto ff1 = Ff1Key::make(ff1_raw.data(), AesKeySize::Aes256);
  const auto ff1_portable = Ff1Key::make(ff1_raw.data(), AesKeySize::Aes256, Kernel::Portable);
  oracle::Ff1 reference(ff1_raw, 10);
  const Bytes tweak = {'c', 't', 'x'};
  std::mt19937 rng(38);
  std::vector<std::vector<std::uint32_t>> digits(kFf1Values, std::vector<std::uint32_t>(kDigits));
  for (auto& d : digits) {
    for (auto& x : d) x = rng() % 10;
  }
  std::vector<std::uint32_t> out(kDigits);
  auto ff1_all = [&](const Ff1Key& key, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      static_cast<void>(key.encrypt(10, "ctx", digits[i].data(), out.data(), kDigits));
    }
  };
  ff1_all(*ff1, 1);
  if (out != reference.run(digits[0], tweak, true)) {
    std::fprintf(stderr, "FF1 output differs from the reference\n");
    return 1;
  }

  bench::Measurements m;
  const auto openssl_siv = m.add("openssl_siv_values_per_s", kSivValues / 4, [&] {
    for (std::size_t i = 0; i < kSivValues / 4; ++i) {
      static_cast<void>(openssl.seal({ad}, Bytes(work.values[i].begin(), work.values[i].end())));
    }
  });
  const auto siv = m.add("siv_values_per_s", kSivValues, [&] { seal_all(*fast, kSivValues); });
  const auto portable_siv =
      m.add("portable_siv_values_per_s", kSivValues / 20, [&] { seal_all(*portable, kSivValues / 20); });
  const auto reference_ff1 = m.add("reference_ff1_values_per_s", kReferenceValues, [&] {
    for (std::size_t i = 0; i < kReferenceValues; ++i) static_cast<void>(reference.run(digits[i], tweak, true));
  });
  const auto fast_ff1 = m.add("ff1_values_per_s", kFf1Values, [&] { ff1_all(*ff1, kFf1Values); });
  const auto portable_ff1 =
      m.add("portable_ff1_values_per_s", kFf1Values / 20, [&] { ff1_all(*ff1_portable, kFf1Values / 20); });
  m.run(3);
  std::printf("siv_kernel=%s\n", kernel_name(fast->kernel()));
  for (auto i : {openssl_siv, siv, portable_siv, reference_ff1, fast_ff1, portable_ff1}) m.print(i);
  std::printf("siv_over_openssl=%.2f\n", m.rate(siv) / m.rate(openssl_siv));
  std::printf("ff1_over_reference=%.2f\n", m.rate(fast_ff1) / m.rate(reference_ff1));
  return 0;
}
