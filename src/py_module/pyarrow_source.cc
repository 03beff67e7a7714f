#include "pyarrow_source.h"

#include <cerrno>
#include <string>
#include <string_view>

#include "arrow_c/bridge.h"
#include "arrow_c/owner.h"
#include "internal.h"

namespace quillon::py_module {
namespace {

using arrow_c::RecordBatch;
using arrow_c::Schema;
using arrow_c::ArrowError;
using mask_engine::Transform;

// Holds the GIL for a scope, on any thread, whether it held it before or not.
class GilHold {
 public:
  GilHold() : state_(PyGILState_Ensure()) {}
  ~GilHold() { PyGILState_Release(state_); }
  GilHold(const GilHold&) = delete;
  GilHold& operator=(const GilHold&) = delete;

 private:
  PyGILState_STATE state_;
};

// Whether pyarrow's cheap validation leaves part of a node unchecked: the
// offsets between the first and the last, views, dictionary indices, union
// type ids, run ends; at any depth.
bool needs_full_validation(const Schema& type) {
  static constexpr std::string_view kFormats[] = {"u", "U", "z", "Z", "vu", "vz", "+l", "+L",
                                                   "+vl", "+vL", "+m", "+r"};
  const std::string_view f = type.format;
  if (type.dictionary != nullptr || f.starts_with("+ud:") || f.starts_with("+us:")) return true;
  for (std::string_view format : kFormats) {
    if (f == format) return true;
  }
  for (const auto& child : type.children) {
    if (needs_full_validation(*child)) return true;
  }
  return false;
}

// The pending Python error as a source failure: its type's name and what
// producer_text leaves of its text. Clears the error.
ArrowError python_failure() {
  const FetchedError error = fetch_error();
  const PyRef& type = error.type;
  const PyRef& value = error.value;
  const int code = type && PyErr_GivenExceptionMatches(type.get(), PyExc_MemoryError) ? ENOMEM
                   : type && PyErr_GivenExceptionMatches(type.get(), PyExc_OSError)  ? EIO
                                                                                      : EINVAL;
  std::string message = "the source failed";
  PyRef name = type ? PyRef::steal(PyObject_GetAttrString(type.get(), "__name__")) : PyRef();
  Py_ssize_t name_size = 0;
  const char* name_text = name && PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8AndSize(name.get(), &name_size) : nullptr;
  if (name_text != nullptr) message = name_text;
  PyRef text = value ? PyRef::steal(PyObject_Str(value.get())) : PyRef();
  Py_ssize_t size = 0;
  const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
  if (utf8 != nullptr && size > 0) {
    message += ": " + arrow_c::producer_text(std::string_view(utf8, static_cast<std::size_t>(size)));
  }
  PyErr_Clear();
  return ArrowError::Stream(code, std::move(message));
}

PyRef call_method(PyObject* borrowed_obj, const char* name) {
  PyRef method = PyRef::steal(PyObject_GetAttrString(borrowed_obj, name));
  if (!method) return PyRef();
  return PyRef::steal(PyObject_CallNoArgs(method.get()));
}

}  // namespace

bool export_to_c(PyObject* borrowed_obj, ArrowArray* array, ArrowSchema* schema) {
  PyRef array_addr = PyRef::steal(PyLong_FromVoidPtr(array));
  PyRef schema_addr = PyRef::steal(PyLong_FromVoidPtr(schema));
  if (!array_addr || !schema_addr) return false;
  PyRef export_fn = PyRef::steal(PyObject_GetAttrString(borrowed_obj, "_export_to_c"));
  if (!export_fn) return false;
  PyRef done = PyRef::steal(
      PyObject_CallFunctionObjArgs(export_fn.get(), array_addr.get(), schema_addr.get(), nullptr));
  return static_cast<bool>(done);
}

bool record_buffer_sizes(PyObject* borrowed_batch, std::size_t column, RecordBatch& imported) {
  PyRef array = PyRef::steal(PyObject_CallMethod(borrowed_batch, "column", "n", static_cast<Py_ssize_t>(column)));
  if (!array) return false;
  PyRef buffers = call_method(array.get(), "buffers");
  if (!buffers) return false;
  PyRef items = PyRef::steal(PySequence_Fast(buffers.get(), "buffers() must return a sequence"));
  if (!items) return false;
  std::vector<std::int64_t> sizes;
  // A list or a tuple; a list's size is read again on every step.
  for (Py_ssize_t j = 0; j < PySequence_Size(items.get()); ++j) {
    PyRef buffer = PyRef::steal(PySequence_GetItem(items.get(), j));
    if (!buffer) return false;
    if (buffer.get() == Py_None) {
      sizes.push_back(-1);
      continue;
    }
    PyRef size_obj = PyRef::steal(PyObject_GetAttrString(buffer.get(), "size"));
    if (!size_obj) return false;
    const long long size = PyLong_AsLongLong(size_obj.get());
    if (size == -1 && PyErr_Occurred()) return false;
    sizes.push_back(size);
  }
  auto sized = std::make_shared<arrow_c::Array>(*imported.columns[column]);
  sized->buffer_sizes = std::move(sizes);
  imported.columns[column] = std::move(sized);
  return true;
}

void wait_without_gil(const std::function<void()>& block) {
#ifndef Py_LIMITED_API
  const bool may_hold = Py_IsInitialized() && PyGILState_Check() != 0;
#else
  // The stable ABI cannot ask whether this thread holds the GIL; a thread
  // that never ran Python code (a DuckDB or polars worker) cannot.
  const bool may_hold = Py_IsInitialized() && PyGILState_GetThisThreadState() != nullptr;
#endif
  if (!may_hold) {
    block();
    return;
  }
  GilHold gil;  // held now, whoever held it before, so it can be let go
  PyThreadState* saved = PyEval_SaveThread();
  block();
  PyEval_RestoreThread(saved);
}

std::unique_ptr<PyarrowSource> PyarrowSource::open(PyObject* borrowed_reader) {
  PyRef py_schema = PyRef::steal(PyObject_GetAttrString(borrowed_reader, "schema"));
  if (!py_schema) return nullptr;
  arrow_c::SchemaOwner c_schema;
  PyRef addr = PyRef::steal(PyLong_FromVoidPtr(c_schema.get()));
  if (!addr) return nullptr;
  PyRef export_fn = PyRef::steal(PyObject_GetAttrString(py_schema.get(), "_export_to_c"));
  if (!export_fn) return nullptr;
  PyRef done = PyRef::steal(PyObject_CallFunctionObjArgs(export_fn.get(), addr.get(), nullptr));
  if (!done) return nullptr;
  auto copied = arrow_c::copy_schema(*c_schema.get());
  c_schema.reset();
  if (!copied.ok()) {
    raise_arrow_error(copied.error());
    return nullptr;
  }
  auto source = std::unique_ptr<PyarrowSource>(
      new PyarrowSource(PyRef::new_ref(borrowed_reader), std::move(copied).value()));
  source->plan_checks({});
  return source;
}

PyarrowSource::~PyarrowSource() {
  if (!Py_IsInitialized()) {
    reader_.release();  // the interpreter is gone, and its objects with it
    return;
  }
  GilHold gil;
  reader_ = PyRef();
}

void PyarrowSource::plan_checks(const mask_engine::ColumnTransforms& transforms) {
  checks_.clear();
  for (const auto& field : schema_->children) {
    const auto found = transforms.find(field->name);
    const bool masked = found != transforms.end() && found->second != Transform::PassThrough;
    const bool offsets = field->dictionary == nullptr && (field->format == "u" || field->format == "U");
    if (masked && offsets) {
      checks_.push_back(Check::Sized);
    } else {
      checks_.push_back(needs_full_validation(*field) ? Check::Full : Check::Cheap);
    }
  }
}

bool PyarrowSource::check_column(PyObject* borrowed_batch, std::size_t column, RecordBatch* imported) {
  const Check check = column < checks_.size() ? checks_[column] : Check::Full;
  if (imported != nullptr) {
    // After the import: the sizes ride on the engine's node.
    return check != Check::Sized || record_buffer_sizes(borrowed_batch, column, *imported);
  }
  PyRef array = PyRef::steal(PyObject_CallMethod(borrowed_batch, "column", "n", static_cast<Py_ssize_t>(column)));
  if (!array) return false;
  PyRef validate = PyRef::steal(PyObject_GetAttrString(array.get(), "validate"));
  if (!validate) return false;
  PyRef no_args = PyRef::steal(PyTuple_New(0));
  PyRef kwargs = PyRef::steal(PyDict_New());
  if (!no_args || !kwargs) return false;
  if (PyDict_SetItemString(kwargs.get(), "full", check == Check::Full ? Py_True : Py_False) < 0) return false;
  PyRef done = PyRef::steal(PyObject_Call(validate.get(), no_args.get(), kwargs.get()));
  return static_cast<bool>(done);
}

PyarrowSource::Next PyarrowSource::next() {
  const arrow_c::SchemaRef& schema = schema_;
  GilHold gil;
  PyRef batch = call_method(reader_.get(), "read_next_batch");
  if (!batch) {
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
      PyErr_Clear();
      return std::optional<RecordBatch>();
    }
    return python_failure();
  }
  const std::int64_t index = batches_++;
  const std::string where = "batch " + std::to_string(index) + " of the source";
  PyRef count_obj = PyRef::steal(PyObject_GetAttrString(batch.get(), "num_columns"));
  const Py_ssize_t count = count_obj ? PyLong_AsSsize_t(count_obj.get()) : -1;
  if (count < 0) return python_failure();
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (check_column(batch.get(), static_cast<std::size_t>(i), nullptr)) continue;
    const std::string name = static_cast<std::size_t>(i) < schema->children.size()
                                 ? schema->children[static_cast<std::size_t>(i)]->name
                                 : std::string();
    const ArrowError failed = python_failure();
    return ArrowError::Invalid(where + ", column " + std::to_string(i) + " ('" + name +
                               "') fails validation: " + failed.message());
  }
  arrow_c::SchemaOwner c_schema;
  arrow_c::ArrayOwner c_array;
  if (!export_to_c(batch.get(), c_array.get(), c_schema.get())) return python_failure();
  auto imported = arrow_c::import_record_batch(c_schema.get(), c_array.get());
  if (!imported.ok()) {
    return ArrowError::Stream(EINVAL, imported.error().with_context(where).to_string());
  }
  RecordBatch out = std::move(imported).value();
  if (!arrow_c::same_type(*out.schema, *schema)) {
    return ArrowError::Invalid(where + " differs in type from the reader's schema");
  }
  out.schema = schema;
  for (std::size_t i = 0; i < out.columns.size(); ++i) {
    if (!check_column(batch.get(), i, &out)) return python_failure();
  }
  return std::optional<RecordBatch>(std::move(out));
}

}  // namespace quillon::py_module
