// Masking a stream of record batches: a C stream in, a C stream out, for the
// Arrow-native entry (any producer: pyarrow, polars, DuckDB, pandas, files).
//
// open_mask_stream takes the producer's stream over: on success and on
// failure alike `source` is left released (its contents belong to the
// result, or were released here). It reads the source's schema once and,
// fail closed, before any batch is read:
//   - every configured column must be a field of the schema; otherwise
//     Invalid "column 'x' is not in the data; its columns are: a, b, c";
//   - every configured column must be of a type that can be masked: Utf8,
//     LargeUtf8, Utf8View, a dictionary with an integer index over one of
//     those three, or Null; otherwise Invalid "column 'x' has type Int64,
//     which cannot be masked";
//   - Hash with no key: Invalid "HMAC key required for Hash transform".
// The checks run in that order; among several missing columns the first in
// byte order of the names is named. A source whose get_schema fails gives
// its own message. There is no null fallback on this path.
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
// later get_next returns the same error. A source error keeps the source's
// own errno and text, with no prefix; the engine's own errors read as the
// engine renders them ("Invalid: ...", "arrow error: ..."). Every imported struct is released
// exactly once on every path, including a consumer that stops early or
// never reads.
//
// Threads: `out`'s callbacks may be called from any thread, with or without
// the Python GIL, one call at a time (as the C stream interface requires);
// they touch native data only. The source's callbacks run on the thread that
// calls into `out`. A source batch is released where its last holder lets
// go: in get_next or `out`'s release, or, for columns an output batch
// shares (unconfigured and passed-through ones), where the consumer
// releases that batch.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "arrow_c/abi.h"
#include "arrow_c/status.h"
#include "mask_engine/pipeline.h"

namespace mask_engine {

struct StreamSettings {
  // The HMAC key's bytes; nullopt: no key. The stream keeps its own copy
  // and wipes it when released.
  std::optional<std::string> key;
  // Position of the stream's first row, 0 <= start < 2^63.
  std::int64_t start = 0;
};

arrow_c::Status open_mask_stream(ArrowArrayStream* source, MaskPipeline pipeline,
                                 StreamSettings settings, ArrowArrayStream* out);

}  // namespace mask_engine
