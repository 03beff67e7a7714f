"""Masks a Parquet dataset on a local Spark session, positions over the whole table.

Generates a source dataset as Parquet files, reads it with Spark (`local[2]`),
counts the rows of each partition in one pass that reads no column, and masks
every partition with DataFrame.mapInArrow: the partition's record batches go
through quillon_mask.arrow.mask_stream, starting at the partition's first row
over the whole table. The tokens are those of one mask_table() of the table in
Spark's row order, whatever the partitioning. The masked dataset is written to
Parquet.

Run with `make demo-spark`, or directly once the module is importable:
    python examples/spark_mask.py [--rows N] [--files F] [--out DIR]
                                  [--batch-rows R] [--large-var-types]

Spark starts its Python workers with PYSPARK_PYTHON, set here to this
interpreter unless it is set already, so they have pyarrow and the module; they
inherit this process's PYTHONPATH (the build tree under make).
"""
import argparse
import itertools
import os
import pathlib
import shutil
import sys
import tempfile
import time
from typing import Callable, Dict, Iterator, List, Optional

import pyarrow as pa
import pyarrow.parquet as pq

TRANSFORMS = [
    {"column": "email", "type": "hash"},
    {"column": "name", "type": "redact"},
    {"column": "phone", "type": "null"},
    {"column": "city", "type": "pass_through"},
]
KEY = "demo-key-change-me"
CITIES = ["Lisbon", "Oslo", "Quito", "Hanoi", "Accra"]


def make_rows(first: int, count: int) -> pa.Table:
    """Rows first .. first+count-1 of the source; every 7th email is null."""
    ids = range(first, first + count)
    return pa.table(
        {
            "id": pa.array(ids, pa.int64()),
            "email": [None if i % 7 == 3 else f"user{i}@example.com" for i in ids],
            "name": [f"Customer {i}" for i in ids],
            "phone": [f"+1-555-{i % 10_000:04d}" for i in ids],
            "city": [CITIES[i % len(CITIES)] for i in ids],
        }
    )


def write_source(directory: pathlib.Path, rows: int, files: int) -> None:
    """`rows` rows as `files` Parquet files of (nearly) equal size."""
    directory.mkdir(parents=True)
    bounds = [rows * f // files for f in range(files + 1)]
    for f in range(files):
        pq.write_table(make_rows(bounds[f], bounds[f + 1] - bounds[f]), directory / f"part-{f:05d}.parquet")


def spark_session(master: str = "local[2]", conf: Optional[Dict[str, str]] = None):
    """A quiet local session whose Python workers run this interpreter."""
    os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
    os.environ.setdefault("SPARK_LOCAL_IP", "127.0.0.1")
    from pyspark.sql import SparkSession

    builder = (
        SparkSession.builder.master(master)
        .appName("quillon_mask")
        .config("spark.driver.host", "127.0.0.1")
        .config("spark.driver.bindAddress", "127.0.0.1")
        .config("spark.ui.enabled", "false")
        .config("spark.ui.showConsoleProgress", "false")
    )
    for name, value in (conf or {}).items():
        builder = builder.config(name, value)
    spark = builder.getOrCreate()
    spark.sparkContext.setLogLevel("ERROR")
    return spark


def partition_starts(df) -> Dict[int, int]:
    """Each non-empty partition's first row, counted over the whole DataFrame.

    One job that projects no column (Parquet reads no data for it); a
    partition is numbered as mapInArrow's tasks over the same DataFrame are.
    The source must give the same rows in the same partitions on every read
    (files do; persist() anything else first).
    """
    from pyspark.sql import functions as F

    counts = df.select(F.spark_partition_id().alias("partition")).groupBy("partition").count().collect()
    starts, total = {}, 0
    for partition, count in sorted((r["partition"], r["count"]) for r in counts):
        starts[partition] = total
        total += count
    return starts


def partition_masker(
    transforms: List[dict], key, starts: Dict[int, int]
) -> Callable[[Iterator[pa.RecordBatch]], Iterator[pa.RecordBatch]]:
    """The mapInArrow function: a partition's batches through mask_stream.

    It runs on the workers, which import quillon_mask themselves.
    """

    def mask_partition(batches: Iterator[pa.RecordBatch]) -> Iterator[pa.RecordBatch]:
        from pyspark import TaskContext

        from quillon_mask.arrow import mask_stream

        first = next(batches, None)
        if first is None:
            return
        source = pa.RecordBatchReader.from_batches(first.schema, itertools.chain([first], batches))
        yield from mask_stream(source, transforms, key, start=starts[TaskContext.get().partitionId()])

    return mask_partition


def mask_dataframe(df, transforms: List[dict], key):
    """`df` masked with positions over the whole DataFrame; its schema unchanged.

    The transforms are checked against the schema here, before any job: an
    unknown or unmaskable column raises ValueError on the driver.
    """
    from pyspark.sql.pandas.types import to_arrow_schema

    from quillon_mask.arrow import mask_table

    mask_table(to_arrow_schema(df.schema).empty_table(), transforms, key)
    return df.mapInArrow(partition_masker(transforms, key, partition_starts(df)), df.schema)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=400_000, help="rows in the whole dataset")
    parser.add_argument("--files", type=int, default=4, help="Parquet files of the source")
    parser.add_argument("--out", type=pathlib.Path, help="output directory (default: a temporary one)")
    parser.add_argument("--batch-rows", type=int, default=10_000, help="spark.sql.execution.arrow.maxRecordsPerBatch")
    parser.add_argument("--large-var-types", action="store_true", help="spark.sql.execution.arrow.useLargeVarTypes")
    args = parser.parse_args()

    work = pathlib.Path(tempfile.mkdtemp(prefix="qm-spark-"))
    out_dir = args.out or work / "masked"
    if out_dir.exists():
        shutil.rmtree(out_dir)
    source = work / "source"
    write_source(source, args.rows, args.files)
    spark = spark_session(
        conf={
            "spark.sql.execution.arrow.maxRecordsPerBatch": str(args.batch_rows),
            "spark.sql.execution.arrow.useLargeVarTypes": str(args.large_var_types).lower(),
        }
    )
    try:
        df = spark.read.parquet(str(source))
        print(f"{df.rdd.getNumPartitions()} partitions of {args.rows} rows in all, on {spark.sparkContext.master}")
        df.printSchema()

        started = time.perf_counter()
        mask_dataframe(df, TRANSFORMS, KEY).write.parquet(str(out_dir))
        elapsed = time.perf_counter() - started

        result = spark.read.parquet(str(out_dir))
        print(f"wrote {result.count()} rows to {out_dir}")
        result.orderBy("id").show(8, truncate=24)
        print(f"mask_write_s={elapsed:.3f}")
    finally:
        spark.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
