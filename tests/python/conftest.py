import ctypes
import hashlib
import hmac

import pandas as pd
import pyarrow as pa
import pytest


def token(key, position, value):
    """The expected Hash token, computed independently of the module (key as str or bytes)."""
    key = key.encode() if isinstance(key, str) else key
    return hmac.new(key, f"{position}:{value}".encode(), hashlib.sha256).hexdigest()


def masked_value(kind, position, value, key="k"):
    """What transform `kind` makes of `value` at `position` (None: a null)."""
    if value is None or kind == "null":
        return None
    return {"hash": lambda: token(key, position, value), "redact": lambda: "[REDACTED]",
            "pass_through": lambda: value}[kind]()


def masked(kind, values, key="k", first=0):
    """What transform `kind` makes of a column of `values`, positions from `first`."""
    return [masked_value(kind, first + i, v, key) for i, v in enumerate(values)]


def text_frame(**columns):
    """A frame whose text columns stay object dtype (Arrow Utf8) on every pandas."""
    return pd.DataFrame(
        {
            name: pd.Series(values, dtype=object)
            if any(isinstance(v, str) for v in values)
            else values
            for name, values in columns.items()
        }
    )


@pytest.fixture
def fake_batches(monkeypatch):
    """Replaces what Table.to_batches returns for the next mask() calls.

    pyarrow's Table cannot be patched in place, so pyarrow.Table itself is
    swapped for a stand-in whose from_pandas wraps the real table.
    """
    real = pa.Table

    def install(to_batches):
        class InputTable:
            def __init__(self, table):
                self._table = table

            def to_batches(self):
                return to_batches(self._table)

        class Table:
            @staticmethod
            def from_pandas(df):
                return InputTable(real.from_pandas(df))

            from_batches = staticmethod(real.from_batches)

        monkeypatch.setattr(pa, "Table", Table)

    return install


def plain(series):
    """A column's values with every missing value as None (pandas 3 gives NaN)."""
    return [None if pd.isna(v) else v for v in series.tolist()]


class CArray(ctypes.Structure):
    """The C Data Interface's ArrowArray."""


CArray._fields_ = [
    ("length", ctypes.c_int64), ("null_count", ctypes.c_int64), ("offset", ctypes.c_int64),
    ("n_buffers", ctypes.c_int64), ("n_children", ctypes.c_int64),
    ("buffers", ctypes.POINTER(ctypes.c_void_p)), ("children", ctypes.POINTER(ctypes.POINTER(CArray))),
    ("dictionary", ctypes.POINTER(CArray)), ("release", ctypes.c_void_p), ("private_data", ctypes.c_void_p),
]
_capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_capsule_pointer.restype = ctypes.c_void_p
_capsule_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


class CSchema(ctypes.Structure):
    """The C Data Interface's ArrowSchema (the fields the tests touch)."""

    _fields_ = [("format", ctypes.c_char_p), ("name", ctypes.c_char_p), ("metadata", ctypes.c_void_p)]


def c_array(capsule):
    """The ArrowArray inside an "arrow_array" capsule, writable in place."""
    return CArray.from_address(_capsule_pointer(capsule, b"arrow_array"))


class Producer:
    """A batch from some other Arrow library: only the C hook, so pyarrow checks nothing.

    bend(schema, array) rewrites the exported structs in place before they
    are handed over (not what their release reads).
    """

    def __init__(self, batch, bend=None):
        self._batch, self._bend = batch, bend

    def __arrow_c_array__(self, requested_schema=None):
        schema, array = self._batch.__arrow_c_array__()
        if self._bend is not None:
            self._bend(CSchema.from_address(_capsule_pointer(schema, b"arrow_schema")), c_array(array))
        return schema, array


def set_field(field, value, column=None):
    """A bend that sets one field of the array struct, or of its column `column`."""
    def bend(schema, array):
        setattr(array if column is None else array.children[column].contents, field, value)
    return bend
