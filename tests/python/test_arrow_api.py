"""quillon_mask.arrow: any Arrow producer in, masked batches out, positions counted over the stream."""
import array
import gc
import hashlib
import hmac
import subprocess
import sys
import textwrap
import types
import weakref
from fractions import Fraction

import pandas as pd
import pyarrow as pa
import pytest

from quillon_mask import mask
from quillon_mask.arrow import mask_frame, mask_stream, mask_table

from conftest import plain, text_frame
from test_hostile_callers import PythonReleased

KINDS = ["hash", "redact", "null", "pass_through"]
VALUES = ["a@x.io", None, "", "ü@x.io", "a@x.io", "c@x.io"]
HAS_VIEW = hasattr(pa, "string_view")


def token(key, position, value):
    key = key.encode() if isinstance(key, str) else bytes(key)
    return hmac.new(key, f"{position}:{value}".encode(), hashlib.sha256).hexdigest()


def expected(kind, values, start=0, key="k"):
    def one(i, v):
        if v is None or kind == "null":
            return None
        return {"hash": token(key, start + i, v), "redact": "[REDACTED]", "pass_through": v}[kind]
    return [one(i, v) for i, v in enumerate(values)]


def expected_type(kind, in_type):
    if kind in ("hash", "redact") and pa.types.is_dictionary(in_type):
        return in_type.value_type
    return in_type


def plain_array(value_type):
    return lambda values: pa.array(values, value_type)


def dictionary(index_type, value_type):
    def make(values):
        distinct = list(dict.fromkeys(v for v in values if v is not None))
        indices = [None if v is None else distinct.index(v) for v in values]
        return pa.DictionaryArray.from_arrays(pa.array(indices, index_type), pa.array(distinct, value_type))
    return make


LAYOUTS = [
    pytest.param(plain_array(pa.string()), id="string"),
    pytest.param(plain_array(pa.large_string()), id="large_string"),
    pytest.param(dictionary(pa.int32(), pa.string()), id="dictionary-int32-string"),
    pytest.param(dictionary(pa.int8(), pa.large_string()), id="dictionary-int8-large_string"),
]
if HAS_VIEW:
    LAYOUTS += [
        pytest.param(plain_array(pa.string_view()), id="string_view"),
        pytest.param(dictionary(pa.uint32(), pa.string_view()), id="dictionary-uint32-string_view"),
    ]


def table_of(column, n=None):
    n = len(column) if n is None else n
    return pa.table({"email": column, "n": pa.array(range(n), pa.int64())})


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("layout", LAYOUTS)
def test_each_layout_masks_under_each_transform(layout, kind):
    column = layout(VALUES)
    out = mask_table(table_of(column), [{"column": "email", "type": kind}], "k")
    assert out.schema.field("email").type == expected_type(kind, column.type)
    assert out.column("email").to_pylist() == expected(kind, VALUES)
    assert out.column("n").to_pylist() == list(range(len(VALUES)))


@pytest.mark.parametrize("kind", KINDS)
def test_null_typed_column_stays_null(kind):
    out = mask_table(table_of(pa.nulls(3)), [{"column": "email", "type": kind}], "k")
    assert out.schema.field("email").type == pa.null()
    assert out.column("email").to_pylist() == [None] * 3


def batches_of(values, sizes):
    at = 0
    for size in sizes:
        yield pa.record_batch([pa.array(values[at:at + size], pa.string())], ["email"])
        at += size


WHOLE = [f"u{i}@x.io" if i % 4 else None for i in range(12)]


@pytest.mark.parametrize("sizes", [[12], [2, 3, 7], [1] * 12, [5, 0, 7]], ids=str)
@pytest.mark.parametrize("start", [0, 7, (1 << 63) - 100])
def test_positions_count_over_every_batch_from_start(sizes, start):
    reader = pa.RecordBatchReader.from_batches(pa.schema([("email", pa.string())]), batches_of(WHOLE, sizes))
    out = mask_table(reader, [{"column": "email", "type": "hash"}], "k", start=start)
    assert out.column("email").to_pylist() == expected("hash", WHOLE, start)


