#include "mask_engine/transform.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <type_traits>
#include <vector>

#include "keyed_hash/hmac.h"

namespace quillon::mask_engine {
namespace {


constexpr std::int64_t kTokenBytes = static_cast<std::int64_t>(keyed_hash::kHexDigestLength);
constexpr std::string_view kRedacted = "[REDACTED]";

// "<n>:" kept as ASCII and incremented in place, so a row's hash head costs
// no conversion. The digits start the buffer, the colon follows them, zeros
// fill the rest: the whole buffer is copied into a kernel block with
// fixed-size moves.
//
// Every write replaces a whole 16-byte half of the buffer with one vector
// store. The kernel's copy loads the halves 16 bytes at a time, and a load
// wider than the store before it waits until that store retires, which is
// after all the hashing already in flight: byte stores here would make
// each row wait for the SHA unit, so reading rows would no longer overlap
// the hashing.
class PositionHead {
 public:
  static constexpr std::size_t kBytes = keyed_hash::kHeadBytes;  // 19 digits, the colon, zeros

  explicit PositionHead(std::int64_t n) {
    char digits[20];
    int count = 0;
    do {
      digits[count++] = static_cast<char>('0' + n % 10);
      n /= 10;
    } while (n > 0);
    std::memset(buf_, 0, kBytes);
    for (int k = 0; k < count; ++k) buf_[k] = digits[count - 1 - k];
    buf_[count] = ':';
    size_ = static_cast<std::size_t>(count) + 1;
  }
  const char* bytes() const { return buf_; }
  std::size_t size() const { return size_; }
  void increment() {
    std::size_t i = size_ - 1;  // the colon
    while (i > 0 && buf_[i - 1] == '9') add_at(--i, '0' - '9');
    if (i > 0) return add_at(i - 1, 1);
    // All nines, now all zeros: one digit more, "1" then zeros.
    add_at(0, '1' - '0');
    add_at(size_ - 1, '0' - ':');
    add_at(size_, ':');
    ++size_;
  }

 private:
  using Half = signed char __attribute__((vector_size(16)));
  static_assert(kBytes % sizeof(Half) == 0);

  // buf_[at] += delta, written as the whole half that holds it.
  void add_at(std::size_t at, int delta) {
    static constexpr Half kIndex = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    char* half_at = buf_ + (at & ~(sizeof(Half) - 1));
    Half half;
    std::memcpy(&half, half_at, sizeof(Half));
    const Half is_at = kIndex == static_cast<signed char>(at % sizeof(Half));
    half += is_at & static_cast<signed char>(delta);
    std::memcpy(half_at, &half, sizeof(Half));
  }

  alignas(sizeof(Half)) char buf_[kBytes];
  std::size_t size_;
};

using arrow_c::DictionaryIndices;
using arrow_c::StringBuilder;
using arrow_c::StringViewBuilder;

bool valid_bit(const std::uint8_t* bits, std::int64_t i) {
  return bits == nullptr || ((bits[i >> 3] >> (i & 7)) & 1) != 0;
}

MaskError arrow_error(arrow_c::ArrowError status) { return MaskError::Arrow(std::move(status)); }

// The rows of a dictionary-encoded column: indices read once, values from
// the dictionary's own view.
template <typename Values>
struct DictionaryRows {
  const DictionaryIndices& indices;
  const Values& values;
  std::int64_t length;

  bool has_validity() const { return indices.has_validity(); }
  std::int64_t copy_validity(std::uint8_t* out) const { return indices.copy_validity(out); }
  std::string_view value(std::int64_t i) const {
    return values.value(indices.index[static_cast<std::size_t>(i)]);
  }
};

// body(begin, end) over [0, rows), on the runner's threads when there is one.
void run_ranges(const RangeRunner* runner, std::int64_t rows, const RangeBody& body) {
  if (runner != nullptr && rows > 0) {
    (*runner)(rows, body);
  } else {
    body(0, rows);
  }
}

// Offsets for an output whose every valid row (in our own bitmap `bits`;
// null: every row) has `width` bytes.
template <typename Offset>
void fixed_width_offsets(const std::uint8_t* bits, std::int64_t length, Offset width, Offset* offsets) {
  if (bits == nullptr) {
    for (std::int64_t i = 0; i <= length; ++i) offsets[i] = static_cast<Offset>(i * width);
    return;
  }
  Offset at = 0;
  offsets[0] = 0;
  for (std::int64_t i = 0; i < length; ++i) {
    if (valid_bit(bits, i)) at += width;
    offsets[i + 1] = at;
  }
}

// The valid rows (in `bits`) of [begin, end) of a column as the kernel's
// messages, read in order as it pulls them: "<position>:" and the value,
// the token going to slot_of(i).
template <typename Rows, typename SlotOf>
struct RowMessages {
  const Rows& rows;
  const std::uint8_t* bits;
  const SlotOf& slot_of;
  std::int64_t i;
  std::int64_t end;
  PositionHead head;

