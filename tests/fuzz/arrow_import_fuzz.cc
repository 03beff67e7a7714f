// libFuzzer target: import, validation and masking of Arrow C Data
// Interface trees decoded from the fuzz input.
//
// The input describes a record batch: each node's format, name, flags,
// metadata, length, offset, null_count, buffer and child counts and the
// bytes of every buffer, nested through structs, lists and dictionaries.
// Every buffer (and every metadata block) is its own heap allocation of
// exactly the size the input states, so ASan flags any read outside one.
// The engine is told those sizes (Array::buffer_sizes, as a producer that
// knows them tells it), so reading outside a buffer is a fault wherever the
// engine checks against them. Two things no consumer of the interface can
// check are kept consistent instead: a validity bitmap covers offset +
// length rows (a node whose rows pass what one buffer here can cover gets
// no bitmap), and a metadata block holds the pairs its count announces
// and the bytes its lengths state, unless a length is negative or passes
// the 2^31-1 bytes int32 lengths reach. A column also reaches its struct's
// offset, but the import refuses a child shorter than the struct's offset +
// length, so its own offset + length covers that.
//
// Outputs are sized from the stated lengths, which may pass any memory:
// such an allocation must come back as an OutOfMemory error, so ASan
// returns null for it rather than aborting.
//
// An array may also list one child more or fewer than its schema.
//
// Each top-level column gets hash, redact, null, pass_through or nothing;
// the batch is masked in the strict mode of the Arrow entry or the fallback
// mode of mask(), whole or in slices, and the result exported and
// released. The producer's release callback must have run exactly once by
// the end of each input.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "arrow_c/abi.h"
#include "arrow_c/bridge.h"
#include "mask_engine/pipeline.h"
#include "mask_engine/stream.h"

using namespace quillon;  // NOLINT(build/namespaces): the layers by their short names

using namespace quillon;  // NOLINT(build/namespaces): the layers by their short names

using namespace quillon;  // NOLINT(build/namespaces): the layers by their short names

