// BatchReader: a stream of record batches on the native side, the one
// stream type of this layer (Arrow's RecordBatchReader, nanoarrow's
// ArrayStream). The schema is read once, when the reader is made, and every
// batch carries it; next() hands out the batches in order, then nullopt.
//
// The C stream interface is crossed in two places only (bridge.h):
// import_stream() makes a reader of a producer's ArrowArrayStream and
// export_stream() makes an ArrowArrayStream of a reader. Everything else
// (the masking stream, the pyarrow batch source, a table's batches) is a
// reader over readers and never touches C callbacks.
//
// A reader is called by one thread at a time; export_stream serialises the
// C callbacks for it. A failure is an ArrowError; crossing a C stream it
// becomes the errno value of get_next and the text of get_last_error.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "arrow_c/array.h"
#include "arrow_c/error.h"

namespace quillon::arrow_c {

class BatchReader {
 public:
  using Next = ArrowResult<std::optional<RecordBatch>>;

  virtual ~BatchReader() = default;
  // The schema of every batch, fixed when the reader was made.
  virtual const SchemaRef& schema() const = 0;
  // The next batch under schema(); nullopt at the end.
  virtual Next next() = 0;
};

// A reader of `batches` in order, each under `schema`: a table already in
// memory, or a single batch, handed on without crossing the C interface.
std::unique_ptr<BatchReader> batches_reader(SchemaRef schema, std::vector<RecordBatch> batches);

// What may be relayed of a producer's message. It may quote the data (a
// CSV reader quotes the row it could not parse), so only the text up to the
// first ": " after any leading Arrow status names ("Invalid: ", "IOError: ",
// ...) is kept, followed by " [rest withheld: it may quote input values]"
// when anything was cut. A message without ": " is kept whole.
std::string producer_text(std::string_view text);

}  // namespace quillon::arrow_c
