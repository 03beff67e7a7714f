"""The command's options, as argparse reads them. What they mean together is
worked out once, by `quillon_mask.cli.plan`; nothing past it sees the
argparse Namespace."""
from __future__ import annotations

import argparse
from pathlib import Path
from typing import Any, Optional

from quillon_mask.cli.errors import EXIT_USAGE
from quillon_mask.cli.formats import FORMATS

PROG = "quillon-mask"
DEFAULT_KEY_ENV = "QUILLON_MASK_KEY"
# Positions are 64-bit signed on the native side.
START_LIMIT = 1 << 63

# The transform types: option, past participle for the summary, help.
TRANSFORMS = {
    "hash": ("--hash", "hashed", "replace COLUMN by keyed HMAC-SHA-256 tokens bound to the row position (e.g. --hash email)"),
    "redact": ("--redact", "redacted", "replace each value of COLUMN by the text [REDACTED] (e.g. --redact name)"),
    "null": ("--null", "nulled", "make COLUMN null in every row, keeping its type (e.g. --null phone)"),
    "pass_through": ("--pass-through", "passed through", "copy COLUMN unchanged, stating so (e.g. --pass-through city)"),
    "pseudonym": ("--pseudonym", "pseudonymised",
                  "replace COLUMN by keyed HMAC-SHA-256 tokens of the value alone, joinable across files "
                  "(e.g. --pseudonym customer_id)"),
    "encrypt": ("--encrypt", "encrypted",
                "replace COLUMN by deterministic AES-256-SIV tokens that --reveal turns back (e.g. --encrypt iban)"),
    # Needs its alphabet, so only through --transforms.
    "fpe": (None, "format-preserving encrypted", ""),
}
# The types whose tokens come from the key.
KEYED = ("hash", "pseudonym", "encrypt", "fpe")

EPILOG = f"""\
examples:
  export {DEFAULT_KEY_ENV}=...   # or --key-file key.txt; never on the command line
  {PROG} customers.parquet masked.parquet --hash email --redact name --null phone
  {PROG} extract/ masked/ --hash email --start 0          # a directory of Parquet files
  {PROG} customers.csv masked.parquet --transforms masking.json
  {PROG} events.arrows masked.arrows --hash user --key-file /run/secrets/mask-key

  {PROG} --reveal masked.parquet clear.parquet --transforms masking.json

masking.json holds the list that quillon_mask.arrow takes:
  [{{"column": "email", "type": "hash"}}, {{"column": "name", "type": "redact"}},
   {{"column": "card", "type": "fpe", "alphabet": "digits", "context": "cards"}}]

Parquet and Arrow IPC outputs carry a "quillon_mask" schema-metadata record:
the transforms, start, rows and the key's fingerprint (never the key).
--reveal checks that fingerprint where INPUT has one.

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
       cannot be masked), OUTPUT exists or is not a regular file, --reveal
       with another key than the one that masked INPUT; nothing was read
       past the input's schema and nothing was written
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


def _count(minimum: int, below: Optional[int] = None) -> Any:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be {minimum} or more: {text}")
        if below is not None and value >= below:
            raise argparse.ArgumentTypeError(f"must be below 2**63: {text}")
        return value
    return parse


def installed_version() -> str:
    """The installed distribution's version; run from a build tree, where no
    distribution is installed, the module's own."""
    from importlib import metadata

    try:
        return metadata.version("quillon_mask")
    except metadata.PackageNotFoundError:
        import quillon_mask

        return quillon_mask.__version__


def build_parser() -> argparse.ArgumentParser:
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
    for kind, (flag, _, text) in TRANSFORMS.items():
        if flag is not None:
            t.add_argument(flag, dest="entries", metavar="COLUMN", action=_AddTransform, const=kind, help=text)
    t.add_argument("--transforms", metavar="JSON_FILE", type=Path,
                   help="JSON list of {\"column\": ..., \"type\": ...} entries, '-' for stdin; "
                        "fpe entries also take \"alphabet\", value-bound ones \"context\" "
                        "(e.g. --transforms masking.json)")
    t.add_argument("--reveal", action="store_true",
                   help="the inverse: decrypt INPUT's encrypt and fpe columns, with the transforms and key "
                        "that masked it; other columns are copied (e.g. --reveal)")
    k = p.add_argument_group("key (read only when a transform needs it; never from argv)")
    src = k.add_mutually_exclusive_group()
    src.add_argument("--key-env", metavar="NAME", default=DEFAULT_KEY_ENV,
                     help=f"environment variable holding the key (default {DEFAULT_KEY_ENV}; e.g. --key-env MASK_KEY)")
    src.add_argument("--key-file", metavar="PATH", type=Path,
                     help="file whose bytes are the key, one trailing newline stripped (e.g. --key-file key.txt)")
    p.add_argument("--start", metavar="N", type=_count(0, START_LIMIT), default=0,
                   help="position of the first row; positions run over the whole input (default 0; e.g. --start 1000000)")
    f = p.add_argument_group("formats")
    f.add_argument("--format", choices=tuple(FORMATS),
                   help="format of INPUT when its extension does not tell (e.g. --format csv)")
    f.add_argument("--output-format", choices=tuple(FORMATS),
                   help="format of OUTPUT (default: from its extension, else that of INPUT; e.g. --output-format parquet)")
    f.add_argument("--compression", metavar="CODEC",
                   help="Parquet: none, snappy, gzip, brotli, lz4 or zstd (default: the input's codecs, else snappy); "
                        "Arrow IPC: none, lz4 or zstd (e.g. --compression zstd)")
    f.add_argument("--row-group-size", metavar="ROWS", type=_count(1),
                   help="rows per Parquet row group (default: the input's; e.g. --row-group-size 1000000)")
    o = p.add_argument_group("behaviour")
    o.add_argument("--overwrite", action="store_true",
                   help="replace an existing OUTPUT, a regular file or directory, keeping its mode and owner "
                        "(e.g. --overwrite)")
    o.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no summary line (e.g. -q)")
    o.add_argument("--debug", action="store_true", help="show the traceback of an error (e.g. --debug)")
    o.add_argument("--version", action="version", version=f"{PROG} {installed_version()}")
    return p
