#include "mask_engine/pipeline.h"

#include <arrow/api.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "keyed_hash/hmac.h"
#include "mask_engine/diag.h"
#include "test_util.h"

namespace mask_engine {
namespace {

using testing::Rows;
using testing::rows_of;
using testing::utf8;

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

std::shared_ptr<arrow::RecordBatch> batch(
    std::vector<std::tuple<std::string, std::shared_ptr<arrow::Array>, bool>> columns) {
  arrow::FieldVector fields;
  arrow::ArrayVector arrays;
  for (auto& [name, array, nullable] : columns) {
    fields.push_back(arrow::field(name, array->type(), nullable));
    arrays.push_back(array);
  }
  const std::int64_t rows = arrays.empty() ? 3 : arrays[0]->length();
  return arrow::RecordBatch::Make(arrow::schema(fields), rows, arrays);
}

const Rows kEmails = {std::string("alice@example.com"), std::nullopt, std::string("bob@example.com")};

TEST(PipelineBuilder, BuildNeedsAColumn) {
  auto empty = PipelineBuilder::build(MaskPipeline::builder());
  ASSERT_FALSE(empty.ok());
  EXPECT_EQ(empty.error().to_string(), "no columns specified for masking");
  auto one = PipelineBuilder::build(
      PipelineBuilder::add_column_transform(MaskPipeline::builder(), "email", Transform::Hash));
  ASSERT_TRUE(one.ok());
  EXPECT_EQ(one.value().column_transforms().size(), 1u);
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
  EXPECT_EQ(out->schema().get(), in->schema().get());
  EXPECT_EQ(out->column(0).get(), in->column(0).get());
  EXPECT_EQ(out->column(2).get(), in->column(2).get());
  EXPECT_NE(out->column(1).get(), in->column(1).get());
  EXPECT_EQ(rows_of(*out->column(1)),
            (Rows{quillon_hash::hmac_sha256("mykey1", "0:alice@example.com").value(), std::nullopt,
                  quillon_hash::hmac_sha256("mykey1", "2:bob@example.com").value()}));
  EXPECT_EQ(rows_of(*in->column(1)), kEmails);
  EXPECT_TRUE(capture.events().empty());
}

TEST(MaskPipeline, DuplicateNamesInBatchAreEachMasked) {
  auto in = batch({{"x", utf8(kEmails), true}, {"x", utf8(kEmails), true}});
  auto out = pipeline({{"x", Transform::Redact}}).process_batch(in, std::nullopt).value();
  const Rows redacted = {std::string("[REDACTED]"), std::nullopt, std::string("[REDACTED]")};
  EXPECT_EQ(rows_of(*out->column(0)), redacted);
  EXPECT_EQ(rows_of(*out->column(1)), redacted);
}

struct FailureCase {
  const char* name;
  std::shared_ptr<arrow::RecordBatch> input;
  Transform transform;
  Key key;
  // Empty: process_batch succeeds with the column all null.
  std::string error_prefix;
  std::vector<std::string> event_errors;
};

class PipelineFailures : public ::testing::TestWithParam<FailureCase> {};

TEST_P(PipelineFailures, ErrorsAndEvents) {
  const auto& c = GetParam();
  EventCapture capture;
  auto r = pipeline({{"col", c.transform}}).process_batch(c.input, c.key);
  if (c.error_prefix.empty()) {
    ASSERT_TRUE(r.ok()) << r.error();
    const auto& col = r.value()->column(0);
    EXPECT_TRUE(col->type()->Equals(arrow::utf8()));
    EXPECT_EQ(col->null_count(), col->length());
    EXPECT_NE(col->data()->buffers[0], nullptr);
  } else {
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().to_string().rfind(c.error_prefix, 0), 0u) << r.error();
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

INSTANTIATE_TEST_SUITE_P(
    Cases, PipelineFailures,
    ::testing::Values(
        FailureCase{"missing_key_falls_back", batch({{"col", utf8(kEmails), true}}), Transform::Hash,
                    std::nullopt, "", {"HMAC key required for Hash transform"}},
        FailureCase{"int64_type_mismatch", batch({{"col", testing::int64s({1, 2}), true}}),
                    Transform::Redact, kKey, "arrow error: Invalid: ", {kInt64Error}},
        FailureCase{"non_nullable_fallback",
                    batch({{"col", utf8({std::string("a"), std::string("b")}), false}}),
                    Transform::Hash, std::nullopt,
                    "arrow error: Invalid: column 'col' is declared non-nullable",
                    {"HMAC key required for Hash transform"}},
        FailureCase{"non_nullable_null_transform",
                    batch({{"col", utf8({std::string("a")}), false}}), Transform::Null, kKey,
                    "arrow error: Invalid: column 'col' is declared non-nullable", {}},
        FailureCase{"empty_batch_first",
                    batch({{"col", testing::int64s({}), true}}), Transform::Hash, std::nullopt,
                    "record batch has no rows", {}},
        FailureCase{"rows_but_no_columns", batch({}), Transform::Hash, kKey,
                    "arrow error: Invalid: ", {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MaskPipeline, TwoFailingColumnsTwoEvents) {
  EventCapture capture;
  auto in = batch({{"a", utf8(kEmails), true}, {"keep", utf8(kEmails), true}, {"b", utf8(kEmails), true}});
  auto r = pipeline({{"a", Transform::Hash}, {"b", Transform::Hash}}).process_batch(in, std::nullopt);
  ASSERT_TRUE(r.ok());
  std::vector<std::string> columns;
  for (const auto& e : capture.events()) columns.push_back(e.fields[1].second);
  std::sort(columns.begin(), columns.end());
  EXPECT_EQ(columns, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(r.value()->column(1).get(), in->column(1).get());
}

// A large hashed column is cut into row ranges on the pool; bytes and
// positions must equal a single sequential pass.
TEST(MaskPipeline, LargeColumnSplitMatchesSequential) {
  Rows rows;
  for (int i = 0; i < 100000; ++i) {
    if (i % 11 == 0) {
      rows.emplace_back(std::nullopt);
    } else {
      rows.emplace_back("u" + std::to_string(i) + "@x.org");
    }
  }
  auto column = utf8(rows)->Slice(3, 99990);
  auto in = batch({{"email", column, true}, {"other", utf8(Rows(99990, std::string("o"))), true}});
  auto out = pipeline({{"email", Transform::Hash}}).process_batch(in, kKey, 7).value();
  auto sequential = apply(Transform::Hash, column, kKey, 7).value();
  EXPECT_TRUE(out->column(0)->Equals(*sequential));
  EXPECT_EQ(*rows_of(*out->column(0))[1], quillon_hash::hmac_sha256("mykey1", "8:u4@x.org").value());
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
}  // namespace mask_engine
