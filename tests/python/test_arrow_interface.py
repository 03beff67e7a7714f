"""Batches crossing the C Data Interface: what is trusted, what is checked, what is shared."""
import numpy as np
import pandas as pd
import pyarrow as pa
import pytest

from quillon_mask import mask

from conftest import Producer, masked, plain, set_field, token

ARROW_INVALID = "Masking failed: arrow error: Invalid: "


def utf8(values, bitmap=None, null_count=-1):
    """A Utf8 array over raw buffers, and its offsets as a numpy array that writes through."""
    offsets = np.cumsum([0] + [len(v.encode()) for v in values]).astype(np.int32)
    data = "".join(values).encode()
    validity = None if bitmap is None else pa.py_buffer(bitmap)
    array = pa.Array.from_buffers(
        pa.string(), len(values), [validity, pa.py_buffer(offsets), pa.py_buffer(data)], null_count=null_count)
    return array, offsets


@pytest.fixture
def run(fake_batches, monkeypatch):
    """mask() over the given batches; returns the frame and the batches handed to from_batches."""
    def call(batches, transforms, key="k"):
        fake_batches(lambda table: list(batches))
        handed = []
        real_from_batches = pa.Table.from_batches

        def from_batches(out):
            handed.extend(out)
            return real_from_batches(out)

        monkeypatch.setattr(pa.Table, "from_batches", staticmethod(from_batches))
        return mask(pd.DataFrame({"unused": [0]}), transforms, key), handed
    return call


def null_count_says_all_null(run):
    n = 1000
    bad = pa.Array.from_buffers(pa.string(), n, [
        pa.py_buffer(b"\xff" * 125), pa.py_buffer(np.arange(n + 1, dtype=np.int32).tobytes()),
        pa.py_buffer(b"x" * n)], null_count=n)
    df = pd.DataFrame({"email": pd.arrays.ArrowExtensionArray(pa.chunked_array([bad]))})
    return lambda t: mask(df, t, "k"), ["x"] * n, [True] * n


