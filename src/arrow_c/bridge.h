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
//
// Streams cross here and nowhere else (reader.h): import_stream makes a
// BatchReader of a producer's C stream, export_stream a C stream of a
// BatchReader.
#pragma once

#include <functional>
#include <memory>

#include "arrow_c/abi.h"
#include "arrow_c/array.h"
#include "arrow_c/reader.h"
#include "arrow_c/error.h"

namespace quillon::arrow_c {

ArrowResult<RecordBatch> import_record_batch(ArrowSchema* schema, ArrowArray* array);

// The same for a struct array of a schema copied before (a stream's): the
// same checks, the array taken over and left released on every path.
ArrowResult<RecordBatch> import_record_batch(const SchemaRef& schema, ArrowArray* array);

ArrowResult<Done> export_record_batch(const RecordBatch& batch, ArrowArray* out);

// A reader over a producer's C stream, taken over (left released on every
// path). Its schema is read and copied here, once; the producer's failure to
// give one is an Invalid error with what producer_text() leaves of its
// message. Each batch goes through import_record_batch against that schema;
// a failed get_next keeps the producer's errno and, under producer_text(),
// its message.
ArrowResult<std::unique_ptr<BatchReader>> import_stream(ArrowArrayStream* stream);

// Runs `block`, a wait for another caller of an exported stream to finish.
using StreamWait = std::function<void(const std::function<void()>& block)>;

// A C stream over `reader`, taken over. Its callbacks may be called from any
// thread and from several at once: they are serialised, so each call gets
// whole batches in order. A caller that finds the stream busy waits through
// `wait` (empty: it blocks as it is); the Python entry lets go of the GIL
// there, as the busy caller may need it. The reader is pulled on the thread
// that calls get_next. A failure of the reader (or an exception it throws:
// ENOMEM for std::bad_alloc, EIO for any other) ends the stream: get_next
// returns its errno and get_last_error its message, and every later
// get_next the same. `out`'s release must not race a call in progress.
ArrowResult<Done> export_stream(std::unique_ptr<BatchReader> reader, ArrowArrayStream* out,
                     StreamWait wait = {});

}  // namespace quillon::arrow_c
