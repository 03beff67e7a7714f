"""Callers that change input memory during a call, release it from Python, or hide a column in the index."""
import ctypes
import gc
import threading
import time

import numpy as np
import pandas as pd
import pyarrow as pa
import pytest

from quillon_mask import mask
from quillon_mask.arrow import mask_frame

from conftest import Producer, c_array, masked, masked_value, plain, set_field, text_frame, token

def arrow_frame(array):
    """A frame whose one column is `array` itself, buffers shared."""
    return pd.DataFrame({"email": pd.arrays.ArrowExtensionArray(pa.chunked_array([array]))})


@pytest.mark.parametrize("kind", ["hash", "redact", "pass_through"])
def test_validity_bitmap_flipping_during_the_call_gives_odd_values_at_worst(kind):
    n = 1 << 16
    bits = np.zeros(n // 8, np.uint8)
    array = pa.Array.from_buffers(pa.string(), n, [
        pa.py_buffer(bits), pa.py_buffer(np.arange(n + 1, dtype=np.int32)), pa.py_buffer(b"x" * n)],
        null_count=-1)
    df = arrow_frame(array)
    stop = threading.Event()

    def flip():
        while not stop.is_set():
            bits[:] = 0xFF
            bits[:] = 0

    flipper = threading.Thread(target=flip)
    flipper.start()
    seen = set()
    try:
        deadline = time.monotonic() + 2.0
        while time.monotonic() < deadline:
            out = plain(mask(df, [{"column": "email", "type": kind}], "k")["email"])
            assert len(out) == n
            seen.update(i for i in (0, n // 2, n - 1) if out[i] is not None)
            for i in (0, n // 2, n - 1):
                assert out[i] in (None, masked_value(kind, i, "x"))
            assert {len(v) for v in out if v is not None} <= {len(masked_value(kind, 0, "x"))}
    finally:
        stop.set()
        flipper.join()


@pytest.mark.parametrize("kind", ["hash", "redact", "pass_through"])
@pytest.mark.parametrize("last", [4000, 1 << 30])
def test_offsets_changed_by_a_dict_lookup_never_reach_past_the_values(kind, last):
    offsets = np.array([0, 1, 2], np.int32)
    df = arrow_frame(pa.Array.from_buffers(pa.string(), 2, [None, pa.py_buffer(offsets), pa.py_buffer(b"ab")]))

    class Hook:
        """A key equal-hashed to "type", whose comparison runs after the batch was validated."""
        armed = False

        def __hash__(self):
            return hash("type")

        def __eq__(self, other):
            if Hook.armed:
                offsets[2] = last
            return False

    transforms = [{Hook(): 0, "column": "email", "type": kind}]
    Hook.armed = True
    try:
        out = plain(mask(df, transforms, "k")["email"])
    except ValueError as error:
        assert str(error).startswith("Masking failed: ")
        return
    # Values may be odd, but made only of the values buffer's own bytes.
    own = ["", "a", "b", "ab"]
    assert out[0] == masked_value(kind, 0, "a")
    assert out[1] in [masked_value(kind, 1, v) for v in own]


RELEASE = ctypes.CFUNCTYPE(None, ctypes.c_void_p)


class PythonReleased:
    """A batch handed over with a release callback written in Python, counting its calls."""

    def __init__(self, batch):
        self._batch = batch
        self._callbacks = []
        self.releases = 0

    def __arrow_c_array__(self, requested_schema=None):
        schema, array = self._batch.__arrow_c_array__()
        struct = c_array(array)
        real = RELEASE(struct.release)

        def release(address):
            self.releases += 1
            real(address)

        callback = RELEASE(release)
        self._callbacks.append(callback)
        struct.release = ctypes.cast(callback, ctypes.c_void_p).value
        return schema, array


GOOD = pa.RecordBatch.from_arrays([pa.array(["a@x.io", None]), pa.array([1, 2])], ["email", "n"])


@pytest.mark.parametrize("later, transforms, error, message", [
    pytest.param([], [{"column": "email", "type": "hash"}], None, None, id="success"),
    pytest.param([Producer(GOOD, set_field("length", 5))], [{"column": "email", "type": "hash"}], ValueError,
                 "Conversion failed: ValueError: column 0 ('email'): expected at least 5 rows, found 2", id="later-batch-fails-import"),
    pytest.param([], [1], ValueError, "Expected dict: 'int' object cannot be converted to 'PyDict'",
                 id="bad-transform-list"),
    pytest.param([], [{"column": "n", "type": "hash"}], ValueError,
                 "Masking failed: arrow error: Invalid: column 1 ('n') is Utf8 but its field is Int64",
                 id="masking-fails"),
    pytest.param([], [{"column": "email", "type": "hash"}] * 2, BaseException,
                 "transform already configured for column 'email'", id="duplicate-column"),
    pytest.param(None, [{"column": "email", "type": "hash"}], RuntimeError, "no table today",
                 id="conversion-back-fails"),
])
def test_python_release_callback_runs_once_with_no_error_pending(
        fake_batches, monkeypatch, later, transforms, error, message):
    unraisable = []
    monkeypatch.setattr("sys.unraisablehook", unraisable.append)
    source = PythonReleased(GOOD)
    fake_batches(lambda table: [source] + (later or []))
    if later is None:
        def from_batches(batches):
            raise RuntimeError("no table today")
        monkeypatch.setattr(pa.Table, "from_batches", staticmethod(from_batches))
    if error is None:
        out = mask(pd.DataFrame({"unused": [0]}), transforms, "k")
        assert plain(out["email"]) == [token("k", 0, "a@x.io"), None]
        del out
    else:
        with pytest.raises(error) as info:
            mask(pd.DataFrame({"unused": [0]}), transforms, "k")
        assert str(info.value) == message
        assert type(info.value) is not SystemError
        del info
    gc.collect()
    assert source.releases == 1
    assert unraisable == []


EMAILS = ["a@x.io", "b@x.io", None]
NAMES = ["Al", "Bo", "Cy"]


@pytest.mark.parametrize("entry", [mask, mask_frame], ids=["mask", "mask_frame"])
@pytest.mark.parametrize("kind", ["hash", "redact", "null"])
@pytest.mark.parametrize("index, levels", [
    pytest.param(lambda df: df.set_index("email", drop=False), [("email", True)], id="kept-column"),
    pytest.param(lambda df: df.set_index("email"), [("email", True)], id="moved-column"),
    pytest.param(lambda df: df.set_index(["name", "email"], drop=False), [("name", False), ("email", True)],
                 id="multi-index"),
    pytest.param(lambda df: df.set_index(pd.Index(EMAILS, dtype=object)), [(None, False)], id="unnamed"),
    pytest.param(lambda df: df.set_index(pd.Index(EMAILS, dtype=object, name="mail")), [("mail", False)],
                 id="other-name"),
])
def test_index_level_named_like_a_configured_column_is_masked_like_it(entry, kind, index, levels):
    df = index(text_frame(email=EMAILS, name=NAMES, n=[1, 2, 3]))
    out = entry(df, [{"column": "email", "type": kind}], "k")
    for i, (name, is_masked) in enumerate(levels):
        assert out.index.names[i] == name
        clear = NAMES if name == "name" else EMAILS
        assert plain(out.index.get_level_values(i)) == (masked(kind, clear) if is_masked else clear)
    if "email" in out.columns:
        assert plain(out["email"]) == masked(kind, EMAILS)


HUGE_KEY = ctypes.create_string_buffer(np.array([1, 0x7FFFFFFF], np.int32).tobytes())


def set_offset(offset, drop_validity=False):
    def bend(schema, array):
        column = array.children[0].contents
        column.offset = offset
        if drop_validity:
            column.null_count = 0
            column.buffers[0] = None
    return bend


@pytest.mark.parametrize("values, bend, message", [
    (["a@x.io", None], set_offset(2**63 - 1), "column 0 ('email'): offset and length overflow"),
    (["a@x.io", "b"], set_offset(2**63 - 2, drop_validity=True),
     "column 0 ('email'): offset and length overflow"),
    (["a@x.io", "b"], lambda s, a: setattr(s, "metadata", ctypes.addressof(HUGE_KEY)),
     "schema metadata has a negative length or passes 2147483647 bytes"),
])
@pytest.mark.parametrize("kind", ["hash", "pass_through"])
def test_hostile_lengths_and_offsets_are_refused(values, bend, message, kind):
    batch = pa.RecordBatch.from_pydict({"email": pa.array(values, pa.string())})
    with pytest.raises(ValueError) as info:
        mask_frame(Producer(batch, bend), [{"column": "email", "type": kind}], "k")
    assert message in str(info.value)
