"""The value-bound transforms through quillon_mask.arrow against what a Python
user would write otherwise: cryptography's AESSIV called once per value (the
encrypt token's formula, base64url included), same run, same values.

    py_aessiv_values_per_s         the loop below (baseline)
    <transform>_values_per_s       mask_table with one column under <transform>
                                   (reveal: reveal_table over encrypt's tokens)
    <transform>_over_py_aessiv     the ratio of the two

Values: 200,000 "user<n>@example.com" (fpe: "4111-nnnn-nnnn-nnnn"), one
column, the context "customers.email"; best of 3 rounds.
"""
import time
from base64 import urlsafe_b64encode

import pyarrow as pa
from cryptography.hazmat.primitives.ciphers.aead import AESSIV
from cryptography.hazmat.primitives.hashes import SHA256
from cryptography.hazmat.primitives.kdf.hkdf import HKDF

from quillon_mask.arrow import mask_table, reveal_table

ROWS = 200_000
KEY = b"bench-key"
CONTEXT = "customers.email"


def best(run, rounds=3):
    times = []
    for _ in range(rounds):
        began = time.perf_counter()
        run()
        times.append(time.perf_counter() - began)
    return ROWS / min(times)


def main():
    emails = [f"user{i}@example.com" for i in range(ROWS)]
    cards = [f"4111-{n[:4]}-{n[4:8]}-{n[8:]}" for n in (str(100000000000 + i * 7919) for i in range(ROWS))]
    table, card_table = pa.table({"c": emails}), pa.table({"c": cards})
    siv = AESSIV(HKDF(SHA256(), 64, None, b"quillon_mask encrypt").derive(KEY))
    aad = [CONTEXT.encode()]

    def python_loop():
        for v in emails:
            urlsafe_b64encode(siv.encrypt(v.encode(), aad)).rstrip(b"=")

    baseline = best(python_loop)
    print(f"py_aessiv_values_per_s={baseline:.0f}")

    def entry(kind, **fields):
        return [{"column": "c", "type": kind, **fields}]

    encrypt = entry("encrypt", context=CONTEXT)
    tokens = mask_table(table, encrypt, KEY)
    runs = {
        "hash": lambda: mask_table(table, entry("hash"), KEY),
        "pseudonym": lambda: mask_table(table, entry("pseudonym", context=CONTEXT), KEY),
        "encrypt": lambda: mask_table(table, encrypt, KEY),
        "reveal": lambda: reveal_table(tokens, encrypt, KEY),
        "fpe": lambda: mask_table(card_table, entry("fpe", alphabet="digits"), KEY),
    }
    for name, run in runs.items():
        rate = best(run)
        print(f"{name}_values_per_s={rate:.0f}")
        print(f"{name}_over_py_aessiv={rate / baseline:.2f}")


if __name__ == "__main__":
    main()
