// Move-only owners of the C structs. An owner holds one struct by value and
// calls its release callback when it dies, unless the struct was handed on.
//
// take() moves a producer's struct in and marks the source released, as a
// consumer of a capsule or an out-parameter must; move_to() hands the struct
// to a consumer and leaves this owner empty. Release callbacks run on the
// thread that destroys the owner: for structs from pyarrow that thread must be
// able to take the GIL.
#pragma once

#include <cstring>
#include <utility>

#include "arrow_c/abi.h"

namespace quillon::arrow_c {

template <typename CStruct>
class Owned {
 public:
  Owned() { std::memset(&raw_, 0, sizeof(raw_)); }
  ~Owned() { reset(); }
  Owned(Owned&& other) noexcept : Owned() { other.move_to(&raw_); }
  Owned& operator=(Owned&& other) noexcept {
    if (this != &other) {
      reset();
      other.move_to(&raw_);
    }
    return *this;
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;

  static Owned take(CStruct* source) {
    Owned out;
    std::memcpy(&out.raw_, source, sizeof(CStruct));
    source->release = nullptr;
    return out;
  }

  void move_to(CStruct* dest) {
    std::memcpy(dest, &raw_, sizeof(CStruct));
    raw_.release = nullptr;
  }

  void reset() {
    if (raw_.release != nullptr) raw_.release(&raw_);
    raw_.release = nullptr;
  }

  bool released() const { return raw_.release == nullptr; }
  CStruct* get() { return &raw_; }
  const CStruct* get() const { return &raw_; }
  CStruct* operator->() { return &raw_; }
  const CStruct* operator->() const { return &raw_; }

 private:
  CStruct raw_;
};

using SchemaOwner = Owned<ArrowSchema>;
using ArrayOwner = Owned<ArrowArray>;
using StreamOwner = Owned<ArrowArrayStream>;

}  // namespace quillon::arrow_c
