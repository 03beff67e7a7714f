"""The `quillon-mask` command: masks Parquet, Arrow IPC and CSV files.

Batches flow from a pyarrow reader through `quillon_mask.arrow.mask_stream`
into a pyarrow writer, one at a time, so memory stays bounded by a few
batches (a Parquet row group, at most ROW_GROUP_BUFFER_BYTES) whatever the
size of the input. Positions count over the whole input, files of a
directory in sorted path order, so the tokens equal those of `mask_table`
over the same rows.

Nothing is half-written: everything goes to a temporary file (or directory)
beside OUTPUT that is renamed into place only after the last batch and the
footer are on disk; on any error, Ctrl-C or SIGTERM it is removed and an
earlier OUTPUT is left as it was, and a run killed outright leaves its
temporary file to the next run for the same OUTPUT, which removes it once the
process named in it is gone. Every check that can refuse the job (the
options, the key, the transforms against every input schema) runs before
that temporary file exists. The key is read from the environment or a file,
never from argv, where `ps` and shell history would show it.

No message names a value of the input: errors name the file, the row and the
column. pyarrow quotes the offending text in some of its messages (a ragged CSV
row, a cast that would lose data), so its text is cut before it reaches the
user, in the one-line error and in the --debug traceback alike.
"""
from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import signal
import stat
import sys
import tempfile
import time
import traceback
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Union

import pyarrow as pa
import pyarrow.csv as pacsv
import pyarrow.ipc as paipc
import pyarrow.parquet as pq

PROG = "quillon-mask"
DEFAULT_KEY_ENV = "QUILLON_MASK_KEY"

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130

# "arrow" and "feather" are both the Arrow IPC file format; "feather" output
# is LZ4-compressed by default, as pyarrow.feather writes it.
FORMATS = ("parquet", "arrow", "feather", "arrows", "csv")
EXTENSIONS = {
    ".parquet": "parquet", ".pq": "parquet", ".parq": "parquet",
    ".arrow": "arrow", ".ipc": "arrow", ".feather": "feather",
    ".arrows": "arrows", ".csv": "csv",
}
SUFFIX = {"parquet": ".parquet", "arrow": ".arrow", "feather": ".feather", "arrows": ".arrows", "csv": ".csv"}
DATASET_FORMAT = {"parquet": "parquet", "arrow": "ipc", "feather": "ipc", "csv": "csv"}
PARQUET_CODECS = ("none", "snappy", "gzip", "brotli", "lz4", "zstd")
IPC_CODECS = ("none", "lz4", "zstd")
TRANSFORM_OPTIONS = (
    ("hash", "--hash", "replace COLUMN by keyed HMAC-SHA-256 tokens bound to the row position (e.g. --hash email)"),
    ("redact", "--redact", "replace each value of COLUMN by the text [REDACTED] (e.g. --redact name)"),
    ("null", "--null", "make COLUMN null in every row, keeping its type (e.g. --null phone)"),
    ("pass_through", "--pass-through", "copy COLUMN unchanged, stating so (e.g. --pass-through city)"),
)
VERBS = {"hash": "hashed", "redact": "redacted", "null": "nulled", "pass_through": "passed through"}

PARQUET_BATCH_ROWS = 64 * 1024
CSV_BLOCK_BYTES = 8 << 20
DEFAULT_ROW_GROUP_ROWS = 1024 * 1024
# A Parquet row group is written whole, so it is held in memory until it is
# complete: the input's row-group size is kept unless a group would pass this.
ROW_GROUP_BUFFER_BYTES = 256 << 20


class UsageError(Exception):
    """The command cannot run as given: exit 2, before any output exists."""


class DataError(Exception):
    """Reading, masking or writing failed: exit 1. The text names files, rows and
    columns, never a value."""


class Interrupted(BaseException):
    """Ctrl-C or SIGTERM arrived."""


