// The native half of quillon_mask.arrow: capsules in, a stream capsule out.
//
// The Python glue checks its arguments, finds the data's export (the
// PyCapsule protocol) and converts the result back; this file holds what is
// per stream: the transform list parsed into a plan (before the data is
// exported, so a bad list leaves a reader unread), then the source, as a
// BatchReader, handed to the engine's masking reader, which is exported as
// the C stream: a pyarrow reader as the pyarrow batch source
// (pyarrow_source.h), which checks each batch against the buffer sizes
// pyarrow knows, a producer's C stream through import_stream, a single
// array as a reader of one batch. Nothing here runs per
// batch: the engine's stream pulls, masks and hands on batches on whatever
// thread its consumer calls it from; only a pyarrow source takes the GIL,
// for its pull.
//
// Capsules: "quillon_mask.plan" owns a pipeline and a key copy (wiped when
// the capsule dies) and is used once; "arrow_array_stream" is the C stream
// interface's own name, so any consumer (pyarrow's
// RecordBatchReader._import_from_c_capsule) can take the stream over.
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "arrow_c/bridge.h"
#include "arrow_c/owner.h"
#include "internal.h"
#include "keyed_hash/hmac.h"
#include "mask_engine/stream.h"
#include "py_handle.h"
#include "pyarrow_source.h"

namespace quillon::py_module {
namespace {

using mask_engine::MaskPipeline;

constexpr const char kPlanName[] = "quillon_mask.plan";
constexpr const char kStreamName[] = "arrow_array_stream";

struct Plan {
  std::optional<MaskPipeline> pipeline;  // empty once a stream took it
  KeyBytes key;
  bool reveal = false;  // the inverse stream (StreamSettings::reveal)
};

void destroy_plan(PyObject* capsule) {
  delete static_cast<Plan*>(PyCapsule_GetPointer(capsule, kPlanName));
}

// Releases a stream nobody took; that drops imported data, whose release
// may be Python code, so no error may be pending.
void destroy_stream(PyObject* capsule) {
  auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, kStreamName));
  if (stream == nullptr) {
    PyErr_Clear();
    return;
  }
  drop_keeping_error([&] {
    if (stream->release != nullptr) stream->release(stream);
  });
  delete stream;
}

bool check_arg_count(const char* name, Py_ssize_t nargs, Py_ssize_t expected) {
  if (nargs == expected) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes %zd arguments (%zd given)", name, expected, nargs);
  return false;
}

// 1 with the bytes of a bytes-like object (one that exports a buffer) read
// into `out`, 0 when the object is not one, -1 with a Python error set.
#ifndef Py_LIMITED_API
int read_bytes_like(PyObject* borrowed_obj, KeyBytes& out) {
  if (!PyObject_CheckBuffer(borrowed_obj)) return 0;
  Py_buffer view;
  if (PyObject_GetBuffer(borrowed_obj, &view, PyBUF_SIMPLE) < 0) return -1;
  out.assign(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
  PyBuffer_Release(&view);
  return 1;
}
#else
// The stable ABI of CPython 3.10 has no buffer protocol. bytes and bytearray
// are read in place; any other exporter through a memoryview, whose bytes
// are copied into a bytes object that is wiped once read (when nothing else
// holds it). A buffer that is not contiguous is refused, as a plain buffer
// request refuses it.
int read_bytes_like(PyObject* borrowed_obj, KeyBytes& out) {
  if (PyBytes_Check(borrowed_obj)) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(borrowed_obj, &data, &size) < 0) return -1;
    out.assign(data, static_cast<std::size_t>(size));
    return 1;
  }
  if (PyByteArray_Check(borrowed_obj)) {
    out.assign(PyByteArray_AsString(borrowed_obj),
               static_cast<std::size_t>(PyByteArray_Size(borrowed_obj)));
    return 1;
  }
  PyRef view = PyRef::steal(PyMemoryView_FromObject(borrowed_obj));
  if (!view) {
    // What memoryview() raises for an object without the buffer protocol.
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  PyRef contiguous = PyRef::steal(PyObject_GetAttrString(view.get(), "c_contiguous"));
  if (!contiguous) return -1;
  const int is_contiguous = PyObject_IsTrue(contiguous.get());
  if (is_contiguous < 0) return -1;
  if (!is_contiguous) {
    PyErr_SetString(PyExc_BufferError, "key: the buffer is not C-contiguous");
    return -1;
  }
  PyRef copy = PyRef::steal(PyObject_Bytes(view.get()));
  if (!copy) return -1;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(copy.get(), &data, &size) < 0) return -1;
  out.assign(data, static_cast<std::size_t>(size));
  // Short bytes objects may be the interpreter's shared ones.
  if (Py_REFCNT(copy.get()) == 1) keyed_hash::wipe(data, static_cast<std::size_t>(size));
  return 1;
}

