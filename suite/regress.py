"""The suite runner: builds, runs the selected cases against a kel runtime, and reports what it saw."""

import argparse
import os
import shlex
import sys
import time
from dataclasses import replace
from pathlib import Path

from . import build
from . import cases as casefiles
from . import command
from . import coverage
from . import execute
from . import explain
from . import files
from . import launcher
from . import limits
from . import reference
from . import repro
from . import runtime_check
from . import schedule
from . import toolchain
from .command import SETUP_ERROR
from .expectations import Expectations
from .files import shown
from .junit import write_junit
from .report import NORMAL, QUIET, VERBOSE, Report, wants_colour
from .selection import FAILED_FILE, SelectionError, add_shard_option, last_failed, record_failed, selected

EPILOG = """\
commands of ./regress besides running the cases:
  ./regress test        build, then run every CTest test (each suite case, the unit
                        tests, the runner's own tests) in the plain build and in the
                        sanitizer build, and each fuzz target for ten seconds; extra
                        words go to ctest, e.g. ./regress test -R argshow
  ./regress test --valgrind
                        build, then run every suite case under memcheck (CTest label
                        memcheck, one test per deliverable); not under the emulator
  ./regress test --emulator qemu-i386
                        every test with the programs run under the emulator, even on
                        a machine that runs them natively
  ./regress test --toolchain cross
                        every test with everything built by the cross compiler
  ./regress bench       build, then run the benchmark (suite/bench.py)
  ./regress mutants     how much of the runtime the cases check: one-token changes to
                        its sources, each built and run against the cases (docs/mutants.md)
  ./regress fuzz [SECONDS]
                        build the fuzz targets (fuzz/), run each for SECONDS (default 600)
                        and print its executions, coverage and findings
  ./regress hunt --runtime NEW [--against OLD] [--seconds N] [--seed S]
                [--only DELIVERABLE] [--save DIR] [--stop-at-first] [--shard K/N]
                        random inputs, biased to the edges, under NEW and OLD (default:
                        the bundled runtime); each difference reduced to a small case,
                        saved in DIR for --cases; ./regress hunt --help for more
  ./regress perf --runtime NEW [--against OLD | --baseline NAME] [--only PATTERN]
                [--threshold PCT] [--json FILE] [--save-baseline NAME]
                        a runtime that got slower: the workloads' instructions and system
                        calls under NEW and OLD (default: the bundled runtime), counted
                        under callgrind, and each entry point's cost per call; every
                        figure that grew past its limit (docs/perf.md)
  ./regress bisect --source DIR --build CMD --archive PATH --good REV --bad REV
                [--only PATTERN] [--cases DIR] [--expect SET] [--perf [--threshold PCT]]
                        the commit of a runtime's git repository that first fails the
                        cases BAD fails (or, with --perf, regresses perf's figures), by
                        git bisect in a clone of its own (docs/bisect.md)

exit status: 0 when every selected case passed, 1 when one failed,
2 when the suite could not run as asked (set-up, build, case file or archive problem).

examples:
  ./regress                                  build and run every case
  ./regress --only 'evalix/*' -j 1 -v        one deliverable, one at a time, in full
  ./regress --failed                         the cases that failed in the last run
  ./regress --only evalix/power-rounding --keep /tmp/kept
                                             keep the case to run by hand:
                                             /tmp/kept/evalix/power-rounding/run (--gdb: under gdb)
  ./regress --only evalix/power-rounding --repeat 50
                                             a case that looks flaky: how many of 50 runs fail
  ./regress --sanitize                       every case with AddressSanitizer and UBSan builds
  ./regress --toolchain clang                every case with everything built by clang++
  ./regress --toolchain cross --emulator qemu-i386
                                             built by i686-linux-gnu-g++, run under the emulator,
                                             as on a host without multilib
  ./regress --shard 2/3 --junit part2.xml    the second of three parts, for a CI matrix
  ./regress --valgrind -q                    every case under valgrind's memcheck
  ./regress --runtime ~/kel/libkel.a         the suite against another runtime
  ./regress --runtime ~/kel/libkel.a --bless expect/mine
  ./regress --runtime ~/kel/libkel.a --expect expect/mine
  ./regress --runtime ~/kel/libkel.a --explain
                                             each failure with the first call into the
                                             runtime that goes another way than the bundled one's
  ./regress --coverage                       which entry points the cases call, and how
"""


