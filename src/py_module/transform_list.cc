// The transform list: [{"column": <str>, "type": <str>}, ...], each entry
// handed to the builder as soon as it is parsed. The Arrow entry also takes
// the value-bound types, pseudonym, encrypt and fpe, with their fields
// "context" (a str) and "alphabet" (fpe's, a name or the characters), and
// refuses any field an entry's type does not take; mask() knows neither and
// ignores other fields.
#include <Python.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include "internal.h"
#include "py_handle.h"

namespace quillon::py_module {
namespace {

using mask_engine::MaskPipeline;
using mask_engine::PipelineBuilder;
using mask_engine::Transform;
using mask_engine::value_bound;

bool raise_conversion(PyObject* type, const char* prefix, PyObject* borrowed_obj,
                      const char* target) {
  PyRef text = conversion_text(borrowed_obj, target);
  if (!text) return false;
  PyRef message = PyRef::steal(PyUnicode_FromFormat("%s%U", prefix, text.get()));
  if (!message) return false;
  PyErr_SetObject(type, message.get());
  return false;
}

// The entry's value for `key` as a new reference, looked up in the dict's own
// storage; null with an error set when missing or when the lookup fails.
PyRef lookup(PyObject* borrowed_dict, const char* key, const char* missing_message) {
  PyRef key_obj = PyRef::steal(PyUnicode_FromString(key));
  if (!key_obj) return PyRef();
  PyObject* borrowed_value = PyDict_GetItemWithError(borrowed_dict, key_obj.get());
  if (borrowed_value == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, missing_message);
    return PyRef();
  }
  return PyRef::new_ref(borrowed_value);
}

// UTF-8 copy of a str value; nullopt with an error set otherwise.
std::optional<std::string> to_utf8(PyObject* borrowed_value) {
  if (!PyUnicode_Check(borrowed_value)) {
    raise_conversion(PyExc_TypeError, "", borrowed_value, "PyString");
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(borrowed_value, &size);
  if (data == nullptr) return std::nullopt;
  return std::string(data, static_cast<std::size_t>(size));
}

std::optional<Transform> select(const std::string& name, Types types) {
  auto is = [&](const char* literal) { return std::memcmp(name.data(), literal, name.size()) == 0; };
  const bool value_bound = types == Types::WithValueBound;
  switch (name.size()) {
    case 12:
      if (is("pass_through")) return Transform::PassThrough;
      break;
    case 9:
      if (value_bound && is("pseudonym")) return Transform::Pseudonym;
      break;
    case 7:
      if (value_bound && is("encrypt")) return Transform::Encrypt;
      break;
    case 6:
      if (is("redact")) return Transform::Redact;
      break;
    case 3:
      if (value_bound && is("fpe")) return Transform::Fpe;
      break;
    case 4:
      if (is("hash")) return Transform::Hash;
      if (is("null")) return Transform::Null;
      break;
    default:
      break;
  }
  return std::nullopt;
}

}  // namespace

PyRef conversion_text(PyObject* borrowed_obj, const char* target) {
  PyRef qualname = PyRef::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(borrowed_obj)), "__qualname__"));
  if (!qualname) return PyRef();
  return PyRef::steal(
      PyUnicode_FromFormat("'%S' object cannot be converted to '%s'", qualname.get(), target));
}

bool raise_arg_conversion(const char* param, PyObject* borrowed_obj, const char* target) {
  PyRef text = conversion_text(borrowed_obj, target);
  if (!text) return false;
  PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
  if (message) PyErr_SetObject(PyExc_TypeError, message.get());
  return false;
}

bool raise_text(PyObject* type, const std::string& text) {
  PyRef message = PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!message) return false;
  PyErr_SetObject(type, message.get());
  return false;
}

namespace {

// The str value of an optional field, nullopt when absent; false with a
// ValueError set when it is not a str.
bool optional_text(PyObject* borrowed_entry, const char* field, std::optional<std::string>& out) {
  PyRef key = PyRef::steal(PyUnicode_FromString(field));
  if (!key) return false;
  PyObject* borrowed_value = PyDict_GetItemWithError(borrowed_entry, key.get());
  if (borrowed_value == nullptr) return !PyErr_Occurred();
  if (!PyUnicode_Check(borrowed_value)) {
    PyRef type_name = PyRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(borrowed_value)), "__qualname__"));
    if (type_name) PyErr_Format(PyExc_ValueError, "'%s' must be a str, not '%U'", field, type_name.get());
    return false;
  }
  out = to_utf8(borrowed_value);
  return out.has_value();
}

