// Hashes 1,000,000 e-mail-like values three ways on one thread:
// OpenSSL's one-shot HMAC per value (baseline), the prepared-key kernel, and
// apply(Hash) over a Utf8 array. The last line is the ratio of apply's rate
// to the baseline's, so machines of any speed compare.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "keyed_hash/hmac.h"
#include "mask_engine/transform.h"
#include "utf8_column.h"

namespace {

using Clock = std::chrono::steady_clock;

template <typename F>
double best_rate(std::size_t n, F&& run) {
  double best = 0;
  for (int rep = 0; rep < 3; ++rep) {
    const auto t0 = Clock::now();
    run();
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    best = std::max(best, static_cast<double>(n) / s);
  }
  return best;
}

}  // namespace

int main() {
  constexpr std::size_t kRows = 1000000;
  const std::string key = "benchmark-key";
  std::vector<std::string> values;
  values.reserve(kRows);
  for (std::size_t i = 0; i < kRows; ++i) values.push_back("user" + std::to_string(i % 100000) + "@example.com");
  const arrow_c::ArrayRef column = utf8_column(values);
  if (!column) return 1;

  std::size_t sink = 0;
  const double baseline = best_rate(kRows, [&] {
    for (std::size_t i = 0; i < kRows; ++i) {
      sink += quillon_hash::hmac_sha256(key, std::to_string(i) + ":" + values[i]).value()[0];
    }
  });
  const quillon_hash::PreparedKey prepared(key);
  char out[64];
  const double kernel = best_rate(kRows, [&] {
    for (std::size_t i = 0; i < kRows; ++i) {
      const std::string head = std::to_string(i) + ":";
      sink += prepared.hex_digest(head, values[i], out) ? out[0] : 0;
    }
  });
  const double apply = best_rate(kRows, [&] {
    auto r = mask_engine::apply(mask_engine::Transform::Hash, *column, mask_engine::Key(key));
    sink += r.ok() ? static_cast<std::size_t>(r.value()->length) : 0;
  });

  std::printf("sha_extensions=%s\n", prepared.uses_sha_extensions() ? "yes" : "no");
  std::printf("openssl_one_shot_tokens_per_s=%.0f\n", baseline);
  std::printf("prepared_kernel_tokens_per_s=%.0f\n", kernel);
  std::printf("apply_hash_tokens_per_s=%.0f\n", apply);
  std::fprintf(stderr, "(checksum %zu)\n", sink);
  std::printf("hash_kernel_ratio=%.2f\n", apply / baseline);
  return 0;
}
