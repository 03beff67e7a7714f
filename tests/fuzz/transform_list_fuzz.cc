// libFuzzer target: the module's transform-list parser (parse_pipeline, the
// code mask() and quillon_mask.arrow call) over Python objects, in an
// embedded CPython.
//
// transform_list_objects.py decodes the input into a list of dicts and odd
// objects (dict and str subclasses, missing and extra keys, non-str values,
// strings that are not UTF-8, keys whose comparison clears the list or
// raises) and works out in plain Python what the parser must give. The
// target checks that the parser's pipeline holds exactly the expected
// columns and transforms, or that it raised the expected exception with the
// expected message; for lists whose keys run code, only that it succeeds or
// fails cleanly (a pipeline and no exception pending, or the reverse).
#include <Python.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "internal.h"

using namespace quillon;  // NOLINT(build/namespaces): the layers by their short names

namespace {

using py_module::PyRef;

PyObject* decode_fn = nullptr;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "transform list: %s\n", what.c_str());
  if (PyErr_Occurred()) PyErr_Print();
  std::abort();
}

std::string utf8_of(PyObject* borrowed_str) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(borrowed_str, &size);
  if (data == nullptr) fail("text is not UTF-8");
  return std::string(data, static_cast<std::size_t>(size));
}

const char* type_text(mask_engine::Transform t) {
  switch (t) {
    case mask_engine::Transform::Hash: return "hash";
    case mask_engine::Transform::Redact: return "redact";
    case mask_engine::Transform::Null: return "null";
    case mask_engine::Transform::PassThrough: return "pass_through";
    default: return "?";  // mask()'s list never names a value-bound type
  }
  return "?";
}

// The pipeline must hold exactly the columns and types of `borrowed_parsed`.
void check_pipeline(const mask_engine::MaskPipeline& pipeline, PyObject* borrowed_parsed) {
  const auto& columns = pipeline.column_transforms();
  if (static_cast<Py_ssize_t>(columns.size()) != PyDict_Size(borrowed_parsed)) fail("column count");
  for (const auto& [name, transform] : columns) {
    PyRef key = PyRef::steal(
        PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "strict"));
    if (!key) fail("column name is not UTF-8");
    PyObject* borrowed_type = PyDict_GetItemWithError(borrowed_parsed, key.get());
    if (borrowed_type == nullptr) fail("unexpected column");
    if (utf8_of(borrowed_type) != type_text(transform)) fail("wrong transform");
  }
}

// The pending exception must be of class `expected_class` and, unless
// `borrowed_message` is None, carry that message.
void check_error(const std::string& expected_class, PyObject* borrowed_message) {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef owned_type = PyRef::steal(type), owned_value = PyRef::steal(value),
        owned_traceback = PyRef::steal(traceback);
  const std::string name = reinterpret_cast<PyTypeObject*>(type)->tp_name;
  if (name != expected_class) fail("raised " + name + ", expected " + expected_class);
  if (borrowed_message == Py_None) return;
  PyRef text = PyRef::steal(PyObject_Str(value));
  if (!text) fail("exception text");
  if (PyUnicode_Compare(text.get(), borrowed_message) != 0) {
    fail("message '" + utf8_of(text.get()) + "', expected '" + utf8_of(borrowed_message) + "'");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Python objects on the C heap, where ASan sees them.
  setenv("PYTHONMALLOC", "malloc", 1);
  setenv("PYTHONHOME", QM_PYTHON_HOME, 0);
  Py_InitializeEx(0);
  PyRef sys_path = PyRef::new_ref(PySys_GetObject("path"));
  PyRef dir = PyRef::steal(PyUnicode_FromString(QM_FUZZ_DIR));
  if (!sys_path || !dir || PyList_Insert(sys_path.get(), 0, dir.get()) != 0) fail("sys.path");
  PyRef helper = PyRef::steal(PyImport_ImportModule("transform_list_objects"));
  if (!helper) fail("cannot import transform_list_objects");
  decode_fn = PyObject_GetAttrString(helper.get(), "decode");
  if (decode_fn == nullptr) fail("no decode()");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  PyRef input = PyRef::steal(
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size)));
  PyRef decoded = PyRef::steal(PyObject_CallFunctionObjArgs(decode_fn, input.get(), nullptr));
  if (!decoded) fail("decode() raised");
  PyObject* borrowed_list = PyTuple_GetItem(decoded.get(), 0);
  const bool panic = PyObject_IsTrue(PyTuple_GetItem(decoded.get(), 1)) == 1;
  PyObject* borrowed_expected = PyTuple_GetItem(decoded.get(), 2);
  const auto on_duplicate = panic ? py_module::OnDuplicate::Panic : py_module::OnDuplicate::ValueError;

  std::optional<mask_engine::MaskPipeline> pipeline;
  std::string panic_message;
  bool panicked = false;
  try {
    pipeline = py_module::parse_pipeline(borrowed_list, on_duplicate, py_module::Types::Masking);
  } catch (const py_module::PanicSite& site) {
    panicked = true;
    panic_message = site.message();
  }
  if (panicked && PyErr_Occurred()) fail("panic with an exception pending");
  if (pipeline && PyErr_Occurred()) fail("a pipeline with an exception pending");
  if (!pipeline && !panicked && !PyErr_Occurred()) fail("no pipeline and no exception");

  if (borrowed_expected != Py_None) {
    const std::string outcome = utf8_of(PyTuple_GetItem(borrowed_expected, 0));
    PyObject* borrowed_detail = PyTuple_GetItem(borrowed_expected, 1);
    if (outcome == "ok") {
      if (!pipeline) fail("no pipeline for a good list");
      check_pipeline(*pipeline, borrowed_detail);
    } else if (outcome == "PanicException") {
      if (!panicked) fail("expected a panic");
      if (panic_message != utf8_of(borrowed_detail)) fail("panic message '" + panic_message + "'");
    } else {
      if (pipeline || panicked) fail("expected " + outcome);
      check_error(outcome, borrowed_detail);
    }
  }
  const bool hostile = borrowed_expected == Py_None;
  PyErr_Clear();
  decoded = PyRef();
  // Hostile keys hold the list they change: a cycle.
  if (hostile) PyGC_Collect();
  return 0;
}
