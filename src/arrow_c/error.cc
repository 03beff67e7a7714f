#include "arrow_c/error.h"

#include <cerrno>

namespace quillon::arrow_c {

int ArrowError::errno_value() const {
  switch (code_) {
    case Code::OutOfMemory:
      return ENOMEM;
    case Code::Stream:
      return errno_value_;
    case Code::Invalid:
    case Code::CapacityError:
      break;
  }
  return EINVAL;
}

std::string ArrowError::to_string() const {
  switch (code_) {
    case Code::Invalid:
      return "Invalid: " + message_;
    case Code::CapacityError:
      return "Capacity error: " + message_;
    case Code::OutOfMemory:
      return "Out of memory: " + message_;
    case Code::Stream:
      break;
  }
  return message_;
}

}  // namespace quillon::arrow_c
