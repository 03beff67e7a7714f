"""pyarrow sources checked batch by batch, producer text withheld, and many threads on one masked reader."""
import threading
import time

import numpy as np
import pyarrow as pa
import pyarrow.csv as pacsv
import pytest

from quillon_mask.arrow import mask_stream, mask_table

from conftest import token

HASH_EMAIL = [{"column": "email", "type": "hash"}]
SECRET = "bob@secret.com"


def corrupt_ipc(path, file_format, last):
    """An IPC stream or file whose column `note` ("ab", "cd") has its last offset set to `last`."""
    table = pa.table({"email": ["alice@x.io", "bob@y.io"], "note": ["ab", "cd"]})
    with pa.OSFile(str(path), "wb") as sink:
        writer = pa.ipc.new_file if file_format == "file" else pa.ipc.new_stream
        with writer(sink, table.schema) as w:
            w.write_table(table)
    raw = bytearray(path.read_bytes())
    offsets = np.array([0, 2, 4], np.int32).tobytes()
    at = raw.index(offsets)
    assert raw.find(offsets, at + 1) == -1
    raw[at + 8:at + 12] = np.int32(last).tobytes()
    path.write_bytes(bytes(raw))


def open_ipc(path, file_format):
    return pa.ipc.open_file(str(path)) if file_format == "file" else pa.ipc.open_stream(str(path))


@pytest.mark.parametrize("file_format", ["stream", "file"])
@pytest.mark.parametrize("role", ["hash", "redact", "pass_through", None])
@pytest.mark.parametrize("entry", [
    pytest.param(lambda data, t: mask_table(data, t, "k"), id="mask_table"),
    pytest.param(lambda data, t: mask_stream(data, t, "k").read_next_batch(), id="mask_stream"),
])
def test_a_corrupt_ipc_offset_is_refused_in_any_column(tmp_path, file_format, role, entry):
    path = tmp_path / "in.arrows"
    corrupt_ipc(path, file_format, 400)
    transforms = HASH_EMAIL + ([{"column": "note", "type": role}] if role else [])
    with pytest.raises(ValueError) as info:
        entry(open_ipc(path, file_format), transforms)
    message = str(info.value)
    assert "batch 0 of the source, column 1 ('note') fails validation" in message
    assert "alice" not in message and "ab" not in message.replace("table", "")


def test_an_intact_ipc_file_masks_as_before(tmp_path):
    path = tmp_path / "in.arrow"
    corrupt_ipc(path, "file", 4)  # the offset it had
    out = mask_table(open_ipc(path, "file"), HASH_EMAIL, "k")
    assert out.column("email").to_pylist() == [token("k", 0, "alice@x.io"), token("k", 1, "bob@y.io")]
    assert out.column("note").to_pylist() == ["ab", "cd"]


def middle_offset_strings():
    # First and last offsets in bounds; the middle one is not, which only
    # a full validation sees.
    offsets = pa.py_buffer(np.array([0, 400, 4], np.int32).tobytes())
    return pa.Array.from_buffers(pa.string(), 2, [None, offsets, pa.py_buffer(b"abcd")])


def view_past_its_buffer():
    good = pa.array(["a value longer than twelve", "short"], pa.string_view())
    validity, views, data = good.buffers()[:3]
    raw = bytearray(views.to_pybytes())
    raw[12:16] = np.int32(1000).tobytes()  # row 0's offset into the data buffer
    return pa.Array.from_buffers(pa.string_view(), 2, [validity, pa.py_buffer(bytes(raw)), data])


def index_past_its_dictionary():
    return pa.DictionaryArray.from_arrays(pa.array([0, 7], pa.int32()), pa.array(["a", "b"]), safe=False)


def list_middle_offset():
    offsets = pa.py_buffer(np.array([0, 100, 3], np.int32).tobytes())
    return pa.Array.from_buffers(pa.list_(pa.int64()), 2, [None, offsets], children=[pa.array([1, 2, 3])])


@pytest.mark.parametrize("make", [middle_offset_strings, view_past_its_buffer, index_past_its_dictionary,
                                  list_middle_offset])
@pytest.mark.parametrize("role", [None, "pass_through", "hash"])
def test_what_the_cheap_check_misses_is_refused(make, role):
    if role and make is list_middle_offset:
        pytest.skip("a list column cannot be configured")
    if make is view_past_its_buffer and not hasattr(pa, "string_view"):
        pytest.skip("string_view needs pyarrow 16 or newer")
    bad = make()
    table = pa.table({"email": ["a@x.io", "b@x.io"], "note": bad})
    transforms = HASH_EMAIL + ([{"column": "note", "type": role}] if role else [])
    # A hashed Utf8 column is refused by the engine's own offset check.
    with pytest.raises(ValueError, match=r"column 1 \('note'\)"):
        mask_table(table, transforms, "k")


