// Builds string columns of the given values for the benchmarks, written
// straight into the layer's buffers: Utf8, LargeUtf8, Utf8View, and a
// dictionary with int32 indices over Utf8 values.
#pragma once

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "arrow_c/strings.h"

template <typename Offset>
quillon::arrow_c::ArrayRef offsets_column(const std::vector<std::string>& values) {
  std::int64_t bytes = 0;
  for (const auto& v : values) bytes += static_cast<std::int64_t>(v.size());
  auto builder = quillon::arrow_c::StringBuilder<Offset>::allocate(static_cast<std::int64_t>(values.size()), bytes, false);
  if (!builder.ok()) return nullptr;
  quillon::arrow_c::StringBuilder<Offset> b = std::move(builder).value();
  Offset at = 0;
  b.offsets()[0] = 0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    std::memcpy(b.values() + at, values[i].data(), values[i].size());
    at += static_cast<Offset>(values[i].size());
    b.offsets()[i + 1] = at;
  }
  return std::move(b).finish(0);
}

inline quillon::arrow_c::ArrayRef utf8_column(const std::vector<std::string>& values) {
  return offsets_column<std::int32_t>(values);
}

inline quillon::arrow_c::ArrayRef large_utf8_column(const std::vector<std::string>& values) {
  return offsets_column<std::int64_t>(values);
}

inline quillon::arrow_c::ArrayRef string_view_column(const std::vector<std::string>& values) {
  std::int64_t bytes = 0;
  for (const auto& v : values) bytes += v.size() > 12 ? static_cast<std::int64_t>(v.size()) : 0;
  auto builder = quillon::arrow_c::StringViewBuilder::allocate(static_cast<std::int64_t>(values.size()), false);
  if (!builder.ok()) return nullptr;
  quillon::arrow_c::StringViewBuilder b = std::move(builder).value();
  if (!b.allocate_data(bytes).ok()) return nullptr;
  std::int64_t at = 0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (values[i].size() > 12) {
      std::memcpy(b.data() + at, values[i].data(), values[i].size());
      b.set(static_cast<std::int64_t>(i), std::string_view(b.data() + at, values[i].size()), at);
      at += static_cast<std::int64_t>(values[i].size());
    } else {
      b.set(static_cast<std::int64_t>(i), values[i], 0);
    }
  }
  return std::move(b).finish(0);
}

// Row i points at dictionary entry i: the same values as the other layouts,
// reached through an index.
inline quillon::arrow_c::ArrayRef dictionary_column(const std::vector<std::string>& values) {
  auto dictionary = utf8_column(values);
  if (!dictionary) return nullptr;
  auto indices = std::make_shared<std::vector<std::int32_t>>(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) (*indices)[i] = static_cast<std::int32_t>(i);
  auto type = std::make_shared<quillon::arrow_c::Schema>();
  type->format = "i";
  type->flags = ARROW_FLAG_NULLABLE;
  type->dictionary = dictionary->type;
  auto out = std::make_shared<quillon::arrow_c::Array>();
  out->type = type;
  out->length = static_cast<std::int64_t>(values.size());
  out->buffers = {nullptr, indices->data()};
  out->dictionary = dictionary;
  out->keep_alive = indices;
  return out;
}
