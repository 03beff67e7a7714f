// Masking pipeline: one Transform per column name, applied to whole record
// batches on the process-wide worker pool (small batches on the calling
// thread, see kCallingThreadRows).
//
// process_batch() returns a new batch under the input's own schema object,
// columns in input order: unconfigured columns are the input's own arrays
// (shared, not copied), configured ones new arrays. A transform that fails on
// a column (no key for Hash, a column that is not Utf8) makes that column all
// null and emits one warning event; the batch goes on. Batch-level failures
// are MaskError values; the input is never changed and no partial batch is
// returned. A pipeline is immutable, so several threads may use one at once.
// Worker threads only read the input's arrays; no reference to an imported
// array is dropped on them.
//
// Two modes (Layouts), chosen per pipeline:
//   - Utf8WithNullFallback (the default, what mask() uses): apply() on Utf8
//     columns only; the fallback above; outputs under the input's schema.
//   - AnyStrict (the Arrow-native entry): apply_any() on every maskable
//     layout (Utf8, LargeUtf8, Utf8View, dictionaries over those, Null);
//     no fallback, any failure of a column fails the batch; outputs under
//     output_schema(), where a hashed or redacted dictionary column has its
//     value type and a column given the Null transform is nullable; a batch
//     of zero rows masks to one of zero rows.
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

enum class Layouts : std::uint8_t { Utf8WithNullFallback, AnyStrict };
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
  // Errors: MaskError::EmptyBatch for zero rows (nothing else is done, no
  // event); MaskError::Arrow when a column a transform reads is malformed
  // (its offsets), when a column cannot be built at all (its output would
  // pass the 32-bit offset reach, or memory ran out), or when the output
  // batch fails validation: field count, at least one column, equal
  // lengths, exact types, no null in a non-nullable field. An exception
  // thrown while a column is worked on is rethrown here once all work ended.
  MaskResult<RecordBatch> process_batch(const RecordBatch& batch, const Key& key,
                                        std::int64_t first_position = 0) const;
  // The same with the output schema given, as output_schema() made it for
  // the batch's schema (a stream computes it once).
  MaskResult<RecordBatch> process_batch(const RecordBatch& batch, const Key& key,
                                        std::int64_t first_position,
                                        const arrow_c::SchemaRef& output_schema) const;

  // The schema of the batches process_batch() makes from batches of
  // `input`: `input` itself in Utf8WithNullFallback mode.
  arrow_c::SchemaRef output_schema(const arrow_c::SchemaRef& input) const;

  // The same pipeline in `layouts` mode.
  MaskPipeline with_layouts(Layouts layouts) &&;
  Layouts layouts() const { return layouts_; }

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

  // Masks a table given as batches; positions count over the whole table.
  // Empty batches add nothing; MaskError::EmptyBatch when no batch has a
  // row. A batch
  // whose masked columns would pass `max_value_bytes` of string data (the
  // reach of 32-bit offsets) is cut into slices that fit, so the output may
  // hold more batches than the input, with the same tokens.
  MaskResult<std::vector<RecordBatch>> process_table(
      const std::vector<RecordBatch>& batches, const Key& key,
      std::int64_t max_value_bytes = arrow_c::kMaxUtf8Bytes) const;

  // Rows per slice of `batch` so that no masked column passes
  // `max_value_bytes`; the batch's row count when it fits whole.
  std::int64_t rows_per_slice(const RecordBatch& batch, std::int64_t max_value_bytes) const;

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
  // The inverse for the reversible columns: Encrypt and Fpe columns give
  // their plaintexts, every other configured column is dropped from the
  // pipeline and so passes through as it is.
  MaskPipeline for_reveal() &&;
  bool reveals() const { return reveal_; }

 private:
  friend class PipelineBuilder;
  explicit MaskPipeline(ColumnTransforms transforms, Layouts layouts = Layouts::Utf8WithNullFallback)
      : column_transforms_(std::move(transforms)), layouts_(layouts) {}
  MaskResult<ArrayRef> value_bound_column(Transform transform, const ArrayRef& column,
                                          const std::string& name, std::int64_t first_position) const;
  ColumnTransforms column_transforms_;
  std::unordered_map<std::string, ValueBoundParams> value_bound_;
  std::shared_ptr<const ValueBoundKeys> keys_;
  bool reveal_ = false;
  Layouts layouts_;
  std::int64_t calling_thread_rows_ = kCallingThreadRows;
};

}  // namespace quillon::mask_engine
