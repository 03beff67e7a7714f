// pandas index levels that carry a configured column's values.
//
// pyarrow stores a named index level as a column; when the level's name is
// also a column's, the level's field is "__index_level_N__" and only the
// schema's "pandas" metadata (a JSON document) says which name it has. Such a
// level holds the same values as the column, so it gets the same transform,
// or the masked column would come back in clear in the index.
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "internal.h"
#include "py_handle.h"

namespace quillon::py_module {
namespace {

using mask_engine::MaskPipeline;

// The value of `key` in the C interface's encoded metadata (an int32 pair
// count, then per pair an int32 length and the key, an int32 length and the
// value); nullopt when absent or cut short.
std::optional<std::string_view> metadata_value(std::string_view encoded, std::string_view key) {
  std::size_t at = 0;
  auto read_int = [&](std::int32_t& out) {
    if (encoded.size() - at < sizeof(out)) return false;
    std::memcpy(&out, encoded.data() + at, sizeof(out));
    at += sizeof(out);
    return out >= 0;
  };
  auto read_text = [&](std::string_view& out) {
    std::int32_t len = 0;
    if (!read_int(len) || encoded.size() - at < static_cast<std::size_t>(len)) return false;
    out = encoded.substr(at, static_cast<std::size_t>(len));
    at += static_cast<std::size_t>(len);
    return true;
  };
  std::int32_t pairs = 0;
  if (!read_int(pairs)) return std::nullopt;
  for (std::int32_t p = 0; p < pairs; ++p) {
    std::string_view k;
    std::string_view v;
    if (!read_text(k) || !read_text(v)) return std::nullopt;
    if (k == key) return v;
  }
  return std::nullopt;
}

// The item `name` of a dict, borrowed; null when the object is no dict or
// lacks it (no error set).
PyObject* borrowed_item(PyObject* borrowed_dict, const char* name) {
  if (!PyDict_Check(borrowed_dict)) return nullptr;
  PyObject* borrowed = PyDict_GetItemString(borrowed_dict, name);
  return borrowed;
}

std::optional<std::string> utf8_of(PyObject* borrowed_str) {
  if (borrowed_str == nullptr || !PyUnicode_Check(borrowed_str)) return std::nullopt;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(borrowed_str, &size);
  if (data == nullptr) {
    PyErr_Clear();  // a name with no UTF-8 form matches no column
    return std::nullopt;
  }
  return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace

std::optional<MaskPipeline> with_index_levels(MaskPipeline pipeline, const arrow_c::Schema& schema) {
  if (!schema.metadata) return pipeline;
  const std::optional<std::string_view> document = metadata_value(*schema.metadata, "pandas");
  if (!document) return pipeline;

  PyRef json = PyRef::steal(PyImport_ImportModule("json"));
  if (!json) return std::nullopt;
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(document->data(), static_cast<Py_ssize_t>(document->size()), "replace"));
  if (!text) return std::nullopt;
  PyRef parsed = PyRef::steal(PyObject_CallMethod(json.get(), "loads", "O", text.get()));
  if (!parsed) {
    // Metadata that is not JSON names no level; pyarrow would not restore
    // an index from it either.
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) return std::nullopt;
    PyErr_Clear();
    return pipeline;
  }
  PyObject* borrowed_levels = borrowed_item(parsed.get(), "index_columns");
  PyObject* borrowed_columns = borrowed_item(parsed.get(), "columns");
  if (borrowed_levels == nullptr || !PyList_Check(borrowed_levels) || borrowed_columns == nullptr ||
      !PyList_Check(borrowed_columns)) {
    return pipeline;
  }
  for (Py_ssize_t i = 0; i < PyList_Size(borrowed_columns); ++i) {
    PyObject* borrowed_entry = PyList_GetItem(borrowed_columns, i);
    const std::optional<std::string> name = utf8_of(borrowed_item(borrowed_entry, "name"));
    PyObject* borrowed_field = borrowed_item(borrowed_entry, "field_name");
    const std::optional<std::string> field = utf8_of(borrowed_field);
    if (!name || !field || *name == *field) continue;
    // Only index levels: a column's entry always has its own name as field.
    const int is_level = PySequence_Contains(borrowed_levels, borrowed_field);
    if (is_level < 0) return std::nullopt;
    if (is_level == 0) continue;
    const auto& configured = pipeline.column_transforms();
    const auto found = configured.find(*name);
    if (found == configured.end()) continue;
    pipeline = pipeline.with_alias(*field, found->first);
  }
  return pipeline;
}

}  // namespace quillon::py_module
