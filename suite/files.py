"""Writes the suite's result files whole or not at all, checks output paths before a run, hashes
files, and shows paths as a reader finds them."""

import contextlib
import fcntl
import hashlib
import os
import tempfile
from pathlib import Path


def write_atomically(path, content):
    """Writes content (str as UTF-8, or bytes) to path through a temporary file of a unique name
    beside it, renamed over path once complete: a reader sees the old file or the new one, and a
    failure leaves neither a half-written file nor the temporary one."""
    path = Path(path)
    data = content.encode("utf-8") if isinstance(content, str) else content
    fd, temporary = tempfile.mkstemp(dir=path.parent, prefix=f".{path.name}.", suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as file:
            file.write(data)
        # mkstemp makes the file private; the result is as readable as any file made here.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)
        os.replace(temporary, path)
    except BaseException:
        Path(temporary).unlink(missing_ok=True)
        raise


@contextlib.contextmanager
def held(lock_path):
    """Holds the lock file (made when missing) for a read, change and write of what it guards,
    which another process may be changing at the same time."""
    with open(lock_path, "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        yield


def write_if_changed(path, content):
    """Writes content as write_atomically does, unless the file holds it already, so that a
    rerun that changes nothing leaves every file as it was."""
    path = Path(path)
    data = content.encode("utf-8") if isinstance(content, str) else content
    if not (path.is_file() and path.read_bytes() == data):
        write_atomically(path, data)


def shown(path):
    """A path as the reader most easily finds it: relative to here when it is below here."""
    path = Path(path).resolve()
    try:
        return str(path.relative_to(Path.cwd()))
    except ValueError:
        return str(path)


def sha256(path):
    """The SHA-256 of a file's content, in hexadecimal."""
    digest = hashlib.sha256()
    with open(path, "rb") as file:
        for block in iter(lambda: file.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def _nearest_existing(path):
    while not path.exists() and path != path.parent:
        path = path.parent
    return path


def output_file_problem(path):
    """Why a result file cannot be written at path (its directory must exist); None when it can."""
    path = Path(path)
    if path.is_dir():
        return f"{path}: it is a directory, not a file"
    parent = path.parent if str(path.parent) else Path(".")
    if not parent.exists():
        return f"{path}: no directory {parent}"
    if not parent.is_dir():
        return f"{path}: {parent} is not a directory"
    if not os.access(parent, os.W_OK | os.X_OK):
        return f"{path}: cannot write in {parent}"
    return None


def output_dir_problem(path):
    """Why files cannot be written into the directory path (made, with its parents, when missing);
    None when they can."""
    path = Path(path)
    if path.exists() and not path.is_dir():
        return f"{path}: it is a file, not a directory"
    existing = _nearest_existing(path.absolute())
    if not existing.is_dir():
        return f"{path}: {existing} is not a directory"
    if not os.access(existing, os.W_OK | os.X_OK):
        return f"{path}: cannot write in {existing}"
    return None
