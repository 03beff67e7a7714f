#include "mask_engine/transform.h"

#include <arrow/buffer.h>
#include <arrow/type.h>
#include <arrow/util/bit_util.h>
#include <arrow/util/bitmap_ops.h>

#include <atomic>
#include <cstring>
#include <limits>

#include "keyed_hash/hmac.h"

namespace mask_engine {
namespace {

constexpr std::int64_t kTokenBytes = static_cast<std::int64_t>(quillon_hash::kHexDigestLength);
constexpr std::string_view kRedacted = "[REDACTED]";
constexpr std::string_view kHashError = "HASH_ERROR";

// "<n>:" kept as ASCII and incremented in place, so a row's hash prefix
// costs no conversion. Digits are right-aligned in buf_, the colon last.
class PositionPrefix {
 public:
  explicit PositionPrefix(std::int64_t n) {
    buf_[kSize - 1] = ':';
    start_ = kSize - 1;
    do {
      buf_[--start_] = static_cast<char>('0' + n % 10);
      n /= 10;
    } while (n > 0);
  }
  std::string_view view() const { return {buf_ + start_, static_cast<std::size_t>(kSize - start_)}; }
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

 static constexpr int kSize = 24;  // 19 digits of an int64, the colon, slack

 private:
  char buf_[kSize];
  int start_;
};

// The pieces every output column is built from: the input viewed as Utf8,
// its validity, and the output's own validity copy.
struct Input {
  const arrow::StringArray& array;
  std::int64_t length;
  std::int64_t null_count;
  const std::uint8_t* validity;  // null when the array has no null rows
  std::int64_t offset;

  explicit Input(const arrow::StringArray& a)
      : array(a),
        length(a.length()),
        null_count(a.null_count()),
        validity(a.null_count() > 0 ? a.null_bitmap_data() : nullptr),
        offset(a.offset()) {}

