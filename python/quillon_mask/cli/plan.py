"""The command's configuration, validated once into a Plan before anything is
written: the transforms, the key, the formats, the paths and their overwrite
rules, every input file opened for its schema and row count, and the
transforms checked against every schema. Each fact is worked out here once;
the run only follows the plan.

Every check that can refuse the job runs here, so a refusal (UsageError,
exit 2) leaves nothing behind. The key is read from the environment or a
file, never from argv, where `ps` and shell history would show it.
"""
from __future__ import annotations

import hashlib
import hmac
import json
import os
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence, Tuple

import pyarrow as pa

from quillon_mask.cli.arguments import KEYED, TRANSFORMS
from quillon_mask.cli.errors import UsageError, failed, one_line, reason
from quillon_mask.cli.formats import FORMATS, Format, Source, WriteOptions, format_of
from quillon_mask.cli.staging import check_target


@dataclass(frozen=True)
class Job:
    source: Source
    shown: Path  # the file written, as messages name it
    relative: Path  # its place inside a directory OUTPUT; Path() for a file


@dataclass(frozen=True)
class Plan:
    output: Path
    directory: bool
    output_format: Format
    jobs: Tuple[Job, ...]
    transforms: List[Any]  # as mask_stream takes them
    key: Optional[bytes]
    start: int
    writing: WriteOptions
    rows: Optional[int]  # over every input, None where one does not record its count
    summary: str  # "1 hashed, 1 redacted"
    overwrite: bool
    quiet: bool
    reveal: bool = False  # the inverse run: encrypt and fpe columns decrypted
    fingerprint: Optional[str] = None  # of the key, for the record; None without a key

# The schema-metadata key of the record every Parquet and IPC output carries.
RECORD_KEY = "quillon_mask"


def fingerprint(key: bytes) -> str:
    """What names a key in the record without giving it away."""
    return hmac.new(key, b"quillon_mask key fingerprint", hashlib.sha256).hexdigest()[:16]


def record(plan: Plan, start: int, rows: Optional[int]) -> str:
    """The record for one output file: its first row's position and row count."""
    from quillon_mask import version

    fields: Dict[str, Any] = {"version": version(), "transforms": plan.transforms, "start": start,
                              "rows": rows, "key_fingerprint": plan.fingerprint}
    if plan.reveal:
        fields["revealed"] = True
    return json.dumps(fields, ensure_ascii=False)


def _read_transforms(path: Optional[Path], options: Sequence[Dict[str, str]]) -> List[Any]:
    entries: List[Any] = []
    if path is not None:
        # The file may not be the one meant (a key file, an extract): its
        # messages give places in it, never its text.
        where = f"--transforms {path}"
        try:
            raw = sys.stdin.buffer.read() if str(path) == "-" else path.read_bytes()
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
            if isinstance(kind, str) and kind not in TRANSFORMS:
                # mask() would quote the unknown name; here it stays unsaid.
                raise UsageError(f"{where}: entry {number} has an unknown type; "
                                 f"the types are {', '.join(TRANSFORMS)}")
        entries.extend(loaded)
    entries.extend(options)
    if not entries:
        raise UsageError("nothing to mask: give --hash, --redact, --null, --pass-through, --pseudonym, "
                         "--encrypt or --transforms")
    return entries


def _read_key(key_file: Optional[Path], key_env: str, needed: Optional[str]) -> Optional[bytes]:
    """The key; `needed` is what requires one ("HMAC key required for Hash
    transform"), None when nothing does."""
    if key_file is not None:
        try:
            key = key_file.read_bytes()
        except OSError as e:
            raise UsageError(f"cannot read --key-file {key_file}: {e.strerror}") from e
        if key.endswith(b"\n"):
            key = key[:-1]
        where = f"key file {key_file}"
    else:
        environ = getattr(os, "environb", None)
        if environ is not None:
            found = environ.get(os.fsencode(key_env))
        else:
            value = os.environ.get(key_env)
            found = None if value is None else value.encode()
        where = f"${key_env}"
        if found is None:
            if needed:
                raise UsageError(f"{needed}: set {key_env} (or --key-env NAME, --key-file PATH)")
            return None
        key = found
    if not key and needed:
        # An empty HMAC key is valid but no secret: tokens anyone could recompute.
        raise UsageError(f"the key in {where} is empty")
    return key


def _files(src: Path, fmt: Format, out_fmt: Format) -> List[Tuple[Path, Path]]:
    """The files of a directory INPUT in sorted path order, each with its place in OUTPUT."""
    if fmt.dataset is None:
        names = [f.name for f in FORMATS.values() if f.dataset is not None]
        raise UsageError(f"a directory INPUT must hold {', '.join(names[:-1])} or {names[-1]} files, not {fmt.name}")
    import pyarrow.dataset as pads  # only here: it is slow to import

    try:
        # A schema given lists the files without reading them: each is read,
        # and its errors told, as a file of its own.
        files = sorted(pads.dataset(str(src), format=fmt.dataset, schema=pa.schema([])).files)
    except (OSError, pa.ArrowException) as e:
        raise UsageError(f"cannot list INPUT {src} as a {fmt.name} dataset: {reason(e)}") from None
    if not files:
        raise UsageError(f"INPUT {src} holds no {fmt.name} files")
    placed = []
    for name in files:
        relative = Path(os.path.relpath(name, str(src)))
        if out_fmt is not fmt:
            relative = relative.with_suffix(out_fmt.extensions[0])
        placed.append((Path(name), relative))
    return placed


