#include "arrow_c/error.h"

namespace quillon::arrow_c {

std::string Status::ToString() const {
  switch (code_) {
    case Code::Ok:
      return "OK";
    case Code::Invalid:
      return "Invalid: " + message_;
    case Code::CapacityError:
      return "Capacity error: " + message_;
    case Code::OutOfMemory:
      return "Out of memory: " + message_;
  }
  return message_;
}

}  // namespace quillon::arrow_c
