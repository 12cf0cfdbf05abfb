"""Which cases a command runs: --only and --exclude patterns, and the failures of the last run."""

import fnmatch
from pathlib import Path

from . import files

# In the build directory: the cases that failed in its last run, one name a line, for --failed.
FAILED_FILE = "failed-cases.txt"


class SelectionError(Exception):
    """The options select no case, or a pattern selects nothing: a typo, not an empty success."""


def matches(case, pattern, ids):
    if pattern in ids:
        return case.id == pattern
    if any(ch in pattern for ch in "*?["):
        return fnmatch.fnmatchcase(case.id, pattern)
    return pattern in case.id


def selected(all_cases, only=(), exclude=(), failed=None):
    """The cases --only, --exclude and --failed leave (failed: the names to keep, or None)."""
    ids = {c.id for c in all_cases}
    unmatched = [p for p in [*only, *exclude] if not any(matches(c, p, ids) for c in all_cases)]
    if unmatched:
        raise SelectionError(f"no case matches {' or '.join(unmatched)} (see ./regress --list)")
    chosen = [c for c in all_cases
              if (not only or any(matches(c, p, ids) for p in only))
              and not any(matches(c, p, ids) for p in exclude)
              and (failed is None or c.id in failed)]
    if not chosen:
        raise SelectionError("the options leave no case to run")
    return chosen


def last_failed(build_dir):
    """The names of the cases that failed in the build's last run."""
    try:
        names = (Path(build_dir) / FAILED_FILE).read_text().split()
    except FileNotFoundError:
        raise SelectionError(f"--failed: no run recorded in {files.shown(build_dir)}") from None
    if not names:
        raise SelectionError(f"--failed: no case failed in the last run in {files.shown(build_dir)}")
    return set(names)


def record_failed(build_dir, verdicts):
    build_dir.mkdir(parents=True, exist_ok=True)
    failed = [v.case.id for v in verdicts if not v.passed]
    files.write_atomically(build_dir / FAILED_FILE, "".join(f"{name}\n" for name in failed))


def shard_spec(text):
    """(K, N) from "K/N", the K-th of N parts; ValueError says what is wrong with it."""
    k, slash, n = text.partition("/")
    if not (slash and k.isdigit() and n.isdigit()):
        raise ValueError(f"{text!r} is not K/N, e.g. 2/3")
    k, n = int(k), int(n)
    if not 1 <= k <= n:
        raise ValueError(f"{text!r}: K must be from 1 to N")
    return k, n


def in_shard(items, k, n):
    """The K-th of N parts of a list in a fixed order: every N-th item from the K-th. The N parts
    are disjoint, together the whole list, and each the same on every machine."""
    return items[k - 1::n]
