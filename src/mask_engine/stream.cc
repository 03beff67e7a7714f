#include "mask_engine/stream.h"

#include "keyed_hash/hmac.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "arrow_c/bridge.h"
#include "arrow_c/schema.h"

namespace quillon::mask_engine {
namespace {

using arrow_c::RecordBatch;
using arrow_c::SchemaRef;
using arrow_c::ArrowError;
using arrow_c::ArrowResult;
using arrow_c::BatchReader;

constexpr std::int64_t kLastPosition = std::numeric_limits<std::int64_t>::max();

// A slice of a source batch still to be masked, with its first row's position.
struct Pending {
  RecordBatch batch;
  std::int64_t first_position;
};

class MaskReader final : public BatchReader {
 public:
  MaskReader(std::unique_ptr<BatchReader> source, MaskPipeline pipeline,
             const std::optional<std::string>& key, std::int64_t start, Policy policy)
      : policy_(policy),
        source_(std::move(source)),
        pipeline_(std::move(pipeline).with_keys(key ? Key(*key) : Key())),
        key_(key),
        rules_(policy == Policy::NullFallback ? mask_call_rules(*source_->schema(), pipeline_, key.has_value())
                                              : ColumnRules{}),
        output_schema_(policy == Policy::NullFallback ? source_->schema()
                                                      : pipeline_.output_schema(source_->schema())),
        last_position_(start - 1) {}
  ~MaskReader() override { keyed_hash::wipe(key_); }

  const SchemaRef& schema() const override { return output_schema_; }

  Next next() override {
    while (pending_.empty()) {
      if (ended_) {
        if (policy_ == Policy::NullFallback && !any_rows_) return ArrowError::Stream(EINVAL, MaskError::EmptyBatch().to_string());
        return std::optional<RecordBatch>();
      }
      if (std::optional<ArrowError> failed = pull()) return std::move(*failed);
    }
    Pending next = std::move(pending_.front());
    pending_.pop_front();
    Key key;
    if (key_) key = std::string_view(*key_);
    auto masked = pipeline_.process_batch(next.batch, key, next.first_position, output_schema_, rules_);
    if (!masked.ok()) return ArrowError::Stream(EINVAL, masked.error().to_string());
    return std::optional<RecordBatch>(std::move(masked).value());
  }

 private:
  // Pulls one source batch into pending_, cut into slices whose Utf8 output
  // fits 32-bit offsets; sets ended_ at the end of the source.
  std::optional<ArrowError> pull() {
    QM_ASSIGN_OR_RETURN(std::optional<RecordBatch> pulled, source_->next());
    if (!pulled) {
      ended_ = true;
      return std::nullopt;
    }
    RecordBatch batch = std::move(*pulled);
    const std::int64_t rows = batch.num_rows;
    any_rows_ = any_rows_ || rows > 0;
    // Under NullFallback an empty batch adds nothing to the output.
    if (rows == 0 && policy_ == Policy::NullFallback) return std::nullopt;
    // Rows take the positions last + 1 .. last + rows, up to kLastPosition;
    // written so that nothing passes 2^63 - 1 on the way.
    if (rows > 0 && rows - 1 > kLastPosition - 1 - last_position_) {
      const auto from = static_cast<std::uint64_t>(last_position_) + 1;  // may be 2^63
      return ArrowError::Invalid("expected row positions below 2^63, found a batch of " + std::to_string(rows) +
                                 " rows from position " + std::to_string(from));
    }
    const std::int64_t first = rows == 0 ? 0 : last_position_ + 1;
    last_position_ += rows;
    const std::int64_t step = pipeline_.rows_per_slice(batch, arrow_c::kMaxUtf8Bytes, rules_);
    if (rows == 0 || step >= rows) {
      pending_.push_back({std::move(batch), first});
      return std::nullopt;
    }
    for (std::int64_t at = 0; at < rows; at += step) {
      pending_.push_back({arrow_c::slice(batch, at, std::min(step, rows - at)), first + at});
    }
    return std::nullopt;
  }

