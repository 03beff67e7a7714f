#include "mask_engine/stream.h"

#include "keyed_hash/hmac.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "arrow_c/bridge.h"
#include "arrow_c/owner.h"
#include "arrow_c/schema.h"

namespace mask_engine {
namespace {

using arrow_c::RecordBatch;
using arrow_c::SchemaRef;
using arrow_c::Status;

using Pulled = qm::Result<std::optional<RecordBatch>, SourceFailure>;

SourceFailure failure_of(const Status& status) {
  return {status.code() == Status::Code::OutOfMemory ? ENOMEM : EINVAL, status.ToString()};
}

// The source's own text for a failed call, as much of it as may be relayed.
std::string source_error(ArrowArrayStream* source, int code) {
  const char* text = source->get_last_error != nullptr ? source->get_last_error(source) : nullptr;
  if (text != nullptr) return producer_text(text);
  return "the source stream failed with error " + std::to_string(code) + " and no message";
}

class CStreamSource final : public BatchSource {
 public:
  explicit CStreamSource(arrow_c::StreamOwner stream) : stream_(std::move(stream)) {}

  arrow_c::Result<SchemaRef> schema() override {
    if (stream_.released()) return Status::Invalid("the source stream is released");
    arrow_c::SchemaOwner c_schema;
    const int rc = stream_->get_schema(stream_.get(), c_schema.get());
    if (rc != 0) return Status::Invalid(source_error(stream_.get(), rc));
    if (c_schema.released()) return Status::Invalid("the source stream gave a released schema");
    return arrow_c::copy_schema(*c_schema.get());
  }

  Pulled next(const SchemaRef& schema) override {
    ArrowArray c_array;
    std::memset(&c_array, 0, sizeof(c_array));
    const int rc = stream_->get_next(stream_.get(), &c_array);
    // On failure, whatever the source left in c_array is not ours to release.
    if (rc != 0) return SourceFailure{rc, source_error(stream_.get(), rc)};
    if (c_array.release == nullptr) return std::optional<RecordBatch>();
    auto imported = arrow_c::import_record_batch(schema, &c_array);
    if (!imported.ok()) return failure_of(imported.error());
    return std::optional<RecordBatch>(std::move(imported).value());
  }

 private:
  arrow_c::StreamOwner stream_;
};

// A slice of a source batch still to be masked, with its first row's position.
struct Pending {
  RecordBatch batch;
  std::int64_t first_position;
};

struct MaskStream {
  std::unique_ptr<BatchSource> source;
  MaskPipeline pipeline;
  std::optional<std::string> key;
  std::function<void(const std::function<void()>&)> wait;
  SchemaRef input_schema;
  SchemaRef output_schema;
  // One caller at a time: the source, the pending slices and the positions
  // move together.
  std::mutex mutex;
  // Position of the next source row. Kept unsigned: after the row at
  // 2^63 - 1 it is 2^63, which only a batch of zero rows may follow.
  std::uint64_t next_position = 0;
  std::deque<Pending> pending;
  std::string last_error;
  int error_code = 0;  // once set, every later get_next returns it
  bool ended = false;