EPILOG = f"""\
examples:
  export {DEFAULT_KEY_ENV}=...   # or --key-file key.txt; never on the command line
  {PROG} customers.parquet masked.parquet --hash email --redact name --null phone
  {PROG} extract/ masked/ --hash email --start 0          # a directory of Parquet files
  {PROG} customers.csv masked.parquet --transforms masking.json
  {PROG} events.arrows masked.arrows --hash user --key-file /run/secrets/mask-key

masking.json holds the list that mask() takes:
  [{{"column": "email", "type": "hash"}}, {{"column": "name", "type": "redact"}}]

formats: parquet (.parquet .pq .parq, or a directory of them), arrow (.arrow
.ipc, the Arrow IPC file format), feather (.feather, IPC file, LZ4 by
default), arrows (.arrows, the IPC stream format), csv (.csv: every column is
read as text, empty fields as null). A directory input gives a directory
OUTPUT with the same file names.

exit status:
  0    done: OUTPUT is complete
  1    masking or I/O error while reading or writing; OUTPUT not created.
       The message names the file, row and column, never a value
  2    usage error: bad option, missing key, unusable --transforms file, a
       transform that does not fit the input (unknown column, type that
       cannot be masked), OUTPUT exists or is not a regular file; nothing was
       read past the input's schema and nothing was written
  130  interrupted (Ctrl-C or SIGTERM); OUTPUT not created
"""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> None:  # type: ignore[override]
        # One line, as every other error of the command.
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see --help)\n")


