"""./regress hunt: random inputs for every program that reads them, run against two kel runtimes;
each disagreement is reduced to a small case and saved in the suite's case format."""

import argparse
import concurrent.futures
import itertools
import json
import os
import random
import signal
import sys
import threading
import time
from collections import Counter
from dataclasses import dataclass, replace
from pathlib import Path

from . import build
from . import cases as casefiles
from . import command
from . import execute
from . import explain
from . import files
from . import hunt_cases as saved
from . import hunt_inputs as inputs
from . import hunt_judge as judge
from . import hunt_reduce as reduce
from . import launcher
from . import runtime_check
from . import trace
from .command import SETUP_ERROR
from .files import shown

# Reductions per deliverable: past these, a fault seen again is counted but not reduced again.
REDUCTIONS = 6
PROGRESS_EVERY = 0.5
QUIET_PROGRESS_EVERY = 10.0
# A run of the hunt's takes some hundredths of a second; one still running after this is hung.
RUN_LIMIT = 10.0
# Runs of both runtimes, and seconds, that one reduction may take: past them it is left where it
# has got to (a runtime that hangs costs the run's whole time limit at every try).
REDUCTION_RUNS = 400
REDUCTION_SECONDS = 120
# The kinds of round: inputs every runtime must read alike, inputs whose reading is the
# runtime's own, and plain inputs with stdout's reader going away part-way.
PLAIN, FREE, GONE = "plain", "free", "reader gone"
# Below this share of its inputs compared, a deliverable's line in the table is not the whole story.
ENOUGH_COMPARED = 0.95


def each(make):
    """A round's maker from a maker of one input."""
    return lambda rng, size, free: [make(rng, free) for _ in range(size)]


@dataclass(frozen=True)
class Target:
    """One deliverable as the hunt drives it. kind: "lines" (many inputs, one per line of standard
    input, in one run), "args" (an argument vector), "file" (rounds.txt), "seeded" (the numbers).
    A round is `batch` inputs; a target with a `free_batch` takes turns with rounds of that many
    inputs whose reading is the runtime's own, one of "lines" with rounds whose stdout's reader
    goes away. plain(run) says whether every runtime must read a run's inputs alike (None:
    always). messages: the events' messages that the program signals itself."""
    deliverable: str
    program: str
    kind: str
    batch: int
    make: object  # (rng, size, free) -> the inputs of a round
    plain: object = None
    free_batch: int = 0
    messages: tuple = ()

    def case(self, run, gone=None):
        """The run as a case; gone: (count, SIGPIPE ignored) for a reader of stdout that closes
        its end after count bytes, else None."""
        args, stdin, files_ = (), "", ()
        if self.kind == "lines":
            stdin = "".join(line + "\n" for line in run)
        elif self.kind == "args":
            args = tuple(run[0])
        elif self.kind == "file":
            files_ = (("rounds.txt", run[0]),)
        else:
            args = ("input=" + ",".join(run[0]),)
        case = casefiles.Case(self.deliverable, "hunt", self.program, args, stdin, files_, None, False,
                              RUN_LIMIT, ())
        if gone is None:
            return case
        count, ignored = gone
        return replace(case, stdout_closed_after=count, ignored_signals=(signal.SIGPIPE,) if ignored else ())

    @property
    def kinds(self):
        return (PLAIN, *((FREE,) if self.free_batch else ()), *((GONE,) if self.kind == "lines" else ()))


def lines_of(text):
    """The lines that make up the standard input text (the last one ended by the case)."""
    return (text[:-1] if text.endswith("\n") else text).split("\n") if text else []


def caller(routine):
    return each(lambda rng, free: inputs.caller_line(rng, routine))


def loop_messages(variable, final):
    return (f"Illegal cycle {variable} = {final}", f"Corrupt control variable {variable}")