@pytest.mark.parametrize("k", [1, 3, 5, 11])
def test_a_slice_masked_from_its_start_matches_the_whole(k):
    table = pa.Table.from_batches(list(batches_of(WHOLE, [2, 3, 7])))
    transforms = [{"column": "email", "type": "hash"}]
    whole = mask_table(table, transforms, "k")
    assert mask_table(table.slice(k), transforms, "k", start=k).equals(whole.slice(k))


def test_start_zero_tokens_equal_those_of_mask():
    df = text_frame(email=["a@x.io", None, "b@x.io"], name=["Al", "Bo", None])
    transforms = [{"column": "email", "type": "hash"}, {"column": "name", "type": "redact"}]
    ours = mask_table(pa.Table.from_pandas(df), transforms, "k").to_pandas()
    theirs = mask(df, transforms, "k")
    for column in ("email", "name"):
        assert plain(ours[column]) == plain(theirs[column])


class ArrayOnly:
    """A producer offering one batch through __arrow_c_array__ only."""

    def __init__(self, data):
        self._data = data

    def __arrow_c_array__(self, requested_schema=None):
        return self._data.__arrow_c_array__(requested_schema)


class StreamOnly:
    def __init__(self, data):
        self._data = data

    def __arrow_c_stream__(self, requested_schema=None):
        assert requested_schema is None
        return self._data.__arrow_c_stream__(requested_schema)


SOURCE = pa.table({"email": ["a@x.io", None, "b@x.io"], "n": [1, 2, 3]})


@pytest.mark.parametrize("wrap", [
    pytest.param(lambda t: t, id="table"),
    pytest.param(lambda t: t.to_batches()[0], id="record-batch"),
    pytest.param(lambda t: pa.RecordBatchReader.from_batches(t.schema, t.to_batches()), id="reader"),
    pytest.param(lambda t: ArrayOnly(t.to_batches()[0]), id="array-capsule"),
    pytest.param(lambda t: ArrayOnly(pa.StructArray.from_arrays(t.to_batches()[0].columns, t.column_names)),
                 id="struct-array"),
    pytest.param(lambda t: StreamOnly(t), id="stream-capsule"),
    pytest.param(lambda t: t.to_pandas(), id="pandas"),
])
def test_any_arrow_producer_is_read(wrap):
    reader = mask_stream(wrap(SOURCE), [{"column": "email", "type": "hash"}], "k")
    assert isinstance(reader, pa.RecordBatchReader)
    out = reader.read_all()
    assert out.column("email").to_pylist() == expected("hash", ["a@x.io", None, "b@x.io"])
    assert out.column("n").to_pylist() == [1, 2, 3]


@pytest.mark.parametrize("data", [[1, 2], {"email": ["a"]}, None, "abc"], ids=lambda d: type(d).__name__)
def test_data_without_the_capsule_protocol_is_a_type_error(data):
    with pytest.raises(TypeError, match=f"not '{type(data).__qualname__}'"):
        mask_table(data, [{"column": "email", "type": "hash"}], "k")


RANDOM_KEY = bytes(range(256))


@pytest.mark.parametrize("key, bytes_used", [
    ("k", "k"), (b"k", "k"), (bytearray(b"k"), "k"), (memoryview(b"xkx")[1:2], "k"), (RANDOM_KEY, RANDOM_KEY),
    (array.array("B", RANDOM_KEY), RANDOM_KEY), (array.array("I", [0x6b6b6b6b]), "kkkk"), (bytearray(), ""),
], ids=["str", "bytes", "bytearray", "memoryview", "random-bytes", "array", "array-of-ints", "empty"])
def test_a_str_key_is_its_utf8_bytes_and_a_bytes_like_key_is_itself(key, bytes_used):
    out = mask_table(SOURCE, [{"column": "email", "type": "hash"}], key)
    assert out.column("email").to_pylist() == expected("hash", ["a@x.io", None, "b@x.io"], key=bytes_used)


