// Builds a Utf8 column of the given values for the benchmarks, written
// straight into the layer's buffers.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "arrow_c/strings.h"

inline arrow_c::ArrayRef utf8_column(const std::vector<std::string>& values) {
  std::int64_t bytes = 0;
  for (const auto& v : values) bytes += static_cast<std::int64_t>(v.size());
  auto builder = arrow_c::Utf8Builder::allocate(static_cast<std::int64_t>(values.size()), bytes, false);
  if (!builder.ok()) return nullptr;
  arrow_c::Utf8Builder b = std::move(builder).value();
  std::int32_t at = 0;
  b.offsets()[0] = 0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    std::memcpy(b.values() + at, values[i].data(), values[i].size());
    at += static_cast<std::int32_t>(values[i].size());
    b.offsets()[i + 1] = at;
  }
  return std::move(b).finish(0);
}
