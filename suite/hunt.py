"""./regress hunt: random inputs for every program that reads them, run against two kel runtimes;
each disagreement is reduced to a small case and saved in the suite's case format."""

import argparse
import concurrent.futures
import hashlib
import json
import os
import random
import re
import sys
import threading
import time
from dataclasses import dataclass
from pathlib import Path

from . import build
from . import cases as casefiles
from . import command
from . import execute
from . import explain
from . import files
from . import hunt_inputs as inputs
from . import hunt_reduce as reduce
from . import launcher
from . import runtime_check
from . import toolchain
from . import trace
from .command import SETUP_ERROR
from .files import shown

# Reductions per deliverable: past these, a fault seen again is counted but not reduced again.
REDUCTIONS = 6
PROGRESS_EVERY = 0.5
QUIET_PROGRESS_EVERY = 10.0
# A number as a runtime lays it out: blanks around it, its sign, digits, point, and an exponent
# written with "@" or "e" and any blanks; or an infinity or NaN in any spelling.
NUMBER = re.compile(r" *([-+]?) *(?:(\d+)(?:\.(\d*))?(?: *[@eE] *([-+]?) *(\d+))?|(inf(?:inity)?|nan)) *",
                    re.IGNORECASE)

SHAPE = re.compile(r"(?:bits:)?[-+]?(?:\d+\.?\d*|\.\d+)(?:[eE@][-+]?\d+)?|nan|-?inf")


@dataclass(frozen=True)
class Target:
    """One deliverable as the hunt drives it. kind: "lines" (many inputs, one per line of standard
    input, in one run), "args" (an argument vector), "file" (rounds.txt), "seeded" (the numbers)."""
    deliverable: str
    program: str
    kind: str
    batch: int
    make: object  # (rng, strict) -> one input

    def case(self, inputs_, name="hunt"):
        args, stdin, files = (), "", ()
        if self.kind == "lines":
            stdin = "".join(line + "\n" for line in inputs_)
        elif self.kind == "args":
            args = tuple(inputs_)
        elif self.kind == "file":
            files = (("rounds.txt", inputs_),)
        else:
            args = ("input=" + ",".join(inputs_),)
        return casefiles.Case(self.deliverable, name, self.program, args, stdin, files, None, False,
                              60.0, ())


def caller(routine):
    return lambda rng, strict: inputs.caller_line(rng, routine)


TARGETS = [
    Target("evalix", "evalix", "lines", 1000, inputs.evalix_line),
    *(Target(d, f"call-{d}", "lines", 1000, caller(d))
      for d in ("decform", "intcol", "padform", "fixconv", "flshow", "figshow")),
    Target("runtime", "call-runtime", "lines", 1000, caller("runtime")),
    Target("argshow", "argshow", "args", 16, inputs.argument_vector),
    Target("piseries", "piseries", "file", 16, inputs.rounds_file),
    Target("rootcubes", "rootcubes-seeded", "seeded", 16, lambda rng, strict: inputs.tpk_input(rng)),
]


def layout_free(text):
    """The text with each number's layout taken out: what is left is its sign, digits and
    exponent, and the characters the program writes itself."""
    def canonical(m):
        sign, whole, fraction, exponent_sign, exponent, special = m.groups()
        if special:
            return f"<{sign.replace('+', '')}{special[:3].lower()}>"
        number = sign.replace("+", "") + (whole.lstrip("0") or "0")
        if fraction is not None:
            number += "." + fraction
        if exponent is not None:
            number += f"e{int(exponent_sign + exponent)}"
        return f"<{number}>"
    return NUMBER.sub(canonical, text)


def fixed_deliverables(cases_dir):
    """The deliverables whose every case is marked fixed: their outputs owe nothing to the
    runtime's own layouts, so they are compared exactly against any runtime."""
    every = casefiles.load_cases(cases_dir)
    return {d for d in {c.deliverable for c in every}
            if all(c.fixed for c in every if c.deliverable == d)}


