"""quillon-mask on a large Parquet file, against pyarrow copying the same file
and against the pandas path it replaces.

A generated Parquet file of ROWS rows (id, email, name, city; snappy, row
groups of 1,048,576 rows) goes, each in its own process, through:
  io       pyarrow alone: ParquetFile.iter_batches -> ParquetWriter, no masking
  cli      python -m quillon_mask IN OUT --hash email --redact name
  pandas   pd.read_parquet -> mask() -> DataFrame.to_parquet
and the command again on a file of 2 x ROWS rows, to see whether its memory
grows with the input. Wall times are the best of REPEATS runs; peak RSS is the
child's own (wait4). Prints the figures, cli_over_io= (target <= 1.3),
cli_peak_rss_mib= (target <= 600) and cli_peak_rss_mib_2x= (same again: no
growth), and last pandas_path_over_cli=.

usage: cli_bench.py [ROWS]      (default 10,000,000; files kept in build/bench-cli)
"""
import hashlib
import hmac
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq

ROWS = int(sys.argv[1]) if len(sys.argv) > 1 and sys.argv[1].isdigit() else 10_000_000
KEY = "bench-key"
REPEATS = 2
CHUNK = 1 << 20
DATA = Path(__file__).resolve().parent.parent / "build" / "bench-cli"
CITIES = np.array(["Portland", "Austin", "Rome", "Riga", "Lagos", "Osaka", "Quito"], dtype=object)


def generate(path, rows):
    if path.exists() and pq.read_metadata(path).num_rows == rows:
        return
    schema = pa.schema([("id", pa.int64()), ("email", pa.string()), ("name", pa.string()), ("city", pa.string())])
    with pq.ParquetWriter(path, schema) as writer:
        for begin in range(0, rows, CHUNK):
            ids = np.arange(begin, min(begin + CHUNK, rows))
            text = pc.cast(pa.array(ids), pa.string())
            writer.write_table(pa.table({
                "id": ids,
                "email": pc.binary_join_element_wise("user", text, "@example.com", ""),
                "name": pc.binary_join_element_wise("Customer ", text, ""),
                "city": pa.array(CITIES[ids % len(CITIES)], pa.string()),
            }, schema=schema), row_group_size=CHUNK)


def copy_with_pyarrow(src, dst):
    pf = pq.ParquetFile(src)
    with pq.ParquetWriter(dst, pf.schema_arrow) as writer:
        for batch in pf.iter_batches():
            writer.write_batch(batch)


def pandas_path(src, dst):
    import pandas as pd
    from quillon_mask import mask

    df = pd.read_parquet(src)
    mask(df, [{"column": "email", "type": "hash"}, {"column": "name", "type": "redact"}], KEY).to_parquet(dst)


def measure(argv):
    """Wall seconds and peak RSS (MiB) of one child process."""
    env = dict(os.environ, QUILLON_MASK_KEY=KEY)
    begin = time.perf_counter()
    child = subprocess.Popen(argv, env=env)
    _, status, usage = os.wait4(child.pid, 0)
    seconds = time.perf_counter() - begin
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode != 0:
        raise SystemExit(f"{' '.join(map(str, argv))} failed with exit code {child.returncode}")
    return seconds, usage.ru_maxrss / 1024


def best(argv):
    runs = [measure(argv) for _ in range(REPEATS)]
    return min(s for s, _ in runs), max(r for _, r in runs)


def check_tokens(path, rows):
    meta = pq.read_metadata(path)
    assert meta.num_rows == rows, (meta.num_rows, rows)
    first = pq.ParquetFile(path).read_row_group(0, columns=["email", "name"])
    last = pq.ParquetFile(path).read_row_group(meta.num_row_groups - 1, columns=["email"])
    for position, got in ((0, first.column("email")[0]), (rows - 1, last.column("email")[-1])):
        want = hmac.new(KEY.encode(), f"{position}:user{position}@example.com".encode(), hashlib.sha256).hexdigest()
        assert got.as_py() == want, position
    assert first.column("name")[0].as_py() == "[REDACTED]"


def main():
    DATA.mkdir(parents=True, exist_ok=True)
    src, src2 = DATA / f"in-{ROWS}.parquet", DATA / f"in-{2 * ROWS}.parquet"
    out = DATA / "out.parquet"
    generate(src, ROWS)
    generate(src2, 2 * ROWS)
    me = [sys.executable, __file__]
    cli = [sys.executable, "-m", "quillon_mask", "--hash", "email", "--redact", "name", "--quiet", "--overwrite"]

    io_s, io_rss = best(me + ["--io", str(src), str(out)])
    cli_s, cli_rss = best(cli + [str(src), str(out)])
    check_tokens(out, ROWS)
    _, cli_rss_2x = measure(cli + [str(src2), str(out)])
    check_tokens(out, 2 * ROWS)
    pandas_s, pandas_rss = measure(me + ["--pandas", str(src), str(out)])
    out.unlink()

    print(f"rows={ROWS}")
    print(f"io_s={io_s:.2f} io_peak_rss_mib={io_rss:.0f}")
    print(f"cli_s={cli_s:.2f}")
    print(f"pandas_path_s={pandas_s:.2f} pandas_path_peak_rss_mib={pandas_rss:.0f}")
    print(f"cli_over_io={cli_s / io_s:.2f}")
    print(f"cli_peak_rss_mib={cli_rss:.0f}")
    print(f"cli_peak_rss_mib_2x={cli_rss_2x:.0f}")
    print(f"pandas_path_over_cli={pandas_s / cli_s:.2f}")


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--io":
        copy_with_pyarrow(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 4 and sys.argv[1] == "--pandas":
        pandas_path(sys.argv[2], sys.argv[3])
    else:
        main()
