"""The file formats the command reads and writes, one record each: the
extensions that name it, its reader, its writer, and what the output keeps.

A reader opens a file once, when the run is planned: its schema, its row
count where the format records one, and the writer settings it carries
(`Source.kept`) are taken then and used from there on; the batches come
later, from `Source.batches`, as plain pyarrow record batches. A writer takes
batches one at a time; every output keeps the schema and its metadata (so
pandas restores dtypes and index), Parquet also the input's codecs,
row-group size and format version.
"""
from __future__ import annotations

import re
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Dict, Iterable, List, Mapping, Optional, Protocol, Tuple, Union

import pyarrow as pa
import pyarrow.csv as pacsv
import pyarrow.ipc as paipc
import pyarrow.parquet as pq

from quillon_mask.cli.errors import UsageError, failed, reason

PARQUET_BATCH_ROWS = 64 * 1024
CSV_BLOCK_BYTES = 8 << 20
DEFAULT_ROW_GROUP_ROWS = 1024 * 1024
# A Parquet row group is written whole, so it is held in memory until it is
# complete: the input's row-group size is kept unless a group would pass this.
ROW_GROUP_BUFFER_BYTES = 256 << 20


def read_failure(error: BaseException, rows: int) -> str:
    return f"reading failed after {rows:,} rows: {reason(error)}"


@dataclass(frozen=True)
class Source:
    """One input file, opened."""
    path: Path
    schema: pa.Schema
    rows: Optional[int]  # None where the format has no row count up front
    batches: Callable[[], Iterable[pa.RecordBatch]]
    # What went wrong, given the error and the rows read before it, for "<path>: ...".
    explain: Callable[[BaseException, int], str] = read_failure
    # Writer settings the file carries, for a writer of the same format to keep.
    kept: Mapping[str, Any] = field(default_factory=dict)


@dataclass(frozen=True)
class WriteOptions:
    compression: Optional[str]  # lower case, one of the output format's codecs
    row_group_rows: Optional[int]
    hashed: Tuple[Any, ...]  # the columns whose values become tokens


class Sink(Protocol):
    def write(self, batch: pa.RecordBatch) -> None: ...
    def close(self) -> None: ...


@dataclass(frozen=True)
class Format:
    name: str
    extensions: Tuple[str, ...]  # the first names a file converted to this format
    read: Callable[[Path], Source]
    write: Callable[[Path, pa.Schema, Source, WriteOptions], Sink]
    codecs: Tuple[str, ...] = ()  # what --compression takes
    dataset: Optional[str] = None  # pyarrow.dataset's name for a directory of these
    metadata: bool = True  # keeps schema metadata, and so the run's record


# --- Parquet ---------------------------------------------------------------

def _parquet_codec(name: str) -> Optional[str]:
    # The footer names codecs as the format does; the writer takes these.
    return {"UNCOMPRESSED": "none", "SNAPPY": "snappy", "GZIP": "gzip", "BROTLI": "brotli",
            "ZSTD": "zstd", "LZ4": "lz4", "LZ4_RAW": "lz4"}.get(name)


def _read_parquet(path: Path) -> Source:
    # The footer is parsed once: the reader later gets it rather than reading it again.
    meta = pq.read_metadata(str(path))
    kept: Dict[str, Any] = {}
    if meta.num_row_groups:
        rows = max(meta.row_group(i).num_rows for i in range(meta.num_row_groups))
        if rows:
            kept["row_group_rows"] = rows
        group = meta.row_group(0)
        codecs = {}
        for i in range(group.num_columns):
            chunk = group.column(i)
            codecs[chunk.path_in_schema] = _parquet_codec(chunk.compression) or "snappy"
        if codecs:
            kinds = set(codecs.values())
            kept["compression"] = kinds.pop() if len(kinds) == 1 else codecs
    if meta.format_version in ("1.0", "2.4", "2.6"):
        kept["version"] = meta.format_version

    def batches() -> Iterable[pa.RecordBatch]:
        return pq.ParquetFile(str(path), metadata=meta).iter_batches(batch_size=PARQUET_BATCH_ROWS)

    return Source(path, meta.schema.to_arrow_schema(), meta.num_rows, batches, kept=kept)


