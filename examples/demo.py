"""Masks the bundled customer sample with all four transforms.

Run with `make demo`, or directly once the module is importable:
    python examples/demo.py [path/to/customers.csv]
"""
import pathlib
import sys

import pandas as pd

from quillon_mask import mask

CSV = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).with_name("customers.csv"))

# Text columns stay object dtype so pyarrow hands them over as Utf8 on every
# pandas version (pandas 3 would otherwise make them large_string).
text = {"email": object, "name": object, "phone": object, "city": object}
df = pd.read_csv(CSV, dtype=text, keep_default_na=False, na_values=[""])

transforms = [
    {"column": "email", "type": "hash"},
    {"column": "name", "type": "redact"},
    {"column": "phone", "type": "null"},
    {"column": "city", "type": "pass_through"},
]

pd.set_option("display.width", 200)
print("before:")
print(df.to_string(index=False))
masked = mask(df, transforms, key="demo-key-change-me")
print("\nafter:")
print(masked.to_string(index=False))
