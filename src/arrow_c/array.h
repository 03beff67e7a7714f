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
#include <string_view>
#include <vector>

#include "arrow_c/schema.h"
#include "arrow_c/status.h"

namespace arrow_c {

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

// A Utf8 column as a transform reads it. Built only by view_utf8(), which
// checks what the reads rely on; offsets are the slice's own (length + 1).
struct Utf8View {
  std::int64_t length = 0;
  const std::uint8_t* validity = nullptr;  // null: no null rows
  std::int64_t bit_offset = 0;             // bit of row 0 in `validity`
  const std::int32_t* offsets = nullptr;
  const char* data = nullptr;

  bool valid(std::int64_t i) const {
    return validity == nullptr ||
           ((validity[(bit_offset + i) >> 3] >> ((bit_offset + i) & 7)) & 1) != 0;
  }
  std::string_view value(std::int64_t i) const {
    return {data + offsets[i], static_cast<std::size_t>(offsets[i + 1] - offsets[i])};
  }

  // Holds the offsets when the producer's were not 4-byte aligned.
  std::vector<std::int32_t> aligned_offsets;
};

// Checks, for a column a transform reads: format "u", the buffers present,
// a first offset >= 0 and offsets that never decrease over the slice.
// Refusals say "expected X, found Y".
Result<Utf8View> view_utf8(const Array& array);

// A Utf8 array under construction: buffers allocated once (64-byte aligned)
// and written in place by the caller, then frozen into an Array.
class Utf8Builder {
 public:
  // CapacityError when `value_bytes` passes the reach of 32-bit offsets;
  // OutOfMemory when an allocation fails.
  static Result<Utf8Builder> allocate(std::int64_t length, std::int64_t value_bytes,
                                      bool with_validity);
  Utf8Builder(Utf8Builder&&) noexcept;
  Utf8Builder& operator=(Utf8Builder&&) noexcept;
  ~Utf8Builder();

  std::uint8_t* validity();  // null unless allocated with one
  std::int32_t* offsets();   // length + 1 entries
  char* values();

  ArrayRef finish(std::int64_t null_count) &&;

 private:
  struct Buffers;
  Utf8Builder(std::int64_t length, std::unique_ptr<Buffers> buffers);
  std::int64_t length_;
  std::unique_ptr<Buffers> buffers_;
};

// A Utf8 array of `length` rows, every row null: a zero bitmap, zero
// offsets and no value bytes.
Result<ArrayRef> make_null_utf8(std::int64_t length);

inline constexpr std::int64_t kMaxUtf8Bytes = 2147483647;

}  // namespace arrow_c
