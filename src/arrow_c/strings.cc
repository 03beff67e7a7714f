#include "arrow_c/strings.h"

#include "arrow_c/buffer_cache.h"

#include <cstdlib>
#include <limits>
#include <type_traits>
#include <new>
#include <string>


namespace quillon::arrow_c {
namespace {

// A buffer of ours: 64-byte aligned, as Arrow recommends, never null (a
// zero-size buffer still gets an address, so no exported pointer is null).
// Large ones come from, and go back to, the buffer cache: they are written
// front to back right after allocation, and pages already touched (or huge
// pages) spare a page fault per 4 KiB of fresh memory.
struct AlignedFree {
  std::size_t large_capacity = 0;  // 0: a plain aligned_alloc block
  void operator()(void* p) const {
    if (large_capacity != 0) {
      release_large(p, large_capacity);
    } else {
      std::free(p);
    }
  }
};
using AlignedBuffer = std::unique_ptr<std::uint8_t, AlignedFree>;

AlignedBuffer allocate_aligned(std::int64_t bytes) {
  const std::size_t want = bytes == 0 ? 64 : static_cast<std::size_t>(bytes);
  if (want >= kLargeBuffer) {
    std::size_t capacity = 0;
    void* p = allocate_large(want, &capacity);
    return AlignedBuffer(static_cast<std::uint8_t*>(p), AlignedFree{p != nullptr ? capacity : 0});
  }
  return AlignedBuffer(static_cast<std::uint8_t*>(std::aligned_alloc(64, (want + 63) / 64 * 64)));
}

std::int64_t known_size(const Array& array, std::size_t buffer) {
  return buffer < array.buffer_sizes.size() ? array.buffer_sizes[buffer] : -1;
}

template <typename Offset>
constexpr const char* format_of() {
  return sizeof(Offset) == 4 ? "u" : "U";
}

template <typename Offset>
ArrowResult<OffsetStrings<Offset>> read_offsets(const Array& array) {
  const std::string format = format_of<Offset>();
  if (array.type->format != format || array.type->dictionary) {
    return ArrowError::Invalid("expected format '" + format + "', found '" + array.type->format + "'");
  }
  if (array.buffers.size() != 3) {
    return ArrowError::Invalid("expected 3 buffers, found " + std::to_string(array.buffers.size()));
  }
  OffsetStrings<Offset> view;
  view.length = array.length;
  view.validity = static_cast<const std::uint8_t*>(array.buffers[0]);
  view.bit_offset = array.offset;
  if (array.length == 0) {
    static const Offset kZero = 0;
    view.offsets = &kZero;
    view.data = "";
    view.validity = nullptr;
    return view;
  }
  const void* raw_offsets = array.buffers[1];
  if (raw_offsets == nullptr) return ArrowError::Invalid("expected an offsets buffer, found none");
  const std::int64_t offsets_bytes = known_size(array, 1);
  const std::int64_t needed = (array.offset + array.length + 1) * std::int64_t{sizeof(Offset)};
  if (offsets_bytes >= 0 && offsets_bytes < needed) {
    return ArrowError::Invalid("expected an offsets buffer of at least " + std::to_string(needed) +
                           " bytes, found " + std::to_string(offsets_bytes));
  }
  const auto* first = static_cast<const std::uint8_t*>(raw_offsets) + sizeof(Offset) * array.offset;
  const std::size_t count = static_cast<std::size_t>(array.length) + 1;
  if (reinterpret_cast<std::uintptr_t>(first) % alignof(Offset) != 0) {
    view.aligned_offsets = std::make_unique<Offset[]>(count);
    std::memcpy(view.aligned_offsets.get(), first, count * sizeof(Offset));
    view.offsets = view.aligned_offsets.get();
  } else {
    view.offsets = reinterpret_cast<const Offset*>(first);
  }
  const Offset* offsets = view.offsets;
  // The bounds every later read is clamped to are read once, here.
  view.first = load_once(offsets);
  view.bound = load_once(offsets + array.length);
  if (view.first < 0) {
    return ArrowError::Invalid("expected a first offset of at least 0, found " + std::to_string(view.first));
  }
  // One pass, no branch taken in the usual case. Offsets are compared, not
  // subtracted: the difference of two producer offsets can overflow Offset
  // and wrap a decrease into a positive step.
  bool any_decrease = view.bound < view.first;
  for (std::int64_t i = 0; i < array.length; ++i) any_decrease |= offsets[i + 1] < offsets[i];
  if (any_decrease) {
    for (std::int64_t i = 0; i < array.length; ++i) {
      if (offsets[i + 1] < offsets[i]) {
        return ArrowError::Invalid("offsets decrease at row " + std::to_string(i) + " (expected at least " +
                               std::to_string(offsets[i]) + ", found " +
                               std::to_string(offsets[i + 1]) + ")");
      }
    }
    return ArrowError::Invalid("expected a last offset of at least " + std::to_string(view.first) +
                           ", found " + std::to_string(view.bound));
  }
  const std::int64_t values_bytes = known_size(array, 2);
  if (values_bytes >= 0 && view.bound > values_bytes) {
    return ArrowError::Invalid("expected offsets within the " + std::to_string(values_bytes) +
                           "-byte values buffer, found " + std::to_string(view.bound));
  }
  view.data = static_cast<const char*>(array.buffers[2]);
  if (view.data == nullptr) {
    if (view.bound != view.first) return ArrowError::Invalid("expected a values buffer, found none");
    view.data = "";
    view.first = view.bound = 0;
  }
  if (view.validity == nullptr && array.null_count > 0) {
    return ArrowError::Invalid("expected a validity buffer for " + std::to_string(array.null_count) +
                           " nulls, found none");
  }
  return view;
}

SchemaRef plain_type(const char* format) {
  auto s = std::make_shared<Schema>();
  s->format = format;
  s->flags = ARROW_FLAG_NULLABLE;
  return s;
}

}  // namespace

std::int64_t ProducerBits::copy_validity(std::uint8_t* out) const {
  const std::int64_t bytes = (length + 7) / 8;
  if (bytes == 0) return 0;
  if (bit_offset % 8 == 0) {
    std::memcpy(out, validity + bit_offset / 8, static_cast<std::size_t>(bytes));
    // Bits past the last row are not the input's to give away.
    if (length % 8 != 0) out[bytes - 1] &= static_cast<std::uint8_t>((1u << (length % 8)) - 1);
  } else {
    std::memset(out, 0, static_cast<std::size_t>(bytes));
    for (std::int64_t i = 0; i < length; ++i) {
      if (valid(i)) out[i >> 3] |= static_cast<std::uint8_t>(1u << (i & 7));
    }
  }
  return length - count_set_bits(out, 0, length);
}

ArrowResult<Utf8Strings> read_utf8(const Array& array) { return read_offsets<std::int32_t>(array); }
ArrowResult<LargeUtf8Strings> read_large_utf8(const Array& array) { return read_offsets<std::int64_t>(array); }

ArrowResult<Utf8ViewStrings> read_utf8_view(const Array& array) {
  if (array.type->format != "vu" || array.type->dictionary) {
    return ArrowError::Invalid("expected format 'vu', found '" + array.type->format + "'");
  }
  if (array.buffers.size() < 3) {
    return ArrowError::Invalid("expected at least 3 buffers, found " + std::to_string(array.buffers.size()));
  }
  Utf8ViewStrings view;
  view.length = array.length;
  view.validity = static_cast<const std::uint8_t*>(array.buffers[0]);
  view.bit_offset = array.offset;
  const std::size_t data_count = array.buffers.size() - 3;
  const auto* sizes = static_cast<const std::uint8_t*>(array.buffers.back());
  if (data_count > 0 && sizes == nullptr) {
    return ArrowError::Invalid("expected the sizes of " + std::to_string(data_count) +
                           " data buffers, found none");
  }
  view.data.reserve(data_count);
  view.sizes.reserve(data_count);
  for (std::size_t k = 0; k < data_count; ++k) {
    std::int64_t size;
    std::memcpy(&size, sizes + 8 * k, sizeof(size));
    const char* data = static_cast<const char*>(array.buffers[2 + k]);
    const std::int64_t told = known_size(array, 2 + k);
    if (size < 0 || (told >= 0 && size > told)) {
      return ArrowError::Invalid("expected data buffer " + std::to_string(k) + " to hold from 0 to " +
                             (told >= 0 ? std::to_string(told) : std::string("2^63-1")) +
                             " bytes, found " + std::to_string(size));
    }
    if (data == nullptr && size > 0) {
      return ArrowError::Invalid("expected data buffer " + std::to_string(k) + ", found none");
    }
    view.data.push_back(data == nullptr ? "" : data);
    view.sizes.push_back(data == nullptr ? 0 : size);
  }
  if (array.length == 0) {
    view.validity = nullptr;
    return view;
  }
  if (array.buffers[1] == nullptr) return ArrowError::Invalid("expected a views buffer, found none");
  const std::int64_t views_bytes = known_size(array, 1);
  if (views_bytes >= 0 && views_bytes < 16 * (array.offset + array.length)) {
    return ArrowError::Invalid("expected a views buffer of at least " +
                           std::to_string(16 * (array.offset + array.length)) + " bytes, found " +
                           std::to_string(views_bytes));
  }
  if (view.validity == nullptr && array.null_count > 0) {
    return ArrowError::Invalid("expected a validity buffer for " + std::to_string(array.null_count) +
                           " nulls, found none");
  }
  view.views = static_cast<const std::uint8_t*>(array.buffers[1]) + 16 * array.offset;
  for (std::int64_t i = 0; i < array.length; ++i) {
    std::int32_t v[4];
    std::memcpy(v, view.views + 16 * i, sizeof(v));
    if (v[0] <= 12 || !view.valid(i)) {
      if (v[0] < 0 && view.valid(i)) {
        return ArrowError::Invalid("expected a length of at least 0 in the view of row " +
                               std::to_string(i) + ", found " + std::to_string(v[0]));
      }
      continue;
    }
    if (v[2] < 0 || static_cast<std::size_t>(v[2]) >= data_count) {
      return ArrowError::Invalid("expected a data buffer index from 0 to " +
                             std::to_string(static_cast<std::int64_t>(data_count) - 1) +
                             " in the view of row " + std::to_string(i) + ", found " +
                             std::to_string(v[2]));
    }
    const std::int64_t end = std::int64_t{v[3]} + v[0];
    if (v[3] < 0 || end > view.sizes[static_cast<std::size_t>(v[2])]) {
      return ArrowError::Invalid("expected the view of row " + std::to_string(i) + " within the " +
                             std::to_string(view.sizes[static_cast<std::size_t>(v[2])]) +
                             " bytes of data buffer " + std::to_string(v[2]) + ", found bytes " +
                             std::to_string(v[3]) + " to " + std::to_string(end));
    }
  }
  return view;
}

namespace {

// Reads the indices of type T once into `out`; the first index of a valid
// row outside [0, dictionary length) is refused.
template <typename T>
ArrowResult<Done> read_indices(const std::uint8_t* raw, const ProducerBits& bits, const ProducerBits& dict_bits,
                    std::int64_t dict_length, DictionaryIndices& out) {
  const std::int64_t length = out.length;
  std::int64_t valid_rows = 0;
  for (std::int64_t i = 0; i < length; ++i) {
    if (!bits.valid(i)) {
      out.index[static_cast<std::size_t>(i)] = 0;
      continue;
    }
    T value;
    std::memcpy(&value, raw + sizeof(T) * static_cast<std::size_t>(i), sizeof(T));
    // Unsigned so negative values of a signed type land past the end too.
    if (static_cast<std::uint64_t>(static_cast<std::int64_t>(value)) >= static_cast<std::uint64_t>(dict_length) ||
        (std::is_unsigned_v<T> && sizeof(T) == 8 && static_cast<std::uint64_t>(value) >> 63 != 0)) {
      return ArrowError::Invalid("expected dictionary indices from 0 to " + std::to_string(dict_length - 1) +
                             ", found " + std::to_string(value) + " at row " + std::to_string(i));
    }
    const auto index = static_cast<std::int32_t>(value);
    const bool valid = dict_bits.valid(index);
    out.index[static_cast<std::size_t>(i)] = valid ? index : 0;
    out.bits[static_cast<std::size_t>(i >> 3)] |= static_cast<std::uint8_t>(valid ? 1u << (i & 7) : 0u);
    valid_rows += valid;
  }
  out.null_count = length - valid_rows;
  return Done{};
}

}  // namespace

ArrowResult<DictionaryIndices> read_dictionary_indices(const Array& array) {
  const std::string& f = array.type->format;
  if (!array.dictionary || f.size() != 1 || std::string_view("cCsSiIlL").find(f[0]) == std::string_view::npos) {
    return ArrowError::Invalid("expected a dictionary with an integer index, found format '" + f + "'");
  }
  if (array.buffers.size() != 2) {
    return ArrowError::Invalid("expected 2 buffers, found " + std::to_string(array.buffers.size()));
  }
  const Array& dict = *array.dictionary;
  if (dict.length > std::numeric_limits<std::int32_t>::max()) {
    return ArrowError::Invalid("expected a dictionary of at most 2147483647 values, found " +
                           std::to_string(dict.length));
  }
  const ProducerBits dict_bits{dict.length,
                               dict.buffers.empty() ? nullptr
                                                    : static_cast<const std::uint8_t*>(dict.buffers[0]),
                               dict.offset};
  const ProducerBits bits{array.length, static_cast<const std::uint8_t*>(array.buffers[0]), array.offset};
  DictionaryIndices out;
  out.length = array.length;
  if (array.length == 0) return out;
  const auto* raw = static_cast<const std::uint8_t*>(array.buffers[1]);
  if (raw == nullptr) return ArrowError::Invalid("expected an indices buffer, found none");
  const std::size_t width = f[0] == 'c' || f[0] == 'C' ? 1 : f[0] == 's' || f[0] == 'S' ? 2
                            : f[0] == 'i' || f[0] == 'I' ? 4 : 8;
  const std::int64_t told = known_size(array, 1);
  const std::int64_t needed = (array.offset + array.length) * static_cast<std::int64_t>(width);
  if (told >= 0 && told < needed) {
    return ArrowError::Invalid("expected an indices buffer of at least " + std::to_string(needed) +
                           " bytes, found " + std::to_string(told));
  }
  if (bits.validity == nullptr && array.null_count > 0) {
    return ArrowError::Invalid("expected a validity buffer for " + std::to_string(array.null_count) +
                           " nulls, found none");
  }
  try {
    out.index.resize(static_cast<std::size_t>(array.length));
    out.bits.assign(static_cast<std::size_t>((array.length + 7) / 8), 0);
  } catch (const std::bad_alloc&) {
    return ArrowError::OutOfMemory("cannot allocate the indices of " + std::to_string(array.length) + " rows");
  }
  raw += width * static_cast<std::size_t>(array.offset);
  ArrowResult<Done> st = Done{};
  switch (f[0]) {
    case 'c': st = read_indices<std::int8_t>(raw, bits, dict_bits, dict.length, out); break;
    case 'C': st = read_indices<std::uint8_t>(raw, bits, dict_bits, dict.length, out); break;
    case 's': st = read_indices<std::int16_t>(raw, bits, dict_bits, dict.length, out); break;
    case 'S': st = read_indices<std::uint16_t>(raw, bits, dict_bits, dict.length, out); break;
    case 'i': st = read_indices<std::int32_t>(raw, bits, dict_bits, dict.length, out); break;
    case 'I': st = read_indices<std::uint32_t>(raw, bits, dict_bits, dict.length, out); break;
    case 'l': st = read_indices<std::int64_t>(raw, bits, dict_bits, dict.length, out); break;
    default: st = read_indices<std::uint64_t>(raw, bits, dict_bits, dict.length, out); break;
  }
  QM_RETURN_IF_ERROR(st);
  return out;
}

class OwnedBuffers {
 public:
  std::vector<AlignedBuffer> buffers;
  bool add(std::int64_t bytes) {
    AlignedBuffer b = allocate_aligned(bytes);
    if (!b) return false;
    buffers.push_back(std::move(b));
    return true;
  }
};

namespace {

ArrowError out_of_memory(std::int64_t length, std::int64_t bytes) {
  return ArrowError::OutOfMemory("cannot allocate a string array of " + std::to_string(length) +
                             " rows and " + std::to_string(bytes) + " value bytes");
}

}  // namespace

// Buffers: 0 validity (a zero-size one when not asked for), 1 offsets, 2 values.
template <typename Offset>
StringBuilder<Offset>::StringBuilder(std::int64_t length, std::unique_ptr<OwnedBuffers> buffers)
    : length_(length), buffers_(std::move(buffers)) {}
template <typename Offset>
StringBuilder<Offset>::StringBuilder(StringBuilder&&) noexcept = default;
template <typename Offset>
StringBuilder<Offset>& StringBuilder<Offset>::operator=(StringBuilder&&) noexcept = default;
template <typename Offset>
StringBuilder<Offset>::~StringBuilder() = default;

template <typename Offset>
ArrowResult<StringBuilder<Offset>> StringBuilder<Offset>::allocate(std::int64_t length, bool with_validity) {
  auto buffers = std::unique_ptr<OwnedBuffers>(new (std::nothrow) OwnedBuffers());
  if (!buffers) return out_of_memory(length, 0);
  try {
    buffers->buffers.reserve(3);
  } catch (const std::bad_alloc&) {
    return out_of_memory(length, 0);
  }
  if (!buffers->add(with_validity ? (length + 7) / 8 : 0) ||
      !buffers->add((length + 1) * static_cast<std::int64_t>(sizeof(Offset)))) {
    return out_of_memory(length, 0);
  }
  if (!with_validity) buffers->buffers[0].reset();
  return StringBuilder(length, std::move(buffers));
}

template <typename Offset>
ArrowResult<Done> StringBuilder<Offset>::allocate_values(std::int64_t bytes) {
  if (sizeof(Offset) == 4 && bytes > kMaxUtf8Bytes) {
    return ArrowError::CapacityError("masked column needs " + std::to_string(bytes) +
                                 " bytes of string data, more than the " +
                                 std::to_string(kMaxUtf8Bytes) + " that one Utf8 array can hold");
  }
  if (!buffers_->add(bytes)) return out_of_memory(length_, bytes);
  return Done{};
}

template <typename Offset>
ArrowResult<StringBuilder<Offset>> StringBuilder<Offset>::allocate(std::int64_t length, std::int64_t value_bytes,
                                                              bool with_validity) {
  if (sizeof(Offset) == 4 && value_bytes > kMaxUtf8Bytes) {
    return ArrowError::CapacityError("masked column needs " + std::to_string(value_bytes) +
                                 " bytes of string data, more than the " +
                                 std::to_string(kMaxUtf8Bytes) + " that one Utf8 array can hold");
  }
  QM_ASSIGN_OR_RETURN(StringBuilder built, allocate(length, with_validity));
  QM_RETURN_IF_ERROR(built.allocate_values(value_bytes));
  return built;
}

template <typename Offset>
std::uint8_t* StringBuilder<Offset>::validity() {
  return buffers_->buffers[0].get();
}
template <typename Offset>
Offset* StringBuilder<Offset>::offsets() {
  return reinterpret_cast<Offset*>(buffers_->buffers[1].get());
}
template <typename Offset>
char* StringBuilder<Offset>::values() {
  return reinterpret_cast<char*>(buffers_->buffers[2].get());
}

template <typename Offset>
ArrayRef StringBuilder<Offset>::finish(std::int64_t null_count) && {
  auto out = std::make_shared<Array>();
  out->type = sizeof(Offset) == 4 ? utf8_type() : large_utf8_type();
  out->length = length_;
  out->null_count = null_count;
  out->buffers = {validity(), offsets(), values()};
  out->keep_alive = std::shared_ptr<const OwnedBuffers>(std::move(buffers_));
  return out;
}

template class StringBuilder<std::int32_t>;
template class StringBuilder<std::int64_t>;

// Buffers: 0 validity (reset when not asked for), 1 views, 2 the sizes (one
// int64, written by finish() when there is a data buffer), 3 the data.
StringViewBuilder::StringViewBuilder(std::int64_t length, std::unique_ptr<OwnedBuffers> buffers)
    : length_(length), buffers_(std::move(buffers)), views_(buffers_->buffers[1].get()) {}
StringViewBuilder::StringViewBuilder(StringViewBuilder&&) noexcept = default;
StringViewBuilder& StringViewBuilder::operator=(StringViewBuilder&&) noexcept = default;
StringViewBuilder::~StringViewBuilder() = default;

ArrowResult<StringViewBuilder> StringViewBuilder::allocate(std::int64_t length, bool with_validity) {
  auto buffers = std::unique_ptr<OwnedBuffers>(new (std::nothrow) OwnedBuffers());
  if (!buffers) return out_of_memory(length, 0);
  try {
    buffers->buffers.reserve(4);
  } catch (const std::bad_alloc&) {
    return out_of_memory(length, 0);
  }
  if (!buffers->add(with_validity ? (length + 7) / 8 : 0) || !buffers->add(16 * length) ||
      !buffers->add(8)) {
    return out_of_memory(length, 0);
  }
  if (!with_validity) buffers->buffers[0].reset();
  return StringViewBuilder(length, std::move(buffers));
}

ArrowResult<Done> StringViewBuilder::allocate_data(std::int64_t bytes) {
  if (bytes > kMaxUtf8Bytes) {
    return ArrowError::CapacityError("masked column needs " + std::to_string(bytes) +
                                 " bytes of string data, more than the " +
                                 std::to_string(kMaxUtf8Bytes) + " that one view data buffer can address");
  }
  if (!buffers_->add(bytes)) return out_of_memory(length_, bytes);
  data_bytes_ = bytes;
  return Done{};
}

std::uint8_t* StringViewBuilder::validity() { return buffers_->buffers[0].get(); }
char* StringViewBuilder::data() {
  return data_bytes_ < 0 ? nullptr : reinterpret_cast<char*>(buffers_->buffers[3].get());
}

void StringViewBuilder::set(std::int64_t i, std::string_view value, std::int64_t at) {
  std::uint8_t* view = views_ + 16 * i;
  const std::int32_t length = static_cast<std::int32_t>(value.size());
  std::memcpy(view, &length, 4);
  if (value.size() <= 12) {
    std::memset(view + 4, 0, 12);
    std::memcpy(view + 4, value.data(), value.size());
    return;
  }
  const std::int32_t index = 0;
  const std::int32_t offset = static_cast<std::int32_t>(at);
  std::memcpy(view + 4, value.data(), 4);
  std::memcpy(view + 8, &index, 4);
  std::memcpy(view + 12, &offset, 4);
}

ArrayRef StringViewBuilder::finish(std::int64_t null_count) && {
  auto out = std::make_shared<Array>();
  out->type = utf8_view_type();
  out->length = length_;
  out->null_count = null_count;
  out->buffers = {validity(), views()};
  if (data_bytes_ >= 0) {
    out->buffers.push_back(data());
    std::memcpy(buffers_->buffers[2].get(), &data_bytes_, sizeof(data_bytes_));
  }
  out->buffers.push_back(buffers_->buffers[2].get());
  out->keep_alive = std::shared_ptr<const OwnedBuffers>(std::move(buffers_));
  return out;
}

ArrowResult<ArrayRef> make_null_utf8(std::int64_t length) {
  QM_ASSIGN_OR_RETURN(Utf8Builder builder, Utf8Builder::allocate(length, 0, /*with_validity=*/true));
  std::memset(builder.validity(), 0, static_cast<std::size_t>((length + 7) / 8));
  std::memset(builder.offsets(), 0, static_cast<std::size_t>(length + 1) * 4);
  return std::move(builder).finish(length);
}

ArrowResult<ArrayRef> make_null_array(const SchemaRef& type, std::int64_t length) {
  const std::string& f = type->format;
  auto buffers = std::make_shared<OwnedBuffers>();
  auto out = std::make_shared<Array>();
  out->type = type;
  out->length = length;
  out->null_count = length;
  auto zeroed = [&](std::int64_t bytes) -> const void* {
    if (!buffers->add(bytes)) return nullptr;
    std::memset(buffers->buffers.back().get(), 0, static_cast<std::size_t>(bytes == 0 ? 64 : bytes));
    return buffers->buffers.back().get();
  };
  std::vector<std::int64_t> sizes;
  if (f == "n") {
    out->keep_alive = buffers;
    return ArrayRef(std::move(out));
  }
  if (type->dictionary) {
    const std::size_t width = f == "c" || f == "C" ? 1 : f == "s" || f == "S" ? 2 : f == "i" || f == "I" ? 4 : 8;
    sizes = {(length + 7) / 8, length * static_cast<std::int64_t>(width)};
    QM_ASSIGN_OR_RETURN(out->dictionary, make_null_array(type->dictionary, 0));
  } else if (f == "u" || f == "U") {
    sizes = {(length + 7) / 8, (length + 1) * (f == "u" ? 4 : 8), 0};
  } else if (f == "vu") {
    sizes = {(length + 7) / 8, 16 * length, 0};  // no data buffer; an empty sizes buffer
  } else {
    return ArrowError::Invalid("cannot make an all-null array of type " + type_name(*type));
  }
  for (std::int64_t bytes : sizes) {
    const void* p = zeroed(bytes);
    if (p == nullptr) return ArrowError::OutOfMemory("cannot allocate an all-null array of " + std::to_string(length) + " rows");
    out->buffers.push_back(p);
  }
  out->keep_alive = buffers;
  return ArrayRef(std::move(out));
}

const SchemaRef& large_utf8_type() {
  static const SchemaRef type = plain_type("U");
  return type;
}

const SchemaRef& utf8_view_type() {
  static const SchemaRef type = plain_type("vu");
  return type;
}

}  // namespace quillon::arrow_c
