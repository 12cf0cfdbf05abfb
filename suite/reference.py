"""The runtime that recorded an expectation set: kept in the set by --bless, so that --explain can
compare a failure under --expect with the runtime whose outputs the set holds."""

import json
from dataclasses import dataclass
from pathlib import Path

from . import runtime_check
from .files import sha256, write_if_changed

SUBDIR = "runtime"
ARCHIVE = "libkel.a"
RECORD = "runtime.json"


@dataclass(frozen=True)
class Reference:
    archive: object  # the archive to compare with; None for the bundled runtime
    label: str       # how the explanation names it
    note: str        # which runtime it is, or why it is not the one that recorded the set


def keep(set_dir, archive):
    """Records in SET/runtime/ the runtime that blessed the set: a copy of its archive and its
    SHA-256 and origin, or that it was the bundled runtime (archive None). What is recorded
    already is left alone, so that blessing the same runtime again writes nothing."""
    where = Path(set_dir) / SUBDIR
    where.mkdir(parents=True, exist_ok=True)
    copy = where / ARCHIVE
    if archive is None:
        record = {"bundled": True}
        copy.unlink(missing_ok=True)
    else:
        write_if_changed(copy, Path(archive).read_bytes())
        record = {"sha256": sha256(copy), "origin": str(Path(archive).resolve())}
    write_if_changed(where / RECORD, json.dumps(record, indent=2) + "\n")


def _instead(set_dir, why):
    return Reference(None, "bundled", f"compared with the bundled runtime, not with the one that recorded "
                                      f"{set_dir}: {why}")


def recorded(set_dir):
    """The runtime to explain an --expect failure against: the one that recorded the set where
    the set holds it intact, otherwise the bundled runtime, with why."""
    where = Path(set_dir) / SUBDIR
    try:
        record = json.loads((where / RECORD).read_text(encoding="utf-8"))
    except FileNotFoundError:
        return _instead(set_dir, f"it has no {SUBDIR}/{RECORD} (it was blessed before sets kept their runtime)")
    except (OSError, UnicodeDecodeError, json.JSONDecodeError) as error:
        return _instead(set_dir, f"its {SUBDIR}/{RECORD} cannot be read ({error})")
    if record == {"bundled": True}:
        return Reference(None, "blessed", f"compared with the runtime that recorded {set_dir}, the bundled one")
    if not (isinstance(record, dict) and isinstance(record.get("sha256"), str)
            and isinstance(record.get("origin"), str)):
        return _instead(set_dir, f"its {SUBDIR}/{RECORD} names neither the bundled runtime nor an archive's sha256 "
                                 "and origin")
    copy = where / ARCHIVE
    if not copy.is_file():
        return _instead(set_dir, f"its copy of {record['origin']}, {copy}, is missing")
    found = sha256(copy)
    if found != record["sha256"]:
        return _instead(set_dir, f"its copy {copy} has sha256 {found[:12]}, not the {record['sha256'][:12]} "
                                 "recorded when it was blessed")
    try:
        problems = runtime_check.check_archive(copy)
    except runtime_check.ArchiveUnreadable as error:
        problems = [error]
    if problems:
        return _instead(set_dir, f"its copy {copy} does not pass the archive check")
    return Reference(copy, "blessed", f"compared with the runtime that recorded {set_dir}: its copy of "
                                      f"{record['origin']}, sha256 {found[:12]}")
