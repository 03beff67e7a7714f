"""Masking through mapInArrow against an identity mapInArrow on one Spark session.

Writes ROWS rows of the shared sample data (tests/python/sample_data.py) as
FILES Parquet files, then on one local[2] session runs, interleaved, best of
REPEATS, each into Spark's "noop" sink (every row computed, nothing written):
  identity  df.mapInArrow(batches passed on unchanged)
  mask      the example's mask_dataframe(): the per-partition count pass,
            then mapInArrow through mask_stream (the count pass included)
  count     the count pass alone
Batches hold spark.sql.execution.arrow.maxRecordsPerBatch rows (10,000, as
by default). Prints the times, then count_over_identity=, and last
spark_mask_over_identity=<mask / identity>.

    python bench/spark_bench.py [ROWS] [FILES] [REPEATS]
"""
import pathlib
import shutil
import sys
import tempfile
import time

ROWS = int(sys.argv[1]) if len(sys.argv) > 1 else 4_000_000
FILES = int(sys.argv[2]) if len(sys.argv) > 2 else 8
REPEATS = int(sys.argv[3]) if len(sys.argv) > 3 else 3
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "python"))

from sample_data import even_bounds, import_example, write_customer_files  # noqa: E402


def identity(batches):
    yield from batches


def main() -> None:
    example = import_example("spark_mask")
    work = pathlib.Path(tempfile.mkdtemp(prefix="qm-spark-bench-"))
    try:
        source = work / "source"
        write_customer_files(source, even_bounds(ROWS, FILES))
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