class ParquetSink:
    """Writes batches as row groups of a fixed size, whatever size they come in."""

    def __init__(self, path: Path, schema: pa.Schema, *, row_group_rows: int,
                 compression: Union[str, Dict[str, str]], version: Optional[str],
                 use_dictionary: Union[bool, List[str]]) -> None:
        options: Dict[str, Any] = {"compression": compression, "use_dictionary": use_dictionary}
        if version:
            options["version"] = version
        self._writer = pq.ParquetWriter(str(path), schema, **options)
        self._schema = schema
        self._rows = row_group_rows
        self._pending: List[pa.RecordBatch] = []
        self._pending_rows = 0
        self._pending_bytes = 0

    def write(self, batch: pa.RecordBatch) -> None:
        self._pending.append(batch)
        self._pending_rows += batch.num_rows
        self._pending_bytes += batch.nbytes
        if self._pending_bytes >= ROW_GROUP_BUFFER_BYTES:
            self._flush(self._pending_rows)
        while self._pending_rows >= self._rows:
            self._flush(self._rows)

    def _flush(self, rows: int) -> None:
        table = pa.Table.from_batches(self._pending, self._schema)
        self._writer.write_table(table.slice(0, rows), row_group_size=rows)
        rest = table.slice(rows)
        self._pending = rest.to_batches()
        self._pending_rows = rest.num_rows
        self._pending_bytes = rest.nbytes if self._pending_rows else 0

    def close(self) -> None:
        if self._pending_rows:
            self._flush(self._pending_rows)
        self._writer.close()


def _write_parquet(path: Path, schema: pa.Schema, source: Source, options: WriteOptions) -> Sink:
    settings: Dict[str, Any] = {"compression": "snappy", "row_group_rows": DEFAULT_ROW_GROUP_ROWS,
                                "version": None, **source.kept}
    if options.compression is not None:
        settings["compression"] = options.compression
    if options.row_group_rows is not None:
        settings["row_group_rows"] = options.row_group_rows
    # Tokens are unique per row: a dictionary for them is built only to be
    # dropped again when it outgrows its page.
    nested = any(pa.types.is_nested(f.type) for f in schema)
    use_dictionary: Union[bool, List[str]] = True
    if options.hashed and not nested:
        use_dictionary = [f.name for f in schema if f.name not in options.hashed]
    return ParquetSink(path, schema, use_dictionary=use_dictionary, **settings)


# --- Arrow IPC -------------------------------------------------------------

def _read_ipc_file(path: Path) -> Source:
    import pyarrow.dataset as pads

    # One open for the schema and the row count, which comes from the
    # batches' metadata without reading their bodies.
    try:
        dataset = pads.dataset(str(path), format="ipc")
        schema = dataset.schema
    except (OSError, pa.ArrowException):
        # Not readable as a dataset: the file reader says why, in its words.
        with pa.OSFile(str(path)) as f:
            schema = paipc.open_file(f).schema
        dataset = None
    try:
        rows: Optional[int] = dataset.count_rows() if dataset is not None else None
    except (OSError, pa.ArrowException):
        rows = None

    def batches() -> Iterable[pa.RecordBatch]:
        # Reopened only when read, so a directory of files holds one open at a time.
        with pa.OSFile(str(path)) as f:
            reader = paipc.open_file(f)
            for i in range(reader.num_record_batches):
                yield reader.get_batch(i)

    return Source(path, schema, rows, batches)


def _read_ipc_stream(path: Path) -> Source:
    # Opened once and kept: a stream may come from a pipe, which can be read
    # only once and cannot seek.
    stream = pa.OSFile(str(path)) if path.is_file() else open(path, "rb")
    reader = paipc.open_stream(stream)
    return Source(path, reader.schema, None, lambda: reader)


class _WriterSink:
    def __init__(self, writer: Any) -> None:
        self._writer = writer

    def write(self, batch: pa.RecordBatch) -> None:
        self._writer.write_batch(batch)

    def close(self) -> None:
        self._writer.close()


