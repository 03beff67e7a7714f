"""Mask any Arrow data, streaming: pyarrow, polars, DuckDB, pandas, files.

    from quillon_mask.arrow import mask_stream, mask_table, mask_frame

    reader = mask_stream(data, transforms, key, start=0)  # pyarrow.RecordBatchReader, lazy
    table = mask_table(data, transforms, key, start=0)    # pyarrow.Table
    frame = mask_frame(frame, transforms, key, start=0)   # the same kind of frame
    table = reveal_table(masked, transforms, key)         # encrypt and fpe columns decrypted

`data` is any Arrow producer (an object with ``__arrow_c_stream__`` or
``__arrow_c_array__``), a pyarrow IPC file reader, a polars LazyFrame (run on
polars' streaming engine, its batches masked as they come) or a polars Series
(masked as a one-column frame of its name). pyarrow data (tables, batches,
readers) is checked batch by batch before it is read. Row i of the data, counted over the whole stream, is
hashed at position ``start + i``, so a table masked in pieces with the right
``start`` gets the tokens of one whole run. A configured column that the data
lacks or that cannot be masked, or ``hash`` without a key, raises ValueError
before any batch is read.

Besides mask()'s four types, entries may be ``pseudonym`` (a keyed token of
the value alone, joinable), ``encrypt`` (deterministic AES-256-SIV, reversible)
and ``fpe`` (format-preserving FF1 over ``"alphabet"``, reversible), each with
an optional ``"context"`` str. ``reveal_*`` takes the list that masked and
gives back the plaintexts of the ``encrypt`` and ``fpe`` columns; every other
column passes through as it is. A token that does not authenticate raises
ValueError naming the column and row position.

This module is glue: argument checks, the data's export and the conversion
back. Everything per batch runs natively, on the worker pool of
``quillon_mask``.
"""
from __future__ import annotations

import sys
from typing import Any, Dict, Iterator, List, Optional, Union

import pyarrow as pa

from quillon_mask import _native  # made by the extension; see module.cc

__all__ = ["mask_stream", "mask_table", "mask_frame", "reveal_stream", "reveal_table", "reveal_frame"]

Transforms = List[Dict[str, str]]
Key = Union[str, bytes, bytearray, memoryview, None]

_START_LIMIT = 1 << 63


def _check_start(start: Any) -> int:
    if isinstance(start, bool) or not isinstance(start, int):
        raise TypeError(f"start must be an int, not '{type(start).__qualname__}'")
    if not 0 <= start < _START_LIMIT:
        raise ValueError(f"start must be at least 0 and below 2**63, not {start}")
    return start


def _pyarrow_reader(data: Any) -> Optional[pa.RecordBatchReader]:
    """pyarrow data as a reader, which the module checks batch by batch against
    the buffer sizes pyarrow knows; None for any other producer."""
    if isinstance(data, pa.RecordBatchReader):
        return data
    if isinstance(data, pa.Table):
        return data.to_reader()
    if isinstance(data, pa.RecordBatch):
        return pa.RecordBatchReader.from_batches(data.schema, [data])
    if isinstance(data, pa.ipc.RecordBatchFileReader):
        return pa.RecordBatchReader.from_batches(
            data.schema, (data.get_batch(i) for i in range(data.num_record_batches)))
    return None


def _polars_source(data: Any) -> Any:
    """A polars LazyFrame as a pyarrow reader of its batches, a Series as a
    one-column DataFrame; anything else as it is."""
    polars = sys.modules.get("polars")
    if polars is None or type(data).__module__.partition(".")[0] != "polars":
        return data
    if isinstance(data, polars.Series):
        return data.to_frame()
    if not isinstance(data, polars.LazyFrame):
        return data
    # The empty frame of the query's schema gives the batches' Arrow schema
    # without running the query.
    schema = polars.DataFrame(schema=data.collect_schema()).to_arrow().schema
    return pa.RecordBatchReader.from_batches(schema, _polars_batches(data))


