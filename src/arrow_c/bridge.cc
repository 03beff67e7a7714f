#include "arrow_c/bridge.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <string_view>

#include "arrow_c/owner.h"

namespace quillon::arrow_c {
namespace {

constexpr int kMaxDepth = 64;
constexpr std::int64_t kMaxEnd = std::int64_t{1} << 59;

// The producer's struct array, released when the last node that points into
// it is gone.
struct ImportedRoot {
  ArrayOwner array;
};

// A decimal count without sign; -1 when not one or too large.
std::int64_t parse_count(std::string_view text) {
  if (text.empty() || text.size() > 18) return -1;
  std::int64_t value = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9') return -1;
    value = value * 10 + (ch - '0');
  }
  return value;
}

std::string describe(const std::string& path, const std::string& what) {
  return path.empty() ? what : path + ": " + what;
}

ArrowResult<ArrayRef> import_node(const ArrowArray& c, const SchemaRef& type,
                             const std::shared_ptr<const void>& root, const std::string& path,
                             int depth) {
  auto fail = [&](const std::string& what) { return ArrowError::Invalid(describe(path, what)); };
  if (c.release == nullptr) return fail("array is released");
  if (depth > kMaxDepth) return fail("array nests deeper than 64 levels");
  if (c.length < 0) return fail("expected a length of at least 0, found " + std::to_string(c.length));
  if (c.offset < 0) return fail("expected an offset of at least 0, found " + std::to_string(c.offset));
  // Rows are addressed as offset + i, in units of up to 16 bytes (a view) or
  // bits, so the end must stay well inside 64 bits on every node.
  std::int64_t end = 0;
  if (__builtin_add_overflow(c.offset, c.length, &end) || end > kMaxEnd) {
    return fail("offset and length overflow: expected offset + length of at most 2^59, found offset " +
                std::to_string(c.offset) + " and length " + std::to_string(c.length));
  }
  if (c.null_count < -1 || c.null_count > c.length) {
    return fail("expected a null_count from -1 to " + std::to_string(c.length) + ", found " +
                std::to_string(c.null_count));
  }
  auto layout_result = layout_of(*type);
  if (!layout_result.ok()) return fail(layout_result.error().message());
  const Layout layout = layout_result.value();
  if (c.n_buffers < layout.min_buffers || c.n_buffers > layout.max_buffers) {
    const std::string expected =
        layout.min_buffers == layout.max_buffers
            ? std::to_string(layout.min_buffers)
            : "at least " + std::to_string(layout.min_buffers);
    return fail("expected " + expected + " buffers for format '" + type->format + "', found " +
                std::to_string(c.n_buffers));
  }
  if (c.n_buffers > 0 && c.buffers == nullptr) return fail("expected a buffer list, found none");
  if (c.n_children != static_cast<std::int64_t>(type->children.size())) {
    return fail("expected " + std::to_string(type->children.size()) +
                " children as the schema says, found " + std::to_string(c.n_children));
  }
  if (c.n_children > 0 && c.children == nullptr) return fail("expected a child list, found none");
  if ((c.dictionary != nullptr) != (type->dictionary != nullptr)) {
    return fail(type->dictionary ? "expected a dictionary, found none"
                                 : "found a dictionary the schema does not declare");
  }
  if (layout.validity && c.null_count > 0 && c.buffers[0] == nullptr) {
    return fail("expected a validity buffer for " + std::to_string(c.null_count) +
                " nulls, found none");
  }

  auto node = std::make_shared<Array>();
  node->type = type;
  node->length = c.length;
  node->offset = c.offset;
  node->null_count = c.null_count;
  node->keep_alive = root;
  node->buffers.assign(c.buffers, c.buffers + c.n_buffers);
  // Children that must hold at least as many rows as the parent reaches.
  std::int64_t needed = -1;
  const std::string& f = type->format;
  const bool per_row = f == "+s" || f.compare(0, 4, "+us:") == 0;
  const bool fixed_list = f.compare(0, 3, "+w:") == 0;
  if (per_row || fixed_list) {
    std::int64_t width = 1;
    if (fixed_list) {
      width = parse_count(std::string_view(f).substr(3));
      if (width < 0) return fail("expected a list size in format '" + f + "'");
    }
    if (__builtin_add_overflow(c.offset, c.length, &needed) ||
        __builtin_mul_overflow(needed, width, &needed)) {
      return fail("offset and length overflow");
    }
  }
  node->children.reserve(type->children.size());
  for (std::int64_t i = 0; i < c.n_children; ++i) {
    const Schema& child_type = *type->children[static_cast<std::size_t>(i)];
    // The root's children are the batch's columns.
    const std::string child_path =
        describe(path, (depth == 0 ? "column " : "child ") + std::to_string(i) + " ('" +
                           child_type.name + "')");
    if (c.children[i] == nullptr) return ArrowError::Invalid(child_path + ": child is null");
    QM_ASSIGN_OR_RETURN(ArrayRef child, import_node(*c.children[i], type->children[static_cast<std::size_t>(i)],
                                                    root, child_path, depth + 1));
    if (needed >= 0 && child->length < needed) {
      return ArrowError::Invalid(child_path + ": expected at least " + std::to_string(needed) +
                             " rows, found " + std::to_string(child->length));
    }
    node->children.push_back(std::move(child));
  }
  if (c.dictionary != nullptr) {
    QM_ASSIGN_OR_RETURN(node->dictionary, import_node(*c.dictionary, type->dictionary, root,
                                                      describe(path, "dictionary"), depth + 1));
  }
  return ArrayRef(std::move(node));
}

// Export of one node; its private data owns its children's structs.
struct ExportedArray {
  ArrayRef array;  // keeps the buffers (and an imported root) alive
  std::vector<const void*> buffers;
  std::vector<ArrowArray> children;
  std::vector<ArrowArray*> child_pointers;
  std::unique_ptr<ArrowArray> dictionary;
  std::vector<std::unique_ptr<ExportedArray>> child_private;
  std::unique_ptr<ExportedArray> dictionary_private;
  std::int64_t null_count = 0;
};

void release_exported(ArrowArray* array) {
  if (array == nullptr || array->release == nullptr) return;
  auto* priv = static_cast<ExportedArray*>(array->private_data);
  for (auto& child : priv->children) {
    if (child.release != nullptr) child.release(&child);
  }
  if (priv->dictionary && priv->dictionary->release != nullptr) {
    priv->dictionary->release(priv->dictionary.get());
  }
  delete priv;
  array->release = nullptr;
}

std::unique_ptr<ExportedArray> prepare(const ArrayRef& array) {
  auto priv = std::make_unique<ExportedArray>();
  priv->array = array;
  priv->buffers = array->buffers;
  priv->null_count = exact_null_count(*array);
  priv->children.resize(array->children.size());
  priv->child_pointers.resize(array->children.size());
  for (const auto& child : array->children) priv->child_private.push_back(prepare(child));
  if (array->dictionary) {
    priv->dictionary = std::make_unique<ArrowArray>();
    priv->dictionary_private = prepare(array->dictionary);
  }
  return priv;
}

void link(std::unique_ptr<ExportedArray> priv, ArrowArray* out) noexcept {
  const Array& array = *priv->array;
  out->length = array.length;
  out->null_count = priv->null_count;
  out->offset = array.offset;
  out->n_buffers = static_cast<std::int64_t>(priv->buffers.size());
  out->buffers = priv->buffers.empty() ? nullptr : priv->buffers.data();
  out->n_children = static_cast<std::int64_t>(priv->children.size());
  for (std::size_t i = 0; i < priv->children.size(); ++i) {
    priv->child_pointers[i] = &priv->children[i];
    link(std::move(priv->child_private[i]), &priv->children[i]);
  }
  out->children = priv->child_pointers.empty() ? nullptr : priv->child_pointers.data();
  if (priv->dictionary) link(std::move(priv->dictionary_private), priv->dictionary.get());
  out->dictionary = priv->dictionary.get();
  out->release = release_exported;
  out->private_data = priv.release();
}

// The batch as a struct array without a validity bitmap.
ArrayRef as_struct(const RecordBatch& batch) {
  auto node = std::make_shared<Array>();
  node->type = batch.schema;
  node->length = batch.num_rows;
  node->null_count = 0;
  node->buffers = {nullptr};
  node->children = batch.columns;
  return node;
}

// The source's own text for a failed call, as much of it as may be relayed.
std::string source_error(ArrowArrayStream* source, int code) {
  const char* text = source->get_last_error != nullptr ? source->get_last_error(source) : nullptr;
  if (text != nullptr) return producer_text(text);
  return "the source stream failed with error " + std::to_string(code) + " and no message";
}

class ImportedStream final : public BatchReader {
 public:
  ImportedStream(StreamOwner stream, SchemaRef schema)
      : stream_(std::move(stream)), schema_(std::move(schema)) {}

