#include "mask_engine/cipher_columns.h"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <utility>

#include "block_cipher/base64url.h"
#include "keyed_hash/pull.h"

namespace quillon::mask_engine {
namespace {

using arrow_c::StringBuilder;
using arrow_c::StringViewBuilder;
namespace qc = block_cipher;

constexpr std::int64_t kTokenBytes = static_cast<std::int64_t>(keyed_hash::kHexDigestLength);
constexpr std::string_view kPseudonymLabel{"quillon_mask pseudonym\0", 23};
// Values sealed or opened per call of the SIV batch API: several CMAC chains
// and CTR streams in flight, and the scratch stays small.
constexpr std::size_t kGroup = 32;

// What can be wrong with one value; messages in row_error().
enum class Fault : std::uint8_t { NotUtf8, OutsideDomain, NotBase64url, NotAuthentic, Changed };

struct RowFault {
  Fault fault;
  std::int64_t row;  // index in the array transformed
};

bool valid_bit(const std::uint8_t* bits, std::int64_t i) {
  return bits == nullptr || ((bits[i >> 3] >> (i & 7)) & 1) != 0;
}

MaskError arrow_error(arrow_c::ArrowError status) { return MaskError::Arrow(std::move(status)); }

// The column being transformed: its name and how an index in the array
// transformed becomes a row position in messages.
struct Job {
  std::string_view column;
  std::int64_t first_position;
  // For a dictionary's values: the first row pointing to each, -1 for none.
  const std::vector<std::int64_t>* first_row;

  MaskError error(RowFault f) const {
    const std::int64_t row = first_row != nullptr ? (*first_row)[static_cast<std::size_t>(f.row)] : f.row;
    const char* what = "";
    switch (f.fault) {
      case Fault::NotUtf8:
        what = "the value is not valid UTF-8";
        break;
      case Fault::OutsideDomain:
        what = "the value has too few characters of the alphabet for format-preserving encryption "
               "(fewer than 1,000,000 possible values) or too many (more than 256)";
        break;
      case Fault::NotBase64url:
        what = "the token is not base64url";
        break;
      case Fault::NotAuthentic:
        what = "the token does not authenticate";
        break;
      case Fault::Changed:
        what = "the value changed while it was read";
        break;
    }
    return arrow_error(arrow_c::ArrowError::Invalid("column '" + std::string(column) + "', row " +
                                                std::to_string(first_position + row) + ": " + what));
  }
};

// Output with offsets (Utf8, LargeUtf8): each row's size is set in order,
// then the values buffer is allocated once and rows are written in place.
template <typename Offset>
class OffsetOut {
 public:
  static MaskResult<OffsetOut> make(std::int64_t length, bool with_validity) {
    auto built = StringBuilder<Offset>::allocate(length, with_validity);
    if (!built.ok()) return arrow_error(std::move(built).error());
    return OffsetOut(length, std::move(built).value());
  }
  std::uint8_t* validity() { return b_.validity(); }
  // Offsets past the reach wrap here; allocate() refuses them before use.
  void size_row(std::int64_t i, std::int64_t n) {
    b_.offsets()[i] = static_cast<Offset>(total_);
    total_ += n;
  }
  arrow_c::ArrowResult<Done> allocate() {
    b_.offsets()[length_] = static_cast<Offset>(total_);
    return b_.allocate_values(total_);
  }
  char* slot(std::int64_t i) { return b_.values() + b_.offsets()[i]; }
  std::size_t slot_size(std::int64_t i) { return static_cast<std::size_t>(b_.offsets()[i + 1] - b_.offsets()[i]); }
  void wipe() { keyed_hash::wipe(b_.values(), static_cast<std::size_t>(total_)); }
  ArrayRef finish(std::int64_t nulls) && { return std::move(b_).finish(nulls); }

