// mask(df, transforms, key): DataFrame -> pyarrow Table -> record batches
// (through the Arrow C Data Interface, buffers shared) -> one MaskPipeline ->
// a C stream of the masked batches -> Table -> DataFrame.
//
// Every batch of the table is masked. Hash positions count over the whole
// table: a batch's first position is the number of rows before it, so a
// frame's tokens do not depend on how pyarrow cut it into batches.
#include <Python.h>
#include <arrow/c/abi.h>
#include <arrow/c/bridge.h>
#include <arrow/record_batch.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "internal.h"
#include "mask_engine/pipeline.h"
#include "py_handle.h"

namespace quillon_py {
namespace {

using BatchRef = std::shared_ptr<arrow::RecordBatch>;
using mask_engine::MaskPipeline;
using mask_engine::PipelineBuilder;

constexpr const char* kParamNames[3] = {"df", "transforms", "key"};

// Python-level failure with an exception set.
PyObject* fail() { return nullptr; }

bool raise_arg_conversion(const char* param, PyObject* borrowed_obj, const char* target) {
  PyRef text = conversion_text(borrowed_obj, target);
  if (!text) return false;
  PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
  if (message) PyErr_SetObject(PyExc_TypeError, message.get());
  return false;
}

// Binds (df, transforms, key) by position or keyword, with the interpreter's
// own wording for every mistake. Fills borrowed references.
bool bind_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject* borrowed_out[3]) {
  if (nargs > 3) {
    PyErr_Format(PyExc_TypeError, "mask() takes 3 positional arguments but %zd were given", nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < 3; ++i) borrowed_out[i] = i < nargs ? args[i] : nullptr;
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* borrowed_name = PyTuple_GET_ITEM(kwnames, k);
    int index = -1;
    for (int p = 0; p < 3; ++p) {
      if (PyUnicode_Check(borrowed_name) &&
          PyUnicode_CompareWithASCIIString(borrowed_name, kParamNames[p]) == 0) {
        index = p;
        break;
      }
    }
    if (index < 0) {
      PyErr_Format(PyExc_TypeError, "mask() got an unexpected keyword argument '%S'",
                   borrowed_name);
      return false;
    }
    if (borrowed_out[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "mask() got multiple values for argument '%s'",
                   kParamNames[index]);
      return false;
    }
    borrowed_out[index] = args[nargs + k];
  }
  std::vector<const char*> missing;
  for (int p = 0; p < 3; ++p) {
    if (borrowed_out[p] == nullptr) missing.push_back(kParamNames[p]);
  }
  if (missing.empty()) return true;
  std::string names;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) names += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
    names += "'";
    names += missing[i];
    names += "'";
  }
  PyErr_Format(PyExc_TypeError, "mask() missing %zu required positional argument%s: %s",
               missing.size(), missing.size() > 1 ? "s" : "", names.c_str());
  return false;
}

PyRef call_attr(PyObject* borrowed_obj, const char* name) {
  PyRef attr = PyRef::steal(PyObject_GetAttrString(borrowed_obj, name));
  if (!attr) return PyRef();
  return PyRef::steal(PyObject_CallNoArgs(attr.get()));
}

PyRef call_attr(PyObject* borrowed_obj, const char* name, PyObject* borrowed_arg) {
  PyRef attr = PyRef::steal(PyObject_GetAttrString(borrowed_obj, name));
  if (!attr) return PyRef();
  return PyRef::steal(PyObject_CallOneArg(attr.get(), borrowed_arg));
}

// Raises a Python exception for a failed Arrow status (caught below and
// reported as a conversion failure).
bool raise_status(const arrow::Status& status) {
  return raise_text(PyExc_ValueError, status.ToString());
}

// Releases a C struct that nobody took over.
template <typename CStruct>
struct CReleaseGuard {
  CStruct* c;
  ~CReleaseGuard() {
    if (c->release != nullptr) c->release(c);
  }
};

