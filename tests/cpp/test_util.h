// A producer for the tests: builds ArrowSchema/ArrowArray trees over buffers
// it owns, the way pyarrow hands them over, so the engine sees imported data
// and a test can bend any field of a struct before the import.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "arrow_c/abi.h"
#include "arrow_c/array.h"
#include "arrow_c/bridge.h"
#include "arrow_c/strings.h"

namespace quillon::arrow_c::testing {

using Rows = std::vector<std::optional<std::string>>;
using Bytes = std::vector<std::uint8_t>;

struct Node {
  std::string format;
  std::string name;
  std::int64_t flags = ARROW_FLAG_NULLABLE;
  std::optional<std::string> metadata;
  std::int64_t length = 0;
  std::int64_t offset = 0;
  std::int64_t null_count = 0;
  std::vector<std::optional<Bytes>> buffers;  // nullopt: a null pointer
  std::vector<Node> children;
  std::shared_ptr<Node> dictionary;
  int misalign = 0;  // bytes by which every buffer pointer is shifted off alignment
};

// Root trees the producer has released, over the whole test binary.
inline std::atomic<int>& producer_releases() {
  static std::atomic<int> count{0};
  return count;
}

namespace detail {

struct ArrayPrivate {
  std::vector<Bytes> storage;
  std::vector<const void*> pointers;
  std::vector<ArrowArray> children;
  std::vector<ArrowArray*> child_pointers;
  std::unique_ptr<ArrowArray> dictionary;
  bool root = false;
};

struct SchemaPrivate {
  std::string format, name;
  std::optional<std::string> metadata;
  std::vector<ArrowSchema> children;
  std::vector<ArrowSchema*> child_pointers;
  std::unique_ptr<ArrowSchema> dictionary;
};

// Releases a node's children and dictionary, then the node; a root array
// counts once in producer_releases().
template <typename Struct, typename Private>
void release_node(Struct* s) {
  auto* p = static_cast<Private*>(s->private_data);
  for (auto& c : p->children) {
    if (c.release != nullptr) c.release(&c);
  }
  if (p->dictionary && p->dictionary->release != nullptr) p->dictionary->release(p->dictionary.get());
  if constexpr (std::is_same_v<Private, ArrayPrivate>) {
    if (p->root) ++producer_releases();
  }
  delete p;
  s->release = nullptr;
}

inline void fill_array(const Node& n, ArrowArray* out, bool root) {
  auto* p = new ArrayPrivate();
  p->root = root;
  for (const auto& b : n.buffers) {
    if (!b) {
      p->storage.emplace_back();
      continue;
    }
    Bytes s(static_cast<std::size_t>(n.misalign) + b->size() + 8);
    if (!b->empty()) std::memcpy(s.data() + n.misalign, b->data(), b->size());
    p->storage.push_back(std::move(s));
  }
  for (std::size_t i = 0; i < n.buffers.size(); ++i) {
    p->pointers.push_back(n.buffers[i] ? p->storage[i].data() + n.misalign : nullptr);
  }
  p->children.resize(n.children.size());
  for (std::size_t i = 0; i < n.children.size(); ++i) {
    fill_array(n.children[i], &p->children[i], false);
    p->child_pointers.push_back(&p->children[i]);
  }
  if (n.dictionary) {
    p->dictionary = std::make_unique<ArrowArray>();
    fill_array(*n.dictionary, p->dictionary.get(), false);
  }
  out->length = n.length;
  out->null_count = n.null_count;
  out->offset = n.offset;
  out->n_buffers = static_cast<std::int64_t>(p->pointers.size());
  out->buffers = p->pointers.data();
  out->n_children = static_cast<std::int64_t>(p->child_pointers.size());
  out->children = p->child_pointers.data();
  out->dictionary = p->dictionary.get();
  out->release = release_node<ArrowArray, ArrayPrivate>;
  out->private_data = p;
}

inline void fill_schema(const Node& n, ArrowSchema* out) {
  auto* p = new SchemaPrivate();
  p->format = n.format;
  p->name = n.name;
  p->metadata = n.metadata;
  p->children.resize(n.children.size());
  for (std::size_t i = 0; i < n.children.size(); ++i) {
    fill_schema(n.children[i], &p->children[i]);
    p->child_pointers.push_back(&p->children[i]);
  }
  if (n.dictionary) {
    p->dictionary = std::make_unique<ArrowSchema>();
    fill_schema(*n.dictionary, p->dictionary.get());
  }
  out->format = p->format.c_str();
  out->name = p->name.c_str();
  out->metadata = p->metadata ? p->metadata->data() : nullptr;
  out->flags = n.flags;
  out->n_children = static_cast<std::int64_t>(p->child_pointers.size());
  out->children = p->child_pointers.data();
  out->dictionary = p->dictionary.get();
  out->release = release_node<ArrowSchema, SchemaPrivate>;
  out->private_data = p;
}

template <typename T>
Bytes bytes_of(const std::vector<T>& v) {
  Bytes out(v.size() * sizeof(T));
  if (!v.empty()) std::memcpy(out.data(), v.data(), out.size());
  return out;
}

}  // namespace detail

// The producer's two structs for `root`.
struct Produced {
  ArrowSchema schema;
  ArrowArray array;
  explicit Produced(const Node& root) {
    detail::fill_schema(root, &schema);
    detail::fill_array(root, &array, true);
  }
  ~Produced() {
    if (schema.release != nullptr) schema.release(&schema);
    if (array.release != nullptr) array.release(&array);
  }
};

inline Bytes validity_of(const Rows& rows) {
  Bytes bits((rows.size() + 7) / 8 + 1, 0);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows[i]) bits[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
  }
  return bits;
}