  MaskStream(std::unique_ptr<BatchSource> s, MaskPipeline p, std::optional<std::string> k)
      : source(std::move(s)), pipeline(std::move(p)), key(std::move(k)) {}
  ~MaskStream() { quillon_hash::wipe(key); }

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
};

int fail(MaskStream& state, int code, std::string message) {
  state.last_error = std::move(message);
  state.error_code = code;
  state.pending.clear();
  return code;
}

int fail(MaskStream& state, const SourceFailure& failure) {
  return fail(state, failure.code, failure.message);
}

// Pulls one source batch into `pending`; false at the end of the source or
// on an error (then state.error_code is set).
bool pull(MaskStream& state) {
  Pulled pulled = state.source->next(state.input_schema);
  if (!pulled.ok()) {
    fail(state, pulled.error());
    return false;
  }
  if (!pulled.value()) {
    state.ended = true;
    return false;
  }
  RecordBatch batch = std::move(*pulled.value());
  const std::uint64_t rows = static_cast<std::uint64_t>(batch.num_rows);
  const std::uint64_t limit = std::uint64_t{1} << 63;  // one past the largest position
  if (rows > limit - state.next_position) {
    fail(state, EINVAL,
         "Invalid: expected row positions below 2^63, found a batch of " + std::to_string(rows) +
             " rows from position " + std::to_string(state.next_position));
    return false;
  }
  const auto first = static_cast<std::int64_t>(state.next_position);
  state.next_position += rows;
  const std::int64_t step = state.pipeline.rows_per_slice(batch, arrow_c::kMaxUtf8Bytes);
  if (batch.num_rows == 0 || step >= batch.num_rows) {
    state.pending.push_back({std::move(batch), first});
    return true;
  }
  for (std::int64_t at = 0; at < batch.num_rows; at += step) {
    const std::int64_t length = std::min(step, batch.num_rows - at);
    state.pending.push_back({arrow_c::slice(batch, at, length), first + at});
  }
  return true;
}

MaskStream& state_of(ArrowArrayStream* stream) { return *static_cast<MaskStream*>(stream->private_data); }

int get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  MaskStream& state = state_of(stream);
  const auto held = state.lock();
  Status st = arrow_c::export_schema(state.output_schema, out);
  if (!st.ok()) {
    state.last_error = st.ToString();
    return ENOMEM;
  }
  return 0;
}

int next_locked(MaskStream& state, ArrowArray* out) {
  if (state.error_code != 0) return state.error_code;
  try {
    if (state.pending.empty()) {
      if (state.ended || !pull(state)) {
        if (state.error_code != 0) return state.error_code;
        out->release = nullptr;  // end of stream
        return 0;
      }
    }
    Pending next = std::move(state.pending.front());
    state.pending.pop_front();
    Key key;
    if (state.key) key = std::string_view(*state.key);
    auto masked = state.pipeline.process_batch(next.batch, key, next.first_position, state.output_schema);
    if (!masked.ok()) return fail(state, EINVAL, masked.error().to_string());
    Status st = arrow_c::export_record_batch(masked.value(), out);
    if (!st.ok()) return fail(state, failure_of(st));
    return 0;
  } catch (const std::bad_alloc&) {
    return fail(state, ENOMEM, "Out of memory: cannot mask the batch");
  } catch (const std::exception& e) {
    return fail(state, EIO, std::string("internal error: ") + e.what());
  }
}

int get_next(ArrowArrayStream* stream, ArrowArray* out) {
  MaskStream& state = state_of(stream);
  const auto held = state.lock();
  return next_locked(state, out);
}

// The text stays put once set: an error ends the stream, so nothing writes
// it again and the pointer stays valid until release.
const char* get_last_error(ArrowArrayStream* stream) {
  MaskStream& state = state_of(stream);
  const auto held = state.lock();
  return state.last_error.empty() ? nullptr : state.last_error.c_str();
}

void release(ArrowArrayStream* stream) {
  if (stream == nullptr || stream->release == nullptr) return;
  delete static_cast<MaskStream*>(stream->private_data);
  stream->private_data = nullptr;
  stream->release = nullptr;
}

// The fail-closed checks on the source's schema, in this order: configured
// columns missing (the first in name order is reported), then columns of a
// type that cannot be masked (schema order), then Hash without a key.
Status check_schema(const arrow_c::Schema& schema, const MaskPipeline& pipeline, bool has_key) {
  if (schema.format != "+s") {
    return Status::Invalid("expected a stream of struct arrays (format '+s'), found format '" +
                           schema.format + "'");
  }
  std::vector<std::string> missing;
  bool any_hash = false;
  for (const auto& entry : pipeline.column_transforms()) {
    // Not a structured binding: clang before 16 cannot capture one in a lambda.
    const std::string& name = entry.first;
    any_hash = any_hash || entry.second == Transform::Hash;
    const bool present = std::any_of(schema.children.begin(), schema.children.end(),
                                     [&](const SchemaRef& field) { return field->name == name; });
    if (!present) missing.push_back(name);
  }
  if (!missing.empty()) {
    std::sort(missing.begin(), missing.end());
    std::string columns;
    for (const auto& field : schema.children) columns += (columns.empty() ? "" : ", ") + field->name;
    return Status::Invalid("column '" + missing.front() + "' is not in the data; its columns are: " +
                           columns);
  }
  for (const auto& field : schema.children) {
    if (pipeline.column_transforms().count(field->name) != 0 && !maskable(*field)) {
      return Status::Invalid("column '" + field->name + "' has type " + arrow_c::type_name(*field) +
                             ", which cannot be masked");
    }
  }
  if (any_hash && !has_key) return Status::Invalid("HMAC key required for Hash transform");
  return Status::OK();
}

// Arrow's status names, which lead a message before any text of its own.
constexpr std::string_view kStatusNames[] = {
    "Invalid",        "IOError",       "Type error",     "Key error",
    "Index error",    "Out of memory", "Capacity error", "Cancelled",
    "Unknown error",  "NotImplemented", "Serialization error", "Execution error",
    "AlreadyExists"};

}  // namespace

