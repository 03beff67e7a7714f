#include "mask_engine/transform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "oracle.h"
#include "test_util.h"

namespace quillon::mask_engine {
namespace {

namespace t = arrow_c::testing;
using t::Rows;
using t::rows_of;

ArrayRef utf8(const Rows& rows) { return t::column(t::utf8(rows)); }

const std::string kKey = "mykey1";

std::string token(std::int64_t pos, const std::string& value, const std::string& key = kKey) {
  return oracle::token(key, pos, value);
}

// What each kind must make of `rows`, positions starting at `first`.
Rows expected(Transform t, const Rows& rows, std::int64_t first = 0) {
  Rows out;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const auto& r = rows[i];
    if (!r || t == Transform::Null) {
      out.emplace_back(std::nullopt);
    } else if (t == Transform::Hash) {
      out.emplace_back(token(first + static_cast<std::int64_t>(i), *r));
    } else if (t == Transform::Redact) {
      out.emplace_back("[REDACTED]");
    } else {
      out.emplace_back(*r);
    }
  }
  return out;
}

struct InputCase {
  const char* name;
  Rows rows;
  std::int64_t slice_offset;  // -1: not sliced
  std::int64_t slice_length;
};

const Rows kMixed = {std::string("alice@example.com"), std::nullopt, std::string(""),
                     std::string("bob@example.com"), std::string("a:b:c"), std::nullopt,
                     std::string("Zo\xc3\xab \xe6\x97\xa5\xe6\x9c\xac"), std::string("alice@example.com"),
                     std::string(100, 'x'), std::string("last")};

const InputCase kInputs[] = {
    {"plain", {std::string("alice@example.com"), std::string("bob@example.com")}, -1, 0},
    {"mixed", kMixed, -1, 0},
    {"sliced_mid", kMixed, 3, 5},
    {"sliced_odd_bitmap", kMixed, 1, 9},
    {"all_null", {std::nullopt, std::nullopt, std::nullopt}, -1, 0},
    {"empty", {}, -1, 0},
    {"empty_strings", {std::string(""), std::string("")}, -1, 0},
    {"multibyte", {std::string("\xf0\x9f\x94\x91 key"), std::string("caf\xc3\xa9")}, -1, 0},
    {"colons", {std::string(":"), std::string("12:34"), std::string("::")}, -1, 0},
};

struct Case {
  Transform transform;
  InputCase input;
  std::int64_t first_position;
};

std::string case_name(const ::testing::TestParamInfo<Case>& info) {
  static const char* names[] = {"Hash", "Redact", "Null", "PassThrough"};
  return std::string(names[static_cast<int>(info.param.transform)]) + "_" + info.param.input.name +
         "_from" + std::to_string(info.param.first_position);
}

std::vector<Case> all_cases() {
  std::vector<Case> out;
  for (auto t : {Transform::Hash, Transform::Redact, Transform::Null, Transform::PassThrough}) {
    for (const auto& in : kInputs) out.push_back({t, in, 0});
  }
  out.push_back({Transform::Hash, kInputs[1], 1000});
  out.push_back({Transform::Hash, kInputs[2], 99});
  return out;
}

class TransformApply : public ::testing::TestWithParam<Case> {};

TEST_P(TransformApply, ProducesExpectedRowsInFreshUtf8Array) {
  const auto& c = GetParam();
  ArrayRef input = utf8(c.input.rows);
  Rows rows = c.input.rows;
  if (c.input.slice_offset >= 0) {
    input = arrow_c::slice(input, c.input.slice_offset, c.input.slice_length);
    rows = Rows(rows.begin() + c.input.slice_offset,
                rows.begin() + c.input.slice_offset + c.input.slice_length);
  }
  auto before = rows_of(*input);

  auto result = apply(c.transform, *input, Key(kKey), c.first_position);
  ASSERT_TRUE(result.ok()) << result.error();
  const arrow_c::Array& out = *result.value();
  ASSERT_EQ(out.type->format, "u");
  EXPECT_EQ(out.offset, 0);
  EXPECT_EQ(out.length, input->length);
  EXPECT_EQ(static_cast<const std::int32_t*>(out.buffers[1])[0], 0);
  EXPECT_EQ(rows_of(out), expected(c.transform, rows, c.first_position));
  EXPECT_EQ(out.null_count, c.transform == Transform::Null
                                ? out.length
                                : static_cast<std::int64_t>(std::count(rows.begin(), rows.end(), std::nullopt)));
  // A new array over buffers of its own; the input is untouched.
  for (const void* in_buf : input->buffers) {
    for (const void* out_buf : out.buffers) {
      if (in_buf != nullptr) {
        EXPECT_NE(in_buf, out_buf);
      }
    }
  }
  EXPECT_EQ(rows_of(*input), before);
}

INSTANTIATE_TEST_SUITE_P(Kinds, TransformApply, ::testing::ValuesIn(all_cases()), case_name);

TEST(TransformApply, NullKindHasZeroBitmapAndOffsets) {
  auto out = apply(Transform::Null, *utf8(kMixed), std::nullopt).value();
  ASSERT_NE(out->buffers[0], nullptr);
  const auto* bits = static_cast<const std::uint8_t*>(out->buffers[0]);
  EXPECT_EQ(arrow_c::count_set_bits(bits, 0, out->length), 0);
  const auto* offsets = static_cast<const std::int32_t*>(out->buffers[1]);
  for (std::int64_t i = 0; i <= out->length; ++i) EXPECT_EQ(offsets[i], 0);
}

// The producer's null count is a hint: nulls come from the bitmap, and the
// output is sized from it, whatever the count says.
TEST(TransformApply, NullsAreCountedFromTheBitmap) {
  for (std::int64_t claimed : {std::int64_t{0}, std::int64_t{-1}, std::int64_t{10}}) {
    t::Node n = t::utf8(kMixed);
    n.null_count = claimed;
    for (auto kind : {Transform::Hash, Transform::Redact, Transform::PassThrough}) {
      auto out = apply(kind, *t::column(n), Key(kKey)).value();
      EXPECT_EQ(rows_of(*out), expected(kind, kMixed)) << claimed;
      EXPECT_EQ(out->null_count, 2) << claimed;
    }
  }
}

// The decimal prefix carries across digit-count boundaries.
TEST(TransformApply, HashPositionsAcrossDigitBoundaries) {
  for (std::int64_t first : {std::int64_t{0}, std::int64_t{95}, std::int64_t{999990},
                             std::int64_t{999999999999990}, std::int64_t{9223372036854775795}}) {
    Rows rows(12, std::string("v"));
    auto out = rows_of(*apply(Transform::Hash, *utf8(rows), Key(kKey), first).value());
    EXPECT_EQ(out, expected(Transform::Hash, rows, first)) << first;
  }
}

struct ErrorCase {
  const char* name;
  t::Node column;
  Transform transform;
  Key key;
  std::string message;
};

class TransformErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(TransformErrors, RefusedWithExactMessage) {
  const auto& c = GetParam();
  auto r = apply(c.transform, *t::column(c.column), c.key);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(), c.message);
}