def parse_args(argv):
    p = argparse.ArgumentParser(
        prog="./regress", formatter_class=argparse.RawDescriptionHelpFormatter, epilog=EPILOG,
        description="Run the kel regression suite's cases and report how each program behaved.")
    say = p.add_mutually_exclusive_group()
    say.add_argument("-q", "--quiet", action="store_true",
                     help="print only failures and the closing count, e.g. ./regress -q")
    say.add_argument("-v", "--verbose", action="store_true",
                     help="print how each case ran, and whole texts in diffs, e.g. ./regress -v")
    p.add_argument("--list", action="store_true",
                   help="list the selected cases' names and stop, e.g. ./regress --list --only argshow")
    p.add_argument("--only", metavar="PATTERN", action="append", default=[],
                   help="run only matching cases: a full deliverable/name selects that case alone, a pattern "
                        "with * ? [ is a glob on deliverable/name, anything else a substring; "
                        "may be repeated; a pattern that selects nothing is an error, "
                        "e.g. --only evalix/precedence --only 'argshow/*'")
    p.add_argument("--exclude", metavar="PATTERN", action="append", default=[],
                   help="leave out matching cases (patterns as for --only), e.g. --exclude 'evalix/*'")
    p.add_argument("--failed", action="store_true",
                   help="run only the cases that failed in the last run of this build "
                        f"(recorded in BUILD/{FAILED_FILE}), e.g. ./regress --failed")
    add_shard_option(p)
    p.add_argument("-j", "--jobs", metavar="N", type=int, default=len(os.sched_getaffinity(0)),
                   help="run N cases at once (default: all cores), e.g. -j 1")
    p.add_argument("--max-failures", metavar="N", type=int,
                   help="stop after N cases have failed: the cases not yet started are not run, "
                        "and the report says how many, e.g. --max-failures 5")
    p.add_argument("--keep", metavar="DIR",
                   help="keep each selected case in DIR/DELIVERABLE/NAME: its files, input and expected "
                        "outputs, and a script, run, that runs it by hand as the suite does (run --gdb "
                        "under gdb), e.g. --only evalix/power-rounding --keep /tmp/kept")
    again = p.add_mutually_exclusive_group()
    again.add_argument("--repeat", metavar="N", type=int,
                       help="run each case N times, for one that looks flaky: it fails when any run "
                            "fails, and the report says how many did, e.g. --only evalix/power-rounding --repeat 20")
    again.add_argument("--repeat-until-fail", metavar="N", type=int,
                       help="run each case up to N times, stopping at its first failing run, "
                            "e.g. --repeat-until-fail 100")
    p.add_argument("--junit", metavar="FILE",
                   help="also write the results as JUnit XML, e.g. --junit build/suite.xml")
    p.add_argument("--runtime", metavar="PATH",
                   help="build and run the suite against this kel runtime archive instead of the "
                        "bundled one, after checking its symbols, e.g. --runtime ~/kel/libkel.a")
    sets = p.add_mutually_exclusive_group()
    sets.add_argument("--bless", metavar="DIR",
                      help="record the outputs of the cases not marked fixed as this runtime's "
                           "expectation set in DIR (fixed cases are still checked), rewriting only "
                           "changed entries and showing each change, e.g. --bless expect/mine")
    sets.add_argument("--expect", metavar="DIR",
                      help="check the cases not marked fixed against the expectation set in DIR "
                           "instead of the case files, e.g. --expect expect/mine")
    p.add_argument("--explain", action="store_true",
                   help="with --runtime: explain each failed case by the first call into that runtime "
                        "whose result or text differs from the reference's: --against, else the runtime "
                        "that recorded the --expect set, else the bundled one (traced builds in "
                        "build/traced and build/runtimes/NAME-traced), "
                        "e.g. ./regress --runtime ~/kel/libkel.a --explain")
    p.add_argument("--against", metavar="PATH",
                   help="with --explain: compare with this runtime archive instead of the bundled one, "
                        "e.g. --against ~/kel/old/libkel.a")
    p.add_argument("--coverage", action="store_true",
                   help="run the selected cases with traced programs and print, per entry point of "
                        "the runtime, how many calls each deliverable's cases make and the argument "
                        f"classes they reach; also written to BUILD/{coverage.FILE_NAME}, "
                        "e.g. ./regress --coverage")
    p.add_argument("--cases", metavar="DIR", default=str(casefiles.CASES_DIR),
                   help="read case files from DIR (default: suite/cases), e.g. --cases my/cases")
    p.add_argument("--bin", metavar="DIR",
                   help="take the programs from DIR instead of the build's bin/, e.g. --bin /tmp/bin")
    p.add_argument("--build", metavar="DIR",
                   help="the build directory (default: build, or build-sanitize with --sanitize; "
                        "builds against --runtime go under DIR/runtimes/), e.g. --build /tmp/kel-build")
    p.add_argument("--sanitize", action="store_true",
                   help="build everything with AddressSanitizer and UndefinedBehaviorSanitizer "
                        "(the sanitize preset, in build-sanitize/) and run those programs, "
                        "e.g. ./regress --sanitize")
    launcher.add_option(p)
    toolchain.add_option(p)
    p.add_argument("--timeout-factor", metavar="F", type=float, default=1.0,
                   help="make every time limit F times as long (the cases' timeouts and the limits "
                        "learned from their records), e.g. --timeout-factor 3 on a slow machine")
    p.add_argument("--valgrind", action="store_true",
                   help="run each program under valgrind's memcheck; a case with memory errors "
                        "fails, with memcheck's report (time limits are 20 times longer), "
                        "e.g. ./regress --valgrind")
    stage = p.add_mutually_exclusive_group()
    stage.add_argument("--no-build", action="store_true",
                       help="use what is built without running cmake, e.g. --no-build")
    stage.add_argument("--build-only", action="store_true",
                       help="configure and build, then stop, e.g. --build-only")
    args = p.parse_args(argv)
    if args.jobs < 1:
        p.error("-j needs at least 1")
    if not args.timeout_factor > 0:
        p.error("--timeout-factor needs a number above 0")
    if (args.repeat or args.repeat_until_fail or 1) < 1:
        p.error("--repeat and --repeat-until-fail need at least 1")
    if args.max_failures is not None and args.max_failures < 1:
        p.error("--max-failures needs at least 1")
    if args.sanitize and args.valgrind:
        p.error("--sanitize and --valgrind cannot be used together: memcheck cannot run sanitized programs")
    if args.explain and not args.runtime:
        p.error("--explain needs --runtime, the runtime whose failures to explain")
    if args.against and not args.explain:
        p.error("--against goes with --explain")
    if args.keep and (args.valgrind or args.coverage):
        p.error("--keep keeps the cases as the plain run starts them: it takes no --valgrind or --coverage")
    if args.coverage and (args.explain or args.bless or args.expect):
        p.error("--coverage runs the cases only to see their calls: it takes no --explain, --bless or --expect")
    args.preset = "sanitize" if args.sanitize else "default"
    # The toolchain is found out (which takes a compile) only where it is needed: to build, or to
    # know the build directory.
    args.built_with = None
    if args.build is None or not args.no_build:
        try:
            args.built_with = toolchain.resolve(args.toolchain)
        except toolchain.ToolchainError as error:
            p.error(str(error))
    if args.build is None:
        args.build = str(toolchain.build_dir(args.built_with, args.sanitize))
    return args