  const SchemaRef& schema() const override { return schema_; }

  Next next() override {
    ArrowArray c_array;
    std::memset(&c_array, 0, sizeof(c_array));
    const int rc = stream_->get_next(stream_.get(), &c_array);
    // On failure, whatever the source left in c_array is not ours to release.
    if (rc != 0) return ArrowError::Stream(rc, source_error(stream_.get(), rc));
    if (c_array.release == nullptr) return std::optional<RecordBatch>();
    auto imported = import_record_batch(schema_, &c_array);
    if (!imported.ok()) return std::move(imported).error();
    return std::optional<RecordBatch>(std::move(imported).value());
  }

 private:
  StreamOwner stream_;
  SchemaRef schema_;
};

// An exported reader: one caller at a time, and the first failure sticks.
struct ExportedStream {
  std::unique_ptr<BatchReader> reader;
  StreamWait wait;
  std::mutex mutex;
  std::string last_error;
  int error_code = 0;  // once set, every later get_next returns it

  // The stream's lock; a caller that finds it taken waits through `wait`.
  std::unique_lock<std::mutex> lock() {
    std::unique_lock<std::mutex> held(mutex, std::try_to_lock);
    if (held.owns_lock()) return held;
    if (wait) {
      wait([&held] { held.lock(); });
    } else {
      held.lock();
    }
    return held;
  }

