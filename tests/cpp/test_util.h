// Small builders shared by the engine tests.
#pragma once

#include <arrow/api.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace mask_engine::testing {

using Rows = std::vector<std::optional<std::string>>;

inline std::shared_ptr<arrow::Array> utf8(const Rows& rows) {
  arrow::StringBuilder b;
  for (const auto& r : rows) {
    EXPECT_TRUE((r ? b.Append(*r) : b.AppendNull()).ok());
  }
  std::shared_ptr<arrow::Array> out;
  EXPECT_TRUE(b.Finish(&out).ok());
  return out;
}

inline std::shared_ptr<arrow::Array> int64s(const std::vector<std::int64_t>& v) {
  arrow::Int64Builder b;
  EXPECT_TRUE(b.AppendValues(v).ok());
  std::shared_ptr<arrow::Array> out;
  EXPECT_TRUE(b.Finish(&out).ok());
  return out;
}

inline Rows rows_of(const arrow::Array& array) {
  const auto& s = static_cast<const arrow::StringArray&>(array);
  Rows out;
  for (std::int64_t i = 0; i < s.length(); ++i) {
    if (s.IsNull(i)) {
      out.emplace_back(std::nullopt);
    } else {
      out.emplace_back(std::string(s.GetView(i)));
    }
  }
  return out;
}

}  // namespace mask_engine::testing
