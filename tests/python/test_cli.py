"""The quillon-mask command, run as a user runs it: in a subprocess, on small files."""
import hashlib
import hmac
import json
import os
import signal
import socket
import stat
import subprocess
import sys
import time
from pathlib import Path

import pandas as pd
import pyarrow as pa
import pyarrow.csv as pacsv
import pyarrow.ipc as paipc
import pyarrow.parquet as pq
import pytest

import quillon_mask
from conftest import plain

KEY = b"cli-test-key"
SCRIPT = Path(sys.executable).with_name("quillon-mask")


def digest(key, position, value):
    return hmac.new(key, f"{position}:{value}".encode(), hashlib.sha256).hexdigest()


def run(*args, key=KEY, env=None, stdin=None, command=None):
    environ = {k: v for k, v in os.environ.items() if k != "QUILLON_MASK_KEY"}
    if key is not None:
        environ["QUILLON_MASK_KEY"] = key.decode()
    environ.update(env or {})
    argv = command or [sys.executable, "-m", "quillon_mask"]
    return subprocess.run([*argv, *map(str, args)], env=environ, input=stdin,
                          capture_output=True, text=True, timeout=120)


def people(n, offset=0):
    return pa.table({
        "id": pa.array(range(offset, offset + n), pa.int64()),
        "email": pa.array([None if i % 5 == 3 else f"user{i}@example.com" for i in range(offset, offset + n)]),
        "name": pa.array([f"Name {i}" for i in range(offset, offset + n)]),
        "phone": pa.array([f"+1-555-{i:04d}" for i in range(offset, offset + n)]),
        "city": pa.array([None if i % 7 == 0 else f"City {i % 3}" for i in range(offset, offset + n)]),
    })


def write(table, path, fmt):
    """Writes table so that it reaches the command in several batches or row groups."""
    batches = table.to_batches(max_chunksize=4)
    if fmt == "parquet":
        pq.write_table(table, path, row_group_size=4)
    elif fmt in ("arrow", "feather", "arrows"):
        new = paipc.new_stream if fmt == "arrows" else paipc.new_file
        with new(str(path), table.schema) as w:
            for b in batches:
                w.write_batch(b)
    else:
        pacsv.write_csv(table, path)


def read(path, fmt):
    if fmt == "parquet":
        return pq.read_table(path)
    if fmt in ("arrow", "feather"):
        return paipc.open_file(str(path)).read_all()
    if fmt == "arrows":
        return paipc.open_stream(str(path)).read_all()
    return pacsv.read_csv(path, convert_options=pacsv.ConvertOptions(
        column_types={n: pa.string() for n in ("id", "email", "name", "phone", "city")},
        null_values=[""], strings_can_be_null=True))


def expected(table, start, key=KEY):
    """Columns after --hash email --redact name --null phone, from hmac alone."""
    emails = table.column("email").to_pylist()
    return {
        "email": [None if v is None else digest(key, start + i, v) for i, v in enumerate(emails)],
        "name": ["[REDACTED]"] * table.num_rows,
        "phone": [None] * table.num_rows,
    }


def leftovers(directory):
    return sorted(p.name for p in Path(directory).iterdir() if p.name.startswith("."))


MASK = ["--hash", "email", "--redact", "name", "--null", "phone"]
SUFFIXES = {"parquet": ".parquet", "arrow": ".arrow", "feather": ".feather", "arrows": ".arrows", "csv": ".csv"}


@pytest.mark.parametrize("start", [0, 9])
@pytest.mark.parametrize("fmt", list(SUFFIXES))
def test_tokens_count_positions_over_the_whole_file(tmp_path, fmt, start):
    table = people(13)
    src, out = tmp_path / f"in{SUFFIXES[fmt]}", tmp_path / f"out{SUFFIXES[fmt]}"
    write(table, src, fmt)
    result = run(src, out, *MASK, "--start", start)
    assert result.returncode == 0, result.stderr
    got = read(out, fmt)
    for column, values in expected(table, start).items():
        assert got.column(column).to_pylist() == values, column
    untouched = ["id", "city"] if fmt != "csv" else ["city"]
    for column in untouched:
        assert got.column(column).to_pylist() == table.column(column).to_pylist()
    if fmt == "csv":
        assert got.column("id").to_pylist() == [str(i) for i in range(13)]
    else:
        assert got.schema == table.schema
    assert leftovers(tmp_path) == []
    # One summary line, no progress bar: stderr is not a terminal.
    assert result.stderr.count("\n") == 1 and "13 rows" in result.stderr