class _AddTransform(argparse.Action):
    """Collects column options in command-line order, as mask() list entries."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: Optional[str] = None) -> None:
        entries = getattr(namespace, self.dest) or []
        entries.append({"column": values, "type": self.const})
        setattr(namespace, self.dest, entries)


def _count(text: str, minimum: int) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < minimum:
        raise argparse.ArgumentTypeError(f"must be {minimum} or more: {text}")
    return value


def build_parser() -> argparse.ArgumentParser:
    from quillon_mask import version

    p = _Parser(
        prog=PROG,
        description="Mask sensitive text columns of a Parquet, Arrow IPC or CSV file, "
                    "streaming, into a new file of the same format.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("input", metavar="INPUT", type=Path,
                   help="file or directory of Parquet files to read (e.g. customers.parquet)")
    p.add_argument("output", metavar="OUTPUT", type=Path,
                   help="file or directory to write; must not exist unless --overwrite (e.g. masked.parquet)")
    t = p.add_argument_group("transforms (each repeatable; combined with --transforms)")
    for kind, flag, text in TRANSFORM_OPTIONS:
        t.add_argument(flag, dest="entries", metavar="COLUMN", action=_AddTransform, const=kind, help=text)
    t.add_argument("--transforms", metavar="JSON_FILE", type=Path,
                   help="JSON list of {\"column\": ..., \"type\": ...} entries, '-' for stdin "
                        "(e.g. --transforms masking.json)")
    k = p.add_argument_group("key (read only when a column is hashed; never from argv)")
    src = k.add_mutually_exclusive_group()
    src.add_argument("--key-env", metavar="NAME", default=DEFAULT_KEY_ENV,
                     help=f"environment variable holding the key (default {DEFAULT_KEY_ENV}; e.g. --key-env MASK_KEY)")
    src.add_argument("--key-file", metavar="PATH", type=Path,
                     help="file whose bytes are the key, one trailing newline stripped (e.g. --key-file key.txt)")
    p.add_argument("--start", metavar="N", type=lambda s: _count(s, 0), default=0,
                   help="position of the first row; positions run over the whole input (default 0; e.g. --start 1000000)")
    f = p.add_argument_group("formats")
    f.add_argument("--format", choices=FORMATS,
                   help="format of INPUT when its extension does not tell (e.g. --format csv)")
    f.add_argument("--output-format", choices=FORMATS,
                   help="format of OUTPUT (default: from its extension, else that of INPUT; e.g. --output-format parquet)")
    f.add_argument("--compression", metavar="CODEC",
                   help="Parquet: none, snappy, gzip, brotli, lz4 or zstd (default: the input's codecs, else snappy); "
                        "Arrow IPC: none, lz4 or zstd (e.g. --compression zstd)")
    f.add_argument("--row-group-size", metavar="ROWS", type=lambda s: _count(s, 1),
                   help="rows per Parquet row group (default: the input's; e.g. --row-group-size 1000000)")
    o = p.add_argument_group("behaviour")
    o.add_argument("--overwrite", action="store_true",
                   help="replace an existing OUTPUT, a regular file or directory, keeping its mode and owner "
                        "(e.g. --overwrite)")
    o.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no summary line (e.g. -q)")
    o.add_argument("--debug", action="store_true", help="show the traceback of an error (e.g. --debug)")
    o.add_argument("--version", action="version", version=f"{PROG} {version()}")
    return p


# --- what to do ------------------------------------------------------------

@dataclass
class Job:
    source: Path
    target: Path  # where the writer writes, inside the staging area


@dataclass
class Plan:
    input_format: str
    output_format: str
    directory: bool
    jobs: List[Job] = field(default_factory=list)


def _format_of(path: Path) -> Optional[str]:
    return EXTENSIONS.get(path.suffix.lower())


def _read_transforms(args: argparse.Namespace) -> List[Any]:
    entries: List[Any] = []
    if args.transforms is not None:
        # The file may not be the one meant (a key file, an extract): its
        # messages give places in it, never its text.
        where = f"--transforms {args.transforms}"
        try:
            raw = sys.stdin.buffer.read() if str(args.transforms) == "-" else args.transforms.read_bytes()
            loaded = json.loads(raw.decode("utf-8"))
        except OSError as e:
            raise UsageError(f"cannot read {where}: {e.strerror or type(e).__name__}") from None
        except UnicodeDecodeError as e:
            raise UsageError(f"{where} is not UTF-8 text (byte {e.start + 1})") from None
        except json.JSONDecodeError as e:
            raise UsageError(f"{where} is not valid JSON: {e.msg.partition(': ')[0]} "
                             f"at line {e.lineno} column {e.colno}") from None
        except RecursionError:
            raise UsageError(f"{where} nests too deep to be a list of transforms") from None
        if not isinstance(loaded, list):
            raise UsageError(f"{where} must hold a JSON list, found {type(loaded).__name__}")
        for number, entry in enumerate(loaded, 1):
            kind = entry.get("type") if isinstance(entry, dict) else None
            if isinstance(kind, str) and kind not in VERBS:
                # mask() would quote the unknown name; here it stays unsaid.
                raise UsageError(f"{where}: entry {number} has an unknown type; "
                                 f"the types are {', '.join(VERBS)}")
        entries.extend(loaded)
    entries.extend(args.entries or [])
    if not entries:
        raise UsageError("nothing to mask: give --hash, --redact, --null, --pass-through or --transforms")
    return entries


def _hashes(entries: Sequence[Any]) -> bool:
    return any(isinstance(e, dict) and e.get("type") == "hash" for e in entries)


def _read_key(args: argparse.Namespace, needed: bool) -> Optional[bytes]:
    if args.key_file is not None:
        try:
            key = args.key_file.read_bytes()
        except OSError as e:
            raise UsageError(f"cannot read --key-file {args.key_file}: {e.strerror}") from e
        if key.endswith(b"\n"):
            key = key[:-1]
        where = f"key file {args.key_file}"
    else:
        environ = getattr(os, "environb", None)
        if environ is not None:
            key = environ.get(os.fsencode(args.key_env))
        else:
            value = os.environ.get(args.key_env)
            key = None if value is None else value.encode()
        where = f"${args.key_env}"
        if key is None:
            if needed:
                raise UsageError(f"HMAC key required for Hash transform: set {args.key_env} "
                                 "(or --key-env NAME, --key-file PATH)")
            return None
    if not key and needed:
        # An empty HMAC key is valid but no secret: tokens anyone could recompute.
        raise UsageError(f"the key in {where} is empty")
    return key


def _same_or_inside(a: Path, b: Path) -> bool:
    return a == b or b in a.parents


def _kind(path: Path) -> str:
    """What path is, through a symlink, in the words the refusals use."""
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        return "a symlink to nothing"
    for test, name in ((stat.S_ISREG, "a regular file"), (stat.S_ISDIR, "a directory"),
                       (stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"),
                       (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket")):
        if test(mode):
            return name
    return "a special file"


def _check_replaceable(out: Path, directory: bool) -> None:
    # Only what this command writes may be replaced: renaming over a FIFO or
    # a device would take its name from whatever uses it.
    wanted = "a directory" if directory else "a regular file"
    kind = _kind(out)
    if kind != wanted:
        raise UsageError(f"OUTPUT {out} is {kind}; --overwrite replaces only {wanted} here")


def _plan(args: argparse.Namespace) -> Plan:
    src: Path = args.input
    out: Path = args.output
    if not src.exists():
        raise UsageError(f"INPUT {src} does not exist")
    directory = src.is_dir()
    if args.format:
        in_fmt = args.format
    elif directory:
        in_fmt = "parquet"
    else:
        in_fmt = _format_of(src) or ""
        if not in_fmt:
            raise UsageError(f"cannot tell the format of {src} from its extension; give --format")
    out_fmt = args.output_format or (None if directory else _format_of(out)) or in_fmt

    real_src, real_out = src.resolve(), out.resolve()
    if _same_or_inside(real_out, real_src) or (out.exists() and os.path.samefile(src, out)):
        raise UsageError(f"OUTPUT {out} is INPUT{' or inside it' if directory else ''}; write elsewhere")
    if out.exists() or out.is_symlink():
        if not args.overwrite:
            raise UsageError(f"OUTPUT {out} exists; pass --overwrite to replace it")
        _check_replaceable(out, directory)
        if _same_or_inside(real_src, real_out):
            raise UsageError(f"INPUT {src} is inside OUTPUT {out}, which --overwrite would delete")
    if not real_out.parent.is_dir():
        raise UsageError(f"the directory of OUTPUT, {out.parent}, does not exist")

    codecs = PARQUET_CODECS if out_fmt == "parquet" else IPC_CODECS if out_fmt != "csv" else ()
    if args.compression is not None and args.compression.lower() not in codecs:
        raise UsageError(f"--compression {args.compression} does not apply to {out_fmt} output"
                         + (f" (one of {', '.join(codecs)})" if codecs else ""))
    if args.row_group_size is not None and out_fmt != "parquet":
        raise UsageError(f"--row-group-size applies to Parquet output only, not {out_fmt}")

    plan = Plan(in_fmt, out_fmt, directory)
    if not directory:
        plan.jobs.append(Job(src, Path()))
        return plan
    if in_fmt not in DATASET_FORMAT:
        raise UsageError(f"a directory INPUT must hold parquet, arrow, feather or csv files, not {in_fmt}")
    import pyarrow.dataset as pads  # only here: it is slow to import

    try:
        # A schema given lists the files without reading them: each is read,
        # and its errors told, as a file of its own.
        files = sorted(pads.dataset(str(src), format=DATASET_FORMAT[in_fmt], schema=pa.schema([])).files)
    except (OSError, pa.ArrowException) as e:
        raise UsageError(f"cannot list INPUT {src} as a {in_fmt} dataset: {_reason(e)}") from None
    if not files:
        raise UsageError(f"INPUT {src} holds no {in_fmt} files")
    for name in files:
        rel = Path(os.path.relpath(name, str(src)))
        if out_fmt != in_fmt:
            rel = rel.with_suffix(SUFFIX[out_fmt])
        plan.jobs.append(Job(Path(name), rel))
    return plan


# --- reading ---------------------------------------------------------------

def _reason(error: BaseException) -> str:
    """A foreign error's text cut to what cannot quote the data: its first line
    up to the first ": ", after which pyarrow goes on to the offending text or
    number ("Expected 2 columns, got 3: <row>", "would lose data: <value>"),
    without quoted spans or a number after "value", in printable ASCII."""
    text = str(error).split("\n", 1)[0].split(": ", 1)[0]
    text = re.sub(r"'[^']*'|\"[^\"]*\"", "'...'", text)
    text = re.sub(r"\bvalue [-+.\w]+", "value", text)
    text = " ".join("".join(c for c in text if " " <= c <= "~").split())
    return text or type(error).__name__


def _read_failure(error: BaseException, rows: int) -> str:
    return f"reading failed after {rows:,} rows: {_reason(error)}"


@dataclass
class Source:
    path: Path
    schema: pa.Schema
    rows: Optional[int]  # None where the format has no row count up front
    open: Callable[[], pa.RecordBatchReader]
    parquet: Optional[pq.FileMetaData] = None
    # What went wrong, given the error and the rows read before it, for "<path>: ...".
    explain: Callable[[BaseException, int], str] = _read_failure


def _parquet_source(path: Path) -> Source:
    meta = pq.read_metadata(str(path))
    schema = meta.schema.to_arrow_schema()

    def open_() -> pa.RecordBatchReader:
        pf = pq.ParquetFile(str(path))
        return pa.RecordBatchReader.from_batches(pf.schema_arrow, pf.iter_batches(batch_size=PARQUET_BATCH_ROWS))

    return Source(path, schema, meta.num_rows, open_, meta)


def _ipc_file_source(path: Path) -> Source:
    import pyarrow.dataset as pads

    with pa.OSFile(str(path)) as f:
        schema = paipc.open_file(f).schema
    try:
        # Counts from the batches' metadata, without reading their bodies.
        rows: Optional[int] = pads.dataset(str(path), format="ipc").count_rows()
    except (OSError, pa.ArrowException):
        rows = None

    def batches() -> Iterator[pa.RecordBatch]:
        with pa.OSFile(str(path)) as f:
            reader = paipc.open_file(f)
            for i in range(reader.num_record_batches):
                yield reader.get_batch(i)

    return Source(path, schema, rows, lambda: pa.RecordBatchReader.from_batches(schema, batches()))


def _ipc_stream_source(path: Path) -> Source:
    # Opened once and kept: a stream may come from a pipe, which can be read
    # only once and cannot seek.
    stream = pa.OSFile(str(path)) if path.is_file() else open(path, "rb")
    reader = paipc.open_stream(stream)
    return Source(path, reader.schema, None, lambda: reader)


_CSV_CONVERSION = re.compile(r"In CSV column #(\d+): Row #(\d+): (.*)", re.S)


def _csv_source(path: Path) -> Source:
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
            what = "not UTF-8 text" if "UTF8" in found[3] else _reason(found[3])
            return f"row {found[2]} (the header is row 1), column '{names[int(found[1])]}': {what}"
        return _read_failure(error, rows)

    try:
        names.extend(pacsv.open_csv(str(path), read_options=read, parse_options=parse).schema.names)
    except (OSError, ValueError, pa.ArrowException) as e:
        raise _failed(f"{path}: {explain(e, 0)}", e) from None
    if len(set(names)) != len(names):
        raise UsageError(f"{path}: the CSV header repeats a column name")
    convert = pacsv.ConvertOptions(column_types={n: pa.string() for n in names},
                                   null_values=[""], strings_can_be_null=True)

    def open_() -> pa.RecordBatchReader:
        return pacsv.open_csv(str(path), read_options=read, parse_options=parse, convert_options=convert)

    return Source(path, pa.schema([pa.field(n, pa.string()) for n in names]), None, open_, explain=explain)


SOURCES: Dict[str, Callable[[Path], Source]] = {
    "parquet": _parquet_source, "arrow": _ipc_file_source, "feather": _ipc_file_source,
    "arrows": _ipc_stream_source, "csv": _csv_source,
}


def _failed(text: str, cause: BaseException) -> DataError:
    """DataError(text) carrying the frames of cause, raised `from None` so that
    cause's own text, which may quote the data, is not shown with it."""
    return DataError(text).with_traceback(cause.__traceback__)


