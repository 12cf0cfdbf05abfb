"""Judges a case's outcome against its expected output and renders the differences for people."""

import difflib
import re
from dataclasses import dataclass, field

from .cases import signal_number

LINE = re.compile(r"[^\n]*\n|[^\n]+\Z")
NO_NEWLINE = "\n\\ No newline at end of file"
DIFF_SPAN = 2000
CHANGED = "CHANGED"
CHANGED_SINCE_BLESSED = "changed since it was blessed: re-bless or drop"
WORDS = {"exited": "FAIL", "signal": "CRASH", "hung": "HANG", "flooded": "FLOOD", "not built": "NOT BUILT",
         "cannot start": "CANNOT START"}


@dataclass
class Verdict:
    case: object
    outcome: object
    against: str  # where the expected output came from
    problems: list = field(default_factory=list)  # one line each
    diffs: list = field(default_factory=list)  # (stream name, expected text, actual text)
    blessed: bool = False
    explanation: list = field(default_factory=list)  # lines from --explain
    known_failure: str = ""  # the expectation set's reason when the case is a known failure
    missed: list = field(default_factory=list)  # a known failure's problems, which do not fail the run
    # The set's entry was blessed for another run of the case: nothing is known of the runtime.
    changed_since_blessed: bool = False
    runs: int = 1         # how many times the case ran (--repeat)
    failed_runs: int = 0  # and how many of those runs failed; the verdict is the first failing one's

    @property
    def passed(self):
        return not self.problems

    @property
    def word(self):
        if self.changed_since_blessed:
            return CHANGED
        if self.known_failure:
            return "XFAIL" if self.passed else "XPASS"
        if self.passed:
            return "blessed" if self.blessed else "ok"
        return WORDS[self.outcome.ending]


def drop_filtered(text, patterns):
    """The text without the lines any pattern matches (timings and the like)."""
    if not patterns:
        return text
    return "".join(line for line in LINE.findall(text)
                   if not any(p.search(line.rstrip("\n")) for p in patterns))


MEMCHECK_LINES = 60


def memcheck_problems(outcome):
    """memcheck's errors as problem lines: its report's first lines, each a line of its own."""
    if not outcome.memcheck:
        return []
    lines = outcome.memcheck.splitlines()
    shown = lines[:MEMCHECK_LINES] + ([f"... {len(lines) - MEMCHECK_LINES} more lines"]
                                      if len(lines) > MEMCHECK_LINES else [])
    return ["memcheck found errors in the program:"] + [f"  {line}" for line in shown]


def judge(case, outcome, expected, against):
    """A verdict. A known failure that fails passes as XFAIL, and fails as XPASS once it passes, so that its mark is
    taken away while the fault stays fixed."""
    verdict = _compared(case, outcome, expected, against)
    if expected.known_failure:
        verdict.known_failure = expected.known_failure
        if verdict.problems:
            verdict.missed, verdict.problems = verdict.problems, []
        else:
            verdict.problems.append(f"a known failure passes (marked: {expected.known_failure}); "
                                    "take its xfail mark out of the expectation set")
    return verdict


def changed_since_blessed(case, outcome, against):
    """The verdict on a case whose entry in the set was blessed for another run of it: its outputs
    say nothing about the runtime until it is blessed again or its entry dropped."""
    return Verdict(case, outcome, against, [f"{CHANGED_SINCE_BLESSED} (its entry in {against})"],
                   changed_since_blessed=True)


def _compared(case, outcome, expected, against):
    verdict = Verdict(case, outcome, against)
    verdict.problems += memcheck_problems(outcome)
    if outcome.ending in ("not built", "cannot start"):
        verdict.problems.append(outcome.detail)
        return verdict
    if expected.signal:
        if not (outcome.ending == "signal" and outcome.status == signal_number(expected.signal)):
            verdict.problems.append(f"status: expected to be killed by {expected.signal}; {outcome.detail}")
    elif not outcome.exited:
        verdict.problems.append(f"status: expected exit status {expected.status}; {outcome.detail}")
    elif outcome.status != expected.status:
        verdict.problems.append(f"status: expected exit status {expected.status}, got {outcome.status}")
    for stream, want, got in (("stdout", expected.stdout, outcome.stdout),
                              ("stderr", expected.stderr, outcome.stderr)):
        if stream == "stdout":
            want, got = drop_filtered(want, case.stdout_filter), drop_filtered(got, case.stdout_filter)
        if want != got:
            verdict.problems.append(f"{stream} differs from the expected output")
            verdict.diffs.append((stream, want, got))
    return verdict


def _visible(line):
    """One line as unambiguous text: control, non-ASCII and trailing blank bytes escaped."""
    body = line[:-1] if line.endswith("\n") else line
    stripped = body.rstrip(" ")
    shown = []
    for ch in stripped:
        code = ord(ch)
        if ch == "\\":
            shown.append("\\\\")
        elif ch == "\t":
            shown.append("\\t")
        elif code < 0x20 or code >= 0x7F:
            shown.append(f"\\x{code:02x}")
        else:
            shown.append(ch)
    shown.append("\\x20" * (len(body) - len(stripped)))
    return "".join(shown) + ("" if line.endswith("\n") else NO_NEWLINE)


def _first_difference(old, new):
    return next((i for i, (a, b) in enumerate(zip(old, new)) if a != b), min(len(old), len(new)))


def unified_diff(stream, expected, actual, context=3, sides=("expected", "actual")):
    """The diff lines of expected against actual, as a reader needs them.

    A runaway program's output can be millions of lines, more than difflib can
    take in reasonable time, so the diff covers the texts only up to some way
    past their first difference."""
    old, new = LINE.findall(expected), LINE.findall(actual)
    end = _first_difference(old, new) + DIFF_SPAN
    cut = len(old) > end or len(new) > end
    old, new = [_visible(line) for line in old[:end]], [_visible(line) for line in new[:end]]
    if context is None:
        context = max(len(old), len(new))
    diff = list(difflib.unified_diff(old, new, f"{sides[0]} {stream}", f"{sides[1]} {stream}",
                                     n=context, lineterm=""))
    if cut:
        first = end - DIFF_SPAN + 1
        diff.append(f"... the diff stops {DIFF_SPAN} lines after the first difference (line {first})")
    return diff