 private:
  OffsetOut(std::int64_t length, StringBuilder<Offset> b) : length_(length), b_(std::move(b)) {}
  std::int64_t length_;
  std::int64_t total_ = 0;
  StringBuilder<Offset> b_;
};

// Output as Utf8View: every row's bytes back to back in the one data
// buffer, the views written last (short values inline).
class ViewOut {
 public:
  static MaskResult<ViewOut> make(std::int64_t length, bool with_validity) {
    auto built = StringViewBuilder::allocate(length, with_validity);
    if (!built.ok()) return arrow_error(std::move(built).error());
    return ViewOut(length, std::move(built).value());
  }
  std::uint8_t* validity() { return b_.validity(); }
  void size_row(std::int64_t i, std::int64_t n) {
    at_[static_cast<std::size_t>(i)] = total_;
    total_ += n;
  }
  arrow_c::ArrowResult<Done> allocate() {
    at_.back() = total_;
    return b_.allocate_data(total_);
  }
  char* slot(std::int64_t i) { return b_.data() + at_[static_cast<std::size_t>(i)]; }
  std::size_t slot_size(std::int64_t i) {
    const auto k = static_cast<std::size_t>(i);
    return static_cast<std::size_t>(at_[k + 1] - at_[k]);
  }
  void wipe() { keyed_hash::wipe(b_.data(), static_cast<std::size_t>(total_)); }
  ArrayRef finish(std::int64_t nulls) && {
    const std::uint8_t* bits = b_.validity();
    for (std::int64_t i = 0; i < length_; ++i) {
      if (valid_bit(bits, i)) {
        b_.set(i, std::string_view(slot(i), slot_size(i)), at_[static_cast<std::size_t>(i)]);
      } else {
        b_.set_null(i);
      }
    }
    return std::move(b_).finish(nulls);
  }

 private:
  ViewOut(std::int64_t length, StringViewBuilder b)
      : length_(length), b_(std::move(b)), at_(static_cast<std::size_t>(length) + 1, 0) {}
  std::int64_t length_;
  std::int64_t total_ = 0;
  StringViewBuilder b_;
  std::vector<std::int64_t> at_;
};

// Row i's value as `size` bytes, the size its first read gave: a value that
// changed in between is refused rather than read past what was sized.
template <typename Rows>
bool value_of_size(const Rows& rows, std::int64_t i, std::size_t size, std::string_view& v) {
  v = rows.value(i);
  return v.size() == size;
}

// ---- pseudonym --------------------------------------------------------------

const char kNoHead[keyed_hash::kHeadBytes] = {};

// The valid rows of [i, end) as messages with no head, read as the kernel
// pulls them; each token goes straight to its row's slot. fill() is the one
// place that speaks the pull interface.
template <typename Rows, typename Out>
struct ValueMessages {
  const Rows& rows;
  const std::uint8_t* bits;
  Out& out;
  std::int64_t i;
  std::int64_t end;

  static keyed_hash::Pull fill(void* self, keyed_hash::Pull pull) {
    auto& s = *static_cast<ValueMessages*>(self);
    for (; s.i < s.end; ++s.i) {
      if (pull.full()) return pull;
      if (valid_bit(s.bits, s.i)) pull.add(kNoHead, 0, s.rows.value(s.i), s.out.slot(s.i));
    }
    pull.end();
    return pull;
  }
};

struct PseudonymKind {
  static constexpr std::int64_t kFixedSize = kTokenBytes;
  const keyed_hash::PreparedKey& key;

  template <typename Rows, typename Out>
  std::optional<RowFault> write(const Rows& rows, const std::uint8_t* bits, Out& out) {
    ValueMessages<Rows, Out> source{rows, bits, out, 0, rows.length};
    key.hex_digests({&decltype(source)::fill, &source});
    return std::nullopt;
  }
};

// ---- encrypt and its reveal -------------------------------------------------

std::int64_t token_chars(std::size_t plain) {
  return static_cast<std::int64_t>(qc::base64url_size(plain + qc::kSivTag));
}

// Gathers up to kGroup valid rows at a time and hands them to `run`, which
// gets their indices; stops at the first fault.
template <typename Run>
std::optional<RowFault> in_groups(std::int64_t length, const std::uint8_t* bits, Run&& run) {
  std::int64_t rows[kGroup];
  std::size_t n = 0;
  for (std::int64_t i = 0; i < length; ++i) {
    if (!valid_bit(bits, i)) continue;
    rows[n++] = i;
    if (n == kGroup) {
      if (auto f = run(rows, n)) return f;
      n = 0;
    }
  }
  if (n > 0) return run(rows, n);
  return std::nullopt;
}

struct EncryptKind {
  const EncryptKey& key;
  std::vector<std::uint8_t> sealed;  // the group's SIV || ciphertext, before encoding

