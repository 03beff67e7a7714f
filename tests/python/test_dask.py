"""Dask partitions masked at their rows' positions over the whole table.

Runs the example's mask_dataframe(), imported as a module, on a local
cluster of two worker processes, over several partition layouts of the same
rows, and compares
each result with one mask_table() of the whole table. Skipped when dask or
distributed is not installed; the workers import quillon_mask from the
environment they inherit.
"""
import pandas as pd
import pyarrow as pa
import pytest

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

from conftest import plain, token  # noqa: E402
from sample_data import import_example  # noqa: E402
from quillon_mask.arrow import mask_table  # noqa: E402

KEY = "partition-key"
ROWS = 101
WAIT_S = 60
TRANSFORMS = [
    {"column": "email", "type": "hash"},
    {"column": "ssn", "type": "hash"},
    {"column": "city", "type": "hash"},
    {"column": "name", "type": "redact"},
    {"column": "phone", "type": "null"},
    {"column": "note", "type": "pass_through"},
]
HASHED = ["email", "ssn", "city"]


@pytest.fixture(scope="module")
def example():
    return import_example("dask_mask")


def text(values, nulls_every, dtype):
    return pd.Series([None if i % nulls_every == 0 else v for i, v in enumerate(values)], dtype=dtype)


@pytest.fixture(scope="module")
def source():
    """One frame with a text column of each pandas kind, nulls in every one."""
    ids = range(ROWS)
    return pd.DataFrame(
        {
            "id": pd.Series(ids, dtype="int64"),
            "email": text([f"user{i}@example.com" for i in ids], 5, object),
            "ssn": text([f"{i:03d}-55-{i * 37 % 10_000:04d}" for i in ids], 6, pd.StringDtype("pyarrow")),
            "city": text([["Oslo", "Quito", "Accra"][i % 3] for i in ids], 9, "category"),
            "name": text([f"Name {i}" for i in ids], 7, pd.ArrowDtype(pa.string())),
            "phone": text([f"+1-555-{i:04d}" for i in ids], 4, object),
            "note": text([f"note {i}" for i in ids], 8, pd.StringDtype("pyarrow")),
        }
    )


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
    ) as cluster, distributed.Client(cluster, timeout=WAIT_S) as c:
        yield c


def in_memory(npartitions, keep=None):
    """A layout of `npartitions` from_pandas partitions, rows filtered by `keep`."""

    def layout(example, client, df, tmp_path):
        ddf = dd.from_pandas(df, npartitions=npartitions, sort=False)
        if keep is not None:
            ddf = ddf[keep(ddf)]
            df = df[keep(df)]
        assert ddf.npartitions == npartitions
        return ddf, df, example.partition_starts(ddf)

    return layout


def parquet_files(sizes):
    """One Parquet file, and so one partition, per entry of `sizes`."""

    def layout(example, client, df, tmp_path):
        assert sum(sizes) == len(df)
        directory = tmp_path / "source"
        directory.mkdir()
        paths, first = [], 0
        for number, size in enumerate(sizes):
            paths.append(directory / f"part-{number:05d}.parquet")
            df.iloc[first : first + size].to_parquet(paths[-1], index=False)
            first += size
        ddf = dd.read_parquet([str(p) for p in paths], split_row_groups=False)
        starts = example.parquet_starts(paths)
        # The footers' row counts are the partitions' lengths, in order.
        assert starts == example.partition_starts(ddf)
        return ddf, df, starts

    return layout


LAYOUTS = {
    "3-partitions": in_memory(3),
    "7-partitions": in_memory(7),
    # Partition 1 of 4 (rows 26..51) is filtered away entirely.
    "filtered-empty-partition": in_memory(4, keep=lambda f: ~f["id"].between(26, 51)),
    "parquet-unequal-files": parquet_files([40, 1, 23, 37]),
}


def run(client, ddf):
    """`ddf` computed on the cluster, its partitions concatenated in order.

    Not through to_delayed(), which turns object text into "string[pyarrow]"
    on the way out and so would hide a meta that differs from the result.
    """
    return client.compute(ddf).result(timeout=WAIT_S)


def columns(frame):
    """Every column's values as Python objects, nulls as None."""
    table = pa.Table.from_pandas(frame, preserve_index=False)
    return {name: table.column(name).to_pylist() for name in table.column_names}


@pytest.mark.parametrize("layout", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_partitions_get_the_tokens_of_one_whole_table_run(example, client, source, tmp_path, layout):
    ddf, rows, starts = layout(example, client, source, tmp_path)
    masked = example.mask_dataframe(ddf, TRANSFORMS, KEY, starts)
    out = run(client, masked)

    # The declared meta is what the workers return.
    assert out.dtypes.to_dict() == masked.dtypes.to_dict()
    whole = mask_table(pa.Table.from_pandas(rows, preserve_index=False), TRANSFORMS, KEY)
    assert columns(out) == {name: whole.column(name).to_pylist() for name in whole.column_names}

    # Tokens at the rows' positions in the whole table, nulls kept.
    for column in HASHED:
        expected = [None if v is None else token(KEY, i, v) for i, v in enumerate(plain(rows[column]))]
        assert plain(out[column]) == expected, column
    assert out["name"].isna().tolist() == rows["name"].isna().tolist()
    assert out["phone"].isna().all()
    assert plain(out["note"]) == plain(rows["note"])
    assert out["id"].tolist() == rows["id"].tolist()
    clear = {v for c in HASHED for v in plain(rows[c]) if v is not None}
    assert not clear & {v for c in out.columns if c != "id" for v in plain(out[c])}


@pytest.mark.parametrize(
    "transforms, key, starts, message",
    [
        ([{"column": "e-mail", "type": "hash"}], KEY, None, "e-mail"),
        ([{"column": "id", "type": "redact"}], KEY, None, "id"),
        ([{"column": "email", "type": "hash"}], None, None, "HMAC key required for Hash transform"),
        # Starts counted for another partitioning.
        ([{"column": "email", "type": "hash"}], KEY, [0, 50], "2 partition starts for 3 partitions"),
    ],
    ids=["unknown-column", "integer-column", "hash-without-key", "stale-starts"],
)
def test_a_bad_configuration_fails_before_any_task(example, client, source, transforms, key, starts, message):
    ddf = dd.from_pandas(source, npartitions=3, sort=False)
    with distributed.get_task_stream(client) as tasks:
        with pytest.raises(ValueError, match=message):
            example.mask_dataframe(ddf, transforms, key, starts)
    # Not even the pass that counts the partitions' rows.
    assert tasks.data == []
