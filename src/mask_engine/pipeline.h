// Masking pipeline: one Transform per column name, applied to whole record
// batches on the process-wide worker pool (small batches on the calling
// thread, see kCallingThreadRows).
//
// process_batch() returns a new batch under output_schema(), columns in
// input order: unconfigured and passed-through columns are the input's own
// arrays (shared, not copied; mask()'s Utf8 rule copies what it passes
// through), configured ones new arrays, on every
// maskable layout: Utf8, LargeUtf8, Utf8View, dictionaries over those
// (which leave as their value type when hashed or redacted), and Null. A
// column a transform cannot serve fails the batch; batch failures are
// MaskError values; the input is never changed and no partial batch is
// returned. A batch of zero rows masks to one of zero rows.
//
// The pipeline has one behaviour. What an entry promises beyond it is the
// plan's policy (stream.h), handed in as data: a ColumnRule per column and
// the output schema.
//
// A pipeline is immutable, so several threads may use one at once. Worker
// threads only read the input's arrays; no reference to an imported array
// is dropped on them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "arrow_c/array.h"
#include "mask_engine/cipher_columns.h"
#include "mask_engine/error.h"
#include "mask_engine/transform.h"

namespace quillon::mask_engine {

// A second transform for one column name. An internal failure, not a
// MaskError: it unwinds to the Python boundary.
class DuplicateColumnError : public std::logic_error {
 public:
  explicit DuplicateColumnError(const std::string& column)
      : std::logic_error("transform already configured for column '" + column + "'") {}
};

using ColumnTransforms = std::unordered_map<std::string, Transform>;

// What a value-bound column (Pseudonym, Encrypt, Fpe) takes besides its kind.
struct ValueBoundParams {
  std::optional<std::string> context;  // empty is no context
  std::optional<Alphabet> alphabet;    // Fpe's, checked when parsed
};

// The keys of a pipeline's value-bound columns, derived from the caller's
// key once (per stream), shared by every batch and thread, wiped when the
// last holder drops them.
struct ValueBoundKeys {
  std::unordered_map<std::string, std::unique_ptr<PseudonymKey>> pseudonym;
  std::unordered_map<std::string, std::unique_ptr<EncryptKey>> encrypt;
  std::unordered_map<std::string, std::unique_ptr<FpeKey>> fpe;
};

// How a configured column is masked, as the caller's policy decides:
//   - AnyLayout: apply_any(), the pipeline's own way;
//   - Utf8: apply(), mask()'s transform of plain Utf8 columns, which copies
//     what it passes through;
//   - NullFallback: not masked but replaced by an all-null Utf8 column, with
//     a warning event carrying `error`, the text of the error its transform
//     would meet. The output is Utf8 whatever the column's type, so it
//     passes the output's validation only where the output schema says
//     nullable Utf8.
struct ColumnRule {
  enum class Kind : std::uint8_t { AnyLayout, Utf8, NullFallback };
  Kind kind = Kind::AnyLayout;
  std::string error;
};
// One rule per column of the batch, by index; empty: AnyLayout for all.
using ColumnRules = std::vector<ColumnRule>;

using arrow_c::RecordBatch;

class MaskPipeline;

class PipelineBuilder {
 public:
  PipelineBuilder(PipelineBuilder&&) = default;
  PipelineBuilder& operator=(PipelineBuilder&&) = default;

  // Takes the builder over and hands it back with `column` added. Names are
  // exact byte strings. Throws DuplicateColumnError for a name already added,
  // whatever its transform.
  static PipelineBuilder add_column_transform(PipelineBuilder builder, std::string_view column,
                                              Transform transform);
  // The same for a value-bound transform and what it takes.
  static PipelineBuilder add_value_bound(PipelineBuilder builder, std::string_view column,
                                         Transform transform, ValueBoundParams params);

  // MaskError::NoColumns when nothing was added.
  static MaskResult<MaskPipeline> build(PipelineBuilder builder);

 private:
  friend class MaskPipeline;
  PipelineBuilder() = default;
  ColumnTransforms column_transforms_;
  std::unordered_map<std::string, ValueBoundParams> value_bound_;
};

class MaskPipeline {
 public:
  static PipelineBuilder builder() { return PipelineBuilder(); }