@pytest.mark.parametrize("output_format", ["parquet", "arrows", "csv"])
def test_a_directory_is_masked_file_by_file_in_sorted_path_order(tmp_path, output_format):
    src = tmp_path / "extract"
    (src / "sub").mkdir(parents=True)
    # Written out of order; sizes differ so a wrong order shifts every position.
    parts = {"b.parquet": people(5, 100), "a.parquet": people(9, 0), "sub/c.parquet": people(6, 200)}
    for name, table in parts.items():
        pq.write_table(table, src / name, row_group_size=4)
    (src / "_SUCCESS").write_text("")
    out = tmp_path / "masked"
    result = run(src, out, *MASK, "--start", 3, "--output-format", output_format)
    assert result.returncode == 0, result.stderr
    position = 3
    names = []
    for name in sorted(parts):
        target = out / Path(name).with_suffix(SUFFIXES[output_format])
        names.append(str(target.relative_to(out)))
        got = read(target, output_format)
        want = expected(parts[name], position)
        assert got.column("email").to_pylist() == want["email"], name
        assert got.column("name").to_pylist() == want["name"]
        position += parts[name].num_rows
    assert sorted(str(p.relative_to(out)) for p in out.rglob("*") if p.is_file()) == sorted(names)
    assert "20 rows" in result.stderr
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize("content, key", [
    (b"file-key\n", b"file-key"),
    (b"file-key", b"file-key"),
    (b"file-key\n\n", b"file-key\n"),
    (b"\x00\xffraw bytes\r\n", b"\x00\xffraw bytes\r"),
])
def test_key_file_bytes_with_one_trailing_newline_stripped(tmp_path, content, key):
    write(people(6), tmp_path / "in.parquet", "parquet")
    (tmp_path / "key").write_bytes(content)
    result = run(tmp_path / "in.parquet", tmp_path / "out.parquet", "--hash", "email",
                 "--key-file", tmp_path / "key", key=b"not this one")
    assert result.returncode == 0, result.stderr
    got = pq.read_table(tmp_path / "out.parquet").column("email").to_pylist()
    assert got == expected(people(6), 0, key)["email"]


def test_key_from_a_named_environment_variable(tmp_path):
    write(people(6), tmp_path / "in.arrow", "arrow")
    result = run(tmp_path / "in.arrow", tmp_path / "out.arrow", "--hash", "email", "--key-env", "OTHER_KEY",
                 key=b"not this one", env={"OTHER_KEY": "other"})
    assert result.returncode == 0, result.stderr
    assert read(tmp_path / "out.arrow", "arrow").column("email").to_pylist() == \
        expected(people(6), 0, b"other")["email"]


@pytest.mark.parametrize("source", ["file", "stdin"])
def test_transforms_from_json_combine_with_column_options(tmp_path, source):
    write(people(8), tmp_path / "in.parquet", "parquet")
    listing = json.dumps([{"column": "email", "type": "hash"}, {"column": "name", "type": "redact"}])
    (tmp_path / "t.json").write_text(listing)
    where = tmp_path / "t.json" if source == "file" else "-"
    result = run(tmp_path / "in.parquet", tmp_path / "out.parquet", "--transforms", where, "--null", "phone",
                 stdin=listing if source == "stdin" else None)
    assert result.returncode == 0, result.stderr
    got = pq.read_table(tmp_path / "out.parquet")
    for column, values in expected(people(8), 0).items():
        assert got.column(column).to_pylist() == values


USAGE_ERRORS = [
    ("no transform", [], {}, "nothing to mask"),
    ("unknown column", ["--hash", "emial"], {}, "emial"),
    ("unmaskable type", ["--redact", "id"], {}, "id"),
    ("hash without key", ["--hash", "email"], {"key": None}, "HMAC key required for Hash transform"),
    ("empty key", ["--hash", "email"], {"key": b""}, "empty"),
    ("missing key file", ["--hash", "email", "--key-file", "no-such-key"], {}, "no-such-key"),
    ("key env and file", ["--hash", "email", "--key-env", "K", "--key-file", "k"], {}, "not allowed with"),
    ("duplicate column", ["--hash", "email", "--redact", "email"], {}, "email"),
    ("unknown transform", ["--transforms", "bad.json"], {}, "bad.json: entry 1 has an unknown type"),
    ("transforms not a list", ["--transforms", "obj.json"], {}, "JSON list"),
    ("transforms not json", ["--transforms", "broken.json"], {}, "not valid JSON"),
    ("transforms nested too deep", ["--transforms", "deep.json"], {}, "nests too deep"),
    ("negative start", ["--hash", "email", "--start", "-1"], {}, "--start"),
    ("start past 63 bits", ["--hash", "email", "--start", str(1 << 63)], {}, "below 2**63"),
    ("unknown option", ["--hash", "email", "--fast"], {}, "--fast"),
    ("row groups for csv", ["--null", "phone", "--output-format", "csv", "--row-group-size", "5"], {}, "Parquet"),
    ("codec for csv", ["--null", "phone", "--output-format", "csv", "--compression", "zstd"], {}, "zstd"),
    ("unknown codec", ["--null", "phone", "--compression", "rar"], {}, "rar"),
]