// Every field of the entry must be one its type takes.
bool check_fields(PyObject* borrowed_entry, Transform transform) {
  PyObject* borrowed_field = nullptr;
  PyObject* borrowed_value = nullptr;
  Py_ssize_t at = 0;
  while (PyDict_Next(borrowed_entry, &at, &borrowed_field, &borrowed_value)) {
    auto is = [&](const char* name) {
      return PyUnicode_Check(borrowed_field) && PyUnicode_CompareWithASCIIString(borrowed_field, name) == 0;
    };
    if (is("column") || is("type")) continue;
    if (value_bound(transform) && is("context")) continue;
    if (transform == Transform::Fpe && is("alphabet")) continue;
    PyErr_Format(PyExc_ValueError, "Unknown field in a transform entry: %R", borrowed_field);
    return false;
  }
  return true;
}

// A value-bound entry's context and alphabet, checked.
std::optional<mask_engine::ValueBoundParams> value_bound_params(PyObject* borrowed_entry, Transform transform) {
  mask_engine::ValueBoundParams params;
  if (!optional_text(borrowed_entry, "context", params.context)) return std::nullopt;
  if (transform != Transform::Fpe) return params;
  std::optional<std::string> alphabet;
  if (!optional_text(borrowed_entry, "alphabet", alphabet)) return std::nullopt;
  if (!alphabet) {
    PyErr_SetString(PyExc_ValueError, "Missing 'alphabet' for the fpe transform");
    return std::nullopt;
  }
  auto parsed = mask_engine::Alphabet::parse(*alphabet);
  if (!parsed.ok()) {
    raise_text(PyExc_ValueError, parsed.error().arrow_error().message());
    return std::nullopt;
  }
  params.alphabet = std::move(parsed).value();
  return params;
}

// Parses the transform list into the builder, one entry at a time. False with
// a Python error set on the first bad entry.
bool add_transforms(PyObject* borrowed_list, PipelineBuilder& builder, OnDuplicate on_duplicate, Types types) {
  const Py_ssize_t initial_len = PyList_Size(borrowed_list);
  // The list may shrink while entries are converted (a str subclass's code
  // can run); never read past its current end.
  for (Py_ssize_t i = 0; i < std::min(initial_len, PyList_Size(borrowed_list)); ++i) {
    PyRef entry = PyRef::new_ref(PyList_GetItem(borrowed_list, i));
    if (!PyDict_Check(entry.get())) {
      return raise_conversion(PyExc_ValueError, "Expected dict: ", entry.get(), "PyDict");
    }
    PyRef column_obj = lookup(entry.get(), "column", "Missing 'column'");
    if (!column_obj) return false;
    std::optional<std::string> column = to_utf8(column_obj.get());
    if (!column) return false;
    PyRef type_obj = lookup(entry.get(), "type", "Missing 'type'");
    if (!type_obj) return false;
    std::optional<std::string> type_name = to_utf8(type_obj.get());
    if (!type_name) return false;
    std::optional<Transform> transform = select(*type_name, types);
    if (!transform) {
      PyRef message = PyRef::steal(PyUnicode_FromFormat("Unknown transform: %U", type_obj.get()));
      if (message) PyErr_SetObject(PyExc_ValueError, message.get());
      return false;
    }
    if (types == Types::WithValueBound && !check_fields(entry.get(), *transform)) return false;
    std::optional<mask_engine::ValueBoundParams> params;
    if (value_bound(*transform)) {
      params = value_bound_params(entry.get(), *transform);
      if (!params) return false;
    }
    try {
      builder = params ? PipelineBuilder::add_value_bound(std::move(builder), *column, *transform, std::move(*params))
                       : PipelineBuilder::add_column_transform(std::move(builder), *column, *transform);
    } catch (const mask_engine::DuplicateColumnError&) {
      // what() ends at the first NUL; a column name may hold one, so the
      // message is rebuilt from the name itself.
      std::string message = "transform already configured for column '" + *column + "'";
      if (on_duplicate == OnDuplicate::ValueError) return raise_text(PyExc_ValueError, message);
      throw PanicSite(__FILE__, __LINE__, std::move(message), true);
    } catch (const std::exception& e) {
      throw PanicSite(__FILE__, __LINE__, e.what(), true);
    }
  }
  return true;
}

}  // namespace

std::optional<MaskPipeline> parse_pipeline(PyObject* borrowed_list, OnDuplicate on_duplicate, Types types) {
  PipelineBuilder builder = MaskPipeline::builder();
  if (!add_transforms(borrowed_list, builder, on_duplicate, types)) return std::nullopt;
  auto built = PipelineBuilder::build(std::move(builder));
  if (!built.ok()) {
    raise_text(PyExc_ValueError, "Pipeline error: " + built.error().to_string());
    return std::nullopt;
  }
  return std::move(built).value();
}

}  // namespace quillon::py_module
