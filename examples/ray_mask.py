"""Masks a Ray Dataset with positions over the whole table.

`Dataset.map_batches` hands a function each batch without its place in the
dataset, so masking there restarts the positions in every batch. Two ways to
give every row its position over the whole table:

- mask_dataset(): the dataset's blocks as Arrow tables, in the dataset's
  order (`Dataset.to_arrow_refs`); one small task per block counts its rows,
  then one task per block masks it from its first row's position
  (`mask_table(start=...)`), and the masked blocks become a Dataset again
  (`ray.data.from_arrow_refs`), in the same order. Only the counts come back
  to the driver.
- mask_by_row_id(): where the data already has a column of row positions
  (0, 1, 2, ... in the order of the rows), `map_batches` masks each batch
  from its first row's value; a batch whose positions do not run on by one
  is refused.

The order of the rows is the dataset's: run with
`DataContext.get_current().execution_options.preserve_order = True` (as
main() does), or the blocks of a read may come in another order on another
run, and with them other tokens.

Run with `make demo-ray`, or directly once the module is importable:
    python examples/ray_mask.py [--rows N] [--blocks B]
"""
import argparse
import time
from typing import Any, Dict, List

import pyarrow as pa
import pyarrow.compute as pc
import ray
import ray.data

from quillon_mask.arrow import mask_table

TRANSFORMS = [
    {"column": "email", "type": "hash"},
    {"column": "name", "type": "redact"},
    {"column": "phone", "type": "null"},
]
KEY = "demo-key-change-me"


@ray.remote
def _rows(block: pa.Table) -> int:
    return block.num_rows


@ray.remote
def _mask_block(block: pa.Table, transforms: List[Dict[str, str]], key: Any, start: int) -> pa.Table:
    return mask_table(block, transforms, key, start=start)


def mask_dataset(ds: "ray.data.Dataset", transforms: List[Dict[str, str]], key: Any,
                 start: int = 0) -> "ray.data.Dataset":
    """`ds` masked, row i of the dataset (in its order) hashed at `start + i`.

    The transforms are checked on the driver first, against an empty table of
    the dataset's schema: an unknown or unmaskable column raises ValueError
    there, before any block is masked.
    """
    mask_table(ds.schema().base_schema.empty_table(), transforms, key)
    blocks = ds.to_arrow_refs()
    starts, total = [], start
    for rows in ray.get([_rows.remote(block) for block in blocks]):
        starts.append(total)
        total += rows
    key_ref = ray.put(key)
    return ray.data.from_arrow_refs(
        [_mask_block.remote(block, transforms, key_ref, first) for block, first in zip(blocks, starts)])


def mask_by_row_id(ds: "ray.data.Dataset", transforms: List[Dict[str, str]], key: Any,
                   row_id: str) -> "ray.data.Dataset":
    """`ds` masked, each row hashed at the value of its `row_id` column."""
    mask_table(ds.schema().base_schema.empty_table(), transforms, key)

    def mask_batch(batch: pa.Table) -> pa.Table:
        if batch.num_rows == 0:
            return mask_table(batch, transforms, key)
        ids = batch.column(row_id)
        first = ids[0].as_py()
        if not pc.all(pc.equal(pc.subtract(ids, first), pa.array(range(batch.num_rows), ids.type))).as_py():
            raise ValueError(f"the '{row_id}' column does not run on by one within a batch")
        return mask_table(batch, transforms, key, start=first)

    # A block at a time: one call per block, not per default-sized slice.
    return ds.map_batches(mask_batch, batch_format="pyarrow", batch_size=None)


def customers(rows: int, blocks: int) -> "ray.data.Dataset":
    """A sample dataset of `rows` rows in `blocks` blocks: id, email (every 8th null), name, phone."""
    ids = pa.array(range(rows), pa.int64())
    text = pc.cast(ids, pa.string())
    email = pc.binary_join_element_wise("user", text, "@example.com", "")
    table = pa.table({
        "id": ids,
        "email": pc.if_else(pc.equal(pc.bit_wise_and(ids, 7), 3), pa.scalar(None, pa.string()), email),
        "name": pc.binary_join_element_wise("Customer ", text, ""),
        "phone": pc.binary_join_element_wise("+1-555-", text, ""),
    })
    step = -(-rows // blocks)
    return ray.data.from_arrow([table.slice(i, step) for i in range(0, rows, step)])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=100_000, help="rows in the sample dataset")
    parser.add_argument("--blocks", type=int, default=7, help="blocks of the sample dataset")
    args = parser.parse_args()

    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False, logging_level="warning")
    try:
        context = ray.data.DataContext.get_current()
        context.execution_options.preserve_order = True
        context.enable_progress_bars = False
        ds = customers(args.rows, args.blocks)
        started = time.perf_counter()
        masked = mask_dataset(ds, TRANSFORMS, KEY).materialize()
        elapsed = time.perf_counter() - started
        print(f"{masked.count()} rows in {masked.num_blocks()} blocks")
        print(masked.to_pandas().head(8).to_string())
        same = mask_by_row_id(ds, TRANSFORMS, KEY, "id").to_arrow_refs()
        whole = pa.concat_tables(ray.get(masked.to_arrow_refs()))
        print("by row id, the same tokens:", pa.concat_tables(ray.get(same)).equals(whole))
        print(f"mask_s={elapsed:.3f}")
    finally:
        ray.shutdown()


if __name__ == "__main__":
    main()
