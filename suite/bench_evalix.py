"""Benchmark of evalix: a million generated expression lines, timed against bc -q on the same lines."""
import random
import resource
import shutil
import subprocess
import tempfile
from pathlib import Path

from . import launcher
from .workloads import expression
from .figures import BenchError, BenchUnavailable, Figure

LINES = 1000000
SEED = 1979


def write_lines(path, count=LINES, seed=SEED):
    """The same lines on every run, so that runs and machines compare."""
    rng = random.Random(seed)
    with open(path, "w") as out:
        out.writelines(expression(rng) + "\n" for _ in range(count))


def children_cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def seconds_to_answer(command, lines, timeout, starter=launcher.Launcher()):
    """Processor time (user and system) the program takes to read and answer every line; its
    answers are discarded. Processor time, unlike elapsed time, is not what other work on a
    busy machine takes away."""
    with open(lines, "rb") as stdin:
        before = children_cpu_seconds()
        try:
            done = starter.run(command[0], command[1:], stdin=stdin, stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, timeout=timeout)
        except FileNotFoundError:
            raise BenchError(f"program not built: {command[0]}")
        except subprocess.TimeoutExpired:
            raise BenchError(f"{command[0]} took longer than {timeout} s")
        seconds = children_cpu_seconds() - before
    if done.returncode != 0:
        raise BenchError(f"{command[0]} exited with status {done.returncode}: "
                         f"{done.stderr.decode(errors='replace').strip()[:200]}")
    return seconds


def evalix_against_bc(build, repeat, starter):
    bc = shutil.which("bc")
    if bc is None:
        raise BenchUnavailable("bc is not installed")
    with tempfile.TemporaryDirectory() as scratch:
        lines = Path(scratch) / "expressions.txt"
        write_lines(lines)
        evalix_rates, bc_rates = [], []
        for _ in range(repeat):
            evalix_rates.append(LINES / seconds_to_answer([str(build / "bin" / "evalix")], lines, 300,
                                                          starter))
            bc_rates.append(LINES / seconds_to_answer([bc, "-q"], lines, 600))
    ratio = [] if starter.emulated else [e / b for e, b in zip(evalix_rates, bc_rates)]
    return [Figure("evalix", "lines per second", evalix_rates, "lines/s"),
            Figure("evalix", "bc -q lines per second", bc_rates, "lines/s"),
            Figure("evalix", "evalix to bc speed", ratio, "times",
                   "not comparable: bc runs natively, evalix under the emulator")]
