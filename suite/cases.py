"""The suite's cases as data: reads and checks case files, reads and writes expectation sets."""

import json
import re
from dataclasses import dataclass, field
from pathlib import Path

from .files import write_atomically

# The suite's own cases, the default of every command's --cases.
CASES_DIR = Path(__file__).resolve().parent / "cases"
NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9._+-]*\Z")
REQUIRED = object()

# field -> (accepted types, default); REQUIRED fields have no default.
FIELDS = {
    "name": (str, REQUIRED),
    "program": (str, None),
    "args": (list, []),
    "stdin": (str, ""),
    "files": (dict, {}),
    "directories": (list, []),
    "stdout": (str, REQUIRED),
    "stderr": (str, REQUIRED),
    "status": (int, REQUIRED),
    "fixed": (bool, False),
    "timeout": ((int, float), 20),
    "stdout_filter": (list, []),
    "stdin_chunks": (list, []),
    "stdin_from": (str, "pipe"),
    "stdout_to": (str, "pipe"),
    "terminal": (list, None),
    "terminal_streams": (list, None),
}
STDIN_FROM = ("pipe", "directory", "closed")
STDOUT_TO = ("pipe", "full", "closed", "stopped")
# Where stdout goes to no pipe, so nothing of it is captured.
UNCAPTURED = ("full", "closed")
STANDARD_STREAMS = ("stdin", "stdout", "stderr")


class CaseFileError(Exception):
    """A case file or expectation file that cannot be used as it stands."""


@dataclass(frozen=True)
class Expected:
    stdout: str
    stderr: str
    status: int
    # Why the runtime of an expectation set is known to fail the case; empty when it is not.
    known_failure: str = ""


@dataclass(frozen=True)
class Case:
    deliverable: str
    name: str
    program: str
    args: tuple
    stdin: str
    files: tuple
    expected: Expected
    fixed: bool
    timeout: float
    stdout_filter: tuple
    # stdin written in these pieces, each once the program has read all before it
    stdin_chunks: tuple = ()
    stdin_from: str = "pipe"   # or "directory", "closed"
    stdout_to: str = "pipe"    # or "full" (/dev/full), "closed", "stopped" (a write cut short by a stop)
    terminal: tuple = None     # lines typed on a pseudo-terminal that is stdin
    terminal_streams: tuple = ()  # the standard streams that pseudo-terminal is (none: no terminal)
    directories: tuple = ()    # empty directories made beside the files

    @property
    def id(self):
        return f"{self.deliverable}/{self.name}"

    @property
    def stdin_pieces(self):
        """What goes to standard input, piece by piece: the chunks, or stdin whole."""
        return self.stdin_chunks or ((self.stdin,) if self.stdin else ())


def _is_a(value, types):
    # JSON true/false arrive as bool, which Python also counts as an int.
    if isinstance(value, bool):
        return types is bool
    return isinstance(value, types)


def _latin1(where, text):
    """Texts stand for bytes, one code point each, so nothing above 255 can be meant."""
    if any(ord(ch) > 255 for ch in text):
        raise CaseFileError(f"{where}: has a character above \\u00ff; each character is one byte (latin-1)")
    return text


def _plain_name(where, name, what):
    if not name or "/" in name or "\0" in name or name in (".", ".."):
        raise CaseFileError(f"{where}: {what} {name!r} must be a plain file name")
    return name


def _compile_filters(where, patterns):
    compiled = []
    for pattern in patterns:
        if not isinstance(pattern, str):
            raise CaseFileError(f"{where}: stdout_filter entries must be strings")
        try:
            compiled.append(re.compile(pattern))
        except re.error as error:
            raise CaseFileError(f"{where}: stdout_filter {pattern!r}: {error}") from None
    return tuple(compiled)


def _fields(where, entry):
    if not isinstance(entry, dict):
        raise CaseFileError(f"{where}: a case must be a JSON object")
    unknown = sorted(set(entry) - set(FIELDS))
    if unknown:
        raise CaseFileError(f"{where}: unknown field {', '.join(unknown)} (known: {', '.join(FIELDS)})")
    values = {}
    for name, (types, default) in FIELDS.items():
        if name not in entry:
            if default is REQUIRED:
                raise CaseFileError(f"{where}: missing field {name!r}")
            values[name] = default
        elif _is_a(entry[name], types):
            values[name] = entry[name]
        else:
            raise CaseFileError(f"{where}: field {name!r} has the wrong type")
    return values