@pytest.mark.parametrize("kwargs, error, message", [
    ({"start": True}, TypeError, "start must be an int, not 'bool'"),
    ({"start": 1.0}, TypeError, "start must be an int, not 'float'"),
    ({"start": "1"}, TypeError, "start must be an int, not 'str'"),
    ({"start": -1}, ValueError, "start must be at least 0 and below 2**63, not -1"),
    ({"start": 1 << 63}, ValueError, f"start must be at least 0 and below 2**63, not {1 << 63}"),
    ({"key": 1}, TypeError, "key must be a str, a bytes-like object or None, not 'int'"),
    ({"key": [107]}, TypeError, "key must be a str, a bytes-like object or None, not 'list'"),
    ({"key": Fraction(1)}, TypeError, "key must be a str, a bytes-like object or None, not 'Fraction'"),
    ({"key": types.SimpleNamespace()}, TypeError,
     "key must be a str, a bytes-like object or None, not 'types.SimpleNamespace'"),
])
def test_bad_start_or_key(kwargs, error, message):
    args = {"key": "k", **kwargs}
    with pytest.raises(error) as info:
        mask_table(SOURCE, [{"column": "email", "type": "hash"}], args.pop("key"), **args)
    assert str(info.value) == message


@pytest.mark.parametrize("entry", ["reader", "stream", "array"])
def test_the_native_entries_refuse_a_negative_start_in_one_place(entry):
    # A caller past arrow.py's checks meets the engine's own, for every kind of source.
    from quillon_mask import _native
    plan = _native.plan([{"column": "email", "type": "hash"}], "k", False)
    if entry == "reader":
        call = lambda: _native.open_reader(plan, SOURCE.to_reader(), -1)
    elif entry == "stream":
        call = lambda: _native.open_stream(plan, SOURCE.__arrow_c_stream__(None), -1)
    else:
        schema, data = SOURCE.to_batches()[0].__arrow_c_array__(None)
        call = lambda: _native.open_array(plan, schema, data, -1)
    with pytest.raises(ValueError) as info:
        call()
    assert str(info.value) == "expected a start position from 0 to 2^63-1, found -1"


def test_a_key_buffer_that_is_not_contiguous_is_refused():
    with pytest.raises(BufferError):
        mask_table(SOURCE, [{"column": "email", "type": "hash"}], memoryview(b"kxkx")[::2])


def test_start_is_keyword_only():
    with pytest.raises(TypeError):
        mask_table(SOURCE, [{"column": "email", "type": "hash"}], "k", 3)


class Watched:
    """A generator-backed reader that records how far its source was read and when it is dropped."""

    def __init__(self, batches, fail_at=None):
        self.read = 0
        self.dropped = False
        state = self

        class Token:
            pass

        token_ = Token()
        weakref.finalize(token_, setattr, self, "dropped", True)

        def generate(holder=token_):
            for i, batch in enumerate(batches):
                if i == fail_at:
                    raise RuntimeError(f"source broke at batch {i + 1}")
                state.read += 1
                yield batch

        self.reader = pa.RecordBatchReader.from_batches(batches[0].schema, generate())


THREE = list(batches_of(["a", "b", None, "d", "e", "f"], [2, 2, 2]))


def released(watched):
    gc.collect()
    return watched.dropped


@pytest.mark.parametrize("transforms, message", [
    ([{"column": "emial", "type": "hash"}], "column 'emial' is not in the data; its columns are: email"),
    ([{"column": "email", "type": "hash"}, {"column": "n", "type": "redact"}],
     "column 'n' is not in the data; its columns are: email"),
    ([{"column": "email", "type": "hash"}], None),
])
def test_fail_closed_before_any_batch_is_read(transforms, message):
    watched = Watched(THREE)
    key = None if message is None else "k"
    with pytest.raises(ValueError) as info:
        mask_stream(watched.reader, transforms, key)
    assert str(info.value) == (message or "HMAC key required for Hash transform")
    assert watched.read == 0
    del info, watched.reader
    assert released(watched)