TARGETS = [
    Target("evalix", "evalix", "lines", 1000, inputs.evalix_batch, inputs.evalix_plain, 8),
    *(Target(d, f"call-{d}", "lines", 1000, caller(d))
      for d in ("decform", "intcol", "padform", "fixconv", "flshow", "figshow")),
    Target("runtime", "call-runtime", "lines", 1000, caller("runtime")),
    Target("argshow", "argshow", "args", 16, each(inputs.argument_vector), inputs.arguments_plain, 16,
           loop_messages("ARG", "0, 1, (((int)(_kel_ARGC())) + (1))")),
    Target("piseries", "piseries", "file", 16, each(inputs.rounds_file), inputs.rounds_plain, 16,
           loop_messages("I", "2, 1, ROUNDS")),
    Target("rootcubes", "rootcubes-seeded", "seeded", 16, each(inputs.tpk_input)),
]


def fixed_deliverables(cases_dir):
    """The deliverables whose output is the same under every runtime, as a hunt's plain run sees
    it: every case of theirs that runs with pipes for its streams, read to the end, is marked fixed."""
    every = [c for c in casefiles.load_cases(cases_dir)
             if c.stdin_from == "pipe" and c.stdout_to in ("pipe", "stopped") and not c.terminal_streams
             and c.stdout_closed_after is None]
    return {d for d in {c.deliverable for c in every}
            if all(c.fixed for c in every if c.deliverable == d)}


def input_text(case):
    return "\n".join([case.stdin, *case.args, *(content for _, content in case.files)])