def _ipc_writer(new: Callable[..., Any], default_codec: str) -> Callable[..., Sink]:
    def write(path: Path, schema: pa.Schema, source: Source, options: WriteOptions) -> Sink:
        codec = options.compression or default_codec
        ipc = paipc.IpcWriteOptions(compression=None if codec == "none" else codec)
        return _WriterSink(new(str(path), schema, options=ipc))
    return write


# --- CSV -------------------------------------------------------------------

_CSV_CONVERSION = re.compile(r"In CSV column #(\d+): Row #(\d+): (.*)", re.S)


def _read_csv(path: Path) -> Source:
    # Every column is read as text: values leave exactly as they came (leading
    # zeros, dates, number formats) and any column can be masked. Only an
    # empty field is null. One thread: pyarrow numbers rows only then, and on
    # two shared cores it reads as fast.
    read = pacsv.ReadOptions(block_size=CSV_BLOCK_BYTES, use_threads=False)
    ragged: List[Any] = []

    def keep(row: Any) -> str:
        # pyarrow's own message for the row quotes it whole; this keeps the counts.
        ragged.append((row.number, row.expected_columns, row.actual_columns))
        return "error"

    parse = pacsv.ParseOptions(invalid_row_handler=keep)
    names: List[str] = []

    def explain(error: BaseException, rows: int) -> str:
        # pyarrow counts rows from 1 at the header.
        if ragged:
            number, expected, actual = ragged[-1]
            return f"row {number} (the header is row 1) has {actual} fields, the header {expected}"
        found = _CSV_CONVERSION.match(str(error))
        if found and int(found[1]) < len(names):
            what = "not UTF-8 text" if "UTF8" in found[3] else reason(found[3])
            return f"row {found[2]} (the header is row 1), column '{names[int(found[1])]}': {what}"
        return read_failure(error, rows)

    # The header gives the names, and the names the types of the reader that
    # reads the rows, so the header is parsed once more by that reader.
    try:
        names.extend(pacsv.open_csv(str(path), read_options=read, parse_options=parse).schema.names)
    except (OSError, ValueError, pa.ArrowException) as e:
        raise failed(f"{path}: {explain(e, 0)}", e) from None
    if len(set(names)) != len(names):
        raise UsageError(f"{path}: the CSV header repeats a column name")
    convert = pacsv.ConvertOptions(column_types={n: pa.string() for n in names},
                                   null_values=[""], strings_can_be_null=True)

    def batches() -> Iterable[pa.RecordBatch]:
        return pacsv.open_csv(str(path), read_options=read, parse_options=parse, convert_options=convert)

    return Source(path, pa.schema([pa.field(n, pa.string()) for n in names]), None, batches, explain=explain)


def _write_csv(path: Path, schema: pa.Schema, source: Source, options: WriteOptions) -> Sink:
    return _WriterSink(pacsv.CSVWriter(str(path), schema))


# "arrow" and "feather" are both the Arrow IPC file format; "feather" output
# is LZ4-compressed by default, as pyarrow.feather writes it.
_IPC_CODECS = ("none", "lz4", "zstd")
FORMATS: Dict[str, Format] = {f.name: f for f in (
    Format("parquet", (".parquet", ".pq", ".parq"), _read_parquet, _write_parquet,
           ("none", "snappy", "gzip", "brotli", "lz4", "zstd"), "parquet"),
    Format("arrow", (".arrow", ".ipc"), _read_ipc_file, _ipc_writer(paipc.new_file, "none"), _IPC_CODECS, "ipc"),
    Format("feather", (".feather",), _read_ipc_file, _ipc_writer(paipc.new_file, "lz4"), _IPC_CODECS, "ipc"),
    Format("arrows", (".arrows",), _read_ipc_stream, _ipc_writer(paipc.new_stream, "none"), _IPC_CODECS),
    Format("csv", (".csv",), _read_csv, _write_csv, (), "csv", metadata=False),
)}


def format_of(path: Path) -> Optional[Format]:
    """The format path's extension names, if any."""
    suffix = path.suffix.lower()
    return next((f for f in FORMATS.values() if suffix in f.extensions), None)