def _open(fmt: Format, path: Path) -> Source:
    try:
        return fmt.read(path)
    except (OSError, ValueError, pa.ArrowException) as e:
        raise failed(f"{path}: cannot read it as {fmt.name}: {reason(e)}", e) from None


def _needs_key(transforms: List[Any], reveal: bool) -> Optional[str]:
    kinds = {e.get("type") for e in transforms if isinstance(e, dict)}
    if reveal:
        return "a key is required to reveal"
    if "hash" in kinds:
        return "HMAC key required for Hash transform"
    kind = next((k for k in KEYED if k in kinds), None)
    return None if kind is None else f"a key is required for the {kind} transform"


def _check_fingerprint(source: Source, key: bytes) -> None:
    """--reveal refuses a key other than the one that masked the file, which
    fpe alone (no authentication) could not tell."""
    text = (source.schema.metadata or {}).get(RECORD_KEY.encode())
    if text is None:
        return
    try:
        found = json.loads(text.decode("utf-8")).get("key_fingerprint")
    except (UnicodeDecodeError, ValueError, AttributeError):
        raise UsageError(f"{source.path}: its {RECORD_KEY} metadata record is not a JSON object") from None
    if found is not None and found != fingerprint(key):
        raise UsageError(f"{source.path} was masked with another key (the key fingerprints differ); "
                         "nothing was revealed")


def _check(source: Source, transforms: List[Any], key: Optional[bytes], start: int, reveal: bool) -> None:
    from quillon_mask.arrow import mask_stream, reveal_stream

    for number, name in enumerate(source.schema.names, 1):
        if "\0" in name:
            # Names cross the C Data Interface as C strings, cut at the NUL.
            raise UsageError(f"{source.path}: column {number} has a NUL character in its name")
    # The schema alone: unknown columns, unmaskable types and a missing key
    # are refused before a single batch is read.
    empty = pa.RecordBatchReader.from_batches(source.schema, iter(()))
    try:
        if reveal:
            reveal_stream(empty, transforms, key)
        else:
            mask_stream(empty, transforms, key, start=start)
    except (ValueError, TypeError) as e:
        raise UsageError(one_line(e)) from e


def make_plan(args: Any) -> Plan:
    """The plan for parsed options (arguments.build_parser), or UsageError."""
    transforms = _read_transforms(args.transforms, args.entries or [])
    src: Path = args.input
    out: Path = args.output
    if not src.exists():
        raise UsageError(f"INPUT {src} does not exist")
    directory = src.is_dir()
    if args.format:
        in_fmt = FORMATS[args.format]
    elif directory:
        in_fmt = FORMATS["parquet"]
    else:
        found = format_of(src)
        if found is None:
            raise UsageError(f"cannot tell the format of {src} from its extension; give --format")
        in_fmt = found
    out_fmt = (FORMATS[args.output_format] if args.output_format else None) \
        or (None if directory else format_of(out)) or in_fmt
    check_target(src, out, directory, args.overwrite)

    compression = None if args.compression is None else args.compression.lower()
    if compression is not None and compression not in out_fmt.codecs:
        raise UsageError(f"--compression {args.compression} does not apply to {out_fmt.name} output"
                         + (f" (one of {', '.join(out_fmt.codecs)})" if out_fmt.codecs else ""))
    if args.row_group_size is not None and out_fmt.name != "parquet":
        raise UsageError(f"--row-group-size applies to Parquet output only, not {out_fmt.name}")
    placed = _files(src, in_fmt, out_fmt) if directory else [(src, Path())]

    hashed = tuple(e.get("column") for e in transforms if isinstance(e, dict) and e.get("type") == "hash")
    key = _read_key(args.key_file, args.key_env, needed=_needs_key(transforms, args.reveal))
    sources = [_open(in_fmt, path) for path, _ in placed]
    for source in sources:
        _check(source, transforms, key, args.start, args.reveal)
        if args.reveal and key is not None:
            _check_fingerprint(source, key)

    counts: Dict[str, int] = {}
    for e in transforms:
        if args.reveal and e["type"] not in ("encrypt", "fpe"):
            continue
        counts[e["type"]] = counts.get(e["type"], 0) + 1
    rows = [s.rows for s in sources]
    return Plan(
        output=out, directory=directory, output_format=out_fmt,
        jobs=tuple(Job(s, out / relative if directory else out, relative)
                   for s, (_, relative) in zip(sources, placed)),
        transforms=transforms, key=key, start=args.start,
        writing=WriteOptions(compression, args.row_group_size, hashed),
        rows=None if None in rows else sum(rows),  # type: ignore[arg-type]
        summary=(f"{sum(counts.values())} revealed" if args.reveal
                 else ", ".join(f"{n} {TRANSFORMS[t][1]}" for t, n in counts.items())),
        overwrite=args.overwrite, quiet=args.quiet, reveal=args.reveal,
        fingerprint=None if key is None else fingerprint(key))
