"""The Ray recipe against an identity map_batches over the same dataset.

Makes a dataset of ROWS rows of the shared sample data (tests/python/
sample_data.py) in BLOCKS blocks in Ray's object store, then on one local
Ray of two CPUs runs, interleaved, best of REPEATS, each materialized:
  identity  ds.map_batches(batches passed on unchanged, as pyarrow tables)
  mask      the example's mask_dataset(): a task per block counting its rows,
            then a task per block masking it from its first row's position
  row_id    the example's mask_by_row_id(): map_batches from an id column
Prints the times, row_id_over_identity=, and last ray_mask_over_identity=.

    python bench/ray_bench.py [ROWS] [BLOCKS] [REPEATS]
"""
import pathlib
import sys
import time

ROWS = int(sys.argv[1]) if len(sys.argv) > 1 else 2_000_000
BLOCKS = int(sys.argv[2]) if len(sys.argv) > 2 else 16
REPEATS = int(sys.argv[3]) if len(sys.argv) > 3 else 3
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "python"))

import ray  # noqa: E402
import ray.data  # noqa: E402

from sample_data import customer_rows, even_bounds, import_example  # noqa: E402


def identity(batch):
    return batch


def main() -> None:
    example = import_example("ray_mask")
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False, logging_level="warning")
    try:
        context = ray.data.DataContext.get_current()
        context.execution_options.preserve_order = True
        context.enable_progress_bars = False
        bounds = even_bounds(ROWS, BLOCKS)
        ds = ray.data.from_arrow([customer_rows(a, b - a) for a, b in zip(bounds, bounds[1:])]).materialize()
        jobs = {
            "identity": lambda: ds.map_batches(identity, batch_format="pyarrow", batch_size=None).materialize(),
            "mask": lambda: example.mask_dataset(ds, example.TRANSFORMS, example.KEY).materialize(),
            "row_id": lambda: example.mask_by_row_id(ds, example.TRANSFORMS, example.KEY, "id").materialize(),
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
    finally:
        ray.shutdown()

    print(f"rows={ROWS} blocks={BLOCKS} cpus=2 repeats={REPEATS} ray={ray.__version__}")
    for name in jobs:
        print(f"{name}_s={best[name]:.3f}")
    print(f"row_id_over_identity={best['row_id'] / best['identity']:.3f}")
    print(f"ray_mask_over_identity={best['mask'] / best['identity']:.3f}")


if __name__ == "__main__":
    main()