  quillon::Result<std::int64_t, Fault> size(std::string_view v) { return token_chars(v.size()); }
  template <typename Rows, typename Out>
  std::optional<RowFault> write(const Rows& rows, const std::uint8_t* bits, Out& out) {
    return in_groups(rows.length, bits, [&](const std::int64_t* idx, std::size_t n) -> std::optional<RowFault> {
      std::string_view plain[kGroup];
      std::uint8_t* outs[kGroup];
      std::size_t bytes = 0;
      for (std::size_t k = 0; k < n; ++k) {
        const std::size_t size = qc::base64url_decoded_size(out.slot_size(idx[k])).value() - qc::kSivTag;
        if (!value_of_size(rows, idx[k], size, plain[k])) return RowFault{Fault::Changed, idx[k]};
        bytes += qc::kSivTag + size;
      }
      sealed.resize(bytes);
      for (std::size_t k = 0, at = 0; k < n; at += qc::kSivTag + plain[k].size(), ++k) outs[k] = sealed.data() + at;
      key.siv().seal_many(key.header(), plain, n, outs);
      for (std::size_t k = 0; k < n; ++k) {
        qc::base64url_encode(outs[k], qc::kSivTag + plain[k].size(), out.slot(idx[k]));
      }
      return std::nullopt;
    });
  }
};

struct OpenKind {
  const EncryptKey& key;
  std::vector<std::uint8_t> tokens;  // the group's decoded tokens

