#include "arrow_c/reader.h"

#include <cerrno>
#include <deque>

namespace quillon::arrow_c {
namespace {

class BatchesReader final : public BatchReader {
 public:
  BatchesReader(SchemaRef schema, std::vector<RecordBatch> batches)
      : schema_(std::move(schema)), batches_(std::make_move_iterator(batches.begin()),
                                             std::make_move_iterator(batches.end())) {}

  const SchemaRef& schema() const override { return schema_; }

  Next next() override {
    if (batches_.empty()) return std::optional<RecordBatch>();
    std::optional<RecordBatch> batch(std::move(batches_.front()));
    batches_.pop_front();
    return batch;
  }

 private:
  SchemaRef schema_;
  std::deque<RecordBatch> batches_;
};

// Arrow's status names, which lead a message before any text of its own.
constexpr std::string_view kStatusNames[] = {
    "Invalid",        "IOError",       "Type error",     "Key error",
    "Index error",    "Out of memory", "Capacity error", "Cancelled",
    "Unknown error",  "NotImplemented", "Serialization error", "Execution error",
    "AlreadyExists"};

}  // namespace

std::unique_ptr<BatchReader> batches_reader(SchemaRef schema, std::vector<RecordBatch> batches) {
  return std::make_unique<BatchesReader>(std::move(schema), std::move(batches));
}

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

}  // namespace quillon::arrow_c
