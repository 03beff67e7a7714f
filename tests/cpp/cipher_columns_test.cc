// pseudonym, encrypt, fpe and reveal over every layout, against OpenSSL at
// test time: HMAC for pseudonyms, EVP AES-256-SIV under OpenSSL's HKDF for
// encrypt, the oracle's FF1 over OpenSSL's AES for fpe. Exact messages for
// every refusal; round trips through reveal.
#include <gtest/gtest.h>
#include <openssl/hmac.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "cipher_oracle.h"
#include "cipher_test_util.h"
#include "mask_engine/cipher_columns.h"
#include "openssl_oracle.h"
#include "test_util.h"

namespace quillon::mask_engine {
namespace {

namespace t = arrow_c::testing;
namespace o = block_cipher::oracle;
using t::Rows;
using Bytes = o::Bytes;

const std::string kKey = "column-key";

// ---- layouts ----------------------------------------------------------------

struct Layout {
  const char* name;
  ArrayRef (*make)(const Rows&);
};

// Reversed indices (row i reads a value not at i), a null index, and a
// value no row points to, which must not be read.
ArrayRef dictionary_column(const Rows& rows) {
  Rows values(rows.rbegin(), rows.rend());
  values.emplace_back(std::string("\xff"));  // unused: not UTF-8, not a token
  std::vector<std::optional<std::int64_t>> indices;
  for (std::size_t i = 0; i < rows.size(); ++i) indices.emplace_back(static_cast<std::int64_t>(rows.size() - 1 - i));
  indices.emplace_back(std::nullopt);
  auto whole = t::column(t::dictionary_indexed("s", indices, t::utf8(values)));
  return arrow_c::slice(whole, 0, static_cast<std::int64_t>(rows.size()));
}

// Rows that no transform may read on either side of the slice.
ArrayRef sliced_column(const Rows& rows) {
  Rows padded = {std::string("\xc3"), std::nullopt};
  padded.insert(padded.end(), rows.begin(), rows.end());
  padded.emplace_back(std::string("\xe2\x82"));
  return arrow_c::slice(t::column(t::utf8(padded)), 2, static_cast<std::int64_t>(rows.size()));
}

const Layout kLayouts[] = {
    {"string", [](const Rows& r) { return t::column(t::utf8(r)); }},
    {"large_string", [](const Rows& r) { return t::column(t::large_utf8(r)); }},
    {"string_view", [](const Rows& r) { return t::column(t::string_views(r, 3)); }},
    {"dictionary", dictionary_column},
    {"sliced", sliced_column},
};

// The rows a consumer reads, through the dictionary when there is one.
Rows decoded(const ArrayRef& a) {
  if (!a->dictionary) return t::rows_of(*a);
  auto idx = arrow_c::read_dictionary_indices(*a);
  EXPECT_TRUE(idx.ok());
  const Rows values = t::rows_of(*a->dictionary);
  Rows out;
  for (std::int64_t i = 0; i < a->length; ++i) {
    out.push_back(idx.value().valid(i) ? values[static_cast<std::size_t>(idx.value().index[static_cast<std::size_t>(i)])]
                                       : std::nullopt);
  }
  return out;
}

// Same layout out as in; a dictionary keeps the input's index buffers.
void expect_layout_kept(const ArrayRef& in, const ArrayRef& out) {
  EXPECT_EQ(out->type->format, in->type->format);
  EXPECT_EQ(out->length, in->length);
  if (in->dictionary) {
    ASSERT_TRUE(out->dictionary);
    EXPECT_EQ(out->buffers, in->buffers);
    EXPECT_EQ(out->offset, in->offset);
  }
}

Rows short_and_long_rows() {
  Rows rows;
  for (std::size_t size = 0; size <= 70; size += 3) {
    rows.emplace_back(std::string(size, static_cast<char>('a' + size % 26)));
    if (size % 9 == 0) rows.emplace_back(std::nullopt);
  }
  rows.emplace_back(std::string("jos\xc3\xa9 \xe2\x82\xac"));
  rows.emplace_back(std::string(55, 'x'));  // the one-block edge
  rows.emplace_back(std::string(56, 'y'));
  return rows;
}

Bytes bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

// ---- pseudonym --------------------------------------------------------------

using keyed_hash::Kernel;
const Kernel kHashKernels[] = {Kernel::Portable, Kernel::ShaNi, Kernel::Avx2, Kernel::ArmSha2};
const char* const kHashKernelNames[] = {"Portable", "ShaNi", "Avx2", "ArmSha2"};

std::string expected_pseudonym(const std::string& value, const std::optional<std::string>& context) {
  if (!context || context->empty()) return keyed_hash::oracle::hmac_sha256(kKey, value);
  std::string label("quillon_mask pseudonym", 22);
  label.push_back('\0');
  label += *context;
  unsigned char kc[32];
  unsigned int n = 0;
  HMAC(EVP_sha256(), kKey.data(), static_cast<int>(kKey.size()), reinterpret_cast<const unsigned char*>(label.data()),
       label.size(), kc, &n);
  return keyed_hash::oracle::hmac_sha256(std::string_view(reinterpret_cast<char*>(kc), n), value);
}

using PseudonymParam = std::tuple<Layout, std::optional<std::string>, Kernel>;
class PseudonymColumns : public ::testing::TestWithParam<PseudonymParam> {};

TEST_P(PseudonymColumns, HmacOfTheValueAlone) {
  const auto& [layout, context, kernel] = GetParam();
  if (!keyed_hash::kernel_available(kernel)) GTEST_SKIP() << "not on this CPU";
  const Rows rows = short_and_long_rows();
  const ArrayRef in = layout.make(rows);
  const PseudonymKey key(kKey, context ? Context(*context) : std::nullopt, kernel);
  auto out = pseudonym_column(key, in, "email", 100);
  ASSERT_TRUE(out.ok()) << out.error();
  expect_layout_kept(in, out.value());
  const Rows got = decoded(out.value());
  ASSERT_EQ(got.size(), rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(got[i], rows[i] ? std::optional(expected_pseudonym(*rows[i], context)) : std::nullopt) << "row " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, PseudonymColumns,
                         ::testing::Combine(::testing::ValuesIn(kLayouts),
                                            ::testing::Values(std::nullopt, std::string(), std::string("crm.email")),
                                            ::testing::ValuesIn(kHashKernels)),
                         [](const auto& info) {
                           const auto& ctx = std::get<1>(info.param);
                           return std::string(std::get<0>(info.param).name) + "_" +
                                  (!ctx ? "no_context" : ctx->empty() ? "empty_context" : "context") + "_" +
                                  kHashKernelNames[static_cast<int>(std::get<2>(info.param))];
                         });

// ---- encrypt and reveal -----------------------------------------------------

using CipherKernel = block_cipher::Kernel;
using CipherParam = std::tuple<Layout, std::optional<std::string>, CipherKernel>;
class EncryptColumns : public ::testing::TestWithParam<CipherParam> {};

TEST_P(EncryptColumns, SivTokensAndBack) {
  const auto& [layout, context, kernel] = GetParam();
  if (!block_cipher::kernel_available(kernel)) GTEST_SKIP() << "not on this CPU";
  const o::Siv siv(o::hkdf_sha256(bytes(kKey), {}, bytes("quillon_mask encrypt"), 64));
  ASSERT_TRUE(siv.ok()) << "OpenSSL has no AES-256-SIV";
  std::vector<Bytes> ad;
  if (context && !context->empty()) ad.push_back(bytes(*context));
  const Rows rows = short_and_long_rows();
  const ArrayRef in = layout.make(rows);
  const EncryptKey key(kKey, context ? Context(*context) : std::nullopt, kernel);
  auto out = encrypt_column(key, in, "email");
  ASSERT_TRUE(out.ok()) << out.error();
  expect_layout_kept(in, out.value());
  const Rows got = decoded(out.value());
  ASSERT_EQ(got.size(), rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(got[i], rows[i] ? std::optional(o::base64url(siv.seal(ad, bytes(*rows[i])))) : std::nullopt)
        << "row " << i;
  }
  auto back = reveal_column(key, out.value(), "email");
  ASSERT_TRUE(back.ok()) << back.error();
  expect_layout_kept(in, back.value());
  EXPECT_EQ(decoded(back.value()), rows);
}

std::string context_name(const std::optional<std::string>& ctx) {
  return !ctx ? "no_context" : ctx->empty() ? "empty_context" : "context";
}

INSTANTIATE_TEST_SUITE_P(Cases, EncryptColumns,
                         ::testing::Combine(::testing::ValuesIn(kLayouts),
                                            ::testing::Values(std::nullopt, std::string(), std::string("crm.email")),
                                            ::testing::ValuesIn(block_cipher::kAllKernels)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) + "_" + context_name(std::get<1>(info.param)) +
                                  "_" + block_cipher::kernel_test_name(std::get<2>(info.param));
                         });

// ---- fpe and reveal ---------------------------------------------------------

// Test-side UTF-8, for well-formed text only.
std::u32string code_points(const std::string& s) {
  std::u32string out;
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    const int more = b < 0x80 ? 0 : b < 0xE0 ? 1 : b < 0xF0 ? 2 : 3;
    char32_t c = more == 0 ? b : b & (0x3F >> more);
    for (int k = 1; k <= more; ++k) c = c << 6 | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    out.push_back(c);
    i += 1 + more;
  }
  return out;
}

std::string utf8(const std::u32string& cps) {
  std::string out;
  for (char32_t c : cps) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += {static_cast<char>(0xC0 | c >> 6), static_cast<char>(0x80 | (c & 0x3F))};
    } else if (c < 0x10000) {
      out += {static_cast<char>(0xE0 | c >> 12), static_cast<char>(0x80 | (c >> 6 & 0x3F)),
              static_cast<char>(0x80 | (c & 0x3F))};
    } else {
      out += {static_cast<char>(0xF0 | c >> 18), static_cast<char>(0x80 | (c >> 12 & 0x3F)),
              static_cast<char>(0x80 | (c >> 6 & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
    }
  }
  return out;
}

// The oracle's FF1 over the characters of `value` that are in `chars`.
std::string expected_fpe(const std::string& chars, const std::optional<std::string>& context, const std::string& value) {
  const std::u32string alphabet = code_points(chars);
  o::Ff1 ff1(o::hkdf_sha256(bytes(kKey), {}, bytes("quillon_mask fpe"), 32), static_cast<std::uint32_t>(alphabet.size()));
  std::u32string cps = code_points(value);
  std::vector<std::uint32_t> numerals;
  std::vector<std::size_t> at;
  for (std::size_t i = 0; i < cps.size(); ++i) {
    const auto k = alphabet.find(cps[i]);
    if (k != std::u32string::npos) numerals.push_back(static_cast<std::uint32_t>(k)), at.push_back(i);
  }
  const auto enc = ff1.run(numerals, bytes(context.value_or("")), true);
  for (std::size_t k = 0; k < at.size(); ++k) cps[at[k]] = alphabet[enc[k]];
  return utf8(cps);
}

struct AlphabetCase {
  const char* name;
  std::string text;   // what the caller passes
  std::string chars;  // the alphabet spelt out, numeral order
  Rows rows;
};

const AlphabetCase kAlphabets[] = {
    {"digits", "digits", "0123456789",
     {std::string("4111-1111-1111-1111"), std::nullopt, std::string("123456"), std::string("+44 (0)20 7946 0958"),
      std::string("jos\xc3\xa9 000000")}},
    {"lower", "lower", "abcdefghijklmnopqrstuvwxyz", {std::string("alice@example.com"), std::string("ABCdefgh")}},
    {"upper", "upper", "ABCDEFGHIJKLMNOPQRSTUVWXYZ", {std::string("GB-ABCDEF"), std::string("x") + std::string(300, 'Q').substr(0, 256)}},
    {"alnum", "alnum", "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ",
     {std::string("AB12cd"), std::nullopt, std::string("user_9Z.x@host")}},
    {"hex", "hex", "0123456789abcdef", {std::string("de:ad:be:ef:00"), std::string("ABCDEF 0123456789abcdef")}},
    // Greek: two bytes per character, so each value keeps its byte length.
    {"explicit_greek", "\xce\xb1\xce\xb2\xce\xb3\xce\xb4\xce\xb5\xce\xb6\xce\xb7\xce\xb8",
     "\xce\xb1\xce\xb2\xce\xb3\xce\xb4\xce\xb5\xce\xb6\xce\xb7\xce\xb8",
     {std::string("\xce\xb1\xce\xb2\xce\xb3-\xce\xb4\xce\xb5\xce\xb6\xce\xb7!"), std::string("ab \xce\xb8\xce\xb8\xce\xb8\xce\xb8\xce\xb8\xce\xb8\xce\xb8")}},
    // Mixed widths (1, 2, 3 and 4 bytes): a value's byte length may change.
    {"explicit_mixed", "01\xc3\xa9\xe2\x82\xac\xf0\x9f\x99\x82", "01\xc3\xa9\xe2\x82\xac\xf0\x9f\x99\x82",
     {std::string("0101010101010101010101"), std::nullopt, std::string("\xe2\x82\xac\xe2\x82\xac 0 1 \xc3\xa9\xc3\xa9 0101 \xf0\x9f\x99\x82")}},
};

using FpeParam = std::tuple<Layout, AlphabetCase, bool, CipherKernel>;
class FpeColumns : public ::testing::TestWithParam<FpeParam> {};

TEST_P(FpeColumns, SlotsOfTheAlphabetEncryptedOthersKept) {
  const auto& [layout, alpha, with_context, kernel] = GetParam();
  if (!block_cipher::kernel_available(kernel)) GTEST_SKIP() << "not on this CPU";
  const std::optional<std::string> context = with_context ? std::optional<std::string>("cards") : std::nullopt;
  auto alphabet = Alphabet::parse(alpha.text);
  ASSERT_TRUE(alphabet.ok()) << alphabet.error();
  const FpeKey key(kKey, context ? Context(*context) : std::nullopt, std::move(alphabet).value(), kernel);
  const ArrayRef in = layout.make(alpha.rows);
  auto out = fpe_column(key, in, "card");
  ASSERT_TRUE(out.ok()) << out.error();
  expect_layout_kept(in, out.value());
  const Rows got = decoded(out.value());
  ASSERT_EQ(got.size(), alpha.rows.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    const auto& row = alpha.rows[i];
    EXPECT_EQ(got[i], row ? std::optional(expected_fpe(alpha.chars, context, *row)) : std::nullopt) << "row " << i;
    if (row) {
      EXPECT_NE(got[i], row) << "row " << i << " left in clear";
    }
  }
  auto back = reveal_column(key, out.value(), "card");
  ASSERT_TRUE(back.ok()) << back.error();
  EXPECT_EQ(decoded(back.value()), alpha.rows);
}

INSTANTIATE_TEST_SUITE_P(Cases, FpeColumns,
                         ::testing::Combine(::testing::ValuesIn(kLayouts), ::testing::ValuesIn(kAlphabets),
                                            ::testing::Bool(), ::testing::ValuesIn(block_cipher::kAllKernels)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name +
                                  (std::get<2>(info.param) ? "_context" : "_no_context") +
                                  "_" + block_cipher::kernel_test_name(std::get<3>(info.param));
                         });

// ---- refusals ---------------------------------------------------------------

FpeKey digits_key(const Context& context = std::nullopt) {
  return FpeKey(kKey, context, Alphabet::parse("digits").value());
}

// Encrypt tokens of `rows` under `key_bytes` and `context`, as a Utf8 column.
ArrayRef tokens_of(const Rows& rows, const std::string& key_bytes, const Context& context) {
  auto out = encrypt_column(EncryptKey(key_bytes, context), t::column(t::utf8(rows)), "c");
  EXPECT_TRUE(out.ok());
  return out.value();
}

ArrayRef with_row_changed(const ArrayRef& tokens, std::size_t row, const std::function<void(std::string&)>& change) {
  Rows rows = t::rows_of(*tokens);
  change(*rows[row]);
  return t::column(t::utf8(rows));
}

struct ErrorCase {
  const char* name;
  std::function<MaskResult<ArrayRef>()> run;
  std::string message;
};

class CipherColumnErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(CipherColumnErrors, RefusedWithExactMessage) {
  auto r = GetParam().run();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(), GetParam().message);
}

const std::string kDomain =
    ": the value has too few characters of the alphabet for format-preserving encryption (fewer than 1,000,000 "
    "possible values) or too many (more than 256)";
const Rows kSecrets = {std::string("first secret"), std::string("second secret"), std::string("")};

INSTANTIATE_TEST_SUITE_P(
    Cases, CipherColumnErrors,
    ::testing::Values(
        ErrorCase{"fpe_too_short",
                  [] { return fpe_column(digits_key(), t::column(t::utf8({std::string("123456"), std::string("12-345")})), "card", 40); },
                  "arrow error: Invalid: column 'card', row 41" + kDomain},
        ErrorCase{"fpe_no_alphabet_characters",
                  [] { return fpe_column(digits_key(), t::column(t::large_utf8({std::string("n/a")})), "card"); },
                  "arrow error: Invalid: column 'card', row 0" + kDomain},
        ErrorCase{"fpe_empty", [] { return fpe_column(digits_key(), t::column(t::utf8({std::string()})), "card"); },
                  "arrow error: Invalid: column 'card', row 0" + kDomain},
        ErrorCase{"fpe_too_long",
                  [] { return fpe_column(digits_key(), t::column(t::utf8({std::string(257, '7')})), "card"); },
                  "arrow error: Invalid: column 'card', row 0" + kDomain},
        ErrorCase{"fpe_not_utf8",
                  [] { return fpe_column(digits_key(), t::column(t::string_views({std::string("1234567"), std::string("12345678\xc0\xafxyz123")})), "card", 7); },
                  "arrow error: Invalid: column 'card', row 8: the value is not valid UTF-8"},
        ErrorCase{"fpe_surrogate",
                  [] { return fpe_column(digits_key(), t::column(t::utf8({std::string("1234567\xed\xa0\x80")})), "card"); },
                  "arrow error: Invalid: column 'card', row 0: the value is not valid UTF-8"},
        ErrorCase{"fpe_mixed_widths_not_utf8",
                  [] {
                    FpeKey key(kKey, std::nullopt, Alphabet::parse("01\xc3\xa9").value());
                    return fpe_column(key, t::column(t::utf8({std::string("010101010101010101010"), std::string("0101\xc3")})), "c");
                  },
                  "arrow error: Invalid: column 'c', row 1: the value is not valid UTF-8"},
        // A dictionary value names the first row that points to it.
        ErrorCase{"fpe_dictionary_first_row",
                  [] {
                    return fpe_column(digits_key(), t::column(t::dictionary_indexed("i", {0, std::nullopt, 1, 1}, t::utf8({std::string("1234567"), std::string("12")}))), "card", 10);
                  },
                  "arrow error: Invalid: column 'card', row 12" + kDomain},
        ErrorCase{"reveal_tampered",
                  [] {
                    return reveal_column(EncryptKey(kKey, std::nullopt), with_row_changed(tokens_of(kSecrets, kKey, std::nullopt), 1, [](std::string& s) { s[5] = s[5] == 'A' ? 'B' : 'A'; }), "email", 3);
                  },
                  "arrow error: Invalid: column 'email', row 4: the token does not authenticate"},
        ErrorCase{"reveal_wrong_key",
                  [] { return reveal_column(EncryptKey("other key", std::nullopt), tokens_of(kSecrets, kKey, std::nullopt), "email"); },
                  "arrow error: Invalid: column 'email', row 0: the token does not authenticate"},
        ErrorCase{"reveal_wrong_context",
                  [] { return reveal_column(EncryptKey(kKey, Context("b")), tokens_of(kSecrets, kKey, Context("a")), "email"); },
                  "arrow error: Invalid: column 'email', row 0: the token does not authenticate"},
        ErrorCase{"reveal_truncated_token",
                  [] { return reveal_column(EncryptKey(kKey, std::nullopt), with_row_changed(tokens_of(kSecrets, kKey, std::nullopt), 2, [](std::string& s) { s.resize(s.size() - 4); }), "email"); },
                  "arrow error: Invalid: column 'email', row 2: the token does not authenticate"},
        ErrorCase{"reveal_not_base64url_char",
                  [] { return reveal_column(EncryptKey(kKey, std::nullopt), with_row_changed(tokens_of(kSecrets, kKey, std::nullopt), 1, [](std::string& s) { s[0] = '+'; }), "email"); },
                  "arrow error: Invalid: column 'email', row 1: the token is not base64url"},
        ErrorCase{"reveal_not_base64url_length",
                  [] { return reveal_column(EncryptKey(kKey, std::nullopt), t::column(t::large_utf8({std::nullopt, std::string(25, 'A')})), "email"); },
                  "arrow error: Invalid: column 'email', row 1: the token is not base64url"},
        ErrorCase{"reveal_fpe_outside_domain",
                  [] { return reveal_column(digits_key(), t::column(t::utf8({std::string("12345")})), "card"); },
                  "arrow error: Invalid: column 'card', row 0" + kDomain},
        ErrorCase{"unsupported_type",
                  [] { return pseudonym_column(PseudonymKey(kKey, std::nullopt), t::column(t::int64s({1})), "id"); },
                  "unsupported data type for column 'id': Int64"},
        // Sized before anything is read: a value that claims 2,147,483,000
        // bytes (its buffer holds one) gives a token past the 32-bit reach.
        ErrorCase{"token_past_reach",
                  [] {
                    t::Node n = t::utf8({std::string("a")});
                    n.buffers[1] = t::detail::bytes_of(std::vector<std::int32_t>{0, 2147483000});
                    return encrypt_column(EncryptKey(kKey, std::nullopt), t::column(n), "email");
                  },
                  // ceil(4 (2,147,483,000 + 16) / 3) characters.
                  "arrow error: Capacity error: masked column needs 2863310688 bytes of string data, more than the "
                  "2147483647 that one Utf8 array can hold"}),
    [](const auto& info) { return std::string(info.param.name); });

struct AlphabetError {
  const char* name;
  std::string text;
  std::string message;
};

class AlphabetErrors : public ::testing::TestWithParam<AlphabetError> {};

TEST_P(AlphabetErrors, Refused) {
  auto r = Alphabet::parse(GetParam().text);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(), "arrow error: Invalid: " + GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Cases, AlphabetErrors,
                         ::testing::Values(AlphabetError{"empty", "", "the fpe alphabet has fewer than 2 characters"},
                                           AlphabetError{"one", "\xc3\xa9", "the fpe alphabet has fewer than 2 characters"},
                                           AlphabetError{"repeat", "ab1a", "the fpe alphabet repeats a character"},
                                           AlphabetError{"unknown_name", "decimal",
                                                         "unknown fpe alphabet name; the names are digits, lower, "
                                                         "upper, alnum and hex"},
                                           AlphabetError{"repeat_wide", "\xc3\xa9x\xc3\xa9", "the fpe alphabet repeats a character"},
                                           AlphabetError{"not_utf8", "ab\xff", "the fpe alphabet is not valid UTF-8"}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- shapes -----------------------------------------------------------------

// A Null column is the input itself; values no row points to leave as nulls.
TEST(CipherColumnShapes, NullColumnKeptUnusedDictionaryValuesNulled) {
  t::Node null_node;
  null_node.format = "n";
  null_node.length = 3;
  null_node.null_count = 3;
  const ArrayRef nulls = t::column(null_node);
  auto same = encrypt_column(EncryptKey(kKey, std::nullopt), nulls, "c");
  ASSERT_TRUE(same.ok());
  EXPECT_EQ(same.value(), nulls);

  const ArrayRef dict = t::column(t::dictionary_indexed("c", {2, std::nullopt, 2}, t::utf8({std::string("a"), std::string("b"), std::string("c")})));
  auto out = pseudonym_column(PseudonymKey(kKey, std::nullopt), dict, "c");
  ASSERT_TRUE(out.ok()) << out.error();
  EXPECT_EQ(t::rows_of(*out.value()->dictionary),
            (Rows{std::nullopt, std::nullopt, keyed_hash::oracle::hmac_sha256(kKey, "c")}));
  EXPECT_EQ(out.value()->dictionary->null_count, 2);
}

// One prepared key serves several threads at once, each getting the tokens
// one thread alone gets.
TEST(CipherColumnShapes, OneKeySharedByThreads) {
  const EncryptKey key(kKey, Context("shared"));
  const FpeKey fpe = digits_key(Context("shared"));
  Rows rows;
  for (int i = 0; i < 200; ++i) rows.emplace_back("4111-" + std::to_string(1000000 + i * 7919));
  const ArrayRef in = t::column(t::utf8(rows));
  const Rows sealed = t::rows_of(*encrypt_column(key, in, "c").value());
  const Rows formatted = t::rows_of(*fpe_column(fpe, in, "c").value());
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int k = 0; k < 4; ++k) {
    threads.emplace_back([&] {
      for (int round = 0; round < 10; ++round) {
        if (t::rows_of(*encrypt_column(key, in, "c").value()) != sealed) ++wrong;
        if (t::rows_of(*fpe_column(fpe, in, "c").value()) != formatted) ++wrong;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace quillon::mask_engine