// The type's name as the full API's tp_name reads: "module.name" for a type
// defined in C outside builtins, the bare name for builtins and for classes.
PyRef type_name_of(PyObject* borrowed_obj) {
  auto* type = reinterpret_cast<PyObject*>(Py_TYPE(borrowed_obj));
  PyRef name = PyRef::steal(PyObject_GetAttrString(type, "__name__"));
  if (!name || (PyType_GetFlags(Py_TYPE(borrowed_obj)) & Py_TPFLAGS_HEAPTYPE) != 0) return name;
  PyRef module = PyRef::steal(PyObject_GetAttrString(type, "__module__"));
  if (!module) return PyRef();
  if (!PyUnicode_Check(module.get()) ||
      PyUnicode_CompareWithASCIIString(module.get(), "builtins") == 0) {
    return name;
  }
  return PyRef::steal(PyUnicode_FromFormat("%U.%U", module.get(), name.get()));
}
#endif

// str: its UTF-8 bytes; a bytes-like object: its bytes as they are; None: no key.
bool read_key(PyObject* borrowed_key, KeyBytes& out) {
  if (borrowed_key == Py_None) return true;
  if (PyUnicode_Check(borrowed_key)) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(borrowed_key, &size);
    if (data == nullptr) return false;
    out.assign(data, static_cast<std::size_t>(size));
    return true;
  }
  const int read = read_bytes_like(borrowed_key, out);
  if (read != 0) return read > 0;
#ifdef Py_LIMITED_API
  PyRef type_name = type_name_of(borrowed_key);
  if (!type_name) return false;
  PyErr_Format(PyExc_TypeError, "key must be a str, a bytes-like object or None, not '%U'",
               type_name.get());
#else
  PyErr_Format(PyExc_TypeError, "key must be a str, a bytes-like object or None, not '%s'",
               Py_TYPE(borrowed_key)->tp_name);
#endif
  return false;
}

// arrow.py checks start and builds the caller's messages; the engine
// checks its range again for any other caller. This only converts it.
std::optional<std::int64_t> read_start(PyObject* borrowed_start) {
  const long long start = PyLong_AsLongLong(borrowed_start);
  if (start == -1 && PyErr_Occurred()) return std::nullopt;
  return static_cast<std::int64_t>(start);
}

// The plan's pipeline, taken out: a plan serves one stream.
std::optional<MaskPipeline> take_pipeline(PyObject* borrowed_plan, Plan*& plan) {
  plan = static_cast<Plan*>(PyCapsule_GetPointer(borrowed_plan, kPlanName));
  if (plan == nullptr) return std::nullopt;
  if (!plan->pipeline) {
    PyErr_SetString(PyExc_ValueError, "this plan was used for a stream already");
    return std::nullopt;
  }
  std::optional<MaskPipeline> pipeline = std::move(plan->pipeline);
  plan->pipeline.reset();
  return pipeline;
}

// The source masked and exported into a capsule; index levels named like a
// column are found in the source's schema, read once when it was made.
PyObject* open_masking(std::unique_ptr<arrow_c::BatchReader> source, MaskPipeline pipeline,
                       const Plan& plan, std::int64_t start) {
  std::optional<MaskPipeline> levelled = with_index_levels(std::move(pipeline), *source->schema());
  if (!levelled) {
    drop_keeping_error([&] { source.reset(); });
    return nullptr;
  }
  if (auto* pyarrow = dynamic_cast<PyarrowSource*>(source.get())) {
    pyarrow->plan_checks(levelled->column_transforms());
  }
  mask_engine::StreamSettings settings;
  settings.key = plan.key.copy();
  settings.start = start;
  settings.reveal = plan.reveal;
  auto masking = mask_engine::mask_reader(std::move(source), std::move(*levelled), std::move(settings));
  // The engine released the source on failure; nothing imported is left here.
  if (!masking.ok()) {
    raise_arrow_error(masking.error());
    return nullptr;
  }
  auto out = std::make_unique<ArrowArrayStream>();
  std::memset(out.get(), 0, sizeof(ArrowArrayStream));
  const arrow_c::ArrowResult<Done> exported =
      arrow_c::export_stream(std::move(masking).value(), out.get(), wait_without_gil);
  if (!exported.ok()) {
    raise_arrow_error(exported.error());
    return nullptr;
  }
  PyObject* capsule = PyCapsule_New(out.get(), kStreamName, destroy_stream);
  if (capsule == nullptr) {
    drop_keeping_error([&] { out->release(out.get()); });
    return nullptr;
  }
  out.release();
  return capsule;
}

