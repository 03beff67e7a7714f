"""Parquet -> mask_stream -> Parquet against the same pipeline without masking.

Generates a Parquet file of ROWS rows (id, email, name, city), then runs each
pipeline in a child process of its own, so that each peak RSS is its own:

  io      ParquetFile.iter_batches -> ParquetWriter
  stream  ParquetFile.iter_batches -> mask_stream (hash email, redact name) -> ParquetWriter
  pandas  pd.read_parquet -> mask() -> DataFrame.to_parquet

Prints, as ratios measured in this run: stream_over_io= (time),
stream_rss_over_io= (peak RSS), pandas_path_over_stream= (time), the peak
RSS of the stream at ROWS and at twice ROWS (stream_rss_2x_over_1x=, which
stays near 1 when memory does not grow with rows), fixed_cost_us= (one
mask_table call on a 1-row table, with fixed_cost_over_mask= against one
mask() call of the same row) and, last, stream_over_io= again.

usage: python bench/stream_bench.py [--rows N] [--skip-pandas] [--dir DIR]
"""
import argparse
import json
import os
import pathlib
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq

TRANSFORMS = [{"column": "email", "type": "hash"}, {"column": "name", "type": "redact"}]
KEY = "bench-key"
BATCH = 65_536
CHUNK = 1_000_000


def generate(path, rows):
    cities = pa.array(["Oslo", "Rome", "Lima", "Pune", "Kyiv", "Doha"])
    schema = pa.schema([("id", pa.int64()), ("email", pa.string()), ("name", pa.string()), ("city", pa.string())])
    with pq.ParquetWriter(path, schema) as writer:
        for first in range(0, rows, CHUNK):
            ids = pa.array(np.arange(first, min(rows, first + CHUNK), dtype=np.int64))
            text = pc.cast(ids, pa.string())
            emails = pc.binary_join_element_wise("user", text, "@example.com", "")
            names = pc.binary_join_element_wise("Name ", text, "")
            city = pc.take(cities, pc.cast(pc.bit_wise_and(ids, 3), pa.int32()))
            writer.write_table(pa.table([ids, emails, names, city], schema=schema))


def child(mode, source, target):
    # Imports stay out of the timing.
    import pandas as pd
    from quillon_mask import mask
    from quillon_mask.arrow import mask_stream

    start = time.perf_counter()
    if mode == "pandas":
        mask(pd.read_parquet(source), TRANSFORMS, KEY).to_parquet(target)
    else:
        parquet = pq.ParquetFile(source)
        reader = pa.RecordBatchReader.from_batches(parquet.schema_arrow, parquet.iter_batches(batch_size=BATCH))
        if mode == "stream":
            reader = mask_stream(reader, TRANSFORMS, KEY)
        with pq.ParquetWriter(target, reader.schema) as writer:
            for batch in reader:
                writer.write_batch(batch)
    seconds = time.perf_counter() - start
    peak_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"seconds": seconds, "peak_kib": peak_kib}))


def run(mode, source, target):
    out = subprocess.run([sys.executable, __file__, "--child", mode, str(source), str(target)],
                         check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def fixed_cost():
    import pandas as pd
    from quillon_mask import mask
    from quillon_mask.arrow import mask_table

    table = pa.table({"email": ["a@example.com"], "n": [1]})
    df = table.to_pandas()
    transforms = [{"column": "email", "type": "hash"}]

    def per_call(fn, calls):
        fn()
        best = float("inf")
        for _ in range(5):
            start = time.perf_counter()
            for _ in range(calls):
                fn()
            best = min(best, (time.perf_counter() - start) / calls)
        return best

    ours = per_call(lambda: mask_table(table, transforms, KEY), 2000)
    theirs = per_call(lambda: mask(df, transforms, KEY), 200)
    return ours, theirs


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=10_000_000)
    parser.add_argument("--skip-pandas", action="store_true")
    parser.add_argument("--dir", default=None)
    parser.add_argument("--child", nargs=3, metavar=("MODE", "SOURCE", "TARGET"))
    args = parser.parse_args()
    if args.child:
        child(*args.child)
        return

    with tempfile.TemporaryDirectory(dir=args.dir) as tmp:
        tmp = pathlib.Path(tmp)
        one, two = tmp / "one.parquet", tmp / "two.parquet"
        generate(one, args.rows)
        print(f"rows={args.rows} file_mib={os.path.getsize(one) / 2**20:.0f}")
        io = run("io", one, tmp / "io.parquet")
        stream = run("stream", one, tmp / "stream.parquet")
        print(f"io_s={io['seconds']:.2f} io_peak_mib={io['peak_kib'] / 1024:.0f}")
        print(f"stream_s={stream['seconds']:.2f} stream_peak_mib={stream['peak_kib'] / 1024:.0f}")
        if not args.skip_pandas:
            pandas = run("pandas", one, tmp / "pandas.parquet")
            print(f"pandas_s={pandas['seconds']:.2f} pandas_peak_mib={pandas['peak_kib'] / 1024:.0f}")
            print(f"pandas_path_over_stream={pandas['seconds'] / stream['seconds']:.2f}")
        (tmp / "io.parquet").unlink()
        (tmp / "stream.parquet").unlink()
        generate(two, 2 * args.rows)
        one.unlink()
        stream2 = run("stream", two, tmp / "stream2.parquet")
        print(f"stream_rows={args.rows} stream_peak_mib={stream['peak_kib'] / 1024:.0f}")
        print(f"stream_rows={2 * args.rows} stream_peak_mib={stream2['peak_kib'] / 1024:.0f}")
        print(f"stream_rss_2x_over_1x={stream2['peak_kib'] / stream['peak_kib']:.2f}")
    ours, theirs = fixed_cost()
    print(f"fixed_cost_us={ours * 1e6:.1f}")
    print(f"fixed_cost_over_mask={ours / theirs:.3f}")
    print(f"stream_rss_over_io={stream['peak_kib'] / io['peak_kib']:.2f}")
    print(f"stream_over_io={stream['seconds'] / io['seconds']:.2f}")


if __name__ == "__main__":
    main()
