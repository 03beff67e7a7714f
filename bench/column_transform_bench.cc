// The value-bound column transforms against hash, one thread, same run.
//
//   hash_rows_per_s          apply(Hash) over 1,000,000 short values (baseline)
//   pseudonym_rows_per_s     pseudonym_column over the same column
//   pseudonym_over_hash      pseudonym over hash: both hash one block per
//                            value, pseudonym without the position, so about 1
//   encrypt_rows_per_s       encrypt_column over the same rows
//   reveal_rows_per_s        reveal_column over encrypt's tokens
//   reveal_over_mask         reveal over encrypt: the same SIV work, base64url
//                            decoded instead of encoded, so about 1
//   fpe_rows_per_s           fpe_column (digits) over 1,000,000 card numbers
//                            "4111-<12 digits>" (16 numerals, 3 dashes)
//   fpe_reveal_rows_per_s    reveal_column over fpe's tokens
//
// The last four go over the rows as a stream hands them over, in 16 slices
// of 62,500 rows: whole-column outputs of 24 MB (plaintexts) and 54 MB
// (tokens) would fall on either side of the buffer cache's 32 MiB, and the
// ratio would measure page faults rather than the transforms.
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
  const mask_engine::EncryptKey encrypt(key, std::string_view("customers.email"));
  const mask_engine::FpeKey fpe(key, std::nullopt, mask_engine::Alphabet::parse("digits").value());
  std::vector<std::string> cards;
  cards.reserve(kRows);
  for (std::size_t i = 0; i < kRows; ++i) {
    std::string digits = std::to_string(100000000000 + i * 7919);
    cards.push_back("4111-" + digits.substr(0, 4) + "-" + digits.substr(4, 4) + "-" + digits.substr(8, 4));
  }
  const arrow_c::ArrayRef card_column = utf8_column(cards);
  bool failed = false;
  constexpr std::int64_t kSlices = 16, kSliceRows = kRows / kSlices;
  using Slices = std::vector<arrow_c::ArrayRef>;
  auto sliced = [&](const arrow_c::ArrayRef& whole) {
    Slices out;
    for (std::int64_t i = 0; i < kSlices; ++i) out.push_back(arrow_c::slice(whole, i * kSliceRows, kSliceRows));
    return out;
  };
  // Each slice through `transform`; the outputs when all succeeded.
  auto each = [&](const Slices& in, auto&& transform) {
    Slices out;
    for (const auto& part : in) {
      auto made = transform(part);
      failed |= !made.ok();
      out.push_back(made.ok() ? std::move(made).value() : part);
    }
    return out;
  };
  const Slices emails = sliced(column), card_slices = sliced(card_column);
  auto sealing = [&](const arrow_c::ArrayRef& part) { return mask_engine::encrypt_column(encrypt, part, "email"); };
  auto opening = [&](const arrow_c::ArrayRef& part) { return mask_engine::reveal_column(encrypt, part, "email"); };
  auto formatting = [&](const arrow_c::ArrayRef& part) { return mask_engine::fpe_column(fpe, part, "card"); };
  auto unformatting = [&](const arrow_c::ArrayRef& part) { return mask_engine::reveal_column(fpe, part, "card"); };
  const Slices tokens = each(emails, sealing), card_tokens = each(card_slices, formatting);

  bench::Measurements m;
  const auto hash = m.add("hash_rows_per_s", kRows, [&] {
    failed |= !mask_engine::apply(mask_engine::Transform::Hash, *column, mask_engine::Key(key)).ok();
  });
  const auto pseudo = m.add("pseudonym_rows_per_s", kRows, [&] {
    failed |= !mask_engine::pseudonym_column(pseudonym, column, "email").ok();
  });
  const auto sealed = m.add("encrypt_rows_per_s", kRows, [&] { each(emails, sealing); });
  const auto opened = m.add("reveal_rows_per_s", kRows, [&] { each(tokens, opening); });
  const auto ff1 = m.add("fpe_rows_per_s", kRows, [&] { each(card_slices, formatting); });
  const auto ff1_back = m.add("fpe_reveal_rows_per_s", kRows, [&] { each(card_tokens, unformatting); });
  m.run(5);
  if (failed) {
    std::fprintf(stderr, "a transform failed\n");
    return 1;
  }
  for (const auto& line : {hash, pseudo, sealed, opened, ff1, ff1_back}) m.print(line);
  std::printf("pseudonym_over_hash=%.2f\n", m.rate(pseudo) / m.rate(hash));
  std::printf("reveal_over_mask=%.2f\n", m.rate(opened) / m.rate(sealed));
  return 0;
}