def disagree(reference, yours, exact):
    """Whether two outcomes of one input part ways. exact: every byte and the status count;
    otherwise the outputs with numbers' layouts taken out, whether the run ended with status 0,
    and whether it wrote to standard error."""
    if reference.ending != yours.ending:
        return True
    if not reference.exited:
        return reference.status != yours.status
    if exact:
        return (reference.stdout, reference.stderr, reference.status) != \
            (yours.stdout, yours.stderr, yours.status)
    return ((reference.status == 0) != (yours.status == 0) or bool(reference.stderr) != bool(yours.stderr)
            or layout_free(reference.stdout) != layout_free(yours.stdout))


class Hunt:
    """Runs targets' inputs under both runtimes and keeps count."""

    def __init__(self, targets, bins, starter, exact, strict, seed):
        self.targets, self.bins, self.starter = targets, bins, starter
        self.exact, self.strict = exact, strict
        self.rngs = {t.deliverable: random.Random(f"{seed}:{t.deliverable}") for t in targets}
        self.locks = {t.deliverable: threading.Lock() for t in targets}
        self.tried = {t.deliverable: 0 for t in targets}
        self.differences = {t.deliverable: 0 for t in targets}
        self.found = {t.deliverable: {} for t in targets}  # key -> (case, outcomes)
        self.reductions = {t.deliverable: 0 for t in targets}
        self.count_lock = threading.Lock()

    def run(self, target, inputs_):
        case = target.case(inputs_)
        return [execute.run_case(case, b, b, self.starter) for b in self.bins]

    def differs(self, target, inputs_):
        reference, yours = self.run(target, inputs_)
        return disagree(reference, yours, self.exact[target.deliverable])

    def next_batch(self, target):
        with self.locks[target.deliverable]:
            rng = self.rngs[target.deliverable]
            return [target.make(rng, self.strict) for _ in range(target.batch)]

    def one_round(self, target):
        """A batch of inputs for the target, run under both runtimes; a disagreement is tracked
        down to its inputs and reduced."""
        batch = self.next_batch(target)
        runs = [batch] if target.kind == "lines" else [[item] for item in batch]
        for run_inputs in runs:
            culprit = None
            if target.kind == "lines":
                if self.differs(target, run_inputs):
                    culprit = reduce.ddmin(run_inputs, lambda part: self.differs(target, part))
            elif self.differs(target, run_inputs[0]):
                culprit = run_inputs[0]
            with self.count_lock:
                self.tried[target.deliverable] += len(run_inputs)
                if culprit is not None:
                    self.differences[target.deliverable] += 1
                    if self.reductions[target.deliverable] >= REDUCTIONS:
                        continue
                    self.reductions[target.deliverable] += 1
            if culprit is not None:
                self.keep(target, self.reduced(target, culprit))

    def reduced(self, target, culprit):
        still = lambda x: self.differs(target, x)
        if target.kind == "lines":
            if target.deliverable == "evalix":
                text = reduce.reduce_text("".join(l + "\n" for l in culprit), lambda t: still(t.split("\n")[:-1]))
                return text.split("\n")[:-1] if text.endswith("\n") else text.split("\n")
            return [reduce.reduce_line_words(l, lambda t: still([t.rstrip("\n")])).rstrip("\n")
                    for l in culprit] if len(culprit) == 1 else culprit
        if target.kind == "args":
            kept = reduce.ddmin(culprit, still) if len(culprit) > 1 else culprit
            return [
                "".join(reduce.ddmin(list(a), lambda cs, i=i: still(kept[:i] + ["".join(cs)] + kept[i + 1:])))
                if len(a) > 1 else a for i, a in enumerate(kept)]
        if target.kind == "file":
            return reduce.reduce_text(culprit, still)
        return reduce.simplify_numbers(culprit, still, numeric=lambda w: True)

    def keep(self, target, reduced_inputs):
        case = target.case(reduced_inputs)
        # One fault meets many values: reduced inputs that differ only in their numbers count once.
        key = SHAPE.sub("N", json.dumps([case.args, case.stdin, case.files]))
        outcomes = self.run(target, reduced_inputs)
        with self.count_lock:
            self.found[target.deliverable].setdefault(key, (case, outcomes))