// A failed import left nothing behind; its error becomes the Python error.
PyObject* open_imported(arrow_c::ArrowResult<std::unique_ptr<arrow_c::BatchReader>> source,
                        MaskPipeline pipeline, const Plan& plan, std::int64_t start) {
  if (!source.ok()) {
    raise_arrow_error(source.error());
    return nullptr;
  }
  return open_masking(std::move(source).value(), std::move(pipeline), plan, start);
}

}  // namespace

bool raise_arrow_error(const arrow_c::ArrowError& error) {
  PyObject* type =
      error.code() == arrow_c::ArrowError::Code::OutOfMemory ? PyExc_MemoryError : PyExc_ValueError;
  return raise_text(type, error.message());
}

// plan(transforms, key, reveal) -> plan capsule
PyObject* plan_call(PyObject* const* args, Py_ssize_t nargs) {
  if (!check_arg_count("plan", nargs, 3)) return nullptr;
  PyObject* borrowed_transforms = args[0];
  if (!PyList_Check(borrowed_transforms)) {
    raise_arg_conversion("transforms", borrowed_transforms, "PyList");
    return nullptr;
  }
  auto plan = std::make_unique<Plan>();
  if (!read_key(args[1], plan->key)) return nullptr;
  const int reveal = PyObject_IsTrue(args[2]);
  if (reveal < 0) return nullptr;
  plan->reveal = reveal == 1;
  plan->pipeline = parse_pipeline(borrowed_transforms, OnDuplicate::ValueError, Types::WithValueBound);
  if (!plan->pipeline) return nullptr;
  PyObject* capsule = PyCapsule_New(plan.get(), kPlanName, destroy_plan);
  if (capsule != nullptr) plan.release();
  return capsule;
}

// open_stream(plan, arrow_array_stream capsule, start) -> stream capsule
PyObject* open_stream_call(PyObject* const* args, Py_ssize_t nargs) {
  if (!check_arg_count("open_stream", nargs, 3)) return nullptr;
  const std::optional<std::int64_t> start = read_start(args[2]);
  if (!start) return nullptr;
  auto* c_stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(args[1], kStreamName));
  if (c_stream == nullptr) return nullptr;
  if (c_stream->release == nullptr) {
    PyErr_SetString(PyExc_ValueError, "the stream was consumed already");
    return nullptr;
  }
  Plan* plan = nullptr;
  std::optional<MaskPipeline> pipeline = take_pipeline(args[0], plan);
  if (!pipeline) return nullptr;
  // Taken over: the capsule's struct is marked released, so its destructor
  // has nothing left to free.
  return open_imported(arrow_c::import_stream(c_stream), std::move(*pipeline), *plan, *start);
}

// open_array(plan, arrow_schema capsule, arrow_array capsule, start) -> stream capsule
PyObject* open_array_call(PyObject* const* args, Py_ssize_t nargs) {
  if (!check_arg_count("open_array", nargs, 4)) return nullptr;
  const std::optional<std::int64_t> start = read_start(args[3]);
  if (!start) return nullptr;
  auto* c_schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(args[1], "arrow_schema"));
  if (c_schema == nullptr) return nullptr;
  auto* c_array = static_cast<ArrowArray*>(PyCapsule_GetPointer(args[2], "arrow_array"));
  if (c_array == nullptr) return nullptr;
  Plan* plan = nullptr;
  std::optional<MaskPipeline> pipeline = take_pipeline(args[0], plan);
  if (!pipeline) return nullptr;
  // One batch is a reader of one batch; the import takes both structs over
  // and releases them on failure, before the error is set.
  auto batch = arrow_c::import_record_batch(c_schema, c_array);
  if (!batch.ok()) {
    raise_arrow_error(batch.error());
    return nullptr;
  }
  arrow_c::SchemaRef schema = batch.value().schema;
  std::vector<arrow_c::RecordBatch> batches;
  batches.push_back(std::move(batch).value());
  return open_masking(arrow_c::batches_reader(std::move(schema), std::move(batches)), std::move(*pipeline),
                      *plan, *start);
}

// open_reader(plan, pyarrow.RecordBatchReader, start) -> stream capsule
PyObject* open_reader_call(PyObject* const* args, Py_ssize_t nargs) {
  if (!check_arg_count("open_reader", nargs, 3)) return nullptr;
  const std::optional<std::int64_t> start = read_start(args[2]);
  if (!start) return nullptr;
  Plan* plan = nullptr;
  std::optional<MaskPipeline> pipeline = take_pipeline(args[0], plan);
  if (!pipeline) return nullptr;
  std::unique_ptr<PyarrowSource> source = PyarrowSource::open(args[1]);
  if (!source) return nullptr;
  return open_masking(std::move(source), std::move(*pipeline), *plan, *start);
}

}  // namespace quillon::py_module
