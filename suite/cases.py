"""The suite's cases as data: reads and checks case files, reads and writes expectation sets."""

import hashlib
import json
import re
import signal
import zlib
from dataclasses import MISSING, dataclass, field, fields
from pathlib import Path, PurePosixPath

from .files import write_atomically, write_if_changed

# The suite's own cases, the default of every command's --cases.
CASES_DIR = Path(__file__).resolve().parent / "cases"
NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9._+-]*\Z")
REQUIRED = object()
# A text as a case file gives it: a string, a repeat, a file beside, or a list of these (see _text).
TEXT = (str, list, dict)

# field -> (accepted types, default); REQUIRED fields have no default.
FIELDS = {
    "name": (str, REQUIRED),
    "program": (str, None),
    "args": (list, []),
    "stdin": (TEXT, ""),
    "files": (dict, {}),
    "special_files": (dict, {}),
    "stdout": (TEXT, REQUIRED),
    "stderr": (TEXT, REQUIRED),
    "status": (int, None),
    "signal": (str, None),
    "fixed": (bool, False),
    "timeout": ((int, float), 20),
    "stdout_filter": (list, []),
    "stdin_chunks": (list, []),
    "stdin_from": (str, "pipe"),
    "stdout_to": (str, "pipe"),
    "stdout_closed_after": (int, None),
    "ignored_signals": (list, []),
    "terminal": (list, None),
    "terminal_streams": (list, None),
    "stack": (int, None),
}
# Texts longer than this are written out of line (see text_json), so that no string in a case
# file or an expectation set chokes an editor or a review.
INLINE_LIMIT = 4096
# A run of one piece repeated is written as a repeat from this length on.
SHORTEST_REPEAT = 256
REPEATED = re.compile(r"(.{1,80}?)\1{7,}", re.S)
# No case can mean a text this long (outputs are cut at a few MiB); a repeat asking for more is
# a mistake, refused before it fills the memory.
LONGEST_TEXT = 64 * 1024 * 1024
STDIN_FROM = ("pipe", "directory", "closed")
STDOUT_TO = ("pipe", "full", "closed", "stopped")
# Where stdout goes to no pipe, so nothing of it is captured.
UNCAPTURED = ("full", "closed")
STANDARD_STREAMS = ("stdin", "stdout", "stderr")
# Less stack than this and a program's start-up itself may run out.
MIN_STACK = 65536
UNCATCHABLE = ("SIGKILL", "SIGSTOP")
# What a special file may be: an empty directory, a named pipe that nobody writes, an endless device.
SPECIAL_FILES = ("directory", "fifo", "zeros")


class CaseFileError(Exception):
    """A case file or expectation file that cannot be used as it stands."""


def signal_number(name):
    """The number of a signal named as the system does ("SIGPIPE"); None for no such signal."""
    member = signal.Signals.__members__.get(name)
    return int(member) if member is not None else None


@dataclass(frozen=True)
class Expected:
    stdout: str
    stderr: str
    status: int   # the exit status; None when the program is to be killed by a signal
    # Why the runtime of an expectation set is known to fail the case; empty when it is not.
    known_failure: str = ""
    signal: str = ""   # the signal that is to kill it ("SIGPIPE"), instead of an exit status
    # An expectation set's entry: the fingerprint of the case it was blessed for (see
    # fingerprint); empty in a case file, and in sets blessed before entries kept one.
    fingerprint: str = ""


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
    stack: int = None          # the bytes of stack the program runs with (None: the runner's own limit)
    # stdout's reader closes its end after this many bytes, as `| head -c N` does (None: it reads all)
    stdout_closed_after: int = None
    ignored_signals: tuple = ()   # numbers of the signals the program starts with ignored
    special_files: tuple = ()     # (name, one of SPECIAL_FILES) made in its directory beside the files

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
    closed_after = v["stdout_closed_after"]
    if closed_after is not None:
        if closed_after < 0:
            raise CaseFileError(f"{where}: stdout_closed_after must be 0 or more")
        if "stdout_to" in entry or "stdout" in on:
            raise CaseFileError(f"{where}: stdout_closed_after reads stdout from a pipe of its own: "
                                "no stdout_to, and stdout not on the terminal")
        if len(v["stdout"]) > closed_after:
            raise CaseFileError(f"{where}: stdout is longer than the {closed_after} bytes read of it")
    return on


