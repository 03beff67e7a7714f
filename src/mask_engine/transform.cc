#include "mask_engine/transform.h"

#include <atomic>
#include <cstring>

#include "keyed_hash/hmac.h"

namespace mask_engine {
namespace {

using arrow_c::Utf8Builder;
using arrow_c::Utf8View;

constexpr std::int64_t kTokenBytes = static_cast<std::int64_t>(quillon_hash::kHexDigestLength);
constexpr std::string_view kRedacted = "[REDACTED]";
constexpr std::string_view kHashError = "HASH_ERROR";

// "<n>:" kept as ASCII and incremented in place, so a row's hash prefix
// costs no conversion. Digits are right-aligned in buf_, the colon last.
class PositionPrefix {
 public:
  static constexpr int kSize = 24;  // 19 digits of an int64, the colon, slack

  explicit PositionPrefix(std::int64_t n) {
    buf_[kSize - 1] = ':';
    start_ = kSize - 1;
    do {
      buf_[--start_] = static_cast<char>('0' + n % 10);
      n /= 10;
    } while (n > 0);
  }
  std::string_view view() const { return {buf_ + start_, static_cast<std::size_t>(kSize - start_)}; }
  // Copies the whole buffer (a fixed size, so a few moves) and returns the
  // prefix as it stands in the copy.
  std::string_view copy_to(char (&dest)[kSize]) const {
    std::memcpy(dest, buf_, kSize);
    return {dest + start_, static_cast<std::size_t>(kSize - start_)};
  }
  void increment() {
    int i = kSize - 2;
    while (i >= start_ && buf_[i] == '9') buf_[i--] = '0';
    if (i < start_) {
      buf_[i] = '1';
      start_ = i;
    } else {
      ++buf_[i];
    }
  }

