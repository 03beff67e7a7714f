// Input memory that changes while a column is masked: the engine reads the
// validity and the bounds once, so writes stay in its own buffers and reads
// in the producer's declared ones (ASan checks both); the rows come out as
// they were when first read, or odd but in bounds.
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <string>
#include <vector>

#include "mask_engine/transform.h"
#include "masked_rows.h"
#include "test_util.h"

namespace quillon::mask_engine {
namespace {

namespace t = arrow_c::testing;
using t::Rows;

const std::string kKey = "read-once-key";

Rows expected(Transform transform, const Rows& rows) { return testing::masked_rows(transform, kKey, rows); }

template <typename T>
T* writable(const arrow_c::Array& array, int buffer) {
  return static_cast<T*>(const_cast<void*>(array.buffers[static_cast<std::size_t>(buffer)]));
}

template <typename Offset>
void set_offsets(const arrow_c::Array& array, const std::vector<Offset>& offsets) {
  Offset* out = writable<Offset>(array, 1);
  for (std::size_t i = 0; i < offsets.size(); ++i) out[i] = offsets[i];
}

struct Mutation {
  const char* name;
  std::function<t::Node()> input;
  std::function<void(const arrow_c::Array&)> mutate;  // runs after sizing, before the writes
  bool exact;  // the rows come out as they were read first
};

t::Node with_bitmap(t::Node n, std::uint8_t fill) {
  n.buffers[0] = t::Bytes(static_cast<std::size_t>((n.length + 7) / 8 + 1), fill);
  n.null_count = fill == 0 ? n.length : 0;
  return n;
}

Rows numbered(int count) {
  Rows rows;
  for (int i = 0; i < count; ++i) rows.emplace_back("v" + std::to_string(i));
  return rows;
}

template <typename Offset>
std::vector<Mutation> mutations() {
  constexpr const char* kFormat = sizeof(Offset) == 4 ? "u" : "U";
  auto node = [=](const Rows& rows) { return t::string_node<Offset>(kFormat, rows); };
  return {
      {"null_bits_turn_valid", [=] { return with_bitmap(node(Rows(100, std::string("x"))), 0); },
       [](const arrow_c::Array& a) { std::memset(writable<std::uint8_t>(a, 0), 0xFF, 13); }, true},
      {"valid_bits_turn_null", [=] { return with_bitmap(node(numbered(100)), 0xFF); },
       [](const arrow_c::Array& a) { std::memset(writable<std::uint8_t>(a, 0), 0, 13); }, true},
      {"last_offset_past_values", [=] { return node({std::string("a"), std::string("b")}); },
       [](const arrow_c::Array& a) { writable<Offset>(a, 1)[2] = 4000; }, true},
      {"last_offset_past_values_with_nulls",
       [=] { return node({std::string("a"), std::nullopt, std::string("bc")}); },
       [](const arrow_c::Array& a) { writable<Offset>(a, 1)[3] = 1 << 30; }, true},
      {"offsets_scrambled", [=] { return node(numbered(40)); },
       [](const arrow_c::Array& a) {
         Offset* o = writable<Offset>(a, 1);
         for (int i = 0; i <= 40; ++i) o[i] = i % 3 == 0 ? std::numeric_limits<Offset>::max() : -7 * i;
       },
       false},
      {"offsets_scrambled_with_nulls",
       [=] { return node({std::string("ab"), std::nullopt, std::string("cd"), std::string("ef")}); },
       [](const arrow_c::Array& a) { set_offsets<Offset>(a, {0, std::numeric_limits<Offset>::max(), -7, 3, 1}); },
       false},
  };
}

struct Case {
  std::string name;
  Mutation mutation;
  Transform transform;
};

std::vector<Case> cases() {
  std::vector<Case> out;
  const std::pair<const char*, std::vector<Mutation>> layouts[] = {{"utf8", mutations<std::int32_t>()},
                                                                   {"large_utf8", mutations<std::int64_t>()}};
  for (const auto& [layout, list] : layouts) {
    for (const Mutation& m : list) {
      for (Transform tr : {Transform::Hash, Transform::Redact, Transform::PassThrough}) {
        // Only mask()'s Utf8 path copies; elsewhere a pass-through is the input itself.
        if (tr == Transform::PassThrough && std::string(layout) != "utf8") continue;
        static const char* names[] = {"Hash", "Redact", "Null", "PassThrough"};
        out.push_back({std::string(layout) + "_" + m.name + "_" + names[static_cast<int>(tr)], m, tr});
      }
    }
  }
  return out;
}

class InputChangesWhileMasking : public ::testing::TestWithParam<Case> {};

TEST_P(InputChangesWhileMasking, WritesStayInOwnBuffersAndNullsAreThoseFirstRead) {
  const Case& c = GetParam();
  const t::Node node = c.mutation.input();
  const ArrayRef column = t::column(node);
  const Rows before = t::rows_of(*column);
  bool mutated = false;
  const RangeRunner hook = [&](std::int64_t rows, const RangeBody& body) {
    c.mutation.mutate(*column);
    mutated = true;
    body(0, rows);
  };
  // Both entries read the same way; apply() only takes Utf8.
  auto result = node.format == "u" ? apply(c.transform, *column, Key(kKey), 0, &hook)
                                   : apply_any(c.transform, column, Key(kKey), 0, &hook);
  ASSERT_TRUE(result.ok()) << result.error();
  ASSERT_TRUE(mutated) << "the writes of every kind run through the runner";
  const arrow_c::Array& out = *result.value();
  ASSERT_EQ(out.type->format, node.format);
  const Rows rows = t::rows_of(out);
  ASSERT_EQ(rows.size(), before.size());
  std::int64_t nulls = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].has_value(), before[i].has_value()) << "row " << i;
    nulls += rows[i] ? 0 : 1;
    if (rows[i] && c.transform == Transform::Hash) {
      EXPECT_EQ(rows[i]->size(), 64u);
    }
  }
  EXPECT_EQ(out.null_count, nulls);
  if (c.mutation.exact) {
    EXPECT_EQ(rows, expected(c.transform, before));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, InputChangesWhileMasking, ::testing::ValuesIn(cases()),
                         [](const auto& info) { return info.param.name; });

