"""Nothing half-written: OUTPUT is written as a temporary file (or directory)
beside it and renamed into place only when complete.

The temporary entry is made owner-only (0600/0700) and its name,
.<name>.<pid>.<random>.tmp, holds the pid of its writer, so that a run killed
outright (SIGKILL, a crash) leaves it to the next run for the same OUTPUT,
which removes it once that process is gone. commit() fsyncs every file, then
renames; discard() removes the entry and leaves an earlier OUTPUT as it was.

Overwrite rules: never INPUT, nor a place inside it or around it; an existing
OUTPUT only with --overwrite, and then only a regular file (or a symlink to
one), or a directory for a directory INPUT, never a FIFO, device or socket.
What is replaced hands its permission bits and, where allowed, its owner and
group to what replaces it.
"""
from __future__ import annotations

import os
import re
import shutil
import stat
import tempfile
from pathlib import Path

from quillon_mask.cli.errors import DataError, UsageError


def _same_or_inside(a: Path, b: Path) -> bool:
    return a == b or b in a.parents


def _kind(path: Path) -> str:
    """What path is, through a symlink, in the words the refusals use."""
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        return "a symlink to nothing"
    for test, name in ((stat.S_ISREG, "a regular file"), (stat.S_ISDIR, "a directory"),
                       (stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"),
                       (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket")):
        if test(mode):
            return name
    return "a special file"


def _check_replaceable(out: Path, directory: bool) -> None:
    # Only what this command writes may be replaced: renaming over a FIFO or
    # a device would take its name from whatever uses it.
    wanted = "a directory" if directory else "a regular file"
    kind = _kind(out)
    if kind != wanted:
        raise UsageError(f"OUTPUT {out} is {kind}; --overwrite replaces only {wanted} here")


def check_target(src: Path, out: Path, directory: bool, overwrite: bool) -> None:
    """Refuses, as a UsageError, an OUTPUT that the overwrite rules forbid."""
    real_src, real_out = src.resolve(), out.resolve()
    if _same_or_inside(real_out, real_src) or (out.exists() and os.path.samefile(src, out)):
        raise UsageError(f"OUTPUT {out} is INPUT{' or inside it' if directory else ''}; write elsewhere")
    if out.exists() or out.is_symlink():
        if not overwrite:
            raise UsageError(f"OUTPUT {out} exists; pass --overwrite to replace it")
        _check_replaceable(out, directory)
        if _same_or_inside(real_src, real_out):
            raise UsageError(f"INPUT {src} is inside OUTPUT {out}, which --overwrite would delete")
    if not real_out.parent.is_dir():
        raise UsageError(f"the directory of OUTPUT, {out.parent}, does not exist")


def _fsync(path: Path) -> None:
    fd = os.open(str(path), os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except (PermissionError, OverflowError):
        pass  # another user's process, or no pid at all: leave its file be
    return True


def _remove_abandoned(target: Path) -> None:
    """Removes what runs killed while writing target left beside it:
    .<name>.<pid>.<random>.tmp while they wrote, and .<name>.<pid>.<random>.old
    while they swapped directories, once process <pid> is gone. An .old
    directory stays while target is missing: it holds the only earlier OUTPUT."""
    lead = f".{target.name}."
    for entry in os.scandir(target.parent):
        if not entry.name.startswith(lead):
            continue
        found = re.fullmatch(r"(\d+)\.[a-z0-9_]+\.(tmp|old)", entry.name[len(lead):])
        if not found or _alive(int(found[1])):
            continue
        if found[2] == "old" and not os.path.lexists(target):
            continue
        if entry.is_dir(follow_symlinks=False):
            shutil.rmtree(entry.path, ignore_errors=True)
        else:
            try:
                os.unlink(entry.path)
            except FileNotFoundError:
                pass  # another run cleaned up first


def _take_owner_and_mode(path: Path, earlier: os.stat_result) -> None:
    # Owner and group first: a change of owner clears set-id bits.
    now = os.stat(path)
    if (now.st_uid, now.st_gid) != (earlier.st_uid, earlier.st_gid):
        for uid in (earlier.st_uid, -1):  # the group alone where the owner cannot be given
            try:
                os.chown(path, uid, earlier.st_gid)
                break
            except PermissionError:
                continue
    os.chmod(path, stat.S_IMODE(earlier.st_mode))


class Staging:
    """A temporary file or directory beside OUTPUT, renamed into place by
    commit()."""

    def __init__(self, target: Path, directory: bool) -> None:
        self.target = target
        self.directory = directory
        parent = str(target.parent)
        _remove_abandoned(target)
        prefix = f".{target.name}.{os.getpid()}."
        if directory:
            self.path = Path(tempfile.mkdtemp(prefix=prefix, suffix=".tmp", dir=parent))
        else:
            fd, name = tempfile.mkstemp(prefix=prefix, suffix=".tmp", dir=parent)
            os.close(fd)
            self.path = Path(name)

    def place(self, relative: Path) -> Path:
        """Where the file of relative (Path() for a single OUTPUT) is written."""
        if not self.directory:
            return self.path
        path = self.path / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        return path

    def commit(self, overwrite: bool) -> None:
        if self.directory:
            for root, _, files in os.walk(self.path):
                for name in files:
                    _fsync(Path(root) / name)
        else:
            _fsync(self.path)
        if os.path.lexists(self.target):
            if not overwrite:
                raise FileExistsError(f"OUTPUT {self.target} appeared while masking; left it as it is")
            try:
                _check_replaceable(self.target, self.directory)
            except UsageError as e:
                raise DataError(f"{e} (it changed while masking)") from None
            # What is replaced keeps its permissions and, where allowed, its owner.
            _take_owner_and_mode(self.path, os.stat(self.target))
        else:
            # mkstemp/mkdtemp make owner-only entries; a new OUTPUT gets the
            # permissions any new file would.
            umask = os.umask(0)
            os.umask(umask)
            os.chmod(self.path, (0o777 if self.directory else 0o666) & ~umask)
        if self.directory and os.path.lexists(self.target):
            # A directory cannot replace another in one step: the old one
            # steps aside, the new one takes its name, then the old one goes.
            old = Path(tempfile.mkdtemp(prefix=f".{self.target.name}.{os.getpid()}.", suffix=".old",
                                        dir=str(self.target.parent)))
            os.replace(self.target, old / "d")
            try:
                os.replace(self.path, self.target)
            except BaseException:
                os.replace(old / "d", self.target)
                raise
            shutil.rmtree(old, ignore_errors=True)
        else:
            os.replace(self.path, self.target)
        try:
            _fsync(self.target.parent)
        except OSError:
            pass

    def discard(self) -> None:
        if self.directory:
            shutil.rmtree(self.path, ignore_errors=True)
        else:
            try:
                self.path.unlink()
            except FileNotFoundError:
                pass