  quillon::Result<std::int64_t, Fault> size(std::string_view v) {
    auto bytes = qc::base64url_decoded_size(v.size());
    if (!bytes.ok()) return Fault::NotBase64url;
    if (bytes.value() < qc::kSivTag) return Fault::NotAuthentic;
    return static_cast<std::int64_t>(bytes.value() - qc::kSivTag);
  }
  template <typename Rows, typename Out>
  std::optional<RowFault> write(const Rows& rows, const std::uint8_t* bits, Out& out) {
    return in_groups(rows.length, bits, [&](const std::int64_t* idx, std::size_t n) -> std::optional<RowFault> {
      std::string_view cts[kGroup];
      std::uint8_t* outs[kGroup];
      std::size_t bytes = 0;
      for (std::size_t k = 0; k < n; ++k) bytes += qc::kSivTag + out.slot_size(idx[k]);
      tokens.resize(bytes);
      for (std::size_t k = 0, at = 0; k < n; ++k) {
        const std::size_t size = qc::kSivTag + out.slot_size(idx[k]);
        std::string_view text;
        if (!value_of_size(rows, idx[k], static_cast<std::size_t>(token_chars(size - qc::kSivTag)), text)) {
          return RowFault{Fault::Changed, idx[k]};
        }
        if (!qc::base64url_decode(text, tokens.data() + at).ok()) return RowFault{Fault::NotBase64url, idx[k]};
        cts[k] = {reinterpret_cast<const char*>(tokens.data() + at), size};
        outs[k] = reinterpret_cast<std::uint8_t*>(out.slot(idx[k]));
        at += size;
      }
      auto opened = key.siv().open_many(key.header(), cts, n, outs);
      if (!opened.ok()) return RowFault{Fault::NotAuthentic, idx[opened.error().index]};
      return std::nullopt;
    });
  }
};

// ---- fpe and its reveal -----------------------------------------------------

// One code point from s[at..n): true and `at` past it when well formed (no
// overlong form, no surrogate, at most U+10FFFF).
bool next_code_point(const std::uint8_t* s, std::size_t n, std::size_t& at, std::uint32_t& c) {
  const std::uint8_t b = s[at];
  if (b < 0x80) {
    c = b;
    ++at;
    return true;
  }
  std::size_t more;
  std::uint32_t min;
  if ((b & 0xE0) == 0xC0) {
    more = 1, min = 0x80, c = b & 0x1F;
  } else if ((b & 0xF0) == 0xE0) {
    more = 2, min = 0x800, c = b & 0x0F;
  } else if ((b & 0xF8) == 0xF0) {
    more = 3, min = 0x10000, c = b & 0x07;
  } else {
    return false;
  }
  if (n - at <= more) return false;
  for (std::size_t k = 1; k <= more; ++k) {
    if ((s[at + k] & 0xC0) != 0x80) return false;
    c = c << 6 | (s[at + k] & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
  at += more + 1;
  return true;
}

std::size_t utf8_width(std::uint32_t c) { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

char* put_code_point(std::uint32_t c, char* out) {
  auto byte = [](std::uint32_t v) { return static_cast<char>(static_cast<std::uint8_t>(v)); };
  switch (utf8_width(c)) {
    case 1:
      *out++ = byte(c);
      break;
    case 2:
      *out++ = byte(0xC0 | c >> 6);
      *out++ = byte(0x80 | (c & 0x3F));
      break;
    case 3:
      *out++ = byte(0xE0 | c >> 12);
      *out++ = byte(0x80 | (c >> 6 & 0x3F));
      *out++ = byte(0x80 | (c & 0x3F));
      break;
    default:
      *out++ = byte(0xF0 | c >> 18);
      *out++ = byte(0x80 | (c >> 12 & 0x3F));
      *out++ = byte(0x80 | (c >> 6 & 0x3F));
      *out++ = byte(0x80 | (c & 0x3F));
  }
  return out;
}

struct FpeKind {
  const FpeKey& key;
  bool encrypt;
  // One value's code points and the numerals of those in the alphabet.
  std::vector<std::uint32_t> chars;
  std::vector<std::uint16_t> numerals;
  std::vector<std::uint32_t> slots;  // where each numeral's character sits in `chars`
  // Results of an alphabet of mixed widths, computed while sizing, since
  // their sizes are known only then; each value once, in row order.
  std::string staged;
  std::size_t staged_at = 0;

  // Longer values before the last one left bytes past size(): the whole
  // capacity is wiped.
  template <typename Vector>
  static void wipe_all(Vector& v) {
    v.resize(v.capacity());
    keyed_hash::wipe(v.data(), v.size() * sizeof(v[0]));
  }
  ~FpeKind() {
    wipe_all(chars);
    wipe_all(numerals);
    wipe_all(staged);
  }

  // The value's characters in the alphabet through FF1, every other one
  // where it was; the result in `chars`.
  std::optional<Fault> run(std::string_view v) {
    const auto* s = reinterpret_cast<const std::uint8_t*>(v.data());
    const Alphabet& a = key.alphabet();
    chars.clear(), numerals.clear(), slots.clear();
    for (std::size_t at = 0; at < v.size();) {
      std::uint32_t c;
      if (!next_code_point(s, v.size(), at, c)) return Fault::NotUtf8;
      const std::int32_t numeral = a.numeral(c);
      if (numeral >= 0) {
        numerals.push_back(static_cast<std::uint16_t>(numeral));
        slots.push_back(static_cast<std::uint32_t>(chars.size()));
      }
      chars.push_back(c);
    }
    const auto& ff1 = key.ff1();
    auto st = encrypt ? ff1.encrypt(a.radix(), key.tweak(), numerals.data(), numerals.data(), numerals.size())
                      : ff1.decrypt(a.radix(), key.tweak(), numerals.data(), numerals.data(), numerals.size());
    if (!st.ok()) return Fault::OutsideDomain;
    for (std::size_t k = 0; k < numerals.size(); ++k) chars[slots[k]] = a.character(numerals[k]);
    return std::nullopt;
  }
  char* put(char* out) const {
    for (std::uint32_t c : chars) out = put_code_point(c, out);
    return out;
  }

  quillon::Result<std::int64_t, Fault> size(std::string_view v) {
    if (key.alphabet().same_width()) return static_cast<std::int64_t>(v.size());
    if (auto f = run(v)) return *f;
    std::size_t bytes = 0;
    for (std::uint32_t c : chars) bytes += utf8_width(c);
    const std::size_t at = staged.size();
    staged.resize(at + bytes);
    put(staged.data() + at);
    return static_cast<std::int64_t>(bytes);
  }
  template <typename Rows, typename Out>
  std::optional<RowFault> write(const Rows& rows, const std::uint8_t* bits, Out& out) {
    const bool same_width = key.alphabet().same_width();
    for (std::int64_t i = 0; i < rows.length; ++i) {
      if (!valid_bit(bits, i)) continue;
      const std::size_t size = out.slot_size(i);
      char* slot = out.slot(i);
      if (!same_width) {
        std::memcpy(slot, staged.data() + staged_at, size);
        staged_at += size;
        continue;
      }
      // Read once into the output, then worked on there; the result has the
      // value's byte length.
      std::string_view v;
      if (!value_of_size(rows, i, size, v)) return RowFault{Fault::Changed, i};
      if (size > 0) std::memcpy(slot, v.data(), size);
      if (auto f = run({slot, size})) return RowFault{*f, i};
      put(slot);
    }
    return std::nullopt;
  }
};

// ---- layouts ----------------------------------------------------------------

// Sizes every valid row (one read each), allocates once, then has the kind
// write every row in place. On a fault nothing leaves and what was written
// is wiped.
template <typename Out, typename Rows, typename Kind>
MaskResult<ArrayRef> build(const Rows& rows, const Job& job, Kind& kind) {
  const bool dictionary = job.first_row != nullptr;
  QM_ASSIGN_OR_RETURN(Out out, Out::make(rows.length, rows.has_validity() || dictionary));
  std::uint8_t* bits = out.validity();
  std::int64_t nulls = rows.has_validity() ? rows.copy_validity(bits) : 0;
  if (dictionary) {
    // A value no valid row points to becomes null: never read, never in clear.
    if (!rows.has_validity()) std::memset(bits, 0xFF, static_cast<std::size_t>((rows.length + 7) / 8));
    nulls = 0;
    for (std::int64_t i = 0; i < rows.length; ++i) {
      if ((*job.first_row)[static_cast<std::size_t>(i)] < 0) bits[i >> 3] &= static_cast<std::uint8_t>(~(1u << (i & 7)));
      nulls += valid_bit(bits, i) ? 0 : 1;
    }
  }
  for (std::int64_t i = 0; i < rows.length; ++i) {
    std::int64_t n = 0;
    if constexpr (requires { Kind::kFixedSize; }) {
      n = valid_bit(bits, i) ? Kind::kFixedSize : 0;
    } else if (valid_bit(bits, i)) {
      auto sized = kind.size(rows.value(i));
      if (!sized.ok()) return job.error({sized.error(), i});
      n = sized.value();
    }
    out.size_row(i, n);
  }
  arrow_c::ArrowResult<Done> st = out.allocate();
  if (!st.ok()) return arrow_error(std::move(st).error());
  if (auto fault = kind.write(rows, bits, out)) {
    out.wipe();
    return job.error(*fault);
  }
  return std::move(out).finish(nulls);
}

template <typename Kind>
MaskResult<ArrayRef> transform_strings(const arrow_c::Array& values, const Job& job, Kind& kind) {
  auto run = [&](auto&& view, auto out_tag) -> MaskResult<ArrayRef> {
    if (!view.ok()) return arrow_error(std::move(view).error());
    return build<typename decltype(out_tag)::type>(view.value(), job, kind);
  };
  const std::string& f = values.type->format;
  if (f == "u") return run(arrow_c::read_utf8(values), std::type_identity<OffsetOut<std::int32_t>>{});
  if (f == "U") return run(arrow_c::read_large_utf8(values), std::type_identity<OffsetOut<std::int64_t>>{});
  return run(arrow_c::read_utf8_view(values), std::type_identity<ViewOut>{});
}

// The kind holds the call's own scratch, so calls share nothing.
template <typename Kind>
MaskResult<ArrayRef> transform_column(const ArrayRef& column, std::string_view name, std::int64_t first_position,
                                      Kind&& kind) {
  const arrow_c::Schema& type = *column->type;
  if (!maskable(type)) return MaskError::UnsupportedDataType(std::string(name), arrow_c::type_name(type));
  if (type.format == "n") return column;
  if (!type.dictionary) return transform_strings(*column, Job{name, first_position, nullptr}, kind);
  if (!column->dictionary) return arrow_error(arrow_c::ArrowError::Invalid("expected a dictionary, found none"));
  auto indices = arrow_c::read_dictionary_indices(*column);
  if (!indices.ok()) return arrow_error(std::move(indices).error());
  const arrow_c::DictionaryIndices& idx = indices.value();
  std::vector<std::int64_t> first_row(static_cast<std::size_t>(column->dictionary->length), -1);
  for (std::int64_t i = idx.length; i-- > 0;) {
    if (idx.valid(i)) first_row[static_cast<std::size_t>(idx.index[static_cast<std::size_t>(i)])] = i;
  }
  QM_ASSIGN_OR_RETURN(ArrayRef values, transform_strings(*column->dictionary, Job{name, first_position, &first_row}, kind));
  // The indices stay the input's; only the dictionary is new.
  auto out = std::make_shared<arrow_c::Array>(*column);
  out->dictionary = std::move(values);
  return ArrayRef(std::move(out));
}

// HMAC-SHA-256 of `data` under `key` as 32 raw bytes (the keyed hash gives hex).
void hmac_raw(std::string_view key, std::string_view data, std::uint8_t* out) {
  const keyed_hash::PreparedKey prepared(key, keyed_hash::Kernel::Portable);
  char hex[keyed_hash::kHexDigestLength];
  const keyed_hash::Message message{{}, data};
  char* const slot = hex;
  keyed_hash::MessageList one(&message, 1, &slot);
  prepared.hex_digests(one.source());
  auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
  for (std::size_t i = 0; i < sizeof(hex) / 2; ++i) {
    out[i] = static_cast<std::uint8_t>(nibble(hex[2 * i]) << 4 | nibble(hex[2 * i + 1]));
  }
  keyed_hash::wipe(hex, sizeof(hex));
}

std::unique_ptr<keyed_hash::PreparedKey> pseudonym_key(std::string_view key, const Context& context,
                                                         std::optional<keyed_hash::Kernel> kernel) {
  auto make = [&](std::string_view k) {
    return kernel ? std::make_unique<keyed_hash::PreparedKey>(k, *kernel)
                  : std::make_unique<keyed_hash::PreparedKey>(k);
  };
  if (!context || context->empty()) return make(key);
  // The context's own key, so one column's pseudonyms never match another's.
  std::string label(kPseudonymLabel);
  label += *context;
  std::uint8_t derived[32];
  hmac_raw(key, label, derived);
  auto prepared = make({reinterpret_cast<const char*>(derived), sizeof(derived)});
  keyed_hash::wipe(derived, sizeof(derived));
  return prepared;
}

}  // namespace

PseudonymKey::PseudonymKey(std::string_view key, const Context& context)
    : prepared_(pseudonym_key(key, context, std::nullopt)) {}

PseudonymKey::PseudonymKey(std::string_view key, const Context& context, keyed_hash::Kernel kernel)
    : prepared_(pseudonym_key(key, context, kernel)) {}

EncryptKey::EncryptKey(std::string_view key, const Context& context, qc::Kernel kernel)
    : siv_(qc::SivKey::derive(key, kernel)),
      header_(context && !context->empty() ? siv_->header(&*context, 1) : siv_->header(nullptr, 0)) {}

FpeKey::FpeKey(std::string_view key, const Context& context, Alphabet alphabet, qc::Kernel kernel)
    : ff1_(qc::Ff1Key::derive(key, kernel)), tweak_(context.value_or("")), alphabet_(std::move(alphabet)) {}

MaskResult<Alphabet> Alphabet::parse(std::string_view text) {
  static constexpr std::pair<std::string_view, std::string_view> kNamed[] = {
      {"digits", "0123456789"},
      {"lower", "abcdefghijklmnopqrstuvwxyz"},
      {"upper", "ABCDEFGHIJKLMNOPQRSTUVWXYZ"},
      {"alnum", "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"},
      {"hex", "0123456789abcdef"},
  };
  auto invalid = [](const char* what) { return arrow_error(arrow_c::ArrowError::Invalid(what)); };
  bool named = false;
  for (const auto& [name, chars] : kNamed) {
    if (text == name) {
      text = chars;
      named = true;
    }
  }
  // Text of the letters a-z alone reads as a name: a misspelt one must not
  // pass as an alphabet of its own letters.
  if (!named && !text.empty() &&
      std::all_of(text.begin(), text.end(), [](char c) { return c >= 'a' && c <= 'z'; })) {
    return invalid("unknown fpe alphabet name; the names are digits, lower, upper, alnum and hex");
  }
  Alphabet a;
  std::fill(std::begin(a.ascii_), std::end(a.ascii_), -1);
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  for (std::size_t at = 0; at < text.size();) {
    std::uint32_t c;
    if (!next_code_point(s, text.size(), at, c)) return invalid("the fpe alphabet is not valid UTF-8");
    if (a.numeral(c) >= 0) return invalid("the fpe alphabet repeats a character");
    if (a.chars_.size() == qc::kFf1MaxRadix) return invalid("the fpe alphabet has more than 65,536 characters");
    const auto numeral = static_cast<std::int32_t>(a.chars_.size());
    if (c < 128) {
      a.ascii_[c] = numeral;
    } else {
      a.wide_.insert(std::lower_bound(a.wide_.begin(), a.wide_.end(), std::make_pair(c, std::int32_t{-1})),
                     {c, numeral});
    }
    a.same_width_ = a.same_width_ && (a.chars_.empty() || utf8_width(c) == utf8_width(a.chars_[0]));
    a.chars_.push_back(c);
  }
  if (a.chars_.size() < 2) return invalid("the fpe alphabet has fewer than 2 characters");
  return a;
}

std::int32_t Alphabet::numeral(std::uint32_t c) const {
  if (c < 128) return ascii_[c];
  auto it = std::lower_bound(wide_.begin(), wide_.end(), std::make_pair(c, std::int32_t{-1}));
  return it != wide_.end() && it->first == c ? it->second : -1;
}

MaskResult<ArrayRef> pseudonym_column(const PseudonymKey& key, const ArrayRef& column, std::string_view name,
                                      std::int64_t first_position) {
  return transform_column(column, name, first_position, PseudonymKind{key.prepared()});
}

MaskResult<ArrayRef> encrypt_column(const EncryptKey& key, const ArrayRef& column, std::string_view name,
                                    std::int64_t first_position) {
  return transform_column(column, name, first_position, EncryptKind{key, {}});
}

MaskResult<ArrayRef> fpe_column(const FpeKey& key, const ArrayRef& column, std::string_view name,
                                std::int64_t first_position) {
  return transform_column(column, name, first_position, FpeKind{key, true, {}, {}, {}, {}, 0});
}

MaskResult<ArrayRef> reveal_column(const EncryptKey& key, const ArrayRef& column, std::string_view name,
                                   std::int64_t first_position) {
  return transform_column(column, name, first_position, OpenKind{key, {}});
}

MaskResult<ArrayRef> reveal_column(const FpeKey& key, const ArrayRef& column, std::string_view name,
                                   std::int64_t first_position) {
  return transform_column(column, name, first_position, FpeKind{key, false, {}, {}, {}, {}, 0});
}

}  // namespace quillon::mask_engine
