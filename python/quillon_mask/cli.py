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
earlier OUTPUT is left as it was. Every check that can refuse the job (the
options, the key, the transforms against every input schema) runs before
that temporary file exists. The key is read from the environment or a file,
never from argv, where `ps` and shell history would show it.
"""
from __future__ import annotations

import argparse
import json
import os
import shutil
import signal
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
  1    masking or I/O error while reading or writing; OUTPUT not created
  2    usage error: bad option, missing key, a transform that does not fit the
       input (unknown column, type that cannot be masked), OUTPUT exists;
       nothing was read past the input's schema and nothing was written
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
    o.add_argument("--overwrite", action="store_true", help="replace an existing OUTPUT (e.g. --overwrite)")
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
        try:
            text = sys.stdin.read() if str(args.transforms) == "-" else args.transforms.read_text("utf-8")
        except (OSError, UnicodeDecodeError) as e:
            raise UsageError(f"cannot read --transforms {args.transforms}: {e}") from e
        try:
            loaded = json.loads(text)
        except json.JSONDecodeError as e:
            raise UsageError(f"--transforms {args.transforms} is not valid JSON: {e}") from e
        if not isinstance(loaded, list):
            raise UsageError(f"--transforms {args.transforms} must hold a JSON list, found {type(loaded).__name__}")
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
        if out.is_dir() != directory:
            raise UsageError(f"OUTPUT {out} is {'a directory' if out.is_dir() else 'a file'}, "
                             f"INPUT {'a directory' if directory else 'a file'}; will not replace one by the other")
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
        files = sorted(pads.dataset(str(src), format=DATASET_FORMAT[in_fmt]).files)
    except (OSError, pa.ArrowException) as e:
        raise UsageError(f"cannot list INPUT {src} as a {in_fmt} dataset: {_one_line(e)}") from e
    if not files:
        raise UsageError(f"INPUT {src} holds no {in_fmt} files")
    for name in files:
        rel = Path(os.path.relpath(name, str(src)))
        if out_fmt != in_fmt:
            rel = rel.with_suffix(SUFFIX[out_fmt])
        plan.jobs.append(Job(Path(name), rel))
    return plan


# --- reading ---------------------------------------------------------------

@dataclass
class Source:
    schema: pa.Schema
    rows: Optional[int]  # None where the format has no row count up front
    open: Callable[[], pa.RecordBatchReader]
    parquet: Optional[pq.FileMetaData] = None


def _parquet_source(path: Path) -> Source:
    meta = pq.read_metadata(str(path))
    schema = meta.schema.to_arrow_schema()

    def open_() -> pa.RecordBatchReader:
        pf = pq.ParquetFile(str(path))
        return pa.RecordBatchReader.from_batches(pf.schema_arrow, pf.iter_batches(batch_size=PARQUET_BATCH_ROWS))

    return Source(schema, meta.num_rows, open_, meta)


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

    return Source(schema, rows, lambda: pa.RecordBatchReader.from_batches(schema, batches()))


def _ipc_stream_source(path: Path) -> Source:
    # Opened once and kept: a stream may come from a pipe, which can be read
    # only once and cannot seek.
    stream = pa.OSFile(str(path)) if path.is_file() else open(path, "rb")
    reader = paipc.open_stream(stream)
    return Source(reader.schema, None, lambda: reader)


def _csv_source(path: Path) -> Source:
    # Every column is read as text: values leave exactly as they came (leading
    # zeros, dates, number formats) and any column can be masked. Only an
    # empty field is null.
    read = pacsv.ReadOptions(block_size=CSV_BLOCK_BYTES)
    names = pacsv.open_csv(str(path), read_options=read).schema.names
    if len(set(names)) != len(names):
        raise UsageError(f"{path}: the CSV header repeats a column name")
    convert = pacsv.ConvertOptions(column_types={n: pa.string() for n in names},
                                   null_values=[""], strings_can_be_null=True)

    def open_() -> pa.RecordBatchReader:
        return pacsv.open_csv(str(path), read_options=read, convert_options=convert)

    return Source(pa.schema([pa.field(n, pa.string()) for n in names]), None, open_)


SOURCES: Dict[str, Callable[[Path], Source]] = {
    "parquet": _parquet_source, "arrow": _ipc_file_source, "feather": _ipc_file_source,
    "arrows": _ipc_stream_source, "csv": _csv_source,
}


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


class Staging:
    """A temporary file or directory beside OUTPUT, renamed into place by commit()."""

    def __init__(self, target: Path, directory: bool) -> None:
        self.target = target
        self.directory = directory
        parent = str(target.parent)
        prefix = f".{target.name}."
        if directory:
            self.path = Path(tempfile.mkdtemp(prefix=prefix, suffix=".tmp", dir=parent))
        else:
            fd, name = tempfile.mkstemp(prefix=prefix, suffix=".tmp", dir=parent)
            os.close(fd)
            self.path = Path(name)

    def commit(self, overwrite: bool) -> None:
        # mkstemp/mkdtemp make owner-only entries; the result gets the
        # permissions any new file would.
        umask = os.umask(0)
        os.umask(umask)
        if self.directory:
            for root, _, files in os.walk(self.path):
                for name in files:
                    _fsync(Path(root) / name)
            os.chmod(self.path, 0o777 & ~umask)
        else:
            _fsync(self.path)
            os.chmod(self.path, 0o666 & ~umask)
        if os.path.lexists(self.target) and not overwrite:
            raise FileExistsError(f"OUTPUT {self.target} appeared while masking; left it as it is")
        if self.directory and os.path.lexists(self.target):
            # A directory cannot replace another in one step: the old one
            # steps aside, the new one takes its name, then the old one goes.
            old = Path(tempfile.mkdtemp(prefix=f".{self.target.name}.", suffix=".old", dir=str(self.target.parent)))
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


def _progress(total: Optional[int], quiet: bool) -> Any:
    from tqdm import tqdm

    # A bar only where someone watches: never into a log or a pipe.
    return tqdm(total=total, unit=" rows", unit_scale=True, dynamic_ncols=True, leave=False,
                file=sys.stderr, disable=quiet or not sys.stderr.isatty())


def _check(sources: List[Source], entries: List[Any], key: Optional[bytes], start: int) -> None:
    from quillon_mask.arrow import mask_stream

    for source in sources:
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
    sources = [SOURCES[plan.input_format](job.source) for job in plan.jobs]
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
                masked = mask_stream(source.open(), entries, key, start=position)
                sink = _open_sink(plan.output_format, target, masked.schema, source, args, hashed)
                for batch in masked:
                    sink.write(batch)
                    position += batch.num_rows
                    bar.update(batch.num_rows)
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
        traceback.print_exception(type(error), error, error.__traceback__)
    text = "interrupted" if code == EXIT_INTERRUPTED else _one_line(error)
    print(f"{PROG}: error: {text}", file=sys.stderr)
    return code
