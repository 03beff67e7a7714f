// Schema: an owned, immutable copy of one ArrowSchema node and its children,
// so a record batch keeps its names, types, nullability and metadata after
// the producer's struct is released.
//
// Type names follow the engine's error texts: the flat names (Int64,
// Float64, Boolean, Utf8, LargeUtf8, Utf8View, ...) and parameterised forms
// such as Timestamp(Millisecond, None), Decimal128(10, 2),
// Dictionary(Int32, Utf8), List(Int64).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "arrow_c/abi.h"
#include "arrow_c/error.h"

namespace quillon::arrow_c {

struct Schema {
  std::string format;
  std::string name;
  std::optional<std::string> metadata;  // the interface's encoded bytes, verbatim
  std::int64_t flags = 0;
  std::vector<std::shared_ptr<const Schema>> children;
  std::shared_ptr<const Schema> dictionary;  // value type of a dictionary-encoded node

  bool nullable() const { return (flags & ARROW_FLAG_NULLABLE) != 0; }
};
using SchemaRef = std::shared_ptr<const Schema>;

// What a format says about an array node: its buffer count (buffer 0 a
// validity bitmap or not) and how many children it has.
struct Layout {
  int min_buffers = 0;
  int max_buffers = 0;    // binary and string views carry any number of data buffers
  bool validity = false;  // buffer 0 is a validity bitmap
  int children = 0;       // -1: as many as the schema lists (struct, union)
};
ArrowResult<Layout> layout_of(const Schema& type);

// Deep copy of a producer's schema; the source is only read. Refuses a
// released struct, a missing format, a format this layer does not know and
// nesting deeper than 64 levels.
ArrowResult<SchemaRef> copy_schema(const ArrowSchema& source);

// Fills `out` with a tree of fresh nodes, each with its own release callback
// and private data, so a consumer may move any child out.
ArrowResult<Done> export_schema(const SchemaRef& schema, ArrowSchema* out);

// The type of every column this module builds: Utf8, nullable.
const SchemaRef& utf8_type();

// Equal data types: formats, dictionaries and their ordering, and children's
// names, nullability and types. Node names and metadata do not count.
bool same_type(const Schema& a, const Schema& b);
// Equal in every member, names and metadata included, at every level.
bool same_schema(const Schema& a, const Schema& b);

std::string type_name(const Schema& type);

}  // namespace quillon::arrow_c