@pytest.mark.parametrize("args, options, message", [c[1:] for c in USAGE_ERRORS], ids=[c[0] for c in USAGE_ERRORS])
def test_usage_errors_exit_2_with_one_line_before_any_output(tmp_path, monkeypatch, args, options, message):
    monkeypatch.chdir(tmp_path)
    write(people(6), tmp_path / "in.parquet", "parquet")
    Path("bad.json").write_text('[{"column": "email", "type": "Hash"}]')
    Path("obj.json").write_text('{"column": "email", "type": "hash"}')
    Path("broken.json").write_text('[{"column": ')
    Path("deep.json").write_text("[" * 100_000 + "]" * 100_000)
    Path("k").write_text("key")
    result = run("in.parquet", "out.parquet", *args, **options)
    assert result.returncode == 2, result.stderr
    assert result.stderr.count("\n") == 1 and message in result.stderr
    assert "Traceback" not in result.stderr
    assert not Path("out.parquet").exists() and leftovers(tmp_path) == []


@pytest.mark.parametrize("case", ["same file", "same through a link", "output inside input dir",
                                  "input inside output dir", "exists", "no such input", "unknown extension", "no output dir"])
def test_paths_that_are_refused(tmp_path, case):
    src = tmp_path / "in.parquet"
    write(people(4), src, "parquet")
    before = src.read_bytes()
    args = {
        "same file": (src, src),
        "same through a link": (src, tmp_path / "link.parquet"),
        "output inside input dir": (tmp_path / "ds", tmp_path / "ds" / "out"),
        "input inside output dir": (tmp_path / "ds" / "inner", tmp_path / "ds"),
        "exists": (src, tmp_path / "old.parquet"),
        "no such input": (tmp_path / "nope.parquet", tmp_path / "out.parquet"),
        "unknown extension": (tmp_path / "in.dat", tmp_path / "out.parquet"),
        "no output dir": (src, tmp_path / "missing" / "out.parquet"),
    }[case]
    (tmp_path / "link.parquet").symlink_to(src)
    (tmp_path / "ds").mkdir()
    write(people(4), tmp_path / "ds" / "part.parquet", "parquet")
    (tmp_path / "ds" / "inner").mkdir()
    write(people(4), tmp_path / "ds" / "inner" / "part.parquet", "parquet")
    (tmp_path / "old.parquet").write_bytes(b"earlier output")
    (tmp_path / "in.dat").write_bytes(before)
    overwrite = "same" in case or "input inside" in case
    result = run(*args, "--null", "phone", "--overwrite" if overwrite else "--quiet")
    assert result.returncode == 2, result.stderr
    assert result.stderr.count("\n") == 1, result.stderr
    assert src.read_bytes() == before
    assert (tmp_path / "old.parquet").read_bytes() == b"earlier output"
    assert leftovers(tmp_path) == [] and leftovers(tmp_path / "ds") == []
    assert (tmp_path / "ds" / "inner" / "part.parquet").exists()


def corrupt_after_first_row_group(path):
    """Garbles every data page from the second row group on, keeping the footer readable."""
    meta = pq.read_metadata(path)
    group = meta.row_group(1).column(0)
    begin = min(x for x in (group.dictionary_page_offset, group.data_page_offset) if x)
    data = bytearray(path.read_bytes())
    footer = len(data) - 8 - int.from_bytes(data[-8:-4], "little")
    data[begin:footer] = b"\xff" * (footer - begin)
    path.write_bytes(bytes(data))


@pytest.mark.parametrize("layout", ["dataset, second file corrupt", "file, second row group corrupt"])
@pytest.mark.parametrize("earlier_output", [False, True])
def test_a_failure_midway_leaves_no_output_and_no_temporary_file(tmp_path, layout, earlier_output):
    if layout.startswith("dataset"):
        src = tmp_path / "extract"
        src.mkdir()
        pq.write_table(people(8), src / "part-0.parquet", row_group_size=4)
        pq.write_table(people(8, 8), src / "part-1.parquet", row_group_size=4, compression="none")
        corrupt_after_first_row_group(src / "part-1.parquet")
        out = tmp_path / "masked"
        if earlier_output:
            out.mkdir()
            (out / "part-0.parquet").write_bytes(b"earlier output")
    else:
        src = tmp_path / "in.parquet"
        pq.write_table(people(12), src, row_group_size=4, compression="none")
        corrupt_after_first_row_group(src)
        out = tmp_path / "out.parquet"
        if earlier_output:
            out.write_bytes(b"earlier output")
    result = run(src, out, *MASK, "--overwrite")
    assert result.returncode == 1, result.stderr
    assert result.stderr.startswith("quillon-mask: error: ") and result.stderr.count("\n") == 1
    if earlier_output and out.is_dir():
        assert [p.name for p in out.iterdir()] == ["part-0.parquet"]
        assert (out / "part-0.parquet").read_bytes() == b"earlier output"
    elif earlier_output:
        assert out.read_bytes() == b"earlier output"
    else:
        assert not out.exists()
    assert leftovers(tmp_path) == []