t::Node decreasing_offsets() {
  t::Node n = t::utf8({std::string("a"), std::string("b")});
  n.buffers[1] = t::detail::bytes_of(std::vector<std::int32_t>{0, 1000000, 2});
  return n;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TransformErrors,
    ::testing::Values(
        ErrorCase{"int64_before_key", t::int64s({1, 2}), Transform::Hash, std::nullopt,
                  "unsupported data type for column 'unknown': Int64"},
        ErrorCase{"int64_passthrough", t::int64s({1}), Transform::PassThrough, Key(kKey),
                  "unsupported data type for column 'unknown': Int64"},
        ErrorCase{"large_utf8", t::large_utf8({std::string("x")}), Transform::Redact, Key(kKey),
                  "unsupported data type for column 'unknown': LargeUtf8"},
        ErrorCase{"utf8_view", t::utf8_view("x"), Transform::Null, Key(kKey),
                  "unsupported data type for column 'unknown': Utf8View"},
        ErrorCase{"dictionary", t::dictionary_of({0}, t::utf8({std::string("x")})), Transform::Hash,
                  Key(kKey), "unsupported data type for column 'unknown': Dictionary(Int32, Utf8)"},
        ErrorCase{"missing_key", t::utf8({std::string("a")}), Transform::Hash, std::nullopt,
                  "HMAC key required for Hash transform"},
        ErrorCase{"missing_key_empty_array", t::utf8({}), Transform::Hash, std::nullopt,
                  "HMAC key required for Hash transform"},
        ErrorCase{"missing_key_before_offsets", decreasing_offsets(), Transform::Hash, std::nullopt,
                  "HMAC key required for Hash transform"},
        ErrorCase{"decreasing_offsets_hash", decreasing_offsets(), Transform::Hash, Key(kKey),
                  "arrow error: Invalid: offsets decrease at row 1 (expected at least 1000000, found 2)"},
        ErrorCase{"decreasing_offsets_copy", decreasing_offsets(), Transform::PassThrough, Key(kKey),
                  "arrow error: Invalid: offsets decrease at row 1 (expected at least 1000000, found 2)"}),
    [](const auto& info) { return std::string(info.param.name); });

// 33,554,432 non-null empty strings need 64 bytes of token each, one byte
// over the 32-bit reach: refused before any digest is computed. Only the
// input's offsets are allocated (128 MiB), not the 2 GiB output.
TEST(TransformCapacity, HashRefusesOutputPastInt32Offsets) {
  const std::int64_t rows = (std::int64_t{1} << 31) / 64;
  t::Node n;
  n.format = "u";
  n.length = rows;
  n.buffers = {std::nullopt, t::Bytes(static_cast<std::size_t>(rows + 1) * 4, 0), t::Bytes{}};
  auto r = apply(Transform::Hash, *t::column(n), Key(kKey));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), MaskError::Kind::Arrow);
  EXPECT_EQ(r.error().arrow_error().code(), arrow_c::ArrowError::Code::CapacityError) << r.error();
}

}  // namespace
}  // namespace quillon::mask_engine
