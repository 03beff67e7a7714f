"""A short check of an installed wheel on another CPU (run under emulation by
make test-aarch64-smoke): every transform through mask(), the Arrow API over
each string layout, the value-bound transforms and their reveal, and the
command, against Python's hmac and value_bound_formulas. Values short and
long, so both the one-block and the multi-block hashing and more blocks than
the AES kernel keeps in flight run, in more rows than one group of lanes."""
import hashlib
import hmac
import os
import subprocess
import sys
import tempfile

import pandas as pd
import pyarrow as pa
import pyarrow.csv as pacsv

from quillon_mask import mask
from quillon_mask.arrow import mask_table, reveal_table
from value_bound_formulas import encrypt, fpe, pseudonym

KEY = "aarch64-smoke-key"
VALUES = [None if i % 7 == 3 else f"user{i}@example.com" + "x" * (i % 3) * 30 for i in range(41)]


def token(position, value):
    return hmac.new(KEY.encode(), f"{position}:{value}".encode(), hashlib.sha256).hexdigest()


def tokens(start=0):
    return [None if v is None else token(start + i, v) for i, v in enumerate(VALUES)]


def check(got, expected, what):
    assert got == expected, f"{what}: {sum(g != e for g, e in zip(got, expected))} rows differ"
    print(f"ok {what}")


df = pd.DataFrame({c: pd.Series(VALUES, dtype=object) for c in ("h", "r", "n", "p")})
out = mask(df, [{"column": "h", "type": "hash"}, {"column": "r", "type": "redact"},
                {"column": "n", "type": "null"}, {"column": "p", "type": "pass_through"}], key=KEY)
check([None if pd.isna(v) else v for v in out["h"]], tokens(), "mask hash")
check([None if pd.isna(v) else v for v in out["r"]], [None if v is None else "[REDACTED]" for v in VALUES],
      "mask redact")
assert out["n"].isna().all(), "mask null"
check([None if pd.isna(v) else v for v in out["p"]], VALUES, "mask pass_through")

for name, type_ in [("string", pa.string()), ("large_string", pa.large_string()),
                    ("string_view", getattr(pa, "string_view", pa.string)()), ("dictionary", None)]:
    column = pa.array(VALUES, pa.string()).dictionary_encode() if type_ is None else pa.array(VALUES, type_)
    table = pa.table({"email": column, "id": pa.array(range(len(VALUES)))})
    got = mask_table(table, [{"column": "email", "type": "hash"}], KEY, start=1000)
    check(got.column("email").to_pylist(), tokens(1000), f"mask_table {name}")
    assert got.column("id").equals(table.column("id"))

# Digits enough for fpe's domain in every value; the long ones span more
# AES blocks than one call of the kernel takes.
CARDS = [None if i % 7 == 3 else f"{i:04d}-{i * 7919 % 10000:04d}-" + "5" * (i % 4) * 40 for i in range(41)]
BOUND = [{"column": "p", "type": "pseudonym"}, {"column": "e", "type": "encrypt", "context": "smoke"},
         {"column": "f", "type": "fpe", "alphabet": "digits"}]
for name, type_ in [("string", pa.string()), ("large_string", pa.large_string()),
                    ("string_view", getattr(pa, "string_view", pa.string)())]:
    table = pa.table({"p": pa.array(VALUES, type_), "e": pa.array(CARDS, type_), "f": pa.array(CARDS, type_)})
    got = mask_table(table, BOUND, KEY)
    check(got.column("p").to_pylist(), [None if v is None else pseudonym(v, key=KEY.encode()) for v in VALUES],
          f"pseudonym {name}")
    check(got.column("e").to_pylist(), [None if v is None else encrypt(v, "smoke", key=KEY.encode()) for v in CARDS],
          f"encrypt {name}")
    check(got.column("f").to_pylist(), [None if v is None else fpe(v, "0123456789", key=KEY.encode()) for v in CARDS],
          f"fpe {name}")
    revealed = reveal_table(got, BOUND, KEY)
    check(revealed.column("e").to_pylist() + revealed.column("f").to_pylist(), CARDS + CARDS, f"reveal {name}")

with tempfile.TemporaryDirectory() as tmp:
    src, dst = os.path.join(tmp, "in.csv"), os.path.join(tmp, "out.csv")
    # An id beside the values: a line of one empty field (a null) would be
    # skipped as an empty line.
    pacsv.write_csv(pa.table({"id": pa.array(range(len(VALUES))), "email": pa.array(VALUES, pa.string())}), src)
    env = dict(os.environ, QUILLON_MASK_KEY=KEY)
    subprocess.run([sys.executable, "-m", "quillon_mask", src, dst, "--hash", "email"], env=env, check=True,
                   timeout=600)
    got = pacsv.read_csv(dst, convert_options=pacsv.ConvertOptions(column_types={"email": pa.string()},
                                                                         strings_can_be_null=True))
    check(got.column("email").to_pylist(), tokens(), "quillon-mask csv")