  int fail(int code, std::string message) {
    last_error = std::move(message);
    error_code = code;
    return code;
  }
};

ExportedStream& exported_of(ArrowArrayStream* stream) {
  return *static_cast<ExportedStream*>(stream->private_data);
}

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  ExportedStream& state = exported_of(stream);
  const auto held = state.lock();
  ArrowResult<Done> exported = export_schema(state.reader->schema(), out);
  if (!exported.ok()) {
    state.last_error = exported.error().to_string();
    return ENOMEM;
  }
  return 0;
}

int next_locked(ExportedStream& state, ArrowArray* out) {
  if (state.error_code != 0) return state.error_code;
  try {
    BatchReader::Next next = state.reader->next();
    if (!next.ok()) return state.fail(next.error().errno_value(), next.error().to_string());
    if (!next.value()) {
      out->release = nullptr;  // end of stream
      return 0;
    }
    ArrowResult<Done> exported = export_record_batch(*next.value(), out);
    if (!exported.ok()) return state.fail(exported.error().errno_value(), exported.error().to_string());
    return 0;
  } catch (const std::bad_alloc&) {
    return state.fail(ENOMEM, "Out of memory: cannot read the next batch");
  } catch (const std::exception& e) {
    return state.fail(EIO, std::string("internal error: ") + e.what());
  }
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
  ExportedStream& state = exported_of(stream);
  const auto held = state.lock();
  return next_locked(state, out);
}

// The text stays put once set: an error ends the stream, so nothing writes
// it again and the pointer stays valid until release.
const char* stream_last_error(ArrowArrayStream* stream) {
  ExportedStream& state = exported_of(stream);
  const auto held = state.lock();
  return state.last_error.empty() ? nullptr : state.last_error.c_str();
}

