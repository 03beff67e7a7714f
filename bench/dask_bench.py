"""The Dask example against one mask() of the same rows in one process.

Runs examples/dask_mask.py on PARTITIONS x ROWS rows (read Parquet, mask each
partition on two worker processes, write Parquet) and takes its timed step
(mask_write_s), also with --whole-dataset-positions. Then, in this process,
builds the same rows as one frame and times one mask() of it (best of two),
and the same read, mask and write done by pandas alone. Prints the times, then, last,
dask_over_single=<example's step / one mask()>.

    python bench/dask_bench.py [ROWS_PER_PARTITION] [PARTITIONS]
"""
import importlib.util
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import time

import pandas as pd

from quillon_mask import mask

ROWS = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
PARTITIONS = int(sys.argv[2]) if len(sys.argv) > 2 else 4
EXAMPLE = pathlib.Path(__file__).resolve().parents[1] / "examples" / "dask_mask.py"


def load_example():
    found = importlib.util.spec_from_file_location("dask_mask_example", EXAMPLE)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def run_example(out, *flags):
    """The example's own time for its read-mask-write step, and its wall time."""
    started = time.perf_counter()
    done = subprocess.run(
        [sys.executable, str(EXAMPLE), "--rows", str(ROWS), "--partitions", str(PARTITIONS), "--out", str(out), *flags],
        check=True,
        capture_output=True,
        text=True,
    )
    wall = time.perf_counter() - started
    return float(re.search(r"^mask_write_s=([0-9.]+)$", done.stdout, re.M).group(1)), wall


def timed(fn, repeats=2):
    """Best of `repeats`: the first call also pays for touching fresh memory."""
    best = float("inf")
    for _ in range(repeats):
        started = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - started)
    return best, result


def main():
    example = load_example()
    work = pathlib.Path(tempfile.mkdtemp(prefix="qm-dask-bench-"))
    try:
        measure(example, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def measure(example, work):
    dask_s, dask_wall = run_example(work / "dask")
    whole_s, _ = run_example(work / "dask-whole", "--whole-dataset-positions")

    df = pd.concat([example.make_partition(i, ROWS) for i in range(PARTITIONS)])
    source = work / "source"
    source.mkdir()
    for i in range(PARTITIONS):
        df.iloc[i * ROWS : (i + 1) * ROWS].to_parquet(source / f"part.{i}.parquet", index=False)

    single_s, masked = timed(lambda: mask(df, example.TRANSFORMS, example.KEY))
    if len(masked) != len(df):
        raise SystemExit("mask() lost rows")
    del masked

    def pipeline():
        frame = pd.read_parquet(source).astype(example.TEXT_DTYPES)
        mask(frame, example.TRANSFORMS, example.KEY).to_parquet(work / "single.parquet", index=False)

    pipeline_s, _ = timed(pipeline)
    written = pd.read_parquet(work / "dask", columns=["id"])
    if len(written) != len(df):
        raise SystemExit("the example lost rows")

    print(f"rows={PARTITIONS}x{ROWS}")
    print(f"dask_example_wall_s={dask_wall:.3f}")
    print(f"dask_mask_write_s={dask_s:.3f}")
    print(f"dask_whole_positions_s={whole_s:.3f}")
    print(f"single_read_mask_write_s={pipeline_s:.3f}")
    print(f"single_mask_s={single_s:.3f}")
    print(f"dask_over_single_pipeline={dask_s / pipeline_s:.2f}")
    print(f"dask_over_single={dask_s / single_s:.2f}")


if __name__ == "__main__":
    main()