def test_debug_shows_the_traceback(tmp_path):
    src = tmp_path / "in.parquet"
    pq.write_table(people(12), src, row_group_size=4, compression="none")
    corrupt_after_first_row_group(src)
    result = run(src, tmp_path / "out.parquet", "--null", "phone", "--debug")
    assert result.returncode == 1
    assert "Traceback (most recent call last)" in result.stderr
    assert result.stderr.splitlines()[-1].startswith("quillon-mask: error: ")


def with_earlier_output(tmp_path, kind):
    """INPUT (six people) and an OUTPUT that exists already: a file, or a
    directory holding one stale file. Returns INPUT, OUTPUT, the file the
    run writes, and the earlier file."""
    if kind == "file":
        src, out = tmp_path / "in.parquet", tmp_path / "out.parquet"
        write(people(6), src, "parquet")
        out.write_bytes(b"earlier output")
        return src, out, out, out
    src, out = tmp_path / "extract", tmp_path / "masked"
    src.mkdir()
    out.mkdir()
    write(people(6), src / "p.parquet", "parquet")
    (out / "stale.parquet").write_bytes(b"earlier output")
    return src, out, out / "p.parquet", out / "stale.parquet"


@pytest.mark.parametrize("kind", ["file", "directory"])
def test_overwrite_replaces_an_earlier_output(tmp_path, kind):
    src, out, target, _ = with_earlier_output(tmp_path, kind)
    result = run(src, out, *MASK, "--overwrite")
    assert result.returncode == 0, result.stderr
    assert pq.read_table(target).column("email").to_pylist() == expected(people(6), 0)["email"]
    assert not (out / "stale.parquet").exists()
    umask = os.umask(0)
    os.umask(umask)
    assert out.stat().st_mode & 0o777 == (0o777 if kind == "directory" else 0o666) & ~umask
    assert leftovers(tmp_path) == []


def test_pandas_reads_back_dtypes_and_index(tmp_path):
    df = pd.DataFrame(
        {
            "email": ["a@x.org", None, "c@x.org", "d@x.org", "e@x.org"],
            "name": ["A", "B", None, "D", "E"],
            "score": [1.5, 2.5, float("nan"), 4.0, 5.25],
            "count": pd.array([1, None, 3, 4, 5], dtype="Int64"),
            "when": pd.to_datetime(["2024-01-01", "2024-02-01", None, "2024-04-01", "2024-05-01"]),
            "flag": [True, False, True, True, False],
        },
        index=pd.Index([10, 20, 30, 40, 50], name="customer_id"),
    )
    df.to_parquet(tmp_path / "in.parquet")
    result = run(tmp_path / "in.parquet", tmp_path / "out.parquet", "--hash", "email", "--redact", "name")
    assert result.returncode == 0, result.stderr
    back = pd.read_parquet(tmp_path / "out.parquet")
    assert back.index.equals(df.index) and back.index.name == "customer_id"
    assert back.dtypes.to_dict() == df.dtypes.to_dict()
    pd.testing.assert_frame_equal(back[["score", "count", "when", "flag"]], df[["score", "count", "when", "flag"]])
    emails = plain(df["email"])
    assert plain(back["email"]) == [None if v is None else digest(KEY, i, v) for i, v in enumerate(emails)]


@pytest.mark.parametrize("written, options, codec, groups", [
    ({"compression": "zstd", "row_group_size": 3}, [], "ZSTD", [3, 3, 3, 1]),
    ({"compression": "none", "row_group_size": 4}, [], "UNCOMPRESSED", [4, 4, 2]),
    ({"compression": "zstd", "row_group_size": 3}, ["--compression", "gzip"], "GZIP", [3, 3, 3, 1]),
    ({"compression": "snappy", "row_group_size": 3}, ["--row-group-size", "7"], "SNAPPY", [7, 3]),
])
def test_parquet_output_keeps_codec_row_groups_and_metadata(tmp_path, written, options, codec, groups):
    table = people(10).replace_schema_metadata({"origin": "crm extract"})
    pq.write_table(table, tmp_path / "in.parquet", **written)
    result = run(tmp_path / "in.parquet", tmp_path / "out.parquet", *MASK, *options)
    assert result.returncode == 0, result.stderr
    meta = pq.read_metadata(tmp_path / "out.parquet")
    assert [meta.row_group(i).num_rows for i in range(meta.num_row_groups)] == groups
    assert {meta.row_group(0).column(i).compression for i in range(meta.num_columns)} == {codec}
    assert pq.read_schema(tmp_path / "out.parquet").metadata[b"origin"] == b"crm extract"