def test_the_batch_that_fails_is_named_and_the_ones_before_it_pass():
    good = pa.RecordBatch.from_pydict({"email": ["a@x.io", "b@x.io"], "note": pa.array(["x", "y"])})
    bad = pa.RecordBatch.from_pydict({"email": ["a@x.io", "b@x.io"], "note": middle_offset_strings()})
    reader = mask_stream(pa.RecordBatchReader.from_batches(good.schema, [good, bad]), HASH_EMAIL, "k")
    assert reader.read_next_batch().column(0).to_pylist() == [token("k", 0, "a@x.io"), token("k", 1, "b@x.io")]
    with pytest.raises(ValueError, match=r"batch 1 of the source, column 1 \('note'\)"):
        reader.read_next_batch()


class StreamOnly:
    """Not pyarrow: only the C stream reaches the module."""

    def __init__(self, data):
        self._data = data

    def __arrow_c_stream__(self, requested_schema=None):
        return self._data.__arrow_c_stream__(requested_schema)


def failing_reader(error):
    schema = pa.schema([("email", pa.string())])

    def batches():
        yield pa.RecordBatch.from_pydict({"email": ["a@x.io"]})
        raise error

    return pa.RecordBatchReader.from_batches(schema, batches())


@pytest.mark.parametrize("wrap", [lambda r: r, StreamOnly], ids=["pyarrow-source", "c-stream"])
@pytest.mark.parametrize("error, kept", [
    (ValueError(f"bad row: {SECRET}"), "bad row [rest withheld: it may quote input values]"),
    (RuntimeError("source broke at batch 2"), "source broke at batch 2"),
])
def test_a_producer_message_keeps_only_what_cannot_quote_a_value(wrap, error, kept):
    reader = mask_stream(wrap(failing_reader(error)), HASH_EMAIL, "k")
    reader.read_next_batch()
    with pytest.raises(Exception) as info:
        reader.read_next_batch()
    assert SECRET not in str(info.value)
    assert kept in str(info.value)


@pytest.mark.parametrize("wrap", [lambda r: r, StreamOnly], ids=["pyarrow-source", "c-stream"])
def test_a_ragged_csv_row_is_not_quoted(tmp_path, wrap):
    path = tmp_path / "in.csv"
    good = "".join(f"{i},u{i}@x.io\n" for i in range(200))
    path.write_text(f"id,email\n{good}200,{SECRET},EXTRA\n")
    # Small blocks: the ragged row is read by the masked stream, not by open_csv.
    csv = pacsv.open_csv(str(path), read_options=pacsv.ReadOptions(block_size=1024),
                         convert_options=pacsv.ConvertOptions(column_types={"id": pa.string()}))
    with pytest.raises(Exception) as info:
        mask_table(wrap(csv), HASH_EMAIL, "k")
    text = "".join(str(e) for e in (info.value, info.value.__cause__, info.value.__context__) if e)
    assert SECRET not in text
    assert "CSV parse error [rest withheld: it may quote input values]" in text


ROWS, PER_BATCH = 2000, 10


def numbered():
    ids = np.arange(ROWS, dtype=np.int64)
    return pa.table({"id": ids, "email": [f"u{i}@x.io" for i in ids]})


@pytest.mark.parametrize("threads", [2, 4])
@pytest.mark.parametrize("source", ["generator", "table", "c-stream"])
def test_threads_sharing_one_masked_reader_get_whole_batches_at_the_right_positions(threads, source):
    table = numbered()
    batches = table.to_batches(max_chunksize=PER_BATCH)
    if source == "generator":
        data = pa.RecordBatchReader.from_batches(table.schema, (b for b in batches))
    elif source == "table":
        data = pa.Table.from_batches(batches)
    else:
        data = StreamOnly(pa.Table.from_batches(batches))
    reader = mask_stream(data, HASH_EMAIL, "k")
    got, errors, ended = [], [], []
    deadline = time.monotonic() + 5

    def pull():
        try:
            while time.monotonic() < deadline:
                batch = reader.read_next_batch()
                got.append((batch.column(0).to_pylist(), batch.column(1).to_pylist()))
        except StopIteration:
            ended.append(True)
        except Exception as e:  # reported below, on the main thread
            errors.append(e)

    workers = [threading.Thread(target=pull) for _ in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert errors == []
    seen = sorted(i for ids, _ in got for i in ids)
    assert len(seen) == len(set(seen))
    if ended:  # else the time ran out (a slow sanitizer run): what was read must still be right
        assert seen == list(range(ROWS))
    for ids, tokens in got:
        assert len(ids) == PER_BATCH
        assert tokens == [token("k", i, f"u{i}@x.io") for i in ids]
