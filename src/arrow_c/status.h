// Status: what went wrong in the layer, rendered the way Arrow renders its
// own errors ("Invalid: ...", "Capacity error: ..."), so the engine's
// "arrow error: " messages keep their shape.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "common/result.h"

namespace quillon::arrow_c {

class Status {
 public:
  enum class Code : std::uint8_t { Ok, Invalid, CapacityError, OutOfMemory };

  Status() = default;
  static Status OK() { return Status(); }
  static Status Invalid(std::string message) { return Status(Code::Invalid, std::move(message)); }
  static Status CapacityError(std::string message) {
    return Status(Code::CapacityError, std::move(message));
  }
  static Status OutOfMemory(std::string message) {
    return Status(Code::OutOfMemory, std::move(message));
  }

  bool ok() const { return code_ == Code::Ok; }
  Code code() const { return code_; }
  const std::string& message() const { return message_; }
  // The same failure with "<context>: " before its message.
  Status with_context(const std::string& context) const {
    return Status(code_, context + ": " + message_);
  }
  // "Invalid: <message>", "Capacity error: <message>", ...
  std::string ToString() const;

 private:
  Status(Code code, std::string message) : code_(code), message_(std::move(message)) {}
  Code code_ = Code::Ok;
  std::string message_;
};

template <typename T>
using Result = quillon::Result<T, Status>;

}  // namespace quillon::arrow_c

#define QM_RETURN_IF_ERROR(expr)       \
  do {                                    \
    ::quillon::arrow_c::ArrowError _st = (expr);       \
    if (!_st.ok()) return _st;            \
  } while (false)
