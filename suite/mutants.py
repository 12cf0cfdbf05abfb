"""./regress mutants: how much of a kel runtime the cases check, by building it with one-token changes and running the cases."""

import argparse
import concurrent.futures
import json
import os
import queue
import random
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path

from . import build
from . import cases as casefiles
from . import execute
from . import launcher
from . import mutation
from . import command
from . import selection
from .command import SETUP_ERROR
from .expectations import Expectations
from .files import shown
from .files import write_atomically

BUNDLED = build.ROOT / "kelrt"
# The build's own flags for the bundled runtime (cmake/i386.cmake, the Release type).
COMPILE = ["g++", "-m32", "-msse2", "-mfpmath=sse", "-fwrapv", "-O2", "-std=c++20"]
# Line counts are exact only where nothing is optimised away.
COVERAGE_FLAGS = ["--coverage", "-O0"]
COVERAGE_EXIT = Path(__file__).with_name("coverage_exit.c")
# A mutant that makes a case run this many times longer than it does unchanged has hung.
HANG_FACTOR = 10
HANG_FLOOR = 1.0


class SetupFailed(Exception):
    """The run cannot start: the unchanged runtime does not build, or no case can be used."""


class NotBuilt(Exception):
    """A mutant whose runtime or programs do not build; the message says which step failed."""


def run_step(command, cwd=None, env=None, shell=False):
    done = subprocess.run(command, cwd=cwd, env=env, shell=shell, capture_output=True, text=True)
    if done.returncode != 0:
        shown = command if shell else " ".join(str(c) for c in command)
        tail = (done.stdout + done.stderr).strip().splitlines()[-3:]
        raise NotBuilt(f"{shown} exited with status {done.returncode}: {' / '.join(tail)}")


class BundledRuntime:
    """A copy of kelrt/ whose objects are compiled one by one, so a change recompiles only its own
    (or every object, for the header); the unchanged objects are kept, to be put back after."""

    def __init__(self, directory, extra_flags=()):
        self.top = Path(directory) / "src"
        self.source = self.top / "kelrt"
        self.unchanged = Path(directory) / "obj-unchanged"
        self.objects = Path(directory) / "obj"
        self.archive = Path(directory) / "libkel.a"
        self.flags = [*COMPILE, *extra_flags, f"-I{self.top}", f"-I{build.ROOT}"]
        self.changed = set()

    @staticmethod
    def files():
        return [f"kelrt/{f}" for f in mutation.source_files(BUNDLED)]

    def include_dirs(self):
        return [build.ROOT]

    def units(self):
        return {f for f in self.files() if not f.endswith(".h")}

    def object_name(self, relative):
        return Path(relative).stem + ".o"

    def prepare(self):
        shutil.rmtree(self.top, ignore_errors=True)
        shutil.copytree(BUNDLED, self.source)
        for directory in (self.unchanged, self.objects):
            shutil.rmtree(directory, ignore_errors=True)
            directory.mkdir(parents=True)
        for relative in sorted(self.units()):
            run_step([*self.flags, "-c", self.top / relative, "-o", self.unchanged / self.object_name(relative)])
        self.changed = self.units()
        self.rebuild([])

    def rebuild(self, changed):
        """Puts back the objects the last change made, compiles those this one makes, and archives."""
        for relative in self.changed:
            shutil.copy(self.unchanged / self.object_name(relative), self.objects)
        units = self.units()
        self.changed = set()
        for relative in changed:
            self.changed |= {relative} if relative in units else units
        for relative in sorted(self.changed):
            run_step([*self.flags, "-c", self.top / relative, "-o", self.objects / self.object_name(relative)])
        run_step(["ar", "rcs", self.archive, *sorted(self.objects.glob("*.o"))])

    @property
    def outputs(self):
        return self.unchanged

    def path(self, relative):
        return self.top / relative


