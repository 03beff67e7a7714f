"""The command's three ways to fail, their exit statuses, and what the user
sees of an error: one line, and with --debug a traceback, neither of which
quotes a value of the input.

pyarrow quotes the offending text in some of its messages (a ragged CSV row,
a cast that would lose data), so a foreign error's text is cut by `reason`
before it is shown; ours (and the masking engine's) name files, rows and
columns only.
"""
from __future__ import annotations

import re
import sys
import traceback
from typing import List, Optional

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130


class UsageError(Exception):
    """The command cannot run as given: exit 2, before any output exists."""


class DataError(Exception):
    """Reading, masking or writing failed: exit 1. The text names files, rows and
    columns, never a value."""


class Interrupted(BaseException):
    """Ctrl-C or SIGTERM arrived."""


def reason(error: BaseException) -> str:
    """A foreign error's text cut to what cannot quote the data: its first line
    up to the first ": ", after which pyarrow goes on to the offending text or
    number ("Expected 2 columns, got 3: <row>", "would lose data: <value>"),
    without quoted spans or a number after "value", in printable ASCII."""
    text = str(error).split("\n", 1)[0].split(": ", 1)[0]
    text = re.sub(r"'[^']*'|\"[^\"]*\"", "'...'", text)
    text = re.sub(r"\bvalue [-+.\w]+", "value", text)
    text = " ".join("".join(c for c in text if " " <= c <= "~").split())
    return text or type(error).__name__


def failed(text: str, cause: BaseException) -> DataError:
    """DataError(text) carrying the frames of cause, to be raised `from None` so
    that cause's own text, which may quote the data, is not shown with it."""
    return DataError(text).with_traceback(cause.__traceback__)


def one_line(error: BaseException) -> str:
    text = " ".join(str(error).split())
    return text or type(error).__name__


def safe_text(error: BaseException) -> str:
    """error's text as the user sees it: ours whole, anything else cut by reason."""
    if isinstance(error, (UsageError, DataError)):
        return one_line(error)
    if isinstance(error, (Interrupted, KeyboardInterrupt)):
        return "interrupted"
    return reason(error)


def print_traceback(error: BaseException) -> None:
    """What traceback.print_exception prints, each exception's text given by
    safe_text: a foreign one in the chain may quote the data."""
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
        lines.append(f"{name}: {safe_text(e)}\n")
    sys.stderr.write("".join(lines))
