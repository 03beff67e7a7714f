// Masking a stream of record batches: a reader over a reader
// (arrow_c/reader.h), for the Arrow-native entry (any producer: pyarrow,
// polars, DuckDB, pandas, files).
//
// The source is any BatchReader: a producer's C stream (import_stream), the
// Python entry's pyarrow source, which checks each batch against the buffer
// sizes pyarrow knows before it reaches the engine, or batches in memory.
//
// mask_reader takes the source over: on success and on failure alike it
// belongs to the result, or was released here. What follows is the
// FailClosed policy, that of quillon_mask.arrow; mask() takes NullFallback
// (see Policy). It checks the source's schema, fail closed, before any
// batch is read:
//   - every configured column must be a field of the schema; otherwise
//     Invalid "column 'x' is not in the data; its columns are: a, b, c";
//   - every configured column must be of a type that can be masked: Utf8,
//     LargeUtf8, Utf8View, a dictionary with an integer index over one of
//     those three, or Null; otherwise Invalid "column 'x' has type Int64,
//     which cannot be masked";
//   - Hash with no key: Invalid "HMAC key required for Hash transform";
//     Pseudonym, Encrypt or Fpe with no key: Invalid "a key is required for
//     the <type> transform" (pseudonym named first, then encrypt, then fpe);
//     a reveal with no key: Invalid "a key is required to reveal".
// The checks run in that order; among several missing columns the first in
// byte order of the names is named. A source whose schema cannot be read
// gives its own message, under the rule for producer text below. There is
// no null fallback on this path.
//
// On success the result is a reader whose schema is the output schema: the
// source's, with each hashed or redacted dictionary column replaced by its
// dictionary's value type (tokens are bound to positions, so a dictionary
// cannot be kept), and each column given the Null transform made nullable
// (a non-nullable field cannot hold its nulls); metadata, names and other
// nullability unchanged. Each next()
// pulls at most one source batch, masks it (on the worker pool unless it is
// small) with positions start + (rows of the stream before it) and hands it on; a batch whose
// Utf8 output would pass the 32-bit reach leaves as several batches, with
// the same tokens; the slices are masked one per next(). Positions go up
// to 2^63-1: a batch that would pass it ends the stream with an error. A
// batch of zero rows gives a batch of zero rows. Layouts out: the input's own for Utf8, LargeUtf8 and
// Utf8View; a dictionary becomes its value layout; Utf8View is never made
// from another layout. Null gives an all-null column of the input's type;
// PassThrough and unconfigured columns are the source's own arrays.
//
// A source error, an import failure or a masking failure is the reader's
// ArrowError; exported (arrow_c::export_stream) it ends the stream. The
// engine's own errors read as the engine renders them ("Invalid: ...",
// "arrow error: ...") and name columns, rows and sizes, never a value; a
// producer's text is relayed under arrow_c::producer_text(). Every imported
// struct is released exactly once on every path, including a consumer that
// stops early or never reads. A source batch is released where its last
// holder lets go: in next() or the reader's destructor, or, for columns an
// output batch shares (unconfigured and passed-through ones), where the
// consumer releases that batch.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "arrow_c/abi.h"
#include "arrow_c/array.h"
#include "arrow_c/reader.h"
#include "arrow_c/error.h"
#include "mask_engine/pipeline.h"

namespace quillon::mask_engine {

// What an entry promises, fixed with its plan; both run through this one
// reader, the same slicing, positions and worker pool.
enum class Policy : std::uint8_t {
  // quillon_mask.arrow, as described above: the schema checks, every
  // maskable layout, a column that cannot be masked fails its batch.
  FailClosed,
  // mask(): no schema checks (a configured column the data lacks is left
  // alone); Utf8 columns only, and a configured column that cannot be
  // masked (another type, Hash without a key) comes back all null with a
  // warning event (mask_call_rules() below); the output schema is
  // the source's, so such a column of another type than Utf8 fails its
  // batch's validation; batches of zero rows add nothing, and a source
  // without a single row ends with MaskError::EmptyBatch's text.
  NullFallback,
};

struct StreamSettings {
  // The HMAC key's bytes; nullopt: no key. The reader keeps its own copy
  // and wipes it when destroyed; this one is wiped on every path.
  std::optional<std::string> key;
  // Position of the stream's first row, 0 <= start < 2^63.
  std::int64_t start = 0;
  Policy policy = Policy::FailClosed;
  // The inverse stream (MaskPipeline::for_reveal): Encrypt and Fpe columns
  // give their plaintexts, every other column passes through as it is.
  // The keys of value-bound columns are derived once, when the reader is
  // made, either way.
  bool reveal = false;
};

// mask()'s policy for the columns of `schema`: configured plain Utf8
// columns are masked by apply(); other configured columns fall back to
// nulls with UnsupportedDataType's text (the column text "unknown", the
// type's name), and so do Hash columns with no key, with MissingKey's.
ColumnRules mask_call_rules(const arrow_c::Schema& schema, const MaskPipeline& pipeline, bool has_key);

arrow_c::ArrowResult<std::unique_ptr<arrow_c::BatchReader>> mask_reader(
    std::unique_ptr<arrow_c::BatchReader> source, MaskPipeline pipeline, StreamSettings settings);

// A producer's C stream masked into a C stream: import_stream, mask_reader
// and export_stream (callbacks serialised, a busy caller blocks), the source
// taken over on every path.
arrow_c::ArrowResult<Done> open_mask_stream(ArrowArrayStream* source, MaskPipeline pipeline,
                                 StreamSettings settings, ArrowArrayStream* out);

}  // namespace quillon::mask_engine
