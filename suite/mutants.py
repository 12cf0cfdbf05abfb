"""./regress mutants: how much of a kel runtime the cases check, by building it with one-token changes and running the cases."""

import argparse
import json
import os
import random
import shlex
import shutil
import subprocess
import sys
import time
from pathlib import Path

from . import build
from . import cases as casefiles
from . import command
from . import fault_catalogue
from . import launcher
from . import line_coverage
from . import runtime_build
from . import selection
from . import toolchain
from . import trials
from .command import SETUP_ERROR
from .expectations import Expectations
from .files import shown
from .files import write_atomically
from .trials import SetupFailed

# Line counts are exact only where nothing is optimised away.
COVERAGE_FLAGS = ["--coverage", "-O0"]
# Words that end the run before any package is installed: help, or a command line refused
# (./regress reads the words with KEL_READ_WORDS set, and goes on only when told to).
READ_WORDS = "KEL_READ_WORDS"
GO_ON = 10


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
    p.add_argument("--clean", metavar="CMD",
                   help="with --source: a shell command run once in each copy before its first build, for "
                        "what an earlier build left that is not left out of the copy, e.g. --clean 'make clean'")
    p.add_argument("--exclude-file", metavar="GLOB", action="append", default=[],
                   help="build but never mutate the files matching GLOB (relative to DIR, or kelrt/...; "
                        "may be repeated), e.g. --exclude-file 'runtime/*'")
    p.add_argument("--expect", metavar="SET",
                   help="check cases not marked fixed against this expectation set (see ./regress --bless), "
                        "e.g. --expect expect/mine")
    p.add_argument("--sample", metavar="N", type=int,
                   help="try only N mutants chosen at random, e.g. --sample 20")
    p.add_argument("--seed", metavar="S", type=int, default=1,
                   help="the random choice of --sample (default 1), e.g. --seed 7")
    p.add_argument("--one-by-one", action="store_true",
                   help="build every mutant of the bundled runtime alone, not in a schema of its file "
                        "(slower; the check of the schemata), e.g. --one-by-one")
    p.add_argument("--at", metavar="FILE:LINE", action="append", default=[],
                   help="try only the mutants of this line (may be repeated), e.g. --at kelrt/write.cc:7")
    p.add_argument("--only", metavar="PATTERN", action="append", default=[],
                   help="use only the matching cases, as ./regress --only takes them, e.g. --only 'evalix/*'")
    p.add_argument("--exclude", metavar="PATTERN", action="append", default=[],
                   help="leave out the matching cases, as ./regress --exclude does, e.g. --exclude 'evalix/*'")
    p.add_argument("--cases", metavar="DIR", default=str(casefiles.CASES_DIR),
                   help="read case files from DIR (default: suite/cases)")
    p.add_argument("-j", "--jobs", metavar="N", type=int, default=len(os.sched_getaffinity(0)),
                   help="try N mutants at once, each in a build of its own (default: all cores), e.g. -j 2")
    p.add_argument("--faults", metavar="GLOB", nargs="?", const="*",
                   help="instead of one-token mutants, build the bundled runtime with each realistic fault "
                        "of the catalogue (those whose names match GLOB, default all) and run every case, "
                        "e.g. --faults or --faults 'reading-*'")
    p.add_argument("--catalogue", metavar="DIR", default=str(fault_catalogue.CATALOGUE),
                   help="with --faults: read the faults from DIR (default: suite/faults)")
    p.add_argument("--hunt", metavar="SECONDS", type=float,
                   help="with --faults: hunt each surviving fault for SECONDS with ./regress hunt, "
                        "e.g. --hunt 60")
    p.add_argument("--shard", metavar="K/N", type=selection.shard_spec,
                   help="try only the K-th of N parts of the mutants or faults, for a machine of a CI "
                        "matrix; --merge makes the whole report of the N, e.g. --shard 2/3")
    p.add_argument("--merge", metavar="REPORT", nargs="+",
                   help="make the whole report of the shards' reports (nothing is built or run), "
                        "e.g. --merge r1.json r2.json r3.json")
    p.add_argument("--work", metavar="DIR", default=str(build.DEFAULT_BUILD / "mutants"),
                   help="where the copies and their builds live (default: build/mutants)")
    p.add_argument("--report", metavar="FILE",
                   help="where the results are written as JSON (default: WORK/report.json)")
    launcher.add_option(p)
    toolchain.add_option(p)
    args = p.parse_args(argv)
    if args.toolchain == "clang":
        p.error("--toolchain clang: the line coverage is read with gcov, which cannot read clang's "
                "(gcc and cross can)")
    if args.merge:
        missing = [r for r in args.merge if not Path(r).is_file()]
        if missing:
            p.error(f"--merge: no report {', '.join(missing)}")
    if args.faults is not None:
        if args.source:
            p.error("--faults builds the bundled runtime: its patches are over kelrt/")
        if args.at or args.sample or args.exclude_file:
            p.error("--at, --sample and --exclude-file choose one-token mutants, not faults")
        if not Path(args.catalogue).is_dir():
            p.error(f"--catalogue: no directory {args.catalogue}")
    elif args.hunt is not None:
        p.error("--hunt goes with --faults")
    if args.hunt is not None and args.hunt <= 0:
        p.error("--hunt needs a number of seconds above 0")
    foreign = [args.source, args.build_command, args.archive]
    if any(foreign) and not all(foreign):
        p.error("--source, --build and --archive go together")
    if args.clean and not args.source:
        p.error("--clean goes with --source")
    if args.archive and Path(args.archive).is_absolute():
        p.error("--archive is relative to --source: the command runs in a copy of it")
    if args.source and not Path(args.source).is_dir():
        p.error(f"--source: no directory {args.source}")
    if args.expect and not Path(args.expect).is_dir():
        p.error(f"--expect: no expectation set at {args.expect} (record one with ./regress --runtime ... --bless)")
    if args.jobs < 1 or (args.sample is not None and args.sample < 1):
        p.error("-j and --sample need at least 1")
    # Absolute, since the coverage data are written by the objects' paths from where the cases run.
    args.work = str(Path(args.work).resolve())
    args.report = args.report or str(Path(args.work) / "report.json")
    return args


