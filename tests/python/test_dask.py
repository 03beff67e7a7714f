"""mask() as the per-partition function of a Dask DataFrame on a local cluster.

Skipped when dask or distributed is not installed. The workers are separate
processes; they import quillon_mask from the environment they inherit.
"""
import importlib.util
import pathlib

import numpy as np
import pandas as pd
import pyarrow as pa
import pytest

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

from conftest import plain, token  # noqa: E402
from quillon_mask import mask  # noqa: E402

KEY = "partition-key"
PARTITIONS = 4
ROWS = 4 * 25
WAIT_S = 60
ARROW_TEXT = pd.ArrowDtype(pa.string())
TRANSFORMS = [
    {"column": "email", "type": "hash"},
    {"column": "ssn", "type": "hash"},
    {"column": "name", "type": "redact"},
    {"column": "phone", "type": "null"},
    {"column": "city", "type": "pass_through"},
]
HASHED = ["email", "ssn"]


def load_example():
    path = pathlib.Path(__file__).parents[2] / "examples" / "dask_mask.py"
    found = importlib.util.spec_from_file_location("dask_mask_example", path)
    module = importlib.util.module_from_spec(found)
    # Kept out of sys.modules, so that its functions travel to the workers
    # by value (cloudpickle); the workers could not import it by name.
    found.loader.exec_module(module)
    return module


def text(values, nulls_every, dtype):
    return pd.Series([None if i % nulls_every == 0 else v for i, v in enumerate(values)], dtype=dtype)


@pytest.fixture(scope="module")
def client():
    # Without this Dask turns object text into "string[pyarrow]", which mask() refuses.
    with dask.config.set({"dataframe.convert-string": False}):
        with distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster, distributed.Client(cluster, timeout=WAIT_S) as c:
            yield c


@pytest.fixture(scope="module")
def frame(client):
    """Four partitions; built once the client has Dask's string conversion off."""
    ids = range(ROWS)
    df = pd.DataFrame(
        {
            "id": np.arange(ROWS),
            "email": text([f"user{i}@example.com" for i in ids], 5, object),
            "ssn": text([f"{i:03d}-55-{i * 37 % 10_000:04d}" for i in ids], 6, ARROW_TEXT),
            "name": text([f"Name {i}" for i in ids], 7, ARROW_TEXT),
            "phone": text([f"+1-555-{i:04d}" for i in ids], 4, object),
            "city": text(["Oslo", "Quito", "Accra"] * (ROWS // 3) + ["Oslo"] * (ROWS % 3), 9, object),
        }
    )
    return dd.from_pandas(df, npartitions=PARTITIONS, sort=False)


def run(client, *collections):
    """Each collection's partitions, computed on the cluster, in order."""
    futures = [client.compute(c.to_delayed()) for c in collections]
    return [[f.result(timeout=WAIT_S) for f in fs] for fs in futures]


def assert_rows_and_nulls(inputs, outputs):
    assert [len(p) for p in outputs] == [len(p) for p in inputs]
    source, masked = pd.concat(inputs), pd.concat(outputs)
    assert masked["id"].tolist() == list(range(ROWS))
    for column in ["email", "ssn", "name", "city"]:
        assert masked[column].isna().tolist() == source[column].isna().tolist(), column
    assert masked["phone"].isna().all()
    clear = {v for c in HASHED for v in plain(source[c]) if v is not None}
    shown = {v for c in masked.columns if c != "id" for v in plain(masked[c])}
    assert not clear & shown


def test_each_partition_is_masked_like_a_local_call(client, frame):
    example = load_example()
    masked = frame.map_partitions(mask, TRANSFORMS, KEY, meta=example.masked_meta(frame.dtypes, TRANSFORMS))
    inputs, outputs = run(client, frame, masked)

    assert len(inputs) == PARTITIONS
    assert_rows_and_nulls(inputs, outputs)
    for part, out in zip(inputs, outputs):
        pd.testing.assert_frame_equal(out, mask(part, TRANSFORMS, KEY))
        # Positions restart at 0 in every partition.
        for column in HASHED:
            expected = [None if v is None else token(KEY, i, v) for i, v in enumerate(plain(part[column]))]
            assert plain(out[column]) == expected, column
    # The declared meta is what the workers return.
    assert pd.concat(outputs).dtypes.to_dict() == masked.dtypes.to_dict()


def test_whole_dataset_positions_match_one_call(client, frame):
    example = load_example()
    lengths = client.compute(frame.map_partitions(len)).result(timeout=WAIT_S).tolist()
    starts = np.concatenate([[0], np.cumsum(lengths)[:-1]]).tolist()
    meta = example.masked_meta(frame.dtypes, TRANSFORMS)
    masked = frame.map_partitions(example.mask_from, TRANSFORMS, KEY, starts, meta=meta)
    inputs, outputs = run(client, frame, masked)

    assert_rows_and_nulls(inputs, outputs)
    whole = pd.concat(inputs)
    pd.testing.assert_frame_equal(pd.concat(outputs), mask(whole, TRANSFORMS, KEY))
    for column in HASHED:
        expected = [None if v is None else token(KEY, i, v) for i, v in enumerate(plain(whole[column]))]
        assert plain(pd.concat(outputs)[column]) == expected, column
