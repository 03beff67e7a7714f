#include "mask_engine/pipeline.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "mask_engine/diag.h"
#include "mask_engine/worker_pool.h"

namespace quillon::mask_engine {
namespace {

using arrow_c::ArrowError;
using arrow_c::ArrowResult;

constexpr std::string_view kTarget = "mask_engine::pipeline";

// Hash columns at least this long are cut into row ranges hashed on several
// threads. About 2 ms of hashing per range keeps the hand-off negligible.
constexpr std::int64_t kRowGrain = 16384;

const ColumnRule kAnyLayout;

const ColumnRule& rule_of(const ColumnRules& rules, std::size_t column) {
  return column < rules.size() ? rules[column] : kAnyLayout;
}

std::string column_label(std::size_t index, const arrow_c::Schema& field) {
  return "column " + std::to_string(index) + " ('" + field.name + "')";
}

// The checks a validating record batch construction makes.
ArrowResult<Done> validate_output(const arrow_c::Schema& schema, const std::vector<ArrayRef>& columns) {
  if (columns.size() != schema.children.size()) {
    return ArrowError::Invalid("expected " + std::to_string(schema.children.size()) +
                           " columns as the schema has fields, found " +
                           std::to_string(columns.size()));
  }
  if (columns.empty()) {
    return ArrowError::Invalid("a record batch needs at least one column: its row count comes from the first column");
  }
  const std::int64_t rows = columns[0]->length;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    const arrow_c::Schema& field = *schema.children[i];
    const arrow_c::Array& column = *columns[i];
    if (column.type.get() != &field && !arrow_c::same_type(*column.type, field)) {
      return ArrowError::Invalid(column_label(i, field) + " is " + arrow_c::type_name(*column.type) +
                             " but its field is " + arrow_c::type_name(field));
    }
    if (column.length != rows) {
      return ArrowError::Invalid(column_label(i, field) + " has " + std::to_string(column.length) +
                             " rows, expected " + std::to_string(rows));
    }
    if (!field.nullable()) {
      const std::int64_t nulls = arrow_c::exact_null_count(column);
      if (nulls > 0) {
        return ArrowError::Invalid(column_label(i, field) + " is declared non-nullable but holds " +
                               std::to_string(nulls) + (nulls == 1 ? " null" : " nulls"));
      }
    }
  }
  return Done{};
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

PipelineBuilder PipelineBuilder::add_value_bound(PipelineBuilder builder, std::string_view column,
                                                 Transform transform, ValueBoundParams params) {
  builder = add_column_transform(std::move(builder), column, transform);
  builder.value_bound_.emplace(std::string(column), std::move(params));
  return builder;
}

MaskResult<MaskPipeline> PipelineBuilder::build(PipelineBuilder builder) {
  if (builder.column_transforms_.empty()) return MaskError::NoColumns();
  MaskPipeline out(std::move(builder.column_transforms_));
  out.value_bound_ = std::move(builder.value_bound_);
  return out;
}

MaskPipeline MaskPipeline::with_alias(std::string_view field_name, const std::string& column) const {
  ColumnTransforms transforms = column_transforms_;
  auto found = column_transforms_.find(column);
  std::string name(field_name);
  if (found != column_transforms_.end()) transforms.emplace(name, found->second);
  MaskPipeline out(std::move(transforms));
  out.value_bound_ = value_bound_;
  auto params = value_bound_.find(column);
  if (params != value_bound_.end()) out.value_bound_.emplace(name, params->second);
  out.keys_ = keys_;
  out.calling_thread_rows_ = calling_thread_rows_;
  return out;
}

MaskPipeline MaskPipeline::with_keys(const Key& key) && {
  if (!key) return std::move(*this);
  auto keys = std::make_shared<ValueBoundKeys>();
  for (const auto& [name, params] : value_bound_) {
    const Transform transform = column_transforms_.at(name);
    Context context;
    if (params.context) context = std::string_view(*params.context);
    if (transform == Transform::Pseudonym) {
      keys->pseudonym.emplace(name, std::make_unique<PseudonymKey>(*key, context));
    } else if (transform == Transform::Encrypt || transform == Transform::RevealEncrypt) {
      keys->encrypt.emplace(name, std::make_unique<EncryptKey>(*key, context));
    } else {
      keys->fpe.emplace(name, std::make_unique<FpeKey>(*key, context, *params.alphabet));
    }
  }
  keys_ = std::move(keys);
  return std::move(*this);
}

MaskPipeline MaskPipeline::for_reveal() && {
  for (auto it = column_transforms_.begin(); it != column_transforms_.end();) {
    if (it->second == Transform::Encrypt) {
      (it++)->second = Transform::RevealEncrypt;
    } else if (it->second == Transform::Fpe) {
      (it++)->second = Transform::RevealFpe;
    } else {
      value_bound_.erase(it->first);
      it = column_transforms_.erase(it);
    }
  }
  return std::move(*this);
}

MaskResult<ArrayRef> MaskPipeline::value_bound_column(Transform transform, const ArrayRef& column,
                                                      const std::string& name,
                                                      std::int64_t first_position) const {
  if (!keys_) return MaskError::MissingKey();
  switch (transform) {
    case Transform::Pseudonym:
      return pseudonym_column(*keys_->pseudonym.at(name), column, name, first_position);
    case Transform::Encrypt:
      return encrypt_column(*keys_->encrypt.at(name), column, name, first_position);
    case Transform::RevealEncrypt:
      return reveal_column(*keys_->encrypt.at(name), column, name, first_position);
    case Transform::Fpe:
      return fpe_column(*keys_->fpe.at(name), column, name, first_position);
    case Transform::RevealFpe:
      return reveal_column(*keys_->fpe.at(name), column, name, first_position);
    default:
      return MaskError::Arrow(arrow_c::ArrowError::Invalid("not a value-bound transform"));
  }
}

MaskPipeline MaskPipeline::with_calling_thread_rows(std::int64_t rows) && {
  calling_thread_rows_ = rows;
  return std::move(*this);
}

arrow_c::SchemaRef MaskPipeline::output_schema(const arrow_c::SchemaRef& input) const {
  std::shared_ptr<arrow_c::Schema> out;
  for (std::size_t i = 0; i < input->children.size(); ++i) {
    const arrow_c::SchemaRef& field = input->children[i];
    auto it = column_transforms_.find(field->name);
    if (it == column_transforms_.end()) continue;
    arrow_c::SchemaRef changed = output_type(it->second, field);
    if (it->second == Transform::Null && !changed->nullable()) {
      auto nullable = std::make_shared<arrow_c::Schema>(*changed);
      nullable->flags |= ARROW_FLAG_NULLABLE;
      changed = std::move(nullable);
    }
    if (changed == field) continue;
    if (!out) out = std::make_shared<arrow_c::Schema>(*input);
    out->children[i] = std::move(changed);
  }
  return out ? arrow_c::SchemaRef(std::move(out)) : input;
}

MaskResult<RecordBatch> MaskPipeline::process_batch(const RecordBatch& batch, const Key& key,
                                                    std::int64_t first_position) const {
  return process_batch(batch, key, first_position, output_schema(batch.schema));
}

MaskResult<RecordBatch> MaskPipeline::process_batch(const RecordBatch& batch, const Key& key,
                                                    std::int64_t first_position,
                                                    const arrow_c::SchemaRef& output_schema,
                                                    const ColumnRules& rules) const {
  const arrow_c::SchemaRef& schema = batch.schema;
  const std::vector<ArrayRef>& inputs = batch.columns;
  const std::size_t num_columns = std::min(inputs.size(), schema->children.size());
  std::vector<ArrayRef> outputs(inputs.size());
  // A column whose output cannot be built at all fails the batch; the first
  // such column (by index) names the error.
  std::vector<std::optional<MaskError>> failures(num_columns);

  WorkerPool& pool = WorkerPool::global();
  const RangeRunner split_rows = [&pool](std::int64_t rows, const RangeBody& body) {
    const std::int64_t threads = static_cast<std::int64_t>(std::max<std::size_t>(pool.size(), 1));
    const std::int64_t grain = std::max(kRowGrain, rows / threads / 4 + 1);
    const std::int64_t ranges = (rows + grain - 1) / grain;
    if (ranges <= 1) return body(0, rows);
    pool.parallel_for(ranges, [&](std::int64_t r) { body(r * grain, std::min(rows, (r + 1) * grain)); });
  };

  const auto column_step = [&](std::int64_t index) {
    const auto i = static_cast<std::size_t>(index);
    const arrow_c::Schema& field = *schema->children[i];
    auto it = column_transforms_.find(field.name);
    if (it == column_transforms_.end()) {
      outputs[i] = inputs[i];
      return;
    }
    const ColumnRule& rule = rule_of(rules, i);
    if (rule.kind == ColumnRule::Kind::NullFallback) {
      QM_EVENT(Warn, kTarget, {"message", "transform failed, using null fallback"},
               {"column", field.name}, {"error", rule.error});
      auto nulls = arrow_c::make_null_utf8(inputs[i]->length);
      if (!nulls.ok()) {
        failures[i] = MaskError::Arrow(std::move(nulls).error());
        return;
      }
      outputs[i] = std::move(nulls).value();
      return;
    }
    const bool bound = value_bound(it->second);
    auto masked = bound ? value_bound_column(it->second, inputs[i], field.name, first_position)
                  : rule.kind == ColumnRule::Kind::Utf8
                      ? apply(it->second, *inputs[i], key, first_position, &split_rows)
                      : apply_any(it->second, inputs[i], key, first_position, &split_rows);
    if (masked.ok()) {
      outputs[i] = std::move(masked).value();
      return;
    }
    const MaskError& error = masked.error();
    // Value-bound errors name the column and row themselves.
    failures[i] = !bound && error.kind() == MaskError::Kind::Arrow
                      ? MaskError::Arrow(error.arrow_error().with_context(column_label(i, field)))
                      : std::move(masked).error();
  };

  std::int64_t masked_columns = 0;
  for (std::size_t i = 0; i < num_columns; ++i) {
    masked_columns += static_cast<std::int64_t>(column_transforms_.count(schema->children[i]->name));
  }
  std::int64_t work = 0;
  const bool small = !__builtin_mul_overflow(batch.num_rows, masked_columns, &work) && work < calling_thread_rows_;
  if (num_columns == 1 || small) {
    for (std::size_t i = 0; i < num_columns; ++i) column_step(static_cast<std::int64_t>(i));
  } else if (num_columns > 1) {
    pool.parallel_for(static_cast<std::int64_t>(num_columns), column_step);
  }
  for (auto& failure : failures) {
    if (failure) return std::move(*failure);
  }

  ArrowResult<Done> st = validate_output(*output_schema, outputs);
  if (!st.ok()) return MaskError::Arrow(std::move(st).error());
  RecordBatch out;
  out.schema = output_schema;
  out.num_rows = outputs[0]->length;
  out.columns = std::move(outputs);
  return out;
}

std::int64_t MaskPipeline::rows_per_slice(const RecordBatch& batch, std::int64_t max_value_bytes,
                                          const ColumnRules& rules) const {
  std::int64_t widest = 0;
  for (std::size_t i = 0; i < batch.schema->children.size(); ++i) {
    const arrow_c::Schema& field = *batch.schema->children[i];
    auto it = column_transforms_.find(field.name);
    if (it == column_transforms_.end() || rule_of(rules, i).kind == ColumnRule::Kind::NullFallback) continue;
    widest = std::max(widest, max_row_bytes_any(it->second, field));
  }
  std::int64_t bytes = 0;
  if (widest == 0 || (!__builtin_mul_overflow(batch.num_rows, widest, &bytes) && bytes <= max_value_bytes)) {
    return batch.num_rows;
  }
  return std::max<std::int64_t>(1, max_value_bytes / widest);
}

}  // namespace quillon::mask_engine