namespace {

// Reads the input front to back; past its end every read gives zeros, so
// any prefix of an input decodes.
class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
  template <typename T>
  T integer() {  // little endian
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) v |= std::uint64_t{u8()} << (8 * i);
    return static_cast<T>(v);
  }
  void bytes(std::uint8_t* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = u8();
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// A heap block of exactly `size` bytes.
struct Block {
  std::uint8_t* data;
  explicit Block(std::size_t size) : data(static_cast<std::uint8_t*>(std::malloc(size))) {}
  ~Block() { std::free(data); }
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;
};

constexpr std::size_t kMaxBuffer = 1 << 16;
constexpr int kMaxDepth = 4;
constexpr int kMaxNodes = 48;

// Formats the decoder picks from; the last byte values give a format of
// free text instead.
struct FormatEntry {
  const char* format;
  bool dictionary_index;  // gets a dictionary
};
constexpr FormatEntry kFormats[] = {
    {"u", false},  {"U", false},   {"vu", false},  {"n", false},    {"i", true},
    {"c", true},   {"S", true},    {"l", true},    {"L", true},     {"+s", false},
    {"+l", false}, {"+L", false},  {"+w:2", false}, {"l", false},   {"b", false},
    {"z", false},  {"vz", false},  {"+m", false},  {"tsu:UTC", false}, {"d:10,2", false},
    {"C", true},   {"s", true},    {"I", true},    {"+ud:0,1", false}, {"+r", false},
};
constexpr std::size_t kFormatCount = sizeof(kFormats) / sizeof(kFormats[0]);

int expected_buffers(const std::string& f, bool has_dictionary) {
  if (has_dictionary) return 2;
  if (f == "n") return 0;
  if (f == "u" || f == "U" || f == "z" || f == "Z" || f == "vu" || f == "vz" || f == "+vl") return 3;
  if (f == "+s" || f.rfind("+w:", 0) == 0 || f.rfind("+us:", 0) == 0) return 1;
  if (f == "+r") return 0;
  return 2;
}

int expected_children(const std::string& f, Reader& in) {
  if (f == "+s" || f.rfind("+u", 0) == 0) return in.u8() % 4;
  if (f == "+l" || f == "+L" || f == "+m" || f.rfind("+w:", 0) == 0) return 1;
  if (f == "+r") return 2;
  return 0;
}

std::int64_t wild_int(Reader& in) {
  static constexpr std::int64_t kEdges[] = {
      INT64_MAX, INT64_MAX - 1, INT64_MIN, -1, -2, INT32_MAX, std::int64_t{INT32_MAX} + 1,
      std::int64_t{1} << 62, std::int64_t{1} << 40, UINT32_MAX, 0, 1};
  const std::uint8_t mode = in.u8();
  if (mode < 0xC0) return mode % 40;
  if (mode < 0xF0) return kEdges[mode % (sizeof(kEdges) / sizeof(kEdges[0]))];
  return in.integer<std::int64_t>();
}

// One decoded node: the producer's two structs and what they point at.
struct Node {
  std::string format, name;
  std::unique_ptr<Block> metadata;
  ArrowSchema schema{};
  ArrowArray array{};
  std::vector<std::unique_ptr<Block>> buffers;
  std::vector<const void*> buffer_pointers;
  std::vector<std::int64_t> sizes;  // -1: a null pointer
  std::vector<std::unique_ptr<Node>> children;
  std::vector<ArrowSchema*> schema_children;
  std::vector<ArrowArray*> array_children;
  std::unique_ptr<Node> dictionary;
};

void release_schema(ArrowSchema* s) { s->release = nullptr; }
void release_array(ArrowArray* a) { a->release = nullptr; }

int root_releases = 0;
void release_root_array(ArrowArray* a) {
  ++root_releases;
  a->release = nullptr;
}

// The interface's metadata encoding: int32 pair count, then per key and
// value an int32 length and its bytes.
std::unique_ptr<Block> decode_metadata(Reader& in) {
  const std::uint8_t mode = in.u8() % 4;
  if (mode == 0 || mode == 3) return nullptr;
  std::string encoded;
  auto put_int = [&](std::int32_t v) { encoded.append(reinterpret_cast<const char*>(&v), 4); };
  const std::int32_t announced = mode == 1 ? in.u8() % 4 : static_cast<std::int32_t>(wild_int(in));
  if (announced < 0) {
    put_int(announced);
  } else {
    // Room for the count, patched once the pairs are written.
    put_int(0);
    std::int32_t pairs = 0;
    bool stop = false;
    while (pairs < std::min(announced, 4) && !stop) {
      for (int part = 0; part < 2 && !stop; ++part) {
        const std::uint8_t pick = in.u8();
        // Mostly short lengths; now and then one whose end passes the
        // 2^31-1 bytes that int32 lengths reach, or a negative one: the
        // block ends there, as the consumer must refuse such a length
        // before it reads on.
        const std::int32_t len = pick < 0xF0  ? pick % 24
                                 : pick < 0xF8 ? INT32_MAX - pick % 8
                                               : -1 - pick % 8;
        put_int(len);
        if (len < 0 || len > 24) {
          stop = true;
          break;
        }
        for (std::int32_t i = 0; i < len; ++i) encoded.push_back(static_cast<char>(in.u8()));
      }
      ++pairs;
    }
    std::memcpy(encoded.data(), &pairs, 4);
  }
  auto block = std::make_unique<Block>(encoded.size());
  std::memcpy(block->data, encoded.data(), encoded.size());
  return block;
}

std::unique_ptr<Node> decode_node(Reader& in, int depth, int& budget, bool root) {
  auto n = std::make_unique<Node>();
  --budget;
  const std::uint8_t pick = in.u8();
  bool index = false;
  if (root) {
    n->format = "+s";
  } else if (pick < 0xF8) {
    n->format = kFormats[pick % kFormatCount].format;
    index = kFormats[pick % kFormatCount].dictionary_index;
  } else {
    const std::size_t len = in.u8() % 8;
    for (std::size_t i = 0; i < len; ++i) n->format.push_back(static_cast<char>(in.u8() | 1));
  }
  const std::size_t name_len = in.u8() % 4;
  for (std::size_t i = 0; i < name_len; ++i) n->name.push_back(static_cast<char>('a' + in.u8() % 4));
  n->metadata = decode_metadata(in);
  n->schema.flags = in.u8() % 8;

  ArrowArray& a = n->array;
  const bool wild = in.u8() >= 0xE0;
  a.length = wild ? wild_int(in) : in.u8() % 40;
  a.offset = wild ? wild_int(in) : in.u8() % 10;
  const std::uint8_t nulls = in.u8();
  a.null_count = nulls < 0x40 ? -1 : nulls < 0x80 ? 0 : wild ? wild_int(in) : nulls % 8;

  const bool has_dictionary = index && depth < kMaxDepth && budget > 0;
  const std::uint8_t count_pick = in.u8();
  std::int64_t n_buffers = expected_buffers(n->format, has_dictionary);
  if (n->format == "vu" || n->format == "vz") n_buffers += count_pick % 4;
  if (count_pick >= 0xF0) n_buffers += static_cast<std::int64_t>(count_pick % 3) - 1;
  if (n_buffers < 0) n_buffers = 0;
  for (std::int64_t b = 0; b < n_buffers; ++b) {
    const std::uint8_t mode = in.u8();
    std::size_t size = mode < 0x20 ? 0 : mode >= 0xF0 ? in.integer<std::uint16_t>() % kMaxBuffer : in.u8();
    std::int64_t rows = 0;
    const bool covered = !__builtin_add_overflow(a.offset, a.length, &rows) && rows >= 0 &&
                         rows <= static_cast<std::int64_t>(8 * kMaxBuffer);
    // The bitmap covers every row the node reaches, or there is none (its
    // bytes are still read, so the rest of the input decodes the same); the
    // variadic sizes hold one int64 per data buffer.
    const bool bitmap = b == 0 && n->format != "n";
    if (bitmap && covered) size = std::max<std::size_t>(size, (rows + 7) / 8);
    const bool views = n->format == "vu" || n->format == "vz";
    if (views && b == n_buffers - 1 && n_buffers >= 3) {
      size = std::max<std::size_t>(size, 8 * static_cast<std::size_t>(n_buffers - 3));
    }
    std::unique_ptr<Block> block;
    if (mode >= 0x20) {
      block = std::make_unique<Block>(size);
      in.bytes(block->data, size);
    }
    if (!block || (bitmap && !covered)) {
      n->buffers.emplace_back();
      n->buffer_pointers.push_back(nullptr);
      n->sizes.push_back(-1);
      continue;
    }
    n->buffer_pointers.push_back(block->data);
    n->sizes.push_back(static_cast<std::int64_t>(size));
    n->buffers.push_back(std::move(block));
  }

  const int children = depth < kMaxDepth ? expected_children(n->format, in) : 0;
  for (int c = 0; c < children && budget > 0; ++c) {
    n->children.push_back(decode_node(in, depth + 1, budget, false));
  }
  if (has_dictionary) n->dictionary = decode_node(in, depth + 1, budget, false);

  for (auto& child : n->children) {
    n->schema_children.push_back(&child->schema);
    n->array_children.push_back(&child->array);
  }
  ArrowSchema& s = n->schema;
  s.format = n->format.c_str();
  s.name = n->name.c_str();
  s.metadata = n->metadata ? reinterpret_cast<const char*>(n->metadata->data) : nullptr;
  s.n_children = static_cast<std::int64_t>(n->children.size());
  s.children = n->schema_children.empty() ? nullptr : n->schema_children.data();
  s.dictionary = n->dictionary ? &n->dictionary->schema : nullptr;
  s.release = release_schema;
  a.n_buffers = n_buffers;
  a.buffers = n->buffer_pointers.empty() ? nullptr : n->buffer_pointers.data();
  a.n_children = s.n_children;
  if (!root && count_pick >= 0xE0 && count_pick < 0xF0) {
    // The array and its schema disagree on the child count.
    if (count_pick & 1) {
      n->array_children.push_back(nullptr);
      ++a.n_children;
    } else if (a.n_children > 0) {
      --a.n_children;
    }
  }
  a.children = n->array_children.empty() ? nullptr : n->array_children.data();
  a.dictionary = n->dictionary ? &n->dictionary->array : nullptr;
  a.release = root ? release_root_array : release_array;
  return n;
}

// The imported tree with every node told its buffers' sizes.
arrow_c::ArrayRef with_sizes(const arrow_c::ArrayRef& array, const Node& node) {
  auto sized = std::make_shared<arrow_c::Array>(*array);
  sized->buffer_sizes = node.sizes;
  for (std::size_t i = 0; i < sized->children.size() && i < node.children.size(); ++i) {
    sized->children[i] = with_sizes(sized->children[i], *node.children[i]);
  }
  if (sized->dictionary && node.dictionary) sized->dictionary = with_sizes(sized->dictionary, *node.dictionary);
  return sized;
}

}  // namespace

