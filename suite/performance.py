"""Measures workloads with a runtime's programs: counted under callgrind natively, or timed and their system calls traced under the emulator."""

import concurrent.futures
import contextlib
import hashlib
import json
import os
import shutil
import subprocess
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

from . import callgrind
from . import execute
from . import launcher
from . import runtime_check

ENTRY_POINTS = json.loads(runtime_check.ABI_FILE.read_text())["entry_points"]
# callgrind runs a program some fifty times slower than it runs natively.
TIME_LIMIT = 600
# Timed runs of each workload under each runtime, where nothing can be counted: with seven a side,
# two runtimes alike give two ranges apart about once in 3400 workloads.
DEFAULT_REPEAT = 7
COUNTED, TIMED = "callgrind", "timed"
# The programs' environment, the same for every run: glibc's start-up reads it, and a longer one
# costs more instructions.
PATH_TAIL = "/usr/bin:/bin"


class NotMeasured(Exception):
    """A run that gave no figures: it ran past its time limit, or the tool could not run it."""


@dataclass(frozen=True)
class Runtime:
    """A runtime as it is measured: the programs linked with it, and its archive, whose functions
    are the runtime's own."""
    label: str
    bin_dir: Path
    archive: Path


class Scratch:
    """A fresh directory for one run: the workload's files, its standard input in a file, and the
    program under its bare name in a directory of its own, at a path as long on every run."""

    def __init__(self, directory, workload, bin_dir):
        self.dir = Path(directory)
        self.workload = workload
        self.work = self.dir / "work"
        self.bin = self.dir / "bin"
        self.work.mkdir()
        self.bin.mkdir()
        program = (Path(bin_dir) / workload.program).resolve()
        if not program.is_file():
            raise NotMeasured(f"program not built: {program}")
        self.program = self.bin / workload.program
        self.program.symlink_to(program)
        for name, content in workload.files:
            (self.work / name).write_bytes(content.encode("latin-1"))
        self.stdin = self.dir / "stdin"
        self.stdin.write_bytes(workload.stdin.encode("latin-1"))
        self.environment = {"PATH": f"{self.bin}{os.pathsep}{PATH_TAIL}"}

    def run(self, argv, timeout, executable=None, environment=None):
        """(exit status or -signal, stdout, stderr, processor seconds) of the program started by argv."""
        outputs = [self.dir / "stdout", self.dir / "stderr"]
        with open(self.stdin, "rb") as stdin, open(outputs[0], "wb") as stdout, open(outputs[1], "wb") as stderr:
            process = subprocess.Popen(argv, executable=executable, cwd=self.work,
                                       env=environment or self.environment, stdin=stdin, stdout=stdout,
                                       stderr=stderr, start_new_session=True,
                                       preexec_fn=execute.confinement(timeout))
            with execute.tracked(process):
                deadline = time.monotonic() + timeout
                while True:
                    pid, status, usage = os.wait4(process.pid, os.WNOHANG)
                    if pid:
                        process.returncode = os.waitstatus_to_exitcode(status)
                        break
                    if time.monotonic() > deadline:
                        raise NotMeasured(f"still running after {timeout} s")
                    time.sleep(0.01)
        return (process.returncode, *(path.read_bytes() for path in outputs),
                usage.ru_utime + usage.ru_stime)


@contextlib.contextmanager
def scratch(workload, bin_dir):
    with tempfile.TemporaryDirectory(prefix="regress-perf-") as directory:
        yield Scratch(directory, workload, bin_dir)


def ended(status, stdout, stderr):
    """What every way of measuring records of a run: how it ended, what it wrote, in how many bytes."""
    return {"status": status, "output": hashlib.sha256(stdout + b"\0" + stderr).hexdigest(),
            "bytes written": len(stdout) + len(stderr)}