def null_count_says_none(run):
    # pyarrow drops a bitmap it is told has no nulls, so the count is
    # rewritten in the exported struct, as a careless producer might send it.
    values = [f"v{i}" for i in range(21)]
    bitmap = b"\x55\xaa\x0f"
    array, _ = utf8(values, bitmap)
    batch = pa.RecordBatch.from_arrays([array], ["email"])
    valid = [bool(bitmap[i // 8] >> (i % 8) & 1) for i in range(len(values))]
    return lambda t: run([Producer(batch, set_field("null_count", 0, column=0))], t)[0], values, valid


@pytest.mark.parametrize("bend, problem", [
    (set_field("length", 4), "column 0 ('email'): expected at least 4 rows, found 3"),
    (set_field("length", -1, column=1), "column 1 ('n'): expected a length of at least 0, found -1"),
    (set_field("offset", -2, column=0), "column 0 ('email'): expected an offset of at least 0, found -2"),
    (set_field("n_buffers", 2, column=0), "column 0 ('email'): expected 3 buffers for format 'u', found 2"),
    (set_field("null_count", 7, column=1), "column 1 ('n'): expected a null_count from -1 to 3, found 7"),
])
def test_malformed_structure_is_refused_at_import(run, bend, problem):
    batch = pa.RecordBatch.from_arrays(
        [pa.array(["a", None, "c"], pa.string()), pa.array([1, 2, 3])], ["email", "n"])
    with pytest.raises(ValueError) as info:
        run([Producer(batch, bend=bend)], [{"column": "email", "type": "hash"}])
    assert str(info.value) == "Conversion failed: ValueError: " + problem


@pytest.mark.parametrize("kind", ["hash", "redact", "null", "pass_through"])
@pytest.mark.parametrize("source", [null_count_says_all_null, null_count_says_none])
def test_nulls_come_from_the_bitmap_not_the_null_count(run, source, kind):
    call, values, valid = source(run)
    out = call([{"column": "email", "type": kind}])
    assert plain(out["email"]) == masked(kind, [v if ok else None for v, ok in zip(values, valid)])


IN_EMAIL = ARROW_INVALID + "column 0 ('email'): "


def offset_at(at, value):
    def spoil(offsets):
        offsets[at] = value
    return spoil


def pyarrow_batch(batch):
    return batch


decreasing, negative_inside, negative_first, past_the_values = (
    offset_at(1, 1_000_000), offset_at(1, -1), offset_at(0, -1), offset_at(2, 1_000_000))


@pytest.mark.parametrize("kind", ["hash", "redact", "pass_through"])
@pytest.mark.parametrize("spoil, wrap, prefix", [
    pytest.param(decreasing, pyarrow_batch, IN_EMAIL, id="decreasing"),
    pytest.param(decreasing, Producer, IN_EMAIL, id="decreasing-producer"),
    pytest.param(negative_inside, pyarrow_batch, IN_EMAIL, id="negative"),
    pytest.param(negative_first, Producer, IN_EMAIL, id="negative-first-producer"),
    # pyarrow's own checks see these before the batch is imported.
    pytest.param(negative_first, pyarrow_batch, "Conversion failed: ArrowInvalid: ", id="negative-first"),
    pytest.param(past_the_values, pyarrow_batch, "Conversion failed: ArrowInvalid: ", id="past-the-values"),
])
def test_bad_offsets_in_a_read_column_fail(run, spoil, wrap, prefix, kind):
    array, offsets = utf8(["a", "b"])
    batch = pa.RecordBatch.from_arrays([array], ["email"])
    spoil(offsets)  # after pyarrow's checks: the offsets buffer is shared, not copied
    with pytest.raises(ValueError) as info:
        run([wrap(batch)], [{"column": "email", "type": kind}])
    assert str(info.value).startswith(prefix)


@pytest.mark.parametrize("columns, transforms, bad", [
    pytest.param({"ssn\x00": ["123-45-6789"]}, [{"column": "ssn\x00", "type": "hash"}], ["ssn\x00"],
                 id="configured"),
    pytest.param({"e\x00x": ["a"], "e\x00y": ["b"], "email": ["c"]}, [{"column": "email", "type": "hash"}],
                 ["e\x00x", "e\x00y"], id="not-configured"),
    pytest.param({"ssn\x00b": ["123-45-6789"]}, [{"column": "ssn", "type": "hash"}], ["ssn\x00b"],
                 id="prefix-configured"),
])
def test_column_name_with_nul_fails(columns, transforms, bad):
    df = pd.DataFrame({name: pd.Series(values, dtype=object) for name, values in columns.items()})
    with pytest.raises(ValueError) as info:
        mask(df, transforms, "k")
    message = str(info.value)
    assert message.startswith("Conversion failed: ValueError: column name ")
    assert any(repr(name) in message for name in bad)


@pytest.mark.parametrize("column", [
    pytest.param(pa.StructArray.from_arrays([pa.array([1])], ["a\x00b"]), id="struct-child"),
    pytest.param(pa.array([[1]], pa.list_(pa.field("a\x00b", pa.int64()))), id="list-item"),
    pytest.param(pa.DictionaryArray.from_arrays(
        pa.array([0], pa.int32()), pa.StructArray.from_arrays([pa.array([1])], ["a\x00b"])), id="dictionary-value"),
])
def test_nested_field_name_with_nul_fails(run, column):
    batch = pa.RecordBatch.from_arrays([pa.array(["x"]), column], ["email", "nested"])
    with pytest.raises(ValueError) as info:
        run([batch], [{"column": "email", "type": "hash"}])
    assert str(info.value).startswith("Conversion failed: ValueError: field name 'a\\x00b' holds a NUL")


FIRST = pa.RecordBatch.from_arrays([pa.array(["a@x.io", None])], ["email"])


@pytest.mark.parametrize("second", [
    pytest.param(pa.RecordBatch.from_arrays([pa.array(["b@x.io"], pa.large_string())], ["email"]), id="large"),
    pytest.param(pa.RecordBatch.from_arrays([pa.array([7])], ["email"]), id="int64"),
    pytest.param(pa.RecordBatch.from_arrays([pa.array(["b@x.io"])], ["mail"]), id="renamed"),
    pytest.param(pa.RecordBatch.from_arrays([pa.array(["b@x.io"]), pa.array(["c"])], ["email", "extra"]),
                 id="extra-column"),
])
def test_batches_with_different_schemas_fail(run, second):
    with pytest.raises(ValueError) as info:
        run([Producer(FIRST), Producer(second)], [{"column": "email", "type": "hash"}])
    message = str(info.value)
    assert message.startswith("Conversion failed: ValueError: ")
    assert "schema" in message


def test_batches_with_equal_schemas_continue_positions(run):
    second = pa.RecordBatch.from_arrays([pa.array(["b@x.io", "c@x.io"])], ["email"])
    out, _ = run([Producer(FIRST), Producer(second)], [{"column": "email", "type": "hash"}])
    values = ["a@x.io", None, "b@x.io", "c@x.io"]
    assert plain(out["email"]) == masked("hash", values)


def test_configured_large_string_column_fails():
    df = pd.DataFrame({"email": pd.Series(["a@x.io"], dtype=pd.ArrowDtype(pa.large_string()))})
    with pytest.raises(ValueError) as info:
        mask(df, [{"column": "email", "type": "hash"}], "k")
    assert str(info.value) == ARROW_INVALID + "column 0 ('email') is Utf8 but its field is LargeUtf8"


def test_large_string_column_masks_once_cast_to_string():
    df = pd.DataFrame({"email": pd.Series(["a@x.io", None], dtype=pd.ArrowDtype(pa.large_string()))})
    out = mask(df.astype({"email": pd.ArrowDtype(pa.string())}), [{"column": "email", "type": "hash"}], "k")
    assert plain(out["email"]) == [token("k", 0, "a@x.io"), None]


def addresses(array):
    return {b.address for b in array.buffers() if b is not None and b.size > 0}


def test_other_columns_pass_through_unchanged_and_uncopied(run):
    batch = pa.RecordBatch.from_arrays([
        pa.array(["a@x.io", None, "c@x.io"]),
        pa.StructArray.from_arrays([pa.array([1, 2, 3]), pa.array(["p", None, "r"])], ["i", "s"]),
        pa.array([[1], [2, 3], None], pa.list_(pa.int64())),
        pa.DictionaryArray.from_arrays(pa.array([0, 1, 0], pa.int32()), pa.array(["lo", "hi"])),
        pa.array(["keep", "these", None]),
    ], ["email", "point", "items", "level", "note"])
    others = ["point", "items", "level", "note"]
    want = pa.Table.from_batches([batch]).to_pandas()[others]
    out, handed = run([batch], [{"column": "email", "type": "hash"}])
    [result] = handed
    pd.testing.assert_frame_equal(out[others], want)
    for name in others:
        assert result.column(name).equals(batch.column(name))
        assert addresses(result.column(name)) == addresses(batch.column(name)), name
    assert not addresses(result.column("email")) & addresses(batch.column("email"))


OWNED = pa.schema([pa.field("email", pa.string(), nullable=False), pa.field("n", pa.int64())],
                  metadata={b"owner": b"team"})
OWNED_BATCH = pa.RecordBatch.from_arrays([pa.array(["a@x.io", "b@x.io"]), pa.array([1, 2])], schema=OWNED)


@pytest.mark.parametrize("kind", ["hash", "redact", "pass_through"])
def test_output_carries_the_input_schema(run, kind):
    out, handed = run([OWNED_BATCH], [{"column": "email", "type": kind}])
    assert handed
    assert all(b.schema.equals(OWNED, check_metadata=True) for b in handed)
    assert plain(out["email"]) == masked(kind, ["a@x.io", "b@x.io"])


def test_null_transform_on_a_non_nullable_column_fails(run):
    with pytest.raises(ValueError) as info:
        run([OWNED_BATCH], [{"column": "email", "type": "null"}])
    assert str(info.value).startswith(ARROW_INVALID + "column 0 ('email') is declared non-nullable")


EMAILS = ["a0", None, "a2", "a3", None, "a5", "a6", "a7", None, "a9", ""]
NAMES = [None if i % 3 == 0 else f"n{i}" for i in range(len(EMAILS))]
WHOLE = pa.RecordBatch.from_arrays([pa.array(EMAILS), pa.array(NAMES)], ["email", "name"])


# (start, length) of each batch; odd starts put the validity bits mid-byte.
@pytest.mark.parametrize("slices", [[(3, 5)], [(1, 3), (4, 5)], [(0, 3), (3, 7), (10, 1)], [(5, 6)]], ids=str)
def test_sliced_batches_mask_the_rows_they_show(run, slices):
    out, _ = run([WHOLE.slice(start, length) for start, length in slices],
                 [{"column": "email", "type": "hash"}, {"column": "name", "type": "redact"}])
    emails = [v for start, length in slices for v in EMAILS[start:start + length]]
    names = [v for start, length in slices for v in NAMES[start:start + length]]
    assert plain(out["email"]) == masked("hash", emails)
    assert plain(out["name"]) == masked("redact", names)