def output_problems(args, chosen):
    """What stands in the way of the files the run is to write, found before any case runs."""
    problems = [files.output_file_problem(args.junit) if args.junit else None,
                files.output_dir_problem(args.bless) if args.bless else None,
                args.keep and (files.output_dir_problem(args.keep) or repro.keep_problem(args.keep, chosen))]
    return [f"regress: cannot write {problem}" for problem in problems if problem]


def rerun_command(args):
    """A command line that runs one case again alone, the same way, in full."""
    regress = "./regress" if Path.cwd() == build.ROOT else shown(build.ROOT / "regress")
    words = [regress]
    for option in ("runtime", "against", "bless", "expect", "bin"):
        if getattr(args, option):
            words += [f"--{option}", getattr(args, option)]
    if args.emulator not in ("auto", "none"):
        words += ["--emulator", args.emulator]
    if args.timeout_factor != 1:
        words += ["--timeout-factor", f"{args.timeout_factor:g}"]
    if args.toolchain not in ("auto", toolchain.auto()):
        words += ["--toolchain", args.toolchain]
    if Path(args.cases).resolve() != casefiles.CASES_DIR:
        words += ["--cases", args.cases]
    default_build = toolchain.build_dir(args.built_with, args.sanitize) if args.built_with else None
    if Path(args.build).resolve() != default_build:
        words += ["--build", args.build]
    words += [f"--{flag}" for flag in ("sanitize", "valgrind", "explain") if getattr(args, flag)]
    for option in ("repeat", "repeat_until_fail"):
        if getattr(args, option):
            words += [f"--{option.replace('_', '-')}", str(getattr(args, option))]
    return lambda case, *more: shlex.join(words + ["--only", case.id, *more, "-v"])


