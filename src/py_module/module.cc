// The extension module quillon_mask: its initialiser, the two functions and
// the boundary that turns an internal failure into PanicException instead of
// letting it unwind into the interpreter.
//
// The same initialiser also makes the private module quillon_mask._native,
// the native half of quillon_mask.arrow, and places it in sys.modules only:
// it is no attribute of quillon_mask and not in __all__, so the public
// module looks as it always did. One extension, one exported symbol, one
// engine and so one worker pool per process, whichever entry a caller uses;
// a second extension module would link a second engine with a pool of its
// own.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "internal.h"
#include "py_handle.h"

namespace quillon::py_module {
namespace {

constexpr const char kVersion[] = "0.1.0";

const char kMaskDoc[] =
    "mask(df, transforms, key)\n"
    "--\n"
    "\n"
    "Mask sensitive columns in a DataFrame.\n"
    "\n"
    "# Arguments\n"
    "* `df` - A pandas DataFrame or pyarrow Table\n"
    "* `transforms` - List of transforms [{\"column\": \"email\", \"type\": \"hash\"}, ...]\n"
    "* `key` - Optional HMAC key for deterministic masking\n"
    "\n"
    "# Example\n"
    "```python\n"
    "from quillon_mask import mask\n"
    "import pandas as pd\n"
    "\n"
    "df = pd.DataFrame({\"email\": [\"alice@example.com\", \"bob@example.com\"]})\n"
    "transforms = [{\"column\": \"email\", \"type\": \"hash\"}]\n"
    "result = mask(df, transforms, key=\"mykey1\")\n"
    "```";

const char kPanicDoc[] =
    "Raised when the native code of quillon_mask fails.\n"
    "\n"
    "Like SystemExit, it derives from BaseException, not Exception, so it\n"
    "typically propagates all the way up and makes the interpreter exit.";

const char kGenericPanic[] = "quillon_mask native code failed";

// Process-wide: the first interpreter to import the module owns it until
// the process ends, so these are never reset or released.
std::atomic<std::int64_t> g_interpreter_id{-1};
PyObject* g_cached_module = nullptr;   // strong reference kept for the process
PyObject* g_panic_type = nullptr;      // strong reference kept for the process
PyObject* g_native_module = nullptr;   // strong reference kept for the process

PyObject* panic_type() {
  if (g_panic_type == nullptr) {
    g_panic_type = PyErr_NewExceptionWithDoc("quillon_mask.PanicException", kPanicDoc,
                                             PyExc_BaseException, nullptr);
  }
  return g_panic_type;
}

void raise_panic(const PanicSite& site) {
  const std::string& text = site.has_message() ? site.message() : std::string(kGenericPanic);
  std::fprintf(stderr, "quillon_mask panicked at %s:%d: ", site.file(), site.line());
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  PyObject* borrowed_type = panic_type();
  if (borrowed_type == nullptr) return;  // its creation error stays set
  PyRef message = PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!message) return;
  PyErr_SetObject(borrowed_type, message.get());
}

// Runs one entry point. Everything the body owns is released by unwinding
// before the handler runs.
template <typename F>
PyObject* boundary(const char* file, int line, F&& body) {
  PyObject* result = nullptr;
  try {
    try {
      result = body();
    } catch (const PanicSite& site) {
      raise_panic(site);
      return nullptr;
    } catch (const std::exception& e) {
      raise_panic(PanicSite(file, line, e.what(), true));
      return nullptr;
    } catch (...) {
      raise_panic(PanicSite(file, line, std::string(), false));
      return nullptr;
    }
  } catch (...) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
  }
  if (result == nullptr && !PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  return result;
}

PyObject* mask_entry(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
  return boundary(__FILE__, __LINE__, [&] { return mask_call(args, nargs, kwnames); });
}

PyObject* version_entry(PyObject* /*self*/, PyObject* /*unused*/) {
  return boundary(__FILE__, __LINE__, [] { return PyUnicode_FromString(kVersion); });
}

PyObject* plan_entry(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs) {
  return boundary(__FILE__, __LINE__, [&] { return plan_call(args, nargs); });
}

PyObject* open_stream_entry(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs) {
  return boundary(__FILE__, __LINE__, [&] { return open_stream_call(args, nargs); });
}

PyObject* open_array_entry(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs) {
  return boundary(__FILE__, __LINE__, [&] { return open_array_call(args, nargs); });
}

PyObject* open_reader_entry(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs) {
  return boundary(__FILE__, __LINE__, [&] { return open_reader_call(args, nargs); });
}

template <typename F>
PyCFunction fastcall(F* entry) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

PyMethodDef g_native_methods[] = {
    {"plan", fastcall(plan_entry), METH_FASTCALL,
     "plan(transforms, key, reveal)\n--\n\nThe transform list and key, checked, for one stream (masking, or revealing when reveal is true)."},
    {"open_stream", fastcall(open_stream_entry), METH_FASTCALL,
     "open_stream(plan, stream, start)\n--\n\nA masking stream over a C stream capsule."},
    {"open_array", fastcall(open_array_entry), METH_FASTCALL,
     "open_array(plan, schema, array, start)\n--\n\nA masking stream over one record batch."},
    {"open_reader", fastcall(open_reader_entry), METH_FASTCALL,
     "open_reader(plan, reader, start)\n--\n\nA masking stream over a pyarrow reader, checked batch by batch."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_native_def = {
    PyModuleDef_HEAD_INIT, "quillon_mask._native", "Native half of quillon_mask.arrow (private).", 0,
    g_native_methods, nullptr, nullptr, nullptr, nullptr,
};

// Puts the private module into sys.modules, made on the first call; an entry
// already there is kept.
bool register_native_module() {
  if (g_native_module == nullptr) {
    g_native_module = PyModule_Create(&g_native_def);
    if (g_native_module == nullptr) return false;
  }
  PyObject* borrowed_modules = PyImport_GetModuleDict();
  PyRef name = PyRef::steal(PyUnicode_FromString(g_native_def.m_name));
  if (!name) return false;
  PyObject* borrowed_present = PyDict_GetItemWithError(borrowed_modules, name.get());
  if (borrowed_present != nullptr) return true;
  if (PyErr_Occurred()) return false;
  return PyDict_SetItem(borrowed_modules, name.get(), g_native_module) == 0;
}

PyMethodDef g_mask_def = {"mask",
                          reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(mask_entry)),
                          METH_FASTCALL | METH_KEYWORDS, kMaskDoc};
PyMethodDef g_version_def = {"version", version_entry, METH_NOARGS, "version()\n--\n\n"};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "quillon_mask", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Appends `name` to the module's __all__ (made when missing) and sets the
// attribute.
bool add_value(PyObject* borrowed_module, PyObject* borrowed_name, PyObject* borrowed_value) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(borrowed_module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all) return false;
    if (PyObject_SetAttrString(borrowed_module, "__all__", all.get()) < 0) return false;
  }
  if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    return false;
  }
  if (PyList_Append(all.get(), borrowed_name) < 0) return false;
  return PyObject_SetAttr(borrowed_module, borrowed_name, borrowed_value) == 0;
}

