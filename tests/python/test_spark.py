"""Spark partitions masked through mapInArrow at their rows' positions over the whole table.

Runs the example's mask_dataframe(), imported as a module, on a local[2]
session over a Parquet dataset of one file per partition (one of them
empty), in small Arrow batches, and compares the result with one mask_table() of the same rows in
Spark's order. Skipped when pyspark or java is missing; the Python workers
run this interpreter and import quillon_mask from the environment they
inherit. Every wait on the session is bounded.
"""
import itertools
import os
import shutil
import threading

import pyarrow as pa
import pyarrow.parquet as pq
import pytest

pytest.importorskip("pyspark")
if shutil.which("java") is None and not os.environ.get("JAVA_HOME"):
    pytest.skip("java is not installed", allow_module_level=True)

from conftest import token  # noqa: E402
from sample_data import import_example  # noqa: E402
from quillon_mask.arrow import mask_table  # noqa: E402

KEY = "spark-key"
WAIT_S = 120
# Rows per Parquet file; each file is small enough to be a partition of its own.
FILE_ROWS = [29, 0, 47, 11]
# Several batches per partition, so positions also run across batches.
BATCH_ROWS = 8
TRANSFORMS = [
    {"column": "email", "type": "hash"},
    {"column": "ssn", "type": "hash"},
    {"column": "name", "type": "redact"},
    {"column": "phone", "type": "null"},
    {"column": "city", "type": "pass_through"},
]
HASHED = ["email", "ssn"]
LARGE_VAR_TYPES = "spark.sql.execution.arrow.useLargeVarTypes"


@pytest.fixture(scope="module")
def example():
    return import_example("spark_mask")


def bounded(fn, session=None, timeout=WAIT_S):
    """fn() on a daemon thread, waited for at most `timeout` seconds (a hung
    call cannot hold the interpreter at exit); on timeout the session's jobs
    are cancelled and the test fails."""
    outcome = {}

    def call():
        try:
            outcome["value"] = fn()
        except BaseException as error:  # handed to the waiting thread
            outcome["error"] = error

    thread = threading.Thread(target=call, daemon=True)
    thread.start()
    thread.join(timeout)
    if thread.is_alive():
        if session is not None:
            session.sparkContext.cancelAllJobs()
        pytest.fail(f"no answer from Spark within {timeout} s")
    if "error" in outcome:
        raise outcome["error"]
    return outcome["value"]


@pytest.fixture(scope="module")
def spark(example):
    conf = {
        "spark.sql.execution.arrow.maxRecordsPerBatch": str(BATCH_ROWS),
        "spark.sql.shuffle.partitions": "2",
        # Files below 1 MiB, each costing 1 MiB to open, in splits of 1 MiB:
        # one partition per file.
        "spark.sql.files.maxPartitionBytes": "1m",
        "spark.sql.files.openCostInBytes": "1m",
    }
    # A preloaded sanitizer runtime (make test-asan) stalls the JVM's start:
    # it goes to the Python workers only, which load the instrumented module.
    preload = os.environ.pop("LD_PRELOAD", None)
    if preload:
        conf["spark.executorEnv.LD_PRELOAD"] = preload
    try:
        session = bounded(lambda: example.spark_session(conf=conf))
    finally:
        if preload:
            os.environ["LD_PRELOAD"] = preload
    try:
        yield session
    finally:
        session.stop()


def nth_null(values, every):
    return [None if i % every == 0 else v for i, v in enumerate(values)]


@pytest.fixture(scope="module")
def source(tmp_path_factory):
    """The Parquet dataset: one file per entry of FILE_ROWS, nulls in every text column."""
    directory = tmp_path_factory.mktemp("spark-source")
    first = 0
    for number, rows in enumerate(FILE_ROWS):
        ids = range(first, first + rows)
        table = pa.table(
            {
                "id": pa.array(ids, pa.int64()),
                "email": nth_null([f"user{i}@example.com" for i in ids], 5),
                "ssn": nth_null([f"{i:03d}-55-{i * 37 % 10_000:04d}" for i in ids], 6),
                "name": nth_null([f"Name {i}" for i in ids], 7),
                "phone": nth_null([f"+1-555-{i:04d}" for i in ids], 4),
                "city": nth_null([["Oslo", "Quito", "Accra"][i % 3] for i in ids], 9),
            },
            schema=pa.schema(
                [("id", pa.int64())] + [(c, pa.string()) for c in ["email", "ssn", "name", "phone", "city"]]
            ),
        )
        pq.write_table(table, directory / f"part-{number:05d}.parquet")
        first += rows
    return str(directory)