def run_one(case, bin_dir, args, starter, expectations, case_limits):
    """The verdict of one run of the case, within the allowance its record gives."""
    allowance = case_limits.for_case(case)
    outcome = execute.run_case(case, bin_dir, shown(bin_dir), starter, args.valgrind, limit=allowance)
    allowance.settle(outcome.native_seconds, outcome.ended)
    verdict = expectations.judge(case, outcome)
    if verdict.passed:
        verdict.slow = allowance.slow(outcome.native_seconds)
    return verdict


def run_repeatedly(case, bin_dir, args, expectations, starter, case_limits):
    """The case's verdict over --repeat runs (or up to --repeat-until-fail runs, stopping at the
    first that fails): the first failing run's, or the last run's, with how many failed."""
    runs = args.repeat or args.repeat_until_fail or 1
    verdicts = []
    for _ in range(runs):
        verdicts.append(run_one(case, bin_dir, args, starter, expectations, case_limits))
        if args.repeat_until_fail and not verdicts[-1].passed:
            break
    failed = [v for v in verdicts if not v.passed]
    return replace(failed[0] if failed else verdicts[-1], runs=len(verdicts), failed_runs=len(failed))


def run_all(chosen, bin_dir, args, report, expectations, starter, case_limits):
    """The verdicts of the cases run, in the order chosen; they are started longest first, by their
    records; after --max-failures failures the cases not yet started are left out."""
    total = len(chosen)
    verdicts = {}
    failed = 0
    with schedule.Schedule(chosen, lambda c: run_repeatedly(c, bin_dir, args, expectations, starter, case_limits),
                           args.jobs, lambda c: case_limits.typical(c.id)[0]) as runs:
        for case, verdict in runs.finished():
            verdicts[case.id] = verdict
            report.progress(len(verdicts), total, verdict)
            failed += not verdict.passed
            if failed == args.max_failures:
                runs.cancel()
    return [verdicts[c.id] for c in chosen if c.id in verdicts]


def runtime_identity(args, build_dir):
    """The runtime the programs were linked with, as the header and the JUnit file name it:
    (path, its SHA-256 or empty when unknown)."""
    if not args.runtime:
        bundled = build_dir / "lib" / "libkel.a"
        return "the bundled kelrt", files.sha256(bundled) if bundled.is_file() else ""
    linked = build_dir / build.RUNTIME_COPY
    return shown(args.runtime), files.sha256(linked if linked.is_file() else args.runtime)


def built_by(args, build_dir):
    """The compiler that built the programs, its version and the toolchain's name, as the header
    gives them; None for programs from --bin, whose build is not known."""
    if args.bin:
        return None
    compiler = build.compiler(build_dir)
    return compiler and f"{compiler} (--toolchain {build.cached(build_dir, 'KEL_TOOLCHAIN') or 'gcc'})"