  keyed_hash::Pull fill(keyed_hash::Pull pull) {
    for (; i < end; ++i, head.increment()) {
      if (pull.full()) return pull;
      if (valid_bit(bits, i)) pull.add(head.bytes(), head.size(), rows.value(i), slot_of(i));
    }
    pull.end();
    return pull;
  }
  static keyed_hash::Pull fill_from(void* self, keyed_hash::Pull pull) {
    return static_cast<RowMessages*>(self)->fill(pull);
  }
};

// Tokens of the valid rows (in `bits`) of `rows`, each written at
// slot_of(i). The driver reads the column itself (values clamped into the
// bounds the check saw, validity from our own bitmap, the running position)
// as the kernel pulls rows, and the kernel writes each token into its slot
// in the output.
template <typename Rows, typename SlotOf>
void hash_rows(const Rows& rows, const std::uint8_t* bits, const SlotOf& slot_of, std::string_view key,
               std::int64_t first_position, const RangeRunner* runner) {
  const keyed_hash::PreparedKey prepared(key);
  run_ranges(runner, rows.length, [&](std::int64_t begin, std::int64_t end) {
    RowMessages<Rows, SlotOf> source{rows, bits, slot_of, begin, end, PositionHead(first_position + begin)};
    prepared.hex_digests({&decltype(source)::fill_from, &source});
  });
}

// A byte-for-byte copy of the valid rows: lengths (clamped) into our own
// offsets first, then exactly those lengths copied from clamped starts.
template <typename Offset>
MaskResult<ArrayRef> copy_rows(const arrow_c::OffsetStrings<Offset>& rows, StringBuilder<Offset> out,
                               std::int64_t null_count, const RangeRunner* runner) {
  const std::uint8_t* bits = out.validity();
  Offset* offsets = out.offsets();
  offsets[0] = 0;
  if (bits == nullptr) {
    // Without nulls the values are one run from the first offset.
    Offset prev = rows.first;
    for (std::int64_t i = 1; i <= rows.length; ++i) {
      const Offset o = std::min(std::max(arrow_c::load_once(rows.offsets + i), prev), rows.bound);
      offsets[i] = o - rows.first;
      prev = o;
    }
  } else {
    // Null rows may own bytes in the input; the copy drops them.
    Offset at = 0;
    for (std::int64_t i = 0; i < rows.length; ++i) {
      if (valid_bit(bits, i)) at += static_cast<Offset>(rows.value(i).size());
      offsets[i + 1] = at;
    }
  }
  arrow_c::ArrowResult<Done> st = out.allocate_values(offsets[rows.length]);
  if (!st.ok()) return arrow_error(std::move(st).error());
  char* values = out.values();
  run_ranges(runner, rows.length, [&](std::int64_t begin, std::int64_t end) {
    if (bits == nullptr) {
      const Offset bytes = offsets[end] - offsets[begin];
      if (bytes > 0) {
        std::memcpy(values + offsets[begin], rows.data + rows.first + offsets[begin],
                    static_cast<std::size_t>(bytes));
      }
      return;
    }
    for (std::int64_t i = begin; i < end; ++i) {
      const Offset len = offsets[i + 1] - offsets[i];
      if (len == 0) continue;
      // len <= bound - first, so this start keeps the whole range in bounds.
      const Offset start = std::min(std::max(arrow_c::load_once(rows.offsets + i), rows.first),
                                    static_cast<Offset>(rows.bound - len));
      std::memcpy(values + offsets[i], rows.data + start, static_cast<std::size_t>(len));
    }
  });
  return std::move(out).finish(null_count);
}

// Hash, Redact or a copy of `rows` into a new string array with `Offset`
// offsets.
template <typename Offset, typename Rows>
MaskResult<ArrayRef> to_offsets(Transform transform, const Rows& rows, const Key& key,
                                std::int64_t first_position, const RangeRunner* runner) {
  auto built = StringBuilder<Offset>::allocate(rows.length, rows.has_validity());
  if (!built.ok()) return arrow_error(std::move(built).error());
  StringBuilder<Offset> out = std::move(built).value();
  const std::int64_t nulls = rows.has_validity() ? rows.copy_validity(out.validity()) : 0;
  const std::uint8_t* bits = out.validity();
  const std::int64_t valid_rows = rows.length - nulls;
  if (transform == Transform::PassThrough) {
    if constexpr (std::is_same_v<Rows, arrow_c::OffsetStrings<Offset>>) {
      return copy_rows(rows, std::move(out), nulls, runner);
    }
    return arrow_error(arrow_c::ArrowError::Invalid("a copy keeps the input's layout"));
  }
  const std::int64_t width = transform == Transform::Hash ? kTokenBytes : static_cast<std::int64_t>(kRedacted.size());
  // Sized before any row is touched: a column past the reach is refused
  // before anything is hashed.
  arrow_c::ArrowResult<Done> st = out.allocate_values(width * valid_rows);
  if (!st.ok()) return arrow_error(std::move(st).error());
  Offset* offsets = out.offsets();
  char* values = out.values();
  fixed_width_offsets(bits, rows.length, static_cast<Offset>(width), offsets);
  if (transform == Transform::Hash) {
    const auto slot_of = [offsets, values](std::int64_t i) { return values + offsets[i]; };
    hash_rows(rows, bits, slot_of, *key, first_position, runner);
  } else {
    run_ranges(runner, rows.length, [&](std::int64_t begin, std::int64_t end) {
      for (std::int64_t i = begin; i < end; ++i) {
        if (valid_bit(bits, i)) std::memcpy(values + offsets[i], kRedacted.data(), kRedacted.size());
      }
    });
  }
  return std::move(out).finish(nulls);
}

// Hash or Redact of `rows` into a new Utf8View array.
template <typename Rows>
MaskResult<ArrayRef> to_views(Transform transform, const Rows& rows, const Key& key,
                              std::int64_t first_position, const RangeRunner* runner) {
  auto built = StringViewBuilder::allocate(rows.length, rows.has_validity());
  if (!built.ok()) return arrow_error(std::move(built).error());
  StringViewBuilder out = std::move(built).value();
  const std::int64_t nulls = rows.has_validity() ? rows.copy_validity(out.validity()) : 0;
  const std::uint8_t* bits = out.validity();
  if (transform == Transform::Redact) {
    for (std::int64_t i = 0; i < rows.length; ++i) {
      if (valid_bit(bits, i)) {
        out.set(i, kRedacted, 0);
      } else {
        out.set_null(i);
      }
    }
    return std::move(out).finish(nulls);
  }
  if (transform != Transform::Hash) {
    return arrow_error(arrow_c::ArrowError::Invalid("a copy keeps the input's layout"));
  }
  arrow_c::ArrowResult<Done> st = out.allocate_data(kTokenBytes * (rows.length - nulls));
  if (!st.ok()) return arrow_error(std::move(st).error());
  // Tokens go back to back into the one data buffer: the views are written
  // first (their offsets are where the tokens go), their prefixes after.
  char* data = out.data();
  std::uint8_t* views = out.views();
  std::int32_t at = 0;
  for (std::int64_t i = 0; i < rows.length; ++i) {
    if (valid_bit(bits, i)) {
      out.set_long(i, static_cast<std::int32_t>(kTokenBytes), at);
      at += static_cast<std::int32_t>(kTokenBytes);
    } else {
      out.set_null(i);
    }
  }
  const auto slot_of = [data, views](std::int64_t i) {
    std::int32_t offset;
    std::memcpy(&offset, views + 16 * i + 12, sizeof(offset));
    return data + offset;
  };
  hash_rows(rows, bits, slot_of, *key, first_position, runner);
  for (std::int64_t i = 0; i < rows.length; ++i) {
    if (valid_bit(bits, i)) std::memcpy(views + 16 * i + 4, slot_of(i), 4);
  }
  return std::move(out).finish(nulls);
}

bool is_string_format(const std::string& f) { return f == "u" || f == "U" || f == "vu"; }

bool is_index_format(const std::string& f) {
  return f.size() == 1 && std::string_view("cCsSiIlL").find(f[0]) != std::string_view::npos;
}

// Hash, Redact or a copy over the plain string column `values` (or, with
// `indices`, over the dictionary whose values they are).
MaskResult<ArrayRef> mask_strings(Transform transform, const arrow_c::Array& values,
                                  const DictionaryIndices* indices, const Key& key,
                                  std::int64_t first_position, const RangeRunner* runner) {
  const std::string& f = values.type->format;
  auto run = [&](auto&& view, auto&& masker) -> MaskResult<ArrayRef> {
    if (!view.ok()) return arrow_error(std::move(view).error());
    const auto& rows = view.value();
    if (indices == nullptr) return masker(rows);
    using View = std::decay_t<decltype(rows)>;
    return masker(DictionaryRows<View>{*indices, rows, indices->length});
  };
  if (f == "u") {
    return run(arrow_c::read_utf8(values), [&](const auto& rows) {
      return to_offsets<std::int32_t>(transform, rows, key, first_position, runner);
    });
  }
  if (f == "U") {
    return run(arrow_c::read_large_utf8(values), [&](const auto& rows) {
      return to_offsets<std::int64_t>(transform, rows, key, first_position, runner);
    });
  }
  return run(arrow_c::read_utf8_view(values), [&](const auto& rows) {
    return to_views(transform, rows, key, first_position, runner);
  });
}

}  // namespace

std::int64_t max_row_bytes(Transform transform) {
  switch (transform) {
    case Transform::Hash:
    case Transform::Pseudonym:
      return kTokenBytes;
    case Transform::Redact:
      return static_cast<std::int64_t>(kRedacted.size());
    case Transform::Null:
    case Transform::PassThrough:
    case Transform::Encrypt:
    case Transform::Fpe:
    case Transform::RevealEncrypt:
    case Transform::RevealFpe:
      return 0;
  }
  return 0;
}

MaskResult<ArrayRef> apply(Transform transform, const arrow_c::Array& column, const Key& key,
                           std::int64_t first_position, const RangeRunner* runner) {
  if (column.type->format != "u" || column.type->dictionary) {
    return MaskError::UnsupportedDataType("unknown", arrow_c::type_name(*column.type));
  }
  if (value_bound(transform)) return arrow_error(arrow_c::ArrowError::Invalid("a value-bound transform needs its keys"));
  if (transform == Transform::Hash && !key.has_value()) return MaskError::MissingKey();
  if (transform == Transform::Null) {
    auto nulls = arrow_c::make_null_utf8(column.length);
    if (!nulls.ok()) return arrow_error(std::move(nulls).error());
    return std::move(nulls).value();
  }
  return mask_strings(transform, column, nullptr, key, first_position, runner);
}

bool maskable(const arrow_c::Schema& type) {
  if (type.dictionary) return is_index_format(type.format) && is_string_format(type.dictionary->format) &&
                              !type.dictionary->dictionary;
  return type.format == "n" || is_string_format(type.format);
}

MaskResult<ArrayRef> apply_any(Transform transform, const ArrayRef& column, const Key& key,
                               std::int64_t first_position, const RangeRunner* runner) {
  const arrow_c::Schema& type = *column->type;
  if (!maskable(type)) return MaskError::UnsupportedDataType("unknown", arrow_c::type_name(type));
  if (value_bound(transform)) return arrow_error(arrow_c::ArrowError::Invalid("a value-bound transform needs its keys"));
  if (transform == Transform::Hash && !key.has_value()) return MaskError::MissingKey();
  if (type.format == "n" || transform == Transform::PassThrough) return column;
  if (transform == Transform::Null) {
    auto nulls = arrow_c::make_null_array(column->type, column->length);
    if (!nulls.ok()) return arrow_error(std::move(nulls).error());
    return std::move(nulls).value();
  }
  if (!type.dictionary) return mask_strings(transform, *column, nullptr, key, first_position, runner);
  if (!column->dictionary) {
    return arrow_error(arrow_c::ArrowError::Invalid("expected a dictionary, found none"));
  }
  auto indices = arrow_c::read_dictionary_indices(*column);
  if (!indices.ok()) return arrow_error(std::move(indices).error());
  return mask_strings(transform, *column->dictionary, &indices.value(), key, first_position, runner);
}

arrow_c::SchemaRef output_type(Transform transform, const arrow_c::SchemaRef& type) {
  // Value-bound transforms keep a dictionary's indices and transform its values.
  if (!type->dictionary || transform == Transform::Null || transform == Transform::PassThrough ||
      value_bound(transform)) {
    return type;
  }
  // The dictionary's value type under the field's own name, flags and
  // metadata.
  auto out = std::make_shared<arrow_c::Schema>(*type);
  out->format = type->dictionary->format;
  out->dictionary = nullptr;
  out->flags &= ~std::int64_t{ARROW_FLAG_DICTIONARY_ORDERED};
  return out;
}

std::int64_t max_row_bytes_any(Transform transform, const arrow_c::Schema& type) {
  // A dictionary keeps its indices under value-bound transforms: slicing
  // rows would not make its new values any smaller.
  if (type.dictionary && value_bound(transform)) return 0;
  const std::string& f = type.dictionary ? type.dictionary->format : type.format;
  if ((transform == Transform::Hash || transform == Transform::Pseudonym) && (f == "u" || f == "vu")) {
    return kTokenBytes;
  }
  if (transform == Transform::Redact && f == "u") return static_cast<std::int64_t>(kRedacted.size());
  return 0;
}

}  // namespace quillon::mask_engine