def case_name(case):
    digest = hashlib.sha1(json.dumps([case.program, case.args, case.stdin, case.files]).encode("latin-1",
                                                                                                "replace"))
    return f"hunt-{digest.hexdigest()[:12]}"


def case_entry(case, reference, fixed):
    entry = {"name": case_name(case)}
    if case.program != case.deliverable:
        entry["program"] = case.program
    entry.update({"args": list(case.args), "stdin": case.stdin, "files": dict(case.files),
                  "stdout": reference.stdout, "stderr": reference.stderr, "status": reference.status,
                  "fixed": fixed})
    return entry


def save(save_dir, deliverable, entries):
    """Adds the cases to DIR/DELIVERABLE.json, keeping the cases it holds already."""
    path = Path(save_dir) / f"{deliverable}.json"
    path.parent.mkdir(parents=True, exist_ok=True)
    known = json.loads(path.read_text(encoding="utf-8"))["cases"] if path.exists() else []
    names = {c["name"] for c in known}
    known += [e for e in entries if e["name"] not in names]
    files.write_atomically(path, json.dumps({"deliverable": deliverable, "cases": known}, indent=2) + "\n")
    return path


def show_progress(hunt, out, final=False):
    parts = [f"{t.deliverable} {hunt.tried[t.deliverable]}"
             + (f" ({hunt.differences[t.deliverable]} differ)" if hunt.differences[t.deliverable] else "")
             for t in hunt.targets]
    line = "tried: " + ", ".join(parts)
    if out.isatty():
        out.write("\r\x1b[K" + line + ("\n" if final else ""))
    elif not final:
        out.write(line + "\n")
    out.flush()


def hunt_for(hunt, seconds, jobs, out):
    """Rounds of every target in turn, on jobs workers, until the time is up."""
    deadline = time.monotonic() + seconds
    turn = iter(range(sys.maxsize))
    turn_lock = threading.Lock()

    def worker():
        while time.monotonic() < deadline:
            with turn_lock:
                target = hunt.targets[next(turn) % len(hunt.targets)]
            hunt.one_round(target)

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
    cases = [case for cases_ in found.values() for case, _ in cases_.values()]
    if not cases:
        return {}
    runtimes = (args.against, args.runtime)
    bins = [build.traced_build_dir(args.build, r) / "bin" for r in runtimes]
    try:
        for runtime in runtimes:
            trace.build_traced(args.build, runtime, {c.program for c in cases}, True, starter.emulator,
                               args.built_with)
    except build.BuildFailed as error:
        return {id(c): [f"cannot explain: the traced build failed: {error}"] for c in cases}
    return {id(c): explain.explain(c, bins, labels, starter) for c in cases}


def report(hunt, args, starter, labels, out):
    names = {}
    for deliverable, found in hunt.found.items():
        entries = [case_entry(case, outcomes[0], hunt.exact[deliverable]) for case, outcomes in found.values()]
        for (case, _), entry in zip(found.values(), entries):
            names[id(case)] = entry["name"]
        if entries and args.save:
            out.write(f"saved {len(entries)} case{'s' if len(entries) != 1 else ''} in "
                      f"{shown(save(args.save, deliverable, entries))}\n")
    explained = explanations(hunt.found, args, starter, labels)
    for deliverable, found in hunt.found.items():
        for case, (reference, yours) in found.values():
            out.write(f"\nDIFFERS {deliverable}/{names[id(case)]}\n")
            out.write("\n".join(shown_case(case) + shown_outcome(labels[0], reference)
                                + shown_outcome(labels[1], yours)) + "\n")
            out.write("  explanation: the first call into the runtime that differs\n")
            out.write("".join(f"    {line}\n" for line in explained[id(case)]))
    out.write(f"\n{'deliverable':<12} {'inputs':>9} {'differences':>12} {'distinct cases':>15}\n")
    for t in hunt.targets:
        d = t.deliverable
        out.write(f"{d:<12} {hunt.tried[d]:>9} {hunt.differences[d]:>12} {len(hunt.found[d]):>15}\n")


