// Array and RecordBatch: shared, immutable, read-only views of Arrow data,
// whether imported from a producer or built here.
//
// An imported node points at the producer's buffers and keeps the imported
// root alive through `keep_alive`; a built node owns its buffers the same
// way. Nothing here copies a buffer. Arrays may be read from any thread;
// the last reference to an imported tree runs the producer's release
// callback, so drop those on a thread that may take the GIL.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "arrow_c/schema.h"
#include "arrow_c/error.h"

namespace quillon::arrow_c {

struct Array {
  SchemaRef type;
  std::int64_t length = 0;
  std::int64_t offset = 0;
  std::int64_t null_count = 0;  // -1: unknown (the producer's word; never trusted for sizing)
  std::vector<const void*> buffers;
  std::vector<std::shared_ptr<const Array>> children;
  std::shared_ptr<const Array> dictionary;
  std::shared_ptr<const void> keep_alive;
  // Bytes in each buffer, where the producer said (pyarrow knows them; the C
  // interface does not carry them): an upper bound for value ranges read
  // from offsets. Empty, or -1 for one buffer: unknown.
  std::vector<std::int64_t> buffer_sizes;
};
using ArrayRef = std::shared_ptr<const Array>;

struct RecordBatch {
  SchemaRef schema;  // a struct ("+s") whose children are the fields
  std::vector<ArrayRef> columns;
  std::int64_t num_rows = 0;
};

// Rows [offset, offset + length) of `array`; shares everything.
ArrayRef slice(const ArrayRef& array, std::int64_t offset, std::int64_t length);
RecordBatch slice(const RecordBatch& batch, std::int64_t offset, std::int64_t length);

// Set bits of `bitmap` in [bit_offset, bit_offset + length).
std::int64_t count_set_bits(const std::uint8_t* bitmap, std::int64_t bit_offset, std::int64_t length);

// The node's null count, counted from its validity bitmap when the
// producer left it unknown.
std::int64_t exact_null_count(const Array& array);


}  // namespace quillon::arrow_c