def _polars_batches(frame: Any) -> Iterator[pa.RecordBatch]:
    """A LazyFrame's result in row order, started only once the first batch is
    asked for (polars 1.36 hangs dropping a batch collector that never started)."""
    collect_batches = getattr(frame, "collect_batches", None)
    # polars' streaming engine, batch by batch; a polars without it gives the
    # whole result at once.
    chunks = collect_batches(maintain_order=True) if collect_batches is not None else [frame.collect()]
    for chunk in chunks:
        yield from chunk.to_arrow().to_batches()


def _open(data: Any, transforms: Transforms, key: Key, start: int, reveal: bool = False) -> Any:
    """The masking (or revealing) stream over `data`, as an "arrow_array_stream" capsule."""
    data = _polars_source(data)
    reader = _pyarrow_reader(data)
    export_stream = export_array = None
    if reader is None:
        export_stream = getattr(data, "__arrow_c_stream__", None)
        export_array = None if export_stream is not None else getattr(data, "__arrow_c_array__", None)
        if export_stream is None and export_array is None:
            raise TypeError(
                f"expected Arrow data (an object with __arrow_c_stream__ or __arrow_c_array__), "
                f"not '{type(data).__qualname__}'")
    start = _check_start(start)
    # Checked before the data is read or exported: a bad list leaves a reader unread.
    plan = _native.plan(transforms, key, reveal)
    if reader is not None:
        return _native.open_reader(plan, reader, start)
    if export_stream is not None:
        return _native.open_stream(plan, export_stream(None), start)
    schema, array = export_array(None)
    return _native.open_array(plan, schema, array, start)


def mask_stream(data: Any, transforms: Transforms, key: Key, *, start: int = 0) -> pa.RecordBatchReader:
    """A reader of `data`'s batches, each masked when it is read."""
    return pa.RecordBatchReader._import_from_c_capsule(_open(data, transforms, key, start))


def mask_table(data: Any, transforms: Transforms, key: Key, *, start: int = 0) -> pa.Table:
    """`data` masked, whole, as a pyarrow Table."""
    return mask_stream(data, transforms, key, start=start).read_all()


def mask_frame(frame: Any, transforms: Transforms, key: Key, *, start: int = 0) -> Any:
    """`frame` masked, as the same kind of frame: pandas, a polars DataFrame (for a
    DataFrame or a LazyFrame), a polars Series of the same name (for a Series),
    or a pyarrow Table for any other."""
    return _as_frame(frame, lambda data: mask_table(data, transforms, key, start=start))


def reveal_stream(data: Any, transforms: Transforms, key: Key) -> pa.RecordBatchReader:
    """A reader of `data`'s batches with the encrypt and fpe columns decrypted when read."""
    return pa.RecordBatchReader._import_from_c_capsule(_open(data, transforms, key, 0, reveal=True))


def reveal_table(data: Any, transforms: Transforms, key: Key) -> pa.Table:
    """`data` revealed, whole, as a pyarrow Table."""
    return reveal_stream(data, transforms, key).read_all()


def reveal_frame(frame: Any, transforms: Transforms, key: Key) -> Any:
    """`frame` revealed, as the same kind of frame, as mask_frame gives it."""
    return _as_frame(frame, lambda data: reveal_table(data, transforms, key))


def _as_frame(frame: Any, convert: Any) -> Any:
    library = type(frame).__module__.partition(".")[0]
    if library == "pandas" and not hasattr(frame, "__arrow_c_stream__"):
        # pandas before 2.2 has no export of its own; this is what it does.
        frame = pa.Table.from_pandas(frame)
    table = convert(frame)
    if library == "pandas":
        # The index comes back from the pandas metadata, as from any table.
        return table.to_pandas()
    if library == "polars":
        # The caller's own polars: never imported here.
        polars = sys.modules["polars"]
        out = polars.DataFrame(table)
        # A Series keeps its name, even the empty one that a DataFrame renames.
        return out.to_series().alias(frame.name) if isinstance(frame, polars.Series) else out
    return table
