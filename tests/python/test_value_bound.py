"""pseudonym, encrypt and fpe through quillon_mask.arrow and the command, and
their reveal, checked against the formulas of value_bound_formulas (hmac,
the `cryptography` package and a plain FF1 over its AES)."""
import hashlib
import hmac
import json
from base64 import urlsafe_b64decode, urlsafe_b64encode
from functools import partial

import pyarrow as pa
import pyarrow.ipc as paipc
import pyarrow.parquet as pq
import pytest

from quillon_mask.arrow import mask_stream, mask_table, reveal_frame, reveal_stream, reveal_table
import value_bound_formulas as formulas
from test_cli import run

KEY = b"value-bound test key"
pseudonym = partial(formulas.pseudonym, key=KEY)
encrypt = partial(formulas.encrypt, key=KEY)
fpe = partial(formulas.fpe, key=KEY)
SECRET = "4111-1111-1111-1111"
VALUES = [SECRET, "josé 0042-1234", None, "", "ünïcode ✓ 123456", "9" * 40]


def test_the_ff1_here_gives_nists_aes256_samples():
    key = bytes.fromhex("2B7E151628AED2A6ABF7158809CF4F3CEF4359D8D580AA4F7F036D6F04FC6A94")
    assert formulas.ff1(key, b"", 10, list(range(10))) == [int(c) for c in "6657667009"]
    assert formulas.ff1(key, bytes.fromhex("39383736353433323130"), 10, list(range(10))) == [int(c) for c in "1001623463"]


# --- masking -------------------------------------------------------------------

LAYOUTS = [pa.string(), pa.large_string()] + ([pa.string_view()] if hasattr(pa, "string_view") else [])
DIGITS = "0123456789"


def column(values, layout, dictionary=False):
    array = pa.array(values, layout)
    return array.dictionary_encode() if dictionary else array


@pytest.mark.parametrize("layout", LAYOUTS, ids=str)
@pytest.mark.parametrize("dictionary", [False, True], ids=["plain", "dictionary"])
@pytest.mark.parametrize("context", [None, "", "orders"])
def test_tokens_follow_the_formulas_and_reveal(layout, dictionary, context):
    if dictionary and layout not in (pa.string(), pa.large_string()):
        pytest.skip("pyarrow encodes no dictionary over string_view")
    values = [v for v in VALUES if v is None or sum(c in DIGITS for c in v) >= 6]
    table = pa.table({"p": column(VALUES, layout, dictionary), "e": column(VALUES, layout, dictionary),
                      "f": column(values + [None] * (len(VALUES) - len(values)), layout, dictionary)})
    transforms = [{"column": "p", "type": "pseudonym"}, {"column": "e", "type": "encrypt"},
                  {"column": "f", "type": "fpe", "alphabet": "digits"}]
    if context is not None:
        for entry in transforms:
            entry["context"] = context
    masked = mask_table(table, transforms, KEY)
    assert masked.schema == table.schema  # layouts kept, dictionaries still dictionaries
    assert masked.column("p").to_pylist() == [None if v is None else pseudonym(v, context) for v in VALUES]
    assert masked.column("e").to_pylist() == [None if v is None else encrypt(v, context) for v in VALUES]
    fpe_values = table.column("f").to_pylist()
    assert masked.column("f").to_pylist() == [None if v is None else fpe(v, DIGITS, context) for v in fpe_values]
    revealed = reveal_table(masked, transforms, KEY)
    assert revealed.schema == table.schema
    assert revealed.select(["e", "f"]) == table.select(["e", "f"]) != masked.select(["e", "f"])
    assert revealed.column("p") == masked.column("p")


@pytest.mark.parametrize("alphabet, chars, value", [
    ("lower", "abcdefghijklmnopqrstuvwxyz", "Mr. smith-jones"),
    ("upper", "ABCDEFGHIJKLMNOPQRSTUVWXYZ", "ABC-123-DEF"),
    ("alnum", DIGITS + "abcdefghijklmnopqrstuvwxyz" + "ABCDEFGHIJKLMNOPQRSTUVWXYZ", "user_42@Example"),
    ("hex", "0123456789abcdef", "de:ad:be:ef:00:11"),
    ("éa✓b", "éa✓b", "ba✓é-éé✓a-bb-x"),  # explicit, of mixed UTF-8 widths
])
def test_fpe_alphabets_keep_the_format(alphabet, chars, value):
    transforms = [{"column": "c", "type": "fpe", "alphabet": alphabet, "context": "t"}]
    masked = mask_table(pa.table({"c": [value]}), transforms, KEY)
    token = masked.column("c")[0].as_py()
    assert token == fpe(value, chars, "t")
    assert [ch in chars for ch in token] == [ch in chars for ch in value]
    assert reveal_table(masked, transforms, KEY).column("c").to_pylist() == [value]


def test_unused_dictionary_values_leave_as_nulls():
    array = pa.DictionaryArray.from_arrays(pa.array([1, None, 1], pa.int8()), pa.array([SECRET, "b", "c"]))
    masked = mask_table(pa.table({"c": array}), [{"column": "c", "type": "encrypt"}], KEY).column("c").chunk(0)
    assert masked.indices.to_pylist() == [1, None, 1]
    assert masked.dictionary.to_pylist() == [None, encrypt("b"), None]


