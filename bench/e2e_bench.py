"""End to end: mask() against the pure-Python loop it replaces, and against
pyarrow's bare DataFrame round trip (the floor mask() cannot go below).

One 1,000,000-row frame: email hashed, name redacted, an int column passed
untouched. Prints the three times, then roundtrip_ratio=<mask/roundtrip>
and, last, e2e_speedup=<hand/mask>.
"""
import hashlib
import hmac
import sys
import time

import pandas as pd
import pyarrow as pa

from quillon_mask import mask

ROWS = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
KEY = "bench-key"
REPEATS = 3


def frame(rows):
    return pd.DataFrame(
        {
            "email": pd.Series([f"user{i}@example.com" for i in range(rows)], dtype=object),
            "name": pd.Series([f"Customer {i}" for i in range(rows)], dtype=object),
            "id": range(rows),
        }
    )


def hand_loop(df):
    key = KEY.encode()
    out = df.copy()
    out["email"] = [
        None if v is None else hmac.new(key, f"{i}:{v}".encode(), hashlib.sha256).hexdigest()
        for i, v in enumerate(df["email"])
    ]
    out["name"] = [None if v is None else "[REDACTED]" for v in df["name"]]
    return out


def best_of(fn):
    best = float("inf")
    result = None
    for _ in range(REPEATS):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def main():
    df = frame(ROWS)
    transforms = [{"column": "email", "type": "hash"}, {"column": "name", "type": "redact"}]
    hand_s, expected = best_of(lambda: hand_loop(df))
    roundtrip_s, _ = best_of(lambda: pa.Table.from_pandas(df).to_pandas())
    mask_s, masked = best_of(lambda: mask(df, transforms, KEY))
    if masked["email"].tolist() != expected["email"].tolist():
        raise SystemExit("mask() and the hand loop disagree")
    print(f"rows={ROWS}")
    print(f"hand_loop_s={hand_s:.3f}")
    print(f"roundtrip_s={roundtrip_s:.3f}")
    print(f"mask_s={mask_s:.3f}")
    print(f"roundtrip_ratio={mask_s / roundtrip_s:.2f}")
    print(f"e2e_speedup={hand_s / mask_s:.1f}")


if __name__ == "__main__":
    main()