def make_runtime(args, directory, extra_flags=()):
    if args.source:
        return runtime_build.ForeignRuntime(
            directory, args.source, args.build_command, args.archive, extra_flags, args.exclude_file,
            leave_out=[p for p in (args.expect, args.work) if p], clean=args.clean)
    return runtime_build.BundledRuntime(directory, [*runtime_build.compile_words(args.toolchain), *extra_flags],
                                        args.exclude_file)


def coverage_slot(args, starter):
    work = Path(args.work) / "coverage"
    flags = ["--coverage"] if args.source else COVERAGE_FLAGS
    return runtime_build.Slot(make_runtime(args, work, flags), work / "tree", starter.emulator, args.toolchain,
                              link_flags=line_coverage.link_flags(work, args.toolchain))


def rerun(args, archive):
    """The command that runs one case as the tool judged it with the unchanged runtime."""
    words = [shown(build.ROOT / "regress")]
    if args.source:
        words += ["--runtime", shown(archive)]
    if args.expect:
        words += ["--expect", args.expect]
    if Path(args.cases).resolve() != casefiles.CASES_DIR:
        words += ["--cases", args.cases]
    return lambda case: shlex.join(words + ["--only", case.id, "-v"])


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


def percent(part, whole):
    return f"{100 * part / whole:.1f}%" if whole else "n/a"


def figures(records, not_executed, seconds):
    """The run's figures from its mutants' records: one run's, or shards' merged."""
    count = lambda what: sum(r["result"] == what for r in records)
    caught, survived, unexecuted = count("caught"), count("survived"), sum(not_executed.values())
    return {"tried": len(records), "caught": caught, "survived": survived,
            "survived with the unchanged code": sum(bool(r.get("equivalent")) for r in records),
            "not built": count("not built"), "not executed": unexecuted, "score": percent(caught, caught + survived),
            "score of every mutant": percent(caught, caught + survived + unexecuted), "seconds": seconds}


