#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <functional>
#include <string>
#include <type_traits>

#include "arrow_c/bridge.h"
#include "arrow_c/schema.h"
#include "test_util.h"

// Under ASan an allocation no memory can hold returns null, as malloc does,
// instead of aborting the binary. Exported: gcc's shared ASan runtime looks
// it up dynamically.
extern "C" __attribute__((visibility("default"))) const char* __asan_default_options() {
  return "allocator_may_return_null=1";
}

namespace quillon::arrow_c {
namespace {

using testing::batch_node;
using testing::Node;
using testing::Produced;
using testing::Rows;
using testing::named;
using testing::utf8;

const Rows kEmails = {std::string("alice@example.com"), std::nullopt, std::string("bob@example.com"),
                      std::string(""), std::string("carol@example.com")};

Node emails_batch() { return batch_node({named(utf8(kEmails), "email")}); }
Node dictionary_batch() {
  return batch_node({named(testing::dictionary_indexed("i", {0, 1}, utf8({std::string("a"), std::string("b")})), "d")});
}
// A struct column of `rows` rows over a child of two.
Node struct_batch(std::int64_t rows) {
  return batch_node({named(testing::struct_of({named(testing::int64s({1, 2}), "x")}, rows), "s")});
}

struct RefusalCase {
  const char* name;
  std::function<Node()> root;
  std::function<void(Produced&)> bend;  // applied to the produced structs
  std::string message;                  // expected in the refusal
};

class ImportRefusals : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(ImportRefusals, RefusesAndReleasesBothStructs) {
  const auto& c = GetParam();
  const int before = testing::producer_releases().load();
  {
    Produced p(c.root());
    if (c.bend) c.bend(p);
    auto r = import_record_batch(&p.schema, &p.array);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().code(), ArrowError::Code::Invalid);
    EXPECT_NE(r.error().message().find(c.message), std::string::npos) << r.error().message();
    EXPECT_EQ(p.schema.release, nullptr);
    EXPECT_EQ(p.array.release, nullptr);
  }
  EXPECT_EQ(testing::producer_releases().load(), before + 1);
}

Node nested(int depth) {
  Node n = named(testing::int64s({1}), "leaf");
  for (int d = 0; d < depth; ++d) n = named(testing::struct_of({n}, 1), "s");
  return batch_node({n});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ImportRefusals,
    ::testing::Values(
        RefusalCase{"negative_length", emails_batch,
                    [](Produced& p) { p.array.children[0]->length = -1; },
                    "column 0 ('email'): expected a length of at least 0, found -1"},
        RefusalCase{"negative_offset", emails_batch,
                    [](Produced& p) { p.array.children[0]->offset = -4; },
                    "column 0 ('email'): expected an offset of at least 0, found -4"},
        RefusalCase{"null_count_below_unknown", emails_batch,
                    [](Produced& p) { p.array.children[0]->null_count = -2; },
                    "expected a null_count from -1 to 5, found -2"},
        RefusalCase{"null_count_past_length", emails_batch,
                    [](Produced& p) { p.array.children[0]->null_count = 6; },
                    "expected a null_count from -1 to 5, found 6"},
        RefusalCase{"buffer_count", emails_batch,
                    [](Produced& p) { p.array.children[0]->n_buffers = 2; },
                    "column 0 ('email'): expected 3 buffers for format 'u', found 2"},
        RefusalCase{"nulls_without_bitmap", emails_batch,
                    [](Produced& p) { p.array.children[0]->buffers[0] = nullptr; },
                    "expected a validity buffer for 1 nulls, found none"},
        RefusalCase{"column_shorter_than_batch", emails_batch,
                    [](Produced& p) { p.array.length = 6; },
                    "column 0 ('email'): expected at least 6 rows, found 5"},
        RefusalCase{"struct_child_shorter_than_struct", [] { return struct_batch(3); }, nullptr,
                    "column 0 ('s'): child 0 ('x'): expected at least 3 rows, found 2"},
        RefusalCase{"children_count", emails_batch, [](Produced& p) { p.array.n_children = 0; },
                    "expected 1 children as the schema says, found 0"},
        RefusalCase{"missing_dictionary", dictionary_batch,
                    [](Produced& p) { p.array.children[0]->dictionary = nullptr; },
                    "column 0 ('d'): expected a dictionary, found none"},
        RefusalCase{"unknown_format", emails_batch,
                    [](Produced& p) { p.schema.children[0]->format = "q"; },
                    "unsupported format 'q'"},
        RefusalCase{"list_without_child", emails_batch,
                    [](Produced& p) { p.schema.children[0]->format = "+l"; },
                    "format '+l' expects 1 children, found 0"},
        RefusalCase{"root_not_struct", [] { return testing::int64s({1}); }, nullptr,
                    "expected a struct array (format '+s'), found format 'l'"},
        RefusalCase{"root_with_nulls", emails_batch, [](Produced& p) { p.array.null_count = 1; },
                    "expected a struct array without nulls, found 1"},
        RefusalCase{"nesting_too_deep", [] { return nested(70); }, nullptr,
                    "nests deeper than 64 levels"},
        // offset + length must not wrap on any node: a leaf, a struct's
        // child, a dictionary, with and without nulls.
        RefusalCase{"leaf_offset_overflows", emails_batch,
                    [](Produced& p) { p.array.children[0]->offset = INT64_MAX; },
                    "column 0 ('email'): offset and length overflow"},
        RefusalCase{"leaf_without_nulls_offset_overflows", emails_batch,
                    [](Produced& p) {
                      p.array.children[0]->offset = INT64_MAX - 2;
                      p.array.children[0]->null_count = 0;
                      p.array.children[0]->buffers[0] = nullptr;
                    },
                    "column 0 ('email'): offset and length overflow"},
        RefusalCase{"leaf_end_past_2_to_the_59", emails_batch,
                    [](Produced& p) { p.array.children[0]->offset = (std::int64_t{1} << 59) - 4; },
                    "expected offset + length of at most 2^59, found offset 576460752303423484 and length 5"},
        RefusalCase{"struct_child_offset_overflows", [] { return struct_batch(2); },
                    [](Produced& p) { p.array.children[0]->children[0]->offset = INT64_MAX; },
                    "column 0 ('s'): child 0 ('x'): offset and length overflow"},
        RefusalCase{"dictionary_offset_overflows", dictionary_batch,
                    [](Produced& p) { p.array.children[0]->dictionary->offset = INT64_MAX; },
                    "column 0 ('d'): dictionary: offset and length overflow"},
        // A metadata length read from the producer's memory is checked
        // before it moves the read position.
        RefusalCase{"metadata_length_past_int32", emails_batch,
                    [](Produced& p) {
                      static const std::int32_t huge_key[] = {1, 0x7fffffff};
                      p.schema.children[0]->metadata = reinterpret_cast<const char*>(huge_key);
                    },
                    "schema metadata has a negative length or passes 2147483647 bytes"},
        RefusalCase{"metadata_value_length_past_int32", emails_batch,
                    [](Produced& p) {
                      static const std::int32_t huge_value[] = {1, 0, 0x7ffffff9};
                      p.schema.metadata = reinterpret_cast<const char*>(huge_value);
                    },
                    "schema metadata has a negative length or passes 2147483647 bytes"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Import, SharesBuffersAndReleasesTheProducerOnceWhenTheLastViewDies) {
  const int before = testing::producer_releases().load();
  Node root = batch_node({named(utf8(kEmails), "email"), named(testing::int64s({1, 2, 3, 4, 5}), "n")});
  root.offset = 1;
  root.length = 3;
  std::optional<RecordBatch> batch;
  const void* email_values = nullptr;
  {
    Produced p(root);
    email_values = p.array.children[0]->buffers[2];
    auto r = import_record_batch(&p.schema, &p.array);
    ASSERT_TRUE(r.ok()) << r.error().to_string();
    batch = std::move(r).value();
  }
  // The structs were moved in; the producer's data lives on in the batch.
  EXPECT_EQ(testing::producer_releases().load(), before);
  ASSERT_EQ(batch->columns.size(), 2u);
  EXPECT_EQ(batch->num_rows, 3);
  EXPECT_EQ(batch->columns[0]->buffers[2], email_values);
  // The struct's own offset carries over to its children.
  EXPECT_EQ(testing::rows_of(*batch->columns[0]), Rows(kEmails.begin() + 1, kEmails.begin() + 4));
  ArrayRef kept = batch->columns[1];
  batch.reset();
  EXPECT_EQ(testing::producer_releases().load(), before);
  kept.reset();
  EXPECT_EQ(testing::producer_releases().load(), before + 1);
}

struct ViewCase {
  const char* name;
  std::vector<std::int32_t> offsets;
  std::string message;  // empty: accepted
};

class Utf8Reads : public ::testing::TestWithParam<ViewCase> {};

TEST_P(Utf8Reads, OffsetsAreCheckedBeforeAnyRead) {
  const auto& c = GetParam();
  Node n = utf8(Rows(c.offsets.size() - 1, std::string()));
  n.buffers[1] = testing::detail::bytes_of(c.offsets);
  n.buffers[2] = testing::Bytes(64, 'x');
  auto view = read_utf8(*testing::column(n));
  if (c.message.empty()) {
    ASSERT_TRUE(view.ok()) << view.error().to_string();
  } else {
    ASSERT_FALSE(view.ok());
    EXPECT_EQ(view.error().message(), c.message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Utf8Reads,
    ::testing::Values(
        ViewCase{"well_formed", {0, 1, 1, 4}, ""},
        ViewCase{"decreasing", {0, 60, 2}, "offsets decrease at row 1 (expected at least 60, found 2)"},
        ViewCase{"negative_first", {-3, 0, 2}, "expected a first offset of at least 0, found -3"},
        ViewCase{"negative_later", {0, -2147483647 - 1}, "offsets decrease at row 0 (expected at least 0, found -2147483648)"},
        // -2 - 2147483647 wraps to a positive step in 32 bits.
        ViewCase{"decrease_wider_than_int32", {0, 2147483647, -2, 5},
                 "offsets decrease at row 1 (expected at least 2147483647, found -2)"}),
    [](const auto& info) { return std::string(info.param.name); });

template <typename T>
ArrowResult<Done> status_of(const ArrowResult<T>& r) {
  if (r.ok()) return Done{};
  return r.error();
}

// Outputs are sized from a producer's row count; one that no memory holds
// is an OutOfMemory error, never an abort.
TEST(Builders, OutputsPastAnyMemoryFailAsOutOfMemory) {
  constexpr std::int64_t kRows = std::int64_t{1} << 58;  // a 2^55-byte bitmap
  const std::pair<const char*, ArrowResult<Done>> cases[] = {
      {"null utf8", status_of(make_null_utf8(kRows))},
      {"null utf8 view", status_of(make_null_array(utf8_view_type(), kRows))},
      {"large utf8", status_of(LargeUtf8Builder::allocate(kRows, /*with_validity=*/false))},
      {"utf8 view", status_of(StringViewBuilder::allocate(kRows, /*with_validity=*/true))},
  };
  for (const auto& [name, st] : cases) {
    ASSERT_FALSE(st.ok()) << name;
    EXPECT_EQ(st.error().code(), ArrowError::Code::OutOfMemory) << name << ": " << st.error().to_string();
  }
}

TEST(Utf8Reads, MissingBuffersAndMisalignedOffsets) {
  Node no_offsets = utf8({std::string("a")});
  no_offsets.buffers[1] = std::nullopt;
  EXPECT_EQ(read_utf8(*testing::column(no_offsets)).error().message(),
            "expected an offsets buffer, found none");
  Node no_values = utf8({std::string("a")});
  no_values.buffers[2] = std::nullopt;
  EXPECT_EQ(read_utf8(*testing::column(no_values)).error().message(),
            "expected a values buffer, found none");
  // Offsets at an odd address are read from an aligned copy.
  Node odd = utf8(kEmails);
  odd.misalign = 1;
  const ArrayRef column = testing::column(odd);
  EXPECT_EQ(testing::rows_of(*column), kEmails);
  // The copy moves with the view (ASan sees a read of a dead one); a view
  // is never copied, since a copy would point into the original's.
  static_assert(!std::is_copy_constructible_v<Utf8Strings> && !std::is_copy_assignable_v<Utf8Strings>);
  Utf8Strings moved;
  {
    auto read = read_utf8(*column);
    ASSERT_TRUE(read.ok());
    Utf8Strings first = std::move(read).value();
    moved = std::move(first);
  }
  ASSERT_NE(moved.aligned_offsets, nullptr);
  EXPECT_EQ(moved.value(2), *kEmails[2]);
}

TEST(Export, EveryNodeIsReleasedOnItsOwnAndKeepsTheProducerAlive) {
  const int before = testing::producer_releases().load();
  ArrowArray out;
  const void* struct_child_values = nullptr;
  {
    Node dict = testing::dictionary_indexed("i", {1, 0, 1}, utf8({std::string("x"), std::string("y")}));
    Node inner = testing::struct_of({named(testing::int64s({7, 8, 9}), "v")}, 3);
    Node root = batch_node({named(utf8({std::string("a"), std::nullopt, std::string("c")}), "email"),
                            named(inner, "s"), named(dict, "d"),
                            named(utf8({std::string("p"), std::string("q"), std::string("r")}), "x")});
    root.children[0].null_count = -1;  // unknown: counted on the way out
    RecordBatch batch = testing::import(root);
    struct_child_values = batch.columns[1]->children[0]->buffers[1];
    RecordBatch masked = batch;
    masked.columns[3] = make_null_utf8(3).value();
    ASSERT_TRUE(export_record_batch(masked, &out).ok());
  }
  ASSERT_EQ(out.n_children, 4);
  EXPECT_EQ(out.length, 3);
  EXPECT_EQ(out.children[0]->null_count, 1);
  EXPECT_EQ(out.children[3]->null_count, 3);
  EXPECT_EQ(out.children[1]->children[0]->buffers[1], struct_child_values);
  // A consumer moves the struct column and the dictionary out, then
  // releases the rest: the producer's data must outlive it.
  ArrowArray moved_struct = *out.children[1];
  out.children[1]->release = nullptr;
  ArrowArray moved_dict = *out.children[2]->dictionary;
  out.children[2]->dictionary->release = nullptr;
  out.release(&out);
  EXPECT_EQ(testing::producer_releases().load(), before);
  EXPECT_EQ(static_cast<const std::int64_t*>(moved_struct.children[0]->buffers[1])[2], 9);
  moved_struct.release(&moved_struct);
  EXPECT_EQ(testing::producer_releases().load(), before);
  EXPECT_EQ(moved_dict.length, 2);
  moved_dict.release(&moved_dict);
  EXPECT_EQ(testing::producer_releases().load(), before + 1);
}

TEST(Export, SchemaRoundTripKeepsNamesFlagsAndMetadata) {
  // One pair: "k\0y" -> "v" (metadata bytes may hold NULs).
  std::string metadata("\x01\x00\x00\x00\x03\x00\x00\x00k\0y\x01\x00\x00\x00v", 16);
  Node root = batch_node({named(utf8({std::string("a")}), "email", false),
                          named(testing::dictionary_indexed("i", {0}, utf8({std::string("a")})), "d")});
  root.metadata = metadata;
  root.children[1].flags |= ARROW_FLAG_DICTIONARY_ORDERED;
  RecordBatch batch = testing::import(root);
  ASSERT_EQ(batch.schema->metadata, metadata);
  ArrowSchema out;
  ASSERT_TRUE(export_schema(batch.schema, &out).ok());
  auto copy = copy_schema(out);
  ASSERT_TRUE(copy.ok());
  EXPECT_TRUE(same_schema(*copy.value(), *batch.schema));
  EXPECT_FALSE(copy.value()->children[0]->nullable());
  ArrowSchema moved = *out.children[1];
  out.children[1]->release = nullptr;
  out.release(&out);
  EXPECT_STREQ(moved.dictionary->format, "u");
  moved.release(&moved);
}

TEST(Export, StreamYieldsEachBatchThenEnds) {
  RecordBatch batch = testing::import(emails_batch());
  ArrowArrayStream stream;
  ASSERT_TRUE(export_stream(batches_reader(batch.schema, {batch, slice(batch, 1, 2)}), &stream).ok());
  ArrowSchema schema;
  ASSERT_EQ(stream.get_schema(&stream, &schema), 0);
  EXPECT_STREQ(schema.children[0]->name, "email");
  schema.release(&schema);
  std::vector<std::int64_t> lengths;
  for (;;) {
    ArrowArray array;
    ASSERT_EQ(stream.get_next(&stream, &array), 0);
    if (array.release == nullptr) break;
    lengths.push_back(array.children[0]->length);
    // A slice's null count is counted, never left unknown.
    EXPECT_GE(array.children[0]->null_count, 0);
    array.release(&array);
  }
  EXPECT_EQ(lengths, (std::vector<std::int64_t>{5, 2}));
  EXPECT_EQ(stream.get_last_error(&stream), nullptr);
  stream.release(&stream);
}

struct NameCase {
  std::function<Node()> node;
  std::string name;
};

class TypeNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(TypeNames, FromFormat) {
  RecordBatch batch = testing::import(batch_node({named(GetParam().node(), "c")}));
  EXPECT_EQ(type_name(*batch.schema->children[0]), GetParam().name);
}

Node formatted(const char* format, int buffers = 2) {
  Node n;
  n.format = format;
  n.buffers.assign(static_cast<std::size_t>(buffers), std::nullopt);
  return n;
}

INSTANTIATE_TEST_SUITE_P(
    Table, TypeNames,
    ::testing::Values(
        NameCase{[] { return testing::int64s({}); }, "Int64"},
        NameCase{[] { return formatted("g"); }, "Float64"},
        NameCase{[] { return formatted("b"); }, "Boolean"},
        NameCase{[] { return testing::large_utf8({}); }, "LargeUtf8"},
        NameCase{[] { return testing::string_views({std::string("x")}); }, "Utf8View"},
        NameCase{[] { return formatted("tsm:Europe/Oslo"); }, "Timestamp(Millisecond, Some(\"Europe/Oslo\"))"},
        NameCase{[] { return formatted("tsn:"); }, "Timestamp(Nanosecond, None)"},
        NameCase{[] { return formatted("d:10,2"); }, "Decimal128(10, 2)"},
        NameCase{[] { return formatted("d:40,5,256"); }, "Decimal256(40, 5)"},
        NameCase{[] { return formatted("tdD"); }, "Date32"},
        NameCase{[] { return testing::dictionary_indexed("i", {}, utf8({})); }, "Dictionary(Int32, Utf8)"},
        NameCase{[] { return testing::list_of(testing::int64s({}), {0}); }, "List(Int64)"},
        NameCase{[] { return testing::struct_of({named(testing::int64s({}), "a")}, 0); },
                 "Struct(a: Int64)"}));

TEST(SameType, ComparesChildrenNamesAndDictionaries) {
  auto field = [](Node n) { return testing::import(batch_node({named(std::move(n), "c")})).schema->children[0]; };
  auto a = field(testing::struct_of({named(testing::int64s({}), "x")}, 0));
  auto b = field(testing::struct_of({named(testing::int64s({}), "y")}, 0));
  EXPECT_TRUE(same_type(*a, *a));
  EXPECT_FALSE(same_type(*a, *b));
  EXPECT_FALSE(same_type(*field(testing::dictionary_indexed("i", {}, utf8({}))), *field(testing::fixed_width<std::int32_t>("i", {}))));
  EXPECT_TRUE(same_type(*field(utf8({})), *utf8_type()));
}

}  // namespace
}  // namespace quillon::arrow_c
