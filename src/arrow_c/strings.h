// String columns as the transforms read and build them: Utf8 ("u", 32-bit
// offsets), LargeUtf8 ("U", 64-bit offsets), Utf8View ("vu": 16-byte views
// over variadic data buffers) and the integer indices of a dictionary.
//
// Reading. Producer memory may change while we read it (pyarrow buffers
// over numpy memory are writable, other threads run while masking), so:
//   - the read_* functions check once what the reads rely on and keep the
//     bounds they saw (first and last offset, data buffer sizes);
//   - value(i) reads a row's range once and clamps it into those bounds, so
//     a row that changed gives odd bytes, never bytes outside the buffers
//     the producer declared;
//   - a reader copies the validity bitmap once (copy_validity) into a
//     bitmap of its own and tests only that copy afterwards;
//   - dictionary indices are read once into a vector, checked as they are
//     read, together with the null test of the value each one points to.
// Where the producer told the buffer sizes (Array::buffer_sizes), ranges
// past them are refused. Refusals say "expected X, found Y".
//
// Building. The builders allocate each buffer once (64-byte aligned) for the
// caller to write in place, then freeze into an Array. Buffers of 32 MiB and
// more come from the cache of recently freed large buffers (buffer_cache.h)
// and go back to it when the array dies, so their bytes are not zeroed: a
// builder's caller writes every byte the array exposes. Views and builders
// are plain values for one thread; the frozen arrays are immutable.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "arrow_c/array.h"

namespace quillon::arrow_c {

// One read of a value another thread may be writing.
template <typename T>
inline T load_once(const T* p) {
  return __atomic_load_n(p, __ATOMIC_RELAXED);
}

// The validity of a slice of a producer's column.
struct ProducerBits {
  std::int64_t length = 0;
  const std::uint8_t* validity = nullptr;  // null: no null rows
  std::int64_t bit_offset = 0;             // bit of row 0 in `validity`

  bool has_validity() const { return validity != nullptr; }
  bool valid(std::int64_t i) const {
    return validity == nullptr ||
           ((validity[(bit_offset + i) >> 3] >> ((bit_offset + i) & 7)) & 1) != 0;
  }
  // Copies the bits, moved to bit 0, into `out` ((length + 7) / 8 bytes;
  // bits past the last row cleared) and returns the null rows in the copy.
  std::int64_t copy_validity(std::uint8_t* out) const;
};

// A string column with offsets: Utf8 (int32) or LargeUtf8 (int64). Offsets
// are the slice's own (length + 1).
template <typename Offset>
struct OffsetStrings : ProducerBits {
  const Offset* offsets = nullptr;
  const char* data = nullptr;
  Offset first = 0;  // offsets[0] as the check read it
  Offset bound = 0;  // offsets[length] as the check read it, within the values buffer

  std::string_view value(std::int64_t i) const {
    const Offset s = std::min(std::max(load_once(offsets + i), first), bound);
    const Offset e = std::min(std::max(load_once(offsets + i + 1), s), bound);
    return {data + s, static_cast<std::size_t>(e - s)};
  }

  // Holds the offsets when the producer's were not aligned. On the heap and
  // never copied, so `offsets` stays valid when the view is moved; a copy of
  // the view would point into the original's, so there is none.
  std::unique_ptr<Offset[]> aligned_offsets;

  OffsetStrings() = default;
  OffsetStrings(OffsetStrings&&) noexcept = default;
  OffsetStrings& operator=(OffsetStrings&&) noexcept = default;
  OffsetStrings(const OffsetStrings&) = delete;
  OffsetStrings& operator=(const OffsetStrings&) = delete;
};
using Utf8Strings = OffsetStrings<std::int32_t>;
using LargeUtf8Strings = OffsetStrings<std::int64_t>;

// Checks, for a column a transform reads: the format ("u" / "U"), the
// buffers present, a first offset >= 0, offsets that never decrease over the
// slice, and a last offset within the values buffer where its size is known.
ArrowResult<Utf8Strings> read_utf8(const Array& array);
ArrowResult<LargeUtf8Strings> read_large_utf8(const Array& array);

// A Utf8View ("vu") column: 16 bytes per row, a value of up to 12 bytes
// inline, a longer one as (length, prefix, buffer index, offset) into one of
// the data buffers, whose sizes the final buffer gives.
struct Utf8ViewStrings : ProducerBits {
  const std::uint8_t* views = nullptr;  // row 0's view
  std::vector<const char*> data;         // the data buffers
  std::vector<std::int64_t> sizes;       // their sizes, read once

