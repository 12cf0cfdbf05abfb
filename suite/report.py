"""What the runner prints: progress while cases run, each failure in full, and a summary table."""

import os
import shlex

from .compare import KINDS, WORDS, unified_diff

DIFF_LINES = 80
RED, GREEN, YELLOW, CYAN = "31", "32", "33", "36"
COLOURS = {"ok": GREEN, "blessed": GREEN, "XFAIL": YELLOW, "XPASS": RED, "-": RED, "+": GREEN, "@": CYAN,
           **{word: RED for word in WORDS.values()}}
QUIET, NORMAL, VERBOSE = 0, 1, 2


def wants_colour(stream):
    return stream.isatty() and "NO_COLOR" not in os.environ and os.environ.get("TERM") != "dumb"


def command_line(case):
    """How the program was started, in shell words, with what it was given besides."""
    given = []
    stdin = "".join(case.stdin_pieces)
    if stdin:
        given.append(f"{len(stdin)} bytes on stdin")
    if case.files:
        given.append("files " + ", ".join(name for name, _ in case.files))
    return shlex.join([case.program, *case.args]) + (f"  ({'; '.join(given)})" if given else "")


def diff_lines(diff, paint):
    """A diff's lines as shown, indented; a line that ends without a newline carries diff's
    marker, which becomes a line of its own."""
    return ["    " + paint(part, part[:1]) for line in diff for part in line.split("\n")]


def failure_text(verdict, rerun, context=3, limit=DIFF_LINES, paint=lambda text, key: text):
    """Everything a reader needs about one failed case, as lines of text."""
    kind = f"{verdict.kind}: {KINDS[verdict.kind]}"
    lines = [f"{paint(verdict.word, verdict.word)} {verdict.case.id}  (expected output: {verdict.against})  {kind}",
             f"  rerun:  {rerun}",
             f"  ran:    {command_line(verdict.case)}"]
    lines += [f"  {problem}" for problem in verdict.problems]
    for stream, expected, actual in verdict.diffs:
        diff = unified_diff(stream, expected, actual, context)
        shown = diff if limit is None else diff[:limit]
        lines += diff_lines(shown, paint)
        if len(shown) < len(diff):
            lines.append(f"    ... {len(diff) - len(shown)} more diff lines; rerun with -v to see them all")
    if verdict.explanation:
        lines.append("  explanation: the first call into the runtime that differs")
        lines += [f"    {line}" for line in verdict.explanation]
    return "\n".join(lines)


class Report:
    def __init__(self, stream, level, colour):
        self.stream = stream
        self.level = level
        self.colour = colour

    def paint(self, text, key):
        code = COLOURS.get(key)
        return f"\033[{code}m{text}\033[0m" if self.colour and code else text

    def say(self, text="", level=NORMAL):
        if self.level >= level:
            print(text, file=self.stream, flush=True)

    def progress(self, done, total, verdict):
        word = self.paint(verdict.word, verdict.word)
        reason = f" ({verdict.problems[0]})" if verdict.problems else f" ({verdict.slow})" if verdict.slow else ""
        if verdict.missed:
            reason = f" ({verdict.known_failure}: {verdict.missed[0]})"
        self.say(f"[{done}/{total}] {verdict.case.id} ... {word}{reason}")
        self.say(f"    ran {command_line(verdict.case)} in {verdict.outcome.seconds:.3f} s; "
                 f"{verdict.outcome.detail}", VERBOSE)

    def failures(self, verdicts, rerun):
        failed = [v for v in verdicts if not v.passed]
        if failed:
            self.say(f"\n{len(failed)} failed:", QUIET)
        verbose = self.level >= VERBOSE
        for verdict in failed:
            self.say("\n" + failure_text(verdict, rerun(verdict.case), None if verbose else 3,
                                         None if verbose else DIFF_LINES, self.paint), QUIET)

    def summary(self, verdicts, wall_seconds, jobs):
        rows = {}
        for v in verdicts:
            row = rows.setdefault(v.case.deliverable, [0, 0, 0, 0.0])
            row[0] += 1
            row[1 if v.passed else 2] += 1
            row[3] += v.outcome.seconds
        total = [sum(r[i] for r in rows.values()) for i in range(4)]
        width = max(len("deliverable"), *(len(d) for d in rows))
        self.say(f"\n{'deliverable':<{width}}  cases  passed  failed     time")
        for name, (cases, passed, failed, seconds) in [*rows.items(), ("total", total)]:
            self.say(f"{name:<{width}}  {cases:5}  {passed:6}  {failed:6}  {seconds:6.2f}s")
        self.say(f"(time: each case's own run time, added up; wall clock {wall_seconds:.2f} s "
                 f"with {jobs} job{'s' if jobs != 1 else ''})")
        slow = [v for v in verdicts if v.slow]
        if slow:
            self.say(f"{len(slow)} passed slower than their records allow, and were given more time "
                     "(slow, not hung): " + "; ".join(f"{v.case.id} ({v.slow})" for v in slow), QUIET)
        known = sum(1 for v in verdicts if v.passed and v.known_failure)
        kinds = [v.kind for v in verdicts if not v.passed]
        split = [", ".join(f"{kinds.count(kind)} {kind}" for kind in KINDS if kind in kinds),
                 f"{known} of the passed known failures, XFAIL" if known else ""]
        self.say(f"{total[1]} passed, {total[2]} failed"
                 + (f" ({'; '.join(filter(None, split))})" if any(split) else ""), QUIET)

    def blessings(self, blessings, set_dir):
        """What --bless changed in the set: counts, and a diff of each changed entry."""
        count = {kind: sum(len(getattr(b, kind)) for b in blessings)
                 for kind in ("new", "changed", "unchanged", "dropped")}
        rewritten = [b.path.name for b in blessings if b.rewritten]
        self.say(f"\nblessed into {set_dir}: {count['new']} new, {count['changed']} changed, "
                 f"{count['unchanged']} unchanged, {count['dropped']} dropped; "
                 + (f"rewrote {', '.join(rewritten)}" if rewritten else "no file rewritten"), QUIET)
        for blessing in blessings:
            for name, old, new in blessing.changed:
                self.say(f"\nchanged {blessing.path.stem}/{name}:", QUIET)
                if old.status != new.status:
                    self.say(f"    status: {old.status} -> {new.status}", QUIET)
                for stream in ("stdout", "stderr"):
                    diff = unified_diff(stream, getattr(old, stream), getattr(new, stream),
                                        sides=("blessed", "new"))
                    for line in diff_lines(diff, self.paint):
                        self.say(line, QUIET)
