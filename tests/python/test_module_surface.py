import shutil
import subprocess
import sys
import textwrap

import pytest

import quillon_mask
from quillon_mask import mask, version


def run_python(code):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )


def test_all_and_doc():
    assert quillon_mask.__all__ == ["mask", "version", "__version__"]
    assert quillon_mask.__doc__ == ""


@pytest.mark.parametrize(
    "func, signature", [(mask, "(df, transforms, key)"), (version, "()")]
)
def test_text_signatures(func, signature):
    assert func.__text_signature__ == signature


def test_mask_docstring_layout():
    lines = mask.__doc__.split("\n")
    assert lines[0] == "Mask sensitive columns in a DataFrame."
    # The interpreter strips the three header lines from __doc__.
    assert len(lines) == 16
    assert not mask.__doc__.endswith("\n")
    assert lines[-4].startswith('df = pd.DataFrame({"email": ["')
    assert lines[-4].endswith('"]})')
    assert lines[-3] == 'transforms = [{"column": "email", "type": "hash"}]'
    assert lines[-2] == 'result = mask(df, transforms, key="mykey1")'
    assert lines[-1] == "```"
    assert [i for i, line in enumerate(lines) if line == ""] == [1, 6, 11]


def test_reimport_returns_the_same_module_and_one_native_extension():
    # The Arrow entry reaches the same extension without a public name.
    code = """
        import sys
        import quillon_mask as first
        import quillon_mask.arrow
        native = sys.modules["quillon_mask._native"]
        assert not hasattr(first, "_native")
        assert quillon_mask.arrow._native is native
        first.extra = 1
        del sys.modules["quillon_mask"]
        import quillon_mask as second
        assert second is first, "a new module object"
        assert second.extra == 1
        del sys.modules["quillon_mask"], sys.modules["quillon_mask._native"]
        import quillon_mask
        assert sys.modules["quillon_mask._native"] is native, "a second native module"
        assert quillon_mask.__all__ == ["mask", "version", "__version__"]
        print("ok")
    """
    result = run_python(code)
    assert result.stdout.strip() == "ok", result.stderr


def test_sub_interpreter_import_is_refused():
    code = """
        import quillon_mask
        import _testcapi
        rc = _testcapi.run_in_subinterp("import quillon_mask")
        print(rc)
    """
    result = run_python(code)
    if "No module named '_testcapi'" in result.stderr:
        pytest.skip("interpreter built without _testcapi")
    assert result.stdout.strip() == "-1"
    assert "ImportError: quillon_mask does not support sub-interpreters" in result.stderr


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs binutils nm")
def test_only_the_init_function_is_exported():
    out = subprocess.run(
        ["nm", "-D", "--defined-only", quillon_mask.__file__],
        capture_output=True, text=True, check=True,
    ).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_quillon_mask"]
