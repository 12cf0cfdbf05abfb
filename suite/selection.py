"""Which cases a command runs: --only and --exclude patterns, the failures of the last run, and
--shard K/N, a stable part of them for one job of a CI matrix."""

import argparse
import fnmatch
import re
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


SHARD = re.compile(r"(\d+)/(\d+)\Z")


def shard_spec(text):
    """--shard's K/N as (K, N), for argparse: N parts, of which the K-th (1 <= K <= N); text
    that is not one is refused (argparse exits with status 2)."""
    found = SHARD.match(text)
    if not found:
        raise argparse.ArgumentTypeError(f"{text!r} is not K/N (the K-th of N parts), e.g. 2/3")
    k, n = map(int, found.groups())
    if n < 1 or not 1 <= k <= n:
        raise argparse.ArgumentTypeError(f"{text!r}: K must be 1 to N, and N at least 1, e.g. 2/3")
    return k, n


def add_shard_option(parser, things="cases"):
    """--shard, as every command that can share its work across machines takes it."""
    parser.add_argument("--shard", metavar="K/N", type=shard_spec,
                        help=f"only the K-th of N parts of the selected {things}, for one job of a CI "
                             f"matrix: the N parts are disjoint and together every one, and the same on "
                             f"every machine, e.g. --shard 2/3")


def shard(items, wanted, key):
    """The K-th of N parts of items, in their own order: sorted by key (a name that does not change
    from machine to machine), every N-th from the K-th, so that the parts are disjoint, together
    every item, and within one of each other in size."""
    if wanted is None:
        return list(items)
    part = {key(item) for item in in_shard(sorted(items, key=key), *wanted)}
    return [item for item in items if key(item) in part]


def selected(all_cases, only=(), exclude=(), failed=None, part=None):
    """The cases --only, --exclude, --failed and --shard leave (failed: the names to keep, or
    None; part: --shard's (K, N), or None)."""
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
    sharded = shard(chosen, part, key=lambda c: c.id)
    if not sharded:
        raise SelectionError(f"--shard {part[0]}/{part[1]} leaves no case to run: only {len(chosen)} "
                             f"case{'s are' if len(chosen) != 1 else ' is'} selected")
    return sharded


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


def in_shard(items, k, n):
    """The K-th of N parts of a list in a fixed order: every N-th item from the K-th. The N parts
    are disjoint, together the whole list, and each the same on every machine."""
    return items[k - 1::n]