@pytest.mark.parametrize("column, type_name", [
    (pa.array([1, 2]), "Int64"),
    (pa.array([b"x", b"y"]), "Binary"),
    (pa.array([[1], [2]]), "List(Int64)"),
])
def test_a_column_that_cannot_be_masked_fails_closed(column, type_name):
    table = pa.table({"email": column})
    with pytest.raises(ValueError) as info:
        mask_table(table, [{"column": "email", "type": "redact"}], "k")
    assert str(info.value) == f"column 'email' has type {type_name}, which cannot be masked"


@pytest.mark.parametrize("transforms, error, message", [
    ([{"column": "email", "type": "hash"}] * 2, ValueError, "transform already configured for column 'email'"),
    ([{"column": "email", "type": "x"}], ValueError, "Unknown transform: x"),
    ([{"type": "hash"}], ValueError, "Missing 'column'"),
    ([("email", "hash")], ValueError, "Expected dict: 'tuple' object cannot be converted to 'PyDict'"),
    ([{"column": 1, "type": "hash"}], TypeError, "'int' object cannot be converted to 'PyString'"),
    ([], ValueError, "Pipeline error: no columns specified for masking"),
    ((), TypeError, "argument 'transforms': 'tuple' object cannot be converted to 'PyList'"),
])
def test_bad_transform_list_leaves_the_reader_unread(transforms, error, message):
    watched = Watched(THREE)
    with pytest.raises(error) as info:
        mask_stream(watched.reader, transforms, "k")
    assert str(info.value) == message
    assert watched.reader.read_all().num_rows == 6


def test_source_error_in_batch_3_reaches_the_consumer():
    watched = Watched(THREE, fail_at=2)
    reader = mask_stream(watched.reader, [{"column": "email", "type": "hash"}], "k")
    first, second = reader.read_next_batch(), reader.read_next_batch()
    assert first.column(0).to_pylist() + second.column(0).to_pylist() == expected("hash", ["a", "b", None, "d"])
    with pytest.raises(Exception, match="source broke at batch 3"):
        reader.read_next_batch()
    del reader, watched.reader
    assert released(watched)


@pytest.mark.parametrize("reads", [0, 1, 3])
def test_a_reader_stopped_early_or_never_read_releases_everything(reads):
    before = pa.total_allocated_bytes()
    batches = list(batches_of([f"v{i}" * 50 for i in range(30)], [10, 10, 10]))
    watched = Watched(batches)
    del batches
    reader = mask_stream(watched.reader, [{"column": "email", "type": "hash"}], "k")
    # At most one batch is read ahead of the consumer.
    assert watched.read <= 1
    got = [reader.read_next_batch() for _ in range(reads)]
    assert watched.read <= reads + 1
    del got, reader, watched.reader
    assert released(watched)
    assert pa.total_allocated_bytes() == before


@pytest.mark.parametrize("transforms, error", [
    ([{"column": "email", "type": "hash"}], None),
    ([{"column": "missing", "type": "hash"}], ValueError),
])
def test_an_array_producer_is_released_once(transforms, error):
    source = PythonReleased(SOURCE.to_batches()[0])
    if error is None:
        out = mask_table(source, transforms, "k")
        assert out.column("email").to_pylist() == expected("hash", ["a@x.io", None, "b@x.io"])
        del out
    else:
        with pytest.raises(error):
            mask_table(source, transforms, "k")
    gc.collect()
    assert source.releases == 1


def buffer_addresses(array):
    return [b.address for chunk in array.chunks for b in chunk.buffers() if b is not None]


