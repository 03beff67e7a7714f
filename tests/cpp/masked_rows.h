// What each transform makes of a column's rows, Hash tokens from the
// OpenSSL oracle: the expectation the masking tests compare with.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "mask_engine/transform.h"
#include "oracle.h"
#include "test_util.h"

namespace quillon::mask_engine::testing {

// `rows` after `transform`, positions counted from `first`.
inline arrow_c::testing::Rows masked_rows(Transform transform, const std::string& key,
                                          const arrow_c::testing::Rows& rows, std::int64_t first = 0) {
  arrow_c::testing::Rows out;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (!rows[i] || transform == Transform::Null) {
      out.emplace_back(std::nullopt);
    } else if (transform == Transform::Hash) {
      out.emplace_back(oracle::token(key, first + static_cast<std::int64_t>(i), *rows[i]));
    } else if (transform == Transform::Redact) {
      out.emplace_back("[REDACTED]");
    } else {
      out.push_back(rows[i]);
    }
  }
  return out;
}

}  // namespace quillon::mask_engine::testing