// Read before main, also by the corpus replay under ASan; ASAN_OPTIONS
// given at run time still apply on top. Exported: gcc's shared ASan runtime
// looks it up dynamically.
extern "C" __attribute__((visibility("default"))) const char* __asan_default_options() {
  return "allocator_may_return_null=1";
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // One pool thread: runs repeat exactly.
  setenv("RAYON_NUM_THREADS", "1", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using mask_engine::MaskPipeline;
  using mask_engine::Transform;
  Reader in(data, size);
  const std::uint8_t mode = in.u8();
  std::string key_bytes;
  const std::size_t key_len = in.u8() % 40;
  for (std::size_t i = 0; i < key_len; ++i) key_bytes.push_back(static_cast<char>(in.u8()));
  const mask_engine::Key key = (mode & 1) ? mask_engine::Key(key_bytes) : std::nullopt;
  const std::int64_t first_position = in.integer<std::uint32_t>();
  const std::uint8_t max_value_bytes = in.u8();
  const int columns = in.u8() % 6;
  std::vector<std::uint8_t> picks;
  for (int c = 0; c < columns; ++c) picks.push_back(in.u8() % 5);

  int budget = kMaxNodes;
  root_releases = 0;
  std::unique_ptr<Node> root = decode_node(in, 0, budget, true);
  // The root's children are the columns: as many as were picked.
  while (root->children.size() < picks.size() && budget > 0) {
    root->children.push_back(decode_node(in, 1, budget, false));
    root->schema_children.push_back(&root->children.back()->schema);
    root->array_children.push_back(&root->children.back()->array);
  }
  root->schema.n_children = root->array.n_children = static_cast<std::int64_t>(root->children.size());
  root->schema.children = root->schema_children.empty() ? nullptr : root->schema_children.data();
  root->array.children = root->array_children.empty() ? nullptr : root->array_children.data();

  {
    auto imported = arrow_c::import_record_batch(&root->schema, &root->array);
    if (root->schema.release != nullptr || root->array.release != nullptr) std::abort();
    if (imported.ok()) {
      arrow_c::RecordBatch batch = std::move(imported).value();
      auto builder = MaskPipeline::builder();
      // Every column is told its sizes, also one past the picks: a column
      // named like a configured one is masked with it.
      for (std::size_t c = 0; c < batch.columns.size() && c < root->children.size(); ++c) {
        batch.columns[c] = with_sizes(batch.columns[c], *root->children[c]);
      }
      for (std::size_t c = 0; c < batch.columns.size() && c < picks.size(); ++c) {
        if (picks[c] == 4) continue;
        try {
          builder = mask_engine::PipelineBuilder::add_column_transform(
              std::move(builder), batch.schema->children[c]->name, static_cast<Transform>(picks[c]));
        } catch (const mask_engine::DuplicateColumnError&) {
          // Two columns of one name: the first keeps its transform.
        }
      }
      auto built = mask_engine::PipelineBuilder::build(std::move(builder));
      if (built.ok()) {
        MaskPipeline pipeline = std::move(built).value();
        // mode & 2: quillon_mask.arrow's output schema; else mask()'s, with
        // its column rules.
        const bool strict = (mode & 2) != 0;
        const mask_engine::ColumnRules rules =
            strict ? mask_engine::ColumnRules{} : mask_engine::mask_call_rules(*batch.schema, pipeline, key.has_value());
        const arrow_c::SchemaRef out_schema = strict ? pipeline.output_schema(batch.schema) : batch.schema;
        // mode & 4: slices of a few hundred bytes of output each.
        std::int64_t step = (mode & 4) ? pipeline.rows_per_slice(batch, 64 + max_value_bytes, rules) : batch.num_rows;
        step = std::max<std::int64_t>(step, 1);
        std::vector<arrow_c::RecordBatch> outputs;
        std::int64_t at = 0;
        do {
          const std::int64_t rows = std::min(step, batch.num_rows - at);
          const arrow_c::RecordBatch part = rows == batch.num_rows ? batch : arrow_c::slice(batch, at, rows);
          auto masked = pipeline.process_batch(part, key, first_position + at, out_schema, rules);
          if (!masked.ok()) break;
          outputs.push_back(std::move(masked).value());
          at += step;
        } while (at < batch.num_rows);
        for (const auto& out : outputs) {
          ArrowArray exported;
          if (arrow_c::export_record_batch(out, &exported).ok()) exported.release(&exported);
        }
      }
    }
  }
  // Every node that pointed into the producer's tree is gone.
  if (root_releases != 1) std::abort();
  return 0;
}
