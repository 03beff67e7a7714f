"""Whole-table positions on a Dask cluster against per-partition positions.

Writes ROWS rows of the shared sample data (tests/python/sample_data.py) as
FILES Parquet files of growing sizes, then, on one LocalCluster of two worker
processes, times read -> mask -> write to Parquet with the example's
mask_dataframe() three ways, interleaved, best of REPEATS:
  partition  every partition from position 0 (positions restart per partition)
  whole      each partition from its first row over the table, the starts
             from the files' footers (included in the time)
  whole_len  the same, the starts from a map_partitions(len) pass (included)
Prints the times, then whole_len_over_partition=, and last
whole_over_partition=<whole / partition>.

    python bench/dask_bench.py [ROWS] [FILES] [REPEATS]
"""
import pathlib
import shutil
import sys
import tempfile
import time

import dask.dataframe as dd
import pyarrow.parquet as pq
from distributed import Client, LocalCluster

ROWS = int(sys.argv[1]) if len(sys.argv) > 1 else 4_000_000
FILES = int(sys.argv[2]) if len(sys.argv) > 2 else 4
REPEATS = int(sys.argv[3]) if len(sys.argv) > 3 else 3
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "python"))

from sample_data import growing_bounds, import_example, write_customer_files  # noqa: E402


def main() -> None:
    example = import_example("dask_mask")
    work = pathlib.Path(tempfile.mkdtemp(prefix="qm-dask-bench-"))
    try:
        paths = write_customer_files(work / "source", growing_bounds(ROWS, FILES))
        with LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
        ) as cluster, Client(cluster):
            measure(example, work, [str(p) for p in paths])
    finally:
        shutil.rmtree(work, ignore_errors=True)


def measure(example, work: pathlib.Path, paths) -> None:
    def starts_of(variant, ddf):
        if variant == "partition":
            return [0] * ddf.npartitions
        if variant == "whole":
            return example.parquet_starts(paths)
        return example.partition_starts(ddf)

    def run(variant, attempt):
        out = work / f"{variant}-{attempt}"
        started = time.perf_counter()
        ddf = dd.read_parquet(paths, split_row_groups=False)
        example.mask_dataframe(ddf, example.TRANSFORMS, example.KEY, starts_of(variant, ddf)).to_parquet(
            out, write_index=False
        )
        elapsed = time.perf_counter() - started
        if pq.ParquetDataset(out).read(columns=["id"]).num_rows != ROWS:
            raise SystemExit(f"{variant}: rows lost")
        shutil.rmtree(out)
        return elapsed

    variants = ["partition", "whole", "whole_len"]
    best = {v: float("inf") for v in variants}
    for attempt in range(REPEATS):
        for variant in variants:
            best[variant] = min(best[variant], run(variant, attempt))

    print(f"rows={ROWS} files={FILES} workers=2 repeats={REPEATS}")
    for variant in variants:
        print(f"{variant}_s={best[variant]:.3f}")
    print(f"whole_len_over_partition={best['whole_len'] / best['partition']:.3f}")
    print(f"whole_over_partition={best['whole'] / best['partition']:.3f}")


if __name__ == "__main__":
    main()