def test_csv_values_leave_as_they_came(tmp_path):
    (tmp_path / "in.csv").write_text('id,email,zip,note\n007,a@x.org,01234,"x, y"\n008,,2.50,\n')
    result = run(tmp_path / "in.csv", tmp_path / "out.csv", "--hash", "email")
    assert result.returncode == 0, result.stderr
    got = pd.read_csv(tmp_path / "out.csv", dtype=str, keep_default_na=False)
    assert got["id"].tolist() == ["007", "008"] and got["zip"].tolist() == ["01234", "2.50"]
    assert got["note"].tolist() == ["x, y", ""]
    assert got["email"].tolist() == [digest(KEY, 0, "a@x.org"), ""]


def test_version_and_help(tmp_path):
    version = run("--version")
    assert version.returncode == 0 and version.stdout.strip() == f"quillon-mask {quillon_mask.version()}"
    help_ = run("--help")
    assert help_.returncode == 0
    for text in ("--hash", "--key-file", "--start", "--overwrite", "exit status", "  2 ", "e.g."):
        assert text in help_.stdout


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM, signal.SIGKILL])
def test_a_signal_leaves_no_temporary_file_behind(tmp_path, signum):
    fifo = tmp_path / "in.arrows"
    os.mkfifo(fifo)
    table = people(8)
    proc = subprocess.Popen([sys.executable, "-m", "quillon_mask", str(fifo), str(tmp_path / "out.arrows"),
                             "--redact", "name"], stderr=subprocess.PIPE, text=True)
    with open(fifo, "wb") as sink:
        writer = paipc.new_stream(sink, table.schema)
        writer.write_batch(table.to_batches()[0])
        sink.flush()
        deadline = time.monotonic() + 60
        while not leftovers(tmp_path) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert leftovers(tmp_path), "the command never started writing"
        proc.send_signal(signum)
        # An interrupted read of the pipe goes on until the pipe closes.
        time.sleep(0.5)
    stderr = proc.communicate(timeout=60)[1]
    assert not (tmp_path / "out.arrows").exists()
    if signum != signal.SIGKILL:
        assert proc.returncode == 130, stderr
        assert stderr.strip().splitlines()[-1] == "quillon-mask: error: interrupted"
        assert leftovers(tmp_path) == []
        return
    # A killed run cannot clean up; the next run for the same OUTPUT does, and
    # only once the writer is gone: the file of a live process stays, and so
    # does a killed swap's earlier OUTPUT while OUTPUT itself is missing.
    abandoned = leftovers(tmp_path)
    assert len(abandoned) == 1 and f".out.arrows.{proc.pid}." in abandoned[0]
    live = tmp_path / f".out.arrows.{os.getpid()}.live1234.tmp"
    live.write_bytes(b"being written")
    old = tmp_path / f".out.arrows.{proc.pid}.swap5678.old"
    old.mkdir()
    write(table, tmp_path / "again.arrows", "arrows")
    for kept in ([live.name, old.name], [live.name]):
        result = run(tmp_path / "again.arrows", tmp_path / "out.arrows", "--redact", "name", "--overwrite")
        assert result.returncode == 0, result.stderr
        assert leftovers(tmp_path) == sorted(kept) and live.read_bytes() == b"being written"


# Runs the command with SIGTERM sent to itself around the calls named in
# argv[1] ("after:tempfile.mkstemp,before:pathlib.Path.unlink"), so that a
# signal lands inside a step every time rather than by chance.
SIGNAL_AT = """
import importlib, os, signal, sys
from quillon_mask.cli.run import main
for hook in sys.argv[1].split(","):
    when, dotted = hook.split(":")
    module, *inner, name = dotted.split(".")
    owner = importlib.import_module(module)
    for part in inner:
        owner = getattr(owner, part)
    def hooked(*args, _real=getattr(owner, name), _when=when, **kwargs):
        if _when == "before":
            os.kill(os.getpid(), signal.SIGTERM)
        result = _real(*args, **kwargs)
        if _when == "after":
            os.kill(os.getpid(), signal.SIGTERM)
        return result
    setattr(owner, name, hooked)
sys.exit(main(sys.argv[2:]))
"""


