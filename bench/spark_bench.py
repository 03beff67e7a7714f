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
import tempfile

from interleaved import best_of, counts, report
from sample_data import even_bounds, import_example, write_customer_files

ROWS, FILES, REPEATS = counts(4_000_000, 8, 3)


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
    best = best_of(jobs, REPEATS, warm_up=True)
    report(f"rows={ROWS} partitions={partitions} master={spark.sparkContext.master} repeats={REPEATS}", best,
           [("count_over_identity", "count", "identity"), ("spark_mask_over_identity", "mask", "identity")])


if __name__ == "__main__":
    main()
