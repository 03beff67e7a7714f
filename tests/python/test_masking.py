import pandas as pd
import pyarrow as pa
import pytest

from quillon_mask import mask

from conftest import masked, plain, text_frame

EMAILS = ["alice@example.com", None, "", "dan@example.com", "éve@example.com"]
NAMES = ["Alice", "Bob", None, "Dan", "Eve"]
PHONES = ["555-0100", "555-0101", "555-0102", None, "555-0104"]
CITIES = ["Oslo", None, "Lyon", "Rome", "Graz"]
AGES = [31, 42, 27, 55, 38]

ALL_FOUR = [
    {"column": "email", "type": "hash"},
    {"column": "name", "type": "redact"},
    {"column": "phone", "type": "null"},
    {"column": "city", "type": "pass_through"},
]


def customers():
    return text_frame(email=EMAILS, name=NAMES, phone=PHONES, city=CITIES, age=AGES)


def test_all_four_transforms():
    out = mask(customers(), ALL_FOUR, "secret")
    assert list(out.columns) == ["email", "name", "phone", "city", "age"]
    assert plain(out["email"]) == masked("hash", EMAILS, "secret")
    assert plain(out["name"]) == [None if v is None else "[REDACTED]" for v in NAMES]
    assert out["phone"].isna().all()
    assert plain(out["city"]) == CITIES
    assert plain(out["age"]) == AGES


def test_unconfigured_and_unknown_columns_come_back_as_pyarrow_converts_them():
    df = customers()
    out = mask(df, [{"column": "no_such_column", "type": "hash"}, {"column": "", "type": "null"}], "k")
    pd.testing.assert_frame_equal(out, pa.Table.from_pandas(df).to_pandas())


@pytest.mark.parametrize("layout", ["first", "middle", "last"])
def test_empty_batches_add_nothing(fake_batches, layout):
    # pyarrow gives an empty first batch for a column whose first chunk is
    # empty (a concat with an empty Series, say); the frame still has rows.
    def batches(table):
        parts = table.to_batches(max_chunksize=2)
        empty = parts[0].slice(0, 0)
        return {"first": [empty, *parts], "middle": [parts[0], empty, *parts[1:]],
                "last": [*parts, empty, empty]}[layout]

    fake_batches(batches)
    out = mask(customers(), ALL_FOUR, "secret")
    assert plain(out["email"]) == masked("hash", EMAILS, "secret")


@pytest.mark.parametrize("count", [1, 3])
def test_table_without_rows_fails(fake_batches, count):
    fake_batches(lambda table: [table.to_batches()[0].slice(0, 0)] * count)
    with pytest.raises(ValueError) as info:
        mask(customers(), ALL_FOUR, "secret")
    assert str(info.value) == "Masking failed: record batch has no rows"


class NoArrowExport:
    pass


class RaisingExport:
    def __arrow_c_array__(self):
        raise KeyError("boom")


class BadStr(Exception):
    def __str__(self):
        raise RuntimeError("no text")


class BadStrExport:
    def __arrow_c_array__(self):
        raise BadStr()


class ListSubclass(list):
    pass


@pytest.mark.parametrize(
    "to_batches, message",
    [
        (lambda t: tuple(t.to_batches()), "Expected list: 'tuple' object cannot be converted to 'PyList'"),
        (lambda t: None, "Expected list: 'NoneType' object cannot be converted to 'PyList'"),
        (lambda t: [], "Empty DataFrame"),
        (lambda t: ListSubclass(), "Empty DataFrame"),
        (lambda t: [NoArrowExport()], "Conversion failed: TypeError: "
         "'NoArrowExport' object cannot be converted to 'RecordBatch'"),
        (lambda t: [RaisingExport()], "Conversion failed: KeyError: 'boom'"),
        (lambda t: [BadStrExport()], "Conversion failed: BadStr: <exception str() failed>"),
        (lambda t: [*t.to_batches(), 7], "Conversion failed: TypeError: "
         "'int' object cannot be converted to 'RecordBatch'"),
    ],
)
def test_batch_list_errors_come_before_transforms_are_read(fake_batches, to_batches, message):
    fake_batches(to_batches)
    with pytest.raises(ValueError) as info:
        mask(customers(), [42], "k")
    assert str(info.value) == message