  Policy policy_;
  std::unique_ptr<BatchReader> source_;
  MaskPipeline pipeline_;
  std::optional<std::string> key_;
  // How each column is masked under mask()'s policy; empty otherwise.
  ColumnRules rules_;
  SchemaRef output_schema_;
  // Position of the last row pulled; start - 1 before the first.
  std::int64_t last_position_;
  std::deque<Pending> pending_;
  bool ended_ = false;
  bool any_rows_ = false;
};

// The fail-closed checks on the source's schema, in this order: configured
// columns missing (the first in name order is reported), then columns of a
// type that cannot be masked (schema order), then a keyed transform (or a
// reveal) without a key.
ArrowResult<Done> check_schema(const arrow_c::Schema& schema, const MaskPipeline& pipeline, bool has_key,
                               bool reveal) {
  if (schema.format != "+s") {
    return ArrowError::Invalid("expected a stream of struct arrays (format '+s'), found format '" +
                           schema.format + "'");
  }
  std::vector<std::string> missing;
  bool any[kTransformKinds] = {};
  for (const auto& entry : pipeline.column_transforms()) {
    // Not a structured binding: clang before 16 cannot capture one in a lambda.
    const std::string& name = entry.first;
    any[static_cast<int>(entry.second)] = true;
    const bool present = std::any_of(schema.children.begin(), schema.children.end(),
                                     [&](const SchemaRef& field) { return field->name == name; });
    if (!present) missing.push_back(name);
  }
  if (!missing.empty()) {
    std::sort(missing.begin(), missing.end());
    std::string columns;
    for (const auto& field : schema.children) columns += (columns.empty() ? "" : ", ") + field->name;
    return ArrowError::Invalid("column '" + missing.front() + "' is not in the data; its columns are: " +
                           columns);
  }
  for (const auto& field : schema.children) {
    if (pipeline.column_transforms().count(field->name) != 0 && !maskable(*field)) {
      return ArrowError::Invalid("column '" + field->name + "' has type " + arrow_c::type_name(*field) +
                             ", which cannot be masked");
    }
  }
  if (has_key) return Done{};
  if (any[static_cast<int>(Transform::Hash)]) return ArrowError::Invalid("HMAC key required for Hash transform");
  // A reveal needs the key even when no column of the list can be revealed.
  if (reveal) return ArrowError::Invalid("a key is required to reveal");
  const std::pair<Transform, const char*> keyed[] = {
      {Transform::Pseudonym, "pseudonym"}, {Transform::Encrypt, "encrypt"}, {Transform::Fpe, "fpe"}};
  for (const auto& [transform, name] : keyed) {
    if (any[static_cast<int>(transform)]) return ArrowError::Invalid(std::string("a key is required for the ") + name + " transform");
  }
  return Done{};
}

}  // namespace

ColumnRules mask_call_rules(const arrow_c::Schema& schema, const MaskPipeline& pipeline, bool has_key) {
  ColumnRules rules(schema.children.size(), ColumnRule{ColumnRule::Kind::Utf8, {}});
  for (std::size_t i = 0; i < schema.children.size(); ++i) {
    const arrow_c::Schema& field = *schema.children[i];
    auto it = pipeline.column_transforms().find(field.name);
    if (it == pipeline.column_transforms().end()) continue;
    if (field.format != "u" || field.dictionary) {
      rules[i] = {ColumnRule::Kind::NullFallback,
                  MaskError::UnsupportedDataType("unknown", arrow_c::type_name(field)).to_string()};
    } else if (it->second == Transform::Hash && !has_key) {
      rules[i] = {ColumnRule::Kind::NullFallback, MaskError::MissingKey().to_string()};
    }
  }
  return rules;
}

arrow_c::ArrowResult<std::unique_ptr<BatchReader>> mask_reader(std::unique_ptr<BatchReader> source,
                                                         MaskPipeline pipeline, StreamSettings settings) {
  // The settings' key is wiped on every path; the reader keeps a copy of
  // its own (a moved string would leave its bytes behind).
  struct Wipe {
    std::optional<std::string>& key;
    ~Wipe() { keyed_hash::wipe(key); }
  } wipe{settings.key};
  if (settings.start < 0) {
    return ArrowError::Invalid("expected a start position from 0 to 2^63-1, found " + std::to_string(settings.start));
  }
  if (settings.reveal) pipeline = std::move(pipeline).for_reveal();
  if (settings.policy == Policy::FailClosed) {
    QM_RETURN_IF_ERROR(check_schema(*source->schema(), pipeline, settings.key.has_value(), settings.reveal));
  }
  try {
    return std::unique_ptr<BatchReader>(
        new MaskReader(std::move(source), std::move(pipeline), settings.key, settings.start, settings.policy));
  } catch (const std::bad_alloc&) {
    return ArrowError::OutOfMemory("cannot open the masking stream");
  }
}

ArrowResult<Done> open_mask_stream(ArrowArrayStream* source, MaskPipeline pipeline, StreamSettings settings,
                        ArrowArrayStream* out) {
  auto imported = arrow_c::import_stream(source);
  if (!imported.ok()) {
    keyed_hash::wipe(settings.key);
    return std::move(imported).error();
  }
  QM_ASSIGN_OR_RETURN(auto masking,
                      mask_reader(std::move(imported).value(), std::move(pipeline), std::move(settings)));
  return arrow_c::export_stream(std::move(masking), out);
}

}  // namespace quillon::mask_engine