def counted(workload, runtime, inside):
    """The workload's figures under callgrind: instructions, system calls by name, and for each
    entry point the calls the program made into it, with their inclusive instructions and system calls."""
    with scratch(workload, runtime.bin_dir) as run:
        profile, log = run.dir / "callgrind.out", run.dir / "valgrind.log"
        valgrind = shutil.which("valgrind")
        status, stdout, stderr, _ = run.run(
            [valgrind, *callgrind.OPTIONS, f"--callgrind-out-file={profile}", "--trace-syscalls=yes",
             f"--log-file={log}", workload.program, *workload.args], TIME_LIMIT)
        if not profile.exists():
            tail = log.read_text(errors="replace").strip().splitlines()[-3:] if log.exists() else []
            raise NotMeasured(f"callgrind wrote no profile (exit status {status}): {' / '.join(tail)}")
        counts = callgrind.read_profile(profile.read_text(errors="replace"))
        calls = callgrind.system_calls(log.read_text(errors="replace"))
    entered = counts.entered(set(ENTRY_POINTS), inside)
    return {**ended(status, stdout, stderr), "instructions": counts.totals.get("Ir", 0), "system calls": calls,
            "entry points": {name: {"calls": n, "instructions": cost.get("Ir", 0),
                                    "system calls": cost.get("sysCount", 0)}
                             for name, (n, cost) in sorted(entered.items())}}


def traced(workload, runtime, starter):
    """The workload's figures under the emulator, without a time: the system calls it makes."""
    with scratch(workload, runtime.bin_dir) as run:
        log = run.dir / "syscalls.log"
        started = starter.command(run.program, workload.args, argv0=workload.program, syscall_log=log)
        status, stdout, stderr, _ = run.run(started.argv, started.time_limit(TIME_LIMIT), started.executable)
        calls = callgrind.system_calls(log.read_text(errors="replace"), callgrind.EMULATOR_SYSCALL)
    return {**ended(status, stdout, stderr), "system calls": calls}


def timed(workload, runtime, starter):
    """Processor seconds of one run under the emulator."""
    with scratch(workload, runtime.bin_dir) as run:
        started = starter.command(run.program, workload.args, argv0=workload.program)
        return run.run(started.argv, started.time_limit(TIME_LIMIT), started.executable)[3]


def way(starter):
    """How figures are had here: counted under callgrind natively, timed under the emulator."""
    return TIMED if starter.emulated else COUNTED


def tool(starter):
    """What the figures are had with, by name and version: another version may count otherwise."""
    if starter.emulated:
        return f"{Path(starter.emulator).name} {launcher.emulator_version(starter.emulator)}"
    return subprocess.run(["valgrind", "--version"], capture_output=True, text=True).stdout.strip()


def measure(workloads, runtimes, starter, jobs, repeat=DEFAULT_REPEAT, done=lambda workload, figures: None):
    """{workload id: figures, or the NotMeasured message} for each runtime. Under the emulator every
    workload's system calls are counted, and then the generated workloads are timed, one run at a
    time, the runtimes taking turns, so that a machine busy for a while slows both alike. done(workload,
    figures of each runtime) is called as each workload is measured."""
    results = [{} for _ in runtimes]
    if starter.emulated:
        measure_one = lambda w, r: traced(w, r, starter)
    else:
        inside = {r.label: runtime_check.function_names(r.archive) for r in runtimes}
        measure_one = lambda w, r: counted(w, r, inside[r.label])

    def attempt(workload, runtime):
        try:
            return measure_one(workload, runtime)
        except NotMeasured as error:
            return str(error)

    def record(workload, figures):
        for result, figure in zip(results, figures):
            result[workload.id] = figure
        done(workload, figures)

    # The longest first, so that no long one starts last and runs alone.
    order = sorted(workloads, key=lambda w: not w.generated)
    to_time = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        futures = {(w.id, r.label): pool.submit(attempt, w, r) for w in order for r in runtimes}
        try:
            for workload in order:
                figures = [futures[workload.id, r.label].result() for r in runtimes]
                if starter.emulated and workload.generated:
                    to_time.append((workload, figures))
                else:
                    record(workload, figures)
        except BaseException:
            pool.shutdown(wait=False, cancel_futures=True)
            execute.stop_all()
            raise
    for workload, figures in to_time:
        add_times(workload, runtimes, starter, repeat, figures)
        record(workload, figures)
    return results


def add_times(workload, runtimes, starter, repeat, figures):
    times = [[] for _ in runtimes]
    for _ in range(repeat):
        for i, runtime in enumerate(runtimes):
            if isinstance(figures[i], dict):
                try:
                    times[i].append(timed(workload, runtime, starter))
                except NotMeasured as error:
                    figures[i] = str(error)
    for figure, seconds in zip(figures, times):
        if isinstance(figure, dict):
            figure["seconds"] = seconds
