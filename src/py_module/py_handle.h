// PyRef: the one owner of a strong reference to a Python object.
//
// Move-only; the destructor drops the reference, so every exit path of a
// call releases what the call took. Borrowed references are never wrapped:
// they stay raw pointers whose names say they are borrowed. Must be created
// and destroyed with the interpreter lock held.
#pragma once

#include <Python.h>

#include <utility>

namespace quillon::py_module {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference; null means the call that made it failed.
  static PyRef steal(PyObject* owned) { return PyRef(owned); }
  // Takes a reference of its own to a borrowed object.
  static PyRef new_ref(PyObject* borrowed) {
    Py_XINCREF(borrowed);
    return PyRef(borrowed);
  }

  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  // Hands the reference to the caller (a return value to the interpreter).
  PyObject* release() { return std::exchange(obj_, nullptr); }

 private:
  explicit PyRef(PyObject* owned) : obj_(owned) {}
  PyObject* obj_ = nullptr;
};

}  // namespace quillon::py_module