bool add_function(PyObject* borrowed_module, PyMethodDef* def) {
  PyRef modname = PyRef::steal(PyModule_GetNameObject(borrowed_module));
  if (!modname) return false;
  PyRef func = PyRef::steal(PyCFunction_NewEx(def, borrowed_module, modname.get()));
  if (!func) return false;
  PyRef name = PyRef::steal(PyObject_GetAttrString(func.get(), "__name__"));
  if (!name) return false;
  return add_value(borrowed_module, name.get(), func.get());
}

PyObject* init_module() {
  PyInterpreterState* borrowed_interp = PyInterpreterState_Get();
  std::int64_t id = PyInterpreterState_GetID(borrowed_interp);
  if (id == -1 && PyErr_Occurred()) return nullptr;
  std::int64_t expected = -1;
  if (!g_interpreter_id.compare_exchange_strong(expected, id, std::memory_order_seq_cst) &&
      expected != id) {
    PyErr_SetString(PyExc_ImportError, "quillon_mask does not support sub-interpreters");
    return nullptr;
  }
  if (g_cached_module != nullptr) {
    if (!register_native_module()) return nullptr;
    return PyRef::new_ref(g_cached_module).release();
  }

  PyRef module = PyRef::steal(PyModule_Create(&g_module_def));
  if (!module) return nullptr;
  if (!add_function(module.get(), &g_mask_def)) return nullptr;
  if (!add_function(module.get(), &g_version_def)) return nullptr;
  PyRef version_name = PyRef::steal(PyUnicode_FromString("__version__"));
  if (!version_name) return nullptr;
  PyRef version_value = PyRef::steal(PyUnicode_FromString(kVersion));
  if (!version_value) return nullptr;
  if (!add_value(module.get(), version_name.get(), version_value.get())) return nullptr;

  if (!register_native_module()) return nullptr;

  g_cached_module = PyRef::new_ref(module.get()).release();
  return module.release();
}

}  // namespace
}  // namespace quillon::py_module

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_quillon_mask() {
  return quillon::py_module::boundary(__FILE__, __LINE__, [] { return quillon::py_module::init_module(); });
}