@pytest.mark.parametrize("hooks, kind, outcome", [
    # The staging file exists the moment it is made, before the run holds its name.
    ("after:tempfile.mkstemp", "file", "interrupted"),
    ("after:tempfile.mkdtemp", "directory", "interrupted"),
    # A second signal while the staging area is removed.
    ("after:tempfile.mkstemp,before:pathlib.Path.unlink", "file", "interrupted"),
    ("after:tempfile.mkdtemp,before:shutil.rmtree", "directory", "interrupted"),
    # Once OUTPUT has taken the new file's name, the run has succeeded.
    ("after:os.replace", "file", "committed"),
    # Between moving the earlier OUTPUT directory aside and putting the new one in its place.
    ("after:os.replace", "directory", "committed"),
])
def test_a_signal_inside_a_step_waits_for_the_step_to_end(tmp_path, hooks, kind, outcome):
    src, out, target, earlier = with_earlier_output(tmp_path, kind)
    result = run("--quiet", src, out, *MASK, "--overwrite", command=[sys.executable, "-c", SIGNAL_AT, hooks])
    if outcome == "interrupted":
        assert result.returncode == 130, result.stderr
        assert result.stderr == "quillon-mask: error: interrupted\n"
        assert earlier.read_bytes() == b"earlier output"
    else:
        assert result.returncode == 0, result.stderr
        assert pq.read_table(target).column("email").to_pylist() == expected(people(6), 0)["email"]
        assert not (out / "stale.parquet").exists()
    assert leftovers(tmp_path) == []


@pytest.mark.skipif(not SCRIPT.exists(), reason="the console script is installed by pip only")
def test_console_script(tmp_path):
    write(people(6), tmp_path / "in.parquet", "parquet")
    result = run(tmp_path / "in.parquet", tmp_path / "out.parquet", *MASK, command=[str(SCRIPT)])
    assert result.returncode == 0, result.stderr
    assert pq.read_table(tmp_path / "out.parquet").column("email").to_pylist() == expected(people(6), 0)["email"]


@pytest.mark.parametrize("src_fmt, out_name, options, out_fmt", [
    ("csv", "out.parquet", [], "parquet"),
    ("parquet", "out.bin", ["--output-format", "feather"], "feather"),
    ("arrows", "out.arrow", [], "arrow"),
    ("arrow", "out", ["--output-format", "csv"], "csv"),
])
def test_output_format_from_extension_or_option(tmp_path, src_fmt, out_name, options, out_fmt):
    table = people(9)
    write(table, tmp_path / f"in{SUFFIXES[src_fmt]}", src_fmt)
    result = run(tmp_path / f"in{SUFFIXES[src_fmt]}", tmp_path / out_name, *MASK, *options)
    assert result.returncode == 0, result.stderr
    got = read(tmp_path / out_name, out_fmt)
    for column, values in expected(table, 0).items():
        assert got.column(column).to_pylist() == values, column


@pytest.mark.parametrize("quiet", [False, True])
def test_progress_bar_only_on_a_terminal(tmp_path, quiet):
    import fcntl
    import pty
    import struct
    import termios

    write(people(30), tmp_path / "in.parquet", "parquet")
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    environ = dict(os.environ, QUILLON_MASK_KEY=KEY.decode())
    argv = [sys.executable, "-m", "quillon_mask", str(tmp_path / "in.parquet"), str(tmp_path / "out.parquet"), *MASK]
    proc = subprocess.Popen(argv + (["--quiet"] if quiet else []), env=environ, stderr=slave, stdout=subprocess.PIPE)
    os.close(slave)
    seen = b""
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:  # the terminal is gone with its last reader
            break
        if not chunk:
            break
        seen += chunk
    os.close(master)
    assert proc.wait(timeout=60) == 0
    text = seen.decode()
    if quiet:
        assert text == ""
    else:
        # Rows done of the total from the footer, and a rate.
        assert "/30.0 " in text and "rows/s" in text, text
        assert text.rstrip().splitlines()[-1].startswith("quillon-mask: 30 rows")


SECRET = "s3cr3t4711"


def csv_input(data):
    return lambda d: (d / "in.csv").write_bytes(data)


def ragged_past_the_first_block(d):
    # 10 MB: the command reads CSV in blocks of 8 MiB, the first at planning.
    rows = "".join(f"{i},user{i}@example.com\n" for i in range(400_000))
    (d / "in.csv").write_text(f"id,email\n{rows}400000,{SECRET}@example.org,extra\n")


def secret_people(n):
    return people(n).set_column(1, "email", pa.array([f"{SECRET}.{i}@example.org" for i in range(n)]))


def parquet_corrupt_page(d):
    pq.write_table(secret_people(12), d / "in.parquet", row_group_size=4, compression="none")
    corrupt_after_first_row_group(d / "in.parquet")