  MaskPipeline(MaskPipeline&&) = default;
  MaskPipeline& operator=(MaskPipeline&&) = default;

  // Masks one batch. `key` is handed to every transform; `first_position`
  // is added to every Hash row position, so a table masked batch by batch
  // gets positions counted over the whole table.
  //
  // Errors: the transform's own (UnsupportedDataType, MissingKey) for a
  // column it cannot serve; MaskError::Arrow when a column a transform
  // reads is malformed (its offsets), when a column cannot be built at all (its output would
  // pass the 32-bit offset reach, or memory ran out), or when the output
  // batch fails validation: field count, at least one column, equal
  // lengths, exact types, no null in a non-nullable field. An exception
  // thrown while a column is worked on is rethrown here once all work ended.
  MaskResult<RecordBatch> process_batch(const RecordBatch& batch, const Key& key,
                                        std::int64_t first_position = 0) const;
  // The same with the output schema given (a stream computes it once:
  // output_schema() of the batch's, or, under mask()'s policy, the batch's
  // own) and the rule of each column.
  MaskResult<RecordBatch> process_batch(const RecordBatch& batch, const Key& key,
                                        std::int64_t first_position,
                                        const arrow_c::SchemaRef& output_schema,
                                        const ColumnRules& rules = {}) const;

  // The schema of the batches process_batch() makes from batches of
  // `input`: a hashed or redacted dictionary column has its value type and
  // a column given the Null transform is nullable.
  arrow_c::SchemaRef output_schema(const arrow_c::SchemaRef& input) const;

  // A batch whose masked columns hold fewer than this many rows altogether
  // (rows times masked columns) is masked on the calling thread, column
  // after column: handing it to the pool and waiting for it (several futex
  // calls) costs more than the work. Larger batches spread their columns
  // over the pool. Measured with `pipeline_bench small` (two hashed
  // columns, two cores): the caller takes 0.35-0.65 of the pool's time up
  // to 256 rows a column, breaks even near 1,024, and is slower from 2,048.
  static constexpr std::int64_t kCallingThreadRows = 2048;
  // The same pipeline with another such limit: 0 sends every batch of
  // several columns to the pool; for tests and benchmarks.
  MaskPipeline with_calling_thread_rows(std::int64_t rows) &&;

  // Rows per slice of `batch` so that no masked column passes
  // `max_value_bytes`; the batch's row count when it fits whole. Columns
  // that fall back to nulls hold no bytes.
  std::int64_t rows_per_slice(const RecordBatch& batch, std::int64_t max_value_bytes,
                              const ColumnRules& rules = {}) const;

  const ColumnTransforms& column_transforms() const { return column_transforms_; }

  // A copy that also masks the field `field_name` as the configured column
  // `column` is masked, unless that name is configured already. For fields
  // that carry a configured column's values under another name (a pandas
  // index level named like a column is stored as "__index_level_N__").
  MaskPipeline with_alias(std::string_view field_name, const std::string& column) const;

  // The same pipeline with the keys of its value-bound columns derived from
  // `key` (none without a key: a stream refuses such a pipeline first).
  // Value-bound columns fail their batch (Invalid) until this was called.
  MaskPipeline with_keys(const Key& key) &&;
  // The inverse for the reversible columns: Encrypt and Fpe columns become
  // RevealEncrypt and RevealFpe ones, which give their plaintexts; every
  // other configured column is dropped from the pipeline and so passes
  // through as it is.
  MaskPipeline for_reveal() &&;

 private:
  friend class PipelineBuilder;
  explicit MaskPipeline(ColumnTransforms transforms) : column_transforms_(std::move(transforms)) {}
  MaskResult<ArrayRef> value_bound_column(Transform transform, const ArrayRef& column,
                                          const std::string& name, std::int64_t first_position) const;
  ColumnTransforms column_transforms_;
  std::unordered_map<std::string, ValueBoundParams> value_bound_;
  std::shared_ptr<const ValueBoundKeys> keys_;
  std::int64_t calling_thread_rows_ = kCallingThreadRows;
};

}  // namespace quillon::mask_engine
