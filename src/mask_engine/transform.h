// Transforms: the four masking kinds and their application to one column.
//
// apply() accepts exactly an Arrow Utf8 array (32-bit offsets) and returns a
// new Utf8 array of the same length; the input is never returned, never
// shared and never changed. Nulls stay null under every kind; an empty string
// is a value. The type check comes first, then Hash's key check (an empty key
// is a key), then the rows.
//
// Hash tokens are the hex HMAC-SHA-256 of "<position>:<value>", where the
// position is first_position plus the row's index in the array (in a sliced
// array, the index within the slice). A caller masking a table batch by batch
// passes the number of rows before the batch, so positions count over the
// whole table.
//
// Output is sized before any row is touched: if one call's string data would
// pass the 2,147,483,647-byte reach of 32-bit offsets, apply() returns
// MaskError::Arrow with Arrow's capacity error and hashes nothing.
// Thread-safe: apply() writes no shared state.
#pragma once

#include <arrow/array.h>
#include <arrow/status.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "mask_engine/error.h"

namespace mask_engine {

enum class Transform : std::uint8_t { Hash, Redact, Null, PassThrough };

using ArrayRef = std::shared_ptr<arrow::Array>;
// Absent and present-but-empty are different keys.
using Key = std::optional<std::string_view>;

// Runs body(begin, end) over disjoint ranges covering [0, rows) and returns
// once every range has run; it may run them in parallel. Lets a large Hash
// column use several threads while apply() stays independent of the pool.
using RangeBody = std::function<void(std::int64_t begin, std::int64_t end)>;
using RangeRunner = std::function<void(std::int64_t rows, const RangeBody& body)>;

MaskResult<ArrayRef> apply(Transform transform, const ArrayRef& column, const Key& key,
                           std::int64_t first_position = 0, const RangeRunner* runner = nullptr);

// A Utf8 array of `length` rows, every row null: validity bitmap of zeros,
// all offsets 0, no value bytes.
arrow::Result<ArrayRef> make_null_utf8(std::int64_t length);

// OK when `bytes` of string data fit one Utf8 array, else a capacity error.
arrow::Status check_output_capacity(std::int64_t bytes);

// The display name of a data type used in error texts: Int64, Float64,
// Boolean, Utf8, LargeUtf8, Utf8View, Dictionary(Int32, Utf8), ...
std::string data_type_name(const arrow::DataType& type);

}  // namespace mask_engine
