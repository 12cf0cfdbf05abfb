"""The hunt's reduced cases as case files: their names, which of them are one fault, and adding
them to a directory that other hunts (the shards of one hunt) may be adding to at the same time."""

import hashlib
import json
import re
import signal
from pathlib import Path

from . import cases as casefiles
from . import files

# Numbers in a case's inputs: cases that differ only in them meet one fault at other values.
SHAPE = re.compile(r"(?:bits:)?[-+]?(?:\d+\.?\d*|\.\d+)(?:[eE@][-+]?\d+)?|nan|-?inf")
LOCK_FILE = ".hunt-save.lock"
# The fields of a case file's entry that say what the program is given and how it is run.
INPUT_FIELDS = ("program", "args", "stdin", "files", "stdout_closed_after", "ignored_signals")
# The texts of a saved case that may be long: its input and its outputs.
TEXT_FIELDS = ("stdin", "stdout", "stderr")


def inputs_of(case):
    """What the case gives its program and how it runs it, as a case file's entry holds that."""
    fields = {"program": case.program, "args": list(case.args), "stdin": case.stdin, "files": dict(case.files)}
    if case.stdout_closed_after is not None:
        fields["stdout_closed_after"] = case.stdout_closed_after
    if case.ignored_signals:
        fields["ignored_signals"] = [signal.Signals(n).name for n in case.ignored_signals]
    return fields


def fault_key(deliverable, entry):
    """What one fault's cases have in common: the program, its inputs and how it is run,
    numbers aside."""
    fields = {"program": deliverable, "args": [], "stdin": "", "files": {}}
    fields.update((k, entry[k]) for k in INPUT_FIELDS if k in entry)
    return SHAPE.sub("N", json.dumps(fields, sort_keys=True))


def case_name(case):
    digest = hashlib.sha1(json.dumps(inputs_of(case), sort_keys=True).encode("latin-1", "replace"))
    return f"hunt-{digest.hexdigest()[:12]}"


def case_entry(case, reference, fixed):
    """The case with the reference's outputs; fixed only where the deliverable's output is the
    same under every runtime, so that a runtime's own layout can be blessed. A reader that goes
    away leaves how the run ends to the runtime: such a case is never fixed."""
    fields = inputs_of(case)
    if fields["program"] == case.deliverable:
        del fields["program"]
    ending = ({"signal": signal.Signals(reference.status).name} if reference.ending == "signal"
              else {"status": reference.status})
    return {"name": case_name(case), **fields, "stdout": reference.stdout, "stderr": reference.stderr,
            **ending, "fixed": fixed and case.stdout_closed_after is None}


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
        keys = {fault_key(deliverable, c) for c in known}
        added = 0
        for entry in entries:
            key = fault_key(deliverable, entry)
            if entry["name"] not in names and key not in keys:
                known.append(entry)
                names.add(entry["name"])
                keys.add(key)
                added += 1
        if added:
            written = [_written(entry, save_dir / deliverable) for entry in known]
            files.write_atomically(path, json.dumps({"deliverable": deliverable, "cases": written}, indent=2) + "\n")
    return path, added


def _written(entry, texts_dir):
    """The entry as the suite writes case files: a long text as repeats, or in a file beside
    (DIR/DELIVERABLE/NAME.FIELD), as --bless writes them."""
    def spill(what):
        def write(text):
            texts_dir.mkdir(parents=True, exist_ok=True)
            files.write_if_changed(texts_dir / f"{entry['name']}.{what}", text.encode("latin-1"))
            return f"{texts_dir.name}/{entry['name']}.{what}"
        return write
    written = dict(entry)
    for name in TEXT_FIELDS:
        if name in entry:
            written[name] = casefiles.text_json(entry[name], spill(name))
    if "files" in entry:
        written["files"] = {n: casefiles.text_json(c, spill(f"file-{n}")) for n, c in entry["files"].items()}
    return written


def _raw_cases(path):
    """A case file's entries with their texts as plain strings, once it is known to be a sound
    case file."""
    casefiles.load_case_file(path)
    entries = json.loads(Path(path).read_text(encoding="utf-8"))["cases"]
    for entry in entries:
        where = f"{path}: {entry['name']}"
        for name in TEXT_FIELDS:
            if name in entry:
                entry[name] = casefiles.read_text(where, entry[name], path.parent)
        if "files" in entry:
            entry["files"] = {n: casefiles.read_text(where, c, path.parent) for n, c in entry["files"].items()}
    return entries


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