def test_unconfigured_columns_and_metadata_pass_through_uncopied():
    schema = pa.schema([
        pa.field("email", pa.string(), nullable=False, metadata={b"pii": b"yes"}),
        pa.field("keep", pa.string(), metadata={b"note": b"x"}),
        pa.field("level", pa.dictionary(pa.int8(), pa.string())),
    ], metadata={b"owner": b"team"})
    table = pa.table([pa.array(["a", "b"]), pa.array(["k1", None]),
                      pa.array(["lo", "hi"]).dictionary_encode().cast(schema.field("level").type)], schema=schema)
    out = mask_table(table, [{"column": "email", "type": "redact"}, {"column": "level", "type": "pass_through"}],
                     "k")
    assert out.schema.equals(schema, check_metadata=True)
    assert out.column("email").to_pylist() == ["[REDACTED]"] * 2
    for name in ("keep", "level"):
        assert out.column(name).equals(table.column(name))
        assert buffer_addresses(out.column(name)) == buffer_addresses(table.column(name))


def test_the_result_of_mask_table_can_be_exported_again():
    out = mask_table(SOURCE, [{"column": "email", "type": "hash"}], "k")
    again = [pa.RecordBatchReader._import_from_c_capsule(out.__arrow_c_stream__()).read_all() for _ in range(2)]
    assert all(t.equals(out) for t in again)


INDEXED = text_frame(email=["a@x.io", "b@x.io"], n=[1, 2])


@pytest.mark.parametrize("index", [
    pytest.param(lambda df: df, id="range"),
    pytest.param(lambda df: df.set_index("n"), id="named"),
])
def test_mask_frame_gives_pandas_back_with_its_index(index):
    df = index(INDEXED)
    out = mask_frame(df, [{"column": "email", "type": "hash"}], "k")
    assert isinstance(out, pd.DataFrame)
    assert plain(out["email"]) == expected("hash", ["a@x.io", "b@x.io"])
    assert list(out.columns) == list(df.columns)
    assert out.index.equals(df.index)


@pytest.mark.parametrize("data", [
    pytest.param(SOURCE, id="table"),
    pytest.param(pa.RecordBatchReader.from_batches(SOURCE.schema, SOURCE.to_batches()), id="reader"),
])
def test_mask_frame_gives_a_table_for_other_producers(data):
    out = mask_frame(data, [{"column": "email", "type": "hash"}], "k")
    assert isinstance(out, pa.Table)
    assert out.column("email").to_pylist() == expected("hash", ["a@x.io", None, "b@x.io"])


def test_mask_frame_imports_neither_pandas_nor_polars():
    # pyarrow itself imports pandas on many calls, so both are made
    # unimportable instead: the glue must not need them.
    code = """
        import sys

        class Block:
            def find_spec(self, name, path=None, target=None):
                if name.partition(".")[0] in ("pandas", "polars"):
                    raise ImportError(name)

        sys.meta_path.insert(0, Block())
        import pyarrow as pa
        from quillon_mask.arrow import mask_frame
        out = mask_frame(pa.table({"email": ["a"]}), [{"column": "email", "type": "redact"}], "k")
        assert isinstance(out, pa.Table), type(out)
        print(out.column("email").to_pylist())
    """
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.strip() == "['[REDACTED]']"


def test_pandas_str_frame_masks_with_its_index_and_no_cast():
    if int(pd.__version__.split(".")[0]) < 3:
        pytest.skip("pandas 3 only (its default str columns are large_string)")
    df = pd.DataFrame({"email": ["a@x.io", None, "b@x.io"], "n": [1, 2, 3]},
                      index=pd.Index(["r1", "r2", "r3"], name="row"))
    assert str(df["email"].dtype) == "str"
    out = mask_frame(df, [{"column": "email", "type": "hash"}], "k")
    assert out.index.equals(df.index)
    assert plain(out["email"]) == expected("hash", ["a@x.io", None, "b@x.io"])


def test_polars_round_trip():
    pl = pytest.importorskip("polars")
    df = pl.DataFrame({"email": ["a@x.io", None, "b@x.io"], "city": ["Oslo", "Rome", "Oslo"], "n": [1, 2, 3]},
                      schema_overrides={"city": pl.Categorical})
    out = mask_frame(df, [{"column": "email", "type": "hash"}, {"column": "city", "type": "redact"}], "k")
    assert isinstance(out, pl.DataFrame)
    assert out["email"].to_list() == expected("hash", ["a@x.io", None, "b@x.io"])
    assert out["city"].to_list() == ["[REDACTED]"] * 3
    assert out["n"].to_list() == [1, 2, 3]
    table = mask_table(df, [{"column": "email", "type": "hash"}], "k", start=5)
    assert table.column("email").to_pylist() == expected("hash", ["a@x.io", None, "b@x.io"], start=5)