// Utf8View views and dictionary indices changing while a column is hashed:
// indices were read once, views are clamped into the data buffers as their
// sizes were read.
void set_every_view(const arrow_c::Array& a, std::int32_t length, std::int32_t buffer, std::int32_t offset) {
  auto* views = writable<std::uint8_t>(a, 1);
  const std::int32_t view[4] = {length, 0, buffer, offset};
  for (std::int64_t i = 0; i < a.offset + a.length; ++i) std::memcpy(views + 16 * i, view, sizeof(view));
}

const Rows kLongAndShort = {std::string("a value longer than twelve"), std::nullopt, std::string("short"),
                            std::string("another value past twelve bytes")};

const Mutation kHashMutations[] = {
    {"views_point_past_their_buffers", [] { return t::string_views(kLongAndShort, 1); },
     [](const arrow_c::Array& a) { set_every_view(a, 1 << 30, 0, 5); }, false},
    {"views_name_missing_buffers", [] { return t::string_views(kLongAndShort, 1); },
     [](const arrow_c::Array& a) { set_every_view(a, 100, 9, 0); }, false},
    {"views_negative", [] { return t::string_views(kLongAndShort, 1); },
     [](const arrow_c::Array& a) { set_every_view(a, -5, -1, -100); }, false},
    {"indices_leave_the_dictionary",
     [] { return t::dictionary_indexed("i", {1, std::nullopt, 0, 1}, t::utf8({std::string("a"), std::string("bc")})); },
     [](const arrow_c::Array& a) {
       auto* idx = writable<std::int32_t>(a, 1);
       for (int i = 0; i < 4; ++i) idx[i] = i % 2 == 0 ? 1000 : -1;
     },
     true},
    {"dictionary_offsets_grow",
     [] { return t::dictionary_indexed("C", {1, std::nullopt, 0, 1}, t::utf8({std::string("a"), std::string("bc")})); },
     [](const arrow_c::Array& a) { writable<std::int32_t>(*a.dictionary, 1)[2] = 1 << 30; }, true},
};

