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
import ray
import ray.data

from interleaved import best_of, counts, report
from sample_data import customer_rows, even_bounds, import_example

ROWS, BLOCKS, REPEATS = counts(2_000_000, 16, 3)


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
        best = best_of(jobs, REPEATS, warm_up=True)
    finally:
        ray.shutdown()

    report(f"rows={ROWS} blocks={BLOCKS} cpus=2 repeats={REPEATS} ray={ray.__version__}", best,
           [("row_id_over_identity", "row_id", "identity"), ("ray_mask_over_identity", "mask", "identity")])


if __name__ == "__main__":
    main()
