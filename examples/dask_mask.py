"""Masks a partitioned frame on a local Dask cluster, positions over the whole table.

Generates a source dataset as Parquet files of unequal sizes, reads it as a
Dask DataFrame with one partition per file, takes each partition's first row
over the whole table from the files' footers (row counts only, no data read),
and masks every partition with quillon_mask.arrow.mask_frame(start=...) on a
LocalCluster of two worker processes. The tokens are those of one
mask_table() of the whole table, whatever the partitioning. The masked dataset
is written to Parquet.

Run with `make demo-dask`, or directly once the module is importable:
    python examples/dask_mask.py [--rows N] [--files F] [--out DIR]

The workers are separate processes that import quillon_mask themselves: they
inherit this process's environment (PYTHONPATH for the build tree), or find
the module installed in the same environment.
"""
import argparse
import pathlib
import shutil
import tempfile
import time
from typing import Dict, List, Optional, Sequence

import dask.dataframe as dd
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
from distributed import Client, LocalCluster

from quillon_mask.arrow import mask_frame

TRANSFORMS = [
    {"column": "email", "type": "hash"},
    {"column": "name", "type": "redact"},
    {"column": "phone", "type": "null"},
    {"column": "city", "type": "pass_through"},
]
KEY = "demo-key-change-me"
CITIES = ["Lisbon", "Oslo", "Quito", "Hanoi", "Accra"]


def make_rows(first: int, count: int) -> pd.DataFrame:
    """Rows first .. first+count-1 of the source; every 7th email is null."""
    ids = range(first, first + count)
    return pd.DataFrame(
        {
            "id": pd.Series(ids, dtype="int64"),
            "email": pd.Series([None if i % 7 == 3 else f"user{i}@example.com" for i in ids], dtype=object),
            "name": pd.Series([f"Customer {i}" for i in ids], dtype=object),
            "phone": pd.Series([f"+1-555-{i % 10_000:04d}" for i in ids], dtype=object),
            "city": pd.Series([CITIES[i % len(CITIES)] for i in ids], dtype=object),
        }
    )


def write_source(directory: pathlib.Path, rows: int, files: int) -> List[pathlib.Path]:
    """`rows` rows as `files` Parquet files, file f about twice as long as file 0."""
    directory.mkdir(parents=True)
    weights = [files + f for f in range(files)]
    bounds = [0]
    for w in weights:
        bounds.append(bounds[-1] + rows * w // sum(weights))
    bounds[-1] = rows
    paths = []
    for f in range(files):
        path = directory / f"part-{f:05d}.parquet"
        make_rows(bounds[f], bounds[f + 1] - bounds[f]).to_parquet(path, index=False)
        paths.append(path)
    return paths


def running_starts(lengths: Sequence[int]) -> List[int]:
    """Each partition's first row over the whole table, from the partition lengths."""
    starts, total = [], 0
    for length in lengths:
        starts.append(total)
        total += int(length)
    return starts


def parquet_starts(paths: Sequence[pathlib.Path]) -> List[int]:
    """Partition starts for one partition per file, from the files' footers."""
    return running_starts([pq.read_metadata(p).num_rows for p in paths])


def partition_starts(ddf: dd.DataFrame) -> List[int]:
    """Partition starts for any Dask DataFrame: one pass that counts rows."""
    return running_starts(ddf.map_partitions(len).compute().tolist())


def is_text(dtype) -> bool:
    return dtype == object or isinstance(dtype, pd.StringDtype) or (
        isinstance(dtype, pd.ArrowDtype) and pa.types.is_string(dtype.pyarrow_dtype)
    )


def mask_partition(
    part: pd.DataFrame, transforms, key, starts: Sequence[int], text_dtypes: Dict[str, object], partition_info=None
) -> pd.DataFrame:
    """One partition masked at its rows' positions over the whole table.

    Text columns are given the dtypes in `text_dtypes` (the meta's) where
    they came back with others: a partition whose object column holds only
    nulls reads as Arrow type null and stays object, and pandas' "string"
    comes back from Arrow with its default storage.
    """
    out = mask_frame(part, transforms, key, start=starts[partition_info["number"]])
    differ = {c: d for c, d in text_dtypes.items() if out[c].dtype != d}
    return out.astype(differ) if differ else out


def masked_meta(meta: pd.DataFrame, transforms, key) -> pd.DataFrame:
    """The empty frame mask_partition() gives for partitions like `meta`.

    A pandas "string" column keeps its storage (Arrow stays Arrow).
    """
    out = mask_frame(meta, transforms, key)
    keep = {
        c: meta[c].dtype
        for c in out.columns
        if isinstance(meta[c].dtype, pd.StringDtype) and isinstance(out[c].dtype, pd.StringDtype)
    }
    return out.astype(keep)


def mask_dataframe(ddf: dd.DataFrame, transforms, key, starts: Optional[Sequence[int]] = None) -> dd.DataFrame:
    """`ddf` masked with positions over the whole table.

    `starts` gives each partition's first row (counted with partition_starts()
    when not given). The transforms are checked here against the columns, by
    masking the frame's empty meta, which also gives the result's dtypes: an
    unknown or unmaskable column raises ValueError before any task runs.
    """
    meta = masked_meta(ddf._meta, transforms, key)
    if starts is None:
        starts = partition_starts(ddf)
    if len(starts) != ddf.npartitions:
        raise ValueError(f"{len(starts)} partition starts for {ddf.npartitions} partitions")
    text_dtypes = {c: d for c, d in meta.dtypes.items() if is_text(d)}
    return ddf.map_partitions(mask_partition, transforms, key, list(starts), text_dtypes, meta=meta)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=400_000, help="rows in the whole dataset")
    parser.add_argument("--files", type=int, default=4, help="Parquet files, one partition each")
    parser.add_argument("--out", type=pathlib.Path, help="output directory (default: a temporary one)")
    args = parser.parse_args()

    work = pathlib.Path(tempfile.mkdtemp(prefix="qm-dask-"))
    out_dir = args.out or work / "masked"
    if out_dir.exists():
        shutil.rmtree(out_dir)
    try:
        paths = write_source(work / "source", args.rows, args.files)
        with LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster, Client(cluster) as client:
            # One partition per file, in the files' order (Dask sorts the
            # paths; the names sort as written), so the footers' row counts
            # are the partitions' lengths.
            ddf = dd.read_parquet([str(p) for p in paths], split_row_groups=False)
            lengths = [pq.read_metadata(p).num_rows for p in paths]
            print(f"{ddf.npartitions} partitions of {lengths} rows on {len(client.nthreads())} workers")
            print(ddf.dtypes.to_string())

            started = time.perf_counter()
            masked = mask_dataframe(ddf, TRANSFORMS, KEY, parquet_starts(paths))
            masked.to_parquet(out_dir, write_index=False)
            elapsed = time.perf_counter() - started

        result = pd.read_parquet(out_dir)
        pd.set_option("display.width", 200)
        pd.set_option("display.max_colwidth", 24)
        print(f"\nwrote {len(result)} rows to {out_dir}")
        print(result.head(8).to_string())
        print(f"mask_write_s={elapsed:.3f}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
