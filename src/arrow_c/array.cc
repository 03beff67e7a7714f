#include "arrow_c/array.h"

#include <cstring>

namespace quillon::arrow_c {

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

}  // namespace quillon::arrow_c