class ViewsAndIndicesChangeWhileHashing : public ::testing::TestWithParam<Mutation> {};

TEST_P(ViewsAndIndicesChangeWhileHashing, ReadsStayInTheDeclaredBuffers) {
  const Mutation& m = GetParam();
  const ArrayRef column = t::column(m.input());
  auto first = apply_any(Transform::Hash, column, Key(kKey));
  ASSERT_TRUE(first.ok()) << first.error();
  const Rows before = t::rows_of(*first.value());
  const RangeRunner hook = [&](std::int64_t rows, const RangeBody& body) {
    m.mutate(*column);
    body(0, rows);
  };
  auto r = apply_any(Transform::Hash, column, Key(kKey), 0, &hook);
  ASSERT_TRUE(r.ok()) << r.error();
  const Rows rows = t::rows_of(*r.value());
  ASSERT_EQ(rows.size(), before.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    ASSERT_EQ(rows[i].has_value(), before[i].has_value()) << "row " << i;
    if (rows[i]) {
      EXPECT_EQ(rows[i]->size(), 64u);
    }
  }
  if (m.exact) {
    EXPECT_EQ(rows, before);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ViewsAndIndicesChangeWhileHashing, ::testing::ValuesIn(kHashMutations),
                         [](const auto& info) { return std::string(info.param.name); });

struct SizeCase {
  const char* name;
  std::vector<std::int64_t> buffer_sizes;
  std::string message;  // empty: accepted
};

class KnownBufferSizes : public ::testing::TestWithParam<SizeCase> {};

// Rows "ab", "cd" at offset 1 of a three-row column "x", "ab", "cd": the
// slice reaches offsets 1..3 (16 bytes) and values up to byte 5.
TEST_P(KnownBufferSizes, OffsetsPastAKnownBufferAreRefused) {
  const SizeCase& c = GetParam();
  for (bool large : {false, true}) {
    const Rows rows = {std::string("x"), std::string("ab"), std::string("cd")};
    ArrayRef full = t::column(large ? t::large_utf8(rows) : t::utf8(rows));
    auto sized = std::make_shared<arrow_c::Array>(*full);
    sized->buffer_sizes = c.buffer_sizes;
    if (large && sized->buffer_sizes.size() > 1 && sized->buffer_sizes[1] >= 0) sized->buffer_sizes[1] *= 2;
    const ArrayRef column = arrow_c::slice(sized, 1, 2);
    auto r = apply_any(Transform::Redact, column, Key(kKey));
    const bool view_ok = large ? arrow_c::read_large_utf8(*column).ok() : arrow_c::read_utf8(*column).ok();
    std::string message = c.message;
    if (large && message.find("offsets buffer") != std::string::npos) {
      message = "expected an offsets buffer of at least 32 bytes, found 24";
    }
    if (message.empty()) {
      ASSERT_TRUE(r.ok()) << r.error();
      EXPECT_EQ(t::rows_of(*r.value()), (Rows{std::string("[REDACTED]"), std::string("[REDACTED]")}));
      EXPECT_TRUE(view_ok);
    } else {
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error().to_string(), "arrow error: Invalid: " + message) << (large ? "large" : "utf8");
      EXPECT_FALSE(view_ok);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KnownBufferSizes,
    ::testing::Values(SizeCase{"unknown", {}, ""}, SizeCase{"each_unknown", {-1, -1, -1}, ""},
                      SizeCase{"exact", {1, 16, 5}, ""},
                      SizeCase{"values_short", {-1, -1, 4},
                               "expected offsets within the 4-byte values buffer, found 5"},
                      SizeCase{"values_empty", {-1, -1, 0},
                               "expected offsets within the 0-byte values buffer, found 5"},
                      SizeCase{"offsets_short", {-1, 12, -1},
                               "expected an offsets buffer of at least 16 bytes, found 12"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillon::mask_engine
