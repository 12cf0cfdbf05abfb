"""What the runner prints: progress while cases run, each failure in full, and a summary table."""

import os
import shlex
import signal

from . import trace
from .compare import CHANGED, KINDS, WORDS, unified_diff
from .files import shown

DIFF_LINES = 80
RED, GREEN, YELLOW, CYAN = "31", "32", "33", "36"
COLOURS = {"ok": GREEN, "blessed": GREEN, "XFAIL": YELLOW, CHANGED: YELLOW, "XPASS": RED, "-": RED, "+": GREEN, "@": CYAN,
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
    if case.files or case.special_files:
        given.append("files " + ", ".join(name for name, _ in case.files + case.special_files))
    return shlex.join([case.program, *case.args]) + (f"  ({'; '.join(given)})" if given else "")


SPECIAL_SHOWN = {"directory": "an empty directory", "fifo": "a named pipe that nobody writes",
                 "zeros": "a link to /dev/zero"}


def inputs(case):
    """What the program was given besides its arguments, a line each, long texts cut."""
    def shown(text):
        return trace.quoted(text.encode("latin-1"))
    lines = [f"stdin: {shown(case.stdin)}"] if case.stdin else []
    lines += [f"stdin piece {i}: {shown(piece)}" for i, piece in enumerate(case.stdin_chunks, 1)]
    lines += [f"typed {i}: {shown(line)}" for i, line in enumerate(case.terminal or (), 1)]
    lines += [f"file {name}: {shown(content)}" for name, content in case.files]
    lines += [f"file {name}: {SPECIAL_SHOWN[kind]}" for name, kind in case.special_files]
    ways = [{"directory": "stdin: a directory", "closed": "stdin: closed"}.get(case.stdin_from),
            {"full": "stdout: /dev/full", "closed": "stdout: closed",
             "stopped": "stdout: a pipe, stopped while a write blocks"}.get(case.stdout_to),
            case.terminal_streams and f"on a terminal: {', '.join(case.terminal_streams)}",
            case.stdout_closed_after is not None
            and f"stdout: a pipe whose reader goes away after {case.stdout_closed_after} bytes",
            case.ignored_signals and "ignoring " + ", ".join(signal.Signals(n).name for n in case.ignored_signals)]
    return lines + [way for way in ways if way]


def repeated(verdict):
    return f"{verdict.failed_runs} of {verdict.runs} runs failed"


def diff_lines(diff, paint):
    """A diff's lines as shown, indented; a line that ends without a newline carries diff's
    marker, which becomes a line of its own."""
    return ["    " + paint(part, part[:1]) for line in diff for part in line.split("\n")]


def failure_text(verdict, rerun, context=3, limit=DIFF_LINES, paint=lambda text, key: text, kept=None):
    """Everything a reader needs about one failed case, as lines of text; kept: the script that
    runs it by hand, when it was kept."""
    kind = f"{verdict.kind}: {KINDS[verdict.kind]}"
    lines = [f"{paint(verdict.word, verdict.word)} {verdict.case.id}  (expected output: {verdict.against})  {kind}",
             f"  rerun:  {rerun}"]
    if verdict.runs > 1:
        lines.append(f"  runs:   {repeated(verdict)}; what follows is the first that failed")
    if kept:
        lines.append(f"  by hand: {kept}  (under gdb: {kept} --gdb)")
    lines.append(f"  ran:    {command_line(verdict.case)}")
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
        if verdict.runs > 1:
            reason = f" ({repeated(verdict)}{'; ' + reason[2:-1] if reason else ''})"
        self.say(f"[{done}/{total}] {verdict.case.id} ... {word}{reason}")
        self.say(f"    ran {command_line(verdict.case)} in {verdict.outcome.seconds:.3f} s; "
                 f"{verdict.outcome.detail}", VERBOSE)
        for line in inputs(verdict.case):
            self.say(f"      {line}", VERBOSE)

    def failures(self, verdicts, rerun, kept):
        """Each failure in full; kept: case id -> the script that runs it by hand."""
        failed = [v for v in verdicts if not v.passed]
        if failed:
            self.say(f"\n{len(failed)} failed:", QUIET)
        verbose = self.level >= VERBOSE
        for verdict in failed:
            by_hand = kept.get(verdict.case.id)
            self.say("\n" + failure_text(verdict, rerun(verdict.case), None if verbose else 3,
                                         None if verbose else DIFF_LINES, self.paint,
                                         by_hand and shown(by_hand)), QUIET)

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
                 for kind in ("new", "changed", "unchanged", "dropped", "matching")}
        held = sum(b.held for b in blessings)
        rewritten = [b.path.name for b in blessings if b.rewritten]
        gone = [f"{b.path.stem}/{name}" for b in blessings for name in b.dropped]
        self.say(f"\nblessed into {set_dir}: {held} entr{'y differs' if held == 1 else 'ies differ'} from the case files "
                 f"({count['new']} new, {count['changed']} changed, {count['unchanged']} unchanged); "
                 f"dropped {count['matching']} that the case files now give and {count['dropped']} of cases "
                 "that no longer exist" + (f" ({', '.join(gone)})" if gone else "") + "; "
                 + (f"rewrote {', '.join(rewritten)}" if rewritten else "no file rewritten"), QUIET)
        for blessing in blessings:
            for name, old, new in blessing.changed:
                self.say(f"\nchanged {blessing.path.stem}/{name}:", QUIET)
                if not old.fingerprint:
                    self.say("    its case's fingerprint added (it was blessed before entries kept one)", QUIET)
                elif old.fingerprint != new.fingerprint:
                    self.say("    its case changed since it was blessed", QUIET)
                if (old.status, old.signal) != (new.status, new.signal):
                    self.say(f"    status: {old.signal or old.status} -> {new.signal or new.status}", QUIET)
                for stream in ("stdout", "stderr"):
                    diff = unified_diff(stream, getattr(old, stream), getattr(new, stream),
                                        sides=("blessed", "new"))
                    for line in diff_lines(diff, self.paint):
                        self.say(line, QUIET)
