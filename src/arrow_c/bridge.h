// Crossing the C Data Interface in both directions.
//
// import_record_batch takes a producer's schema and struct array over: on
// success and on failure alike both sources are left released (their
// contents now belong to the returned batch, or were released here). It
// copies the schema, checks the structure of every node (lengths, offsets,
// null counts, buffer and child counts against the format, dictionaries)
// and shares every buffer. Column buffers are not read here; what a
// transform reads is checked by read_utf8().
//
// Export gives every node its own private data and release callback, so a
// consumer may release or move out any child or dictionary on its own; a
// node that shares imported buffers keeps the imported root alive until it
// is released. Everything that can fail runs before the first output struct
// is written; on failure `out` is left untouched. Null counts going out are
// always exact.
#pragma once

#include <vector>

#include "arrow_c/abi.h"
#include "arrow_c/array.h"
#include "arrow_c/status.h"

namespace arrow_c {

Result<RecordBatch> import_record_batch(ArrowSchema* schema, ArrowArray* array);

// The same for a struct array of a schema copied before (a stream's): the
// same checks, the array taken over and left released on every path.
Result<RecordBatch> import_record_batch(const SchemaRef& schema, ArrowArray* array);

Status export_record_batch(const RecordBatch& batch, ArrowArray* out);

// A stream that yields `batches` in order, then ends. get_schema gives
// `schema`; every batch must carry it.
Status export_stream(SchemaRef schema, std::vector<RecordBatch> batches, ArrowArrayStream* out);

}  // namespace arrow_c
