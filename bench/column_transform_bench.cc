// The value-bound column transforms against hash, one thread, same run.
//
//   hash_rows_per_s          apply(Hash) over 1,000,000 short values (baseline)
//   pseudonym_rows_per_s     pseudonym_column over the same column
//   pseudonym_over_hash      pseudonym over hash: both hash one block per
//                            value, pseudonym without the position, so about 1
//
// Values are "user<n>@example.com" (18 to 24 bytes) in one Utf8 column.
#include <cstdio>
#include <string>
#include <vector>

#include "measurements.h"
#include "mask_engine/cipher_columns.h"
#include "mask_engine/transform.h"
#include "utf8_column.h"

using namespace quillon;  // NOLINT(build/namespaces): the layers by their short names

int main() {
  constexpr std::size_t kRows = 1000000;
  std::vector<std::string> values;
  values.reserve(kRows);
  for (std::size_t i = 0; i < kRows; ++i) values.push_back("user" + std::to_string(i) + "@example.com");
  const arrow_c::ArrayRef column = utf8_column(values);
  const std::string key = "bench-key";
  const mask_engine::PseudonymKey pseudonym(key, std::nullopt);
  bool failed = false;

  bench::Measurements m;
  const auto hash = m.add("hash_rows_per_s", kRows, [&] {
    failed |= !mask_engine::apply(mask_engine::Transform::Hash, *column, mask_engine::Key(key)).ok();
  });
  const auto pseudo = m.add("pseudonym_rows_per_s", kRows, [&] {
    failed |= !mask_engine::pseudonym_column(pseudonym, column, "email").ok();
  });
  m.run(5);
  if (failed) {
    std::fprintf(stderr, "a transform failed\n");
    return 1;
  }
  m.print(hash);
  m.print(pseudo);
  std::printf("pseudonym_over_hash=%.2f\n", m.rate(pseudo) / m.rate(hash));
  return 0;
}
