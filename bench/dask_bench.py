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
import itertools
import pathlib
import shutil
import tempfile

import dask.dataframe as dd
import pyarrow.parquet as pq
from distributed import Client, LocalCluster

from interleaved import best_of, counts, report
from sample_data import growing_bounds, import_example, write_customer_files

ROWS, FILES, REPEATS = counts(4_000_000, 4, 3)


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

    attempts = itertools.count()
    outputs = {}

    def run(variant):
        outputs[variant] = work / f"{variant}-{next(attempts)}"
        ddf = dd.read_parquet(paths, split_row_groups=False)
        example.mask_dataframe(ddf, example.TRANSFORMS, example.KEY, starts_of(variant, ddf)).to_parquet(
            outputs[variant], write_index=False
        )

    def check(variant):
        if pq.ParquetDataset(outputs[variant]).read(columns=["id"]).num_rows != ROWS:
            raise SystemExit(f"{variant}: rows lost")
        shutil.rmtree(outputs[variant])

    jobs = {v: lambda v=v: run(v) for v in ("partition", "whole", "whole_len")}
    best = best_of(jobs, REPEATS, warm_up=False, after=check)
    report(f"rows={ROWS} files={FILES} workers=2 repeats={REPEATS}", best,
           [("whole_len_over_partition", "whole_len", "partition"), ("whole_over_partition", "whole", "partition")])


if __name__ == "__main__":
    main()