def _open_source(fmt: str, path: Path) -> Source:
    try:
        return SOURCES[fmt](path)
    except (OSError, ValueError, pa.ArrowException) as e:
        raise _failed(f"{path}: cannot read it as {fmt}: {_reason(e)}", e) from None


class _Reading:
    """A source's batches for the masking stream. pyarrow hands a failure
    inside the stream back as text, so this keeps the DataError it made for
    the run to raise."""

    def __init__(self, source: Source) -> None:
        self.source = source
        self.error: Optional[DataError] = None

    def reader(self) -> pa.RecordBatchReader:
        return pa.RecordBatchReader.from_batches(self.source.schema, self._batches())

    def _batches(self) -> Iterator[pa.RecordBatch]:
        rows = 0
        try:
            for batch in self.source.open():
                yield batch
                rows += batch.num_rows
        except Exception as e:
            self.error = _failed(f"{self.source.path}: {self.source.explain(e, rows)}", e)
            raise self.error from None


# --- writing ---------------------------------------------------------------

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


class _WriterSink:
    def __init__(self, writer: Any) -> None:
        self._writer = writer

    def write(self, batch: pa.RecordBatch) -> None:
        self._writer.write_batch(batch)

    def close(self) -> None:
        self._writer.close()


def _parquet_codec(name: str) -> Optional[str]:
    # The footer names codecs as the format does; the writer takes these.
    return {"UNCOMPRESSED": "none", "SNAPPY": "snappy", "GZIP": "gzip", "BROTLI": "brotli",
            "ZSTD": "zstd", "LZ4": "lz4", "LZ4_RAW": "lz4"}.get(name)


