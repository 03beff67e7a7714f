"""Two builds of the module in one process, taking turns on the same frames:
for example the wheel's module (Zig's clang, libc++) against the build
tree's (g++, libstdc++), or a build before a change against one after.

usage: two_builds_bench.py BASELINE.so CANDIDATE.so [ROWS]

Each build masks a 1,000,000-row frame (email hashed, name redacted) with
object and with Arrow-backed text columns, in alternation, best of 9 each.
Prints each build's times and, last, candidate_over_baseline= (the
baseline's time over the candidate's on the Arrow-backed frame, where the
engine dominates: above 1 means the candidate is faster).
"""
import importlib.util
import sys
import time

import pandas as pd
import pyarrow as pa

KEY = "bench-key"
ROUNDS = 9
TRANSFORMS = [{"column": "email", "type": "hash"}, {"column": "name", "type": "redact"}]


def load(path, alias):
    # An extension module is found by its PyInit_ name: both load as
    # quillon_mask, each from its own file, and are kept under an alias.
    found = importlib.util.spec_from_file_location("quillon_mask", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    sys.modules[alias] = module
    return module


def frame(rows, text_dtype):
    return pd.DataFrame(
        {
            "email": pd.Series([f"user{i}@example.com" for i in range(rows)], dtype=text_dtype),
            "name": pd.Series([f"Customer {i}" for i in range(rows)], dtype=text_dtype),
            "id": range(rows),
        }
    )


def main():
    baseline_path, candidate_path = sys.argv[1], sys.argv[2]
    rows = int(sys.argv[3]) if len(sys.argv) > 3 else 1_000_000
    builds = {"baseline": load(baseline_path, "qm_baseline"),
              "candidate": load(candidate_path, "qm_candidate")}
    if builds["baseline"] is builds["candidate"]:
        raise SystemExit("the two paths gave one module")
    frames = {"object": frame(rows, object), "arrow": frame(rows, pd.ArrowDtype(pa.string()))}
    best = {(b, f): float("inf") for b in builds for f in frames}
    results = {}
    for _ in range(ROUNDS):
        for f, df in frames.items():
            for b, module in builds.items():
                start = time.perf_counter()
                results[b, f] = module.mask(df, TRANSFORMS, KEY)
                best[b, f] = min(best[b, f], time.perf_counter() - start)
    for f in frames:
        if not results["baseline", f].equals(results["candidate", f]):
            raise SystemExit(f"the builds disagree on the {f} frame")
    print(f"rows={rows}")
    for (b, f), seconds in best.items():
        print(f"{b}_{f}_mask_s={seconds:.4f}")
    print(f"candidate_over_baseline_object={best['baseline', 'object'] / best['candidate', 'object']:.2f}")
    print(f"candidate_over_baseline={best['baseline', 'arrow'] / best['candidate', 'arrow']:.2f}")


if __name__ == "__main__":
    main()
