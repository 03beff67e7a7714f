#include "arrow_c/schema.h"

#include <cstring>
#include <new>
#include <string_view>

namespace quillon::arrow_c {
namespace {

constexpr int kMaxDepth = 64;

bool starts_with(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

// The encoded metadata: int32 pair count, then per pair an int32 key length,
// the key, an int32 value length and the value. Returns its byte size, or -1
// when a length is negative or the lengths add up past what int32 lengths
// can describe (the interface does not tell the block's size, so that is the
// bound every length is checked against).
std::int64_t metadata_size(const char* metadata) {
  constexpr std::int64_t kMaxSize = 2147483647;
  auto read_int = [&](std::int64_t at) {
    std::int32_t v;
    std::memcpy(&v, metadata + at, sizeof(v));
    return v;
  };
  std::int64_t at = 0;
  const std::int32_t pairs = read_int(at);
  at += 4;
  if (pairs < 0) return -1;
  for (std::int64_t p = 0; p < 2 * std::int64_t{pairs}; ++p) {
    if (at > kMaxSize - 4) return -1;
    const std::int32_t len = read_int(at);
    if (len < 0 || len > kMaxSize - 4 - at) return -1;
    at += 4 + std::int64_t{len};
  }
  return at;
}

ArrowResult<SchemaRef> copy_node(const ArrowSchema& source, int depth) {
  if (source.release == nullptr) return ArrowError::Invalid("schema is released");
  if (depth > kMaxDepth) return ArrowError::Invalid("schema nests deeper than 64 levels");
  if (source.format == nullptr) return ArrowError::Invalid("schema has no format");
  auto node = std::make_shared<Schema>();
  node->format = source.format;
  if (source.name != nullptr) node->name = source.name;
  if (source.metadata != nullptr) {
    const std::int64_t size = metadata_size(source.metadata);
    if (size < 0) {
      return ArrowError::Invalid("schema metadata has a negative length or passes 2147483647 bytes");
    }
    node->metadata.emplace(source.metadata, static_cast<std::size_t>(size));
  }
  node->flags = source.flags;
  if (source.n_children < 0 || (source.n_children > 0 && source.children == nullptr)) {
    return ArrowError::Invalid("schema of format '" + node->format + "' has " +
                           std::to_string(source.n_children) + " children but no child list");
  }
  node->children.reserve(static_cast<std::size_t>(source.n_children));
  for (std::int64_t i = 0; i < source.n_children; ++i) {
    if (source.children[i] == nullptr) return ArrowError::Invalid("schema child is null");
    QM_ASSIGN_OR_RETURN(auto child, copy_node(*source.children[i], depth + 1));
    node->children.push_back(std::move(child));
  }
  if (source.dictionary != nullptr) {
    QM_ASSIGN_OR_RETURN(node->dictionary, copy_node(*source.dictionary, depth + 1));
  }
  QM_ASSIGN_OR_RETURN(const Layout layout, layout_of(*node));
  const int children = layout.children;
  if (children >= 0 && static_cast<std::int64_t>(children) != source.n_children) {
    return ArrowError::Invalid("format '" + node->format + "' expects " + std::to_string(children) +
                           " children, found " + std::to_string(source.n_children));
  }
  if (node->format == "+m" && node->children[0]->children.size() != 2) {
    return ArrowError::Invalid("map entries must be a struct of two fields");
  }
  return SchemaRef(std::move(node));
}

// Export: each node's private data owns its copy of the tree's strings (by
// sharing the Schema), its children's structs and their pointer array.
struct ExportedSchema {
  SchemaRef node;
  std::vector<ArrowSchema> children;
  std::vector<ArrowSchema*> child_pointers;
  std::unique_ptr<ArrowSchema> dictionary;
  std::vector<std::unique_ptr<ExportedSchema>> child_private;
  std::unique_ptr<ExportedSchema> dictionary_private;
};

void release_exported(ArrowSchema* schema) {
  if (schema == nullptr || schema->release == nullptr) return;
  auto* priv = static_cast<ExportedSchema*>(schema->private_data);
  for (auto& child : priv->children) {
    if (child.release != nullptr) child.release(&child);
  }
  if (priv->dictionary && priv->dictionary->release != nullptr) {
    priv->dictionary->release(priv->dictionary.get());
  }
  delete priv;
  schema->release = nullptr;
}

// Phase one: everything that allocates.
std::unique_ptr<ExportedSchema> prepare(const SchemaRef& node) {
  auto priv = std::make_unique<ExportedSchema>();
  priv->node = node;
  priv->children.resize(node->children.size());
  priv->child_pointers.resize(node->children.size());
  for (const auto& child : node->children) priv->child_private.push_back(prepare(child));
  if (node->dictionary) {
    priv->dictionary = std::make_unique<ArrowSchema>();
    priv->dictionary_private = prepare(node->dictionary);
  }
  return priv;
}

// Phase two: links the prepared nodes; cannot fail.
void link(std::unique_ptr<ExportedSchema> priv, ArrowSchema* out) noexcept {
  const Schema& node = *priv->node;
  out->format = node.format.c_str();
  out->name = node.name.c_str();
  out->metadata = node.metadata ? node.metadata->data() : nullptr;
  out->flags = node.flags;
  out->n_children = static_cast<std::int64_t>(node.children.size());
  for (std::size_t i = 0; i < node.children.size(); ++i) {
    priv->child_pointers[i] = &priv->children[i];
    link(std::move(priv->child_private[i]), &priv->children[i]);
  }
  out->children = priv->child_pointers.empty() ? nullptr : priv->child_pointers.data();
  if (priv->dictionary) link(std::move(priv->dictionary_private), priv->dictionary.get());
  out->dictionary = priv->dictionary.get();
  out->release = release_exported;
  out->private_data = priv.release();
}

const char* unit_name(char unit) {
  switch (unit) {
    case 's': return "Second";
    case 'm': return "Millisecond";
    case 'u': return "Microsecond";
    case 'n': return "Nanosecond";
    default: return nullptr;
  }
}

std::string child_list(const Schema& type) {
  std::string out;
  for (std::size_t i = 0; i < type.children.size(); ++i) {
    if (i > 0) out += ", ";
    out += type.children[i]->name + ": " + type_name(*type.children[i]);
  }
  return out;
}

}  // namespace

ArrowResult<Layout> layout_of(const Schema& type) {
  const std::string_view f = type.format;
  auto simple = [](int buffers, bool validity, int children) {
    return Layout{buffers, buffers, validity, children};
  };
  if (f == "n") return Layout{0, 1, false, 0};
  if (f.size() == 1 && std::strchr("bcCsSiIlLefg", f[0]) != nullptr) return simple(2, true, 0);
  if (f == "z" || f == "Z" || f == "u" || f == "U") return simple(3, true, 0);
  if (f == "vz" || f == "vu") return Layout{3, 1 << 30, true, 0};
  if (starts_with(f, "d:") || starts_with(f, "w:")) return simple(2, true, 0);
  if (f.size() >= 3 && f[0] == 't') {
    if (f == "tdD" || f == "tdm" || f == "tiM" || f == "tiD" || f == "tin") return simple(2, true, 0);
    if ((f[1] == 't' || f[1] == 'D') && f.size() == 3 && unit_name(f[2]) != nullptr) {
      return simple(2, true, 0);
    }
    if (f[1] == 's' && unit_name(f[2]) != nullptr && f.size() >= 4 && f[3] == ':') {
      return simple(2, true, 0);
    }
  }
  if (f == "+l" || f == "+L" || f == "+m") return simple(2, true, 1);
  if (f == "+vl" || f == "+vL") return simple(3, true, 1);
  if (starts_with(f, "+w:")) return simple(1, true, 1);
  if (f == "+s") return simple(1, true, -1);
  if (starts_with(f, "+ud:")) return simple(2, false, -1);
  if (starts_with(f, "+us:")) return simple(1, false, -1);
  if (f == "+r") return simple(0, false, 2);
  return ArrowError::Invalid("unsupported format '" + type.format + "'");
}

ArrowResult<SchemaRef> copy_schema(const ArrowSchema& source) { return copy_node(source, 0); }

ArrowResult<Done> export_schema(const SchemaRef& schema, ArrowSchema* out) {
  std::unique_ptr<ExportedSchema> priv;
  try {
    priv = prepare(schema);
  } catch (const std::bad_alloc&) {
    return ArrowError::OutOfMemory("cannot export the schema");
  }
  link(std::move(priv), out);
  return Done{};
}

const SchemaRef& utf8_type() {
  static const SchemaRef type = [] {
    auto s = std::make_shared<Schema>();
    s->format = "u";
    s->flags = ARROW_FLAG_NULLABLE;
    return SchemaRef(std::move(s));
  }();
  return type;
}

bool same_type(const Schema& a, const Schema& b) {
  constexpr std::int64_t kTypeFlags = ARROW_FLAG_DICTIONARY_ORDERED | ARROW_FLAG_MAP_KEYS_SORTED;
  if (a.format != b.format || (a.flags & kTypeFlags) != (b.flags & kTypeFlags)) return false;
  if ((a.dictionary == nullptr) != (b.dictionary == nullptr)) return false;
  if (a.dictionary && !same_type(*a.dictionary, *b.dictionary)) return false;
  if (a.children.size() != b.children.size()) return false;
  for (std::size_t i = 0; i < a.children.size(); ++i) {
    const Schema& x = *a.children[i];
    const Schema& y = *b.children[i];
    if (x.name != y.name || x.nullable() != y.nullable() || !same_type(x, y)) return false;
  }
  return true;
}

bool same_schema(const Schema& a, const Schema& b) {
  if (a.format != b.format || a.name != b.name || a.metadata != b.metadata || a.flags != b.flags) {
    return false;
  }
  if ((a.dictionary == nullptr) != (b.dictionary == nullptr)) return false;
  if (a.dictionary && !same_schema(*a.dictionary, *b.dictionary)) return false;
  if (a.children.size() != b.children.size()) return false;
  for (std::size_t i = 0; i < a.children.size(); ++i) {
    if (!same_schema(*a.children[i], *b.children[i])) return false;
  }
  return true;
}

std::string type_name(const Schema& type) {
  const std::string_view f = type.format;
  if (type.dictionary) {
    Schema index = type;
    index.dictionary = nullptr;
    return "Dictionary(" + type_name(index) + ", " + type_name(*type.dictionary) + ")";
  }
  static const struct {
    const char* format;
    const char* name;
  } kFlat[] = {{"n", "Null"},       {"b", "Boolean"},      {"c", "Int8"},
               {"C", "UInt8"},      {"s", "Int16"},        {"S", "UInt16"},
               {"i", "Int32"},      {"I", "UInt32"},       {"l", "Int64"},
               {"L", "UInt64"},     {"e", "Float16"},      {"f", "Float32"},
               {"g", "Float64"},    {"z", "Binary"},       {"Z", "LargeBinary"},
               {"vz", "BinaryView"}, {"u", "Utf8"},        {"U", "LargeUtf8"},
               {"vu", "Utf8View"},  {"tdD", "Date32"},     {"tdm", "Date64"},
               {"tiM", "Interval(YearMonth)"}, {"tiD", "Interval(DayTime)"},
               {"tin", "Interval(MonthDayNano)"}};
  for (const auto& entry : kFlat) {
    if (f == entry.format) return entry.name;
  }
  if (starts_with(f, "d:")) {
    // "d:precision,scale[,bit width]"; 128 bits when no width is given.
    std::string_view params = f.substr(2);
    std::string bits = "128";
    const auto first = params.find(',');
    const auto second = first == std::string_view::npos ? first : params.find(',', first + 1);
    if (second != std::string_view::npos) {
      bits = std::string(params.substr(second + 1));
      params = params.substr(0, second);
    }
    std::string out = "Decimal" + bits + "(" + std::string(params) + ")";
    const auto comma = out.find(',');
    if (comma != std::string::npos) out.insert(comma + 1, " ");
    return out;
  }
  if (starts_with(f, "w:")) return "FixedSizeBinary(" + std::string(f.substr(2)) + ")";
  if (f.size() >= 3 && f[0] == 't' && unit_name(f[2]) != nullptr) {
    const std::string unit = unit_name(f[2]);
    if (f[1] == 't') return (f[2] == 's' || f[2] == 'm' ? "Time32(" : "Time64(") + unit + ")";
    if (f[1] == 'D') return "Duration(" + unit + ")";
    if (f[1] == 's') {
      const std::string_view tz = f.size() > 4 ? f.substr(4) : std::string_view();
      return "Timestamp(" + unit + ", " +
             (tz.empty() ? std::string("None") : "Some(\"" + std::string(tz) + "\")") + ")";
    }
  }
  auto only_child = [&] { return type.children.empty() ? std::string("?") : type_name(*type.children[0]); };
  if (f == "+l") return "List(" + only_child() + ")";
  if (f == "+L") return "LargeList(" + only_child() + ")";
  if (f == "+vl") return "ListView(" + only_child() + ")";
  if (f == "+vL") return "LargeListView(" + only_child() + ")";
  if (starts_with(f, "+w:")) return "FixedSizeList(" + std::string(f.substr(3)) + ", " + only_child() + ")";
  if (f == "+s") return "Struct(" + child_list(type) + ")";
  if (f == "+m") {
    const Schema* entries = type.children.empty() ? nullptr : type.children[0].get();
    if (entries != nullptr && entries->children.size() == 2) {
      return "Map(" + type_name(*entries->children[0]) + ", " + type_name(*entries->children[1]) + ")";
    }
    return "Map";
  }
  if (starts_with(f, "+ud:")) return "Union(Dense, " + child_list(type) + ")";
  if (starts_with(f, "+us:")) return "Union(Sparse, " + child_list(type) + ")";
  if (f == "+r") return "RunEndEncoded(" + child_list(type) + ")";
  return "'" + type.format + "'";
}

}  // namespace quillon::arrow_c
