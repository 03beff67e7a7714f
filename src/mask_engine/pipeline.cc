#include "mask_engine/pipeline.h"

#include <arrow/status.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "mask_engine/diag.h"
#include "mask_engine/worker_pool.h"

namespace mask_engine {
namespace {

constexpr std::string_view kTarget = "mask_engine::pipeline";

// Hash columns at least this long are cut into row ranges hashed on several
// threads. About 2 ms of hashing per range keeps the hand-off negligible.
constexpr std::int64_t kRowGrain = 16384;

bool falls_back_to_nulls(const MaskError& error) {
  return error.kind() == MaskError::Kind::UnsupportedDataType ||
         error.kind() == MaskError::Kind::MissingKey;
}

arrow::Status check_nullability(const arrow::Schema& schema, const arrow::ArrayVector& columns) {
  for (int i = 0; i < schema.num_fields(); ++i) {
    const auto& field = schema.field(i);
    if (!field->nullable() && columns[i]->null_count() > 0) {
      return arrow::Status::Invalid("column '", field->name(), "' is declared non-nullable but holds ",
                                    columns[i]->null_count(), " null value(s)");
    }
  }
  return arrow::Status::OK();
}

}  // namespace

PipelineBuilder PipelineBuilder::add_column_transform(PipelineBuilder builder,
                                                      std::string_view column,
                                                      Transform transform) {
  std::string name(column);
  if (builder.column_transforms_.count(name) != 0) throw DuplicateColumnError(name);
  builder.column_transforms_.emplace(std::move(name), transform);
  return builder;
}

MaskResult<MaskPipeline> PipelineBuilder::build(PipelineBuilder builder) {
  if (builder.column_transforms_.empty()) return MaskError::NoColumns();
  return MaskPipeline(std::move(builder.column_transforms_));
}

MaskResult<std::shared_ptr<arrow::RecordBatch>> MaskPipeline::process_batch(
    const std::shared_ptr<arrow::RecordBatch>& batch, const Key& key,
    std::int64_t first_position) const {
  if (batch->num_rows() == 0) return MaskError::EmptyBatch();

  std::shared_ptr<arrow::Schema> schema = batch->schema();
  // Boxed once here so worker threads only read.
  const arrow::ArrayVector& inputs = batch->columns();
  const int num_columns = batch->num_columns();
  arrow::ArrayVector outputs(static_cast<std::size_t>(num_columns));
  // A column whose output cannot be built at all fails the batch; the first
  // such column (by index) names the error.
  std::vector<std::optional<MaskError>> failures(static_cast<std::size_t>(num_columns));

  WorkerPool& pool = WorkerPool::global();
  const RangeRunner split_rows = [&pool](std::int64_t rows, const RangeBody& body) {
    const std::int64_t per_thread = rows / static_cast<std::int64_t>(pool.size());
    const std::int64_t grain = std::max(kRowGrain, per_thread / 4 + 1);
    const std::int64_t ranges = (rows + grain - 1) / grain;
    if (ranges <= 1) return body(0, rows);
    pool.parallel_for(ranges, [&](std::int64_t r) { body(r * grain, std::min(rows, (r + 1) * grain)); });
  };

  const auto column_step = [&](std::int64_t index) {
    const auto i = static_cast<std::size_t>(index);
    const auto& field = schema->field(static_cast<int>(index));
    auto it = column_transforms_.find(field->name());
    if (it == column_transforms_.end()) {
      outputs[i] = inputs[i];
      return;
    }
    auto masked = apply(it->second, inputs[i], key, first_position, &split_rows);
    if (masked.ok()) {
      outputs[i] = std::move(masked).value();
      return;
    }
    const MaskError& error = masked.error();
    if (!falls_back_to_nulls(error)) {
      failures[i] = std::move(masked).error();
      return;
    }
    QM_EVENT(Warn, kTarget, {"message", "transform failed, using null fallback"},
             {"column", field->name()}, {"error", error.to_string()});
    auto nulls = make_null_utf8(inputs[i]->length());
    if (!nulls.ok()) {
      failures[i] = MaskError::Arrow(nulls.status());
      return;
    }
    outputs[i] = std::move(nulls).ValueUnsafe();
  };

  if (num_columns == 1) {
    column_step(0);
  } else {
    pool.parallel_for(num_columns, column_step);
  }
  for (auto& failure : failures) {
    if (failure) return std::move(*failure);
  }

  if (num_columns == 0) {
    return MaskError::Arrow(arrow::Status::Invalid(
        "cannot build a record batch without columns: its row count comes from the first column"));
  }
  const std::int64_t rows = outputs[0]->length();
  auto out = arrow::RecordBatch::Make(schema, rows, std::move(outputs));
  arrow::Status st = out->Validate();
  if (st.ok()) st = check_nullability(*schema, out->columns());
  if (!st.ok()) return MaskError::Arrow(std::move(st));
  return out;
}

}  // namespace mask_engine
