"""Sample customer data and the example recipes, for tests and benchmarks.

The Dask and Spark examples each keep a small generator of their own so
they run alone; tests and benchmarks take their data from here instead and
import the examples' recipes as modules. Benchmarks put this directory on
sys.path to import it.
"""
import importlib
import pathlib
import sys
from typing import List, Sequence

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
CITIES = ["Lisbon", "Oslo", "Quito", "Hanoi", "Accra"]


def customer_rows(first: int, count: int) -> pa.Table:
    """Rows first .. first+count-1: id, email (every 7th null), name, phone, city."""
    ids = np.arange(first, first + count, dtype=np.int64)
    text = pc.cast(pa.array(ids), pa.string())
    email = pc.binary_join_element_wise("user", text, "@example.com", "")
    phone = pc.binary_join_element_wise("+1-555-", pc.utf8_lpad(pc.cast(pa.array(ids % 10_000), pa.string()), 4, "0"), "")
    return pa.table(
        {
            "id": pa.array(ids),
            "email": pc.if_else(pa.array(ids % 7 == 3), pa.scalar(None, pa.string()), email),
            "name": pc.binary_join_element_wise("Customer ", text, ""),
            "phone": phone,
            "city": pc.take(pa.array(CITIES), pa.array(ids % len(CITIES))),
        }
    )


def write_customer_files(directory: pathlib.Path, bounds: Sequence[int]) -> List[pathlib.Path]:
    """One Parquet file of rows bounds[f] .. bounds[f+1]-1 per f, named in order."""
    directory.mkdir(parents=True)
    paths = []
    for f in range(len(bounds) - 1):
        paths.append(directory / f"part-{f:05d}.parquet")
        pq.write_table(customer_rows(bounds[f], bounds[f + 1] - bounds[f]), paths[-1])
    return paths


def even_bounds(rows: int, files: int) -> List[int]:
    """File bounds of (nearly) equal sizes."""
    return [rows * f // files for f in range(files + 1)]


def growing_bounds(rows: int, files: int) -> List[int]:
    """File bounds where file f is about (files + f) / files times as long as file 0."""
    weights = [files + f for f in range(files)]
    bounds = [0]
    for w in weights:
        bounds.append(bounds[-1] + rows * w // sum(weights))
    bounds[-1] = rows
    return bounds


def import_example(name: str):
    """examples/<name>.py imported as module `name`, its functions pickled by value.

    Workers (Dask's processes, Spark's Python workers, Ray's) could not import the
    example by name, so its functions travel with the tasks instead.
    """
    if str(EXAMPLES) not in sys.path:
        sys.path.insert(0, str(EXAMPLES))
    module = importlib.import_module(name)
    for pickler in ("cloudpickle", "pyspark.cloudpickle", "ray.cloudpickle"):
        try:
            importlib.import_module(pickler).register_pickle_by_value(module)
        except ImportError:
            pass
    return module