def test_reveal_passes_other_columns_through_without_a_copy():
    table = pa.table({"h": ["x", "y"], "e": ["a", "b"], "n": [1, 2]})
    transforms = [{"column": "h", "type": "hash"}, {"column": "e", "type": "encrypt"}]
    masked = mask_table(table, transforms, KEY)
    revealed = reveal_table(masked, transforms, KEY)
    for name in ("h", "n"):
        assert revealed.column(name).chunk(0).buffers()[1].address == masked.column(name).chunk(0).buffers()[1].address
    assert revealed.column("e").to_pylist() == ["a", "b"]


def test_reveal_frame_gives_pandas_back():
    frame = pa.table({"e": ["a", None]}).to_pandas()
    masked = mask_table(frame, [{"column": "e", "type": "encrypt"}], KEY).to_pandas()
    revealed = reveal_frame(masked, [{"column": "e", "type": "encrypt"}], KEY)
    # pandas 3 shows a missing str as NaN, pandas 2 as None: both are null.
    assert revealed["e"].iloc[0] == "a" and revealed["e"].isna().tolist() == [False, True]


# --- faults --------------------------------------------------------------------

def tampered(token):
    raw = bytearray(urlsafe_b64decode(token + "=" * (-len(token) % 4)))
    raw[-1] ^= 1
    return urlsafe_b64encode(bytes(raw)).rstrip(b"=").decode()


ENC = [{"column": "c", "type": "encrypt", "context": "a"}]
FPE = [{"column": "c", "type": "fpe", "alphabet": "digits"}]


@pytest.mark.parametrize("case, tokens, transforms, key, message", [
    ("tampered", lambda: ["x", tampered(encrypt(SECRET, "a"))], ENC, KEY, "row 5: the token does not authenticate"),
    ("wrong key", lambda: ["x", formulas.encrypt(SECRET, "a", key=b"other")], ENC, KEY, "row 5: the token does not authenticate"),
    ("wrong context", lambda: ["x", encrypt(SECRET, "b")], ENC, KEY, "row 5: the token does not authenticate"),
    ("no context", lambda: ["x", encrypt(SECRET)], ENC, KEY, "row 5: the token does not authenticate"),
    ("not base64url", lambda: ["x", SECRET * 2 + "!"], ENC, KEY, "row 5: the token is not base64url"),
    ("short fpe", lambda: ["x", "12345-"], FPE, KEY, "row 5: the value has too few characters"),
])
def test_reveal_faults_name_column_and_row_never_the_value(case, tokens, transforms, key, message):
    _, second = tokens()
    plain = ["a@b 123456", "c@d 234567", "e@f 345678", "x0123456"]
    good = mask_table(pa.table({"c": plain}), transforms, KEY).column("c").to_pylist()
    batches = [pa.RecordBatch.from_pydict({"c": good}), pa.RecordBatch.from_pydict({"c": [good[0], second]})]
    reader = reveal_stream(pa.RecordBatchReader.from_batches(batches[0].schema, iter(batches)), transforms, key)
    assert reader.read_next_batch().column(0).to_pylist() == plain
    with pytest.raises(ValueError) as info:
        reader.read_next_batch()
    assert f"column 'c', {message}" in str(info.value)
    assert SECRET not in str(info.value) and "12345" not in str(info.value)


@pytest.mark.parametrize("value", ["12345", "1-2-3-4-5", "x" * 300, "1" * 257])
def test_fpe_refuses_values_outside_its_domain_without_leaving_them(value):
    table = pa.table({"c": ["123456", value]})
    with pytest.raises(ValueError, match=r"column 'c', row 1: the value has too (few|many)") as info:
        mask_table(table, FPE, KEY)
    assert value not in str(info.value)


def reader_that_must_not_be_read():
    schema = pa.schema([("c", pa.string())])

    def batches():
        raise AssertionError("a batch was read")
        yield  # pragma: no cover

    return pa.RecordBatchReader.from_batches(schema, batches())


