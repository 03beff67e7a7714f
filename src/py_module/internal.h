// Pieces shared by the files of the extension module. Not installed.
#pragma once

#include <Python.h>

#include <exception>
#include <optional>
#include <string>
#include <utility>

#include "arrow_c/schema.h"
#include "arrow_c/error.h"
#include "mask_engine/error.h"
#include "mask_engine/pipeline.h"
#include "py_handle.h"

namespace quillon::py_module {

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
  ::quillon::py_module::at_site(__FILE__, __LINE__, [&]() -> decltype(auto) { return __VA_ARGS__; })

// "'<type qualname>' object cannot be converted to '<target>'", or null with
// the lookup's error set.
PyRef conversion_text(PyObject* borrowed_obj, const char* target);

// Raises TypeError "argument '<param>': " + the conversion text. Returns false.
bool raise_arg_conversion(const char* param, PyObject* borrowed_obj, const char* target);

// Raises `type` with the UTF-8 text (embedded NULs kept). Returns false.
bool raise_text(PyObject* type, const std::string& text);

// Raises an error of the Arrow layer: MemoryError when memory ran out,
// ValueError otherwise, with the error's message. Returns false.
bool raise_arrow_error(const arrow_c::ArrowError& error);

// A Python error set aside while a call's locals are destroyed. Dropping
// imported data can run a producer's release callback, which may be Python
// code (ctypes, cffi) that must not run with an exception pending: a failing
// step calls hold(), returns, and the caller restores the error once
// everything it imported is gone.
class ErrorAside {
 public:
  ErrorAside() = default;
  ErrorAside(const ErrorAside&) = delete;
  ErrorAside& operator=(const ErrorAside&) = delete;
  ~ErrorAside() {
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(traceback_);
  }
  // Takes the pending error; returns null for `return aside.hold();`.
  PyObject* hold() {
    PyErr_Fetch(&type_, &value_, &traceback_);
    return nullptr;
  }
  // Sets the held error again when `result` is null.
  PyObject* restore_if_failed(PyObject* result) {
    if (result == nullptr && type_ != nullptr) {
      PyErr_Restore(type_, value_, traceback_);
      type_ = value_ = traceback_ = nullptr;
    }
    return result;
  }

 private:
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

// The pending Python error taken out and normalised, as owned references;
// `type` is empty when none was set.
struct FetchedError {
  PyRef type;
  PyRef value;
  PyRef traceback;
};
inline FetchedError fetch_error() {
  PyObject* raw_type = nullptr;
  PyObject* raw_value = nullptr;
  PyObject* raw_tb = nullptr;
  PyErr_Fetch(&raw_type, &raw_value, &raw_tb);
  PyErr_NormalizeException(&raw_type, &raw_value, &raw_tb);
  return {PyRef::steal(raw_type), PyRef::steal(raw_value), PyRef::steal(raw_tb)};
}

// Runs `drop` (which releases imported data) with any pending Python error
// set aside, then sets it again.
template <typename F>
void drop_keeping_error(F&& drop) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  drop();
  PyErr_Restore(type, value, traceback);
}

// HMAC key bytes copied out of a Python argument, wiped when dropped.
class KeyBytes {
 public:
  KeyBytes() = default;
  KeyBytes(const KeyBytes&) = delete;
  KeyBytes& operator=(const KeyBytes&) = delete;
  ~KeyBytes();
  void assign(const char* data, std::size_t size) { bytes_.emplace(data, size); }
  // Absent when there is no key; views these bytes otherwise.
  mask_engine::Key view() const;
  // A copy for an owner that wipes its own (the stream).
  std::optional<std::string> copy() const { return bytes_; }

 private:
  std::optional<std::string> bytes_;
};

// mask(df, transforms, key); may throw internal failures.
PyObject* mask_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// What a second entry for one column raises: PanicException for mask(),
// ValueError for the Arrow entry, which a streaming job must be able to
// catch as an Exception.
enum class OnDuplicate { Panic, ValueError };

// The types a list may name: mask()'s four, or also the value-bound ones
// (the Arrow entry), whose entries are then also checked field by field.
enum class Types { Masking, WithValueBound };

// The pipeline of a transform list: each entry parsed and handed to the
// builder in list order, then built ("Pipeline error: ..." when that
// fails). Nullopt with a Python error set on the first bad entry.
std::optional<mask_engine::MaskPipeline> parse_pipeline(PyObject* borrowed_list,
                                                        OnDuplicate on_duplicate, Types types);

// The pipeline with every pandas index level whose name is a configured
// column masked like that column (pandas stores such a level under another
// field name, "__index_level_0__", and names it in the schema's "pandas"
// metadata). Unnamed and otherwise named levels are left alone. Nullopt
// with a Python error set when the metadata cannot be read.
std::optional<mask_engine::MaskPipeline> with_index_levels(mask_engine::MaskPipeline pipeline,
                                                           const arrow_c::Schema& schema);

// The functions of the private module quillon_mask._native, the native
// half of quillon_mask.arrow (positional arguments only); each may throw
// internal failures.
//   plan(transforms, key, reveal) -> a plan capsule
//   open_stream(plan, stream capsule, start) -> a stream capsule
//   open_array(plan, schema capsule, array capsule, start) -> a stream capsule
//   open_reader(plan, pyarrow.RecordBatchReader, start) -> a stream capsule
PyObject* plan_call(PyObject* const* args, Py_ssize_t nargs);
PyObject* open_stream_call(PyObject* const* args, Py_ssize_t nargs);
PyObject* open_array_call(PyObject* const* args, Py_ssize_t nargs);
PyObject* open_reader_call(PyObject* const* args, Py_ssize_t nargs);

}  // namespace quillon::py_module