def main(argv):
    args = parse_args(argv)
    level = QUIET if args.quiet else VERBOSE if args.verbose else NORMAL
    report = Report(sys.stdout, level, wants_colour(sys.stdout))
    build_dir = build.runtime_build_dir(args.build, args.runtime) if args.runtime else Path(args.build)
    try:
        all_cases = casefiles.load_cases(args.cases)
        chosen = selected(all_cases, args.only, args.exclude, last_failed(build_dir) if args.failed else None,
                          args.shard)
    except (casefiles.CaseFileError, SelectionError) as error:
        print(f"regress: {error}", file=sys.stderr)
        return SETUP_ERROR
    if args.expect and not Path(args.expect).is_dir():
        print(f"regress: no expectation set at {args.expect} (record one with --bless)", file=sys.stderr)
        return SETUP_ERROR
    expectations = Expectations(args.cases, args.expect or args.bless, blessing=bool(args.bless))
    if args.list:
        for case in chosen:
            print(case.id)
        return 0
    problems = output_problems(args, chosen)
    if problems:
        print("\n".join(problems), file=sys.stderr)
        return SETUP_ERROR

    try:
        starter = launcher.choose(args.emulator)
    except launcher.LaunchError as error:
        print(f"regress: {error}", file=sys.stderr)
        return SETUP_ERROR
    if args.valgrind and starter.emulated:
        print(f"regress: --valgrind: {starter.cannot_run('memcheck')}; the programs run "
              f"{starter.describe()}", file=sys.stderr)
        return SETUP_ERROR
    for archive in filter(None, (args.runtime, args.against)):
        trouble = runtime_check.refusal(archive, args.sanitize)
        if trouble:
            print(trouble, file=sys.stderr)
            return SETUP_ERROR
    if args.coverage:
        return coverage.main(chosen, args, starter, report)
    unlinked = build.linked_copy_problem(build_dir, args.runtime) if args.no_build and args.runtime \
        and not args.bin else None
    if unlinked:
        print(f"regress: --no-build --runtime {args.runtime}: {unlinked}; run without --no-build to build "
              "against it", file=sys.stderr)
        return SETUP_ERROR
    if not args.no_build:
        try:
            # Against another runtime only the programs that the chosen cases run are built:
            # that runtime's build of the unit tests would take longer than the cases.
            wanted = sorted({c.program for c in chosen}) if args.runtime and not args.build_only else ()
            build.ensure_built(build_dir, args.runtime, quiet=args.quiet, preset=args.preset,
                               emulator=starter.emulator, targets=wanted, toolchain=args.built_with)
        except build.BuildFailed as error:
            print(f"regress: build failed: {error}", file=sys.stderr)
            return SETUP_ERROR
    if args.build_only:
        return 0

    bin_dir = Path(args.bin) if args.bin else build_dir / "bin"
    runtime_path, runtime_sha = runtime_identity(args, build_dir)
    runtime = runtime_path + (f" (sha256 {runtime_sha})" if runtime_sha else "")
    if args.sanitize:
        runtime += ", built with AddressSanitizer and UndefinedBehaviorSanitizer"
        if starter.emulated:
            runtime += f" ({launcher.SANITIZER_NOTE})"
    if args.valgrind:
        runtime += ", each program under valgrind's memcheck"
    compiler = built_by(args, build_dir)
    report.say(f"kel regression suite: {len(chosen)} case{'s' if len(chosen) != 1 else ''} "
               f"from {shown(args.cases)}, "
               f"programs from {shown(bin_dir)}" + (f", built by {compiler}" if compiler else ""))
    report.say(f"runtime: {runtime}; expected output: {expectations.describe()}")
    report.say(f"programs run {starter.describe()}")
    try:
        if args.expect:
            for line in expectations.survey(all_cases).lines(shown(args.expect)):
                report.say(line)
    except casefiles.CaseFileError as error:
        print(f"regress: {error}", file=sys.stderr)
        return SETUP_ERROR
    report.say()
    started = time.monotonic()
    # Times are kept with the bundled build, per program set: another runtime's or another
    # build's programs have records of their own, and take the bundled build's until they do,
    # so that their hangs are cut short too.
    # Under memcheck the records are neither used nor added to.
    case_limits = limits.Limits(args.build, bin_dir, args.timeout_factor, learned=not args.valgrind)
    rerun = rerun_command(args)
    kept = {case.id: repro.keep(case, expectations.kept(case), args.keep, starter, bin_dir,
                                case_limits.for_case(case), rerun(case, "--keep", args.keep))
            for case in chosen} if args.keep else {}
    if kept:
        report.say(f"kept {len(kept)} case{'s' if len(kept) != 1 else ''} to run by hand: "
                   + (shown(next(iter(kept.values()))) if len(kept) == 1 else f"{shown(args.keep)}/DELIVERABLE/NAME/run")
                   + "\n")
    try:
        verdicts = run_all(chosen, bin_dir, args, report, expectations, starter, case_limits)
        case_limits.record(verdicts)
        if expectations.blessing:
            report.blessings(expectations.bless_all(all_cases, verdicts), shown(args.bless))
            reference.keep(args.bless, args.runtime)
    except casefiles.CaseFileError as error:
        print(f"regress: {error}", file=sys.stderr)
        return SETUP_ERROR
    if args.explain:
        explain.explain_failures(verdicts, args, starter, args.jobs)
    report.failures(verdicts, rerun, kept)
    report.summary(verdicts, time.monotonic() - started, args.jobs)
    stopped = f"stopped after {args.max_failures} failed (--max-failures)"
    if len(verdicts) < len(chosen):
        report.say(f"{len(chosen) - len(verdicts)} cases not run: {stopped}", QUIET)
    record_failed(build_dir, verdicts)
    if args.junit:
        write_junit(args.junit, chosen, verdicts, rerun, not_run=stopped, properties={
            "programs run": starter.describe(), "compiler": compiler or "unknown (programs from --bin)",
            "runtime": runtime_path, "runtime sha256": runtime_sha,
            "expected output": shown(expectations.set_dir) if expectations.set_dir else "the case files"})
    return 0 if all(v.passed for v in verdicts) else 1


if __name__ == "__main__":
    command.run("regress", main)
