#include "mask_engine/pipeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <tuple>
#include <mutex>
#include <vector>

#include "oracle.h"
#include "mask_engine/diag.h"
#include "mask_engine/stream.h"
#include "mask_engine/worker_pool.h"
#include "test_util.h"

namespace quillon::mask_engine {
namespace {

namespace t = arrow_c::testing;
using t::Rows;
using t::rows_of;
using t::utf8;

const Key kKey = Key("mykey1");

struct Captured {
  std::string target, module_path, file;
  int line;
  std::vector<std::pair<std::string, std::string>> fields;
};

// Installs a receiver for the test's lifetime and keeps what it gets.
class EventCapture {
 public:
  EventCapture() {
    diag::set_receiver([this](const diag::Event& e) {
      Captured c{std::string(e.target), std::string(e.module_path), std::string(e.file), e.line, {}};
      for (const auto& f : e.fields) c.fields.emplace_back(std::string(f.name), f.value);
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(std::move(c));
    });
  }
  ~EventCapture() { diag::clear_receiver(); }
  std::vector<Captured> events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }

 private:
  std::mutex mutex_;
  std::vector<Captured> events_;
};

MaskPipeline pipeline(std::initializer_list<std::pair<std::string, Transform>> columns) {
  auto b = MaskPipeline::builder();
  for (const auto& [name, t] : columns) b = PipelineBuilder::add_column_transform(std::move(b), name, t);
  auto p = PipelineBuilder::build(std::move(b));
  EXPECT_TRUE(p.ok());
  return std::move(p).value();
}

RecordBatch batch(std::vector<std::tuple<std::string, t::Node, bool>> columns) {
  std::vector<t::Node> nodes;
  for (auto& [name, node, nullable] : columns) nodes.push_back(t::named(node, name, nullable));
  return t::import(t::batch_node(std::move(nodes)));
}

// A batch masked as mask() masks it: under its own schema, with the columns
// mask()'s policy lets fall back to nulls.
MaskResult<RecordBatch> as_mask_call(const MaskPipeline& p, const RecordBatch& in, const Key& key,
                                     std::int64_t first_position = 0) {
  return p.process_batch(in, key, first_position, in.schema, mask_call_rules(*in.schema, p, key.has_value()));
}

const Rows kEmails = {std::string("alice@example.com"), std::nullopt, std::string("bob@example.com")};

TEST(PipelineBuilder, BuildNeedsAColumn) {
  auto empty = PipelineBuilder::build(MaskPipeline::builder());
  ASSERT_FALSE(empty.ok());
  EXPECT_EQ(empty.error().to_string(), "no columns specified for masking");
}

TEST(PipelineBuilder, SecondRegistrationOfANameThrows) {
  for (auto second : {Transform::Hash, Transform::Redact}) {
    auto b = PipelineBuilder::add_column_transform(MaskPipeline::builder(), "e'mail", Transform::Hash);
    b = PipelineBuilder::add_column_transform(std::move(b), "E'mail", Transform::Hash);  // case differs
    try {
      b = PipelineBuilder::add_column_transform(std::move(b), "e'mail", second);
      FAIL() << "duplicate accepted";
    } catch (const DuplicateColumnError& e) {
      EXPECT_STREQ(e.what(), "transform already configured for column 'e'mail'");
    }
  }
}

TEST(MaskPipeline, SharesUnconfiguredColumnsAndKeepsOrder) {
  auto in = batch({{"id", utf8({std::string("1"), std::string("2"), std::string("3")}), true},
                   {"email", utf8(kEmails), true},
                   {"city", utf8({std::string("Oslo"), std::nullopt, std::string("Rome")}), true}});
  EventCapture capture;
  auto out = pipeline({{"email", Transform::Hash}, {"absent", Transform::Redact}})
                 .process_batch(in, kKey)
                 .value();
  EXPECT_EQ(out.schema.get(), in.schema.get());
  EXPECT_EQ(out.columns[0].get(), in.columns[0].get());
  EXPECT_EQ(out.columns[2].get(), in.columns[2].get());
  EXPECT_NE(out.columns[1].get(), in.columns[1].get());
  EXPECT_EQ(rows_of(*out.columns[1]),
            (Rows{oracle::hmac_hex("mykey1", "0:alice@example.com"), std::nullopt,
                  oracle::hmac_hex("mykey1", "2:bob@example.com")}));
  EXPECT_EQ(rows_of(*in.columns[1]), kEmails);
  EXPECT_TRUE(capture.events().empty());
}

TEST(MaskPipeline, DuplicateNamesInBatchAreEachMasked) {
  auto in = batch({{"x", utf8(kEmails), true}, {"x", utf8(kEmails), true}});
  auto out = pipeline({{"x", Transform::Redact}}).process_batch(in, std::nullopt).value();
  const Rows redacted = {std::string("[REDACTED]"), std::nullopt, std::string("[REDACTED]")};
  EXPECT_EQ(rows_of(*out.columns[0]), redacted);
  EXPECT_EQ(rows_of(*out.columns[1]), redacted);
}

struct FailureCase {
  const char* name;
  std::function<RecordBatch()> input;
  Transform transform;
  Key key;
  // Empty: process_batch succeeds with the column all null.
  std::string error;
  std::vector<std::string> event_errors;
};

class PipelineFailures : public ::testing::TestWithParam<FailureCase> {};

TEST_P(PipelineFailures, ErrorsAndEvents) {
  const auto& c = GetParam();
  EventCapture capture;
  auto r = as_mask_call(pipeline({{"col", c.transform}}), c.input(), c.key);
  if (c.error.empty()) {
    ASSERT_TRUE(r.ok()) << r.error();
    const auto& col = r.value().columns[0];
    EXPECT_EQ(col->type->format, "u");
    EXPECT_EQ(col->null_count, col->length);
    EXPECT_NE(col->buffers[0], nullptr);
  } else {
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().to_string(), c.error);
  }
  auto events = capture.events();
  ASSERT_EQ(events.size(), c.event_errors.size());
  for (std::size_t i = 0; i < events.size(); ++i) {
    const auto& e = events[i];
    EXPECT_EQ(e.target, "mask_engine::pipeline");
    EXPECT_EQ(e.module_path, "mask_engine::pipeline");
    EXPECT_NE(e.file.find("pipeline.cc"), std::string::npos);
    EXPECT_GT(e.line, 0);
    using KV = std::pair<std::string, std::string>;
    EXPECT_EQ(e.fields, (std::vector<KV>{{"message", "transform failed, using null fallback"},
                                         {"column", "col"},
                                         {"error", c.event_errors[i]}}));
  }
}

