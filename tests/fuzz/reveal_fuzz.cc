// libFuzzer target: reveal (reveal_column, for encrypt and for fpe) over
// arbitrary tokens, in every string layout.
//
// The input's first byte picks the layout (Utf8, LargeUtf8, Utf8View, or a
// dictionary over Utf8 whose indices run over the values twice, the second
// time backwards), the transform (encrypt or fpe), the context (none or
// "fuzz") and fpe's alphabet (digits, hex, alnum, or the explicit "é✓ab" of
// mixed UTF-8 widths). The rest is the column: per row a length byte (255: a
// null row) and that many bytes of token. Every buffer is its own heap block
// of exactly its size, and the engine is told those sizes, so ASan flags a
// read outside one.
//
// A reveal either fails with a message naming the column and a row, and
// never the bytes of a token, or succeeds; then masking its plaintexts
// again must give the tokens back, byte for byte: SIV is deterministic and
// its base64url canonical, FF1 a permutation of its domain.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "arrow_c/strings.h"
#include "mask_engine/cipher_columns.h"

using namespace quillon;  // NOLINT(build/namespaces): the layers by their short names

namespace {

using arrow_c::Array;
using arrow_c::ArrayRef;
using arrow_c::Schema;
using Rows = std::vector<std::optional<std::string>>;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "reveal: %s\n", what.c_str());
  std::abort();
}

// Heap blocks of exactly the sizes asked for, freed with the array.
struct Blocks {
  std::vector<void*> blocks;
  ~Blocks() {
    for (void* b : blocks) std::free(b);
  }
  template <typename T>
  T* make(std::size_t count) {
    void* b = std::malloc(count * sizeof(T) + (count == 0));  // malloc(0) may be null
    if (b == nullptr) std::abort();
    std::memset(b, 0, count * sizeof(T));
    blocks.push_back(b);
    return static_cast<T*>(b);
  }
};

std::shared_ptr<Schema> type(const char* format) {
  auto s = std::make_shared<Schema>();
  s->format = format;
  s->name = "c";
  s->flags = ARROW_FLAG_NULLABLE;
  return s;
}

// The array's validity bitmap, or null without nulls.
std::uint8_t* validity(const Rows& rows, Blocks& blocks, Array& a) {
  for (const auto& r : rows) a.null_count += r ? 0 : 1;
  if (a.null_count == 0) return nullptr;
  auto* bits = blocks.make<std::uint8_t>((rows.size() + 7) / 8);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows[i]) bits[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
  }
  return bits;
}

template <typename Offset>
ArrayRef offsets_array(const Rows& rows, const char* format, const std::shared_ptr<Blocks>& blocks) {
  auto a = std::make_shared<Array>();
  a->type = type(format);
  a->length = static_cast<std::int64_t>(rows.size());
  std::uint8_t* bits = validity(rows, *blocks, *a);
  std::size_t bytes = 0;
  for (const auto& r : rows) bytes += r ? r->size() : 0;
  auto* offsets = blocks->make<Offset>(rows.size() + 1);
  char* data = blocks->make<char>(bytes);
  std::size_t at = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows[i]) std::memcpy(data + at, rows[i]->data(), rows[i]->size());
    at += rows[i] ? rows[i]->size() : 0;
    offsets[i + 1] = static_cast<Offset>(at);
  }
  a->buffers = {bits, offsets, data};
  a->buffer_sizes = {bits ? static_cast<std::int64_t>((rows.size() + 7) / 8) : -1,
                     static_cast<std::int64_t>((rows.size() + 1) * sizeof(Offset)), static_cast<std::int64_t>(bytes)};
  a->keep_alive = blocks;
  return a;
}

ArrayRef view_array(const Rows& rows, const std::shared_ptr<Blocks>& blocks) {
  auto a = std::make_shared<Array>();
  a->type = type("vu");
  a->length = static_cast<std::int64_t>(rows.size());
  std::uint8_t* bits = validity(rows, *blocks, *a);
  std::size_t bytes = 0;
  for (const auto& r : rows) bytes += r && r->size() > 12 ? r->size() : 0;
  auto* views = blocks->make<std::uint8_t>(16 * rows.size());
  char* data = blocks->make<char>(bytes);
  auto* sizes = blocks->make<std::int64_t>(1);
  sizes[0] = static_cast<std::int64_t>(bytes);
  std::int32_t at = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (!rows[i]) continue;
    const auto length = static_cast<std::int32_t>(rows[i]->size());
    std::uint8_t* view = views + 16 * i;
    std::memcpy(view, &length, 4);
    if (length <= 12) {
      std::memcpy(view + 4, rows[i]->data(), rows[i]->size());
      continue;
    }
    std::memcpy(view + 4, rows[i]->data(), 4);
    std::memcpy(view + 12, &at, 4);  // buffer index 0 at view + 8 stays zero
    std::memcpy(data + at, rows[i]->data(), rows[i]->size());
    at += length;
  }
  a->buffers = {bits, views, data, sizes};
  a->buffer_sizes = {bits ? static_cast<std::int64_t>((rows.size() + 7) / 8) : -1,
                     static_cast<std::int64_t>(16 * rows.size()), static_cast<std::int64_t>(bytes), 8};
  a->keep_alive = blocks;
  return a;
}