def summary_lines(report):
    f = report["figures"]
    lines = [f"mutants: {f['tried']} tried, {f['caught']} caught, {f['survived']} surviving "
             f"({f['survived with the unchanged code']} of them compile to the unchanged code), "
             f"{f['not built']} not built; {f['not executed']} more in lines no case executes",
             f"score: {f['score']} (caught / built); {f['score of every mutant']} of every mutant, those in "
             f"lines no case executes counted as surviving; wall time {f['seconds']:.0f} s"]
    survivors = [m for m in report["mutants"] if m["result"] == "survived"]
    if survivors:
        lines.append("surviving:")
        for m in survivors:
            how = "compiles to the unchanged code" if m.get("equivalent") else f"executed by {executors(m['cases'])}"
            lines += [f"  {m['file']}:{m['line']}  {m['change']}  {how}", f"      {m['text']}"]
            if m.get("failed once"):
                lines.append(f"      failed once, then passed: {', '.join(m['failed once'])}")
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
            "change": mutant.change, "text": mutant.line_text,
            "cases": sorted(cases) if cases is not None else None, **result}


def all_mutants(runtime, at, say):
    from . import mutation  # libclang, needed only here: reading the words needs no package
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


def plan(found, coverage, usable, times):
    """(mutant, ids of the cases executing its line, [(case, time limit)] to run) for each mutant
    to try, in the order of the usable cases; and place -> count of the mutants in lines no case
    executes."""
    planned, not_executed = [], {}
    for mutant in found:
        ids = coverage.cases_for(mutant)
        to_run = [(c, trials.limit(times[c.id])) for c in usable if ids is None or c.id in ids]
        if ids is not None and not to_run:
            not_executed[mutant.place] = not_executed.get(mutant.place, 0) + 1
        else:
            planned.append((mutant, ids, to_run))
    return planned, not_executed


def usable_cases(args, expectations, say):
    """The cases chosen, but for the known failures of the expectation set, which say nothing of a
    change: those are named and left out."""
    chosen = selection.selected(casefiles.load_cases(args.cases), args.only, args.exclude)
    known = [c for c in chosen if (expectations.for_case(c)[0] or c.expected).known_failure]
    if known:
        say(f"left out, as known failures in {shown(args.expect)}: {', '.join(c.id for c in known)}")
    usable = [c for c in chosen if c not in known]
    if not usable:
        raise SetupFailed("every case chosen is a known failure")
    return usable, known


def prepare(args, starter, expectations, chosen, say):
    """The workers' slots, each built with the unchanged runtime and linked, and each case's time
    with it."""
    programs = {case.program for case in chosen}
    work = Path(args.work)
    slots = [runtime_build.Slot(make_runtime(args, work / f"slot-{i}"), work / f"slot-{i}" / "tree",
                                starter.emulator, args.toolchain) for i in range(args.jobs)]
    say(f"building the unchanged runtime and {len(programs)} programs in {len(slots)} trees under {work}")
    try:
        for slot in slots:
            slot.prepare(programs)
    except runtime_build.NotBuilt as error:
        raise SetupFailed(f"the unchanged runtime cannot be built: {error}") from None
    left = slots[0].runtime.left_out
    if left:
        say(f"the copies of {args.source} leave out {len(left)} paths, to be built from clean: "
            + ", ".join(left[:8]) + (" ..." if len(left) > 8 else ""))
    times = trials.baseline(slots[0], chosen, starter, expectations, args.jobs,
                            rerun(args, slots[0].runtime.archive), say)
    return slots, times


def gather_coverage(args, starter, expectations, chosen, say):
    try:
        return line_coverage.gather(coverage_slot(args, starter), chosen, starter, expectations,
                                    {case.program for case in chosen}, args.jobs, say)
    except runtime_build.NotBuilt as error:
        raise SetupFailed(f"the unchanged runtime cannot be measured for coverage: {error}") from None


def sharded(args, items):
    return selection.in_shard(items, *args.shard) if args.shard else items


