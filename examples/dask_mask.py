"""Masks a partitioned frame on a local Dask cluster, one mask() per partition.

Generates a source dataset as Parquet (one file per partition, text columns
both object and Arrow-backed), reads it back as a Dask DataFrame, masks each
partition with mask() on a LocalCluster of two worker processes and writes
the masked dataset to Parquet.

Run with `make demo-dask`, or directly once the module is importable:
    python examples/dask_mask.py [--rows N] [--partitions P] [--out DIR]
                                 [--whole-dataset-positions]

The workers are separate processes that import quillon_mask themselves: they
inherit this process's environment (PYTHONPATH for the build tree), or find
the module installed in the same environment.
"""
import argparse
import pathlib
import shutil
import tempfile
import time

import dask
import dask.dataframe as dd
import numpy as np
import pandas as pd
import pyarrow as pa
from distributed import Client, LocalCluster

from quillon_mask import mask

TRANSFORMS = [
    {"column": "email", "type": "hash"},
    {"column": "name", "type": "redact"},
    {"column": "phone", "type": "null"},
    {"column": "city", "type": "pass_through"},
]
KEY = "demo-key-change-me"
ARROW_TEXT = pd.ArrowDtype(pa.string())
# How the text columns travel: mask() takes object columns and Arrow `string`
# columns, not pandas' "string[pyarrow]" (large_string to pyarrow).
TEXT_DTYPES = {"email": object, "name": ARROW_TEXT, "phone": object, "city": ARROW_TEXT}
CITIES = np.array(["Lisbon", "Oslo", "Quito", "Hanoi", "Accra"], dtype=object)


def make_partition(number, rows):
    """Rows number*rows .. (number+1)*rows - 1 of the source, every 7th email null."""
    ids = np.arange(number * rows, (number + 1) * rows)
    email = np.array([f"user{i}@example.com" for i in ids], dtype=object)
    email[ids % 7 == 3] = None
    return pd.DataFrame(
        {
            "id": ids,
            "email": email,
            "name": pd.array([f"Customer {i}" for i in ids], dtype=ARROW_TEXT),
            "phone": np.array([f"+1-555-{i % 10_000:04d}" for i in ids], dtype=object),
            "city": pd.array(CITIES[ids % len(CITIES)], dtype=ARROW_TEXT),
        },
        index=pd.RangeIndex(number * rows, (number + 1) * rows),
    )


def masked_dtype(dtype):
    """The dtype mask() gives back a masked column of `dtype` in.

    Masked columns are text: object when they went in as object, pandas'
    "string[pyarrow]" when they went in Arrow-backed (pyarrow restores that
    dtype from the frame's pandas metadata).
    """
    return object if dtype == object else pd.StringDtype("pyarrow")


def masked_meta(dtypes, transforms):
    """The column dtypes of what mask() gives for partitions of `dtypes`,
    as the `meta` of map_partitions."""
    masked = {t["column"] for t in transforms}
    return {c: masked_dtype(d) if c in masked else d for c, d in dtypes.items()}


def mask_from(part, transforms, key, starts, partition_info=None):
    """mask() of a partition with hash positions counted over the whole dataset.

    mask() counts positions from 0 in every call, and null rows take positions
    too while staying null. So `start` null rows put in front of the hashed
    columns move the partition's rows to positions start.., the tokens a single
    mask() of the whole dataset gives them. The cost grows with `start`: the
    last partition hashes past as many null rows as the dataset has before it.
    """
    start = starts[partition_info["number"]]
    hashed = [t for t in transforms if t["type"] == "hash"]
    others = [t for t in transforms if t["type"] != "hash"]
    out = mask(part, others, key) if others else part.copy()
    if not hashed:
        return out
    # One object column per hashed column, so pyarrow makes one Utf8 chunk.
    padded = pd.DataFrame(
        {
            t["column"]: np.concatenate(
                [np.full(start, None, dtype=object), part[t["column"]].to_numpy(dtype=object, na_value=None)]
            )
            for t in hashed
        }
    )
    tokens = mask(padded, hashed, key)
    for t in hashed:
        c = t["column"]
        out[c] = tokens[c].iloc[start:].set_axis(part.index).astype(masked_dtype(part[c].dtype))
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=100_000, help="rows per partition")
    parser.add_argument("--partitions", type=int, default=4)
    parser.add_argument("--out", type=pathlib.Path, help="output directory (default: a temporary one)")
    parser.add_argument(
        "--whole-dataset-positions",
        action="store_true",
        help="hash with positions over the whole dataset, as one mask() of it would",
    )
    args = parser.parse_args()

    work = pathlib.Path(tempfile.mkdtemp(prefix="qm-dask-"))
    out_dir = args.out or work / "masked"
    if out_dir.exists():
        shutil.rmtree(out_dir)
    # Off, Dask would turn object text columns into "string[pyarrow]", which
    # mask() refuses; the columns keep the dtypes they were written with.
    dask.config.set({"dataframe.convert-string": False})

    try:
        with LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster, Client(cluster) as client:
            source = work / "source"
            meta = make_partition(0, 0)
            dd.from_map(make_partition, range(args.partitions), rows=args.rows, meta=meta).to_parquet(source, write_index=False)

            ddf = dd.read_parquet(source).astype(TEXT_DTYPES)
            print(f"{ddf.npartitions} partitions of {args.rows} rows on {len(client.nthreads())} workers")
            print(ddf.dtypes.to_string())

            started = time.perf_counter()
            out_meta = masked_meta(ddf.dtypes, TRANSFORMS)
            if args.whole_dataset_positions:
                lengths = ddf.map_partitions(len).compute().tolist()
                starts = np.concatenate([[0], np.cumsum(lengths)[:-1]]).tolist()
                masked = ddf.map_partitions(mask_from, TRANSFORMS, KEY, starts, meta=out_meta)
            else:
                masked = ddf.map_partitions(mask, TRANSFORMS, KEY, meta=out_meta)
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
