// Masking a stream of record batches: a source in, a C stream out, for the
// Arrow-native entry (any producer: pyarrow, polars, DuckDB, pandas, files).
//
// The source is either a producer's C stream (c_stream_source) or any other
// BatchSource, such as the Python entry's pyarrow source, which checks each
// batch against the buffer sizes pyarrow knows before it reaches the engine.
//
// open_mask_stream takes the source over: on success and on failure alike it
// belongs to the result, or was released here. It reads the source's schema
// once and, fail closed, before any batch is read:
//   - every configured column must be a field of the schema; otherwise
//     Invalid "column 'x' is not in the data; its columns are: a, b, c";
//   - every configured column must be of a type that can be masked: Utf8,
//     LargeUtf8, Utf8View, a dictionary with an integer index over one of
//     those three, or Null; otherwise Invalid "column 'x' has type Int64,
//     which cannot be masked";
//   - Hash with no key: Invalid "HMAC key required for Hash transform".
// The checks run in that order; among several missing columns the first in
// byte order of the names is named. A source whose schema cannot be read
// gives its own message, under the rule for producer text below. There is
// no null fallback on this path.
//
// On success `out` is a stream whose schema is the output schema: the
// source's, with each hashed or redacted dictionary column replaced by its
// dictionary's value type (tokens are bound to positions, so a dictionary
// cannot be kept), and each column given the Null transform made nullable
// (a non-nullable field cannot hold its nulls); metadata, names and other
// nullability unchanged. The pipeline runs in Layouts::AnyStrict mode. Each get_next
// pulls at most one source batch, masks it (on the worker pool unless it is
// small) with positions start + (rows of the stream before it) and hands it on; a batch whose
// Utf8 output would pass the 32-bit reach leaves as several batches, with
// the same tokens; the slices are masked one per get_next. Positions go up
// to 2^63-1: a batch that would pass it ends the stream with an error. A
// batch of zero rows gives a batch of zero rows. Layouts out: the input's own for Utf8, LargeUtf8 and
// Utf8View; a dictionary becomes its value layout; Utf8View is never made
// from another layout. Null gives an all-null column of the input's type;
// PassThrough and unconfigured columns are the source's own arrays.
//
// A source error, an import failure or a masking failure ends the stream:
// get_next returns an errno value and get_last_error the message, and every
// later get_next returns the same error. The engine's own errors read as the
// engine renders them ("Invalid: ...", "arrow error: ...") and name columns,
// rows and sizes, never a value. Every imported struct is released exactly
// once on every path, including a consumer that stops early or never reads.
//
// Producer text. A producer's own message may quote the data (a CSV reader
// quotes the row it could not parse), so a source error keeps the source's
// errno but only the text producer_text() leaves of its message: the text
// up to the first ": " after any leading Arrow status names ("Invalid: ",
// "IOError: ", ...), followed by " [rest withheld: it may quote input
// values]" when anything was cut. A message without ": " is kept whole.
//
// Threads: `out`'s callbacks may be called from any thread, with or without
// the Python GIL, and from several threads at once: they are serialised, so
// each call gets whole batches with the right positions. A caller that finds
// the stream busy waits through StreamSettings::wait (the Python entry lets
// go of the GIL there, as the busy caller may need it to pull from a pyarrow
// source or release its data). The source is pulled on the thread that
// calls into `out`. A source batch is released where its last holder lets
// go: in get_next or `out`'s release, or, for columns an output batch
// shares (unconfigured and passed-through ones), where the consumer
// releases that batch. `out`'s release must not race a call in progress.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "arrow_c/abi.h"
#include "arrow_c/array.h"
#include "arrow_c/status.h"
#include "mask_engine/pipeline.h"

namespace mask_engine {

// A source's failure as the consumer will see it: an errno value and the
// text for get_last_error (already past producer_text where it is foreign).
struct SourceFailure {
  int code = 0;
  std::string message;
};

// Where a masking stream's batches come from. Called by one thread at a time.
class BatchSource {
 public:
  virtual ~BatchSource() = default;
  // The schema of every batch; asked for once, when the stream opens.
  virtual arrow_c::Result<arrow_c::SchemaRef> schema() = 0;
  // The next batch, imported against `schema` (the one schema() gave);
  // nullopt at the end.
  virtual qm::Result<std::optional<arrow_c::RecordBatch>, SourceFailure> next(
      const arrow_c::SchemaRef& schema) = 0;
};

// A source over a producer's C stream, taken over (left released); its
// batches go through import_record_batch, which checks their structure.
std::unique_ptr<BatchSource> c_stream_source(ArrowArrayStream* stream);

// What may be relayed of a producer's message (see "Producer text" above).
std::string producer_text(std::string_view text);

struct StreamSettings {
  // The HMAC key's bytes; nullopt: no key. The stream keeps its own copy
  // and wipes it when released.
  std::optional<std::string> key;
  // Position of the stream's first row, 0 <= start < 2^63.
  std::int64_t start = 0;
  // Runs `block`, a wait for another caller of the stream to finish; empty:
  // `block` runs as it is.
  std::function<void(const std::function<void()>& block)> wait;
};

arrow_c::Status open_mask_stream(std::unique_ptr<BatchSource> source, MaskPipeline pipeline,
                                 StreamSettings settings, ArrowArrayStream* out);

// The same over a producer's C stream (c_stream_source).
arrow_c::Status open_mask_stream(ArrowArrayStream* source, MaskPipeline pipeline,
                                 StreamSettings settings, ArrowArrayStream* out);

}  // namespace mask_engine