def parquet_truncated(d):
    pq.write_table(secret_people(12), d / "in.parquet")
    data = (d / "in.parquet").read_bytes()
    (d / "in.parquet").write_bytes(data[:len(data) // 2])


def arrows_cut_short(d):
    write(secret_people(12), d / "in.arrows", "arrows")
    data = (d / "in.arrows").read_bytes()
    (d / "in.arrows").write_bytes(data[:len(data) - 100])


def binary_for_csv(d):
    table = pa.table({"email": ["a@x.org"], "raw": pa.array([SECRET.encode() + b"\xff"], pa.binary())})
    write(table, d / "in.arrow", "arrow")


def csv_directory(d):
    (d / "extract").mkdir()
    (d / "extract" / "a.csv").write_text(f"id,email\n1,a@x.org\n2,{SECRET}@example.org,extra\n")


def transforms(data):
    def make(d):
        write(people(4), d / "in.parquet", "parquet")
        (d / "t.json").write_bytes(data)
    return make


# name: (make the input in a directory, arguments, exit status, what the message names)
LEAKS = {
    "ragged csv row": (csv_input(f"id,email\n1,a@x.org\n2,{SECRET}@example.org,extra\n".encode()),
                       ["in.csv", "out.csv"], 1, ["in.csv", "row 3 ", "3 fields, the header 2"]),
    "short csv row": (csv_input(f"id,email,name\n1,a@x.org,A\n{SECRET}\n".encode()),
                      ["in.csv", "out.csv"], 1, ["in.csv", "row 3 ", "1 fields, the header 3"]),
    "ragged csv row past the first block": (ragged_past_the_first_block, ["in.csv", "out.csv"], 1,
                                            ["in.csv", "row 400002 ", "3 fields"]),
    "csv text not UTF-8": (csv_input(f"id,email\n1,a@x.org\n2,{SECRET}\xff@x.org\n".encode("latin-1")),
                           ["in.csv", "out.csv"], 1, ["in.csv", "row 3 ", "column 'email'", "not UTF-8"]),
    "NUL in a csv header": (csv_input(f"id,em\0ail\n1,{SECRET}\n".encode()), ["in.csv", "out.csv"], 2,
                            ["in.csv", "column 2 has a NUL"]),
    "csv directory, ragged row": (csv_directory, ["extract", "out", "--format", "csv"], 1,
                                  ["a.csv", "row 3 ", "3 fields"]),
    "parquet page corrupt": (parquet_corrupt_page, ["in.parquet", "out.parquet"], 1,
                             ["in.parquet", "reading failed after 0 rows"]),
    "parquet truncated": (parquet_truncated, ["in.parquet", "out.parquet"], 1,
                          ["in.parquet", "cannot read it as parquet"]),
    "arrow file holding text": (lambda d: (d / "in.arrow").write_text(f"id,email\n1,{SECRET}\n"),
                                ["in.arrow", "out.arrow"], 1, ["in.arrow", "cannot read it as arrow"]),
    "arrows stream cut short": (arrows_cut_short, ["in.arrows", "out.arrows"], 1,
                                ["in.arrows", "reading failed after"]),
    "binary column not UTF-8 for csv": (binary_for_csv, ["in.arrow", "out.csv"], 1,
                                        ["out.csv", "writing failed after 0 rows"]),
    "unknown type in transforms": (transforms(json.dumps([{"column": "email", "type": SECRET}]).encode()),
                                   ["in.parquet", "out.parquet", "--transforms", "t.json"], 2, ["t.json", "entry 1"]),
    "transforms not UTF-8": (transforms(f'[{{"column": "{SECRET}\xff"}}]'.encode("latin-1")),
                             ["in.parquet", "out.parquet", "--transforms", "t.json"], 2, ["t.json", "UTF-8"]),
    "transforms not JSON": (transforms(f'[{{"column": "email", "type": {SECRET}}}]'.encode()),
                            ["in.parquet", "out.parquet", "--transforms", "t.json"], 2, ["t.json", "line 1 column"]),
}


@pytest.mark.parametrize("debug", [False, True], ids=["plain", "debug"])
@pytest.mark.parametrize("case", list(LEAKS))
def test_errors_name_file_row_and_column_never_a_value(tmp_path, monkeypatch, case, debug):
    monkeypatch.chdir(tmp_path)
    make, args, code, names = LEAKS[case]
    make(tmp_path)
    result = run(*args, "--redact", "email", *(["--debug"] if debug else []))
    assert result.returncode == code, result.stderr
    assert SECRET not in result.stderr and SECRET not in result.stdout
    last = result.stderr.splitlines()[-1]
    assert last.startswith("quillon-mask: error: ") and all(n in last for n in names), last
    if debug:
        assert "Traceback (most recent call last)" in result.stderr
    else:
        assert result.stderr.count("\n") == 1
    assert not any(p.name.startswith("out") for p in tmp_path.iterdir()) and leftovers(tmp_path) == []


@pytest.mark.parametrize("provoke", [
    lambda: pacsv.read_csv(pa.BufferReader(f"a,b\n1,{SECRET},x\n".encode())),
    lambda: pa.array([f"{SECRET}"]).cast(pa.int64()),
    lambda: pa.array([14711]).cast(pa.int8()),
    lambda: pa.array([4711.5]).cast(pa.int64()),
    lambda: pq.ParquetWriter(pa.BufferOutputStream(), pa.schema([("t", pa.timestamp("ns"))]), version="2.4")
    .write_table(pa.table({"t": pa.array([1_000_004_711], pa.timestamp("ns"))})),
], ids=["csv row", "parse", "integer range", "float truncated", "parquet writer cast"])
def test_pyarrow_text_is_cut_before_the_value(provoke):
    from quillon_mask.cli.errors import reason

    with pytest.raises(pa.ArrowInvalid) as caught:
        provoke()
    assert "4711" in str(caught.value)  # pyarrow quotes it; the command must not
    text = reason(caught.value)
    assert "4711" not in text and text.isprintable() and text


@pytest.mark.parametrize("kind", ["file", "symlink to a file", "directory"])
def test_overwrite_keeps_the_mode_and_owner_of_what_it_replaces(tmp_path, kind):
    if kind == "directory":
        src, out = tmp_path / "extract", tmp_path / "masked"
        src.mkdir()
        write(people(6), src / "p.parquet", "parquet")
        out.mkdir()
        earlier, mode = out, 0o750
    else:
        src, out = tmp_path / "in.parquet", tmp_path / "out.parquet"
        write(people(6), src, "parquet")
        earlier, mode = (tmp_path / "real.parquet", 0o640) if kind.startswith("symlink") else (out, 0o600)
        earlier.write_bytes(b"earlier output")
        if earlier != out:
            out.symlink_to(earlier)
    os.chmod(earlier, mode)
    owner = (4242, 4343) if os.geteuid() == 0 else (os.geteuid(), os.getegid())
    os.chown(earlier, *owner)
    result = run(src, out, *MASK, "--overwrite")
    assert result.returncode == 0, result.stderr
    now = os.lstat(out)
    assert stat.S_ISDIR(now.st_mode) if kind == "directory" else stat.S_ISREG(now.st_mode)
    assert (stat.S_IMODE(now.st_mode), now.st_uid, now.st_gid) == (mode, *owner)
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize("kind", ["FIFO", "character device", "socket", "directory", "symlink to nothing"])
def test_overwrite_refuses_what_is_not_a_regular_file(tmp_path, kind):
    src, out = tmp_path / "in.parquet", tmp_path / "out.parquet"
    write(people(4), src, "parquet")
    if kind == "FIFO":
        os.mkfifo(out)
    elif kind == "character device":
        out.symlink_to("/dev/null")
    elif kind == "socket":
        listener = socket.socket(socket.AF_UNIX)
        listener.bind(str(out))
    elif kind == "directory":
        out.mkdir()
    else:
        out.symlink_to(tmp_path / "gone")
    before = os.lstat(out)
    result = run(src, out, "--null", "phone", "--overwrite")
    assert result.returncode == 2, result.stderr
    assert result.stderr.count("\n") == 1 and f"is a {kind}" in result.stderr
    after = os.lstat(out)
    assert (after.st_ino, after.st_mode) == (before.st_ino, before.st_mode)
    assert leftovers(tmp_path) == []


def test_a_corrupt_arrow_file_fails_with_nothing_written(tmp_path):
    src, out = tmp_path / "in.arrow", tmp_path / "out.parquet"
    table = pa.table({"email": ["a@x.org"], "note": ["abcd"]})
    with paipc.new_file(str(src), table.schema) as writer:
        writer.write_table(table)
    with pa.memory_map(str(src)) as mapped:
        base = mapped.read_buffer().address
        mapped.seek(0)
        offsets = paipc.open_file(mapped).get_batch(0).column(1).buffers()[1]
        at = offsets.address - base + 4  # the last of the unconfigured column's offsets
    data = bytearray(src.read_bytes())
    assert data[at:at + 4] == (4).to_bytes(4, "little")
    data[at:at + 4] = (404).to_bytes(4, "little")
    src.write_bytes(bytes(data))
    result = run(src, out, "--redact", "email")
    assert result.returncode == 1, result.stderr
    assert result.stderr.startswith("quillon-mask: error: ") and "in.arrow" in result.stderr
    assert not out.exists() and leftovers(tmp_path) == []