POLARS_ROWS = ["a@x.io", None, "b@x.io", "", "c@x.io"] * 40


@pytest.mark.parametrize("kind", [
    pytest.param(lambda pl, df: df.lazy(), id="lazy"),
    pytest.param(lambda pl, df: pl.concat([df.lazy()] * 3).filter(pl.col("n") % 2 == 0), id="lazy-query"),
    pytest.param(lambda pl, df: df.lazy().filter(pl.col("n") < 0), id="lazy-empty"),
])
@pytest.mark.parametrize("start", [0, 9])
def test_polars_lazy_frame_masks_in_row_order_into_a_data_frame(kind, start):
    pl = pytest.importorskip("polars")
    df = pl.DataFrame({"email": POLARS_ROWS, "n": range(len(POLARS_ROWS))})
    lazy = kind(pl, df)
    rows = lazy.collect()
    out = mask_frame(lazy, [{"column": "email", "type": "hash"}], "k", start=start)
    assert isinstance(out, pl.DataFrame)
    assert out.columns == ["email", "n"] and out["n"].to_list() == rows["n"].to_list()
    assert out["email"].to_list() == expected("hash", rows["email"].to_list(), start=start)
    table = mask_table(lazy, [{"column": "email", "type": "redact"}], "k")
    assert table.column("email").to_pylist() == expected("redact", rows["email"].to_list())


def test_polars_lazy_frame_runs_only_once_read():
    pl = pytest.importorskip("polars")
    ran = []
    lazy = pl.LazyFrame({"email": ["a"]}).map_batches(lambda df: ran.append(1) or df)
    with pytest.raises(ValueError, match="phone"):
        mask_frame(lazy, [{"column": "phone", "type": "hash"}], "k")
    reader = mask_stream(lazy, [{"column": "email", "type": "hash"}], "k")
    del reader  # never read: the query never starts, and dropping it does not wait
    assert ran == []


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("name", ["email", ""])
def test_polars_series_comes_back_as_a_series_of_its_name_and_length(kind, name):
    pl = pytest.importorskip("polars")
    series = pl.Series(name, VALUES)
    out = mask_frame(series, [{"column": name, "type": kind}], "k", start=3)
    assert isinstance(out, pl.Series)
    assert (out.name, len(out)) == (name, len(VALUES))
    assert out.to_list() == expected(kind, VALUES, start=3)


def test_duckdb_round_trip():
    duckdb = pytest.importorskip("duckdb")
    con = duckdb.connect()
    con.execute("CREATE TYPE level AS ENUM ('lo', 'hi')")
    rel = con.sql("SELECT * FROM (VALUES ('a@x.io', 'lo'::level, 1), (NULL, 'hi'::level, 2), "
                  "('b@x.io', 'hi'::level, 3)) t(email, level, n) ORDER BY n")
    out = mask_table(rel, [{"column": "email", "type": "hash"}, {"column": "level", "type": "redact"}], "k")
    assert out.column("email").to_pylist() == expected("hash", ["a@x.io", None, "b@x.io"])
    assert out.column("level").to_pylist() == ["[REDACTED]"] * 3
    # DuckDB scans a masked stream on its own threads, without the GIL; the
    # relation's result holds its connection meanwhile, so another one reads.
    reader = mask_stream(rel, [{"column": "email", "type": "redact"}], "k")
    other = duckdb.connect()
    rows = other.sql("SELECT email, n FROM reader ORDER BY n").fetchall()
    assert rows == [("[REDACTED]", 1), (None, 2), ("[REDACTED]", 3)]
    # And reads the masked table back, exporting it more than once.
    assert other.sql("SELECT count(*) FROM out WHERE email IS NOT NULL").fetchall() == [(2,)]