 private:
  char buf_[kSize];
  int start_;
};

// The input rows and how many of them are values.
struct Input {
  Utf8View view;
  std::int64_t null_count;
};

MaskResult<Input> read_input(const arrow_c::Array& column) {
  auto view = arrow_c::view_utf8(column);
  if (!view.ok()) return MaskError::Arrow(std::move(view).error());
  Input in{std::move(view).value(), 0};
  if (in.view.validity != nullptr) {
    in.null_count =
        in.view.length - arrow_c::count_set_bits(in.view.validity, in.view.bit_offset, in.view.length);
  }
  return in;
}

// Allocates the output once; the validity bitmap is the input's, moved to
// bit 0.
MaskResult<Utf8Builder> allocate(const Input& in, std::int64_t value_bytes) {
  auto built = Utf8Builder::allocate(in.view.length, value_bytes, in.view.validity != nullptr);
  if (!built.ok()) return MaskError::Arrow(std::move(built).error());
  Utf8Builder out = std::move(built).value();
  if (in.view.validity != nullptr) {
    std::uint8_t* bits = out.validity();
    const std::int64_t bytes = (in.view.length + 7) / 8;
    if (in.view.bit_offset % 8 == 0) {
      std::memcpy(bits, in.view.validity + in.view.bit_offset / 8, static_cast<std::size_t>(bytes));
      // Bits past the last row are not the input's to give away.
      if (in.view.length % 8 != 0) bits[bytes - 1] &= static_cast<std::uint8_t>((1u << (in.view.length % 8)) - 1);
    } else {
      std::memset(bits, 0, static_cast<std::size_t>(bytes));
      for (std::int64_t i = 0; i < in.view.length; ++i) {
        if (in.view.valid(i)) bits[i >> 3] |= static_cast<std::uint8_t>(1u << (i & 7));
      }
    }
  }
  return out;
}

// Offsets for an output whose every non-null row has `width` bytes.
void fixed_width_offsets(const Utf8View& in, std::int32_t width, std::int32_t* offsets) {
  if (in.validity == nullptr) {
    for (std::int64_t i = 0; i <= in.length; ++i) offsets[i] = static_cast<std::int32_t>(i * width);
    return;
  }
  std::int32_t at = 0;
  offsets[0] = 0;
  for (std::int64_t i = 0; i < in.length; ++i) {
    if (in.valid(i)) at += width;
    offsets[i + 1] = at;
  }
}

// Rows whose both digests failed hold "HASH_ERROR" (10 bytes) at the start
// of their 64-byte slot. Close the gaps and fix the offsets. This runs only
// after a failure of the cryptographic library, so it need not be fast.
void compact_hash_errors(std::int64_t length, std::int32_t* offsets, char* values) {
  std::int32_t write = 0;
  for (std::int64_t i = 0; i < length; ++i) {
    const std::int32_t read = offsets[i];
    std::int32_t len = offsets[i + 1] - read;
    if (len > 0 && std::memcmp(values + read, kHashError.data(), kHashError.size()) == 0) {
      len = static_cast<std::int32_t>(kHashError.size());
    }
    std::memmove(values + write, values + read, static_cast<std::size_t>(len));
    offsets[i] = write;
    write += len;
  }
  offsets[length] = write;
}

MaskResult<ArrayRef> hash_column(const Input& in, std::string_view key,
                                 std::int64_t first_position, const RangeRunner* runner) {
  const Utf8View& rows = in.view;
  QM_ASSIGN_OR_RETURN(Utf8Builder out, allocate(in, kTokenBytes * (rows.length - in.null_count)));
  std::int32_t* offsets = out.offsets();
  char* values = out.values();
  fixed_width_offsets(rows, static_cast<std::int32_t>(kTokenBytes), offsets);

  const quillon_hash::PreparedKey prepared(key);
  std::atomic<bool> any_hash_error{false};
  // One row's token, with the fallbacks: the value alone, then a fixed
  // token. A failed digest degrades only its own row.
  const auto hash_row = [&](std::string_view head, std::string_view value, char* slot) {
    if (prepared.hex_digest(head, value, slot)) return;
    if (prepared.hex_digest({}, value, slot)) return;
    std::memcpy(slot, kHashError.data(), kHashError.size());
    any_hash_error.store(true, std::memory_order_relaxed);
  };
  // Valid rows go to the kernel in groups, which it hashes several at a
  // time; each row's "<position>:" head is kept in the group's own buffer
  // until the group is hashed.
  constexpr std::size_t kGroup = 256;
  const RangeBody body = [&](std::int64_t begin, std::int64_t end) {
    PositionPrefix prefix(first_position + begin);
    quillon_hash::Message msgs[kGroup];
    char* outs[kGroup];
    char heads[kGroup][PositionPrefix::kSize];
    std::size_t n = 0;
    const auto flush = [&] {
      if (n > 0 && !prepared.hex_digest_many(msgs, n, outs)) {
        for (std::size_t k = 0; k < n; ++k) hash_row(msgs[k].head, msgs[k].tail, outs[k]);
      }
      n = 0;
    };
    const auto gather = [&](std::int64_t i) {
      msgs[n] = {prefix.copy_to(heads[n]), rows.value(i)};
      outs[n] = values + offsets[i];
      if (++n == kGroup) flush();
    };
    if (rows.validity == nullptr) {
      for (std::int64_t i = begin; i < end; ++i, prefix.increment()) gather(i);
    } else {
      for (std::int64_t i = begin; i < end; ++i, prefix.increment()) {
        if (rows.valid(i)) gather(i);
      }
    }
    flush();
  };
  if (runner != nullptr && rows.length > 0) {
    (*runner)(rows.length, body);
  } else {
    body(0, rows.length);
  }
  if (any_hash_error.load()) compact_hash_errors(rows.length, offsets, values);
  return std::move(out).finish(in.null_count);
}

MaskResult<ArrayRef> redact_column(const Input& in) {
  const Utf8View& rows = in.view;
  const std::int64_t width = static_cast<std::int64_t>(kRedacted.size());
  QM_ASSIGN_OR_RETURN(Utf8Builder out, allocate(in, width * (rows.length - in.null_count)));
  std::int32_t* offsets = out.offsets();
  char* values = out.values();
  fixed_width_offsets(rows, static_cast<std::int32_t>(width), offsets);
  for (std::int64_t i = 0; i < rows.length; ++i) {
    if (rows.valid(i)) std::memcpy(values + offsets[i], kRedacted.data(), kRedacted.size());
  }
  return std::move(out).finish(in.null_count);
}

MaskResult<ArrayRef> copy_column(const Input& in) {
  const Utf8View& rows = in.view;
  const std::int32_t* in_offsets = rows.offsets;
  // Null rows may own bytes in the input; the copy drops them.
  std::int64_t bytes = 0;
  if (rows.validity == nullptr) {
    bytes = in_offsets[rows.length] - in_offsets[0];
  } else {
    for (std::int64_t i = 0; i < rows.length; ++i) {
      if (rows.valid(i)) bytes += in_offsets[i + 1] - in_offsets[i];
    }
  }
  QM_ASSIGN_OR_RETURN(Utf8Builder out, allocate(in, bytes));
  std::int32_t* offsets = out.offsets();
  char* values = out.values();
  if (rows.validity == nullptr) {
    const std::int32_t base = in_offsets[0];
    for (std::int64_t i = 0; i <= rows.length; ++i) offsets[i] = in_offsets[i] - base;
    if (bytes > 0) std::memcpy(values, rows.data + base, static_cast<std::size_t>(bytes));
  } else {
    std::int32_t at = 0;
    offsets[0] = 0;
    for (std::int64_t i = 0; i < rows.length; ++i) {
      if (rows.valid(i)) {
        const std::int32_t len = in_offsets[i + 1] - in_offsets[i];
        std::memcpy(values + at, rows.data + in_offsets[i], static_cast<std::size_t>(len));
        at += len;
      }
      offsets[i + 1] = at;
    }
  }
  return std::move(out).finish(in.null_count);
}

}  // namespace

std::int64_t max_row_bytes(Transform transform) {
  switch (transform) {
    case Transform::Hash:
      return kTokenBytes;
    case Transform::Redact:
      return static_cast<std::int64_t>(kRedacted.size());
    case Transform::Null:
    case Transform::PassThrough:
      return 0;
  }
  return 0;
}

MaskResult<ArrayRef> apply(Transform transform, const arrow_c::Array& column, const Key& key,
                           std::int64_t first_position, const RangeRunner* runner) {
  if (column.type->format != "u" || column.type->dictionary) {
    return MaskError::UnsupportedDataType("unknown", arrow_c::type_name(*column.type));
  }
  if (transform == Transform::Hash && !key.has_value()) return MaskError::MissingKey();
  if (transform == Transform::Null) {
    auto nulls = arrow_c::make_null_utf8(column.length);
    if (!nulls.ok()) return MaskError::Arrow(std::move(nulls).error());
    return std::move(nulls).value();
  }

  QM_ASSIGN_OR_RETURN(const Input in, read_input(column));
  switch (transform) {
    case Transform::Hash:
      return hash_column(in, *key, first_position, runner);
    case Transform::Redact:
      return redact_column(in);
    case Transform::PassThrough:
      return copy_column(in);
    case Transform::Null:
      break;
  }
  return MaskError::Arrow(arrow_c::Status::Invalid("unknown transform"));
}

}  // namespace mask_engine
