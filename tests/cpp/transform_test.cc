#include "mask_engine/transform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "masked_rows.h"
#include "test_util.h"

namespace quillon::mask_engine {
namespace {

namespace t = arrow_c::testing;
using t::Rows;
using t::rows_of;

ArrayRef utf8(const Rows& rows) { return t::column(t::utf8(rows)); }

const std::string kKey = "mykey1";

// What each kind must make of `rows`, positions starting at `first`.
Rows expected(Transform t, const Rows& rows, std::int64_t first = 0) {
  return testing::masked_rows(t, kKey, rows, first);
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
  // The decimal prefix carries across digit-count boundaries.
  const InputCase repeated{"repeated", Rows(12, std::string("v")), -1, 0};
  for (std::int64_t first : {std::int64_t{0}, std::int64_t{95}, std::int64_t{999990}, std::int64_t{999999999999990},
                             std::int64_t{9223372036854775795}}) {
    out.push_back({Transform::Hash, repeated, first});
  }
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
  // Offsets start at 0; a Null column has a bitmap of zeros and every offset 0.
  const auto* offsets = static_cast<const std::int32_t*>(out.buffers[1]);
  EXPECT_EQ(offsets[0], 0);
  if (c.transform == Transform::Null && out.length > 0) {
    ASSERT_NE(out.buffers[0], nullptr);
    EXPECT_EQ(arrow_c::count_set_bits(static_cast<const std::uint8_t*>(out.buffers[0]), 0, out.length), 0);
    EXPECT_EQ(offsets[out.length], 0);
  }
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