def _check_ending(where, v):
    """An exit status or a signal, one of them, and signals known by their names."""
    if (v["status"] is None) == (v["signal"] is None):
        raise CaseFileError(f"{where}: give one of status (how it exits) and signal (what kills it)")
    if v["status"] is not None and not 0 <= v["status"] <= 255:
        raise CaseFileError(f"{where}: status must be 0 to 255")
    if v["signal"] is not None and signal_number(v["signal"]) is None:
        raise CaseFileError(f"{where}: signal {v['signal']!r} is not a signal's name (such as SIGPIPE)")
    if not all(isinstance(n, str) and signal_number(n) and n not in UNCATCHABLE
               for n in v["ignored_signals"]):
        raise CaseFileError(f"{where}: ignored_signals must list the names of signals that can be "
                            "ignored (such as SIGPIPE)")


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


def read_text(where, value, base):
    """A text as a case file gives it: a string; {"repeat": STRING, "times": N}, the string N
    times; {"file": PATH}, the bytes of a file beside the case file (PATH relative to its
    directory); or a list of strings and those, joined."""
    if isinstance(value, list):
        if any(isinstance(part, list) for part in value):
            raise CaseFileError(f"{where}: a text's pieces are strings, repeats and files, not lists")
        parts, length = [], 0
        for part in value:
            parts.append(read_text(where, part, base))
            length += len(parts[-1])
            if length > LONGEST_TEXT:
                raise CaseFileError(f"{where}: a text of more than {LONGEST_TEXT} bytes; no text may pass that")
        text = "".join(parts)
    elif isinstance(value, dict) and set(value) == {"repeat", "times"}:
        repeat, times = value["repeat"], value["times"]
        if not (isinstance(repeat, str) and repeat and _is_a(times, int) and times > 0):
            raise CaseFileError(f"{where}: a repeat is a string that is not empty and a count above 0")
        if len(repeat) * times > LONGEST_TEXT:
            raise CaseFileError(f"{where}: a repeat of {len(repeat) * times} bytes; no text may pass {LONGEST_TEXT}")
        text = _latin1(where, repeat) * times
    elif isinstance(value, dict) and set(value) == {"file"} and isinstance(value["file"], str):
        text = _text_file(where, value["file"], base)
    elif isinstance(value, str):
        text = _latin1(where, value)
    else:
        raise CaseFileError(f"{where}: a text must be a string, {{\"repeat\": STRING, \"times\": N}}, "
                            "{\"file\": PATH} or a list of these")
    return text


def _text_file(where, name, base):
    path = PurePosixPath(name)
    if not name or path.is_absolute() or ".." in path.parts:
        raise CaseFileError(f"{where}: text file {name!r} must be a path below the case file's directory")
    try:
        with open(Path(base) / path, "rb") as file:
            data = file.read(LONGEST_TEXT + 1)
    except OSError as error:
        raise CaseFileError(f"{where}: text file {name!r}: {error.strerror}") from None
    if len(data) > LONGEST_TEXT:
        raise CaseFileError(f"{where}: text file {name!r} is longer than {LONGEST_TEXT} bytes; no text may pass that")
    # Each byte is one character, as in the texts written inline.
    return data.decode("latin-1")


def _read_texts(where, v, base):
    """Every text of the case read as it stands in the file: its outputs, inputs, arguments and
    files, and the pieces and lines of its input."""
    for name in ("stdin", "stdout", "stderr"):
        v[name] = read_text(f"{where}: {name}", v[name], base)
    for name in ("args", "stdin_chunks", "terminal"):
        if v[name] is not None:
            v[name] = [read_text(f"{where}: {name}", item, base) for item in v[name]]
    v["files"] = {n: read_text(f"{where}: file {n!r}", c, base) for n, c in v["files"].items()}