class ForeignRuntime:
    """A copy of a maintainer's source directory, built by their own command run in the copy."""

    def __init__(self, directory, source, command, archive, extra_flags=()):
        self.original = Path(source).resolve()
        self.top = Path(directory) / "src"
        self.command = command
        self.archive = self.top / archive
        self.environment = dict(os.environ)
        if extra_flags:
            for variable in ("CFLAGS", "CXXFLAGS"):
                self.environment[variable] = " ".join(filter(None, [os.environ.get(variable), *extra_flags]))

    def files(self):
        return mutation.source_files(self.original)

    def include_dirs(self):
        return [self.original, build.ROOT]

    def prepare(self):
        shutil.rmtree(self.top, ignore_errors=True)
        shutil.copytree(self.original, self.top, symlinks=True)
        self.rebuild([])

    @property
    def outputs(self):
        return self.top

    def rebuild(self, changed):
        run_step(self.command, cwd=self.top, env=self.environment, shell=True)
        if not self.archive.is_file():
            raise NotBuilt(f"{self.command!r} made no archive at {self.archive}")

    def path(self, relative):
        return self.top / relative


class Slot:
    """One worker's runtime copy and the build tree whose programs link it."""

    def __init__(self, runtime, tree, emulator, link_flags=()):
        self.runtime = runtime
        self.tree = Path(tree)
        self.emulator = emulator
        self.link_flags = link_flags

    def prepare(self, programs):
        self.runtime.prepare()
        options = ["--preset", "default", "-DBUILD_TESTING=ON"]
        # The tree links the copy's archive itself: each mutant's archive is newer, so a build relinks.
        settings = {"KEL_RUNTIME": str(self.runtime.archive)}
        if self.link_flags:
            settings["CMAKE_EXE_LINKER_FLAGS"] = f"-m32 {' '.join(self.link_flags)}"
        try:
            build.configure(build.ROOT, self.tree, True, options, self.emulator, settings)
        except build.BuildFailed as error:
            raise NotBuilt(str(error)) from None
        self.link(programs)

    def link(self, programs):
        run_step(["cmake", "--build", self.tree, "--target", *sorted(programs)])

    @property
    def bin(self):
        return self.tree / "bin"

    def build_mutant(self, mutant, programs):
        """Builds the runtime with the mutant and relinks the programs; the copy is restored after."""
        path = self.runtime.path(mutant.file)
        original = path.read_bytes()
        path.write_bytes(mutant.applied(original))
        try:
            self.runtime.rebuild([mutant.file])
        finally:
            path.write_bytes(original)
            # Restored, the file is newer than the mutant's object, so the next build remakes it.
            os.utime(path)
        self.link(programs)


def parse_args(argv):
    p = argparse.ArgumentParser(
        prog="./regress mutants",
        description="Build a kel runtime with one-token changes to its sources (mutants), run the cases "
                    "that execute each changed line, and report the mutants that no case catches.")
    p.add_argument("--source", metavar="DIR",
                   help="mutate the C or C++ sources under DIR instead of the bundled runtime's, "
                        "e.g. --source ~/kel/src")
    p.add_argument("--build", metavar="CMD", dest="build_command",
                   help="with --source: the shell command that builds the archive, run in a copy of DIR, "
                        "e.g. --build 'make libkel.a'")
    p.add_argument("--archive", metavar="PATH",
                   help="with --source: the archive the command makes, relative to DIR, e.g. --archive libkel.a")
    p.add_argument("--expect", metavar="SET",
                   help="check cases not marked fixed against this expectation set (see ./regress --bless), "
                        "e.g. --expect expect/mine")
    p.add_argument("--sample", metavar="N", type=int,
                   help="try only N mutants chosen at random, e.g. --sample 20")
    p.add_argument("--seed", metavar="S", type=int, default=1,
                   help="the random choice of --sample (default 1), e.g. --seed 7")
    p.add_argument("--at", metavar="FILE:LINE", action="append", default=[],
                   help="try only the mutants of this line (may be repeated), e.g. --at kelrt/write.cc:7")
    p.add_argument("--only", metavar="PATTERN", action="append", default=[],
                   help="use only the matching cases, as ./regress --only takes them, e.g. --only 'evalix/*'")
    p.add_argument("--cases", metavar="DIR", default=str(casefiles.CASES_DIR),
                   help="read case files from DIR (default: suite/cases)")
    p.add_argument("-j", "--jobs", metavar="N", type=int, default=len(os.sched_getaffinity(0)),
                   help="try N mutants at once, each in a build of its own (default: all cores), e.g. -j 2")
    p.add_argument("--work", metavar="DIR", default=str(build.DEFAULT_BUILD / "mutants"),
                   help="where the copies and their builds live (default: build/mutants)")
    p.add_argument("--report", metavar="FILE",
                   help="where the results are written as JSON (default: WORK/report.json)")
    launcher.add_option(p)
    args = p.parse_args(argv)
    foreign = [args.source, args.build_command, args.archive]
    if any(foreign) and not all(foreign):
        p.error("--source, --build and --archive go together")
    if args.archive and Path(args.archive).is_absolute():
        p.error("--archive is relative to --source: the command runs in a copy of it")
    if args.jobs < 1 or (args.sample is not None and args.sample < 1):
        p.error("-j and --sample need at least 1")
    # Absolute, since the coverage data are written by the objects' paths from where the cases run.
    args.work = str(Path(args.work).resolve())
    args.report = args.report or str(Path(args.work) / "report.json")
    return args


