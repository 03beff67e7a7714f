// Pieces shared by the files of the extension module. Not installed.
#pragma once

#include <Python.h>

#include <exception>
#include <string>
#include <utility>

#include "mask_engine/pipeline.h"
#include "py_handle.h"

namespace quillon_py {

// An internal failure tagged with the native call site it came out of, so
// the panic report can name where it happened.
class PanicSite : public std::exception {
 public:
  PanicSite(const char* file, int line, std::string message, bool has_message)
      : file_(file), line_(line), message_(std::move(message)), has_message_(has_message) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const char* file() const { return file_; }
  int line() const { return line_; }
  const std::string& message() const { return message_; }
  bool has_message() const { return has_message_; }

 private:
  const char* file_;
  int line_;
  std::string message_;
  bool has_message_;
};

template <typename F>
decltype(auto) at_site(const char* file, int line, F&& f) {
  try {
    return f();
  } catch (const PanicSite&) {
    throw;
  } catch (const std::exception& e) {
    throw PanicSite(file, line, e.what(), true);
  } catch (...) {
    throw PanicSite(file, line, std::string(), false);
  }
}

// Wraps an engine call that may throw an internal failure.
#define QM_NATIVE(...) \
  ::quillon_py::at_site(__FILE__, __LINE__, [&]() -> decltype(auto) { return __VA_ARGS__; })

// "'<type qualname>' object cannot be converted to '<target>'", or null with
// the lookup's error set.
PyRef conversion_text(PyObject* borrowed_obj, const char* target);

// Raises `type` with the UTF-8 text (embedded NULs kept). Returns false.
bool raise_text(PyObject* type, const std::string& text);

// mask(df, transforms, key); may throw internal failures.
PyObject* mask_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Parses the transform list into the builder, one entry at a time. False with
// a Python error set on the first bad entry.
bool add_transforms(PyObject* borrowed_list, mask_engine::PipelineBuilder& builder);

}  // namespace quillon_py