def _check_streams(where, v, entry):
    """How stdin and stdout are connected: one way each, and nothing expected where nothing is caught;
    returns the streams on a pseudo-terminal."""
    if not all(isinstance(t, str) for t in v["stdin_chunks"] + (v["terminal"] or [])):
        raise CaseFileError(f"{where}: stdin_chunks and terminal must be lists of strings")
    if v["stdin_from"] not in STDIN_FROM:
        raise CaseFileError(f"{where}: stdin_from must be one of {', '.join(STDIN_FROM)}")
    if v["stdout_to"] not in STDOUT_TO:
        raise CaseFileError(f"{where}: stdout_to must be one of {', '.join(STDOUT_TO)}")
    on = _terminal_streams(where, v)
    ways_in = [f for f in ("stdin", "stdin_chunks", "stdin_from", "terminal") if f in entry]
    if "stdin" in on and "terminal" not in entry:
        ways_in.append("terminal_streams")
    if len(ways_in) > 1:
        raise CaseFileError(f"{where}: {' and '.join(ways_in)} both say what stdin is; give one")
    if v["terminal"] is not None and "stdin" not in on:
        raise CaseFileError(f"{where}: lines are typed on the terminal only when stdin is on it")
    if "stdout" in on and "stdout_to" in entry:
        raise CaseFileError(f"{where}: stdout is the terminal, whose screen is the expected stdout: "
                            "no stdout_to")
    if "stderr" in on and v["stderr"]:
        raise CaseFileError(f"{where}: stderr is the terminal, whose screen is the expected stdout: "
                            "stderr must be empty")
    if "stderr" in on and "stdout" not in on:
        raise CaseFileError(f"{where}: stderr on the terminal shows only on its screen, which is "
                            "compared as stdout: put stdout on it too")
    if v["stdout_to"] in UNCAPTURED and v["stdout"]:
        raise CaseFileError(f"{where}: with stdout_to {v['stdout_to']!r} nothing is captured; stdout must be empty")
    return on


def _terminal_streams(where, v):
    """The standard streams on the pseudo-terminal: as listed, or all three for typed lines alone."""
    listed = v["terminal_streams"]
    if listed is None:
        return STANDARD_STREAMS if v["terminal"] is not None else ()
    if (not listed or not all(s in STANDARD_STREAMS for s in listed)
            or len(set(listed)) != len(listed)):
        raise CaseFileError(f"{where}: terminal_streams must list some of {', '.join(STANDARD_STREAMS)}, "
                            "each once")
    return tuple(s for s in STANDARD_STREAMS if s in listed)


def _case(deliverable, where, entry):
    v = _fields(where, entry)
    if not NAME.match(v["name"]):
        raise CaseFileError(f"{where}: name {v['name']!r} must be letters, digits and . _ + - only")
    where = f"{where} ({v['name']})"
    if not all(isinstance(a, str) and "\0" not in a for a in v["args"]):
        raise CaseFileError(f"{where}: args must be strings without NUL")
    if not all(isinstance(c, str) for c in v["files"].values()):
        raise CaseFileError(f"{where}: files must map names to strings")
    if not all(isinstance(d, str) for d in v["directories"]) or set(v["directories"]) & set(v["files"]):
        raise CaseFileError(f"{where}: directories must be names, none of them a file's")
    if not 0 <= v["status"] <= 255:
        raise CaseFileError(f"{where}: status must be 0 to 255")
    if v["timeout"] <= 0:
        raise CaseFileError(f"{where}: timeout must be positive")
    program = _plain_name(where, v["program"] or deliverable, "program")
    on_terminal = _check_streams(where, v, entry)
    chunks, typed = v["stdin_chunks"], v["terminal"] or []
    for text in [v["stdin"], v["stdout"], v["stderr"], *v["args"], *v["files"], *v["files"].values(),
                 *v["directories"], *chunks, *typed]:
        _latin1(where, text)
    return Case(
        deliverable=deliverable,
        name=v["name"],
        program=program,
        args=tuple(v["args"]),
        stdin=v["stdin"],
        files=tuple((_plain_name(where, n, "file"), c) for n, c in v["files"].items()),
        expected=Expected(v["stdout"], v["stderr"], v["status"]),
        fixed=v["fixed"],
        timeout=float(v["timeout"]),
        stdout_filter=_compile_filters(where, v["stdout_filter"]),
        stdin_chunks=tuple(chunks),
        stdin_from=v["stdin_from"],
        stdout_to=v["stdout_to"],
        terminal=tuple(typed) if "stdin" in on_terminal else None,
        terminal_streams=on_terminal,
        directories=tuple(_plain_name(where, d, "directory") for d in v["directories"]),
    )


def _read_json(path):
    try:
        return json.loads(Path(path).read_text(encoding="utf-8"))
    except (OSError, UnicodeDecodeError, json.JSONDecodeError) as error:
        raise CaseFileError(f"{path}: {error}") from None