def shard_spec(text):
    """K/N: the shard K of N, both counted from 1."""
    try:
        k, n = (int(part) for part in text.split("/"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not K/N") from None
    if n < 1 or not 1 <= k <= n:
        raise argparse.ArgumentTypeError(f"{text!r}: " + ("N must be at least 1" if n < 1 else "K must be 1 to N"))
    return k, n


class Tally:
    """One deliverable's counts."""

    def __init__(self):
        self.tried = self.compared = self.differences = self.reductions = 0
        self.unconfirmed = 0             # reduced differences that did not show when run once more
        self.not_comparable = Counter()  # how the reference's run of the input alone ended
        self.found = {}                  # fault key -> (case, outcomes)
        self.signatures = set()          # both runtimes' outcomes of each found case


class Hunt:
    """Runs targets' inputs under both runtimes and keeps count."""

    def __init__(self, targets, bins, starter, strict, fixed, seed, shard=(1, 1), max_found=None):
        self.targets, self.bins, self.starter = targets, bins, starter
        self.strict, self.fixed, self.seed = strict, fixed, seed
        self.max_found = max_found
        k, n = shard
        # Round r of a deliverable's rounds of one kind has inputs of its own; shard K of N takes
        # rounds K-1, K-1+N, ...
        self.turns = [(t, kind) for t in targets for kind in t.kinds]
        self.rounds = {turn: itertools.count(k - 1, n) for turn in self.turns}
        self.tallies = {t.deliverable: Tally() for t in targets}
        self.lock = threading.Lock()
        self.stop = threading.Event()

    def how(self, target, run, gone):
        """How much of the run the two runtimes must agree on."""
        if not self.strict:
            return judge.EXACT
        if gone:
            return judge.READER_GONE_OUTPUT if target.deliverable in self.fixed else judge.READER_GONE
        if target.plain is not None and not target.plain(run):
            return judge.ENDING
        return judge.EXACT if target.deliverable in self.fixed else judge.LAYOUT_FREE

    def outcomes(self, target, run, gone=None):
        case = target.case(run, gone)
        return [execute.run_case(case, b, b, self.starter) for b in self.bins]

    def judged(self, target, run, gone=None):
        """(reference, yours, whether they differ); differ is None where the reference's run did
        not end by itself, so that nothing could be compared."""
        reference, yours = self.outcomes(target, run, gone)
        if not judge.ended_by_itself(reference, gone is not None):
            return reference, yours, None
        return reference, yours, judge.disagree(reference, yours, self.how(target, run, gone),
                                                input_text(target.case(run)), target.messages)

    def differs(self, target, run, gone=None):
        return self.judged(target, run, gone)[2] is True

    def round_inputs(self, target, kind=PLAIN):
        """The round's random source and its inputs."""
        with self.lock:
            number = next(self.rounds[target, kind])
        rng = random.Random(f"{self.seed}:{target.deliverable}:{'' if kind == PLAIN else kind + ':'}{number}")
        return rng, target.make(rng, target.free_batch if kind == FREE else target.batch, kind == FREE)

    def one_round(self, target, kind):
        """A round of inputs for the target, run under both runtimes; a disagreement is tracked
        down to its inputs and reduced."""
        rng, batch = self.round_inputs(target, kind)
        for run in [batch] if target.kind == "lines" else [[item] for item in batch]:
            whole = self.settle(target, run)
            if kind == GONE and whole is not None and whole.stdout:
                self.leave_part_way(target, run, rng, len(whole.stdout))

    def leave_part_way(self, target, run, rng, length):
        """The run again, with stdout's reader going away: after a count of bytes drawn from the
        reference's whole output of `length`, at least a pipe's page short of its end so that the
        program writes again after the close; or before the program starts. SIGPIPE is ignored in
        half of them, so that the runtime meets the failed write itself."""
        room = length - execute.PIPE_PAGE - 1
        count = rng.randint(1, room) if room > execute.PIPE_PAGE and rng.random() < 0.75 else 0
        self.settle(target, run, (count, rng.random() < 0.5))

    def settle(self, target, run, gone=None):
        """Compares one run; returns the reference's outcome where that ended by itself. A run that
        does not end by itself under the reference (it floods, hangs, is killed or cannot start)
        compares nothing: it is split until its parts end, and an input whose run alone does not
        end is not comparable. The runs with the reader gone are of inputs counted already."""
        reference, _, differ = self.judged(target, run, gone)
        tally = self.tallies[target.deliverable]
        if differ is None and len(run) > 1 and gone is None:
            if not self.stop.is_set():
                half = len(run) // 2
                self.settle(target, run[:half])
                self.settle(target, run[half:])
            return None
        with self.lock:
            if gone is None:
                tally.tried += len(run)
                if differ is None:
                    tally.not_comparable[reference.ending] += len(run)
                else:
                    tally.compared += len(run)
            if not differ:
                return reference if differ is not None else None
            tally.differences += 1
            if tally.reductions >= REDUCTIONS or self.stop.is_set():
                return reference
            tally.reductions += 1
        if gone and gone[0] and self.differs(target, run, (0, gone[1])):
            gone = (0, gone[1])  # the reader gone from the start: the same whatever the output
        tries, until = itertools.count(), time.monotonic() + REDUCTION_SECONDS
        still = lambda part: (next(tries) < REDUCTION_RUNS and time.monotonic() < until
                              and self.differs(target, part, gone))
        culprit = reduce.ddmin(run, still) if len(run) > 1 else run
        self.keep(target, self.reduced(target, culprit, still), gone)
        return reference

    @staticmethod
    def reduced(target, culprit, still):
        if target.kind == "lines":
            if target.deliverable == "evalix":
                return lines_of(reduce.reduce_text("".join(l + "\n" for l in culprit), lambda t: still(lines_of(t))))
            return [reduce.reduce_line_words(l, lambda t: still([t.rstrip("\n")])).rstrip("\n")
                    for l in culprit] if len(culprit) == 1 else culprit
        item = culprit[0]
        if target.kind == "args":
            kept = reduce.ddmin(item, lambda v: still([v])) if len(item) > 1 else item
            return [[
                "".join(reduce.ddmin(list(a), lambda cs, i=i: still([kept[:i] + ["".join(cs)] + kept[i + 1:]])))
                if len(a) > 1 else a for i, a in enumerate(kept)]]
        if target.kind == "file":
            return [reduce.reduce_text(item, lambda t: still([t]))]
        return [reduce.simplify_numbers(item, lambda ws: still([ws]), numeric=lambda w: True)]

    def keep(self, target, reduced_run, gone):
        """Keeps the reduced case, unless it does not differ when run once more (a difference of
        the moment, such as a run slowed past its time limit) or it meets a fault found already:
        its inputs differ only in their numbers, or both runtimes give the same outputs as for
        another."""
        case = target.case(reduced_run, gone)
        *outcomes, differ = self.judged(target, reduced_run, gone)
        key = saved.fault_key(case.deliverable, saved.inputs_of(case))
        signature = tuple((o.ending, o.status, o.stdout, o.stderr) for o in outcomes)
        tally = self.tallies[target.deliverable]
        with self.lock:
            if not differ:
                tally.unconfirmed += 1
                return
            if key in tally.found or signature in tally.signatures:
                return
            tally.found[key] = (case, outcomes)
            tally.signatures.add(signature)
            if self.max_found and sum(len(t.found) for t in self.tallies.values()) >= self.max_found:
                self.stop.set()


def show_progress(hunt, out, final=False):
    tallies = hunt.tallies.items()
    line = "tried: " + ", ".join(f"{d} {t.tried}" + (f" ({t.differences} differ)" if t.differences else "")
                                 for d, t in tallies)
    if out.isatty():
        out.write("\r\x1b[K" + line + ("\n" if final else ""))
    elif not final:
        out.write(line + "\n")
    out.flush()


def hunt_for(hunt, seconds, jobs, out):
    """Rounds of every target in turn, on jobs workers, until the time is up or enough is found."""
    deadline = time.monotonic() + seconds
    turn = itertools.count()
    turn_lock = threading.Lock()

    def worker():
        while time.monotonic() < deadline and not hunt.stop.is_set():
            with turn_lock:
                target, kind = hunt.turns[next(turn) % len(hunt.turns)]
            hunt.one_round(target, kind)

    every = PROGRESS_EVERY if out.isatty() else QUIET_PROGRESS_EVERY
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        workers = [pool.submit(worker) for _ in range(jobs)]
        while not all(w.done() for w in workers):
            concurrent.futures.wait(workers, timeout=every)
            show_progress(hunt, out)
        for w in workers:
            w.result()
    show_progress(hunt, out, final=True)


def shown_case(case):
    lines = [f"  program: {case.program}" + (f"  args: {json.dumps(list(case.args))}" if case.args else "")]
    if case.stdin:
        lines += [f"  stdin:  {trace.quoted(l.encode('latin-1'))}" for l in case.stdin.splitlines()]
    for name, content in case.files:
        lines.append(f"  {name}: {trace.quoted(content.encode('latin-1'))}")
    if case.stdout_closed_after is not None:
        lines.append(f"  stdout: its reader goes away after {case.stdout_closed_after} bytes"
                     + (", with SIGPIPE ignored" if case.ignored_signals else ""))
    return lines


def shown_outcome(label, outcome):
    lines = [f"  {label}: {outcome.detail}"]
    for stream in ("stdout", "stderr"):
        text = getattr(outcome, stream)
        if text:
            lines += [f"    {stream}: {trace.quoted(l.encode('latin-1'))}" for l in text.splitlines()]
    return lines


def explanations(found, args, starter, labels):
    """--explain's first call that differs, for each reduced case, from the traced builds."""
    cases = [case for case, _ in found]
    if not cases:
        return {}
    runtimes = (args.against, args.runtime)
    bins = [build.traced_build_dir(args.build, r) / "bin" for r in runtimes]
    try:
        for runtime in runtimes:
            trace.build_traced(args.build, runtime, {c.program for c in cases}, True, starter.emulator)
    except build.BuildFailed as error:
        return {id(c): [f"cannot explain: the traced build failed: {error}"] for c in cases}
    return {id(c): explain.explain(c, bins, labels, starter) for c in cases}


def not_comparable_note(deliverable, tally):
    endings = ", ".join(f"{n} {ending}" for ending, n in tally.not_comparable.most_common())
    share = tally.compared / tally.tried if tally.tried else 0.0
    if not tally.compared:
        return f"{deliverable}: nothing compared" + (f": alone, each input's run {endings} under the reference"
                                                      if endings else ": no input tried")
    return (f"{deliverable}: only {100 * share:.1f}% of the inputs compared; alone, the rest's runs "
            f"{endings} under the reference")


def report(hunt, args, starter, labels, out):
    """The reduced cases, saved and shown, and the table; returns what the table does."""
    found = [(d, case, outcomes) for d, t in hunt.tallies.items() for case, outcomes in t.found.values()]
    entries = {}
    for d, case, outcomes in found:
        entries.setdefault(d, []).append(saved.case_entry(case, outcomes[0], d in hunt.fixed))
    if args.save:
        for d, listed in entries.items():
            path, added = saved.save(args.save, d, listed)
            out.write(f"saved {added} case{'s' if added != 1 else ''} in {shown(path)}"
                      + (f" ({len(listed) - added} met a fault it holds)" if added < len(listed) else "") + "\n")
    explained = explanations([(case, outcomes) for _, case, outcomes in found], args, starter, labels)
    for d, case, (reference, yours) in found:
        out.write(f"\nDIFFERS {d}/{saved.case_name(case)}\n")
        out.write("\n".join(shown_case(case) + shown_outcome(labels[0], reference)
                            + shown_outcome(labels[1], yours)) + "\n")
        out.write("  explanation: the first call into the runtime that differs\n")
        out.write("".join(f"    {line}\n" for line in explained[id(case)]))
    return table(hunt, out)


def table(hunt, out):
    """The counts of each deliverable, and what they leave out; returns whether every
    deliverable compared something (or was left untried by a hunt stopped as asked)."""
    out.write(f"\n{'deliverable':<12} {'inputs':>9} {'compared':>9} {'not comparable':>15} "
              f"{'differences':>12} {'distinct cases':>15}\n")
    for d, t in hunt.tallies.items():
        out.write(f"{d:<12} {t.tried:>9} {t.compared:>9} {sum(t.not_comparable.values()):>15} "
                  f"{t.differences:>12} {len(t.found):>15}\n")
    # A hunt stopped once it had found enough leaves some deliverables untried, as asked.
    stopped = hunt.stop.is_set()
    notes = [not_comparable_note(d, t) for d, t in hunt.tallies.items()
             if (t.tried or not stopped) and (not t.tried or t.compared < ENOUGH_COMPARED * t.tried)]
    out.write("".join(f"{note}\n" for note in notes))
    out.write("".join(f"{d}: {t.unconfirmed} reduced difference{'s' if t.unconfirmed != 1 else ''} did not "
                      "show when run once more, and went unsaved\n" for d, t in hunt.tallies.items() if t.unconfirmed))
    if stopped:
        out.write(f"stopped once {hunt.max_found} distinct case{'s' if hunt.max_found != 1 else ''} "
                  "had been found\n")
    return all(t.compared or (stopped and not t.tried) for t in hunt.tallies.values())


def parse_args(argv):
    p = argparse.ArgumentParser(
        prog="./regress hunt", formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Run random inputs, biased to the edges, under two kel runtimes; reduce each "
                    "disagreement to a small case.")
    p.add_argument("--runtime", metavar="NEW",
                   help="the runtime archive under test (required to hunt), e.g. --runtime ~/kel/libkel.a")
    p.add_argument("--against", metavar="OLD",
                   help="compare with this runtime archive, where every difference counts (default: the "
                        "bundled runtime, where only what the programs fix themselves counts)")
    p.add_argument("--seconds", type=float, default=60, help="how long to hunt (default 60), e.g. --seconds 120")
    p.add_argument("--seed", type=int, default=1, help="the inputs' seed (default 1), e.g. --seed 7")
    p.add_argument("--shard", metavar="K/N", type=shard_spec, default=(1, 1),
                   help="hunt only the K-th of N shares of the rounds, which no other shard tries "
                        "(with the same --seed), e.g. --shard 2/4")
    p.add_argument("--max-differences", metavar="N", type=int,
                   help="stop once N distinct cases have been found, e.g. --max-differences 3")
    p.add_argument("--stop-at-first", dest="max_differences", action="store_const", const=1,
                   help="stop at the first distinct case (--max-differences 1)")
    p.add_argument("--only", metavar="DELIVERABLE", action="append", default=[],
                   help="hunt only in this deliverable (or runtime: the number entry points called "
                        "straight); may be repeated, e.g. --only evalix")
    p.add_argument("--save", metavar="DIR", help="save the reduced cases as case files in DIR, e.g. --save hunted")
    p.add_argument("--merge", metavar="DIR", nargs="+",
                   help="instead of hunting, add the cases saved in these directories (by shards) to "
                        "--save's, one case for each fault, e.g. --save hunted --merge shard1 shard2")
    p.add_argument("-j", "--jobs", type=int, default=len(os.sched_getaffinity(0)),
                   help="runs at once (default: all cores)")
    p.add_argument("--build", default=str(build.DEFAULT_BUILD), help="the build directory (default: build)")
    p.add_argument("--cases", default=str(casefiles.CASES_DIR),
                   help="the case files that say which deliverables are fixed (default: suite/cases)")
    p.add_argument("--no-build", action="store_true", help="use what is built without running cmake")
    launcher.add_option(p)
    args = p.parse_args(argv)
    if args.merge and not args.save:
        p.error("--merge needs --save DIR, the directory to merge into")
    if not args.merge and not args.runtime:
        p.error("the following arguments are required: --runtime")
    if args.max_differences is not None and args.max_differences < 1:
        p.error("--max-differences must be at least 1")
    return args


def merge(args, out):
    try:
        for path, added in saved.merge(args.save, args.merge):
            out.write(f"{shown(path)}: {added} case{'s' if added != 1 else ''} added\n")
    except casefiles.CaseFileError as error:
        return command.refuse("regress hunt", str(error))
    return command.PASSED


def main(argv, out=sys.stdout):
    args = parse_args(argv)
    unwritable = files.output_dir_problem(args.save) if args.save else None
    if unwritable:
        return command.refuse("regress hunt", f"cannot write {unwritable}")
    if args.merge:
        return merge(args, out)
    known = {t.deliverable for t in TARGETS}
    unknown = [d for d in args.only if d not in known]
    if unknown:
        return command.refuse("regress hunt", f"no deliverable {', '.join(unknown)} takes inputs "
                                              f"(known: {', '.join(sorted(known))})")
    try:
        starter = launcher.choose(args.emulator)
        fixed = fixed_deliverables(args.cases)
    except (launcher.LaunchError, casefiles.CaseFileError) as error:
        return command.refuse("regress hunt", str(error))
    for archive in filter(None, (args.runtime, args.against)):
        trouble = runtime_check.refusal(archive)
        if trouble:
            print(trouble, file=sys.stderr)
            return SETUP_ERROR
    dirs = [build.runtime_build_dir(args.build, r) if r else Path(args.build) for r in (args.against, args.runtime)]
    targets = [t for t in TARGETS if not args.only or t.deliverable in args.only]
    try:
        if not args.no_build:
            # Only the programs hunted: a runtime's whole tree would build its unit tests too.
            for d, r in zip(dirs, (args.against, args.runtime)):
                build.ensure_built(d, r, quiet=True, emulator=starter.emulator,
                                   targets=sorted({t.program for t in targets}))
    except build.BuildFailed as error:
        return command.refuse("regress hunt", f"build failed: {error}")
    missing = [str(d / "bin" / t.program) for d in dirs for t in targets if not (d / "bin" / t.program).exists()]
    if missing:
        return command.refuse("regress hunt", f"not built: {', '.join(missing)}")
    strict = args.against is None
    labels = ("bundled" if strict else "reference", "yours")
    reference = shown(args.against) if args.against else "the bundled kelrt"
    k, n = args.shard
    out.write(f"hunting for {args.seconds:g} s with seed {args.seed}"
              + (f", shard {k} of {n}" if n > 1 else "")
              + f": {shown(args.runtime)} against {reference}; programs run {starter.describe()}\n")
    if strict:
        whole = ", ".join(sorted(t.deliverable for t in targets if t.deliverable in fixed))
        out.write("against the bundled runtime only what the programs fix counts: "
                  + (f"every byte for {whole}; elsewhere " if whole else "")
                  + "the output with each number's layout taken out; for inputs whose reading is the "
                    "runtime's own, how the run ends; of a report, what it quotes\n")
    hunt = Hunt(targets, [d / "bin" for d in dirs], starter, strict, fixed, args.seed, args.shard,
                args.max_differences)
    hunt_for(hunt, args.seconds, args.jobs, out)
    if not report(hunt, args, starter, labels, out):
        print("regress hunt: some deliverable compared nothing (see the table)", file=sys.stderr)
        return SETUP_ERROR
    return 1 if any(t.differences for t in hunt.tallies.values()) else 0


if __name__ == "__main__":
    command.run("regress hunt", main)