def _case(deliverable, where, entry, base):
    v = _fields(where, entry)
    if not NAME.match(v["name"]):
        raise CaseFileError(f"{where}: name {v['name']!r} must be letters, digits and . _ + - only")
    where = f"{where} ({v['name']})"
    _read_texts(where, v, base)
    if not all("\0" not in a for a in v["args"]):
        raise CaseFileError(f"{where}: args must be strings without NUL")
    if not all(kind in SPECIAL_FILES for kind in v["special_files"].values()):
        raise CaseFileError(f"{where}: special_files must map names to one of {', '.join(SPECIAL_FILES)}")
    if set(v["files"]) & set(v["special_files"]):
        raise CaseFileError(f"{where}: a name is both in files and in special_files")
    _check_ending(where, v)
    if v["timeout"] <= 0:
        raise CaseFileError(f"{where}: timeout must be positive")
    if v["stack"] is not None and v["stack"] < MIN_STACK:
        raise CaseFileError(f"{where}: stack must be at least {MIN_STACK} bytes")
    program = _plain_name(where, v["program"] or deliverable, "program")
    on_terminal = _check_streams(where, v, entry)
    chunks, typed = v["stdin_chunks"], v["terminal"] or []
    for name in [*v["files"], *v["special_files"]]:
        _latin1(where, name)
    return Case(
        deliverable=deliverable,
        name=v["name"],
        program=program,
        args=tuple(v["args"]),
        stdin=v["stdin"],
        files=tuple((_plain_name(where, n, "file"), c) for n, c in v["files"].items()),
        expected=Expected(v["stdout"], v["stderr"], v["status"], signal=v["signal"] or ""),
        fixed=v["fixed"],
        timeout=float(v["timeout"]),
        stdout_filter=_compile_filters(where, v["stdout_filter"]),
        stdin_chunks=tuple(chunks),
        stdin_from=v["stdin_from"],
        stdout_to=v["stdout_to"],
        terminal=tuple(typed) if "stdin" in on_terminal else None,
        terminal_streams=on_terminal,
        stack=v["stack"],
        stdout_closed_after=v["stdout_closed_after"],
        ignored_signals=tuple(signal_number(n) for n in v["ignored_signals"]),
        special_files=tuple((_plain_name(where, n, "file"), k) for n, k in v["special_files"].items()),
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
    cases = [_case(stem, f"{path}: case {i + 1}", entry, Path(path).parent)
             for i, entry in enumerate(data["cases"])]
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
    outputs, marks = {"stdout", "stderr"}, {"xfail", "fingerprint"}
    keys = set(entry) - {"status", "signal"} if isinstance(entry, dict) else set()
    ending = [k for k in ("status", "signal") if isinstance(entry, dict) and k in entry]
    if not (isinstance(entry, dict) and (outputs <= keys <= outputs | marks and len(ending) == 1
                                         or {"xfail"} <= keys <= marks and not ending)
            and all(_is_a(entry.get(mark, "-"), str) for mark in marks)):
        raise CaseFileError(f"{path}: {name!r} must have stdout, stderr (texts) and status (or the "
                            "signal that kills it), and may have xfail (the reason it is a known failure) "
                            "and fingerprint, or only xfail and fingerprint")
    where = f"{path}: {name!r}"
    if "stdout" not in entry:
        # The case file's expected output, which this runtime is known to miss.
        return Expected(None, None, None, entry["xfail"], fingerprint=entry.get("fingerprint", ""))
    status, killed_by = entry.get("status"), entry.get("signal", "")
    if not (_is_a(status, int) or _is_a(killed_by, str) and signal_number(killed_by)):
        raise CaseFileError(f"{where}: status must be an integer, signal a signal's name (such as SIGPIPE)")
    return Expected(read_text(f"{where}: stdout", entry["stdout"], path.parent),
                    read_text(f"{where}: stderr", entry["stderr"], path.parent),
                    status, entry.get("xfail", ""), killed_by, entry.get("fingerprint", ""))


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


# What defines a case's run, of the fields of Case.
RUN_FIELDS = ("program", "args", "stdin", "files", "special_files", "stdin_chunks", "stdin_from", "stdout_to",
              "terminal", "terminal_streams", "stdout_closed_after", "ignored_signals")


def fingerprint(case):
    """A digest of what defines the case's run: its program, arguments, input, files and how its
    standard streams are connected. An entry blessed for other inputs no longer means anything.
    Fields at their defaults are left out, so that a way added later keeps the fingerprints of
    the cases that do not use it."""
    defaults = {f.name: f.default for f in fields(Case)}
    run = {name: getattr(case, name) for name in RUN_FIELDS
           if defaults[name] is MISSING or getattr(case, name) != defaults[name]}
    return hashlib.sha256(json.dumps(run, sort_keys=True).encode()).hexdigest()[:16]


def _repeats(text):
    """The text as strings and repeats, each long run of one piece a repeat."""
    pieces, taken = [], 0
    for run in REPEATED.finditer(text):
        if len(run.group(0)) < SHORTEST_REPEAT:
            continue
        if run.start() > taken:
            pieces.append(text[taken:run.start()])
        pieces.append({"repeat": run.group(1), "times": len(run.group(0)) // len(run.group(1))})
        taken = run.end()
    if taken < len(text):
        pieces.append(text[taken:])
    return pieces


def text_json(text, spill):
    """A text as the suite writes it into a case file or an expectation set: as it is when short;
    else as strings and repeats where that is short; else in a file beside, which spill(text)
    writes, returning its path from the directory of the file that names it."""
    if len(text) <= INLINE_LIMIT:
        return text
    # Looking for runs takes seconds over a long text; one that does not compress well has
    # none worth the look.
    if len(zlib.compress(text.encode("latin-1"), 1)) <= 2 * INLINE_LIMIT:
        pieces = _repeats(text)
        if len(json.dumps(pieces)) <= INLINE_LIMIT:
            return pieces[0] if len(pieces) == 1 else pieces
    return {"file": spill(text)}


# The texts of an expectation set's entries that go out of line go to SET/DELIVERABLE/NAME.STREAM.
SPILLED_STREAMS = ("stdout", "stderr")


def _entry_json(expected, spill):
    entry = {"fingerprint": expected.fingerprint} if expected.fingerprint else {}
    if expected.stdout is not None:
        entry.update(stdout=text_json(expected.stdout, lambda text: spill("stdout", text)),
                     stderr=text_json(expected.stderr, lambda text: spill("stderr", text)),
                     **({"signal": expected.signal} if expected.signal else {"status": expected.status}))
    return {**entry, "xfail": expected.known_failure} if expected.known_failure else entry


def _write_set_file(path, entries):
    """Writes one deliverable's entries, their long texts beside it, or removes the file when there
    are none; the texts beside that no entry names any more go."""
    texts_dir = path.with_suffix("")
    spilled = set()

    def spill_of(name):
        def spill(stream, text):
            beside = texts_dir / f"{name}.{stream}"
            texts_dir.mkdir(parents=True, exist_ok=True)
            write_if_changed(beside, text.encode("latin-1"))
            spilled.add(beside.name)
            return f"{texts_dir.name}/{beside.name}"
        return spill

    if entries:
        text = json.dumps({n: _entry_json(e, spill_of(n)) for n, e in entries.items()}, indent=2) + "\n"
        path.parent.mkdir(parents=True, exist_ok=True)
        write_atomically(path, text)
    else:
        path.unlink(missing_ok=True)
    for stream in SPILLED_STREAMS:
        for old in texts_dir.glob(f"*.{stream}"):
            if old.name not in spilled:
                old.unlink()


@dataclass
class Blessing:
    """What blessing did to one deliverable's file of an expectation set."""
    path: Path
    new: list = field(default_factory=list)      # names
    changed: list = field(default_factory=list)  # (name, old Expected, new Expected)
    unchanged: list = field(default_factory=list)
    dropped: list = field(default_factory=list)  # entries of cases that no longer exist
    matching: list = field(default_factory=list)  # entries dropped since the case file now gives them
    held: int = 0  # the entries the file holds that differ from the case files

    @property
    def rewritten(self):
        return bool(self.new or self.changed or self.dropped or self.matching)


def bless(expect_dir, deliverable, known_names, recorded, matching):
    """Records into one deliverable's file the outputs that differ from the case file (recorded:
    name -> Expected), and drops the entries of cases whose outputs the case file gives
    (matching) or that no longer exist; other entries are kept. The file is rewritten only
    when that changes an entry."""
    path = _expectation_path(expect_dir, deliverable)
    earlier = load_expectations(expect_dir, deliverable)
    blessing = Blessing(path, dropped=[n for n in earlier if n not in known_names],
                        matching=[n for n in matching if n in earlier])
    for name, expected in recorded.items():
        if name not in earlier:
            blessing.new.append(name)
        elif earlier[name] != expected:
            blessing.changed.append((name, earlier[name], expected))
        else:
            blessing.unchanged.append(name)
    entries = {**earlier, **recorded}
    kept = {n: entries[n] for n in known_names if n in entries and n not in matching}
    blessing.held = sum(1 for e in kept.values() if e.stdout is not None)
    if blessing.rewritten:
        _write_set_file(path, kept)
    return blessing
