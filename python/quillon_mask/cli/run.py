"""The run: follows a Plan, file by file, into the staging area, then commits.

Each batch goes from the format's reader through one wrapper, which turns a
reading failure into our own value-free error (pyarrow hands a failure
inside a stream back as text only), into `mask_stream`, which masks it
natively, and from there to the format's writer. Positions count over the
whole input, files of a directory in sorted path order, so the tokens equal
those of `mask_table` over the same rows. Memory stays bounded by a few
batches (a Parquet row group, at most ROW_GROUP_BUFFER_BYTES).

Ctrl-C and SIGTERM raise Interrupted wherever the run is, until the commit
is done: the staging area is removed and the exit status is 130. Three steps
hold a signal until they end, because stopping inside them would leave a
file behind or report a failure that did not happen: making the staging
file (it exists before the run holds its name), the commit (a rename may be
done, or OUTPUT may be moved aside), and removing the staging area.
"""
from __future__ import annotations

import signal
import sys
import time
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Iterator, Optional, Sequence

import pyarrow as pa

from quillon_mask.cli.arguments import PROG, build_parser
from quillon_mask.cli.errors import (EXIT_FAILED, EXIT_INTERRUPTED, EXIT_OK, EXIT_USAGE, DataError,
                                     Interrupted, UsageError, failed, one_line, print_traceback, reason,
                                     safe_text)
from quillon_mask.cli.formats import Source
from quillon_mask.cli.plan import RECORD_KEY, Plan, make_plan, record
from quillon_mask.cli.staging import Staging


class _Reading:
    """A source's batches as the reader mask_stream pulls from, the one wrapper
    a batch passes. The DataError a failure became is kept for the run to
    raise in place of the masking stream's text."""

    def __init__(self, source: Source) -> None:
        self.source = source
        self.error: Optional[DataError] = None

    def reader(self) -> pa.RecordBatchReader:
        return pa.RecordBatchReader.from_batches(self.source.schema, self._batches())

    def _batches(self) -> Iterator[pa.RecordBatch]:
        rows = 0
        try:
            for batch in self.source.batches():
                yield batch
                rows += batch.num_rows
        except Exception as e:
            self.error = failed(f"{self.source.path}: {self.source.explain(e, rows)}", e)
            raise self.error from None


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
            raise failed(f"{self.shown}: writing failed after {self.rows:,} rows: {reason(e)}", e) from None

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


@dataclass
class _Signals:
    interrupted: bool = False
    committed: bool = False  # past this, OUTPUT is complete and stays
    holding: bool = False  # a signal now waits for the step under way to end

    @contextmanager
    def held(self) -> Iterator[None]:
        """Runs a step whole; a signal that came meanwhile stops the run after it."""
        self.holding = True
        try:
            yield
        finally:
            self.holding = False
        if self.interrupted and not self.committed:
            raise Interrupted()


def _schema(plan: Plan, schema: pa.Schema, start: int, rows: Optional[int]) -> pa.Schema:
    """The schema an output is written with: the input's metadata and, where
    the format keeps metadata, this run's record in place of any earlier one.
    The writers fix the schema when they open, so the row count is the one
    the input records up front (None where it records none: CSV, IPC stream)."""
    if not plan.output_format.metadata:
        return schema
    metadata = dict(schema.metadata or {})
    metadata[RECORD_KEY.encode()] = record(plan, start, rows).encode()
    return schema.with_metadata(metadata)


def _run(plan: Plan, signals: _Signals, began: float) -> int:
    from quillon_mask.arrow import mask_stream, reveal_stream

    staging: Optional[Staging] = None
    position = plan.start
    try:
        with signals.held():
            staging = Staging(plan.output, plan.directory)
        with _progress(plan.rows, plan.quiet) as bar:
            for job in plan.jobs:
                target = staging.place(job.relative)
                reading = _Reading(job.source)
                if plan.reveal:
                    masked = reveal_stream(reading.reader(), plan.transforms, plan.key)
                else:
                    masked = mask_stream(reading.reader(), plan.transforms, plan.key, start=position)
                schema = _schema(plan, masked.schema, position, job.source.rows)
                sink = _Writing(job.shown, lambda: plan.output_format.write(
                    target, schema, job.source, plan.writing))
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
                    doing = "revealing" if plan.reveal else "masking"
                    raise failed(f"{job.source.path}: {doing} failed after {sink.rows:,} rows: {one_line(e)}",
                                 e) from None
                sink.close()
        with signals.held():
            staging.commit(plan.overwrite)
            signals.committed = True
    except BaseException:
        if staging is not None:
            # A second signal must not cut the clean-up short; the run
            # already ends with this error.
            signals.holding = True
            staging.discard()
        raise
    if not plan.quiet:
        print(f"{PROG}: {position - plan.start:,} rows, columns {plan.summary}, "
              f"{time.monotonic() - began:.2f} s -> {plan.output}", file=sys.stderr)
    return EXIT_OK


def main(argv: Optional[Sequence[str]] = None) -> int:
    """The command `quillon-mask`: parses argv (sys.argv[1:] by default), masks,
    returns the exit status."""
    args = build_parser().parse_args(argv)
    began = time.monotonic()
    signals = _Signals()

    def stop(signum: int, frame: Any) -> None:
        if signals.committed:
            return
        signals.interrupted = True
        if not signals.holding:
            raise Interrupted()

    previous = {s: signal.signal(s, stop) for s in (signal.SIGINT, signal.SIGTERM)}
    error: Optional[BaseException] = None
    try:
        return _run(make_plan(args), signals, began)
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
        print_traceback(error)
    text = "interrupted" if code == EXIT_INTERRUPTED else safe_text(error)
    print(f"{PROG}: error: {text}", file=sys.stderr)
    return code
