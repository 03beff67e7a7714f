"""Transform lists for the native parser's fuzz target, decoded from its input.

decode(data) returns (transforms, panic, expected): the list handed to the
parser, whether a second entry for a column panics (mask()) or raises
ValueError (the Arrow entry), and what the parser must give for the list,
worked out here in plain Python:
("ok", {column: type}) or (exception class name, message or None for any).
`expected` is None when the list holds keys whose comparison runs code
(they may change the list or raise mid-parse); the target then only checks
that the parser fails or succeeds cleanly.
"""

TYPES = ["hash", "redact", "null", "pass_through"]
NAMES = ["email", "name", "", "a\x00b", "caf\u00e9", "\ud800", "x" * 70, "hash"]
ODD_TYPES = ["Hash", "hash ", "", "pass_throug", "null\x00", "redacted", "\ud800", "\u00e9"]


class Text(str):
    """A str subclass: accepted as a str, read through its own storage."""


class Entry(dict):
    """A dict subclass whose item access lies: the parser reads storage."""

    def __getitem__(self, key):
        return "pass_through"

    def get(self, key, default=None):
        return "pass_through"


class Hostile(str):
    """A key that collides with "column" or "type" and runs code when compared."""

    def __new__(cls, text, target, action, transforms):
        self = super().__new__(cls, text)
        self.target, self.action, self.transforms = target, action, transforms
        self.armed = False  # runs its action only once the list is built
        return self

    def __hash__(self):
        return hash(self.target)

    def __eq__(self, other):
        if not self.armed:
            return str.__eq__(self, other)
        if self.action == 0:
            self.transforms.clear()
        elif self.action == 1:
            raise RuntimeError("comparison failed")
        elif self.action == 2:
            self.transforms.append({"column": "late", "type": "hash"})
        elif self.action == 3:
            del self.transforms[:1]
        return self.action == 4

    __ne__ = str.__ne__


class _Input:
    def __init__(self, data):
        self.data, self.at = data, 0

    def byte(self):
        if self.at >= len(self.data):
            return 0
        self.at += 1
        return self.data[self.at - 1]

    def text(self):
        n = self.byte() % 6
        return "".join(chr(self.byte() % 0x80 or 0xE9) for _ in range(n))


def _value(inp, pool):
    pick = inp.byte()
    if pick < 0xA0:
        return pool[pick % len(pool)]
    if pick < 0xB0:
        return Text(pool[pick % len(pool)])
    if pick < 0xC0:
        return inp.text()
    odd = [None, 7, 1.5, b"email", ["email"], ("hash",), {"hash": 1}, True]
    return odd[pick % len(odd)]


def decode(data):
    inp = _Input(data)
    transforms = []
    hostile = []
    for _ in range(inp.byte() % 9):
        shape = inp.byte()
        if shape >= 0xF0:
            transforms.append([None, 3, "column", ("column", "email"), [], b"{}"][shape % 6])
            continue
        entry = Entry() if shape >= 0xE0 else {}
        for field, pool in (("column", NAMES), ("type", TYPES + ODD_TYPES if shape & 1 else TYPES)):
            how = inp.byte()
            if how < 0x10:
                continue  # missing
            value = _value(inp, pool)
            if how >= 0xF0:
                hostile.append(Hostile(field + "?", field, how % 5, transforms))
                dict.__setitem__(entry, hostile[-1], value)
                if how & 8:
                    continue
            dict.__setitem__(entry, field, value)
        if inp.byte() >= 0xC0:
            dict.__setitem__(entry, "extra", inp.text())
        transforms.append(entry)
    panic = bool(inp.byte() & 1)
    for key in hostile:
        key.armed = True
    return transforms, panic, None if hostile else expect(transforms, panic)


def _conversion(obj, target):
    return f"'{type(obj).__qualname__}' object cannot be converted to '{target}'"


def expect(transforms, panic_on_duplicate):
    """What the parser gives, by the rules of mask()'s transform list."""
    parsed = {}
    for entry in transforms:
        if not isinstance(entry, dict):
            return ("ValueError", "Expected dict: " + _conversion(entry, "PyDict"))
        values = []
        for field in ("column", "type"):
            if not dict.__contains__(entry, field):
                return ("ValueError", f"Missing '{field}'")
            value = dict.__getitem__(entry, field)
            if not isinstance(value, str):
                return ("TypeError", _conversion(value, "PyString"))
            try:
                value.encode("utf-8")
            except UnicodeEncodeError:
                return ("UnicodeEncodeError", None)
            values.append(str.__str__(value))
        column, kind = values
        if kind not in TYPES:
            return ("ValueError", f"Unknown transform: {kind}")
        if column in parsed:
            message = f"transform already configured for column '{column}'"
            return ("PanicException" if panic_on_duplicate else "ValueError", message)
        parsed[column] = kind
    if not parsed:
        return ("ValueError", "Pipeline error: no columns specified for masking")
    return ("ok", parsed)