def make_runtime(args, directory, extra_flags=()):
    if args.source:
        return ForeignRuntime(directory, args.source, args.build_command, args.archive, extra_flags)
    return BundledRuntime(directory, extra_flags)


def run_cases(chosen, bin_dir, starter, expectations, jobs, variables=None):
    """(case, verdict) for each case, run jobs at a time; variables(case) gives its environment."""
    def one(case):
        outcome = execute.run_case(case, bin_dir, bin_dir, starter,
                                   variables=variables(case) if variables else None)
        return case, expectations.judge(case, outcome)
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        return list(pool.map(one, chosen))


def gcov_lines(data_files, cwd, top):
    """(file relative to top, line) -> count, from gcov's reading of the data (or note) files."""
    counts = {}
    if not data_files:
        return counts
    done = subprocess.run(["gcov", "--json-format", "--stdout", *map(str, data_files)], cwd=cwd,
                          capture_output=True, text=True)
    if done.returncode != 0:
        raise NotBuilt(f"gcov cannot read the coverage data in {cwd}: {done.stderr.strip()[-300:]}")
    for document in done.stdout.splitlines():
        report = json.loads(document)
        for entry in report["files"]:
            path = (Path(report["current_working_directory"]) / entry["file"]).resolve()
            if not path.is_relative_to(top):
                continue
            relative = str(path.relative_to(top))
            for line in entry["lines"]:
                key = (relative, line["line_number"])
                counts[key] = counts.get(key, 0) + line["count"]
    return counts


class Coverage:
    """Which cases execute each line of the runtime, from a --coverage build run over every case."""

    def __init__(self, executed_by, known, unrecorded=frozenset()):
        self.executed_by = executed_by  # (file, line) -> ids of the cases that execute it
        self.known = known              # the lines gcov instruments; None when there is no coverage
        # Cases whose line data are missing or not the real build's: such a case may execute any line.
        self.unrecorded = set(unrecorded)
        self.reaching = set().union(self.unrecorded, *executed_by.values())  # any of the runtime

    def cases_for(self, mutant):
        """The ids of the cases that execute the mutant's line, or None when every case must run
        (no coverage); for a line without code of its own, such as a constant in a declaration,
        the cases that execute any of the runtime."""
        key = (mutant.file, mutant.line)
        if self.known is None:
            return None
        if key not in self.known:
            return self.reaching
        return self.executed_by.get(key, set()) | self.unrecorded


