// Masks one record batch of 2,000,000 rows and prints rows/s (best of 3).
//   pipeline_bench single   one hashed Utf8 column
//   pipeline_bench four     hash, redact, null and pass-through columns
//   pipeline_bench hashed4  four hashed columns
//   pipeline_bench small    small batches of two hashed columns, masked on
//                           the calling thread and on the pool, in turns:
//                           calling_thread_over_pool_<rows>= (time ratio;
//                           below 1, the calling thread is faster)
// The pool size comes from RAYON_NUM_THREADS, so pipeline_scaling.sh runs
// this once per thread count, in separate processes, over the same data.
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "mask_engine/pipeline.h"
#include "mask_engine/worker_pool.h"
#include "utf8_column.h"

using namespace quillon;  // NOLINT(build/namespaces): the layers by their short names

namespace {

// Best time of `calls` process_batch calls over batches of `rows` rows of
// two hashed columns, with the given calling-thread limit.
int small_batches() {
  using mask_engine::MaskPipeline;
  using mask_engine::PipelineBuilder;
  using mask_engine::Transform;
  for (std::int64_t rows : {16, 64, 256, 1024, 2048, 4096, 8192, 16384}) {
    std::vector<std::string> values;
    for (std::int64_t i = 0; i < rows; ++i) values.push_back("user" + std::to_string(i) + "@example.com");
    auto schema = std::make_shared<arrow_c::Schema>();
    schema->format = "+s";
    arrow_c::RecordBatch batch;
    batch.num_rows = rows;
    for (const char* name : {"a", "b"}) {
      auto field = std::make_shared<arrow_c::Schema>(*arrow_c::utf8_type());
      field->name = name;
      schema->children.push_back(std::move(field));
      batch.columns.push_back(utf8_column(values));
    }
    batch.schema = std::move(schema);
    const auto make = [](std::int64_t limit) {
      auto b = PipelineBuilder::add_column_transform(MaskPipeline::builder(), "a", Transform::Hash);
      b = PipelineBuilder::add_column_transform(std::move(b), "b", Transform::Hash);
      return std::move(PipelineBuilder::build(std::move(b)).value()).with_calling_thread_rows(limit);
    };
    const MaskPipeline inline_pipeline = make(INT64_MAX);
    const MaskPipeline pool_pipeline = make(0);
    const int calls = static_cast<int>(std::max<std::int64_t>(20, 200000 / rows));
    double best[2] = {1e9, 1e9};
    for (int round = 0; round < 7; ++round) {
      for (int k = 0; k < 2; ++k) {
        const MaskPipeline& p = k == 0 ? inline_pipeline : pool_pipeline;
        const auto t0 = std::chrono::steady_clock::now();
        for (int c = 0; c < calls; ++c) {
          if (!p.process_batch(batch, mask_engine::Key("benchmark-key")).ok()) return 1;
        }
        best[k] = std::min(best[k], std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
      }
    }
    std::printf("calling_thread_over_pool_%lld=%.3f\n", static_cast<long long>(rows), best[0] / best[1]);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  using mask_engine::Transform;
  if (argc > 1 && std::strcmp(argv[1], "small") == 0) return small_batches();
  const bool four = argc > 1 && std::strcmp(argv[1], "four") == 0;
  const bool hashed4 = argc > 1 && std::strcmp(argv[1], "hashed4") == 0;
  constexpr std::int64_t kRows = 2000000;
  std::vector<std::string> values;
  values.reserve(kRows);
  for (std::int64_t i = 0; i < kRows; ++i) values.push_back("user" + std::to_string(i) + "@example.com");
  const arrow_c::ArrayRef column = utf8_column(values);
  if (!column) return 1;

  auto b = mask_engine::MaskPipeline::builder();
  auto schema = std::make_shared<arrow_c::Schema>();
  schema->format = "+s";
  arrow_c::RecordBatch batch;
  batch.num_rows = kRows;
  const char* names[] = {"hash", "redact", "null", "pass_through"};
  const Transform kinds[] = {Transform::Hash, Transform::Redact, Transform::Null,
                             Transform::PassThrough};
  const int columns = four || hashed4 ? 4 : 1;
  for (int c = 0; c < columns; ++c) {
    auto field = std::make_shared<arrow_c::Schema>(*arrow_c::utf8_type());
    field->name = names[c];
    schema->children.push_back(std::move(field));
    batch.columns.push_back(column);
    b = mask_engine::PipelineBuilder::add_column_transform(std::move(b), names[c],
                                                           hashed4 ? Transform::Hash : kinds[c]);
  }
  batch.schema = std::move(schema);
  auto pipeline = mask_engine::PipelineBuilder::build(std::move(b));
  if (!pipeline.ok()) return 1;

  double best = 0;
  for (int rep = 0; rep < 3; ++rep) {
    const auto t0 = std::chrono::steady_clock::now();
    auto out = pipeline.value().process_batch(batch, mask_engine::Key("benchmark-key"));
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (!out.ok()) {
      std::fprintf(stderr, "%s\n", out.error().to_string().c_str());
      return 1;
    }
    best = std::max(best, kRows / s);
  }
  std::printf("threads=%zu columns=%d rows_per_s=%.0f\n", mask_engine::WorkerPool::global().size(),
              columns, best);
  return 0;
}
