// apply_any() on each layout (and apply(), which takes Utf8 alone):
// refusals with their messages, nulls that come
// from a dictionary's values, and what Utf8View and dictionary outputs look
// like once exported.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mask_engine/transform.h"
#include "oracle.h"
#include "test_util.h"

namespace quillon::mask_engine {
namespace {

namespace t = arrow_c::testing;
using t::Node;
using t::Rows;

const std::string kKey = "layout-key";

enum class Entry { Any, Utf8Only };  // apply_any() or apply()

struct ErrorCase {
  const char* name;
  Node column;
  Transform transform;
  Key key;
  std::string message;
  Entry entry = Entry::Any;
};

class LayoutErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(LayoutErrors, RefusedWithExactMessage) {
  const ErrorCase& c = GetParam();
  const ArrayRef column = t::column(c.column);
  auto r = c.entry == Entry::Any ? apply_any(c.transform, column, c.key) : apply(c.transform, *column, c.key);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(), c.message);
}

Node decreasing_offsets() {
  Node n = t::utf8({std::string("a"), std::string("b")});
  n.buffers[1] = t::detail::bytes_of(std::vector<std::int32_t>{0, 1000000, 2});
  return n;
}

Node views_with(std::int32_t length, std::int32_t buffer, std::int32_t offset) {
  Node n = t::string_views({std::string("a value longer than twelve")});
  std::int32_t view[4] = {length, 0, buffer, offset};
  std::memcpy(n.buffers[1]->data(), view, sizeof(view));
  return n;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LayoutErrors,
    ::testing::Values(
        ErrorCase{"int64", t::int64s({1}), Transform::PassThrough, Key(kKey),
                  "unsupported data type for column 'unknown': Int64"},
        ErrorCase{"binary", [] { Node n = t::utf8({std::string("a")}); n.format = "z"; return n; }(),
                  Transform::Redact, Key(kKey), "unsupported data type for column 'unknown': Binary"},
        ErrorCase{"dictionary_of_int64", t::dictionary_indexed("i", {0}, t::int64s({4})), Transform::Null, Key(kKey),
                  "unsupported data type for column 'unknown': Dictionary(Int32, Int64)"},
        ErrorCase{"type_before_key", t::int64s({1}), Transform::Hash, std::nullopt,
                  "unsupported data type for column 'unknown': Int64"},
        ErrorCase{"missing_key_large", t::large_utf8({std::string("a")}), Transform::Hash, std::nullopt,
                  "HMAC key required for Hash transform"},
        ErrorCase{"missing_key_null_type", [] { Node n; n.format = "n"; n.length = 2; n.null_count = 2; return n; }(),
                  Transform::Hash, std::nullopt, "HMAC key required for Hash transform"},
        ErrorCase{"index_past_dictionary",
                  t::dictionary_indexed("i", {0, 5}, t::utf8({std::string("a"), std::string("b")})),
                  Transform::Hash, Key(kKey),
                  "arrow error: Invalid: expected dictionary indices from 0 to 1, found 5 at row 1"},
        ErrorCase{"negative_index", t::dictionary_indexed("c", {-1}, t::utf8({std::string("a")})),
                  Transform::Redact, Key(kKey),
                  "arrow error: Invalid: expected dictionary indices from 0 to 0, found -1 at row 0"},
        ErrorCase{"uint64_index_past_int64", t::dictionary_indexed("L", {-1}, t::large_utf8({std::string("a")})),
                  Transform::Redact, Key(kKey),
                  "arrow error: Invalid: expected dictionary indices from 0 to 0, found 18446744073709551615 at row 0"},
        ErrorCase{"index_into_empty_dictionary", t::dictionary_indexed("S", {0}, t::utf8({})), Transform::Hash,
                  Key(kKey), "arrow error: Invalid: expected dictionary indices from 0 to -1, found 0 at row 0"},
        ErrorCase{"decreasing_large_offsets",
                  [] {
                    Node n = t::large_utf8({std::string("a"), std::string("b")});
                    n.buffers[1] = t::detail::bytes_of(std::vector<std::int64_t>{0, 9, 2});
                    return n;
                  }(),
                  Transform::Hash, Key(kKey),
                  "arrow error: Invalid: offsets decrease at row 1 (expected at least 9, found 2)"},
        ErrorCase{"view_buffer_index", views_with(26, 3, 0), Transform::Hash, Key(kKey),
                  "arrow error: Invalid: expected a data buffer index from 0 to 0 in the view of row 0, found 3"},
        ErrorCase{"view_past_its_buffer", views_with(26, 0, 1), Transform::Redact, Key(kKey),
                  "arrow error: Invalid: expected the view of row 0 within the 26 bytes of data buffer 0, found "
                  "bytes 1 to 27"},
        ErrorCase{"view_negative_length", views_with(-3, 0, 0), Transform::Hash, Key(kKey),
                  "arrow error: Invalid: expected a length of at least 0 in the view of row 0, found -3"},
        ErrorCase{"view_negative_size",
                  [] {
                    Node n = t::string_views({std::string("a value longer than twelve")});
                    n.buffers.back() = t::detail::bytes_of(std::vector<std::int64_t>{-1});
                    return n;
                  }(),
                  Transform::Hash, Key(kKey),
                  "arrow error: Invalid: expected data buffer 0 to hold from 0 to 2^63-1 bytes, found -1"},
        // apply() refuses every layout but Utf8, the type before the key,
        // the key before the offsets.
        ErrorCase{"utf8_only_int64_before_key", t::int64s({1, 2}), Transform::Hash, std::nullopt,
                  "unsupported data type for column 'unknown': Int64", Entry::Utf8Only},
        ErrorCase{"utf8_only_int64", t::int64s({1}), Transform::PassThrough, Key(kKey),
                  "unsupported data type for column 'unknown': Int64", Entry::Utf8Only},
        ErrorCase{"utf8_only_large_utf8", t::large_utf8({std::string("x")}), Transform::Redact, Key(kKey),
                  "unsupported data type for column 'unknown': LargeUtf8", Entry::Utf8Only},
        ErrorCase{"utf8_only_view", t::string_views({std::string("x")}), Transform::Null, Key(kKey),
                  "unsupported data type for column 'unknown': Utf8View", Entry::Utf8Only},
        ErrorCase{"utf8_only_dictionary", t::dictionary_indexed("i", {0}, t::utf8({std::string("x")})),
                  Transform::Hash, Key(kKey), "unsupported data type for column 'unknown': Dictionary(Int32, Utf8)",
                  Entry::Utf8Only},
        ErrorCase{"utf8_only_missing_key", t::utf8({std::string("a")}), Transform::Hash, std::nullopt,
                  "HMAC key required for Hash transform", Entry::Utf8Only},
        ErrorCase{"utf8_only_missing_key_empty", t::utf8({}), Transform::Hash, std::nullopt,
                  "HMAC key required for Hash transform", Entry::Utf8Only},
        ErrorCase{"utf8_only_missing_key_before_offsets", decreasing_offsets(), Transform::Hash, std::nullopt,
                  "HMAC key required for Hash transform", Entry::Utf8Only},
        ErrorCase{"utf8_only_decreasing_offsets_hash", decreasing_offsets(), Transform::Hash, Key(kKey),
                  "arrow error: Invalid: offsets decrease at row 1 (expected at least 1000000, found 2)",
                  Entry::Utf8Only},
        ErrorCase{"utf8_only_decreasing_offsets_copy", decreasing_offsets(), Transform::PassThrough, Key(kKey),
                  "arrow error: Invalid: offsets decrease at row 1 (expected at least 1000000, found 2)",
                  Entry::Utf8Only}),
    [](const auto& info) { return std::string(info.param.name); });

// A row is null when its index is null or the value it points to is; an
// index under a null row is never read.
TEST(DictionaryRows, NullsFromIndicesAndFromValues) {
  const Rows values = {std::string("a"), std::nullopt, std::string("ccc")};
  for (const char* format : {"c", "C", "s", "S", "i", "I", "l", "L"}) {
    Node n = t::dictionary_indexed(format, {2, std::nullopt, 1, 0, std::nullopt, 2}, t::utf8(values));
    n.buffers[1]->at(t::Bytes::size_type{0}) = 2;  // row 0 stays index 2 in every width
    // Garbage under a null row, past the dictionary.
    const std::size_t width = n.buffers[1]->size() / 6;
    std::memset(n.buffers[1]->data() + width, 0x7F, width);
    auto r = apply_any(Transform::Hash, t::column(n), Key(kKey), 5);
    ASSERT_TRUE(r.ok()) << format << ": " << r.error();
    EXPECT_EQ(t::rows_of(*r.value()),
              (Rows{oracle::token(kKey, 5, "ccc"), std::nullopt, std::nullopt, oracle::token(kKey, 8, "a"),
                    std::nullopt, oracle::token(kKey, 10, "ccc")}))
        << format;
    EXPECT_EQ(r.value()->null_count, 3);
  }
}

// What a consumer sees: Utf8View keeps its variadic buffers (validity,
// views, data buffers, then their sizes); a dictionary made all null keeps
// its type with an empty dictionary.
struct ExportCase {
  const char* name;
  Node column;
  Transform transform;
  std::int64_t n_buffers;
  std::vector<std::int64_t> data_sizes;  // the sizes buffer, for Utf8View
  bool dictionary;
};

class ExportedLayouts : public ::testing::TestWithParam<ExportCase> {};

TEST_P(ExportedLayouts, BuffersAsTheFormatSays) {
  const ExportCase& c = GetParam();
  auto r = apply_any(c.transform, t::column(c.column), Key(kKey));
  ASSERT_TRUE(r.ok()) << r.error();
  arrow_c::RecordBatch batch;
  batch.schema = std::make_shared<arrow_c::Schema>(arrow_c::Schema{"+s", "", {}, 0, {r.value()->type}, nullptr});
  batch.columns = {r.value()};
  batch.num_rows = r.value()->length;
  ArrowArray out;
  ASSERT_TRUE(arrow_c::export_record_batch(batch, &out).ok());
  const ArrowArray& col = *out.children[0];
  EXPECT_EQ(col.n_buffers, c.n_buffers);
  EXPECT_EQ(col.null_count, r.value()->null_count);
  if (!c.data_sizes.empty() || r.value()->type->format == "vu") {
    const auto* sizes = static_cast<const std::int64_t*>(col.buffers[col.n_buffers - 1]);
    EXPECT_EQ(std::vector<std::int64_t>(sizes, sizes + c.data_sizes.size()), c.data_sizes);
  }
  EXPECT_EQ(col.dictionary != nullptr, c.dictionary);
  if (col.dictionary != nullptr) {
    EXPECT_EQ(col.dictionary->length, 0);
  }
  // Imported back, the rows read as the layout's reader reads them.
  arrow_c::SchemaRef type = batch.schema;
  auto back = arrow_c::import_record_batch(type, &out);
  ASSERT_TRUE(back.ok()) << back.error().to_string();
  if (!c.dictionary) {
    EXPECT_EQ(t::rows_of(*back.value().columns[0]), t::rows_of(*r.value()));
  }
}

const Rows kRows = {std::string("short"), std::nullopt, std::string("a value longer than twelve")};

INSTANTIATE_TEST_SUITE_P(
    Cases, ExportedLayouts,
    ::testing::Values(
        ExportCase{"view_hash", t::string_views(kRows), Transform::Hash, 4, {128}, false},
        ExportCase{"view_redact_inline", t::string_views(kRows), Transform::Redact, 3, {}, false},
        ExportCase{"view_null", t::string_views(kRows), Transform::Null, 3, {}, false},
        ExportCase{"dict_view_hash", t::dictionary_indexed("I", {0, std::nullopt, 2}, t::string_views(kRows)),
                   Transform::Hash, 4, {128}, false},
        ExportCase{"dict_null", t::dictionary_indexed("s", {0, 1, 0}, t::utf8(kRows)), Transform::Null, 2, {}, true},
        ExportCase{"large_redact", t::large_utf8(kRows), Transform::Redact, 3, {}, false}),
    [](const auto& info) { return std::string(info.param.name); });

// Hash straight from each layout: values whose "<position>:value" message
// sits on either side of the one-block edge (55 bytes) in one run, nulls
// between them, positions crossing a digit boundary, against OpenSSL's
// one-shot HMAC.
struct DriverCase {
  const char* name;
  Node (*make)(const Rows&);
  std::int64_t first_position;
};

Node dictionary_over_utf8(const Rows& rows) {
  // Reversed indices, so row i reads a value that is not at i.
  std::vector<std::optional<std::int64_t>> indices;
  Rows values(rows.rbegin(), rows.rend());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    indices.emplace_back(static_cast<std::int64_t>(rows.size() - 1 - i));
  }
  return t::dictionary_indexed("s", indices, t::utf8(values));
}