  bool valid(std::int64_t i) const {
    return validity == nullptr || arrow::bit_util::GetBit(validity, offset + i);
  }
};

struct Output {
  std::shared_ptr<arrow::Buffer> validity;
  std::shared_ptr<arrow::ResizableBuffer> offsets;
  std::shared_ptr<arrow::ResizableBuffer> values;
  std::int32_t* offset_data() { return reinterpret_cast<std::int32_t*>(offsets->mutable_data()); }
  char* value_data() { return reinterpret_cast<char*>(values->mutable_data()); }
};

// Allocates the output once, validity carried over from the input slice.
arrow::Result<Output> allocate(const Input& in, std::int64_t value_bytes) {
  ARROW_RETURN_NOT_OK(check_output_capacity(value_bytes));
  Output out;
  if (in.validity != nullptr) {
    ARROW_ASSIGN_OR_RAISE(out.validity, arrow::internal::CopyBitmap(arrow::default_memory_pool(),
                                                                    in.validity, in.offset,
                                                                    in.length));
  }
  ARROW_ASSIGN_OR_RAISE(out.offsets, arrow::AllocateResizableBuffer((in.length + 1) * 4));
  ARROW_ASSIGN_OR_RAISE(out.values, arrow::AllocateResizableBuffer(value_bytes));
  return out;
}

ArrayRef finish(const Input& in, Output&& out) {
  auto data = arrow::ArrayData::Make(arrow::utf8(), in.length,
                                     {std::move(out.validity), std::move(out.offsets),
                                      std::move(out.values)},
                                     in.null_count);
  return arrow::MakeArray(data);
}

// Offsets for an output whose every non-null row has `width` bytes.
void fixed_width_offsets(const Input& in, std::int32_t width, std::int32_t* offsets) {
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
std::int64_t compact_hash_errors(const Input& in, std::int32_t* offsets, char* values) {
  std::int32_t write = 0;
  for (std::int64_t i = 0; i < in.length; ++i) {
    const std::int32_t read = offsets[i];
    std::int32_t len = offsets[i + 1] - read;
    if (len > 0 && std::memcmp(values + read, kHashError.data(), kHashError.size()) == 0) {
      len = static_cast<std::int32_t>(kHashError.size());
    }
    std::memmove(values + write, values + read, static_cast<std::size_t>(len));
    offsets[i] = write;
    write += len;
  }
  offsets[in.length] = write;
  return write;
}

MaskResult<ArrayRef> hash_column(const Input& in, std::string_view key,
                                 std::int64_t first_position, const RangeRunner* runner) {
  const std::int64_t bytes = kTokenBytes * (in.length - in.null_count);
  auto allocated = allocate(in, bytes);
  if (!allocated.ok()) return MaskError::Arrow(allocated.status());
  Output out = std::move(allocated).ValueUnsafe();
  std::int32_t* offsets = out.offset_data();
  char* values = out.value_data();
  fixed_width_offsets(in, static_cast<std::int32_t>(kTokenBytes), offsets);

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
  // Rows go in pairs, which the SHA extensions hash faster than one by one.
  const RangeBody body = [&](std::int64_t begin, std::int64_t end) {
    PositionPrefix prefix(first_position + begin);
    char held_head[PositionPrefix::kSize];
    std::size_t held_head_len = 0;
    std::int64_t held = -1;
    for (std::int64_t i = begin; i < end; ++i, prefix.increment()) {
      if (!in.valid(i)) continue;
      const std::string_view head = prefix.view();
      if (held < 0) {
        std::memcpy(held_head, head.data(), head.size());
        held_head_len = head.size();
        held = i;
        continue;
      }
      const std::string_view first_head(held_head, held_head_len);
      const std::string_view first_value = in.array.GetView(held);
      const std::string_view value = in.array.GetView(i);
      char* first_slot = values + offsets[held];
      char* slot = values + offsets[i];
      if (!prepared.hex_digest2(first_head, first_value, first_slot, head, value, slot)) {
        hash_row(first_head, first_value, first_slot);
        hash_row(head, value, slot);
      }
      held = -1;
    }
    if (held >= 0) {
      hash_row({held_head, held_head_len}, in.array.GetView(held), values + offsets[held]);
    }
  };
  if (runner != nullptr && in.length > 0) {
    (*runner)(in.length, body);
  } else {
    body(0, in.length);
  }
  if (any_hash_error.load()) {
    const std::int64_t used = compact_hash_errors(in, offsets, values);
    auto st = out.values->Resize(used, /*shrink_to_fit=*/false);
    if (!st.ok()) return MaskError::Arrow(st);
  }
  return finish(in, std::move(out));
}

MaskResult<ArrayRef> redact_column(const Input& in) {
  const std::int64_t width = static_cast<std::int64_t>(kRedacted.size());
  auto allocated = allocate(in, width * (in.length - in.null_count));
  if (!allocated.ok()) return MaskError::Arrow(allocated.status());
  Output out = std::move(allocated).ValueUnsafe();
  std::int32_t* offsets = out.offset_data();
  char* values = out.value_data();
  fixed_width_offsets(in, static_cast<std::int32_t>(width), offsets);
  for (std::int64_t i = 0; i < in.length; ++i) {
    if (in.valid(i)) std::memcpy(values + offsets[i], kRedacted.data(), kRedacted.size());
  }
  return finish(in, std::move(out));
}

MaskResult<ArrayRef> copy_column(const Input& in) {
  const std::int32_t* in_offsets = in.array.raw_value_offsets();
  const std::uint8_t* in_values = in.array.raw_data();
  // Null rows may own bytes in the input; the copy drops them.
  std::int64_t bytes = 0;
  if (in.validity == nullptr) {
    bytes = in_offsets[in.length] - in_offsets[0];
  } else {
    for (std::int64_t i = 0; i < in.length; ++i) {
      if (in.valid(i)) bytes += in_offsets[i + 1] - in_offsets[i];
    }
  }
  auto allocated = allocate(in, bytes);
  if (!allocated.ok()) return MaskError::Arrow(allocated.status());
  Output out = std::move(allocated).ValueUnsafe();
  std::int32_t* offsets = out.offset_data();
  char* values = out.value_data();
  if (in.validity == nullptr) {
    const std::int32_t base = in_offsets[0];
    for (std::int64_t i = 0; i <= in.length; ++i) offsets[i] = in_offsets[i] - base;
    if (bytes > 0) std::memcpy(values, in_values + base, static_cast<std::size_t>(bytes));
  } else {
    std::int32_t at = 0;
    offsets[0] = 0;
    for (std::int64_t i = 0; i < in.length; ++i) {
      if (in.valid(i)) {
        const std::int32_t len = in_offsets[i + 1] - in_offsets[i];
        std::memcpy(values + at, in_values + in_offsets[i], static_cast<std::size_t>(len));
        at += len;
      }
      offsets[i + 1] = at;
    }
  }
  return finish(in, std::move(out));
}

}  // namespace

arrow::Status check_output_capacity(std::int64_t bytes) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  if (bytes > kMax) {
    return arrow::Status::CapacityError("masked column needs ", bytes,
                                        " bytes of string data, more than the ", kMax,
                                        " that one Utf8 array can hold");
  }
  return arrow::Status::OK();
}

arrow::Result<ArrayRef> make_null_utf8(std::int64_t length) {
  ARROW_ASSIGN_OR_RAISE(auto validity, arrow::AllocateBuffer(arrow::bit_util::BytesForBits(length)));
  std::memset(validity->mutable_data(), 0, static_cast<std::size_t>(validity->size()));
  ARROW_ASSIGN_OR_RAISE(auto offsets, arrow::AllocateBuffer((length + 1) * 4));
  std::memset(offsets->mutable_data(), 0, static_cast<std::size_t>(offsets->size()));
  ARROW_ASSIGN_OR_RAISE(auto values, arrow::AllocateBuffer(0));
  auto data = arrow::ArrayData::Make(
      arrow::utf8(), length,
      {std::shared_ptr<arrow::Buffer>(std::move(validity)),
       std::shared_ptr<arrow::Buffer>(std::move(offsets)),
       std::shared_ptr<arrow::Buffer>(std::move(values))},
      length);
  return arrow::MakeArray(data);
}

MaskResult<ArrayRef> apply(Transform transform, const ArrayRef& column, const Key& key,
                           std::int64_t first_position, const RangeRunner* runner) {
  if (column->type_id() != arrow::Type::STRING) {
    return MaskError::UnsupportedDataType("unknown", data_type_name(*column->type()));
  }
  if (transform == Transform::Hash && !key.has_value()) return MaskError::MissingKey();

  const Input in(static_cast<const arrow::StringArray&>(*column));
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
  auto nulls = make_null_utf8(in.length);
  if (!nulls.ok()) return MaskError::Arrow(nulls.status());
  return std::move(nulls).ValueUnsafe();
}

}  // namespace mask_engine
