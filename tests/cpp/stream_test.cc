// Masking a C stream: layouts and kinds against independent tokens,
// positions over the whole stream, the fail-closed checks, source errors
// and the release of every struct taken over.
#include "mask_engine/stream.h"

#include <gtest/gtest.h>

#include <climits>
#include <algorithm>
#include <functional>
#include <thread>
#include <string>
#include <utility>
#include <vector>

#include "masked_rows.h"
#include "oracle.h"
#include "test_util.h"

namespace quillon::mask_engine {
namespace {

namespace t = arrow_c::testing;
using arrow_c::RecordBatch;
using arrow_c::SchemaRef;
using t::Node;
using t::Rows;

const std::string kKey = "stream-key";
const char* const kNames[] = {"Hash", "Redact", "Null", "PassThrough"};

MaskPipeline pipeline_of(const std::vector<std::pair<std::string, Transform>>& columns) {
  PipelineBuilder builder = MaskPipeline::builder();
  for (const auto& [name, transform] : columns) {
    builder = PipelineBuilder::add_column_transform(std::move(builder), name, transform);
  }
  return std::move(PipelineBuilder::build(std::move(builder))).value();
}

StreamSettings settings(std::optional<std::string> key, std::int64_t start = 0) {
  StreamSettings s;
  s.key = std::move(key);
  s.start = start;
  return s;
}

// A stream opened over `source`; released when it goes.
struct Opened {
  ArrowArrayStream out{};
  arrow_c::ArrowResult<Done> status = Done{};
  Opened(t::SourceStream& source, MaskPipeline pipeline, StreamSettings s) {
    ArrowArrayStream in;
    source.export_to(&in);
    status = open_mask_stream(&in, std::move(pipeline), std::move(s), &out);
    EXPECT_EQ(in.release, nullptr) << "the source is taken over on every path";
  }
  ~Opened() {
    if (out.release != nullptr) out.release(&out);
  }
  // The open's error as text; empty when it opened.
  std::string error_text() const { return status.ok() ? std::string() : status.error().to_string(); }
  SchemaRef schema() {
    ArrowSchema c;
    EXPECT_EQ(out.get_schema(&out, &c), 0);
    auto copied = arrow_c::copy_schema(c);
    c.release(&c);
    return std::move(copied).value();
  }
  // 0 and a batch; 0 and nullopt at the end; an errno value.
  int next(const SchemaRef& schema, std::optional<RecordBatch>* batch) {
    ArrowArray c;
    c.release = nullptr;
    const int rc = out.get_next(&out, &c);
    batch->reset();
    if (rc != 0 || c.release == nullptr) return rc;
    auto imported = arrow_c::import_record_batch(schema, &c);
    EXPECT_TRUE(imported.ok()) << imported.error().to_string();
    if (imported.ok()) *batch = std::move(imported).value();
    return 0;
  }
  std::vector<RecordBatch> drain() {
    const SchemaRef s = schema();
    std::vector<RecordBatch> batches;
    std::optional<RecordBatch> b;
    while (next(s, &b) == 0 && b) batches.push_back(std::move(*b));
    return batches;
  }
};

// The rows of any column this engine reads or makes.
Rows decode(const arrow_c::Array& array) {
  if (array.type->format == "n") return Rows(static_cast<std::size_t>(array.length), std::nullopt);
  if (!array.dictionary) return t::rows_of(array);
  auto indices = arrow_c::read_dictionary_indices(array);
  EXPECT_TRUE(indices.ok()) << indices.error().to_string();
  const Rows values = t::rows_of(*array.dictionary);
  Rows out;
  for (std::int64_t i = 0; i < array.length; ++i) {
    out.push_back(indices.value().valid(i) ? values[static_cast<std::size_t>(indices.value().index[static_cast<std::size_t>(i)])]
                                           : std::nullopt);
  }
  return out;
}

// A dictionary column of `rows`: distinct values in first-seen order plus
// one null value; null rows alternate between a null index and an index of
// the null value.
Node dictionary(const char* format, const Rows& rows, const std::function<Node(const Rows&)>& values_layout) {
  Rows values;
  std::vector<std::optional<std::int64_t>> indices;
  bool null_index = true;
  for (const auto& r : rows) {
    if (!r) {
      indices.push_back(null_index ? std::nullopt : std::optional<std::int64_t>(-1));
      null_index = !null_index;
      continue;
    }
    auto at = std::find(values.begin(), values.end(), r);
    if (at == values.end()) at = values.insert(values.end(), r);
    indices.push_back(at - values.begin());
  }
  values.push_back(std::nullopt);
  for (auto& i : indices) {
    if (i && *i < 0) i = static_cast<std::int64_t>(values.size()) - 1;
  }
  return t::dictionary_indexed(format, indices, values_layout(values));
}

struct Layout {
  const char* name;
  std::function<Node(const Rows&)> make;
  std::string plain_format;  // what Hash and Redact give
};

Node null_column(const Rows& rows) {
  Node n;
  n.format = "n";
  n.length = static_cast<std::int64_t>(rows.size());
  n.null_count = n.length;
  return n;
}

const Layout kLayouts[] = {
    {"utf8", t::utf8, "u"},
    {"large_utf8", t::large_utf8, "U"},
    {"string_view", [](const Rows& r) { return t::string_views(r); }, "vu"},
    {"dict_int8_utf8", [](const Rows& r) { return dictionary("c", r, t::utf8); }, "u"},
    {"dict_uint8_utf8", [](const Rows& r) { return dictionary("C", r, t::utf8); }, "u"},
    {"dict_int16_large", [](const Rows& r) { return dictionary("s", r, t::large_utf8); }, "U"},
    {"dict_uint16_view", [](const Rows& r) { return dictionary("S", r, [](const Rows& v) { return t::string_views(v); }); }, "vu"},
    {"dict_int32_utf8", [](const Rows& r) { return dictionary("i", r, t::utf8); }, "u"},
    {"dict_uint32_view", [](const Rows& r) { return dictionary("I", r, [](const Rows& v) { return t::string_views(v, 1); }); }, "vu"},
    {"dict_int64_large", [](const Rows& r) { return dictionary("l", r, t::large_utf8); }, "U"},
    {"dict_uint64_utf8", [](const Rows& r) { return dictionary("L", r, t::utf8); }, "u"},
    {"null", null_column, "n"},
};

// Three batches, the middle one empty, so positions must carry over it.
const std::vector<Rows> kBatches = {
    {std::string("alice@example.com"), std::nullopt, std::string("")},
    {},
    {std::string("a value longer than twelve bytes"), std::string("bob"), std::nullopt,
     std::string("bob"), std::string("alice@example.com")},
};

struct LayoutCase {
  Layout layout;
  Transform transform;
};

class StreamLayouts : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(StreamLayouts, EveryBatchMaskedWithPositionsOverTheStream) {
  const auto& [layout, transform] = GetParam();
  const std::int64_t start = 1000;
  t::SourceStream source;
  for (const Rows& rows : kBatches) {
    std::vector<std::int64_t> ids;
    for (std::size_t i = 0; i < rows.size(); ++i) ids.push_back(static_cast<std::int64_t>(i) * 7);
    source.batches.push_back(t::batch_node({t::named(t::int64s(ids), "id"), t::named(layout.make(rows), "c")}));
  }
  source.schema = source.batches[0];
  source.schema.children[1].metadata = std::string("\x01\x00\x00\x00\x01\x00\x00\x00k\x01\x00\x00\x00v", 14);
  const int releases_before = t::producer_releases().load();
  {
    Opened opened(source, pipeline_of({{"c", transform}}), settings(kKey, start));
    ASSERT_TRUE(opened.status.ok()) << opened.error_text();
    const SchemaRef schema = opened.schema();
    const arrow_c::Schema& field = *schema->children[1];
    const bool plain = transform == Transform::Hash || transform == Transform::Redact;
    const Node in = layout.make({});
    EXPECT_EQ(field.format, plain ? layout.plain_format : in.format);
    EXPECT_EQ(field.dictionary != nullptr, !plain && in.dictionary != nullptr);
    EXPECT_EQ(field.metadata, source.schema.children[1].metadata);
    EXPECT_EQ(schema->children[0]->format, "l");

    const std::vector<RecordBatch> out = opened.drain();
    ASSERT_EQ(out.size(), kBatches.size());
    std::int64_t position = start;
    for (std::size_t b = 0; b < out.size(); ++b) {
      const Rows& rows = kBatches[b];
      const Rows expected = layout.plain_format == "n" ? Rows(rows.size(), std::nullopt)
                                                       : testing::masked_rows(transform, kKey, rows, position);
      position += static_cast<std::int64_t>(rows.size());
      ASSERT_EQ(out[b].columns.size(), 2u);
      EXPECT_EQ(decode(*out[b].columns[1]), expected) << "batch " << b;
      EXPECT_EQ(out[b].columns[1]->null_count,
                static_cast<std::int64_t>(std::count(expected.begin(), expected.end(), std::nullopt)));
      EXPECT_EQ(out[b].columns[0]->length, static_cast<std::int64_t>(rows.size()));
    }
    EXPECT_EQ(source.get_next_calls, 4);  // three batches and the end
  }
  EXPECT_EQ(source.releases, 1);
  EXPECT_EQ(t::producer_releases().load(), releases_before + 3);
}

std::vector<LayoutCase> layout_cases() {
  std::vector<LayoutCase> out;
  for (const Layout& l : kLayouts) {
    for (Transform tr : {Transform::Hash, Transform::Redact, Transform::Null, Transform::PassThrough}) {
      out.push_back({l, tr});
    }
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(Cases, StreamLayouts, ::testing::ValuesIn(layout_cases()), [](const auto& info) {
  return std::string(info.param.layout.name) + "_" + kNames[static_cast<int>(info.param.transform)];
});

Node one_column_batch(Node column, const char* name = "c") { return t::batch_node({t::named(std::move(column), name)}); }

struct ClosedCase {
  const char* name;
  Node schema;
  std::vector<std::pair<std::string, Transform>> transforms;
  std::optional<std::string> key;
  std::string message;
};

class StreamFailsClosed : public ::testing::TestWithParam<ClosedCase> {};

TEST_P(StreamFailsClosed, RefusedBeforeAnyBatchIsRead) {
  const ClosedCase& c = GetParam();
  t::SourceStream source;
  source.schema = c.schema;
  source.batches = {c.schema};
  Opened opened(source, pipeline_of(c.transforms), settings(c.key));
  ASSERT_FALSE(opened.status.ok());
  EXPECT_EQ(opened.error_text(), "Invalid: " + c.message);
  EXPECT_EQ(opened.out.release, nullptr);
  EXPECT_EQ(source.get_next_calls, 0);
  EXPECT_EQ(source.releases, 1);
}

Node three_columns() {
  return t::batch_node({t::named(t::utf8({std::string("a")}), "email"), t::named(t::int64s({1}), "n"),
                        t::named(t::utf8({std::string("b")}), "name")});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StreamFailsClosed,
    ::testing::Values(
        ClosedCase{"missing_column", three_columns(), {{"emial", Transform::Hash}}, kKey,
                   "column 'emial' is not in the data; its columns are: email, n, name"},
        ClosedCase{"first_missing_in_name_order", three_columns(),
                   {{"zz", Transform::Redact}, {"email", Transform::Hash}, {"aa", Transform::Redact}}, kKey,
                   "column 'aa' is not in the data; its columns are: email, n, name"},
        ClosedCase{"missing_before_type", three_columns(), {{"n", Transform::Redact}, {"x", Transform::Redact}},
                   kKey, "column 'x' is not in the data; its columns are: email, n, name"},
        ClosedCase{"int64", three_columns(), {{"n", Transform::PassThrough}}, kKey,
                   "column 'n' has type Int64, which cannot be masked"},
        ClosedCase{"dictionary_of_int64", one_column_batch(t::dictionary_indexed("i", {0}, t::int64s({5}))),
                   {{"c", Transform::Redact}}, kKey,
                   "column 'c' has type Dictionary(Int32, Int64), which cannot be masked"},
        ClosedCase{"list", one_column_batch(t::list_of(t::utf8({std::string("a")}), {0, 1})),
                   {{"c", Transform::Null}}, kKey, "column 'c' has type List(Utf8), which cannot be masked"},
        ClosedCase{"type_before_key", three_columns(), {{"n", Transform::Hash}}, std::nullopt,
                   "column 'n' has type Int64, which cannot be masked"},
        ClosedCase{"hash_without_key", three_columns(), {{"name", Transform::Redact}, {"email", Transform::Hash}},
                   std::nullopt, "HMAC key required for Hash transform"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StreamSettingsCheck, NegativeStartIsRefused) {
  t::SourceStream source;
  source.schema = three_columns();
  Opened opened(source, pipeline_of({{"email", Transform::Redact}}), settings(kKey, -1));
  EXPECT_EQ(opened.error_text(), "Invalid: expected a start position from 0 to 2^63-1, found -1");
  EXPECT_EQ(source.releases, 1);
}

Node email_batch(std::int64_t rows) {
  return one_column_batch(t::utf8(Rows(static_cast<std::size_t>(rows), std::string("x@y.z"))), "email");
}

// The consumer pulls; the stream reads one source batch per call and no
// further, and a source error ends it with the source's own text, less
// what may quote a value.
TEST(StreamSource, ErrorAtBatchThreeReachesTheConsumerAndEverythingIsReleasedOnce) {
  const std::pair<const char*, const char*> texts[] = {
      {"source broke at batch 3", "source broke at batch 3"},
      {"Invalid: bad row 7: bob@secret.com", "Invalid: bad row 7 [rest withheld: it may quote input values]"}};
  for (const auto& [text, relayed] : texts) {
    t::SourceStream source;
    source.schema = email_batch(1);
    for (int i = 0; i < 5; ++i) source.batches.push_back(email_batch(2));
    source.fail_at = 2;
    source.fail_message = text;
    const int releases_before = t::producer_releases().load();
    {
      Opened opened(source, pipeline_of({{"email", Transform::Hash}}), settings(kKey));
      ASSERT_TRUE(opened.status.ok());
      const SchemaRef schema = opened.schema();
      EXPECT_EQ(source.get_next_calls, 0) << "nothing is read before the first request";
      std::optional<RecordBatch> b;
      for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(opened.next(schema, &b), 0);
        ASSERT_TRUE(b);
        EXPECT_EQ(source.get_next_calls, i + 1) << "at most one batch ahead";
        EXPECT_EQ(decode(*b->columns[0])[1], oracle::token(kKey, 2 * i + 1, "x@y.z"));
      }
      EXPECT_EQ(opened.next(schema, &b), EIO);
      EXPECT_STREQ(opened.out.get_last_error(&opened.out), relayed);
      EXPECT_EQ(opened.next(schema, &b), EIO) << "the stream stays failed";
      EXPECT_EQ(source.get_next_calls, 3);
      b.reset();
    }
    EXPECT_EQ(source.releases, 1);
    EXPECT_EQ(t::producer_releases().load(), releases_before + 2);
  }
}

TEST(StreamSource, ReleasedEarlyOrUnreadReleasesTheSourceOnce) {
  for (int reads : {0, 1}) {
    t::SourceStream source;
    source.schema = email_batch(1);
    source.batches = {email_batch(3), email_batch(3), email_batch(3)};
    const int releases_before = t::producer_releases().load();
    {
      Opened opened(source, pipeline_of({{"email", Transform::Redact}}), settings(std::nullopt));
      ASSERT_TRUE(opened.status.ok()) << opened.error_text();
      if (reads > 0) {
        const SchemaRef schema = opened.schema();
        std::optional<RecordBatch> b;
        ASSERT_EQ(opened.next(schema, &b), 0);
      }
    }
    EXPECT_EQ(source.get_next_calls, reads);
    EXPECT_EQ(source.releases, 1);
    EXPECT_EQ(t::producer_releases().load(), releases_before + reads);
  }
}

TEST(StreamSource, BatchOfAnotherStructureIsAnError) {
  t::SourceStream source;
  source.schema = email_batch(1);
  Node bad = email_batch(2);
  bad.children[0].buffers.pop_back();  // two buffers for a Utf8 column
  source.batches = {email_batch(1), bad};
  Opened opened(source, pipeline_of({{"email", Transform::Redact}}), settings(std::nullopt));
  const SchemaRef schema = opened.schema();
  std::optional<RecordBatch> b;
  ASSERT_EQ(opened.next(schema, &b), 0);
  EXPECT_EQ(opened.next(schema, &b), EINVAL);
  EXPECT_STREQ(opened.out.get_last_error(&opened.out),
               "Invalid: column 0 ('email'): expected 3 buffers for format 'u', found 2");
}

TEST(StreamPositions, LastPositionIsTwoToThe63MinusOneAndNoFurther) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  t::SourceStream source;
  source.schema = email_batch(1);
  source.batches = {email_batch(3), email_batch(0), email_batch(1)};
  Opened opened(source, pipeline_of({{"email", Transform::Hash}}), settings(kKey, kMax - 2));
  const SchemaRef schema = opened.schema();
  std::optional<RecordBatch> b;
  ASSERT_EQ(opened.next(schema, &b), 0);
  EXPECT_EQ(decode(*b->columns[0]), (Rows{oracle::token(kKey, kMax - 2, "x@y.z"), oracle::token(kKey, kMax - 1, "x@y.z"),
                                          oracle::token(kKey, kMax, "x@y.z")}));
  ASSERT_EQ(opened.next(schema, &b), 0) << "a batch of zero rows still fits";
  EXPECT_EQ(b->num_rows, 0);
  EXPECT_EQ(opened.next(schema, &b), EINVAL);
  EXPECT_STREQ(opened.out.get_last_error(&opened.out),
               "Invalid: expected row positions below 2^63, found a batch of 1 rows from position "
               "9223372036854775808");
}

TEST(StreamSchema, NullTransformMakesANonNullableFieldNullable) {
  t::SourceStream source;
  Node root = t::batch_node({t::named(t::utf8({std::string("a")}), "email", /*nullable=*/false),
                             t::named(t::utf8({std::string("b")}), "name", /*nullable=*/false)});
  source.schema = root;
  source.batches = {root};
  Opened opened(source, pipeline_of({{"email", Transform::Null}, {"name", Transform::Hash}}), settings(kKey));
  const SchemaRef schema = opened.schema();
  EXPECT_TRUE(schema->children[0]->nullable());
  EXPECT_FALSE(schema->children[1]->nullable());
  const auto out = opened.drain();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(decode(*out[0].columns[0]), (Rows{std::nullopt}));
  EXPECT_EQ(decode(*out[0].columns[1]), (Rows{oracle::token(kKey, 0, "b")}));
}

// Output rows of one column of string data that the 32-bit reach limits.
struct SliceCase {
  const char* name;
  Node column;
  Transform transform;
  std::int64_t row_bytes;  // 0: no limit
};

class StreamSlices : public ::testing::TestWithParam<SliceCase> {};

TEST_P(StreamSlices, RowsPerSliceFollowTheOutputLayout) {
  const SliceCase& c = GetParam();
  const RecordBatch batch = t::import(one_column_batch(c.column));
  const MaskPipeline pipeline = pipeline_of({{"c", c.transform}});
  const std::int64_t expected = c.row_bytes == 0 ? batch.num_rows : 640 / c.row_bytes;
  EXPECT_EQ(pipeline.rows_per_slice(batch, 640), std::min(expected, batch.num_rows));
}

const Rows kThousand(1000, std::string("v"));

INSTANTIATE_TEST_SUITE_P(
    Cases, StreamSlices,
    ::testing::Values(SliceCase{"utf8_hash", t::utf8(kThousand), Transform::Hash, 64},
                      SliceCase{"utf8_redact", t::utf8(kThousand), Transform::Redact, 10},
                      SliceCase{"utf8_pass", t::utf8(kThousand), Transform::PassThrough, 0},
                      SliceCase{"large_hash", t::large_utf8(kThousand), Transform::Hash, 0},
                      SliceCase{"view_hash", t::string_views(kThousand), Transform::Hash, 64},
                      SliceCase{"view_redact_inline", t::string_views(kThousand), Transform::Redact, 0},
                      SliceCase{"dict_utf8_hash", dictionary("i", kThousand, t::utf8), Transform::Hash, 64},
                      SliceCase{"dict_large_redact", dictionary("i", kThousand, t::large_utf8), Transform::Redact, 0},
                      SliceCase{"dict_utf8_null", dictionary("i", kThousand, t::utf8), Transform::Null, 0}),
    [](const auto& info) { return std::string(info.param.name); });

struct ProducerTextCase {
  const char* text;
  const char* relayed;
};

class ProducerText : public ::testing::TestWithParam<ProducerTextCase> {};

// What may quote a value (the text after the first ": " past Arrow's status
// names) never reaches the consumer.
TEST_P(ProducerText, KeepsOnlyTheTextBeforeQuotedData) {
  EXPECT_EQ(arrow_c::producer_text(GetParam().text), GetParam().relayed);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProducerText,
    ::testing::Values(
        ProducerTextCase{"source broke at batch 3", "source broke at batch 3"},
        ProducerTextCase{"Invalid: CSV parse error: Expected 2 columns, got 3: 2,bob@secret.com,EXTRA",
                         "Invalid: CSV parse error [rest withheld: it may quote input values]"},
        ProducerTextCase{"IOError: Invalid: bad row: bob@secret.com",
                         "IOError: Invalid: bad row [rest withheld: it may quote input values]"},
        ProducerTextCase{"value bob@secret.com: too long",
                         "value bob@secret.com [rest withheld: it may quote input values]"},
        ProducerTextCase{"Invalid: ", "Invalid: "}, ProducerTextCase{"", ""}));

// Two consumers pulling at once get whole batches, each at its own
// positions: the stream serialises its callbacks (ThreadSanitizer checks
// the rest).
TEST(StreamThreads, TwoConsumersGetWholeBatchesAtTheirPositions) {
  constexpr int kBatches = 200;
  t::SourceStream source;
  source.schema = email_batch(1);
  for (int i = 0; i < kBatches; ++i) source.batches.push_back(email_batch(2));
  Opened opened(source, pipeline_of({{"email", Transform::Hash}}), settings(kKey));
  ASSERT_TRUE(opened.status.ok());
  const SchemaRef schema = opened.schema();
  std::vector<Rows> got[2];
  auto consume = [&](int me) {
    std::optional<RecordBatch> b;
    while (opened.next(schema, &b) == 0 && b) got[me].push_back(decode(*b->columns[0]));
  };
  std::thread other(consume, 1);
  consume(0);
  other.join();
  std::vector<bool> seen(kBatches, false);
  for (const auto& batches : got) {
    for (const auto& tokens : batches) {
      ASSERT_EQ(tokens.size(), 2u);
      int first = -1;
      for (int p = 0; p < 2 * kBatches && first < 0; p += 2) {
        if (tokens[0] == oracle::token(kKey, p, "x@y.z")) first = p;
      }
      ASSERT_GE(first, 0);
      EXPECT_EQ(tokens[1], oracle::token(kKey, first + 1, "x@y.z"));
      EXPECT_FALSE(seen[first / 2]);
      seen[first / 2] = true;
    }
  }
  EXPECT_EQ(std::count(seen.begin(), seen.end(), true), kBatches);
}

}  // namespace
}  // namespace quillon::mask_engine
