"""Writes the bundled sample as Parquet, for the examples in the README and docs/.

    python examples/sample_files.py [DIR]

Into DIR (default: the current directory): customers.parquet, the twelve
rows of examples/customers.csv, and customers/, the same rows as a dataset
of two files (part-00000.parquet rows 1-5, part-00001.parquet rows 6-12).
Text columns are Arrow `string`; an empty field is null.
"""
import pathlib
import sys

import pyarrow as pa
import pyarrow.csv as csv
import pyarrow.parquet as pq

CSV = pathlib.Path(__file__).with_name("customers.csv")
TEXT = ["email", "name", "phone", "city"]


def main() -> None:
    out = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".")
    table = csv.read_csv(CSV, convert_options=csv.ConvertOptions(
        column_types={name: pa.string() for name in TEXT}, strings_can_be_null=True))
    pq.write_table(table, out / "customers.parquet")
    (out / "customers").mkdir(exist_ok=True)
    pq.write_table(table.slice(0, 5), out / "customers" / "part-00000.parquet")
    pq.write_table(table.slice(5), out / "customers" / "part-00001.parquet")
    print(f"wrote {out / 'customers.parquet'} and {out / 'customers'}/ ({table.num_rows} rows)")


if __name__ == "__main__":
    main()
