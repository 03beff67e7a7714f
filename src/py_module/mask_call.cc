// mask(df, transforms, key): DataFrame -> pyarrow Table -> record batches
// (through the Arrow C Data Interface, buffers shared) -> one MaskPipeline ->
// a C stream of the masked batches -> Table -> DataFrame.
//
// Every batch of the table is masked. Hash positions count over the whole
// table: a batch's first position is the number of rows before it, so a
// frame's tokens do not depend on how pyarrow cut it into batches.
//
// Imported data is checked before the engine reads it: pyarrow's own cheap
// structural validation of each batch (it knows the buffer sizes, which the
// C interface does not carry), field names without NUL (C strings would cut
// them), one schema for all batches, then the layer's own structural checks.
#include <Python.h>
#include <openssl/crypto.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "arrow_c/bridge.h"
#include "arrow_c/owner.h"
#include "internal.h"
#include "mask_engine/pipeline.h"
#include "py_handle.h"

namespace quillon_py {
namespace {

using arrow_c::RecordBatch;
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

// Raises ValueError with a layer status's message (reported by the caller as
// a conversion failure).
bool raise_status(const arrow_c::Status& status) {
  return raise_text(PyExc_ValueError, status.message());
}

std::optional<RecordBatch> take_batch(ArrowSchema* schema, ArrowArray* array) {
  auto batch = arrow_c::import_record_batch(schema, array);
  if (!batch.ok()) {
    raise_status(batch.error());
    return std::nullopt;
  }
  return std::move(batch).value();
}

constexpr int kMaxNameDepth = 64;

// ValueError when a field name under `borrowed_type` (a pyarrow DataType)
// holds a NUL. Types whose children pyarrow does not list by index are not
// descended into.
bool check_child_names(PyObject* borrowed_type, int depth);

bool check_field_name(PyObject* borrowed_field, int depth) {
  PyRef name = PyRef::steal(PyObject_GetAttrString(borrowed_field, "name"));
  if (!name) return false;
  if (PyUnicode_Check(name.get())) {
    const Py_ssize_t at = PyUnicode_FindChar(name.get(), 0, 0, PyUnicode_GET_LENGTH(name.get()), 1);
    if (at == -2) return false;
    if (at >= 0) {
      PyErr_Format(PyExc_ValueError,
                   "%s name %R holds a NUL character, which the Arrow C Data Interface cannot carry",
                   depth == 0 ? "column" : "field", name.get());
      return false;
    }
  }
  PyRef type = PyRef::steal(PyObject_GetAttrString(borrowed_field, "type"));
  if (!type) return false;
  return check_child_names(type.get(), depth + 1);
}

bool check_child_names(PyObject* borrowed_type, int depth) {
  if (depth > kMaxNameDepth) return true;
  PyRef count_obj = PyRef::steal(PyObject_GetAttrString(borrowed_type, "num_fields"));
  if (!count_obj) {
    PyErr_Clear();
    return true;
  }
  const Py_ssize_t count = PyLong_AsSsize_t(count_obj.get());
  if (count < 0) {
    PyErr_Clear();
    return true;
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyRef field = PyRef::steal(PyObject_CallMethod(borrowed_type, "field", "n", i));
    if (!field) {
      PyErr_Clear();
      return true;
    }
    if (!check_field_name(field.get(), depth)) return false;
  }
  return true;
}

// A pyarrow RecordBatch is checked before it crosses: its own cheap
// validation, then its field names.
bool check_pyarrow_batch(PyObject* borrowed_item) {
  PyRef validated = call_attr(borrowed_item, "validate");
  if (!validated) return false;
  PyRef schema = PyRef::steal(PyObject_GetAttrString(borrowed_item, "schema"));
  if (!schema) return false;
  const Py_ssize_t count = PyObject_Length(schema.get());
  if (count < 0) return false;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyRef field = PyRef::steal(PyObject_CallMethod(schema.get(), "field", "n", i));
    if (!field) return false;
    if (!check_field_name(field.get(), 0)) return false;
  }
  return true;
}

// Imports one batch; nullopt with a Python error set on failure.
std::optional<RecordBatch> import_batch(PyObject* borrowed_batch_type, PyObject* borrowed_item) {
  const int is_batch = PyObject_IsInstance(borrowed_item, borrowed_batch_type);
  if (is_batch < 0) return std::nullopt;
  if (is_batch == 1 && !check_pyarrow_batch(borrowed_item)) return std::nullopt;

  PyRef c_array = PyRef::steal(PyObject_GetAttrString(borrowed_item, "__arrow_c_array__"));
  if (c_array) {
    PyRef capsules = PyRef::steal(PyObject_CallNoArgs(c_array.get()));
    if (!capsules) return std::nullopt;
    if (!PyTuple_Check(capsules.get()) || PyTuple_GET_SIZE(capsules.get()) < 2) {
      PyErr_SetString(PyExc_TypeError, "__arrow_c_array__ must return a tuple of two capsules");
      return std::nullopt;
    }
    auto* schema = static_cast<ArrowSchema*>(
        PyCapsule_GetPointer(PyTuple_GET_ITEM(capsules.get(), 0), "arrow_schema"));
    if (schema == nullptr) return std::nullopt;
    auto* array = static_cast<ArrowArray*>(
        PyCapsule_GetPointer(PyTuple_GET_ITEM(capsules.get(), 1), "arrow_array"));
    if (array == nullptr) return std::nullopt;
    // The import moves both structs out and marks them released; the
    // capsules' destructors then have nothing left to free.
    return take_batch(schema, array);
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return std::nullopt;
  PyErr_Clear();

  if (is_batch == 0) {
    PyRef text = conversion_text(borrowed_item, "RecordBatch");
    if (text) PyErr_SetObject(PyExc_TypeError, text.get());
    return std::nullopt;
  }
  arrow_c::SchemaOwner schema;
  arrow_c::ArrayOwner array;
  PyRef array_addr = PyRef::steal(PyLong_FromVoidPtr(array.get()));
  if (!array_addr) return std::nullopt;
  PyRef schema_addr = PyRef::steal(PyLong_FromVoidPtr(schema.get()));
  if (!schema_addr) return std::nullopt;
  PyRef export_fn = PyRef::steal(PyObject_GetAttrString(borrowed_item, "_export_to_c"));
  if (!export_fn) return std::nullopt;
  PyRef done = PyRef::steal(
      PyObject_CallFunctionObjArgs(export_fn.get(), array_addr.get(), schema_addr.get(), nullptr));
  if (!done) return std::nullopt;
  return take_batch(schema.get(), array.get());
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

// Wipes a key copy when the call ends, on every path.
struct KeyWipe {
  std::optional<std::string>* key;
  ~KeyWipe() {
    if (*key && !(*key)->empty()) OPENSSL_cleanse((*key)->data(), (*key)->size());
  }
};

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
  // The key bytes are copied once, live until the call returns and are
  // wiped before their memory is freed.
  std::optional<std::string> key_bytes;
  const KeyWipe wipe_key{&key_bytes};
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

  // Imported batches hold references into pyarrow; they are dropped with
  // the interpreter lock held, as every local here is.
  std::vector<RecordBatch> inputs;
  inputs.reserve(static_cast<std::size_t>(batch_count));
  PyRef batch_type = PyRef::steal(PyObject_GetAttrString(pyarrow.get(), "RecordBatch"));
  if (!batch_type) return fail();
  // An item's export hook is Python code that may shrink the list; never
  // read past its current end.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(batch_list.get()); ++i) {
    PyRef item = PyRef::new_ref(PyList_GET_ITEM(batch_list.get(), i));
    std::optional<RecordBatch> batch = import_batch(batch_type.get(), item.get());
    if (batch && !inputs.empty() && !arrow_c::same_schema(*batch->schema, *inputs[0].schema)) {
      PyErr_Format(PyExc_ValueError, "the schema of record batch %zd differs from that of record batch 0", i);
      batch.reset();
    }
    if (!batch) {
      raise_conversion_failed();
      return fail();
    }
    inputs.push_back(std::move(*batch));
  }

  PipelineBuilder builder = MaskPipeline::builder();
  if (!add_transforms(borrowed_transforms, builder)) return fail();
  auto built = PipelineBuilder::build(std::move(builder));
  if (!built.ok()) {
    raise_text(PyExc_ValueError, "Pipeline error: " + built.error().to_string());
    return fail();
  }
  const MaskPipeline& pipeline = built.value();

  std::optional<mask_engine::MaskResult<std::vector<RecordBatch>>> masked;
  {
    // The engine touches native data only; other Python threads may run.
    GilRelease unlocked;
    masked.emplace(QM_NATIVE(pipeline.process_table(inputs, key)));
  }
  if (!masked->ok()) {
    raise_text(PyExc_ValueError, "Masking failed: " + masked->error().to_string());
    return fail();
  }
  std::vector<RecordBatch> outputs = std::move(*masked).value();
  const std::size_t output_count = outputs.size();
  arrow_c::StreamOwner stream;
  arrow_c::Status exported = arrow_c::export_stream(inputs[0].schema, std::move(outputs), stream.get());
  if (!exported.ok()) {
    raise_text(PyExc_MemoryError, exported.ToString());
    return fail();
  }
  PyRef reader_type = PyRef::steal(PyObject_GetAttrString(pyarrow.get(), "RecordBatchReader"));
  if (!reader_type) return fail();
  PyRef stream_addr = PyRef::steal(PyLong_FromVoidPtr(stream.get()));
  if (!stream_addr) return fail();
  // pyarrow takes the stream over and marks ours released; if it fails
  // first, the owner releases it here.
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
