"""Every code block of README.md and docs/*.md runs as written.

A file's blocks run in order, in one temporary directory per file that holds
the repository's examples/, so their paths read as from the repository's
root: sh blocks with bash, this interpreter's bin/ first on PATH (and, where
the module is not installed but imported from a build tree, a `quillon-mask`
that runs `python -m quillon_mask`); python blocks with this interpreter,
each in a namespace of its own, so a block that uses a name it does not
define fails. Consecutive python blocks share one process, which saves the
imports' time, not their names.

A block whose info string says `no-run` is not run, and the text just before
it must say so. A python block that imports a module this environment lacks
(Spark, Dask, Ray, polars or DuckDB, in the wheel's test venvs) is skipped.
"""
import ast
import importlib.util
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path
from typing import List, NamedTuple

import pytest

ROOT = Path(__file__).resolve().parents[2]
FILES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
RUNNERS = {"python": "python", "py": "python", "sh": "sh", "bash": "sh", "shell": "sh"}
FENCE = re.compile(r"^(?P<indent>\s*)```(?P<info>[^`]*)$")
BLOCK_TIMEOUT_S = 300
# Runs the python blocks given as JSON [[where, code], ...] on stdin, each in a
# fresh namespace; the first to raise ends the run with its traceback.
PYTHON_RUNNER = """
import json, sys, traceback
for where, code in json.load(sys.stdin):
    try:
        exec(compile(code, where, "exec"), {"__name__": "__main__"})
    except BaseException:
        traceback.print_exc()
        sys.exit(f"{where} failed")
"""


class Block(NamedTuple):
    line: int  # of the opening fence, counted from 1
    language: str
    no_run: bool
    code: str
    before: str  # the three lines above the fence


def blocks_of(path: Path) -> List[Block]:
    lines = path.read_text(encoding="utf-8").splitlines()
    found, i = [], 0
    while i < len(lines):
        opening = FENCE.match(lines[i])
        if not opening:
            i += 1
            continue
        indent, words = opening["indent"], opening["info"].split()
        end = next(j for j in range(i + 1, len(lines)) if lines[j].strip() == "```")
        code = "\n".join(line[len(indent):] if line.startswith(indent) else line.lstrip()
                         for line in lines[i + 1:end])
        found.append(Block(i + 1, words[0] if words else "", "no-run" in words[1:], code + "\n",
                           " ".join(lines[max(0, i - 3):i])))
        i = end + 1
    return found


def missing_imports(code: str) -> List[str]:
    names = set()
    for node in ast.walk(ast.parse(code)):
        if isinstance(node, ast.Import):
            names.update(alias.name.partition(".")[0] for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.level == 0:
            names.add(node.module.partition(".")[0])
    return sorted(n for n in names if importlib.util.find_spec(n) is None)


def environment(work: Path) -> dict:
    """PATH with this interpreter's directory first, and shims for `python`
    and `quillon-mask` where that directory lacks them (an interpreter named
    python3 alone, a build tree's module with no console script)."""
    bin_dir = Path(sys.executable).parent
    path = [str(bin_dir)]
    shims = {"python": f'exec "{sys.executable}" "$@"', "quillon-mask": f'exec "{sys.executable}" -m quillon_mask "$@"'}
    shim = work.parent / "shim-bin"
    for name, line in shims.items():
        if shutil.which(name, path=str(bin_dir)) is None:
            shim.mkdir(exist_ok=True)
            (shim / name).write_text(f"#!/bin/sh\n{line}\n")
            (shim / name).chmod(0o755)
    if shim.exists():
        path.append(str(shim))
    return {**os.environ, "PATH": os.pathsep.join(path + [os.environ.get("PATH", "")])}


def run(argv, stdin, work, env, code):
    result = subprocess.run(argv, input=stdin, cwd=work, env=env, capture_output=True, text=True,
                            timeout=BLOCK_TIMEOUT_S)
    assert result.returncode == 0, f"exited {result.returncode}\n--- code\n{code}--- stderr\n{result.stderr[-3000:]}"


@pytest.mark.parametrize("path", FILES, ids=lambda p: str(p.relative_to(ROOT)))
def test_every_block_runs_as_written(path, tmp_path):
    work = tmp_path / "work"
    work.mkdir()
    (work / "examples").symlink_to(ROOT / "examples")
    env = environment(work)
    pending, ran, skipped = [], 0, []

    def flush():
        if pending:
            run([sys.executable, "-c", PYTHON_RUNNER], json.dumps(pending), work, env,
                "".join(f"# {where}\n{code}" for where, code in pending))
            pending.clear()

    for block in blocks_of(path):
        runner = RUNNERS.get(block.language)
        if runner is None:
            continue
        where = f"{path.name}:{block.line}"
        if block.no_run:
            assert "not run" in block.before.lower(), f"{where}: a no-run block must follow text saying it is not run"
            continue
        if runner == "python":
            lacking = missing_imports(block.code)
            if lacking:
                skipped.append(f"{where} ({', '.join(lacking)})")
            else:
                pending.append((where, block.code))
                ran += 1
            continue
        flush()
        run(["bash", "-euo", "pipefail", "-s"], block.code, work, env, f"# {where}\n{block.code}")
        ran += 1
    flush()
    if ran == 0 and skipped:
        pytest.skip(f"every block needs a module not installed here: {skipped}")