def coverage_link_flags(work):
    """Links a coverage build's programs so that _exit, too, writes the line counts."""
    wrapper = work / "coverage_exit.o"
    work.mkdir(parents=True, exist_ok=True)
    run_step(["gcc", "-m32", "-c", COVERAGE_EXIT, "-o", wrapper])
    return ["--coverage", "-Wl,--wrap=_exit", str(wrapper)]


def without_line_data(verdicts, data):
    """The ids of the cases that fail in the coverage build, and of all those whose line data are
    missing or not the real build's. A failing case did not run as it runs against the real build;
    a run killed by a signal writes none. A run that ended by itself and wrote nothing executed
    none of the runtime (its program does not link it), so it is neither."""
    failed = {case.id for case, verdict in verdicts if not verdict.passed}
    killed = {case.id for case, verdict in verdicts if verdict.outcome.ending != "exited" and not data[case.id]}
    return failed, failed | killed


def gather_coverage(args, chosen, starter, expectations, programs, say):
    work = Path(args.work) / "coverage"
    slot = Slot(make_runtime(args, work, mutation_flags(args)), work / "tree", starter.emulator,
                link_flags=coverage_link_flags(work))
    slot.prepare(programs)
    top = slot.runtime.top.resolve()
    notes = sorted(slot.runtime.outputs.resolve().rglob("*.gcno"))
    if not notes:
        say("coverage: the build command made no .gcno files with --coverage in CFLAGS and CXXFLAGS; "
            "every line is mutated and every case runs for every mutant")
        return Coverage({}, None)
    runs = work / "runs"
    shutil.rmtree(runs, ignore_errors=True)
    prefixes = {case.id: runs / str(i) for i, case in enumerate(chosen)}
    verdicts = run_cases(chosen, slot.bin, starter, expectations, args.jobs,
                         lambda case: {"GCOV_PREFIX": str(prefixes[case.id]), "GCOV_PREFIX_STRIP": "0"})
    known = set(gcov_lines(notes, work, top))
    data = {case.id: sorted(prefixes[case.id].rglob("*.gcda")) for case in chosen}
    failed, unrecorded = without_line_data(verdicts, data)
    executed_by = {}
    for case in chosen:
        for gcda in data[case.id]:
            # The data go under the prefix by the object's absolute path; its notes stay beside the object.
            shutil.copy(Path("/") / gcda.relative_to(prefixes[case.id]).with_suffix(".gcno"),
                        gcda.with_suffix(".gcno"))
        for key, count in gcov_lines(data[case.id], work, top).items():
            if count:
                executed_by.setdefault(key, set()).add(case.id)
    if failed:
        say(f"coverage: {len(failed)} cases fail with the runtime built for coverage, so their line "
            "data are not the real build's and each runs for every mutant: " + ", ".join(sorted(failed)))
    if unrecorded - failed:
        say(f"coverage: {len(unrecorded - failed)} cases were ended by a signal and left no line data, "
            "so each runs for every mutant: " + ", ".join(sorted(unrecorded - failed)))
    return Coverage(executed_by, known, unrecorded)


def mutation_flags(args):
    return ["--coverage"] if args.source else COVERAGE_FLAGS


def baseline(slot, chosen, starter, expectations, jobs):
    """Runs the cases with the unchanged runtime: those that pass, each with its time limit."""
    limits, failing = {}, []
    for case, verdict in run_cases(chosen, slot.bin, starter, expectations, jobs):
        if verdict.passed:
            limits[case.id] = max(HANG_FLOOR, HANG_FACTOR * verdict.outcome.seconds)
        else:
            failing.append(f"{case.id} ({verdict.word})")
    return limits, failing