def run_mutants(args, starter, expectations, usable, slots, times, say, started):
    """The one-token mutants' part of the report; its wall time from started on."""
    coverage = gather_coverage(args, starter, expectations, usable, say)
    found = all_mutants(slots[0].runtime, args.at, say)
    if args.sample is not None and args.sample < len(found):
        found = sorted(random.Random(args.seed).sample(found, args.sample), key=lambda m: (m.file, m.start))
    found = sharded(args, found)
    planned, not_executed = plan(found, coverage, usable, times)
    say(f"{len(found)} mutants; {len(planned)} to try, "
        f"{sum(not_executed.values())} in {len(not_executed)} lines that no case executes")
    tried = [trials.Trial(f"{m.place}  {m.change}", {m.file: m.applied(slots[0].runtime.path(m.file).read_bytes())},
                          to_run) for m, _, to_run in planned]
    built_together = [] if args.source or args.one_by_one else schemata_of(planned, slots[0].runtime)
    results = trials.try_all(tried, slots, expectations, starter, say, schemata=built_together, times=times)
    records = [mutant_record(m, ids, r) for (m, ids, _), r in zip(planned, results)]
    return {"coverage": coverage.known is not None,
            "figures": figures(records, not_executed, round(time.monotonic() - started, 1)),
            "mutants": records, "not executed": not_executed}


def schemata_of(planned, runtime):
    """A schema for each file of the bundled runtime, of its mutants that a switch can stand for;
    a mutant's number is its place in the plan, from 1."""
    from . import mutation, schemata  # libclang, needed only here: reading the words needs no package
    by_file = {}
    for index, (mutant, _, _) in enumerate(planned):
        by_file.setdefault(mutant.file, []).append(index)
    built = []
    for file, indices in by_file.items():
        text = runtime.path(file).read_bytes()
        layout = mutation.layout(runtime.top, file, runtime.include_dirs(), runtime.files())
        members = [i for i in indices if schemata.switchable(planned[i][0], layout, text)]
        if members:
            built.append(file_schema(planned, members, schemata.FileSchema(
                file, text, layout, [(i + 1, planned[i][0]) for i in members])))
    return built


def file_schema(planned, members, schema):
    """The trials' schema of one file's mutants; it learns what a compile of the file costs."""
    from . import schemata
    numbers = lambda chosen: [i + 1 for i in chosen]

    def make(slot, chosen):
        started = time.monotonic()
        trusted = slot.runtime.same_object(schema.relative, schema.unchanged(numbers(chosen)))
        built.cost = time.monotonic() - started
        return schema.contents(numbers(chosen)) if trusted else None

    built = trials.Schema(
        schema.relative, members, make,
        culprits=lambda output, chosen: [n - 1 for n in schema.culprits(output, numbers(chosen))],
        switch=lambda i: {schemata.ENVIRONMENT: schemata.switch_value(i + 1)},
        same_code=lambda slot, i: compiles_unchanged(slot, schema.relative, planned[i][0].applied(schema.text)))
    return built


def compiles_unchanged(slot, relative, content):
    try:
        return slot.runtime.same_object(relative, content)
    except runtime_build.NotBuilt:
        return False


def hunted(args, archive, say):
    """What ./regress hunt finds in the archive: caught (with its first difference, where the hunt
    stops), survived, or could not run (with why)."""
    words = [str(build.ROOT / "regress"), "hunt", "--runtime", str(archive), "--seconds", f"{args.hunt:g}",
             "--stop-at-first", "--build", str(Path(args.work) / "hunt"), "-j", str(args.jobs),
             "--emulator", args.emulator, "--toolchain", args.toolchain]
    done = subprocess.run(words, capture_output=True, text=True, errors="replace")
    if done.returncode == 1:
        first = next((l.split(None, 1)[1] for l in done.stdout.splitlines() if l.startswith("DIFFERS ")), "")
        return {"result": "caught", "by": first}
    if done.returncode == 0:
        return {"result": "survived"}
    tail = (done.stderr or done.stdout).strip().splitlines()[-2:]
    return {"result": "could not run", "reason": f"{shlex.join(words)} exited with status "
                                                  f"{done.returncode}: {' / '.join(tail)}"}


def fault_figures(records, seconds):
    count = lambda what: sum(r["result"] == what for r in records)
    caught, survived = count("caught"), count("survived")
    by_hunt = sum((r.get("hunt") or {}).get("result") == "caught" for r in records)
    return {"tried": len(records), "caught": caught, "caught by the hunt": by_hunt, "survived": survived - by_hunt,
            "not built": count("not built"), "score": percent(caught, caught + survived),
            "score with the hunt": percent(caught + by_hunt, caught + survived), "seconds": seconds}