def _parquet_options(source: Source, args: argparse.Namespace, schema: pa.Schema,
                     hashed: List[str]) -> Dict[str, Any]:
    meta = source.parquet
    compression: Union[str, Dict[str, str]] = "snappy"
    rows = DEFAULT_ROW_GROUP_ROWS
    version = None
    if meta is not None:
        if meta.num_row_groups:
            rows = max(meta.row_group(i).num_rows for i in range(meta.num_row_groups)) or rows
            group = meta.row_group(0)
            codecs = {}
            for i in range(group.num_columns):
                chunk = group.column(i)
                codecs[chunk.path_in_schema] = _parquet_codec(chunk.compression) or "snappy"
            if codecs:
                kinds = set(codecs.values())
                compression = kinds.pop() if len(kinds) == 1 else codecs
        if meta.format_version in ("1.0", "2.4", "2.6"):
            version = meta.format_version
    if args.compression is not None:
        compression = args.compression.lower()
    if args.row_group_size is not None:
        rows = args.row_group_size
    # Tokens are unique per row: a dictionary for them is built only to be
    # dropped again when it outgrows its page.
    nested = any(pa.types.is_nested(f.type) for f in schema)
    use_dictionary: Union[bool, List[str]] = True
    if hashed and not nested:
        use_dictionary = [f.name for f in schema if f.name not in hashed]
    return {"row_group_rows": rows, "compression": compression, "version": version,
            "use_dictionary": use_dictionary}


