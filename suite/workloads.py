"""The performance workloads: the suite's cases and the larger inputs of suite/perf-workloads.json, each made from a seed and a count."""

import hashlib
import json
import random
import re
from dataclasses import dataclass
from pathlib import Path

from . import cases as casefiles

WORKLOADS_FILE = Path(__file__).with_name("perf-workloads.json")
# A field of a line template: its kind, then its words, as in "{int -12 12}".
FIELD = re.compile(r"\{([a-z]+)((?: [^{} ]+)*)\}")
NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9._+-]*\Z")


class WorkloadError(Exception):
    """The workload file cannot be used as it stands; the message names the place."""


@dataclass(frozen=True)
class Workload:
    """One run to measure: a program with its arguments, standard input and files."""
    deliverable: str
    name: str
    program: str
    args: tuple
    stdin: str
    files: tuple
    generated: bool      # made from the workload file, not a case
    about: str = ""      # how large it is, for the tables

    @property
    def id(self):
        return f"{self.deliverable}/{self.name}"

    @property
    def digest(self):
        """What the workload is, by its inputs: a baseline's figures compare only with a run of
        exactly these inputs."""
        text = json.dumps([self.program, self.args, self.stdin, self.files])
        return hashlib.sha256(text.encode("latin-1")).hexdigest()


def number(rng):
    digits = rng.randint(1, 4)
    return str(rng.randint(10 ** (digits - 1), 10 ** digits - 1))


def operand(rng, depth):
    """A number, or now and then an expression in parentheses."""
    if depth < 3 and rng.random() < 0.25:
        return "(" + expression(rng, depth + 1) + ")"
    return number(rng)


def expression(rng, depth=0):
    """One to four operands joined by + - * /, a syntax that evalix and bc read alike.

    After a division by zero evalix reads the rest of the line as a new expression, where
    "-(" would be a number without digits and end the run; so "-" is followed by a number."""
    parts = [operand(rng, depth)]
    for _ in range(rng.randint(0, 3)):
        op = rng.choice("+-*/")
        parts += [op, number(rng) if op == "-" else operand(rng, depth)]
    return "".join(parts)


def real(rng, low, high):
    """A decimal of one to seven significant digits, either sign, its power of ten from low to high."""
    digits = rng.randint(1, 7)
    mantissa = rng.randint(10 ** (digits - 1), 10 ** digits - 1)
    return f"{rng.choice(['', '-'])}{mantissa}e{rng.randint(low, high) - digits + 1}"


def letters(rng, low, high):
    return "".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(low, high)))


# kind -> (how many words it takes, what it makes from a generator and its words)
FIELDS = {
    "int": (2, lambda rng, lo, hi: str(rng.randint(int(lo), int(hi)))),
    "real": (2, lambda rng, lo, hi: real(rng, int(lo), int(hi))),
    "letters": (2, lambda rng, lo, hi: letters(rng, int(lo), int(hi))),
    "choice": (None, lambda rng, *words: rng.choice(words)),
    "expression": (0, lambda rng: expression(rng)),
}


def check_template(where, template):
    for kind, words in FIELD.findall(template):
        wanted = FIELDS.get(kind, (-1,))[0]
        count = len(words.split())
        if wanted == -1:
            raise WorkloadError(f"{where}: no field {{{kind}}} (known: {', '.join(FIELDS)})")
        if (wanted is None and count == 0) or (wanted is not None and count != wanted):
            raise WorkloadError(f"{where}: {{{kind}{words}}} takes {wanted or 'some'} words")
        if kind in ("int", "real", "letters") and not all(re.fullmatch(r"-?\d+", w) for w in words.split()):
            raise WorkloadError(f"{where}: {{{kind}{words}}} takes two integers")


def filled(template, rng):
    return FIELD.sub(lambda m: FIELDS[m.group(1)][1](rng, *m.group(2).split()), template)