def load_case_file(path):
    data = _read_json(path)
    stem = Path(path).stem
    if not isinstance(data, dict) or not isinstance(data.get("cases"), list):
        raise CaseFileError(f"{path}: must be an object with a \"cases\" list")
    if data.get("deliverable") != stem:
        raise CaseFileError(f"{path}: \"deliverable\" must be {stem!r}, the file's name")
    if not NAME.match(stem):
        raise CaseFileError(f"{path}: deliverable name must be letters, digits and . _ + - only")
    if not data["cases"]:
        raise CaseFileError(f"{path}: has no cases; remove the file or add one")
    cases = [_case(stem, f"{path}: case {i + 1}", entry) for i, entry in enumerate(data["cases"])]
    names = [c.name for c in cases]
    twice = sorted({n for n in names if names.count(n) > 1})
    if twice:
        raise CaseFileError(f"{path}: case names used twice: {', '.join(twice)}")
    return cases


def load_cases(cases_dir):
    """Every case of every case file in the directory, in file-name then file order."""
    if not Path(cases_dir).is_dir():
        raise CaseFileError(f"no case directory at {cases_dir}")
    cases = []
    for path in sorted(Path(cases_dir).glob("*.json")):
        cases.extend(load_case_file(path))
    if not cases:
        raise CaseFileError(f"no case files (*.json) in {cases_dir}")
    return cases


def _expectation_path(expect_dir, deliverable):
    return Path(expect_dir) / f"{deliverable}.json"


def _expected_entry(path, name, entry):
    outputs = {"stdout", "stderr", "status"}
    if isinstance(entry, dict) and set(entry) in (outputs, outputs | {"xfail"}):
        if (_is_a(entry["stdout"], str) and _is_a(entry["stderr"], str) and _is_a(entry["status"], int)
                and _is_a(entry.get("xfail", "-"), str)):
            return Expected(_latin1(path, entry["stdout"]), _latin1(path, entry["stderr"]),
                            entry["status"], entry.get("xfail", ""))
    elif isinstance(entry, dict) and set(entry) == {"xfail"} and _is_a(entry["xfail"], str):
        # The case file's expected output, which this runtime is known to miss.
        return Expected(None, None, None, entry["xfail"])
    raise CaseFileError(f"{path}: {name!r} must have stdout, stderr (strings) and status, "
                        "and may have xfail (the reason it is a known failure), or only xfail")


def load_expectations(expect_dir, deliverable):
    """Case name -> Expected, from one deliverable's file of an expectation set (empty when absent).
    An entry of only a known failure has None for its outputs: the case file's are meant."""
    path = _expectation_path(expect_dir, deliverable)
    if not path.exists():
        return {}
    data = _read_json(path)
    if not isinstance(data, dict):
        raise CaseFileError(f"{path}: must map case names to expected outputs")
    return {name: _expected_entry(path, name, entry) for name, entry in data.items()}


def _entry_json(expected):
    entry = {} if expected.stdout is None else {"stdout": expected.stdout, "stderr": expected.stderr,
                                                "status": expected.status}
    return {**entry, "xfail": expected.known_failure} if expected.known_failure else entry


@dataclass
class Blessing:
    """What blessing did to one deliverable's file of an expectation set."""
    path: Path
    new: list = field(default_factory=list)      # names
    changed: list = field(default_factory=list)  # (name, old Expected, new Expected)
    unchanged: list = field(default_factory=list)
    dropped: list = field(default_factory=list)  # entries of cases that no longer exist

    @property
    def rewritten(self):
        return bool(self.new or self.changed or self.dropped)


def bless(expect_dir, deliverable, known_names, recorded):
    """Records outputs into one deliverable's file, keeping earlier entries of cases that still
    exist; the file is rewritten only when an entry is new, changed or dropped."""
    path = _expectation_path(expect_dir, deliverable)
    earlier = load_expectations(expect_dir, deliverable)
    blessing = Blessing(path, dropped=[n for n in earlier if n not in known_names])
    for name, expected in recorded.items():
        if name not in earlier:
            blessing.new.append(name)
        elif earlier[name] != expected:
            blessing.changed.append((name, earlier[name], expected))
        else:
            blessing.unchanged.append(name)
    if blessing.rewritten:
        entries = {**earlier, **recorded}
        ordered = {n: _entry_json(entries[n]) for n in known_names if n in entries}
        path.parent.mkdir(parents=True, exist_ok=True)
        write_atomically(path, json.dumps(ordered, indent=2) + "\n")
    return blessing
