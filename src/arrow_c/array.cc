#include "arrow_c/array.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include <sys/mman.h>

namespace arrow_c {
namespace {

// A buffer of ours: 64-byte aligned, as Arrow recommends, never null (a
// zero-size buffer still gets an address, so no exported pointer is null).
struct AlignedFree {
  void operator()(void* p) const { std::free(p); }
};
using AlignedBuffer = std::unique_ptr<std::uint8_t, AlignedFree>;

// Large buffers are written once, front to back, right after allocation:
// huge pages spare one page fault per 4 KiB of fresh memory.
constexpr std::size_t kHugePage = std::size_t{2} << 20;

AlignedBuffer allocate_aligned(std::int64_t bytes) {
  const std::size_t want = bytes == 0 ? 64 : static_cast<std::size_t>(bytes);
  if (want >= 2 * kHugePage) {
    const std::size_t size = (want + kHugePage - 1) / kHugePage * kHugePage;
    void* p = std::aligned_alloc(kHugePage, size);
    if (p != nullptr) madvise(p, size, MADV_HUGEPAGE);
    return AlignedBuffer(static_cast<std::uint8_t*>(p));
  }
  return AlignedBuffer(static_cast<std::uint8_t*>(std::aligned_alloc(64, (want + 63) / 64 * 64)));
}

}  // namespace

ArrayRef slice(const ArrayRef& array, std::int64_t offset, std::int64_t length) {
  if (offset == 0 && length == array->length) return array;
  auto out = std::make_shared<Array>(*array);
  out->offset = array->offset + offset;
  out->length = length;
  out->null_count = array->null_count == 0 ? 0 : -1;
  return out;
}

RecordBatch slice(const RecordBatch& batch, std::int64_t offset, std::int64_t length) {
  RecordBatch out;
  out.schema = batch.schema;
  out.num_rows = length;
  out.columns.reserve(batch.columns.size());
  for (const auto& column : batch.columns) out.columns.push_back(slice(column, offset, length));
  return out;
}

std::int64_t count_set_bits(const std::uint8_t* bitmap, std::int64_t bit_offset,
                            std::int64_t length) {
  std::int64_t count = 0;
  std::int64_t i = bit_offset;
  const std::int64_t end = bit_offset + length;
  for (; i < end && (i & 7) != 0; ++i) count += (bitmap[i >> 3] >> (i & 7)) & 1;
  for (; i + 64 <= end; i += 64) {
    std::uint64_t word;
    std::memcpy(&word, bitmap + (i >> 3), sizeof(word));
    count += __builtin_popcountll(word);
  }
  for (; i + 8 <= end; i += 8) count += __builtin_popcount(bitmap[i >> 3]);
  for (; i < end; ++i) count += (bitmap[i >> 3] >> (i & 7)) & 1;
  return count;
}

std::int64_t exact_null_count(const Array& array) {
  if (array.null_count >= 0) return array.null_count;
  const auto layout = layout_of(*array.type);
  if (array.type->format == "n") return array.length;
  if (!layout.ok() || !layout.value().validity || array.buffers.empty() ||
      array.buffers[0] == nullptr) {
    return 0;
  }
  return array.length - count_set_bits(static_cast<const std::uint8_t*>(array.buffers[0]),
                                       array.offset, array.length);
}

Result<Utf8View> view_utf8(const Array& array) {
  if (array.type->format != "u") {
    return Status::Invalid("expected format 'u', found '" + array.type->format + "'");
  }
  if (array.buffers.size() != 3) {
    return Status::Invalid("expected 3 buffers, found " + std::to_string(array.buffers.size()));
  }
  Utf8View view;
  view.length = array.length;
  view.validity = static_cast<const std::uint8_t*>(array.buffers[0]);
  view.bit_offset = array.offset;
  if (array.length == 0) {
    static const std::int32_t kZero = 0;
    view.offsets = &kZero;
    view.data = "";
    view.validity = nullptr;
    return view;
  }
  const void* raw_offsets = array.buffers[1];
  if (raw_offsets == nullptr) return Status::Invalid("expected an offsets buffer, found none");
  const auto* first = static_cast<const std::uint8_t*>(raw_offsets) + 4 * array.offset;
  const std::size_t count = static_cast<std::size_t>(array.length) + 1;
  if (reinterpret_cast<std::uintptr_t>(first) % alignof(std::int32_t) != 0) {
    view.aligned_offsets.resize(count);
    std::memcpy(view.aligned_offsets.data(), first, count * sizeof(std::int32_t));
    view.offsets = view.aligned_offsets.data();
  } else {
    view.offsets = reinterpret_cast<const std::int32_t*>(first);
  }
  const std::int32_t* offsets = view.offsets;
  if (offsets[0] < 0) {
    return Status::Invalid("expected a first offset of at least 0, found " + std::to_string(offsets[0]));
  }
  // One pass, no branch taken in the usual case: a decrease anywhere makes
  // the running OR of differences negative.
  std::int64_t any_decrease = 0;
  for (std::int64_t i = 0; i < array.length; ++i) {
    any_decrease |= std::int64_t{offsets[i + 1]} - offsets[i];
  }
  if (any_decrease < 0) {
    for (std::int64_t i = 0; i < array.length; ++i) {
      if (offsets[i + 1] < offsets[i]) {
        return Status::Invalid("offsets decrease at row " + std::to_string(i) + " (expected at least " +
                               std::to_string(offsets[i]) + ", found " +
                               std::to_string(offsets[i + 1]) + ")");
      }
    }
  }
  view.data = static_cast<const char*>(array.buffers[2]);
  if (view.data == nullptr) {
    if (offsets[array.length] != offsets[0]) {
      return Status::Invalid("expected a values buffer, found none");
    }
    view.data = "";
  }
  if (view.validity == nullptr && array.null_count > 0) {
    return Status::Invalid("expected a validity buffer for " + std::to_string(array.null_count) +
                           " nulls, found none");
  }
  return view;
}

struct Utf8Builder::Buffers {
  AlignedBuffer validity, offsets, values;
};

Utf8Builder::Utf8Builder(std::int64_t length, std::unique_ptr<Buffers> buffers)
    : length_(length), buffers_(std::move(buffers)) {}
Utf8Builder::Utf8Builder(Utf8Builder&&) noexcept = default;
Utf8Builder& Utf8Builder::operator=(Utf8Builder&&) noexcept = default;
Utf8Builder::~Utf8Builder() = default;

Result<Utf8Builder> Utf8Builder::allocate(std::int64_t length, std::int64_t value_bytes,
                                          bool with_validity) {
  if (value_bytes > kMaxUtf8Bytes) {
    return Status::CapacityError("masked column needs " + std::to_string(value_bytes) +
                                 " bytes of string data, more than the " +
                                 std::to_string(kMaxUtf8Bytes) + " that one Utf8 array can hold");
  }
  auto buffers = std::unique_ptr<Buffers>(new (std::nothrow) Buffers());
  if (!buffers) return Status::OutOfMemory("cannot allocate a Utf8 array");
  buffers->offsets = allocate_aligned((length + 1) * 4);
  buffers->values = allocate_aligned(value_bytes);
  if (with_validity) buffers->validity = allocate_aligned((length + 7) / 8);
  if (!buffers->offsets || !buffers->values || (with_validity && !buffers->validity)) {
    return Status::OutOfMemory("cannot allocate a Utf8 array of " + std::to_string(length) +
                               " rows and " + std::to_string(value_bytes) + " value bytes");
  }
  return Utf8Builder(length, std::move(buffers));
}

std::uint8_t* Utf8Builder::validity() { return buffers_->validity.get(); }
std::int32_t* Utf8Builder::offsets() { return reinterpret_cast<std::int32_t*>(buffers_->offsets.get()); }
char* Utf8Builder::values() { return reinterpret_cast<char*>(buffers_->values.get()); }

ArrayRef Utf8Builder::finish(std::int64_t null_count) && {
  auto out = std::make_shared<Array>();
  out->type = utf8_type();
  out->length = length_;
  out->null_count = null_count;
  out->buffers = {buffers_->validity.get(), buffers_->offsets.get(), buffers_->values.get()};
  out->keep_alive = std::shared_ptr<const Buffers>(std::move(buffers_));
  return out;
}

Result<ArrayRef> make_null_utf8(std::int64_t length) {
  auto built = Utf8Builder::allocate(length, 0, /*with_validity=*/true);
  if (!built.ok()) return std::move(built).error();
  Utf8Builder builder = std::move(built).value();
  std::memset(builder.validity(), 0, static_cast<std::size_t>((length + 7) / 8));
  std::memset(builder.offsets(), 0, static_cast<std::size_t>(length + 1) * 4);
  return std::move(builder).finish(length);
}

}  // namespace arrow_c
