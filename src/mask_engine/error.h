// MaskError: the masking engine's error value. Five variants with fixed
// display texts; the Python boundary puts its own prefix in front of them.
// Values are moved, never shared, and never changed after creation.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "arrow_c/error.h"
#include "common/result.h"

namespace quillon::mask_engine {

class MaskError {
 public:
  enum class Kind : std::uint8_t { UnsupportedDataType, NoColumns, EmptyBatch, Arrow, MissingKey };

  // "unsupported data type for column '<column>': <data_type>", inserted
  // unchanged, without escaping.
  static MaskError UnsupportedDataType(std::string column, std::string data_type);
  // "no columns specified for masking"
  static MaskError NoColumns();
  // "record batch has no rows"
  static MaskError EmptyBatch();
  // "arrow error: " + the layer's error as Arrow renders its errors
  static MaskError Arrow(arrow_c::ArrowError error);
  // "HMAC key required for Hash transform"
  static MaskError MissingKey();

  Kind kind() const { return kind_; }
  // The layer's error behind an Arrow kind.
  const arrow_c::ArrowError& arrow_error() const { return *arrow_; }
  std::string to_string() const;

 private:
  explicit MaskError(Kind kind) : kind_(kind) {}

  Kind kind_;
  std::string column_;
  std::string data_type_;
  std::optional<arrow_c::ArrowError> arrow_;
};

std::ostream& operator<<(std::ostream& os, const MaskError& error);

template <typename T>
using MaskResult = quillon::Result<T, MaskError>;

}  // namespace quillon::mask_engine