def made(where, form):
    """The items a form makes, and a word on how many: {"text": T, "repeat": N} is T, N times over;
    {"lines": [TEMPLATE...], "count": N, "seed": S} is N lines, each from a template chosen at random."""
    if not isinstance(form, dict):
        raise WorkloadError(f"{where}: must be an object")
    if "text" in form:
        repeat = form.get("repeat", 1)
        if set(form) - {"text", "repeat"} or not isinstance(form["text"], str) or \
                not isinstance(repeat, int) or repeat < 1:
            raise WorkloadError(f"{where}: a text is {{\"text\": TEXT, \"repeat\": N}}")
        return [form["text"]] * repeat, (f"{repeat} times" if repeat > 1 else repr(form["text"].strip()))
    templates, count, seed = form.get("lines"), form.get("count"), form.get("seed")
    if (set(form) != {"lines", "count", "seed"} or not isinstance(templates, list) or not templates
            or not all(isinstance(t, str) for t in templates) or not isinstance(count, int) or count < 1
            or not isinstance(seed, int)):
        raise WorkloadError(f"{where}: lines are {{\"lines\": [TEMPLATE...], \"count\": N, \"seed\": S}}")
    for template in templates:
        check_template(where, template)
    rng = random.Random(seed)
    return [filled(rng.choice(templates), rng) for _ in range(count)], f"{count}"


def generated(where, entry):
    """A workload of the workload file: its arguments, standard input and files, each a text or lines."""
    known = {"deliverable", "name", "program", "args", "stdin", "files"}
    if not isinstance(entry, dict) or set(entry) - known or not {"deliverable", "name"} <= set(entry):
        raise WorkloadError(f"{where}: a workload has a deliverable, a name and some of program, "
                            "args, stdin and files")
    if not all(isinstance(entry[k], str) and NAME.match(entry[k]) for k in ("deliverable", "name")):
        raise WorkloadError(f"{where}: deliverable and name are plain names")
    args, stdin, files, about = (), "", [], []
    if "args" in entry:
        words, size = made(f"{where}: args", entry["args"])
        args = tuple(words)
        about.append(f"{size} arguments")
    if "stdin" in entry:
        lines, size = made(f"{where}: stdin", entry["stdin"])
        stdin = "".join(lines) if "text" in entry["stdin"] else "".join(l + "\n" for l in lines)
        about.append(f"{size} lines" if "lines" in entry["stdin"] else f"stdin {size}")
    for name, form in entry.get("files", {}).items():
        lines, size = made(f"{where}: files: {name}", form)
        files.append((name, "".join(lines) if "text" in form else "".join(l + "\n" for l in lines)))
        about.append(f"{name} {size}" + (" lines" if "lines" in form else ""))
    if any(ord(ch) > 255 for text in [stdin, *args, *(t for _, t in files)] for ch in text):
        raise WorkloadError(f"{where}: has a character above \\u00ff; each character is one byte (latin-1)")
    return Workload(entry["deliverable"], entry["name"], entry.get("program", entry["deliverable"]),
                    args, stdin, tuple(files), True, ", ".join(about))


def from_case(case):
    return Workload(case.deliverable, case.name, case.program, case.args, "".join(case.stdin_pieces),
                    case.files, False)


def measurable(case):
    """Whether a case's streams can be files: a terminal, a stopped pipe, a reader that goes away,
    and closed or failing descriptors cannot, and what the program does there (with the signals
    that come of it) is not the work it does on its input."""
    return (not case.terminal_streams and case.stdin_from == "pipe" and case.stdout_to == "pipe"
            and case.stdout_closed_after is None and not case.ignored_signals)


def load(cases_dir=casefiles.CASES_DIR, path=WORKLOADS_FILE):
    """(workloads, left out): the generated workloads and the cases that can be measured; and
    case id -> why it is left out, for the others."""
    try:
        data = json.loads(Path(path).read_text(encoding="utf-8"))
    except (OSError, ValueError) as error:
        raise WorkloadError(f"{path}: {error}") from None
    reasons = dict(data.get("cases left out", {}))
    workloads = [generated(f"{path}: workload {i + 1}", entry) for i, entry in enumerate(data.get("workloads", []))]
    left_out = {}
    for case in casefiles.load_cases(cases_dir):
        if case.id in reasons:
            left_out[case.id] = reasons.pop(case.id)
        elif not measurable(case):
            left_out[case.id] = "its streams are not files"
        else:
            workloads.append(from_case(case))
    if reasons:
        raise WorkloadError(f"{path}: no case {', '.join(sorted(reasons))} to leave out")
    ids = [w.id for w in workloads]
    twice = sorted({i for i in ids if ids.count(i) > 1})
    if twice:
        raise WorkloadError(f"{path}: {', '.join(twice)} named twice (a workload and a case, or two workloads)")
    return workloads, left_out
