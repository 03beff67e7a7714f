import pytest

from quillon_mask import mask

from conftest import plain, text_frame, token

DF = text_frame(email=["a@x.io", "b@y.io"], name=["Ann", "Bob"])


class DictWithMissing(dict):
    def __missing__(self, key):
        return "hash"


class DictWithGetitem(dict):
    def __getitem__(self, key):
        return "redact"


@pytest.mark.parametrize(
    "entry, error, message",
    [
        ((), ValueError, "Expected dict: 'tuple' object cannot be converted to 'PyDict'"),
        ("email", ValueError, "Expected dict: 'str' object cannot be converted to 'PyDict'"),
        ({}, ValueError, "Missing 'column'"),
        ({"type": "hash"}, ValueError, "Missing 'column'"),
        ({"column": "email"}, ValueError, "Missing 'type'"),
        ({"column": 1, "type": "bogus"}, TypeError,
         "'int' object cannot be converted to 'PyString'"),
        ({"column": b"email", "type": "hash"}, TypeError,
         "'bytes' object cannot be converted to 'PyString'"),
        ({"column": "email", "type": None}, TypeError,
         "'NoneType' object cannot be converted to 'PyString'"),
        ({"column": "email", "type": "Hash"}, ValueError, "Unknown transform: Hash"),
        ({"column": "email", "type": "hash "}, ValueError, "Unknown transform: hash "),
        ({"column": "email", "type": ""}, ValueError, "Unknown transform: "),
        ({"column": "email", "type": "hush"}, ValueError, "Unknown transform: hush"),
        ({"column": "email", "type": "pass-through"}, ValueError,
         "Unknown transform: pass-through"),
        ({"column": "email", "type": "nul\x00"}, ValueError, "Unknown transform: nul\x00"),
        # The Arrow entry's value-bound types are unknown to mask().
        ({"column": "email", "type": "pseudonym"}, ValueError, "Unknown transform: pseudonym"),
        ({"column": "email", "type": "encrypt", "context": "c"}, ValueError, "Unknown transform: encrypt"),
        ({"column": "email", "type": "fpe", "alphabet": "digits"}, ValueError, "Unknown transform: fpe"),
        (DictWithMissing(column="email"), ValueError, "Missing 'type'"),
    ],
)
def test_bad_entry(entry, error, message):
    with pytest.raises(error) as info:
        mask(DF, [entry], "k")
    assert type(info.value) is error
    assert str(info.value) == message


def test_walk_stops_at_the_first_bad_entry():
    transforms = [{"column": "email", "type": "hash"}, {"column": "name"}, 42]
    with pytest.raises(ValueError, match="^Missing 'type'$"):
        mask(DF, transforms, "k")


def test_dict_subclass_storage_is_read_directly():
    out = mask(DF, [DictWithGetitem(column="name", type="hash")], "k")
    assert plain(out["name"]) == [token("k", 0, "Ann"), token("k", 1, "Bob")]


def test_empty_list_fails_at_build():
    with pytest.raises(ValueError) as info:
        mask(DF, [], "k")
    assert str(info.value) == "Pipeline error: no columns specified for masking"


@pytest.mark.parametrize(
    "transforms, column",
    [
        ([{"column": "email", "type": "hash"}, {"column": "email", "type": "hash"}], "email"),
        ([{"column": "name", "type": "null"}, {"column": "email", "type": "hash"},
          {"column": "name", "type": "redact"}], "name"),
        ([{"column": "a\x00b", "type": "null"}, {"column": "a\x00b", "type": "null"}], "a\x00b"),
    ],
)
def test_duplicate_column_panics_past_except_exception(transforms, column, capfd):
    caught_by_exception = False
    try:
        try:
            mask(DF, transforms, "k")
        except Exception:
            caught_by_exception = True
    except BaseException as exc:  # noqa: B036 - the point of the test
        assert type(exc).__name__ == "PanicException"
        assert type(exc).__bases__ == (BaseException,)
        assert "BaseException" in type(exc).__doc__
        assert str(exc) == f"transform already configured for column '{column}'"
    else:
        raise AssertionError("no exception")
    assert not caught_by_exception
    err = capfd.readouterr().err
    assert "quillon_mask panicked at src/py_module/transform_list.cc:" in err
    assert f"transform already configured for column '{column}'" in err