@pytest.mark.parametrize("entry, key, message", [
    ({"type": "pseudonym"}, None, "a key is required for the pseudonym transform"),
    ({"type": "encrypt"}, None, "a key is required for the encrypt transform"),
    ({"type": "fpe", "alphabet": "digits"}, None, "a key is required for the fpe transform"),
    ({"type": "fpe", "alphabet": "digit"}, KEY, "unknown fpe alphabet name"),
    ({"type": "fpe", "alphabet": "octal"}, KEY, "unknown fpe alphabet name"),
    ({"type": "fpe", "alphabet": "0120"}, KEY, "the fpe alphabet repeats a character"),
    ({"type": "fpe", "alphabet": "7"}, KEY, "the fpe alphabet has fewer than 2 characters"),
    ({"type": "fpe", "alphabet": 10}, KEY, "'alphabet' must be a str, not 'int'"),
    ({"type": "fpe"}, KEY, "Missing 'alphabet' for the fpe transform"),
    ({"type": "encrypt", "context": b"t"}, KEY, "'context' must be a str, not 'bytes'"),
    ({"type": "encrypt", "alphabet": "digits"}, KEY, "Unknown field in a transform entry: 'alphabet'"),
    ({"type": "hash", "context": "t"}, KEY, "Unknown field in a transform entry: 'context'"),
    ({"type": "pseudonym", "contxt": "t"}, KEY, "Unknown field in a transform entry: 'contxt'"),
])
@pytest.mark.parametrize("reveal", [False, True], ids=["mask", "reveal"])
def test_bad_entries_fail_before_any_batch_is_read(entry, key, message, reveal):
    if reveal and key is None:
        message = "a key is required to reveal"
    opened = reveal_stream if reveal else mask_stream
    with pytest.raises(ValueError, match=f"^{message}"):
        opened(reader_that_must_not_be_read(), [{"column": "c", **entry}], key)


# --- the command -----------------------------------------------------------------

TRANSFORMS = [{"column": "card", "type": "fpe", "alphabet": "digits", "context": "cards"},
              {"column": "email", "type": "encrypt"}, {"column": "name", "type": "hash"}]


@pytest.fixture
def masked_file(tmp_path):
    table = pa.table({"card": [SECRET, "5500 0000 0000 0004", None] * 3, "email": ["a@x", None, "b@y"] * 3,
                      "name": ["n1", "n2", "n3"] * 3, "user": ["u1", "u2", "u1"] * 3})
    pq.write_table(table.replace_schema_metadata({"origin": "crm"}), tmp_path / "in.parquet", row_group_size=4)
    (tmp_path / "t.json").write_text(json.dumps(TRANSFORMS))
    done = run(tmp_path / "in.parquet", tmp_path / "m.parquet", "--transforms", tmp_path / "t.json",
               "--pseudonym", "user", "--start", 7, key=KEY)
    assert done.returncode == 0, done.stderr
    return table, tmp_path


def test_command_masks_records_and_reveals(masked_file):
    table, tmp = masked_file
    masked = pq.read_table(tmp / "m.parquet")
    assert masked.column("email").to_pylist() == [None if v is None else encrypt(v) for v in table.column("email").to_pylist()]
    assert masked.column("user").to_pylist() == [pseudonym(v) for v in table.column("user").to_pylist()]
    metadata = masked.schema.metadata
    assert metadata[b"origin"] == b"crm"
    record = json.loads(metadata[b"quillon_mask"])
    assert record == {"version": record["version"], "start": 7, "rows": 9,
                      "transforms": TRANSFORMS + [{"column": "user", "type": "pseudonym"}],
                      "key_fingerprint": hmac.new(KEY, b"quillon_mask key fingerprint", hashlib.sha256).hexdigest()[:16]}
    assert record["version"] == __import__("quillon_mask").version()

    done = run("--reveal", tmp / "m.parquet", tmp / "r.parquet", "--transforms", tmp / "t.json", key=KEY)
    assert done.returncode == 0, done.stderr
    revealed = pq.read_table(tmp / "r.parquet")
    for name in ("card", "email"):
        assert revealed.column(name).to_pylist() == table.column(name).to_pylist()
    for name in ("name", "user"):
        assert revealed.column(name).to_pylist() == masked.column(name).to_pylist()
    assert json.loads(revealed.schema.metadata[b"quillon_mask"])["revealed"] is True


@pytest.mark.parametrize("other", [b"another key", "fpe alone"])
def test_command_refuses_to_reveal_under_another_key(masked_file, other):
    _, tmp = masked_file
    transforms = tmp / "t.json"
    if other == "fpe alone":  # no authentication: only the fingerprint can tell
        transforms.write_text(json.dumps(TRANSFORMS[:1]))
        other = b"another key"
    done = run("--reveal", tmp / "m.parquet", tmp / "r.parquet", "--transforms", transforms, key=other)
    assert done.returncode == 2
    assert "masked with another key" in done.stderr
    assert sorted(p.name for p in tmp.iterdir()) == ["in.parquet", "m.parquet", "t.json"]


@pytest.mark.parametrize("suffix, record", [(".arrow", True), (".arrows", True), (".csv", False)])
def test_command_records_where_the_format_keeps_metadata(tmp_path, suffix, record):
    pq.write_table(pa.table({"e": ["a", "b"]}), tmp_path / "in.parquet")
    done = run(tmp_path / "in.parquet", tmp_path / f"out{suffix}", "--encrypt", "e", key=KEY)
    assert done.returncode == 0, done.stderr
    if suffix == ".csv":
        assert (tmp_path / "out.csv").read_text().splitlines()[1:] == [f'"{encrypt(v)}"' for v in "ab"]
        return
    opened = paipc.open_stream if suffix == ".arrows" else paipc.open_file
    metadata = opened(str(tmp_path / f"out{suffix}")).schema.metadata
    assert json.loads(metadata[b"quillon_mask"])["rows"] == 2
