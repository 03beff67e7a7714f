"""End to end: mask() against the pure-Python loop it replaces, and against
pyarrow's bare DataFrame round trip (the floor mask() cannot go below).

The same 1,000,000-row frame twice: text columns as object dtype (pyarrow's
conversion of Python strings dominates) and as Arrow-backed strings
(pd.ArrowDtype(pa.string()): conversion is nearly free, the engine
dominates). Email hashed, name redacted, an int column untouched. Prints the
times, roundtrip_ratio= (mask over round trip, object frame),
hash_share_of_mask= (the part of mask() on the Arrow-backed frame that goes
to hashing: its time less that of nulling the same column, over its time),
e2e_speedup= (hand loop over mask, object frame) and, last,
e2e_speedup_arrow= (hand loop over mask, Arrow-backed frame).
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


def frame(rows, text_dtype):
    return pd.DataFrame(
        {
            "email": pd.Series([f"user{i}@example.com" for i in range(rows)], dtype=text_dtype),
            "name": pd.Series([f"Customer {i}" for i in range(rows)], dtype=text_dtype),
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
    transforms = [{"column": "email", "type": "hash"}, {"column": "name", "type": "redact"}]
    nulled = [{"column": "email", "type": "null"}, {"column": "name", "type": "redact"}]
    objects = frame(ROWS, object)
    arrow = frame(ROWS, pd.ArrowDtype(pa.string()))
    hand_s, expected = best_of(lambda: hand_loop(objects))
    roundtrip_s, _ = best_of(lambda: pa.Table.from_pandas(objects).to_pandas())
    mask_s, masked = best_of(lambda: mask(objects, transforms, KEY))
    arrow_hand_s, _ = best_of(lambda: hand_loop(arrow))
    arrow_mask_s, arrow_masked = best_of(lambda: mask(arrow, transforms, KEY))
    arrow_null_s, _ = best_of(lambda: mask(arrow, nulled, KEY))
    want = expected["email"].tolist()
    if masked["email"].tolist() != want or arrow_masked["email"].tolist() != want:
        raise SystemExit("mask() and the hand loop disagree")
    print(f"rows={ROWS}")
    print(f"hand_loop_s={hand_s:.3f}")
    print(f"roundtrip_s={roundtrip_s:.3f}")
    print(f"mask_s={mask_s:.3f}")
    print(f"arrow_hand_loop_s={arrow_hand_s:.3f}")
    print(f"arrow_mask_s={arrow_mask_s:.3f}")
    print(f"arrow_mask_null_email_s={arrow_null_s:.3f}")
    print(f"roundtrip_ratio={mask_s / roundtrip_s:.2f}")
    print(f"hash_share_of_mask={max(0.0, arrow_mask_s - arrow_null_s) / arrow_mask_s:.2f}")
    print(f"e2e_speedup={hand_s / mask_s:.1f}")
    print(f"e2e_speedup_arrow={arrow_hand_s / arrow_mask_s:.1f}")


if __name__ == "__main__":
    main()