const std::string kInt64Error = "unsupported data type for column 'unknown': Int64";

RecordBatch one_column(t::Node node, bool nullable = true) {
  return batch({{"col", std::move(node), nullable}});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PipelineFailures,
    ::testing::Values(
        FailureCase{"missing_key_falls_back", [] { return one_column(utf8(kEmails)); }, Transform::Hash,
                    std::nullopt, "", {"HMAC key required for Hash transform"}},
        FailureCase{"int64_type_mismatch", [] { return one_column(t::int64s({1, 2})); },
                    Transform::Redact, kKey,
                    "arrow error: Invalid: column 0 ('col') is Utf8 but its field is Int64", {kInt64Error}},
        FailureCase{"large_utf8_type_mismatch",
                    [] { return one_column(t::large_utf8({std::string("a")})); }, Transform::Hash, kKey,
                    "arrow error: Invalid: column 0 ('col') is Utf8 but its field is LargeUtf8",
                    {"unsupported data type for column 'unknown': LargeUtf8"}},
        FailureCase{"non_nullable_fallback",
                    [] { return one_column(utf8({std::string("a"), std::string("b")}), false); },
                    Transform::Hash, std::nullopt,
                    "arrow error: Invalid: column 0 ('col') is declared non-nullable but holds 2 nulls",
                    {"HMAC key required for Hash transform"}},
        FailureCase{"non_nullable_null_transform",
                    [] { return one_column(utf8({std::string("a")}), false); }, Transform::Null, kKey,
                    "arrow error: Invalid: column 0 ('col') is declared non-nullable but holds 1 null", {}},
        FailureCase{"malformed_offsets",
                    [] {
                      t::Node n = utf8({std::string("a"), std::string("b")});
                      n.buffers[1] = t::detail::bytes_of(std::vector<std::int32_t>{0, 9, 2});
                      return one_column(n);
                    },
                    Transform::Redact, kKey,
                    "arrow error: Invalid: column 0 ('col'): offsets decrease at row 1 (expected at least 9, found 2)",
                    {}},
        FailureCase{"rows_but_no_columns", [] { return batch({}); }, Transform::Hash, kKey,
                    "arrow error: Invalid: a record batch needs at least one column: its row count "
                    "comes from the first column",
                    {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MaskPipeline, TwoFailingColumnsTwoEvents) {
  EventCapture capture;
  auto in = batch({{"a", utf8(kEmails), true}, {"keep", utf8(kEmails), true}, {"b", utf8(kEmails), true}});
  auto r = as_mask_call(pipeline({{"a", Transform::Hash}, {"b", Transform::Hash}}), in, std::nullopt);
  ASSERT_TRUE(r.ok());
  std::vector<std::string> columns;
  for (const auto& e : capture.events()) columns.push_back(e.fields[1].second);
  std::sort(columns.begin(), columns.end());
  EXPECT_EQ(columns, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(r.value().columns[1].get(), in.columns[1].get());
}

Rows numbered_emails(int count) {
  Rows rows;
  for (int i = 0; i < count; ++i) {
    if (i % 11 == 0) {
      rows.emplace_back(std::nullopt);
    } else {
      rows.emplace_back("u" + std::to_string(i) + "@x.org");
    }
  }
  return rows;
}

// A large hashed column is cut into row ranges on the pool; bytes and
// positions must equal a single sequential pass.
TEST(MaskPipeline, LargeColumnSplitMatchesSequential) {
  const Rows rows = numbered_emails(100000);
  RecordBatch whole = batch({{"email", utf8(rows), true}, {"other", utf8(Rows(100000, std::string("o"))), true}});
  RecordBatch in = arrow_c::slice(whole, 3, 99990);
  auto out = pipeline({{"email", Transform::Hash}}).process_batch(in, kKey, 7).value();
  auto sequential = apply(Transform::Hash, *in.columns[0], kKey, 7).value();
  EXPECT_EQ(rows_of(*out.columns[0]), rows_of(*sequential));
  EXPECT_EQ(*rows_of(*out.columns[0])[1], oracle::hmac_hex("mykey1", "8:u4@x.org"));
}

// A batch below the calling-thread limit is masked column after column on
// the caller, starting no pool thread; the same batch sent to the pool
// gives the same bytes, as either entry masks it, sliced, with nulls and
// positions that do not start at 0.
TEST(MaskPipeline, SmallBatchOnCallingThreadMatchesPool) {
  const Rows rows = numbered_emails(48);
  RecordBatch whole = batch({{"email", utf8(rows), true},
                             {"name", utf8(rows), true},
                             {"phone", utf8(rows), true},
                             {"kept", utf8(rows), true},
                             {"n", t::int64s(std::vector<std::int64_t>(48, 5)), true}});
  const RecordBatch in = arrow_c::slice(whole, 5, 40);
  for (bool mask_call : {false, true}) {
    const auto configured = [] {
      return pipeline({{"email", Transform::Hash}, {"name", Transform::Redact}, {"phone", Transform::Null},
                       {"kept", Transform::PassThrough}});
    };
    const auto masked = [&](const MaskPipeline& p) {
      return mask_call ? as_mask_call(p, in, kKey, 1000) : p.process_batch(in, kKey, 1000);
    };
    const std::size_t threads_before = WorkerPool::global().started_threads();
    auto inline_out = masked(configured());
    ASSERT_TRUE(inline_out.ok()) << inline_out.error();
    if (threads_before == 0) {
      EXPECT_EQ(WorkerPool::global().started_threads(), 0u);
    }
    auto pool_out = masked(configured().with_calling_thread_rows(0));
    ASSERT_TRUE(pool_out.ok()) << pool_out.error();
    ASSERT_EQ(inline_out.value().columns.size(), pool_out.value().columns.size());
    for (std::size_t c = 0; c < 4; ++c) {
      EXPECT_EQ(rows_of(*inline_out.value().columns[c]), rows_of(*pool_out.value().columns[c])) << c;
    }
    EXPECT_EQ(inline_out.value().columns[4].get(), in.columns[4].get());
    EXPECT_EQ(*rows_of(*inline_out.value().columns[0])[1], oracle::hmac_hex("mykey1", "1001:u6@x.org"));
  }
}

// A table masked as the masking reader masks it: batches in order, each cut
// into the slices rows_per_slice() gives for `limit`, positions counting on.
std::vector<RecordBatch> mask_sliced(const MaskPipeline& p, const std::vector<RecordBatch>& batches,
                                     std::int64_t limit) {
  std::vector<RecordBatch> out;
  std::int64_t position = 0;
  for (const RecordBatch& b : batches) {
    const std::int64_t step = p.rows_per_slice(b, limit);
    for (std::int64_t at = 0; at < b.num_rows; at += step) {
      const std::int64_t rows = std::min(step, b.num_rows - at);
      auto masked = p.process_batch(arrow_c::slice(b, at, rows), kKey, position + at);
      EXPECT_TRUE(masked.ok()) << masked.error();
      if (masked.ok()) out.push_back(std::move(masked).value());
    }
    position += b.num_rows;
  }
  return out;
}

// Positions count over the whole table, however it is cut: into batches by
// the producer, or into slices because a column would pass the reach of
// 32-bit offsets (forced here with a small limit).
TEST(MaskPipeline, TableTokensDoNotDependOnBatchesOrSlices) {
  const Rows rows = numbered_emails(1000);
  const auto p = pipeline({{"email", Transform::Hash}, {"name", Transform::Redact}});
  RecordBatch whole = batch({{"email", utf8(rows), true}, {"name", utf8(rows), true}, {"n", t::int64s(std::vector<std::int64_t>(1000, 5)), true}});
  const std::vector<RecordBatch> one = {whole};
  const std::vector<RecordBatch> cut = {arrow_c::slice(whole, 0, 0), arrow_c::slice(whole, 0, 300), arrow_c::slice(whole, 300, 0),
                                        arrow_c::slice(whole, 300, 700)};
  auto expected = mask_sliced(p, one, arrow_c::kMaxUtf8Bytes);
  ASSERT_EQ(expected.size(), 1u);
  for (const auto& [batches, limit, count] :
       {std::tuple{one, arrow_c::kMaxUtf8Bytes, std::size_t{1}}, std::tuple{cut, arrow_c::kMaxUtf8Bytes, std::size_t{2}},
        std::tuple{one, std::int64_t{64 * 128}, std::size_t{8}}, std::tuple{cut, std::int64_t{64 * 299}, std::size_t{5}}}) {
    auto out = mask_sliced(p, batches, limit);
    ASSERT_EQ(out.size(), count);
    Rows tokens, names;
    for (const auto& b : out) {
      EXPECT_EQ(b.schema.get(), whole.schema.get());
      for (auto& r : rows_of(*b.columns[0])) tokens.push_back(r);
      for (auto& r : rows_of(*b.columns[1])) names.push_back(r);
    }
    EXPECT_EQ(tokens, rows_of(*expected[0].columns[0]));
    EXPECT_EQ(names, rows_of(*expected[0].columns[1]));
  }
  EXPECT_EQ(*rows_of(*expected[0].columns[0])[999],
            oracle::hmac_hex("mykey1", "999:u999@x.org"));
}

// The slice size comes from counts alone: 33,554,431 tokens of 64 bytes fit
// in one Utf8 array, one more does not. No data is allocated for this.
TEST(MaskPipeline, RowsPerSliceAtTheRealLimit) {
  RecordBatch shape = batch({{"email", utf8({}), true}, {"name", utf8({}), true}, {"n", t::int64s({}), true}});
  const auto hash = pipeline({{"email", Transform::Hash}});
  const auto redact = pipeline({{"name", Transform::Redact}, {"n", Transform::Hash}});
  for (const auto& [p, rows, per_slice] :
       {std::tuple{&hash, std::int64_t{33554431}, std::int64_t{33554431}},
        std::tuple{&hash, std::int64_t{33554432}, std::int64_t{33554431}},
        std::tuple{&hash, std::int64_t{34000000}, std::int64_t{33554431}},
        std::tuple{&redact, std::int64_t{34000000}, std::int64_t{34000000}},
        std::tuple{&redact, std::int64_t{300000000}, std::int64_t{214748364}}}) {
    shape.num_rows = rows;
    EXPECT_EQ(p->rows_per_slice(shape, arrow_c::kMaxUtf8Bytes), per_slice) << rows;
  }
}

TEST(Diagnostics, NothingFormattedWithoutReceiver) {
  int formatted = 0;
  auto field = [&] {
    ++formatted;
    return std::string("value");
  };
  diag::clear_receiver();
  QM_EVENT(Warn, "mask_engine::pipeline", {"f", field()});
  EXPECT_EQ(formatted, 0);
  {
    EventCapture capture;
    QM_EVENT(Warn, "mask_engine::pipeline", {"f", field()});
    EXPECT_EQ(formatted, 1);
    EXPECT_EQ(capture.events().size(), 1u);
  }
}

}  // namespace
}  // namespace quillon::mask_engine
