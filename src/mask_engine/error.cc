#include "mask_engine/error.h"

namespace quillon::mask_engine {

MaskError MaskError::UnsupportedDataType(std::string column, std::string data_type) {
  MaskError e(Kind::UnsupportedDataType);
  e.column_ = std::move(column);
  e.data_type_ = std::move(data_type);
  return e;
}

MaskError MaskError::NoColumns() { return MaskError(Kind::NoColumns); }
MaskError MaskError::EmptyBatch() { return MaskError(Kind::EmptyBatch); }
MaskError MaskError::MissingKey() { return MaskError(Kind::MissingKey); }

MaskError MaskError::Arrow(arrow_c::ArrowError error) {
  MaskError e(Kind::Arrow);
  e.arrow_ = std::move(error);
  return e;
}

std::string MaskError::to_string() const {
  switch (kind_) {
    case Kind::UnsupportedDataType:
      return "unsupported data type for column '" + column_ + "': " + data_type_;
    case Kind::NoColumns:
      return "no columns specified for masking";
    case Kind::EmptyBatch:
      return "record batch has no rows";
    case Kind::Arrow:
      return "arrow error: " + arrow_->to_string();
    case Kind::MissingKey:
      return "HMAC key required for Hash transform";
  }
  return {};
}

std::ostream& operator<<(std::ostream& os, const MaskError& error) {
  return os << error.to_string();
}

}  // namespace quillon::mask_engine
