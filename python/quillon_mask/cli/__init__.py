"""The `quillon-mask` command: masks Parquet, Arrow IPC and CSV files,
streaming, into new files.

    arguments  the options, as argparse reads them
    plan       the options validated once into a frozen Plan, every input's
               schema read and checked before anything is written
    formats    one record per file format: extensions, reader, writer, what
               the output keeps
    staging    the temporary file beside OUTPUT: fsync, rename, cleanup,
               overwrite rules
    run        the run itself, the progress bar, signals and exit statuses
    errors     the exit statuses and value-free error text

No message names a value of the input: errors name the file, the row and the
column, in the one-line error and the --debug traceback alike.
"""
from quillon_mask.cli.run import main

__all__ = ["main"]