def _open_sink(fmt: str, path: Path, schema: pa.Schema, source: Source,
               args: argparse.Namespace, hashed: List[str]) -> Any:
    if fmt == "parquet":
        return ParquetSink(path, schema, **_parquet_options(source, args, schema, hashed))
    if fmt == "csv":
        return _WriterSink(pacsv.CSVWriter(str(path), schema))
    codec = args.compression.lower() if args.compression else ("lz4" if fmt == "feather" else "none")
    options = paipc.IpcWriteOptions(compression=None if codec == "none" else codec)
    new = paipc.new_stream if fmt == "arrows" else paipc.new_file
    return _WriterSink(new(str(path), schema, options=options))


# --- staging: nothing half-written ----------------------------------------

def _fsync(path: Path) -> None:
    fd = os.open(str(path), os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except (PermissionError, OverflowError):
        pass  # another user's process, or no pid at all: leave its file be
    return True


def _remove_abandoned(target: Path) -> None:
    """Removes what runs killed while writing target left beside it:
    .<name>.<pid>.<random>.tmp while they wrote, and .<name>.<pid>.<random>.old
    while they swapped directories, once process <pid> is gone. An .old
    directory stays while target is missing: it holds the only earlier OUTPUT."""
    lead = f".{target.name}."
    for entry in os.scandir(target.parent):
        if not entry.name.startswith(lead):
            continue
        found = re.fullmatch(r"(\d+)\.[a-z0-9_]+\.(tmp|old)", entry.name[len(lead):])
        if not found or _alive(int(found[1])):
            continue
        if found[2] == "old" and not os.path.lexists(target):
            continue
        if entry.is_dir(follow_symlinks=False):
            shutil.rmtree(entry.path, ignore_errors=True)
        else:
            try:
                os.unlink(entry.path)
            except FileNotFoundError:
                pass  # another run cleaned up first


def _take_owner_and_mode(path: Path, earlier: os.stat_result) -> None:
    # Owner and group first: a change of owner clears set-id bits.
    now = os.stat(path)
    if (now.st_uid, now.st_gid) != (earlier.st_uid, earlier.st_gid):
        for uid in (earlier.st_uid, -1):  # the group alone where the owner cannot be given
            try:
                os.chown(path, uid, earlier.st_gid)
                break
            except PermissionError:
                continue
    os.chmod(path, stat.S_IMODE(earlier.st_mode))


class Staging:
    """A temporary file or directory beside OUTPUT, renamed into place by
    commit(). Its name holds the pid of its writer, so that a later run can
    tell an abandoned one from one still being written."""

    def __init__(self, target: Path, directory: bool) -> None:
        self.target = target
        self.directory = directory
        parent = str(target.parent)
        _remove_abandoned(target)
        prefix = f".{target.name}.{os.getpid()}."
        if directory:
            self.path = Path(tempfile.mkdtemp(prefix=prefix, suffix=".tmp", dir=parent))
        else:
            fd, name = tempfile.mkstemp(prefix=prefix, suffix=".tmp", dir=parent)
            os.close(fd)
            self.path = Path(name)

    def commit(self, overwrite: bool) -> None:
        if self.directory:
            for root, _, files in os.walk(self.path):
                for name in files:
                    _fsync(Path(root) / name)
        else:
            _fsync(self.path)
        if os.path.lexists(self.target):
            if not overwrite:
                raise FileExistsError(f"OUTPUT {self.target} appeared while masking; left it as it is")
            try:
                _check_replaceable(self.target, self.directory)
            except UsageError as e:
                raise DataError(f"{e} (it changed while masking)") from None
            # What is replaced keeps its permissions and, where allowed, its owner.
            _take_owner_and_mode(self.path, os.stat(self.target))
        else:
            # mkstemp/mkdtemp make owner-only entries; a new OUTPUT gets the
            # permissions any new file would.
            umask = os.umask(0)
            os.umask(umask)
            os.chmod(self.path, (0o777 if self.directory else 0o666) & ~umask)
        if self.directory and os.path.lexists(self.target):
            # A directory cannot replace another in one step: the old one
            # steps aside, the new one takes its name, then the old one goes.
            old = Path(tempfile.mkdtemp(prefix=f".{self.target.name}.{os.getpid()}.", suffix=".old",
                                        dir=str(self.target.parent)))
            os.replace(self.target, old / "d")
            try:
                os.replace(self.path, self.target)
            except BaseException:
                os.replace(old / "d", self.target)
                raise
            shutil.rmtree(old, ignore_errors=True)
        else:
            os.replace(self.path, self.target)
        try:
            _fsync(self.target.parent)
        except OSError:
            pass

    def discard(self) -> None:
        if self.directory:
            shutil.rmtree(self.path, ignore_errors=True)
        else:
            try:
                self.path.unlink()
            except FileNotFoundError:
                pass


# --- the run ---------------------------------------------------------------

def _one_line(error: BaseException) -> str:
    text = " ".join(str(error).split())
    return text or type(error).__name__


def _safe_text(error: BaseException) -> str:
    """error's text as the user sees it: ours (and the masking engine's) name
    no value; anything else is cut by _reason."""
    if isinstance(error, (UsageError, DataError)):
        return _one_line(error)
    if isinstance(error, (Interrupted, KeyboardInterrupt)):
        return "interrupted"
    return _reason(error)


def _print_traceback(error: BaseException) -> None:
    """What traceback.print_exception prints, each exception's text given by
    _safe_text: a foreign one in the chain may quote the data."""
    chain: List[BaseException] = []
    link: Optional[BaseException] = error
    while link is not None and all(link is not seen for seen in chain):
        chain.append(link)
        link = link.__cause__ if link.__cause__ is not None else \
            None if link.__suppress_context__ else link.__context__
    lines: List[str] = []
    for earlier, e in zip([None, *reversed(chain)], reversed(chain)):
        if earlier is not None:
            lines.append("\nThe above exception was the direct cause of the following exception:\n\n"
                         if e.__cause__ is earlier else
                         "\nDuring handling of the above exception, another exception occurred:\n\n")
        if e.__traceback__ is not None:
            lines.append("Traceback (most recent call last):\n")
            lines.extend(traceback.format_tb(e.__traceback__))
        kind = type(e)
        name = kind.__qualname__ if kind.__module__ in ("builtins", "__main__") else f"{kind.__module__}.{kind.__qualname__}"
        lines.append(f"{name}: {_safe_text(e)}\n")
    sys.stderr.write("".join(lines))


class _Writing:
    """A sink whose failures name OUTPUT's file and the rows written before."""

    def __init__(self, shown: Path, open_: Callable[[], Any]) -> None:
        self.shown = shown
        self.rows = 0
        self._sink = self._do(open_)

    def _do(self, step: Callable[..., Any], *args: Any) -> Any:
        try:
            return step(*args)
        except (OSError, ValueError, pa.ArrowException) as e:
            raise _failed(f"{self.shown}: writing failed after {self.rows:,} rows: {_reason(e)}", e) from None

    def write(self, batch: pa.RecordBatch) -> None:
        self._do(self._sink.write, batch)
        self.rows += batch.num_rows

    def close(self) -> None:
        self._do(self._sink.close)


def _progress(total: Optional[int], quiet: bool) -> Any:
    from tqdm import tqdm

    # A bar only where someone watches: never into a log or a pipe.
    return tqdm(total=total, unit=" rows", unit_scale=True, dynamic_ncols=True, leave=False,
                file=sys.stderr, disable=quiet or not sys.stderr.isatty())


def _check(sources: List[Source], entries: List[Any], key: Optional[bytes], start: int) -> None:
    from quillon_mask.arrow import mask_stream

    for source in sources:
        for number, name in enumerate(source.schema.names, 1):
            if "\0" in name:
                # Names cross the C Data Interface as C strings, cut at the NUL.
                raise UsageError(f"{source.path}: column {number} has a NUL character in its name")
        # The schema alone: unknown columns, unmaskable types and a missing
        # key are refused before a single batch is read.
        empty = pa.RecordBatchReader.from_batches(source.schema, iter(()))
        try:
            mask_stream(empty, entries, key, start=start)
        except (ValueError, TypeError) as e:
            raise UsageError(_one_line(e)) from e


@dataclass
class _Signals:
    interrupted: bool = False
    committed: bool = False  # past this, OUTPUT is complete and stays


def _run(args: argparse.Namespace, signals: _Signals) -> int:
    from quillon_mask.arrow import mask_stream

    began = time.monotonic()
    entries = _read_transforms(args)
    plan = _plan(args)
    key = _read_key(args, _hashes(entries))
    sources = [_open_source(plan.input_format, job.source) for job in plan.jobs]
    _check(sources, entries, key, args.start)
    hashed = [e["column"] for e in entries if isinstance(e, dict) and e.get("type") == "hash"]

    total: Optional[int] = sum(s.rows for s in sources if s.rows is not None)
    if any(s.rows is None for s in sources):
        total = None
    staging = Staging(args.output, plan.directory)
    position = args.start
    try:
        with _progress(total, args.quiet) as bar:
            for job, source in zip(plan.jobs, sources):
                target = staging.path / job.target if plan.directory else staging.path
                target.parent.mkdir(parents=True, exist_ok=True)
                reading = _Reading(source)
                masked = mask_stream(reading.reader(), entries, key, start=position)
                sink = _Writing(args.output / job.target if plan.directory else args.output,
                                lambda: _open_sink(plan.output_format, target, masked.schema, source, args, hashed))
                try:
                    for batch in masked:
                        sink.write(batch)
                        position += batch.num_rows
                        bar.update(batch.num_rows)
                except DataError:
                    raise
                except Exception as e:
                    if reading.error is not None:
                        raise reading.error from None
                    raise _failed(f"{source.path}: masking failed after {sink.rows:,} rows: {_one_line(e)}",
                                  e) from None
                sink.close()
        staging.commit(args.overwrite)
        signals.committed = True
    except BaseException:
        staging.discard()
        raise
    if not args.quiet:
        done = {}
        for e in entries:
            done[e["type"]] = done.get(e["type"], 0) + 1
        what = ", ".join(f"{n} {VERBS[t]}" for t, n in done.items())
        print(f"{PROG}: {position - args.start:,} rows, columns {what}, "
              f"{time.monotonic() - began:.2f} s -> {args.output}", file=sys.stderr)
    return EXIT_OK


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    signals = _Signals()

    def stop(signum: int, frame: Any) -> None:
        if not signals.committed:
            signals.interrupted = True
            raise Interrupted()

    previous = {s: signal.signal(s, stop) for s in (signal.SIGINT, signal.SIGTERM)}
    error: Optional[BaseException] = None
    try:
        return _run(args, signals)
    except UsageError as e:
        error, code = e, EXIT_USAGE
    except (Interrupted, KeyboardInterrupt) as e:
        error, code = e, EXIT_INTERRUPTED
    except Exception as e:
        # A signal that arrived inside a reader's callback comes back
        # wrapped in that reader's error.
        error, code = e, EXIT_INTERRUPTED if signals.interrupted else EXIT_FAILED
    finally:
        for s, handler in previous.items():
            signal.signal(s, handler)
    if args.debug:
        _print_traceback(error)
    text = "interrupted" if code == EXIT_INTERRUPTED else _safe_text(error)
    print(f"{PROG}: error: {text}", file=sys.stderr)
    return code