def parse_args(argv):
    p = argparse.ArgumentParser(
        prog="./regress hunt", formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Run random inputs, biased to the edges, under two kel runtimes; reduce each "
                    "disagreement to a small case.")
    p.add_argument("--runtime", metavar="NEW", required=True,
                   help="the runtime archive under test, e.g. --runtime ~/kel/libkel.a")
    p.add_argument("--against", metavar="OLD",
                   help="compare with this runtime archive, where every difference counts (default: the "
                        "bundled runtime, where only what the programs fix themselves counts)")
    p.add_argument("--seconds", type=float, default=60, help="how long to hunt (default 60), e.g. --seconds 120")
    p.add_argument("--seed", type=int, default=1, help="the inputs' seed (default 1), e.g. --seed 7")
    p.add_argument("--only", metavar="DELIVERABLE", action="append", default=[],
                   help="hunt only in this deliverable (or runtime: the number entry points called "
                        "straight); may be repeated, e.g. --only evalix")
    p.add_argument("--save", metavar="DIR", help="save the reduced cases as case files in DIR, e.g. --save hunted")
    p.add_argument("-j", "--jobs", type=int, default=len(os.sched_getaffinity(0)),
                   help="runs at once (default: all cores)")
    p.add_argument("--build", help="the build directory (default: build, or the toolchain's own, "
                                   "e.g. build-clang)")
    p.add_argument("--cases", default=str(casefiles.CASES_DIR),
                   help="the case files that say which deliverables are fixed (default: suite/cases)")
    p.add_argument("--no-build", action="store_true", help="use what is built without running cmake")
    launcher.add_option(p)
    toolchain.add_option(p)
    args = p.parse_args(argv)
    try:
        args.built_with = toolchain.resolve(args.toolchain)
    except toolchain.ToolchainError as error:
        p.error(str(error))
    args.build = args.build or str(toolchain.build_dir(args.built_with))
    return args


def main(argv, out=sys.stdout):
    args = parse_args(argv)
    known = {t.deliverable for t in TARGETS}
    unknown = [d for d in args.only if d not in known]
    if unknown:
        print(f"regress hunt: no deliverable {', '.join(unknown)} takes inputs (known: {', '.join(sorted(known))})",
              file=sys.stderr)
        return SETUP_ERROR
    unwritable = files.output_dir_problem(args.save) if args.save else None
    if unwritable:
        print(f"regress hunt: cannot write {unwritable}", file=sys.stderr)
        return SETUP_ERROR
    try:
        starter = launcher.choose(args.emulator)
        fixed = fixed_deliverables(args.cases)
    except (launcher.LaunchError, casefiles.CaseFileError) as error:
        print(f"regress hunt: {error}", file=sys.stderr)
        return SETUP_ERROR
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
                build.ensure_built(d, r, quiet=True, emulator=starter.emulator, toolchain=args.built_with,
                                   targets=sorted({t.program for t in targets}))
    except build.BuildFailed as error:
        print(f"regress hunt: build failed: {error}", file=sys.stderr)
        return SETUP_ERROR
    missing = [str(d / "bin" / t.program) for d in dirs for t in targets if not (d / "bin" / t.program).exists()]
    if missing:
        print(f"regress hunt: not built: {', '.join(missing)}", file=sys.stderr)
        return SETUP_ERROR
    strict = args.against is None
    exact = {t.deliverable: not strict or t.deliverable in fixed for t in targets}
    labels = ("bundled" if strict else "reference", "yours")
    reference = shown(args.against) if args.against else "the bundled kelrt"
    out.write(f"hunting for {args.seconds:g} s with seed {args.seed}: {shown(args.runtime)} against "
              f"{reference}; programs run {starter.describe()}\n")
    if strict:
        whole = ", ".join(sorted(d for d in exact if exact[d]))
        out.write("against the bundled runtime only what the programs fix counts: "
                  + (f"every byte for {whole}; elsewhere " if whole else "")
                  + "the output with each number's layout taken out\n")
    hunt = Hunt(targets, [d / "bin" for d in dirs], starter, exact, strict, args.seed)
    hunt_for(hunt, args.seconds, args.jobs, out)
    report(hunt, args, starter, labels, out)
    return 1 if any(hunt.differences.values()) else 0


if __name__ == "__main__":
    command.run("regress hunt", main)
