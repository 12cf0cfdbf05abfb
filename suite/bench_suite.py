"""The suite's own speed: a run of every case beside its longest case run alone, and a new runtime
archive's first verdict and a repeat, with where their seconds go."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from . import build as builds
from . import cases as casefiles
from .figures import BenchError, Figure
from .limits import Limits

REGRESS = builds.ROOT / "regress"
RUNNER = [sys.executable, "-m", "suite.regress"]
# What the runner says as it reaches each phase of a run against a runtime, in this order.
PHASES = (("configure", re.compile(r"\+ cmake -S ")), ("build", re.compile(r"\+ cmake --build ")),
          ("cases", re.compile(r"kel regression suite: ")))
TIMEOUT = 1800


class MachineLoad:
    """How busy the machine was with other work while a benchmark ran: the processor time that
    the kernel counted busy on every core (/proc/stat), less this process's and its children's,
    as a share of the cores' whole time."""

    def __init__(self):
        self.busy, self.ours, self.started = self._busy(), self._ours(), time.monotonic()

    @staticmethod
    def _busy():
        try:
            fields = [int(v) for v in Path("/proc/stat").read_text().split("\n", 1)[0].split()[1:]]
        except (OSError, ValueError):
            return None
        idle = fields[3] + fields[4]  # idle and iowait
        return (sum(fields[:8]) - idle) / os.sysconf("SC_CLK_TCK")

    @staticmethod
    def _ours():
        return sum(os.times()[:4])  # this process's user and system time, and its children's

    def others(self):
        """The share of the cores' time (0 to 1) that other work used since the start; None
        where the kernel does not say."""
        busy = self._busy()
        if busy is None or self.busy is None:
            return None
        cores = len(os.sched_getaffinity(0))
        elapsed = time.monotonic() - self.started
        return max(0.0, (busy - self.busy) - (self._ours() - self.ours)) / (elapsed * cores)

    def describe(self):
        share = self.others()
        load = os.getloadavg()[0]
        used = f"other work used {share:.0%} of the {len(os.sched_getaffinity(0))} cores" \
            if share is not None else "other work's share unknown"
        return f"{used}; load average {load:.1f} at the end"


def timed(command, phases=()):
    """Runs a command to its end; its wall seconds, and the second at which each of the phases
    (name, pattern) first showed in its output. A command that fails is an error."""
    started = time.monotonic()
    seen = {}
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          cwd=builds.ROOT) as process:
        output = []
        for line in process.stdout:
            output.append(line)
            for name, pattern in phases:
                if name not in seen and pattern.match(line):
                    seen[name] = time.monotonic() - started
        process.wait(timeout=TIMEOUT)
    seconds = time.monotonic() - started
    if process.returncode != 0:
        raise BenchError(f"{' '.join(map(str, command))} exited with status {process.returncode}: "
                         + "".join(output[-5:]).strip())
    return seconds, seen


def longest_case(build, cases):
    """The case whose recorded passing time is the longest, with that time."""
    record = Limits(build, build / "bin")
    timed_cases = [(record.typical(c.id)[0], c.id) for c in cases if record.typical(c.id)[0] is not None]
    if not timed_cases:
        raise BenchError(f"no passing run of a case is recorded in {build}")
    return max(timed_cases)


def every_case_beside_the_longest(build, repeat, starter):
    """Rounds of a run of every case and a run of the longest alone, side by side (their order
    alternating from round to round), after a first run that brings the records up to date."""
    runner = [*RUNNER, "--build", str(build), "--no-build", "-q", "--emulator", starter.setting]
    cases = casefiles.load_cases(casefiles.CASES_DIR)
    load = MachineLoad()
    timed(runner)
    seconds, longest = longest_case(build, cases)
    every, alone = [], []
    for round_ in range(repeat):
        pair = [(every, runner), (alone, runner + ["--only", longest])]
        for kept, command in (pair if round_ % 2 == 0 else pair[::-1]):
            kept.append(timed(command)[0])
    ratios = [e / a for e, a in zip(every, alone)]
    note = load.describe()
    return [Figure("suite", f"every case ({len(cases)}), wall", every, "s"),
            Figure("suite", f"{longest} alone, wall", alone, "s"),
            Figure("suite", "every case / longest alone", ratios, "times"),
            Figure("suite", "while these ran", [], "", note)]


def new_runtime(build, repeat, starter):
    """./regress --runtime with an archive it has not seen (a copy of the bundled one under a new
    name), then the same again: wall seconds, and how long each took to start, configure, build
    and run the cases."""
    bundled = build / "lib" / "libkel.a"
    if not bundled.is_file():
        raise BenchError(f"{bundled} is not built")
    toolchain = builds.cached(build, "KEL_TOOLCHAIN") or "gcc"
    figures = {}
    load = MachineLoad()
    for _ in range(repeat):
        with tempfile.TemporaryDirectory(prefix="regress-bench-") as scratch:
            archive = Path(scratch) / "libkel.a"
            shutil.copyfile(bundled, archive)
            command = [str(REGRESS), "--runtime", str(archive), "--build", str(build), "--toolchain", toolchain,
                       "--emulator", starter.setting]
            try:
                for run in ("first", "again"):
                    seconds, seen = timed(command, PHASES)
                    figures.setdefault(f"{run}: whole verdict", []).append(seconds)
                    marks = [("start", 0.0)] + [(name, seen[name]) for name, _ in PHASES if name in seen]
                    for (name, begun), (_, ended) in zip(marks, marks[1:] + [("", seconds)]):
                        figures.setdefault(f"{run}: {name}", []).append(ended - begun)
            finally:
                shutil.rmtree(builds.runtime_build_dir(build, archive), ignore_errors=True)
    note = load.describe()
    return [Figure("new runtime", name, values, "s") for name, values in figures.items()] + \
        [Figure("new runtime", "while these ran", [], "", note)]


BENCHMARKS = [every_case_beside_the_longest, new_runtime]