def run_faults(args, starter, expectations, usable, faults, slots, times, say, started):
    """The fault catalogue's part of the report: each fault built and run against every case,
    each survivor hunted when asked; its wall time from started on."""
    faults = sharded(args, faults)
    to_run = [(c, trials.limit(times[c.id])) for c in usable]
    base = slots[0].runtime.flags
    tried = [trials.Trial(f"{f.name} ({f.kind})", made, to_run,
                          runtime_build.adjusted(base, f.flags, f.drop_flags) if f.flags or f.drop_flags else None)
             for f, made in faults]
    kept = Path(args.work) / "faults"
    kept.mkdir(parents=True, exist_ok=True)

    def keep(slot, index, result):
        if result["result"] == "survived":
            shutil.copy(slot.runtime.archive, kept / f"{faults[index][0].name}.a")

    results = trials.try_all(tried, slots, expectations, starter, say, keep)
    reasons = fault_catalogue.reasons()
    records = []
    for (fault, _), result in zip(faults, results):
        record = {"name": fault.name, "kind": fault.kind, "port": fault.port, "flags": list(fault.flags),
                  "drop flags": list(fault.drop_flags), **result}
        if result["result"] == "survived":
            record["why"] = reasons.get(fault.name)
            if args.hunt:
                say(f"hunting {fault.name} for {args.hunt:g} s")
                hunt_archive = Path(args.work) / "hunt" / "libkel.a"
                hunt_archive.parent.mkdir(parents=True, exist_ok=True)
                # One path for every fault, so that the hunt's build of it is relinked, not made anew.
                shutil.copy(kept / f"{fault.name}.a", hunt_archive)
                record["hunt"] = hunted(args, hunt_archive, say)
                say(f"  ... {said_by_hunt(record['hunt'])}")
        records.append(record)
    return {"figures": fault_figures(records, round(time.monotonic() - started, 1)), "hunt seconds": args.hunt,
            "faults": records}


def said_by_hunt(hunt):
    if hunt["result"] == "caught":
        return f"caught by the hunt ({hunt['by']})" if hunt["by"] else "caught by the hunt"
    return "not found by the hunt" if hunt["result"] == "survived" else f"the hunt could not run: {hunt['reason']}"


def fault_summary_lines(section):
    f = section["figures"]
    hunt = (f", {f['caught by the hunt']} more by the hunt ({section['hunt seconds']:g} s each)"
            if section["hunt seconds"] else "")
    lines = [f"faults: {f['tried']} tried, {f['caught']} caught by the cases{hunt}, {f['survived']} surviving, "
             f"{f['not built']} not built",
             f"fault score: {f['score']} by the cases (caught / built)"
             + (f", {f['score with the hunt']} with the hunt" if section["hunt seconds"] else "")
             + f"; wall time {f['seconds']:.0f} s"]
    hunted = lambda r: (r.get("hunt") or {}).get("result") == "caught"
    groups = (("caught by the hunt (a case is missing)", lambda r: r["result"] == "survived" and hunted(r)),
              ("surviving", lambda r: r["result"] == "survived" and not hunted(r)),
              ("not built", lambda r: r["result"] == "not built"))
    for title, belongs in groups:
        chosen = [r for r in section["faults"] if belongs(r)]
        if chosen:
            lines.append(f"{title}:")
        for r in chosen:
            lines.append(f"  {r['name']}  ({r['kind']})" + (f"  {said_by_hunt(r['hunt'])}" if r.get("hunt") else ""))
            if r["result"] == "not built":
                lines.append(f"      {r['reason']}")
                continue
            lines.append(f"      port: {r['port']}")
            if not hunted(r):
                lines.append(f"      why no run shows it: {r['why'] or 'no reason recorded'}")
            if r.get("failed once"):
                lines.append(f"      failed once, then passed: {', '.join(r['failed once'])}")
    return lines


