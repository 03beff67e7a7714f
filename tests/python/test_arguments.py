import pytest

from quillon_mask import mask

from conftest import text_frame, token

DF = text_frame(email=["a@x.io"])
HASH_EMAIL = [{"column": "email", "type": "hash"}]


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((DF, HASH_EMAIL), {}, "mask() missing 1 required positional argument: 'key'"),
        ((DF,), {}, "mask() missing 2 required positional arguments: 'transforms' and 'key'"),
        ((), {}, "mask() missing 3 required positional arguments: 'df', 'transforms', and 'key'"),
        ((), {"transforms": HASH_EMAIL}, "mask() missing 2 required positional arguments: 'df' and 'key'"),
        ((DF, HASH_EMAIL, "k", 4), {}, "mask() takes 3 positional arguments but 4 were given"),
        ((DF, HASH_EMAIL, "k"), {"x": 1}, "mask() got an unexpected keyword argument 'x'"),
        ((DF,), {"df": DF, "transforms": HASH_EMAIL, "key": "k"},
         "mask() got multiple values for argument 'df'"),
        ((DF, HASH_EMAIL, "k"), {"key": "k"}, "mask() got multiple values for argument 'key'"),
    ],
)
def test_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        mask(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "transforms, qualname",
    [((), "tuple"), ({"column": "email", "type": "hash"}, "dict"), (None, "NoneType"),
     ("email", "str")],
)
def test_transforms_must_be_a_list_and_are_checked_before_the_key(transforms, qualname):
    with pytest.raises(TypeError) as info:
        mask(DF, transforms, 1)
    assert str(info.value) == (
        f"argument 'transforms': '{qualname}' object cannot be converted to 'PyList'"
    )


@pytest.mark.parametrize("key, qualname", [(b"k", "bytes"), (1, "int"), (["k"], "list")])
def test_key_must_be_str_or_none(key, qualname):
    with pytest.raises(TypeError) as info:
        mask(DF, HASH_EMAIL, key)
    assert str(info.value) == f"argument 'key': '{qualname}' object cannot be converted to 'PyString'"


def test_lone_surrogate_key_raises_the_encoding_error_unchanged():
    with pytest.raises(UnicodeEncodeError):
        mask(DF, HASH_EMAIL, "\udc80")


def test_none_key_is_no_key_and_empty_key_is_a_key():
    # Without a key the hashed column falls back to all null.
    assert mask(DF, HASH_EMAIL, None)["email"].isna().all()
    assert mask(DF, HASH_EMAIL, "")["email"].tolist() == [token("", 0, "a@x.io")]