  std::string_view value(std::int64_t i) const {
    std::int32_t view[4];
    std::memcpy(view, views + 16 * i, sizeof(view));
    const std::int32_t length = view[0];
    if (length <= 12) {
      return {reinterpret_cast<const char*>(views + 16 * i + 4),
              static_cast<std::size_t>(std::max(length, 0))};
    }
    const std::uint32_t index = static_cast<std::uint32_t>(view[2]);
    if (index >= data.size()) return {};
    const std::int64_t size = sizes[index];
    const std::int64_t at = std::min<std::int64_t>(std::max(view[3], 0), size);
    return {data[index] + at, static_cast<std::size_t>(std::min<std::int64_t>(length, size - at))};
  }
};

// Checks: format "vu", the views buffer, the variadic sizes (>= 0, each data
// buffer present when it holds bytes, within the size the producer told),
// and every valid row's view within its data buffer.
ArrowResult<Utf8ViewStrings> read_utf8_view(const Array& array);

// The indices of a dictionary-encoded column, read once. A row is valid
// when its index is and the dictionary value it points to is; null rows
// hold index 0.
struct DictionaryIndices {
  std::int64_t length = 0;
  std::int64_t null_count = 0;
  std::vector<std::int32_t> index;    // in [0, dictionary length)
  std::vector<std::uint8_t> bits;     // (length + 7) / 8 bytes, bit 0 = row 0

  bool has_validity() const { return null_count > 0; }
  bool valid(std::int64_t i) const { return ((bits[i >> 3] >> (i & 7)) & 1) != 0; }
  std::int64_t copy_validity(std::uint8_t* out) const {
    std::memcpy(out, bits.data(), bits.size());
    return null_count;
  }
};

// Index formats c C s S i I l L; the dictionary must be attached and hold
// at most 2^31-1 values. Refuses an index of a valid row outside it.
ArrowResult<DictionaryIndices> read_dictionary_indices(const Array& array);

// Buffers allocated here: 64-byte aligned, never null.
class OwnedBuffers;

// A string array with offsets under construction. allocate() makes the
// validity bitmap (if asked) and the offsets; allocate_values() the values
// once their size is known.
template <typename Offset>
class StringBuilder {
 public:
  static ArrowResult<StringBuilder> allocate(std::int64_t length, bool with_validity);
  // CapacityError past the reach of the offsets; OutOfMemory.
  ArrowResult<Done> allocate_values(std::int64_t bytes);
  // All three at once.
  static ArrowResult<StringBuilder> allocate(std::int64_t length, std::int64_t value_bytes,
                                        bool with_validity);
  StringBuilder(StringBuilder&&) noexcept;
  StringBuilder& operator=(StringBuilder&&) noexcept;
  ~StringBuilder();

  std::uint8_t* validity();  // null unless allocated with one
  Offset* offsets();         // length + 1 entries
  char* values();

  ArrayRef finish(std::int64_t null_count) &&;

 private:
  StringBuilder(std::int64_t length, std::unique_ptr<OwnedBuffers> buffers);
  std::int64_t length_;
  std::unique_ptr<OwnedBuffers> buffers_;
};
using Utf8Builder = StringBuilder<std::int32_t>;
using LargeUtf8Builder = StringBuilder<std::int64_t>;

// A Utf8View array under construction: validity, views, at most one data
// buffer (whose offsets must fit the views' 32 bits), and the sizes buffer.
class StringViewBuilder {
 public:
  static ArrowResult<StringViewBuilder> allocate(std::int64_t length, bool with_validity);
  // The one data buffer; CapacityError past 2,147,483,647 bytes.
  ArrowResult<Done> allocate_data(std::int64_t bytes);
  StringViewBuilder(StringViewBuilder&&) noexcept;
  StringViewBuilder& operator=(StringViewBuilder&&) noexcept;
  ~StringViewBuilder();

  std::uint8_t* validity();
  std::uint8_t* views() { return views_; }  // 16 * length bytes
  char* data();           // null until allocate_data()

  // Row i: `value`, inline when it fits, else at `at` in the data buffer
  // (where its bytes already are). The views are not cleared: every row is
  // set, null rows by set_null().
  void set(std::int64_t i, std::string_view value, std::int64_t at);
  // Row i: `length` (> 12) bytes at `at` in the data buffer; its prefix is
  // for the caller to fill at bytes 4..7 of the view.
  void set_long(std::int64_t i, std::int32_t length, std::int32_t at) {
    const std::int32_t view[4] = {length, 0, 0, at};
    std::memcpy(views_ + 16 * i, view, sizeof(view));
  }
  void set_null(std::int64_t i) { std::memset(views_ + 16 * i, 0, 16); }

  ArrayRef finish(std::int64_t null_count) &&;

 private:
  StringViewBuilder(std::int64_t length, std::unique_ptr<OwnedBuffers> buffers);
  std::int64_t length_;
  std::int64_t data_bytes_ = -1;  // -1: no data buffer
  std::unique_ptr<OwnedBuffers> buffers_;
  std::uint8_t* views_ = nullptr;
};

// A Utf8 array of `length` rows, every row null: a zero bitmap, zero
// offsets and no value bytes.
ArrowResult<ArrayRef> make_null_utf8(std::int64_t length);

// An array of `type` (u, U, vu, a dictionary over one of them, or n) with
// every row null. A dictionary gets all-null zero indices over an empty
// dictionary.
ArrowResult<ArrayRef> make_null_array(const SchemaRef& type, std::int64_t length);

// Nullable Utf8 / LargeUtf8 / Utf8View types, for arrays built here.
const SchemaRef& large_utf8_type();
const SchemaRef& utf8_view_type();

inline constexpr std::int64_t kMaxUtf8Bytes = 2147483647;

}  // namespace quillon::arrow_c
