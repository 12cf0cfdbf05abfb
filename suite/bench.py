"""Runs the suite's benchmarks and prints a table of the figures this run measured."""
import argparse
import collections
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

from . import bench_suite
from . import callgrind
from . import launcher
from . import toolchain
from .bench_evalix import evalix_against_bc
from .figures import BenchError, BenchUnavailable, Figure



def run_program(command, timeout, starter=launcher.Launcher()):
    """Runs a benchmark program and returns its standard output; a failed run is an error."""
    try:
        result = starter.run(command[0], command[1:], capture_output=True, text=True, timeout=timeout)
    except FileNotFoundError:
        raise BenchError(f"program not built: {command[0]}")
    except subprocess.TimeoutExpired:
        raise BenchError(f"{command[0]} took longer than {timeout} s")
    if result.returncode != 0:
        raise BenchError(f"{command[0]} exited with status {result.returncode}: {result.stderr.strip()}")
    return result.stdout


def callgrind_profile(command, collect="main"):
    """Runs a program under callgrind, counting only inside the function `collect`.

    Returns the program's output, the instructions executed and the number of calls along
    each (caller, callee) edge, named by function without its argument list."""
    with tempfile.TemporaryDirectory() as scratch:
        profile = Path(scratch) / "callgrind.out"
        output = run_program(["valgrind", *callgrind.OPTIONS, f"--callgrind-out-file={profile}",
                              f"--toggle-collect={collect}"] + command, timeout=600)
        counted = callgrind.read_profile(profile.read_text())
    calls = collections.Counter()
    for (caller, callee), (count, _) in counted.edges.items():
        calls[caller.split("(")[0], callee.split("(")[0]] += count
    return output, counted.totals["Ir"], calls


def torquilan_runs_per_second(build, repeat, starter):
    values = []
    for _ in range(repeat):
        output = run_program([str(build / "bin" / "torquilan")], 300, starter)
        rate = re.search(r"^Torquilans per Second: +(\d+) $", output, re.MULTILINE)
        if rate is None:
            raise BenchError("torquilan measured too short a time to give a rate")
        values.append(int(rate.group(1)))
    return [Figure("torquilan", "runs per second", values, "runs/s")]


def torquilan_instructions_per_run(build, repeat, starter):
    # The full count would take minutes under valgrind; the short build runs the same
    # code, so its per-run count is the full run's.
    short = build / "tests" / "torquilan_short"
    if shutil.which("valgrind") is None:
        raise BenchUnavailable("valgrind is not installed")
    if starter.emulated:
        raise BenchUnavailable(starter.cannot_run("callgrind"))
    if not short.exists():
        raise BenchUnavailable(f"{short} is not built (it comes with the tests)")
    output, instructions, _ = callgrind_profile([str(short)])
    runs = int(re.search(r"^Execution starts, (\d+) runs", output, re.MULTILINE).group(1))
    return [Figure("torquilan", "instructions per run", [instructions / runs], "Ir (callgrind)")]


# Each benchmark is one function: (build dir, repetitions, launcher) -> list of Figure.

BENCHMARKS = [torquilan_runs_per_second, torquilan_instructions_per_run, evalix_against_bc]


def format_value(value):
    """Whole numbers as they are; others to a tenth, or below 10 (seconds, ratios) to a hundredth."""
    if not value % 1:
        return f"{value:.0f}"
    return f"{value:.2f}" if abs(value) < 10 else f"{value:.1f}"


def print_table(figures, failures):
    rows = [("benchmark", "figure", "median", "min", "max", "unit", "runs")]
    for figure in (f for f in figures if f.values):
        rows.append((figure.benchmark, figure.name, *(format_value(v) for v in (
            statistics.median(figure.values), min(figure.values), max(figure.values))),
            figure.unit, str(len(figure.values))))
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    for row in rows:
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())
    for figure in (f for f in figures if not f.values):
        print(f"{figure.benchmark} {figure.name}: {figure.note}")
    for name, error in failures:
        print(f"{name}: not measured: {error}")


def main(argv=None):
    parser = argparse.ArgumentParser(prog="./regress bench", description=__doc__,
                                     epilog="example: python3 -m suite.bench --build build --repeat 5")
    parser.add_argument("--build", type=Path,
                        help="build directory holding bin/ and tests/ (default: build/ of this tree, or "
                             "the toolchain's own, e.g. build-clang/)")
    parser.add_argument("--repeat", type=int, default=3,
                        help="runs of each timed benchmark; the table shows their median (default: 3)")
    parser.add_argument("--suite", action="store_true",
                        help="measure the suite's own speed instead: every case beside its longest case "
                             "alone, and a new runtime archive's first verdict and a repeat")
    launcher.add_option(parser)
    toolchain.add_option(parser)
    args = parser.parse_args(argv)
    if args.build is None:
        try:
            args.build = toolchain.build_dir(toolchain.resolve(args.toolchain))
        except toolchain.ToolchainError as error:
            parser.error(str(error))
    try:
        starter = launcher.choose(args.emulator)
    except launcher.LaunchError as error:
        print(f"bench: {error}", file=sys.stderr)
        return 2
    if starter.emulated:
        print(f"measured with the programs {starter.describe()}: these are the emulator's figures, "
              "not the programs' native speed\n")
    figures, failures = [], []
    for benchmark in bench_suite.BENCHMARKS if args.suite else BENCHMARKS:
        try:
            figures += benchmark(args.build, args.repeat, starter)
        except BenchError as error:
            failures.append((benchmark.__name__, error))
    print_table(figures, failures)
    return 1 if any(not isinstance(error, BenchUnavailable) for _, error in failures) else 0


if __name__ == "__main__":
    sys.exit(main())
