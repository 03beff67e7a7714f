// Transforms: the four masking kinds and their application to one column.
//
// apply() accepts exactly a Utf8 array (32-bit offsets) and returns a new
// Utf8 array of the same length over buffers of its own; the input is never
// returned, never shared and never changed. Nulls stay null under every
// kind, counted from the validity bitmap (a producer's null count is only a
// hint); an empty string is a value. The type check comes first, then Hash's
// key check (an empty key is a key), then the offsets of the rows it reads
// (first offset >= 0, never decreasing), then the rows.
//
// Hash tokens are the hex HMAC-SHA-256 of "<position>:<value>", where the
// position is first_position plus the row's index in the array (in a sliced
// array, the index within the slice). A caller masking a table batch by batch
// passes the number of rows before the batch, so positions count over the
// whole table.
//
// Output is sized before any row is touched: if one call's string data would
// pass the 2,147,483,647-byte reach of 32-bit offsets, apply() returns
// MaskError::Arrow with a capacity error and hashes nothing.
//
// apply_any() is the strict entry for every maskable layout (see below);
// it has no fallback: a type it cannot mask is UnsupportedDataType.
//
// Input read once: the validity bitmap is copied into the output's own
// bitmap and every later null test reads that copy; sizes come from the copy
// and writes go only through the output's own offsets; value ranges read
// from the input are clamped into the bounds its check saw (see
// arrow_c/strings.h). Input memory that changes while a column is masked
// gives odd values or an error, never a read or write out of bounds.
// Thread-safe: apply() only reads its input; the one state it shares is the
// process's cache of freed output buffers, which has its own lock.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "arrow_c/array.h"
#include "arrow_c/strings.h"
#include "mask_engine/error.h"

namespace quillon::mask_engine {

// Pseudonym, Encrypt and Fpe are bound to the value alone and need more
// than a kind (a context, an alphabet, derived keys): the pipeline runs them
// through cipher_columns.h, never through apply()/apply_any(), which refuse
// them as Invalid. RevealEncrypt and RevealFpe are their inverses, a token
// back to its plaintext under the same parameters; a reveal pipeline holds
// only those (MaskPipeline::for_reveal).
enum class Transform : std::uint8_t {
  Hash, Redact, Null, PassThrough, Pseudonym, Encrypt, Fpe, RevealEncrypt, RevealFpe
};
// How many kinds there are, for tables indexed by Transform.
inline constexpr int kTransformKinds = static_cast<int>(Transform::RevealFpe) + 1;

// Pseudonym, Encrypt, Fpe or one of the reveals.
constexpr bool value_bound(Transform t) {
  return t == Transform::Pseudonym || t == Transform::Encrypt || t == Transform::Fpe ||
         t == Transform::RevealEncrypt || t == Transform::RevealFpe;
}

using ArrayRef = arrow_c::ArrayRef;
// Absent and present-but-empty are different keys.
using Key = std::optional<std::string_view>;

// Runs body(begin, end) over disjoint ranges covering [0, rows) and returns
// once every range has run; it may run them in parallel. Lets a large Hash
// column use several threads while apply() stays independent of the pool.
using RangeBody = std::function<void(std::int64_t begin, std::int64_t end)>;
using RangeRunner = std::function<void(std::int64_t rows, const RangeBody& body)>;

MaskResult<ArrayRef> apply(Transform transform, const arrow_c::Array& column, const Key& key,
                           std::int64_t first_position = 0, const RangeRunner* runner = nullptr);

// The types apply_any() masks: Utf8, LargeUtf8, Utf8View, a dictionary with
// an integer index (c C s S i I l L) over one of those three, and Null.
bool maskable(const arrow_c::Schema& type);

// Every maskable layout, strict:
//   - Hash and Redact keep Utf8, LargeUtf8 and Utf8View (a Utf8View's
//     tokens share one data buffer; "[REDACTED]" sits inline); a dictionary
//     becomes a plain column of its value layout, one value per row (tokens
//     are bound to positions). A row of a dictionary is null when its index
//     is null or the value it points to is; an index outside the dictionary
//     is an error (MaskError::Arrow).
//   - Null: an all-null column of the input's type (a dictionary: zero
//     indices over an empty dictionary).
//   - PassThrough: the input column itself, shared.
//   - A column of type Null comes back as it is under every kind.
// Utf8 and Utf8View outputs keep the 32-bit reach (CapacityError past it).
MaskResult<ArrayRef> apply_any(Transform transform, const ArrayRef& column, const Key& key,
                               std::int64_t first_position = 0, const RangeRunner* runner = nullptr);

// The type apply_any() gives a column of `type` under `transform`.
arrow_c::SchemaRef output_type(Transform transform, const arrow_c::SchemaRef& type);

// Bytes of Utf8 (or Utf8View data) output one row of a column of `type`
// can need under apply_any(): what the 32-bit reach limits. 0 when the
// output has no such limit or holds no bytes.
std::int64_t max_row_bytes_any(Transform transform, const arrow_c::Schema& type);

// The most value bytes one row can produce: 64 for Hash and Pseudonym, 10
// for Redact, 0 for Null; PassThrough copies the input, which always fits,
// so 0; Encrypt and Fpe grow with the value, so no bound per row: 0.
std::int64_t max_row_bytes(Transform transform);

}  // namespace quillon::mask_engine
