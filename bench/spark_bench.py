"""Masking through mapInArrow against an identity mapInArrow on one Spark session.

Writes ROWS rows (the example's columns) as FILES Parquet files, then on one
local[2] session runs, interleaved, best of REPEATS, each into Spark's "noop"
sink (every row computed, nothing written):
  identity  df.mapInArrow(batches passed on unchanged)
  mask      the example's mask_dataframe(): the per-partition count pass,
            then mapInArrow through mask_stream (the count pass included)
  count     the count pass alone
Batches hold spark.sql.execution.arrow.maxRecordsPerBatch rows (10,000, as
by default). Prints the times, then count_over_identity=, and last
spark_mask_over_identity=<mask / identity>.

    python bench/spark_bench.py [ROWS] [FILES] [REPEATS]
"""
import importlib.util
import pathlib
import shutil
import sys
import tempfile
import time

import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq

ROWS = int(sys.argv[1]) if len(sys.argv) > 1 else 4_000_000
FILES = int(sys.argv[2]) if len(sys.argv) > 2 else 8
REPEATS = int(sys.argv[3]) if len(sys.argv) > 3 else 3
EXAMPLE = pathlib.Path(__file__).resolve().parents[1] / "examples" / "spark_mask.py"


def load_example():
    found = importlib.util.spec_from_file_location("spark_mask_example", EXAMPLE)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def rows(first: int, count: int) -> pa.Table:
    """The example's columns, built by pyarrow rather than row by row."""
    ids = pa.array(range(first, first + count), pa.int64())
    text = pc.cast(ids, pa.string())
    email = pc.binary_join_element_wise("user", text, "@example.com", "")
    return pa.table(
        {
            "id": ids,
            "email": pc.if_else(pc.equal(pc.bit_wise_and(ids, 7), 3), pa.scalar(None, pa.string()), email),
            "name": pc.binary_join_element_wise("Customer ", text, ""),
            "phone": pc.binary_join_element_wise("+1-555-", pc.utf8_lpad(text, 4, "0"), ""),
            "city": pc.binary_join_element_wise("City ", pc.cast(pc.bit_wise_and(ids, 31), pa.string()), ""),
        }
    )


def identity(batches):
    yield from batches


def main() -> None:
    example = load_example()
    work = pathlib.Path(tempfile.mkdtemp(prefix="qm-spark-bench-"))
    try:
        source = work / "source"
        source.mkdir()
        bounds = [ROWS * f // FILES for f in range(FILES + 1)]
        for f in range(FILES):
            pq.write_table(rows(bounds[f], bounds[f + 1] - bounds[f]), source / f"part-{f:05d}.parquet")
        spark = example.spark_session(conf={"spark.sql.execution.arrow.maxRecordsPerBatch": "10000"})
        try:
            measure(example, spark, str(source))
        finally:
            spark.stop()
    finally:
        shutil.rmtree(work, ignore_errors=True)


def measure(example, spark, source: str) -> None:
    df = spark.read.parquet(source)
    partitions = df.rdd.getNumPartitions()

    def noop(frame):
        frame.write.format("noop").mode("overwrite").save()

    jobs = {
        "identity": lambda: noop(df.mapInArrow(identity, df.schema)),
        "mask": lambda: noop(example.mask_dataframe(df, example.TRANSFORMS, example.KEY)),
        "count": lambda: example.partition_starts(df),
    }
    # Once each, unmeasured: the workers start and import what they use.
    for job in jobs.values():
        job()
    best = {name: float("inf") for name in jobs}
    for _ in range(REPEATS):
        for name, job in jobs.items():
            started = time.perf_counter()
            job()
            best[name] = min(best[name], time.perf_counter() - started)

    print(f"rows={ROWS} partitions={partitions} master={spark.sparkContext.master} repeats={REPEATS}")
    for name in jobs:
        print(f"{name}_s={best[name]:.3f}")
    print(f"count_over_identity={best['count'] / best['identity']:.3f}")
    print(f"spark_mask_over_identity={best['mask'] / best['identity']:.3f}")


if __name__ == "__main__":
    main()