def load_faults(args):
    """Each fault chosen with the files its patch makes; a fault that cannot be read or applied stops
    the run before anything is built."""
    try:
        return [(f, fault_catalogue.contents(f)) for f in fault_catalogue.load(args.catalogue, args.faults)]
    except fault_catalogue.CatalogueError as error:
        raise SetupFailed(str(error)) from None


def run(args, say=print):
    started = time.monotonic()
    starter = launcher.choose(args.emulator)
    try:
        args.toolchain = toolchain.resolve(args.toolchain)
    except toolchain.ToolchainError as error:
        raise SetupFailed(str(error)) from None
    expectations = Expectations(args.cases, args.expect)
    faults = load_faults(args) if args.faults is not None else None
    usable, known = usable_cases(args, expectations, say)
    slots, times = prepare(args, starter, expectations, usable, say)
    usable = sorted(usable, key=lambda c: times[c.id])
    report = {
        "runtime": str(Path(args.source).resolve()) if args.source else "the bundled kelrt",
        "programs run": starter.describe(),
        "cases": sorted(c.id for c in usable),
        "left out": [c.id for c in known],
        "sample": {"size": args.sample, "seed": args.seed} if args.sample else None,
        "shard": "/".join(map(str, args.shard)) if args.shard else None,
    }
    if faults is not None:
        report["faults"] = run_faults(args, starter, expectations, usable, faults, slots, times, say, started)
    else:
        report.update(run_mutants(args, starter, expectations, usable, slots, times, say, started))
    write_report(args.report, report)
    return report


def write_report(path, report):
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    write_atomically(path, json.dumps(report, indent=2) + "\n")


class MergeFailed(Exception):
    """The reports are not the N shards of one run."""


def merged(reports):
    """The whole report of the N shards of one run: the same figures as one run over the same
    mutants or faults, the wall time the longest shard's."""
    part = lambda r: selection.shard_spec(r["shard"] or "1/1")
    shards = sorted(reports, key=part)
    counts = {part(r)[1] for r in shards}
    wanted = [f"{k}/{len(shards)}" for k in range(1, len(shards) + 1)]
    if counts != {len(shards)} or [r["shard"] for r in shards] != wanted:
        raise MergeFailed(f"the reports are shards {', '.join(str(r['shard']) for r in shards)}, "
                          f"not {', '.join(wanted)}")
    for key in ("runtime", "cases", "left out", "sample", "coverage"):
        if len({json.dumps(r.get(key)) for r in shards}) > 1:
            raise MergeFailed(f"the shards differ in {key!r}: they are not parts of one run")
    whole = {**shards[0], "shard": None, "merged from": len(shards)}
    seconds = max(((r.get("faults") or r)["figures"]["seconds"] for r in shards))
    if "faults" in shards[0]:
        records = [f for r in shards for f in r["faults"]["faults"]]
        records.sort(key=lambda f: f["name"])
        whole["faults"] = {**shards[0]["faults"], "faults": records, "figures": fault_figures(records, seconds)}
    else:
        records = sorted((m for r in shards for m in r["mutants"]),
                         key=lambda m: (m["file"], m["line"], m["column"], m["change"]))
        not_executed = {}
        for r in shards:
            for place, count in r["not executed"].items():
                not_executed[place] = not_executed.get(place, 0) + count
        whole.update(mutants=records, figures=figures(records, not_executed, seconds),
                     **{"not executed": dict(sorted(not_executed.items()))})
    return whole


def main(argv):
    args = parse_args(argv)
    if os.environ.get(READ_WORDS):
        return GO_ON
    try:
        if args.merge:
            report = merged([json.loads(Path(r).read_text()) for r in args.merge])
            write_report(args.report, report)
        else:
            report = run(args, lambda text: print(text, flush=True))
    except (SetupFailed, MergeFailed, casefiles.CaseFileError, launcher.LaunchError,
            selection.SelectionError) as error:
        print(f"regress mutants: {error}", file=sys.stderr)
        return SETUP_ERROR
    print("\n".join(fault_summary_lines(report["faults"]) if "faults" in report else summary_lines(report)))
    print(f"written to {shown(args.report)}")
    return 0


if __name__ == "__main__":
    command.run("regress mutants", main)