// Imports one batch; null with a Python error set on failure.
BatchRef import_batch(PyObject* borrowed_pyarrow, PyObject* borrowed_item) {
  PyRef c_array = PyRef::steal(PyObject_GetAttrString(borrowed_item, "__arrow_c_array__"));
  if (c_array) {
    PyRef capsules = PyRef::steal(PyObject_CallNoArgs(c_array.get()));
    if (!capsules) return nullptr;
    if (!PyTuple_Check(capsules.get()) || PyTuple_GET_SIZE(capsules.get()) < 2) {
      PyErr_SetString(PyExc_TypeError, "__arrow_c_array__ must return a tuple of two capsules");
      return nullptr;
    }
    auto* schema = static_cast<ArrowSchema*>(
        PyCapsule_GetPointer(PyTuple_GET_ITEM(capsules.get(), 0), "arrow_schema"));
    if (schema == nullptr) return nullptr;
    auto* array = static_cast<ArrowArray*>(
        PyCapsule_GetPointer(PyTuple_GET_ITEM(capsules.get(), 1), "arrow_array"));
    if (array == nullptr) return nullptr;
    // Import moves the structs out and marks them released; the capsules'
    // destructors then have nothing left to free.
    auto imported_schema = arrow::ImportSchema(schema);
    if (!imported_schema.ok()) return raise_status(imported_schema.status()), nullptr;
    auto batch = arrow::ImportRecordBatch(array, *imported_schema);
    if (!batch.ok()) return raise_status(batch.status()), nullptr;
    return *batch;
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
  PyErr_Clear();

  PyRef batch_type = PyRef::steal(PyObject_GetAttrString(borrowed_pyarrow, "RecordBatch"));
  if (!batch_type) return nullptr;
  int is_batch = PyObject_IsInstance(borrowed_item, batch_type.get());
  if (is_batch < 0) return nullptr;
  if (is_batch == 0) {
    PyRef text = conversion_text(borrowed_item, "RecordBatch");
    if (text) PyErr_SetObject(PyExc_TypeError, text.get());
    return nullptr;
  }
  ArrowSchema schema{};
  ArrowArray array{};
  CReleaseGuard<ArrowSchema> schema_guard{&schema};
  CReleaseGuard<ArrowArray> array_guard{&array};
  PyRef array_addr = PyRef::steal(PyLong_FromVoidPtr(&array));
  if (!array_addr) return nullptr;
  PyRef schema_addr = PyRef::steal(PyLong_FromVoidPtr(&schema));
  if (!schema_addr) return nullptr;
  PyRef export_fn = PyRef::steal(PyObject_GetAttrString(borrowed_item, "_export_to_c"));
  if (!export_fn) return nullptr;
  PyRef done = PyRef::steal(
      PyObject_CallFunctionObjArgs(export_fn.get(), array_addr.get(), schema_addr.get(), nullptr));
  if (!done) return nullptr;
  auto imported_schema = arrow::ImportSchema(&schema);
  if (!imported_schema.ok()) return raise_status(imported_schema.status()), nullptr;
  auto batch = arrow::ImportRecordBatch(&array, *imported_schema);
  if (!batch.ok()) return raise_status(batch.status()), nullptr;
  return *batch;
}

// Replaces the pending exception with ValueError "Conversion failed: <type>: <str>".
void raise_conversion_failed() {
  PyObject* raw_type = nullptr;
  PyObject* raw_value = nullptr;
  PyObject* raw_tb = nullptr;
  PyErr_Fetch(&raw_type, &raw_value, &raw_tb);
  PyErr_NormalizeException(&raw_type, &raw_value, &raw_tb);
  PyRef type = PyRef::steal(raw_type);
  PyRef value = PyRef::steal(raw_value);
  PyRef tb = PyRef::steal(raw_tb);
  if (!type) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return;
  }
  PyRef qualname = PyRef::steal(PyObject_GetAttrString(type.get(), "__qualname__"));
  if (!qualname) return;
  PyRef text = value ? PyRef::steal(PyObject_Str(value.get())) : PyRef();
  if (!text) {
    PyErr_Clear();
    text = PyRef::steal(PyUnicode_FromString("<exception str() failed>"));
    if (!text) return;
  }
  PyRef message = PyRef::steal(PyUnicode_FromFormat("Conversion failed: %U: %U", qualname.get(), text.get()));
  if (message) PyErr_SetObject(PyExc_ValueError, message.get());
}

// Lets other Python threads run while the engine works on native data only.
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace

