"""The catalogue of realistic runtime faults (suite/faults/NAME.fault): each read and checked, the files its patch makes of kelrt/, and the reasons docs/mutants.md gives for those no run shows."""

import fnmatch
import re
import shutil
import subprocess
import tempfile
from dataclasses import dataclass
from pathlib import Path

from . import build

CATALOGUE = build.ROOT / "suite" / "faults"
REASONS = build.ROOT / "docs" / "mutants.md"
KINDS = ("buffering", "reading", "number-text", "strings", "events", "start-up", "exit-and-errors",
         "signals", "streams", "build-flags")
KEYS = ("kind", "port", "flags", "drop-flags")
NAME = re.compile(r"[a-z0-9-]+\Z")
# The table of the faults no run shows: a row per fault, its name in backquotes.
REASON_HEADER = "| fault | why no run shows it |"
REASON_ROW = re.compile(r"\|\s*`([a-z0-9-]+)`\s*\|(.*)\|\s*\Z")


class CatalogueError(Exception):
    """A fault that cannot be read or applied; the message names its file."""


@dataclass(frozen=True)
class Fault:
    name: str
    kind: str
    port: str          # which port would make this fault, and why
    flags: tuple       # compiler words added to the runtime's compile
    drop_flags: tuple  # words taken out of it
    diff: str          # a unified diff over kelrt/, or empty


def read_fault(path):
    path = Path(path)
    name = path.name[:-len(".fault")]
    if not NAME.match(name):
        raise CatalogueError(f"{path}: a fault's name is lower-case letters, digits and '-'")
    text = path.read_text(encoding="utf-8")
    header, _, diff = text.partition("\n\n")
    fields = {}
    for number, line in enumerate(header.splitlines(), 1):
        key, colon, value = line.partition(":")
        if not colon or key not in KEYS:
            raise CatalogueError(f"{path}:{number}: not a header line ({', '.join(KEYS)}): {line!r}")
        if key in fields:
            raise CatalogueError(f"{path}:{number}: {key} given twice")
        fields[key] = value.strip()
    for key in ("kind", "port"):
        if not fields.get(key):
            raise CatalogueError(f"{path}: no {key}:")
    if fields["kind"] not in KINDS:
        raise CatalogueError(f"{path}: kind {fields['kind']!r} is none of {', '.join(KINDS)}")
    fault = Fault(name, fields["kind"], fields["port"], tuple(fields.get("flags", "").split()),
                  tuple(fields.get("drop-flags", "").split()), diff if diff.strip() else "")
    if not (fault.diff or fault.flags or fault.drop_flags):
        raise CatalogueError(f"{path}: a fault has a diff, or flags, or both")
    return fault


def load(directory=CATALOGUE, pattern="*"):
    """The faults whose names match the pattern, by name."""
    paths = sorted(Path(directory).glob("*.fault"))
    faults = [read_fault(p) for p in paths if fnmatch.fnmatchcase(p.name[:-len(".fault")], pattern)]
    if not faults:
        raise CatalogueError(f"no fault matching {pattern!r} in {directory}")
    return faults


def snapshot(top):
    return {str(p.relative_to(top)): p.read_bytes() for p in Path(top).rglob("*") if p.is_file()}


def contents(fault, pristine=build.ROOT / "kelrt"):
    """The files the fault's patch makes of kelrt/ (path relative to the repository -> bytes, None for
    one it takes away); a patch that does not apply, or reaches outside kelrt/, is an error."""
    if not fault.diff:
        return {}
    with tempfile.TemporaryDirectory(prefix="kel-fault-") as scratch:
        top = Path(scratch)
        shutil.copytree(pristine, top / "kelrt")
        before = snapshot(top)
        # A repository of its own, so that git applies the paths from here whatever encloses it.
        subprocess.run(["git", "init", "-q", str(top)], check=True)
        done = subprocess.run(["git", "-C", str(top), "apply", "-"], input=fault.diff, capture_output=True,
                              text=True)
        if done.returncode != 0:
            raise CatalogueError(f"fault {fault.name}: its patch does not apply to kelrt/: "
                                 + " / ".join(done.stderr.strip().splitlines()[:3]))
        shutil.rmtree(top / ".git")
        after = snapshot(top)
    made = {f: after.get(f) for f in sorted(set(before) | set(after)) if before.get(f) != after.get(f)}
    outside = [f for f in made if not f.startswith("kelrt/")]
    if outside:
        raise CatalogueError(f"fault {fault.name}: its patch reaches outside kelrt/: {', '.join(outside)}")
    return made


def reasons(path=REASONS):
    """Fault name -> why no run shows it, from the table in the docs."""
    found, inside = {}, False
    for line in Path(path).read_text(encoding="utf-8").splitlines():
        if line.strip() == REASON_HEADER:
            inside = True
        elif inside and line.startswith("|"):
            row = REASON_ROW.match(line.strip())
            if row:
                found[row.group(1)] = row.group(2).strip()
        else:
            inside = False
    return found
