"""One frame whose hashed column passes the reach of 32-bit offsets.

34,000,000 rows of Arrow-backed e-mail strings, hashed: more than the
33,554,431 tokens of 64 bytes one Utf8 array can hold, so the engine masks
the batch in slices. Prints the time and peak memory of mask(), spot-checks
tokens on both sides of the cut against Python's hmac, and, last,
large_frame_over_roundtrip= (mask() over pyarrow's bare round trip of the
same frame, measured in the same run).
"""
import hashlib
import hmac
import resource
import sys
import time

import numpy as np
import pandas as pd
import pyarrow as pa

from quillon_mask import mask

ROWS = int(sys.argv[1]) if len(sys.argv) > 1 else 34_000_000
KEY = "bench-key"


def peak_rss_gib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024 ** 2


def main():
    emails = pa.array(np.char.add(np.char.add("user", np.arange(ROWS).astype(str)), "@example.com"),
                      pa.string())
    df = pd.DataFrame({"email": pd.arrays.ArrowExtensionArray(emails), "id": np.arange(ROWS)})
    print(f"rows={ROWS}")
    print(f"input_ready_peak_rss_gib={peak_rss_gib():.2f}")

    start = time.perf_counter()
    rt = pa.Table.from_pandas(df).to_pandas()
    roundtrip_s = time.perf_counter() - start
    del rt

    start = time.perf_counter()
    out = mask(df, [{"column": "email", "type": "hash"}], KEY)
    mask_s = time.perf_counter() - start
    assert len(out) == ROWS
    for i in (0, 33_554_430, 33_554_431, ROWS - 1):
        if i < ROWS:
            want = hmac.new(KEY.encode(), f"{i}:user{i}@example.com".encode(), hashlib.sha256).hexdigest()
            assert out["email"].iloc[i] == want, i
    print(f"roundtrip_s={roundtrip_s:.2f}")
    print(f"mask_s={mask_s:.2f}")
    print(f"peak_rss_gib={peak_rss_gib():.2f}")
    print(f"large_frame_over_roundtrip={mask_s / roundtrip_s:.2f}")


if __name__ == "__main__":
    main()
