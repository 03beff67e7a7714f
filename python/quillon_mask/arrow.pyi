from typing import Any, Dict, List, Union

import pyarrow as pa

__all__ = ["mask_stream", "mask_table", "mask_frame"]

Transforms = List[Dict[str, str]]
Key = Union[str, bytes, bytearray, memoryview, None]

def mask_stream(data: Any, transforms: Transforms, key: Key, *, start: int = 0) -> pa.RecordBatchReader:
    """A reader of `data`'s batches, each masked when it is read."""

def mask_table(data: Any, transforms: Transforms, key: Key, *, start: int = 0) -> pa.Table:
    """`data` masked, whole, as a pyarrow Table."""

def mask_frame(frame: Any, transforms: Transforms, key: Key, *, start: int = 0) -> Any:
    """`frame` masked, as the same kind of frame: pandas, a polars DataFrame (for a
    DataFrame or a LazyFrame), a polars Series of the same name (for a Series),
    or a pyarrow Table for any other."""