inline std::int64_t nulls_in(const Rows& rows) {
  std::int64_t n = 0;
  for (const auto& r : rows) n += r ? 0 : 1;
  return n;
}

// A bitmap only when there are nulls, as producers send it.
inline std::optional<Bytes> validity_if_nulls(const Rows& rows, std::int64_t nulls) {
  return nulls > 0 ? std::optional<Bytes>(validity_of(rows)) : std::nullopt;
}

template <typename Offset>
Node string_node(const char* format, const Rows& rows) {
  Node n;
  n.format = format;
  n.length = static_cast<std::int64_t>(rows.size());
  n.null_count = nulls_in(rows);
  std::vector<Offset> offsets{0};
  std::string data;
  for (const auto& r : rows) {
    if (r) data += *r;
    offsets.push_back(static_cast<Offset>(data.size()));
  }
  n.buffers.emplace_back(validity_if_nulls(rows, n.null_count));
  n.buffers.emplace_back(detail::bytes_of(offsets));
  n.buffers.emplace_back(Bytes(data.begin(), data.end()));
  return n;
}

inline Node utf8(const Rows& rows) { return string_node<std::int32_t>("u", rows); }
inline Node large_utf8(const Rows& rows) { return string_node<std::int64_t>("U", rows); }

template <typename T>
Node fixed_width(const char* format, const std::vector<T>& values) {
  Node n;
  n.format = format;
  n.length = static_cast<std::int64_t>(values.size());
  n.buffers = {std::nullopt, detail::bytes_of(values)};
  return n;
}

inline Node int64s(const std::vector<std::int64_t>& values) { return fixed_width("l", values); }

// A Utf8View column: values of up to 12 bytes inline, longer ones in data
// buffers of at most `per_buffer` values each (so several buffers when
// there are many), with the final buffer of their sizes.
inline Node string_views(const Rows& rows, std::size_t per_buffer = 2) {
  Node n;
  n.format = "vu";
  n.length = static_cast<std::int64_t>(rows.size());
  n.null_count = nulls_in(rows);
  n.buffers.emplace_back(validity_if_nulls(rows, n.null_count));
  Bytes views(16 * rows.size(), 0);
  std::vector<Bytes> data;
  std::size_t in_current = per_buffer;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (!rows[i]) continue;
    const std::string& v = *rows[i];
    const std::int32_t size = static_cast<std::int32_t>(v.size());
    std::uint8_t* view = views.data() + 16 * i;
    std::memcpy(view, &size, 4);
    if (v.size() <= 12) {
      std::memcpy(view + 4, v.data(), v.size());
      continue;
    }
    if (in_current == per_buffer) {
      data.emplace_back();
      in_current = 0;
    }
    ++in_current;
    const std::int32_t index = static_cast<std::int32_t>(data.size() - 1);
    const std::int32_t offset = static_cast<std::int32_t>(data.back().size());
    data.back().insert(data.back().end(), v.begin(), v.end());
    std::memcpy(view + 4, v.data(), 4);
    std::memcpy(view + 8, &index, 4);
    std::memcpy(view + 12, &offset, 4);
  }
  n.buffers.emplace_back(views);
  std::vector<std::int64_t> sizes;
  for (auto& d : data) {
    sizes.push_back(static_cast<std::int64_t>(d.size()));
    n.buffers.emplace_back(std::move(d));
  }
  n.buffers.emplace_back(detail::bytes_of(sizes));
  return n;
}