ArrayRef dictionary_array(const Rows& values, const std::shared_ptr<Blocks>& blocks) {
  auto a = std::make_shared<Array>();
  auto t = type("i");
  a->dictionary = offsets_array<std::int32_t>(values, "u", blocks);
  t->dictionary = a->dictionary->type;
  a->type = t;
  const std::size_t n = values.size();
  a->length = static_cast<std::int64_t>(2 * n);
  auto* indices = blocks->make<std::int32_t>(2 * n);
  for (std::size_t i = 0; i < n; ++i) {
    indices[i] = static_cast<std::int32_t>(i);
    indices[2 * n - 1 - i] = static_cast<std::int32_t>(i);
  }
  a->buffers = {nullptr, indices};
  a->buffer_sizes = {-1, static_cast<std::int64_t>(2 * n * sizeof(std::int32_t))};
  a->keep_alive = blocks;
  return a;
}

// The column's rows as strings, through the dictionary when there is one.
Rows rows_of(const Array& a) {
  const Array& values = a.dictionary ? *a.dictionary : a;
  Rows out;
  auto collect = [&](const auto& view) {
    if (!view.ok()) fail("an output the reader refuses");
    for (std::int64_t i = 0; i < values.length; ++i) {
      out.push_back(view.value().valid(i) ? std::optional<std::string>(view.value().value(i)) : std::nullopt);
    }
  };
  const std::string& f = values.type->format;
  if (f == "u") collect(arrow_c::read_utf8(values));
  if (f == "U") collect(arrow_c::read_large_utf8(values));
  if (f == "vu") collect(arrow_c::read_utf8_view(values));
  if (!a.dictionary) return out;
  Rows rows;
  auto indices = arrow_c::read_dictionary_indices(a);
  if (!indices.ok()) fail("output indices the reader refuses");
  for (std::int64_t i = 0; i < a.length; ++i) rows.push_back(out[static_cast<std::size_t>(indices.value().index[i])]);
  return rows;
}

// The last: "é✓ab", of mixed UTF-8 widths.
const char* const kAlphabets[] = {"digits", "hex", "alnum", "\xc3\xa9\xe2\x9c\x93\x61\x62"};
constexpr std::string_view kKey = "reveal fuzz key";

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t mode = data[0];
  Rows rows;
  for (std::size_t at = 1; at < size && rows.size() < 64;) {
    const std::uint8_t length = data[at++];
    if (length == 255) {
      rows.emplace_back();
      continue;
    }
    const std::size_t n = std::min<std::size_t>(length, size - at);
    rows.emplace_back(std::string(reinterpret_cast<const char*>(data + at), n));
    at += n;
  }
  auto blocks = std::make_shared<Blocks>();
  ArrayRef column;
  switch (mode & 3) {
    case 0: column = offsets_array<std::int32_t>(rows, "u", blocks); break;
    case 1: column = offsets_array<std::int64_t>(rows, "U", blocks); break;
    case 2: column = view_array(rows, blocks); break;
    default: column = dictionary_array(rows, blocks); break;
  }
  const mask_engine::Context context = (mode & 8) ? mask_engine::Context("fuzz") : std::nullopt;
  const bool fpe = (mode & 4) != 0;
  std::optional<mask_engine::EncryptKey> encrypt_key;
  std::optional<mask_engine::FpeKey> fpe_key;
  if (fpe) {
    fpe_key.emplace(kKey, context, mask_engine::Alphabet::parse(kAlphabets[(mode >> 4) & 3]).value());
  } else {
    encrypt_key.emplace(kKey, context);
  }
  auto revealed = fpe ? mask_engine::reveal_column(*fpe_key, column, "c", 7)
                      : mask_engine::reveal_column(*encrypt_key, column, "c", 7);
  if (!revealed.ok()) {
    // "...column 'c', row <n>: <fault>", the fault one of the fixed texts:
    // nothing of a token can be in it.
    const std::string message = revealed.error().to_string();
    const std::size_t row = message.find("column 'c', row ");
    const std::size_t colon = message.find(": ", row == std::string::npos ? 0 : row);
    if (row == std::string::npos || colon == std::string::npos) fail("a message without column and row: " + message);
    const std::string fault = message.substr(colon + 2);
    const bool known = fault == "the token is not base64url" || fault == "the token does not authenticate" ||
                       fault == "the value is not valid UTF-8" || fault.rfind("the value has too few", 0) == 0;
    if (!known) fail("an unexpected message: " + message);
    return 0;
  }
  const ArrayRef& plain = revealed.value();
  if (plain->length != column->length || plain->type->format != column->type->format) fail("shape changed");
  auto again = fpe ? mask_engine::fpe_column(*fpe_key, plain, "c") : mask_engine::encrypt_column(*encrypt_key, plain, "c");
  if (!again.ok()) fail("a revealed column does not mask again: " + again.error().to_string());
  if (rows_of(*again.value()) != rows_of(*column)) fail("masking the plaintexts does not give the tokens back");
  return 0;
}