std::string producer_text(std::string_view text) {
  std::size_t from = 0;
  for (bool named = true; named;) {
    named = false;
    for (std::string_view name : kStatusNames) {
      const std::string_view rest = text.substr(from);
      if (rest.starts_with(name) && rest.substr(name.size()).starts_with(": ")) {
        from += name.size() + 2;
        named = true;
        break;
      }
    }
  }
  const std::size_t cut = text.find(": ", from);
  if (cut == std::string_view::npos) return std::string(text);
  return std::string(text.substr(0, cut)) + " [rest withheld: it may quote input values]";
}

std::unique_ptr<BatchSource> c_stream_source(ArrowArrayStream* stream) {
  return std::make_unique<CStreamSource>(arrow_c::StreamOwner::take(stream));
}

Status open_mask_stream(ArrowArrayStream* source, MaskPipeline pipeline, StreamSettings settings,
                        ArrowArrayStream* out) {
  std::unique_ptr<BatchSource> taken;
  try {
    taken = c_stream_source(source);
  } catch (const std::bad_alloc&) {
    arrow_c::StreamOwner::take(source).reset();
    quillon_hash::wipe(settings.key);
    return Status::OutOfMemory("cannot open the masking stream");
  }
  return open_mask_stream(std::move(taken), std::move(pipeline), std::move(settings), out);
}

Status open_mask_stream(std::unique_ptr<BatchSource> source, MaskPipeline pipeline,
                        StreamSettings settings, ArrowArrayStream* out) {
  // The settings' key is wiped on every path; the stream keeps a copy of
  // its own (a moved string would leave its bytes behind).
  struct Wipe {
    std::optional<std::string>& key;
    ~Wipe() { quillon_hash::wipe(key); }
  } wipe{settings.key};
  if (settings.start < 0) {
    return Status::Invalid("expected a start position from 0 to 2^63-1, found " + std::to_string(settings.start));
  }
  auto copied = source->schema();
  if (!copied.ok()) return std::move(copied).error();
  const SchemaRef input_schema = std::move(copied).value();
  Status checked = check_schema(*input_schema, pipeline, settings.key.has_value());
  if (!checked.ok()) return checked;

  try {
    auto state = std::make_unique<MaskStream>(std::move(source), std::move(pipeline).with_layouts(Layouts::AnyStrict),
                                              settings.key);
    state->wait = std::move(settings.wait);
    state->input_schema = input_schema;
    state->output_schema = state->pipeline.output_schema(input_schema);
    state->next_position = static_cast<std::uint64_t>(settings.start);
    out->get_schema = get_schema;
    out->get_next = get_next;
    out->get_last_error = get_last_error;
    out->release = release;
    out->private_data = state.release();
  } catch (const std::bad_alloc&) {
    return Status::OutOfMemory("cannot open the masking stream");
  }
  return Status::OK();
}

}  // namespace mask_engine
