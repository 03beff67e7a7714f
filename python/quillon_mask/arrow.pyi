from typing import Any, Dict, List, Union

import pyarrow as pa

__all__ = ["mask_stream", "mask_table", "mask_frame", "reveal_stream", "reveal_table", "reveal_frame"]

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

def reveal_stream(data: Any, transforms: Transforms, key: Key) -> pa.RecordBatchReader:
    """A reader of `data`'s batches with the encrypt and fpe columns decrypted when read."""

def reveal_table(data: Any, transforms: Transforms, key: Key) -> pa.Table:
    """`data` revealed, whole, as a pyarrow Table."""

def reveal_frame(frame: Any, transforms: Transforms, key: Key) -> Any:
    """`frame` revealed, as the same kind of frame, as mask_frame gives it."""
