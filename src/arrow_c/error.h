// ArrowError: what went wrong in this layer, the one error type it hands
// across. It renders the way Arrow renders its own errors ("Invalid: ...",
// "Capacity error: ..."), so the engine's "arrow error: " messages keep their
// shape; a failure a C stream reported (Stream) keeps its errno value and its
// text as they came.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "common/result.h"

namespace quillon::arrow_c {

class ArrowError {
 public:
  enum class Code : std::uint8_t { Invalid, CapacityError, OutOfMemory, Stream };

  static ArrowError Invalid(std::string message) { return {Code::Invalid, std::move(message)}; }
  static ArrowError CapacityError(std::string message) {
    return {Code::CapacityError, std::move(message)};
  }
  static ArrowError OutOfMemory(std::string message) {
    return {Code::OutOfMemory, std::move(message)};
  }
  // A C stream's failure: the errno value its get_next returned (or one for
  // it to return) and the text for its get_last_error, relayed unchanged.
  static ArrowError Stream(int errno_value, std::string text) {
    ArrowError error(Code::Stream, std::move(text));
    error.errno_value_ = errno_value;
    return error;
  }

  Code code() const { return code_; }
  const std::string& message() const { return message_; }
  // What a C stream returns for this failure: ENOMEM when out of memory, the
  // producer's own value for Stream, else EINVAL.
  int errno_value() const;
  // The same failure with "<context>: " before its message.
  ArrowError with_context(const std::string& context) const {
    ArrowError error = *this;
    error.message_ = context + ": " + message_;
    return error;
  }
  // "Invalid: <message>", "Capacity error: <message>", ...; a Stream
  // failure's text as it came.
  std::string to_string() const;

 private:
  ArrowError(Code code, std::string message) : code_(code), message_(std::move(message)) {}
  Code code_;
  int errno_value_ = 0;
  std::string message_;
};

template <typename T>
using ArrowResult = quillon::Result<T, ArrowError>;

}  // namespace quillon::arrow_c
