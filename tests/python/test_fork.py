"""The worker pool after fork and with thread counts no system can provide.

Each case runs in a fresh interpreter under a timeout, so a hang fails the test
instead of blocking the suite; a forked child also carries an alarm, so it
cannot outlive the test.
"""
import os
import subprocess
import sys

import pytest

# Two hashed columns of 200,000 rows: the columns go to the pool in parallel
# and each column is split into row ranges, so the pool's threads do the work.
FRAME = r"""
import hashlib, hmac, os, signal, sys
import pandas as pd
from quillon_mask import mask

ROWS = 200_000
df = pd.DataFrame({
    "a": pd.Series([f"a{i}" for i in range(ROWS)], dtype=object),
    "b": pd.Series([f"b{i}@x" for i in range(ROWS)], dtype=object),
})
T = [{"column": "a", "type": "hash"}, {"column": "b", "type": "hash"}]

def check(out, key):
    for column in "ab":
        values = df[column]
        for i in (0, 1, 16383, 16384, 99_999, ROWS - 1):
            want = hmac.new(key.encode(), f"{i}:{values[i]}".encode(), hashlib.sha256).hexdigest()
            assert out[column][i] == want, (column, i)
"""

FORK = FRAME + r"""
first = mask(df, T, "k")
check(first, "k")
pid = os.fork()
if pid == 0:
    signal.alarm(60)  # a hung child dies instead of lingering
    code = 1
    try:
        out = mask(df, T, "k")
        code = 0 if out.equals(first) else 2
        out = mask(df, T, "other")
        check(out, "other")
    except BaseException as e:
        print("child failed:", repr(e), file=sys.stderr)
        code = 3
    os._exit(code)
_, status = os.waitpid(pid, 0)
assert os.WIFEXITED(status), f"child killed by signal {os.WTERMSIG(status)}"
assert os.WEXITSTATUS(status) == 0, f"child exit code {os.WEXITSTATUS(status)}"
# The parent's pool still works.
assert mask(df, T, "k").equals(first)
"""

MULTIPROCESSING = FRAME + r"""
import multiprocessing

def job(n):
    out = mask(df, T, f"key{n}")
    check(out, f"key{n}")
    return n

if __name__ == "__main__":
    check(mask(df, T, "k"), "k")
    with multiprocessing.get_context("fork").Pool(2) as pool:
        assert pool.map_async(job, range(4)).get(timeout=120) == [0, 1, 2, 3]
    check(mask(df, T, "k"), "k")
"""

ABSURD = FRAME + r"""
check(mask(df, T, "k"), "k")
check(mask(df, T, "again"), "again")
"""


def run(script, **env):
    result = subprocess.run(
        [sys.executable, "-c", script],
        capture_output=True,
        text=True,
        timeout=300,
        env={**os.environ, **env},
    )
    assert result.returncode == 0, result.stderr[-3000:]


@pytest.mark.parametrize("script", [FORK, MULTIPROCESSING], ids=["os_fork", "multiprocessing_fork"])
def test_fork_child_masks_with_a_pool_of_its_own(script):
    # Several pool threads in the parent whatever the machine.
    run(script, RAYON_NUM_THREADS="4")


@pytest.mark.parametrize(
    "count",
    ["18446744073709551615", "+9223372036854775808", "9223372036854775807"],
)
def test_thread_count_no_system_provides_still_masks(count):
    run(ABSURD, RAYON_NUM_THREADS=count)
