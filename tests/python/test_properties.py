"""Properties of mask(), mask_table and mask_stream over random tables.

Tables of the five maskable layouts (string, large_string, string_view,
dictionary, null) with nulls, cut into random batches, sliced, masked from
a random `start` under random transform lists; every output column is
checked against a pure-Python oracle (`hmac`) and validate(full=True).
Profiles (HYPOTHESIS_PROFILE): "dev" (the default, random, about 30 s in
all), "ci" (the same examples on every run) and "asan" (fewer, for the
sanitizer build).
"""
import os

import pandas as pd
import pyarrow as pa
import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

from quillon_mask import mask
from quillon_mask.arrow import mask_stream, mask_table

from conftest import token

_common = dict(deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
settings.register_profile("dev", max_examples=200, **_common)
settings.register_profile("ci", max_examples=200, derandomize=True, database=None, **_common)
settings.register_profile("asan", max_examples=20, derandomize=True, database=None, **_common)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "dev"))

KINDS = ["hash", "redact", "null", "pass_through"]
HAS_VIEW = hasattr(pa, "string_view")
LAYOUTS = ["string", "large_string", "dict_int8", "dict_int32_large", "null"]
if HAS_VIEW:
    LAYOUTS += ["string_view", "dict_uint16_view"]

# Short and long values (a string view keeps up to 12 bytes inline), empty
# strings, non-ASCII text and NULs.
values = st.one_of(st.none(), st.text(max_size=20), st.sampled_from(["", "a@x.io", "\x00", "é" * 7]))


def build(layout, rows):
    if layout == "null":
        return pa.nulls(len(rows))
    plain = {"string": pa.string(), "large_string": pa.large_string()}
    if layout in plain:
        return pa.array(rows, plain[layout])
    if layout == "string_view":
        return pa.array(rows, pa.string_view())
    index, value = {"dict_int8": (pa.int8(), pa.string()),
                    "dict_int32_large": (pa.int32(), pa.large_string()),
                    "dict_uint16_view": (pa.uint16(), pa.string_view() if HAS_VIEW else None)}[layout]
    distinct = list(dict.fromkeys(v for v in rows if v is not None))
    indices = pa.array([None if v is None else distinct.index(v) for v in rows], index)
    return pa.DictionaryArray.from_arrays(indices, pa.array(distinct, value))


def expected(kind, column, key, start):
    rows = column.to_pylist()
    if kind == "pass_through" or pa.types.is_null(column.type):
        return rows
    if kind == "null":
        return [None] * len(rows)
    if kind == "redact":
        return [None if v is None else "[REDACTED]" for v in rows]
    return [None if v is None else token(key, start + i, v) for i, v in enumerate(rows)]


@st.composite
def cases(draw):
    n = draw(st.integers(0, 40))
    layouts = draw(st.lists(st.sampled_from(LAYOUTS), min_size=1, max_size=4))
    table = pa.table({f"c{i}": build(layout, draw(st.lists(values, min_size=n, max_size=n)))
                      for i, layout in enumerate(layouts)})
    # A slice of the table, cut into batches at random points.
    begin = draw(st.integers(0, n))
    table = table.slice(begin, draw(st.integers(0, n - begin)))
    cuts = sorted(draw(st.lists(st.integers(0, table.num_rows), max_size=3)))
    bounds = [0] + cuts + [table.num_rows]
    batches = [b for lo, hi in zip(bounds, bounds[1:]) for b in table.slice(lo, hi - lo).to_batches()]
    table = pa.Table.from_batches(batches, table.schema)
    # Each column configured or not, in a random order.
    kinds = {name: draw(st.sampled_from(KINDS + [None])) for name in table.column_names}
    transforms = [{"column": c, "type": k} for c, k in kinds.items() if k is not None]
    transforms = draw(st.permutations(transforms))
    key = draw(st.one_of(st.text(min_size=1, max_size=8), st.binary(max_size=40)))
    start = draw(st.integers(0, 2**62))
    return table, kinds, transforms, key, start


