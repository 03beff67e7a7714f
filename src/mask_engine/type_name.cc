// Data type names in the form used by the engine's error texts: the flat
// names (Int64, LargeUtf8, Utf8View) callers already know, with parameters in
// parentheses for the common parameterised types.
#include <arrow/type.h>

#include <string>

#include "mask_engine/transform.h"

namespace mask_engine {
namespace {

const char* unit_name(arrow::TimeUnit::type unit) {
  switch (unit) {
    case arrow::TimeUnit::SECOND:
      return "Second";
    case arrow::TimeUnit::MILLI:
      return "Millisecond";
    case arrow::TimeUnit::MICRO:
      return "Microsecond";
    case arrow::TimeUnit::NANO:
      return "Nanosecond";
  }
  return "Unknown";
}

std::string decimal_name(const char* prefix, const arrow::DataType& type) {
  const auto& d = static_cast<const arrow::DecimalType&>(type);
  return std::string(prefix) + "(" + std::to_string(d.precision()) + ", " +
         std::to_string(d.scale()) + ")";
}

}  // namespace

std::string data_type_name(const arrow::DataType& type) {
  using arrow::Type;
  switch (type.id()) {
    case Type::NA: return "Null";
    case Type::BOOL: return "Boolean";
    case Type::INT8: return "Int8";
    case Type::INT16: return "Int16";
    case Type::INT32: return "Int32";
    case Type::INT64: return "Int64";
    case Type::UINT8: return "UInt8";
    case Type::UINT16: return "UInt16";
    case Type::UINT32: return "UInt32";
    case Type::UINT64: return "UInt64";
    case Type::HALF_FLOAT: return "Float16";
    case Type::FLOAT: return "Float32";
    case Type::DOUBLE: return "Float64";
    case Type::STRING: return "Utf8";
    case Type::LARGE_STRING: return "LargeUtf8";
    case Type::STRING_VIEW: return "Utf8View";
    case Type::BINARY: return "Binary";
    case Type::LARGE_BINARY: return "LargeBinary";
    case Type::BINARY_VIEW: return "BinaryView";
    case Type::DATE32: return "Date32";
    case Type::DATE64: return "Date64";
    case Type::INTERVAL_MONTHS: return "Interval(YearMonth)";
    case Type::INTERVAL_DAY_TIME: return "Interval(DayTime)";
    case Type::INTERVAL_MONTH_DAY_NANO: return "Interval(MonthDayNano)";
    case Type::FIXED_SIZE_BINARY:
      return "FixedSizeBinary(" +
             std::to_string(static_cast<const arrow::FixedSizeBinaryType&>(type).byte_width()) + ")";
    case Type::TIMESTAMP: {
      const auto& t = static_cast<const arrow::TimestampType&>(type);
      const std::string tz = t.timezone().empty() ? "None" : "Some(\"" + t.timezone() + "\")";
      return std::string("Timestamp(") + unit_name(t.unit()) + ", " + tz + ")";
    }
    case Type::TIME32:
      return std::string("Time32(") + unit_name(static_cast<const arrow::Time32Type&>(type).unit()) + ")";
    case Type::TIME64:
      return std::string("Time64(") + unit_name(static_cast<const arrow::Time64Type&>(type).unit()) + ")";
    case Type::DURATION:
      return std::string("Duration(") + unit_name(static_cast<const arrow::DurationType&>(type).unit()) + ")";
    case Type::DECIMAL32: return decimal_name("Decimal32", type);
    case Type::DECIMAL64: return decimal_name("Decimal64", type);
    case Type::DECIMAL128: return decimal_name("Decimal128", type);
    case Type::DECIMAL256: return decimal_name("Decimal256", type);
    case Type::DICTIONARY: {
      const auto& d = static_cast<const arrow::DictionaryType&>(type);
      return "Dictionary(" + data_type_name(*d.index_type()) + ", " +
             data_type_name(*d.value_type()) + ")";
    }
    default:
      // Nested types: Arrow's own rendering names them unambiguously.
      return type.ToString();
  }
}

}  // namespace mask_engine