// A dictionary column with indices of `format` (c C s S i I l L); nullopt
// is a null index.
inline Node dictionary_indexed(const char* format, const std::vector<std::optional<std::int64_t>>& indices,
                               Node values) {
  const std::string f = format;
  const std::size_t width = f == "c" || f == "C" ? 1 : f == "s" || f == "S" ? 2 : f == "i" || f == "I" ? 4 : 8;
  Node n;
  n.format = format;
  n.length = static_cast<std::int64_t>(indices.size());
  Bytes raw(width * indices.size(), 0);
  Rows validity;
  for (std::size_t i = 0; i < indices.size(); ++i) {
    const std::int64_t v = indices[i].value_or(0);
    std::memcpy(raw.data() + width * i, &v, width);  // little endian: the low bytes
    validity.emplace_back(indices[i] ? std::optional<std::string>("") : std::nullopt);
  }
  n.null_count = nulls_in(validity);
  n.buffers = {validity_if_nulls(validity, n.null_count), raw};
  n.dictionary = std::make_shared<Node>(std::move(values));
  return n;
}

// A stream over record batches given as nodes (each a batch_node), that
// can be told to fail at one get_next. Counts its calls and its release.
struct SourceStream {
  Node schema;
  std::vector<Node> batches;
  int fail_at = -1;  // get_next call (0-based) that fails; -1: never
  std::string fail_message = "source broke at batch 3";
  int get_next_calls = 0;
  int releases = 0;

  // Fills `out` with a stream over this object, which must outlive it.
  void export_to(ArrowArrayStream* out) {
    out->get_schema = [](ArrowArrayStream* s, ArrowSchema* o) {
      detail::fill_schema(self(s).schema, o);
      return 0;
    };
    out->get_next = [](ArrowArrayStream* s, ArrowArray* o) {
      SourceStream& me = self(s);
      const int call = me.get_next_calls++;
      if (call == me.fail_at) return EIO;
      if (static_cast<std::size_t>(call) >= me.batches.size()) {
        o->release = nullptr;
        return 0;
      }
      detail::fill_array(me.batches[static_cast<std::size_t>(call)], o, true);
      return 0;
    };
    out->get_last_error = [](ArrowArrayStream* s) { return self(s).fail_message.c_str(); };
    out->release = [](ArrowArrayStream* s) {
      ++self(s).releases;
      s->release = nullptr;
    };
    out->private_data = this;
  }

 private:
  static SourceStream& self(ArrowArrayStream* s) { return *static_cast<SourceStream*>(s->private_data); }
};

inline Node named(Node n, std::string name, bool nullable = true) {
  n.name = std::move(name);
  n.flags = nullable ? ARROW_FLAG_NULLABLE : 0;
  return n;
}

inline Node struct_of(std::vector<Node> children, std::int64_t length) {
  Node n;
  n.format = "+s";
  n.length = length;
  n.buffers = {std::nullopt};
  n.children = std::move(children);
  return n;
}

inline Node list_of(Node child, const std::vector<std::int32_t>& offsets) {
  Node n;
  n.format = "+l";
  n.length = static_cast<std::int64_t>(offsets.size()) - 1;
  n.buffers = {std::nullopt, detail::bytes_of(offsets)};
  n.children = {named(std::move(child), "item")};
  return n;
}

// A record batch's root: a struct without a name, its columns as children.
inline Node batch_node(std::vector<Node> columns) {
  const std::int64_t rows = columns.empty() ? 3 : columns[0].length;
  Node n = struct_of(std::move(columns), rows);
  n.flags = 0;
  return n;
}

inline RecordBatch import(const Node& root) {
  Produced p(root);
  auto r = import_record_batch(&p.schema, &p.array);
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().to_string());
  return std::move(r).value();
}

inline ArrayRef column(const Node& node) {
  return import(batch_node({named(node, "c")})).columns[0];
}

namespace detail {

template <typename View>
Rows rows_from(const ArrowResult<View>& view) {
  EXPECT_TRUE(view.ok()) << (view.ok() ? "" : view.error().to_string());
  Rows out;
  if (!view.ok()) return out;
  const View& v = view.value();
  for (std::int64_t i = 0; i < v.length; ++i) {
    if (v.valid(i)) {
      out.emplace_back(std::string(v.value(i)));
    } else {
      out.emplace_back(std::nullopt);
    }
  }
  return out;
}

}  // namespace detail

// The rows of a Utf8, LargeUtf8 or Utf8View array, through the readers the
// transforms use.
inline Rows rows_of(const Array& array) {
  if (array.type->format == "U") return detail::rows_from(read_large_utf8(array));
  if (array.type->format == "vu") return detail::rows_from(read_utf8_view(array));
  return detail::rows_from(read_utf8(array));
}

}  // namespace quillon::arrow_c::testing