def check(out, table, kinds, key, start):
    assert out.schema.names == table.schema.names
    assert out.num_rows == table.num_rows
    for name in table.column_names:
        column = table.column(name).combine_chunks() if table.num_rows else table.column(name)
        got = out.column(name)
        got.validate(full=True)
        kind = kinds[name] or "pass_through"
        assert got.to_pylist() == expected(kind, column, key, start), (name, kind)
        if kind in ("hash", "redact") and pa.types.is_dictionary(column.type):
            assert got.type == column.type.value_type
        elif kind != "null":
            assert got.type == column.type


@given(cases())
def test_mask_table_matches_the_oracle(case):
    table, kinds, transforms, key, start = case
    if not transforms:
        with pytest.raises(ValueError, match="no columns specified"):
            mask_table(table, transforms, key, start=start)
        return
    out = mask_table(table, transforms, key, start=start)
    out.validate(full=True)
    check(out, table, kinds, key, start)


@given(cases(), st.integers(1, 7))
def test_mask_stream_over_batches_matches_the_oracle(case, chunk):
    table, kinds, transforms, key, start = case
    if not transforms:
        return
    source = pa.RecordBatchReader.from_batches(table.schema, table.to_batches(max_chunksize=chunk))
    batches = list(mask_stream(source, transforms, key, start=start))
    out = pa.Table.from_batches(batches, batches[0].schema if batches else None) if batches else None
    if out is None:
        assert table.num_rows == 0
        return
    check(out, table, kinds, key, start)


@given(cases(), st.data())
def test_pieces_masked_from_their_start_give_the_whole(case, data):
    table, kinds, transforms, key, start = case
    if not transforms:
        return
    cut = data.draw(st.integers(0, table.num_rows))
    whole = mask_table(table, transforms, key, start=start)
    first = mask_table(table.slice(0, cut), transforms, key, start=start)
    second = mask_table(table.slice(cut), transforms, key, start=start + cut)
    assert pa.concat_tables([first, second]).to_pylist() == whole.to_pylist()


@given(st.lists(st.lists(values, min_size=2, max_size=2), min_size=1, max_size=30),
       st.sampled_from(KINDS), st.sampled_from(KINDS), st.text(min_size=1, max_size=8))
def test_mask_of_a_frame_matches_the_oracle(rows, first, second, key):
    # A column without any str is not text to pandas and pyarrow.
    assume(all(any(isinstance(r[i], str) for r in rows) for i in (0, 1)))
    df = pd.DataFrame({"a": pd.Series([r[0] for r in rows], dtype=object),
                       "b": pd.Series([r[1] for r in rows], dtype=object)})
    out = mask(df, [{"column": "a", "type": first}, {"column": "b", "type": second}], key=key)
    for name, kind in (("a", first), ("b", second)):
        column = pa.array(df[name].tolist(), pa.string())
        got = [None if pd.isna(v) else v for v in out[name].tolist()]
        assert got == expected(kind, column, key, 0), (name, kind)


@given(st.lists(st.one_of(
    st.fixed_dictionaries({"column": st.sampled_from(["a", "b", "zz"]),
                           "type": st.sampled_from(KINDS + ["Hash", "mask"])}),
    st.fixed_dictionaries({"column": st.sampled_from(["a", "b"])})), max_size=4))
def test_transform_lists_fail_closed(transforms):
    """A list is taken whole or refused with ValueError before any row is read."""
    table = pa.table({"a": pa.array(["x", None], pa.string()), "b": pa.array(["y", "z"], pa.large_string())})
    columns = [t.get("column") for t in transforms]
    bad = (not transforms or any("type" not in t or t["type"] not in KINDS for t in transforms)
           or len(set(columns)) < len(columns) or "zz" in columns)
    if bad:
        with pytest.raises(ValueError):
            mask_table(table, transforms, "k")
    else:
        kinds = {"a": None, "b": None, **{t["column"]: t["type"] for t in transforms}}
        check(mask_table(table, transforms, "k"), table, kinds, "k", 0)