void stream_release(ArrowArrayStream* stream) {
  if (stream == nullptr || stream->release == nullptr) return;
  delete static_cast<ExportedStream*>(stream->private_data);
  stream->private_data = nullptr;
  stream->release = nullptr;
}

}  // namespace

ArrowResult<RecordBatch> import_record_batch(ArrowSchema* c_schema, ArrowArray* c_array) {
  SchemaOwner schema_owner = SchemaOwner::take(c_schema);
  ArrayOwner array_owner = ArrayOwner::take(c_array);
  if (schema_owner.released()) return ArrowError::Invalid("schema is released");
  if (array_owner.released()) return ArrowError::Invalid("array is released");
  QM_ASSIGN_OR_RETURN(const SchemaRef schema, copy_schema(*schema_owner.get()));
  return import_record_batch(schema, array_owner.get());
}

ArrowResult<RecordBatch> import_record_batch(const SchemaRef& type, ArrowArray* c_array) {
  auto root = std::make_shared<ImportedRoot>();
  root->array = ArrayOwner::take(c_array);
  if (root->array.released()) return ArrowError::Invalid("array is released");
  if (type->format != "+s") {
    return ArrowError::Invalid("expected a struct array (format '+s'), found format '" + type->format + "'");
  }
  if (type->dictionary) return ArrowError::Invalid("expected a struct array, found a dictionary");
  const ArrowArray& c = *root->array.get();
  if (c.null_count > 0) {
    return ArrowError::Invalid("expected a struct array without nulls, found " +
                           std::to_string(c.null_count));
  }
  QM_ASSIGN_OR_RETURN(const ArrayRef imported, import_node(c, type, root, "", 0));
  const Array& parent = *imported;

  RecordBatch batch;
  batch.schema = type;
  batch.num_rows = parent.length;
  batch.columns.reserve(parent.children.size());
  for (const auto& child : parent.children) {
    batch.columns.push_back(slice(child, parent.offset, parent.length));
  }
  return batch;
}

ArrowResult<Done> export_record_batch(const RecordBatch& batch, ArrowArray* out) {
  std::unique_ptr<ExportedArray> priv;
  try {
    priv = prepare(as_struct(batch));
  } catch (const std::bad_alloc&) {
    return ArrowError::OutOfMemory("cannot export the record batch");
  }
  link(std::move(priv), out);
  return Done{};
}

ArrowResult<std::unique_ptr<BatchReader>> import_stream(ArrowArrayStream* c_stream) {
  StreamOwner stream = StreamOwner::take(c_stream);
  if (stream.released()) return ArrowError::Invalid("the source stream is released");
  SchemaOwner c_schema;
  const int rc = stream->get_schema(stream.get(), c_schema.get());
  if (rc != 0) return ArrowError::Invalid(source_error(stream.get(), rc));
  if (c_schema.released()) return ArrowError::Invalid("the source stream gave a released schema");
  QM_ASSIGN_OR_RETURN(SchemaRef schema, copy_schema(*c_schema.get()));
  c_schema.reset();
  try {
    return std::unique_ptr<BatchReader>(new ImportedStream(std::move(stream), std::move(schema)));
  } catch (const std::bad_alloc&) {
    return ArrowError::OutOfMemory("cannot import the stream");
  }
}

ArrowResult<Done> export_stream(std::unique_ptr<BatchReader> reader, ArrowArrayStream* out, StreamWait wait) {
  auto state = std::unique_ptr<ExportedStream>(new (std::nothrow) ExportedStream());
  if (!state) return ArrowError::OutOfMemory("cannot export the stream");
  state->reader = std::move(reader);
  state->wait = std::move(wait);
  out->get_schema = stream_get_schema;
  out->get_next = stream_get_next;
  out->get_last_error = stream_last_error;
  out->release = stream_release;
  out->private_data = state.release();
  return Done{};
}

}  // namespace quillon::arrow_c