def try_mutant(slot, mutant, to_run, expectations, starter):
    """The mutant's result: caught (with the case and how it failed), survived, or not built.
    Most mutants are caught by the first program that runs, so the others are relinked only
    once its cases have passed."""
    first = to_run[0][0].program
    to_run = sorted(to_run, key=lambda run: run[0].program != first)
    linked = {first}
    try:
        slot.build_mutant(mutant, linked)
    except NotBuilt as error:
        return {"result": "not built", "reason": str(error)}
    for case, limit in to_run:
        if case.program not in linked:
            rest = {c.program for c, _ in to_run} - linked
            try:
                slot.link(rest)
            except NotBuilt as error:
                return {"result": "not built", "reason": str(error)}
            linked |= rest
        outcome = execute.run_case(case, slot.bin, slot.bin, starter, limit=limit)
        verdict = expectations.judge(case, outcome)
        if not verdict.passed:
            return {"result": "caught", "by": case.id, "how": verdict.word, "seconds": round(outcome.seconds, 3)}
    return {"result": "survived"}


def executors(ids):
    """The cases that execute a line, in short: a few by name, more by deliverable (the file has them all)."""
    if ids is None:
        return "every case (no line data)"
    if len(ids) <= 3:
        return ", ".join(ids)
    per = {}
    for case_id in ids:
        deliverable = case_id.split("/")[0]
        per[deliverable] = per.get(deliverable, 0) + 1
    return f"{len(ids)} cases: " + ", ".join(f"{d} {n}" for d, n in per.items())


def summary_lines(report):
    f = report["figures"]
    lines = [f"mutants: {f['tried']} tried, {f['caught']} caught, {f['survived']} surviving, "
             f"{f['not built']} not built; {f['not executed']} more in lines no case executes",
             f"score: {f['score']}  (caught / built), wall time {f['seconds']:.0f} s"]
    survivors = [m for m in report["mutants"] if m["result"] == "survived"]
    if survivors:
        lines.append("surviving:")
        lines += [f"  {m['file']}:{m['line']}  {m['change']}  executed by {executors(m['cases'])}"
                  for m in survivors]
    by_file = {}
    for place, count in report["not executed"].items():
        file, line = place.rsplit(":", 1)
        by_file.setdefault(file, []).append((line, count))
    if by_file:
        lines.append("not executed by any case, so not mutated:")
        for file, places in by_file.items():
            count = sum(c for _, c in places)
            lines.append(f"  {file}: {count} mutant{'s' if count != 1 else ''} in "
                         f"line{'s' if len(places) != 1 else ''} {', '.join(l for l, _ in places)}")
    return lines


def mutant_record(mutant, cases, result):
    return {"file": mutant.file, "line": mutant.line, "column": mutant.column, "kind": mutant.kind,
            "change": mutant.change, "cases": sorted(cases) if cases is not None else None, **result}


def all_mutants(runtime, at, say):
    files = runtime.files()
    found = []
    for file in files:
        file_mutants, errors = mutation.find_mutants(runtime.top, file, runtime.include_dirs(), files)
        if errors:
            say(f"{file}: libclang cannot parse all of it, so mutants may be missing there: {errors[0]}")
        found += [m for m in file_mutants if not at or m.place in at]
    if at and not found:
        raise SetupFailed(f"no mutant at {' or '.join(at)}")
    return found


def plan(found, coverage, usable, limits):
    """(mutant, ids of the cases executing its line, [(case, time limit)] to run) for each mutant
    to try, fastest case first; and place -> count of the mutants in lines no case executes."""
    planned, not_executed = [], {}
    for mutant in found:
        ids = coverage.cases_for(mutant)
        to_run = [(c, limits[c.id]) for c in usable if ids is None or c.id in ids]
        if ids is not None and not to_run:
            not_executed[mutant.place] = not_executed.get(mutant.place, 0) + 1
        else:
            planned.append((mutant, ids, to_run))
    return planned, not_executed


def said(result):
    if result["result"] == "caught":
        return f"caught by {result['by']} ({result['how']})"
    return "SURVIVED" if result["result"] == "survived" else "not built"