PyObject* mask_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* borrowed_args[3];
  if (!bind_arguments(args, nargs, kwnames, borrowed_args)) return fail();
  PyObject* borrowed_df = borrowed_args[0];
  PyObject* borrowed_transforms = borrowed_args[1];
  PyObject* borrowed_key = borrowed_args[2];

  if (!PyList_Check(borrowed_transforms)) {
    raise_arg_conversion("transforms", borrowed_transforms, "PyList");
    return fail();
  }
  // The key bytes are copied once and live until the call returns.
  std::optional<std::string> key_bytes;
  if (borrowed_key != Py_None) {
    if (!PyUnicode_Check(borrowed_key)) {
      raise_arg_conversion("key", borrowed_key, "PyString");
      return fail();
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(borrowed_key, &size);
    if (data == nullptr) return fail();
    key_bytes.emplace(data, static_cast<std::size_t>(size));
  }
  mask_engine::Key key;
  if (key_bytes) key = std::string_view(*key_bytes);

  PyRef pyarrow = PyRef::steal(PyImport_ImportModule("pyarrow"));
  if (!pyarrow) return fail();
  PyRef table_type = PyRef::steal(PyObject_GetAttrString(pyarrow.get(), "Table"));
  if (!table_type) return fail();
  PyRef table = call_attr(table_type.get(), "from_pandas", borrowed_df);
  if (!table) return fail();
  PyRef batch_list = call_attr(table.get(), "to_batches");
  if (!batch_list) return fail();
  if (!PyList_Check(batch_list.get())) {
    PyRef text = conversion_text(batch_list.get(), "PyList");
    if (!text) return fail();
    PyRef message = PyRef::steal(PyUnicode_FromFormat("Expected list: %U", text.get()));
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
    return fail();
  }
  const Py_ssize_t batch_count = PyList_GET_SIZE(batch_list.get());
  if (batch_count == 0) {
    PyErr_SetString(PyExc_ValueError, "Empty DataFrame");
    return fail();
  }

  // Imported batches may hold references into pyarrow; they are dropped
  // with the interpreter lock held, as every local here is.
  std::vector<BatchRef> inputs;
  inputs.reserve(static_cast<std::size_t>(batch_count));
  // An item's export hook is Python code that may shrink the list; never
  // read past its current end.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(batch_list.get()); ++i) {
    PyRef item = PyRef::new_ref(PyList_GET_ITEM(batch_list.get(), i));
    BatchRef batch = import_batch(pyarrow.get(), item.get());
    if (!batch) {
      raise_conversion_failed();
      return fail();
    }
    inputs.push_back(std::move(batch));
  }

  PipelineBuilder builder = MaskPipeline::builder();
  if (!add_transforms(borrowed_transforms, builder)) return fail();
  auto built = PipelineBuilder::build(std::move(builder));
  if (!built.ok()) {
    raise_text(PyExc_ValueError, "Pipeline error: " + built.error().to_string());
    return fail();
  }
  const MaskPipeline& pipeline = built.value();

  std::vector<BatchRef> outputs;
  outputs.reserve(inputs.size());
  std::int64_t first_position = 0;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const BatchRef& input = inputs[i];
    // An empty batch after the first adds no rows; the pipeline refuses it.
    if (i > 0 && input->num_rows() == 0) continue;
    std::optional<mask_engine::MaskResult<BatchRef>> masked;
    {
      GilRelease unlocked;
      masked.emplace(QM_NATIVE(pipeline.process_batch(input, key, first_position)));
    }
    if (!masked->ok()) {
      raise_text(PyExc_ValueError, "Masking failed: " + masked->error().to_string());
      return fail();
    }
    first_position += input->num_rows();
    outputs.push_back(std::move(*masked).value());
  }

  const std::size_t output_count = outputs.size();
  std::shared_ptr<arrow::Schema> schema = outputs.front()->schema();
  auto reader = arrow::RecordBatchReader::Make(std::move(outputs), schema);
  if (!reader.ok()) {
    raise_text(PyExc_ValueError, reader.status().ToString());
    return fail();
  }
  ArrowArrayStream stream{};
  // Released here unless pyarrow took the stream over.
  CReleaseGuard<ArrowArrayStream> stream_guard{&stream};
  arrow::Status exported = arrow::ExportRecordBatchReader(*reader, &stream);
  if (!exported.ok()) {
    raise_text(PyExc_ValueError, exported.ToString());
    return fail();
  }
  PyRef reader_type = PyRef::steal(PyObject_GetAttrString(pyarrow.get(), "RecordBatchReader"));
  if (!reader_type) return fail();
  PyRef stream_addr = PyRef::steal(PyLong_FromVoidPtr(&stream));
  if (!stream_addr) return fail();
  PyRef py_reader = call_attr(reader_type.get(), "_import_from_c", stream_addr.get());
  if (!py_reader) return fail();
  PyRef masked_list = PyRef::steal(PyList_New(0));
  if (!masked_list) return fail();
  for (std::size_t i = 0; i < output_count; ++i) {
    PyRef batch = call_attr(py_reader.get(), "read_next_batch");
    if (!batch) return fail();
    if (PyList_Append(masked_list.get(), batch.get()) < 0) return fail();
  }

  PyRef table_type_again = PyRef::steal(PyObject_GetAttrString(pyarrow.get(), "Table"));
  if (!table_type_again) return fail();
  PyRef out_table = call_attr(table_type_again.get(), "from_batches", masked_list.get());
  if (!out_table) return fail();
  return call_attr(out_table.get(), "to_pandas").release();
}

}  // namespace quillon_py
