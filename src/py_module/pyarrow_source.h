// A pyarrow batch source: a BatchReader over a pyarrow
// RecordBatchReader (tables, record batches, IPC, CSV and dataset readers
// all arrive as one), checked batch by batch before the engine reads it.
//
// Why: pyarrow's IPC and CSV readers do not validate what they read, and the
// C Data Interface carries no buffer sizes, so a corrupt offset in any column
// would send the engine, or the writer that reads the output, past the
// producer's buffers. Each batch, as it is pulled:
//   - every column passes pyarrow's cheap validation (buffer sizes against
//     length and offset, first and last offsets against the values or the
//     child): complete for fixed-width layouts;
//   - a column that reaches the output with offsets, views, dictionary
//     indices, union type ids or run ends (an unconfigured or passed-through
//     one, at any depth, and a masked column of any layout but Utf8 and
//     LargeUtf8) also passes pyarrow's full validation, which checks each of
//     those: the cheap one checks none between the first and the last;
//   - a masked Utf8 or LargeUtf8 column gets its buffer sizes recorded
//     instead, which the engine checks every offset against as it reads;
//   - the batch's type must equal the reader's schema.
// A refusal is an Invalid error of the stream (ValueError in Python) that
// names the batch and the column; pyarrow's own text follows under the
// stream's rule for producer text.
//
// Threads: next() takes the GIL for the pull, the checks and the export, as
// pyarrow's own export of a Python reader does; the masking stream calls it
// from one thread at a time (the exported stream serialises its callers).
// The source drops its reader under the GIL.
#pragma once

#include <Python.h>

#include <functional>
#include <memory>
#include <vector>

#include "arrow_c/reader.h"
#include "mask_engine/pipeline.h"
#include "py_handle.h"

namespace quillon::py_module {

class PyarrowSource final : public arrow_c::BatchReader {
 public:
  // A source over `borrowed_reader`, a pyarrow.RecordBatchReader, whose
  // schema is read and copied here. Null with a Python error set on failure.
  // Called with the GIL held.
  static std::unique_ptr<PyarrowSource> open(PyObject* borrowed_reader);
  ~PyarrowSource() override;

  // Which columns get which check, from the transforms the stream applies.
  void plan_checks(const mask_engine::ColumnTransforms& transforms);

  const arrow_c::SchemaRef& schema() const override { return schema_; }
  Next next() override;

 private:
  enum class Check : std::uint8_t { Cheap, Full, Sized };
  PyarrowSource(PyRef reader, arrow_c::SchemaRef schema)
      : reader_(std::move(reader)), schema_(std::move(schema)) {}
  // The checks of one column; false with a Python error set.
  bool check_column(PyObject* borrowed_batch, std::size_t column, arrow_c::RecordBatch* imported);

  PyRef reader_;
  arrow_c::SchemaRef schema_;
  std::vector<Check> checks_;  // one per column
  std::int64_t batches_ = 0;   // pulled so far
};

// What the Arrow entry gives the stream for a caller that finds it busy:
// the wait runs with the GIL let go, whether the caller held it or not.
void wait_without_gil(const std::function<void()>& block);

// pyarrow's export of a RecordBatch (or array) into the two structs, which
// the caller owns; false with a Python error set.
bool export_to_c(PyObject* borrowed_obj, ArrowArray* array, ArrowSchema* schema);

// Gives column `column` of `imported` (the import of `borrowed_batch`, a
// pyarrow RecordBatch) the sizes of its buffers as pyarrow reports them, -1
// for an absent one: sizes pyarrow checked the offsets against and that no
// Python code can change (a buffer's contents may change, its size cannot).
// The node is copied shallowly, its buffers and children stay shared. Both
// ways in from pyarrow (mask() and the batch source) size their columns
// here. False with a Python error set.
bool record_buffer_sizes(PyObject* borrowed_batch, std::size_t column, arrow_c::RecordBatch& imported);

}  // namespace quillon::py_module