def try_all(planned, slots, expectations, starter, say):
    """Each planned mutant's record, tried as many at once as there are slots."""
    free = queue.Queue()
    for slot in slots:
        free.put(slot)
    lock = threading.Lock()
    results = [None] * len(planned)

    def attempt(index):
        mutant, ids, to_run = planned[index]
        slot = free.get()
        try:
            result = try_mutant(slot, mutant, to_run, expectations, starter)
        finally:
            free.put(slot)
        with lock:
            results[index] = mutant_record(mutant, ids, result)
            done = sum(r is not None for r in results)
            say(f"[{done}/{len(planned)}] {mutant.place}  {mutant.change}  ... {said(result)}")

    with concurrent.futures.ThreadPoolExecutor(max_workers=len(slots)) as pool:
        try:
            list(pool.map(attempt, range(len(planned))))
        except BaseException:
            pool.shutdown(wait=False, cancel_futures=True)
            execute.stop_all()
            raise
    return results


def run(args, say=print):
    started = time.monotonic()
    starter = launcher.choose(args.emulator)
    if args.expect and not Path(args.expect).is_dir():
        raise SetupFailed(f"no expectation set at {args.expect} (record one with ./regress --runtime ... --bless)")
    expectations = Expectations(args.cases, args.expect)
    chosen = selection.selected(casefiles.load_cases(args.cases), args.only)
    if not chosen:
        raise SetupFailed(f"no case matches {' or '.join(args.only)}")
    programs = {case.program for case in chosen}
    work = Path(args.work)
    slots = [Slot(make_runtime(args, work / f"slot-{i}"), work / f"slot-{i}" / "tree", starter.emulator)
             for i in range(args.jobs)]
    say(f"building the unchanged runtime and {len(programs)} programs in {len(slots) + 1} trees under {work}")
    try:
        for slot in slots:
            slot.prepare(programs)
        coverage = gather_coverage(args, chosen, starter, expectations, programs, say)
    except NotBuilt as error:
        raise SetupFailed(f"the unchanged runtime cannot be built and measured: {error}") from None
    limits, failing = baseline(slots[0], chosen, starter, expectations, args.jobs)
    if failing:
        say(f"left out, since they fail with the unchanged runtime: {', '.join(failing)}")
    usable = sorted((c for c in chosen if c.id in limits), key=lambda c: limits[c.id])
    if not usable:
        raise SetupFailed("no case passes with the unchanged runtime")

    found = all_mutants(slots[0].runtime, args.at, say)
    planned, not_executed = plan(found, coverage, usable, limits)
    if args.sample is not None and args.sample < len(planned):
        planned = sorted(random.Random(args.seed).sample(planned, args.sample),
                         key=lambda p: (p[0].file, p[0].start))
    say(f"{len(found)} mutants; {len(planned)} to try, "
        f"{sum(not_executed.values())} in {len(not_executed)} lines that no case executes")
    results = try_all(planned, slots, expectations, starter, say)

    count = lambda what: sum(r["result"] == what for r in results)
    caught, survived = count("caught"), count("survived")
    report = {
        "runtime": str(Path(args.source).resolve()) if args.source else "the bundled kelrt",
        "programs run": starter.describe(),
        "sample": {"size": args.sample, "seed": args.seed} if args.sample else None,
        "coverage": coverage.known is not None,
        "left out": failing,
        "figures": {"tried": len(results), "caught": caught, "survived": survived,
                    "not built": count("not built"), "not executed": sum(not_executed.values()),
                    "score": f"{100 * caught / (caught + survived):.1f}%" if caught + survived else "n/a",
                    "seconds": round(time.monotonic() - started, 1)},
        "mutants": results,
        "not executed": not_executed,
    }
    Path(args.report).parent.mkdir(parents=True, exist_ok=True)
    write_atomically(args.report, json.dumps(report, indent=2) + "\n")
    return report


def main(argv):
    args = parse_args(argv)
    try:
        report = run(args, lambda text: print(text, flush=True))
    except (SetupFailed, casefiles.CaseFileError, launcher.LaunchError) as error:
        print(f"regress mutants: {error}", file=sys.stderr)
        return SETUP_ERROR
    print("\n".join(summary_lines(report)))
    print(f"written to {shown(args.report)}")
    return 0


if __name__ == "__main__":
    command.run("regress mutants", main)