class HashDriver : public ::testing::TestWithParam<DriverCase> {};

TEST_P(HashDriver, TokensAroundTheOneBlockEdge) {
  const DriverCase& c = GetParam();
  Rows rows;
  for (std::size_t size = 0; size <= 70; ++size) {
    rows.emplace_back(std::string(size, static_cast<char>('a' + size % 26)));
    if (size % 7 == 3) rows.emplace_back(std::nullopt);
  }
  auto out = apply_any(Transform::Hash, t::column(c.make(rows)), Key(kKey), c.first_position);
  ASSERT_TRUE(out.ok()) << out.error().to_string();
  const Rows got = t::rows_of(*out.value());
  ASSERT_EQ(got.size(), rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::int64_t position = c.first_position + static_cast<std::int64_t>(i);
    if (!rows[i]) {
      EXPECT_FALSE(got[i]) << "row " << i;
    } else {
      EXPECT_EQ(got[i], std::optional<std::string>(oracle::token(kKey, position, *rows[i])))
          << "row " << i << ", value of " << rows[i]->size() << " bytes";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, HashDriver,
    ::testing::Values(DriverCase{"string", t::utf8, 0}, DriverCase{"string_digits", t::utf8, 9990},
                      DriverCase{"large_string", t::large_utf8, 99950},
                      DriverCase{"string_view", [](const Rows& r) { return t::string_views(r, 5); }, 950},
                      DriverCase{"dictionary", dictionary_over_utf8, 999999950},
                      DriverCase{"string_near_int64_max", t::utf8, 9223372036854775700}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillon::mask_engine