def layout_checked(mask_partition, text_type):
    """A mapInArrow function: `mask_partition`, failing the task unless Spark
    handed over `text_type` and every masked batch keeps the input's schema."""

    def run(batches):
        first = next(batches, None)
        if first is None:
            return
        if first.schema.field("email").type != text_type:
            raise TypeError(f"Spark handed over {first.schema.field('email').type}, not {text_type}")
        for out in mask_partition(itertools.chain([first], batches)):
            if out.schema != first.schema:
                raise TypeError(f"masked batch has the schema {out.schema}, the input {first.schema}")
            yield out

    return run


@pytest.mark.parametrize("large_var_types", [False, True], ids=["string", "large_string"])
def test_partitions_get_the_tokens_of_one_whole_table_run(example, spark, source, large_var_types):
    spark.conf.set(LARGE_VAR_TYPES, str(large_var_types).lower())
    try:
        df = bounded(lambda: spark.read.parquet(source), spark)
        assert df.rdd.getNumPartitions() == len(FILE_ROWS)
        # Spark's row order: partitions in order (it packs the files largest
        # first), rows in order within each.
        rows = [r.asDict() for r in bounded(df.collect, spark)]
        masked = bounded(lambda: example.mask_dataframe(df, TRANSFORMS, KEY), spark)
        out = [r.asDict() for r in bounded(masked.collect, spark)]

        starts = bounded(lambda: example.partition_starts(df), spark)
        text_type = pa.large_string() if large_var_types else pa.string()
        checked = df.mapInArrow(layout_checked(example.partition_masker(TRANSFORMS, KEY, starts), text_type), df.schema)
        assert [r.asDict() for r in bounded(checked.collect, spark)] == out
    finally:
        spark.conf.unset(LARGE_VAR_TYPES)

    assert len(out) == sum(FILE_ROWS)
    schema = pa.schema([("id", pa.int64())] + [(c, pa.string()) for c in ["email", "ssn", "name", "phone", "city"]])
    whole = mask_table(pa.Table.from_pylist(rows, schema=schema), TRANSFORMS, KEY)
    assert out == whole.to_pylist()

    for column in HASHED:
        expected = [None if r[column] is None else token(KEY, i, r[column]) for i, r in enumerate(rows)]
        assert [r[column] for r in out] == expected, column
    assert [r["name"] is None for r in out] == [r["name"] is None for r in rows]
    assert all(r["phone"] is None for r in out)
    assert [(r["id"], r["city"]) for r in out] == [(r["id"], r["city"]) for r in rows]
    clear = {r[c] for r in rows for c in HASHED if r[c] is not None}
    assert not clear & {v for r in out for v in r.values() if isinstance(v, str)}


@pytest.mark.parametrize(
    "transforms, key, message",
    [
        ([{"column": "e-mail", "type": "hash"}], KEY, "e-mail"),
        ([{"column": "id", "type": "redact"}], KEY, "id"),
        ([{"column": "email", "type": "hash"}], None, "HMAC key required for Hash transform"),
    ],
    ids=["unknown-column", "integer-column", "hash-without-key"],
)
def test_a_bad_configuration_fails_on_the_driver_before_any_job(example, spark, source, transforms, key, message):
    group = f"bad-configuration-{message}"

    def attempt():
        # Reading the footers for the schema is a job of its own.
        df = spark.read.parquet(source)
        spark.sparkContext.setJobGroup(group, "a configuration that must fail before any job")
        with pytest.raises(ValueError, match=message):
            example.mask_dataframe(df, transforms, key)

    bounded(attempt, spark)
    assert spark.sparkContext.statusTracker().getJobIdsForGroup(group) == []
