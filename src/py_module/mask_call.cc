// mask(df, transforms, key): DataFrame -> pyarrow Table -> record batches
// (through the Arrow C Data Interface, buffers shared) -> the engine's
// masking reader under mask()'s policy (mask_engine::Policy::NullFallback)
// -> a C stream of the masked batches -> Table -> DataFrame.
//
// Every batch of the table is masked. Hash positions count over the whole
// table: a batch's first position is the number of rows before it, so a
// frame's tokens do not depend on how pyarrow cut it into batches.
//
// Imported data is checked before the engine reads it: pyarrow's own cheap
// structural validation of each batch (it knows the buffer sizes, which the
// C interface does not carry), field names without NUL (C strings would cut
// them), one schema for all batches, then the layer's own structural checks.
// Python code may still run after the validation (a transform list's dict
// lookups) and change writable buffers under it, so each string column also
// carries its buffer sizes: the engine never reads a value past them.
//
// Imported structs are released with no Python error pending: a producer's
// release callback may be Python code.
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "arrow_c/bridge.h"
#include "arrow_c/owner.h"
#include "internal.h"
#include "keyed_hash/hmac.h"
#include "mask_engine/stream.h"
#include "py_handle.h"
#include "pyarrow_source.h"

namespace quillon::py_module {
namespace {

using arrow_c::RecordBatch;
using mask_engine::MaskPipeline;

constexpr const char* kParamNames[3] = {"df", "transforms", "key"};

// Binds (df, transforms, key) by position or keyword, with the interpreter's
// own wording for every mistake. Fills borrowed references.
bool bind_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject* borrowed_out[3]) {
  if (nargs > 3) {
    PyErr_Format(PyExc_TypeError, "mask() takes 3 positional arguments but %zd were given", nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < 3; ++i) borrowed_out[i] = i < nargs ? args[i] : nullptr;
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* borrowed_name = PyTuple_GetItem(kwnames, k);
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
  return PyRef::steal(PyObject_CallFunctionObjArgs(attr.get(), borrowed_arg, nullptr));
}

std::optional<RecordBatch> take_batch(ArrowSchema* schema, ArrowArray* array) {
  auto batch = arrow_c::import_record_batch(schema, array);
  if (!batch.ok()) {
    // Reported by the caller as a conversion failure.
    raise_text(PyExc_ValueError, batch.error().message());
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
    const Py_ssize_t at = PyUnicode_FindChar(name.get(), 0, 0, PyUnicode_GetLength(name.get()), 1);
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
  // A dictionary lists no fields of its own; its value type may.
  if (PyObject_HasAttrString(borrowed_type, "index_type")) {
    PyRef value_type = PyRef::steal(PyObject_GetAttrString(borrowed_type, "value_type"));
    if (!value_type) {
      PyErr_Clear();
      return true;
    }
    return check_child_names(value_type.get(), depth + 1);
  }
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

// Gives each string column of an imported pyarrow batch its buffer sizes.
bool record_string_sizes(PyObject* borrowed_item, RecordBatch& batch) {
  for (std::size_t i = 0; i < batch.columns.size(); ++i) {
    const std::string& format = batch.columns[i]->type->format;
    if ((format == "u" || format == "U") && !record_buffer_sizes(borrowed_item, i, batch)) return false;
  }
  return true;
}

std::optional<RecordBatch> export_and_import(int is_batch, PyObject* borrowed_item);

// Imports one batch; nullopt with a Python error set on failure.
std::optional<RecordBatch> import_batch(PyObject* borrowed_batch_type, PyObject* borrowed_item) {
  const int is_batch = PyObject_IsInstance(borrowed_item, borrowed_batch_type);
  if (is_batch < 0) return std::nullopt;
  if (is_batch == 1 && !check_pyarrow_batch(borrowed_item)) return std::nullopt;
  std::optional<RecordBatch> batch = export_and_import(is_batch, borrowed_item);
  if (batch && is_batch == 1 && !record_string_sizes(borrowed_item, *batch)) {
    drop_keeping_error([&] { batch.reset(); });
  }
  return batch;
}

// Takes the item's data over through __arrow_c_array__, or pyarrow's own
// export for a RecordBatch without it.
std::optional<RecordBatch> export_and_import(int is_batch, PyObject* borrowed_item) {
  PyRef c_array = PyRef::steal(PyObject_GetAttrString(borrowed_item, "__arrow_c_array__"));
  if (c_array) {
    PyRef capsules = PyRef::steal(PyObject_CallNoArgs(c_array.get()));
    if (!capsules) return std::nullopt;
    if (!PyTuple_Check(capsules.get()) || PyTuple_Size(capsules.get()) < 2) {
      PyErr_SetString(PyExc_TypeError, "__arrow_c_array__ must return a tuple of two capsules");
      return std::nullopt;
    }
    auto* schema = static_cast<ArrowSchema*>(
        PyCapsule_GetPointer(PyTuple_GetItem(capsules.get(), 0), "arrow_schema"));
    auto* array = schema == nullptr ? nullptr : static_cast<ArrowArray*>(
        PyCapsule_GetPointer(PyTuple_GetItem(capsules.get(), 1), "arrow_array"));
    if (array == nullptr) {
      // The capsules release what they hold; that may be Python code.
      drop_keeping_error([&] { capsules = PyRef(); });
      return std::nullopt;
    }
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
  if (!export_to_c(borrowed_item, array.get(), schema.get())) return std::nullopt;
  return take_batch(schema.get(), array.get());
}

// Replaces the pending exception with ValueError "Conversion failed: <type>: <str>".
void raise_conversion_failed() {
  const FetchedError error = fetch_error();
  const PyRef& type = error.type;
  const PyRef& value = error.value;
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

// The arguments of one call: the frame and the list borrowed, the key copied.
struct MaskArgs {
  PyObject* borrowed_df = nullptr;
  PyObject* borrowed_transforms = nullptr;
  KeyBytes key;
};

// Binding first, then the list check, then the key's conversion.
bool read_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, MaskArgs& out) {
  PyObject* borrowed_args[3];
  if (!bind_arguments(args, nargs, kwnames, borrowed_args)) return false;
  out.borrowed_df = borrowed_args[0];
  out.borrowed_transforms = borrowed_args[1];
  PyObject* borrowed_key = borrowed_args[2];
  if (!PyList_Check(out.borrowed_transforms)) {
    return raise_arg_conversion("transforms", out.borrowed_transforms, "PyList");
  }
  if (borrowed_key == Py_None) return true;
  if (!PyUnicode_Check(borrowed_key)) return raise_arg_conversion("key", borrowed_key, "PyString");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(borrowed_key, &size);
  if (data == nullptr) return false;
  out.key.assign(data, static_cast<std::size_t>(size));
  return true;
}

// The frame's table as native batches, in `inputs` (owned by the caller, so
// that they are released after any error is set aside). Every batch is
// checked; all share the first one's schema.
bool import_table(PyObject* borrowed_pyarrow, PyObject* borrowed_df, std::vector<RecordBatch>& inputs) {
  PyRef table_type = PyRef::steal(PyObject_GetAttrString(borrowed_pyarrow, "Table"));
  if (!table_type) return false;
  PyRef table = call_attr(table_type.get(), "from_pandas", borrowed_df);
  if (!table) return false;
  PyRef batch_list = call_attr(table.get(), "to_batches");
  if (!batch_list) return false;
  if (!PyList_Check(batch_list.get())) {
    PyRef text = conversion_text(batch_list.get(), "PyList");
    if (!text) return false;
    PyRef message = PyRef::steal(PyUnicode_FromFormat("Expected list: %U", text.get()));
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
    return false;
  }
  if (PyList_Size(batch_list.get()) == 0) {
    PyErr_SetString(PyExc_ValueError, "Empty DataFrame");
    return false;
  }
  PyRef batch_type = PyRef::steal(PyObject_GetAttrString(borrowed_pyarrow, "RecordBatch"));
  if (!batch_type) return false;
  inputs.reserve(static_cast<std::size_t>(PyList_Size(batch_list.get())));
  // An item's export hook is Python code that may shrink the list; never
  // read past its current end.
  for (Py_ssize_t i = 0; i < PyList_Size(batch_list.get()); ++i) {
    PyRef item = PyRef::new_ref(PyList_GetItem(batch_list.get(), i));
    std::optional<RecordBatch> batch = import_batch(batch_type.get(), item.get());
    if (batch && !inputs.empty() && !arrow_c::same_schema(*batch->schema, *inputs[0].schema)) {
      batch.reset();
      PyErr_Format(PyExc_ValueError, "the schema of record batch %zd differs from that of record batch 0", i);
    }
    if (!batch) {
      raise_conversion_failed();
      return false;
    }
    inputs.push_back(std::move(*batch));
  }
  return true;
}

// Masks every batch through the engine's masking reader under mask()'s
// policy, positions counted over the table from 0. The reader shares the
// inputs, which the caller keeps, so no imported struct is released here.
bool mask_batches(MaskPipeline pipeline, const std::vector<RecordBatch>& inputs, const KeyBytes& key,
                  std::vector<RecordBatch>& outputs) {
  mask_engine::StreamSettings settings;
  settings.key = key.copy();
  settings.policy = mask_engine::Policy::NullFallback;
  auto reader = mask_engine::mask_reader(arrow_c::batches_reader(inputs[0].schema, inputs),
                                         std::move(pipeline), std::move(settings));
  if (!reader.ok()) return raise_text(PyExc_MemoryError, reader.error().to_string());
  std::optional<arrow_c::ArrowError> failed;
  {
    // The engine touches native data only; other Python threads may run.
    GilRelease unlocked;
    QM_NATIVE([&] {
      for (;;) {
        arrow_c::BatchReader::Next next = reader.value()->next();
        if (!next.ok()) {
          failed = std::move(next).error();
          return;
        }
        if (!next.value()) return;
        outputs.push_back(std::move(*next.value()));
      }
    }());
  }
  if (failed) return raise_text(PyExc_ValueError, "Masking failed: " + failed->to_string());
  return true;
}

// The masked batches back as a pandas frame, through pyarrow. The batches
// share imported buffers, so a failure is set aside before they are dropped.
PyRef to_frame(PyObject* borrowed_pyarrow, const arrow_c::SchemaRef& schema,
               std::vector<RecordBatch> outputs, ErrorAside& aside) {
  auto fail = [&aside] {
    aside.hold();
    return PyRef();
  };
  const std::size_t output_count = outputs.size();
  arrow_c::StreamOwner stream;
  arrow_c::ArrowResult<Done> exported =
      arrow_c::export_stream(arrow_c::batches_reader(schema, std::move(outputs)), stream.get());
  if (!exported.ok()) {
    raise_text(PyExc_MemoryError, exported.error().to_string());
    return fail();
  }
  PyRef reader_type = PyRef::steal(PyObject_GetAttrString(borrowed_pyarrow, "RecordBatchReader"));
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
  PyRef table_type = PyRef::steal(PyObject_GetAttrString(borrowed_pyarrow, "Table"));
  if (!table_type) return fail();
  PyRef out_table = call_attr(table_type.get(), "from_batches", masked_list.get());
  if (!out_table) return fail();
  PyRef frame = call_attr(out_table.get(), "to_pandas");
  if (!frame) return fail();
  return frame;
}

// The call's steps. Each failure sets the error aside before this frame's
// locals (imported batches among them) are released.
PyObject* mask_steps(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, ErrorAside& aside) {
  MaskArgs call;
  if (!read_arguments(args, nargs, kwnames, call)) return aside.hold();
  PyRef pyarrow = PyRef::steal(PyImport_ImportModule("pyarrow"));
  if (!pyarrow) return aside.hold();
  std::vector<RecordBatch> inputs;
  if (!import_table(pyarrow.get(), call.borrowed_df, inputs)) return aside.hold();
  std::optional<MaskPipeline> pipeline = parse_pipeline(call.borrowed_transforms, OnDuplicate::Panic, Types::Masking);
  if (!pipeline) return aside.hold();
  pipeline = with_index_levels(std::move(*pipeline), *inputs[0].schema);
  if (!pipeline) return aside.hold();
  std::vector<RecordBatch> outputs;
  if (!mask_batches(std::move(*pipeline), inputs, call.key, outputs)) return aside.hold();
  // On failure the error is set aside already.
  return to_frame(pyarrow.get(), inputs[0].schema, std::move(outputs), aside).release();
}

}  // namespace

KeyBytes::~KeyBytes() { keyed_hash::wipe(bytes_); }

mask_engine::Key KeyBytes::view() const {
  if (!bytes_) return std::nullopt;
  return std::string_view(*bytes_);
}

PyObject* mask_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  ErrorAside aside;
  return aside.restore_if_failed(mask_steps(args, nargs, kwnames, aside));
}

}  // namespace quillon::py_module
