"""The hunt's reduced cases as case files: their names, which of them are one fault, and adding
them to a directory that other hunts (the shards of one hunt) may be adding to at the same time."""

import hashlib
import json
import re
from pathlib import Path

from . import cases as casefiles
from . import files

# Numbers in a case's inputs: cases that differ only in them meet one fault at other values.
SHAPE = re.compile(r"(?:bits:)?[-+]?(?:\d+\.?\d*|\.\d+)(?:[eE@][-+]?\d+)?|nan|-?inf")
LOCK_FILE = ".hunt-save.lock"


def fault_key(program, args, stdin, files_):
    """What one fault's cases have in common: the program and its inputs, numbers aside."""
    return SHAPE.sub("N", json.dumps([program, list(args), stdin, sorted(dict(files_).items())]))


def case_name(case):
    digest = hashlib.sha1(json.dumps([case.program, case.args, case.stdin, case.files]).encode("latin-1",
                                                                                                "replace"))
    return f"hunt-{digest.hexdigest()[:12]}"


def case_entry(case, reference, fixed):
    """The case with the reference's outputs; fixed only where the deliverable's output is the
    same under every runtime, so that a runtime's own layout can be blessed."""
    entry = {"name": case_name(case)}
    if case.program != case.deliverable:
        entry["program"] = case.program
    entry.update({"args": list(case.args), "stdin": case.stdin, "files": dict(case.files),
                  "stdout": reference.stdout, "stderr": reference.stderr, "status": reference.status,
                  "fixed": fixed})
    return entry


def _entry_key(deliverable, entry):
    return fault_key(entry.get("program", deliverable), entry.get("args", []), entry.get("stdin", ""),
                     entry.get("files", {}))


def save(save_dir, deliverable, entries):
    """Adds the cases to DIR/DELIVERABLE.json, keeping the cases it holds already and leaving out
    those that meet a fault it holds (by name or by inputs, numbers aside). Returns the path and
    how many were added."""
    save_dir = Path(save_dir)
    path = save_dir / f"{deliverable}.json"
    save_dir.mkdir(parents=True, exist_ok=True)
    with files.held(save_dir / LOCK_FILE):
        known = _raw_cases(path) if path.exists() else []
        names = {c["name"] for c in known}
        keys = {_entry_key(deliverable, c) for c in known}
        added = 0
        for entry in entries:
            key = _entry_key(deliverable, entry)
            if entry["name"] not in names and key not in keys:
                known.append(entry)
                names.add(entry["name"])
                keys.add(key)
                added += 1
        if added:
            files.write_atomically(path, json.dumps({"deliverable": deliverable, "cases": known}, indent=2) + "\n")
    return path, added


def _raw_cases(path):
    """A case file's entries as they stand, once it is known to be a sound case file."""
    casefiles.load_case_file(path)
    return json.loads(Path(path).read_text(encoding="utf-8"))["cases"]


def merge(save_dir, dirs):
    """Adds every case file's cases of the directories to DIR, as saving them there would: one
    case for each fault. Returns (path, added) for each deliverable met."""
    merged = []
    for directory in dirs:
        paths = sorted(Path(directory).glob("*.json"))
        if not paths:
            raise casefiles.CaseFileError(f"no case files (*.json) in {directory}")
        for path in paths:
            merged.append(save(save_dir, path.stem, _raw_cases(path)))
    return merged
