"""Runs one case's program in a fresh directory and records how it ended and what it wrote."""

import ctypes
import math
import os
import resource
import selectors
import signal
import subprocess
import tempfile
import threading
import time
from dataclasses import dataclass
from pathlib import Path

# A runaway program can write gigabytes before its time limit; past this much
# output on one stream it is stopped, since no case expects anything near it.
OUTPUT_LIMIT = 8 * 1024 * 1024
CHUNK = 65536

# memcheck runs a program some tens of times slower, so its cases get this many times their
# time limit. Its report goes to a file of its own, so that the program's own standard error
# is still compared exactly; errors also change the exit status to MEMCHECK_STATUS.
MEMCHECK_SLOWDOWN = 20
MEMCHECK_STATUS = 99
MEMCHECK = ["valgrind", "--tool=memcheck", "--leak-check=no", "--track-origins=yes",
            f"--error-exitcode={MEMCHECK_STATUS}"]

# Nothing a case starts may outlive the runner, however the runner ends: a SIGKILL (an OOM kill,
# a CI hard timeout) leaves it no chance to stop its programs, so the kernel must. Each program
# gets a parent-death signal, SIGKILL, and a limit on its processor time, set in the child between
# fork and exec. Not through exec wrappers (setpriv, prlimit): they find the program with execvp,
# which would run a file the kernel refuses (ENOEXEC) with /bin/sh and turn a program that cannot
# start into an exit status. A preexec_fn is unsafe in a threaded runner only when it needs what
# another thread may hold at the fork (a lock, an import, the collector, which subprocess turns
# off around the fork); this one makes two system calls through functions bound here in advance.
# The parent-death signal fires when the thread that forked ends, not the process: each program
# is started by a worker thread that then waits for it, so only the runner's own end fires it.
PR_SET_PDEATHSIG = 1
_prctl = ctypes.CDLL(None, use_errno=True).prctl
_prctl.argtypes = [ctypes.c_int, ctypes.c_ulong]
_setrlimit = resource.setrlimit

_running = set()
_running_lock = threading.Lock()


@dataclass(frozen=True)
class Outcome:
    ending: str  # "exited", "signal", "hung", "flooded", "not built" or "cannot start"
    status: int  # the exit status, or the signal number; -1 when neither applies
    stdout: str
    stderr: str
    seconds: float
    detail: str  # how it ended, in words
    memcheck: str = ""  # memcheck's report of errors, when the case ran under it and it found any

    @property
    def exited(self):
        return self.ending == "exited"


def signal_name(number):
    try:
        return f"{signal.Signals(number).name} ({number})"
    except ValueError:
        return f"signal {number}"


def _kill_group(process):
    # The program runs in its own session, so its children go with it; the
    # leader is not yet reaped here, which keeps the group id from being reused.
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def stop_all():
    """Kills every program still running, for when the runner itself is interrupted."""
    with _running_lock:
        for process in list(_running):
            if process.returncode is None:
                _kill_group(process)


def _exchange(process, stdin_bytes, deadline):
    """Feeds stdin and collects output; returns stdout, stderr and "hung", "flooded" or None."""
    out_fd, err_fd = process.stdout.fileno(), process.stderr.fileno()
    collected = {out_fd: bytearray(), err_fd: bytearray()}
    selector = selectors.DefaultSelector()
    for fd in collected:
        selector.register(fd, selectors.EVENT_READ)
    pending = memoryview(stdin_bytes)
    if pending:
        os.set_blocking(process.stdin.fileno(), False)
        selector.register(process.stdin.fileno(), selectors.EVENT_WRITE)
    else:
        process.stdin.close()
    open_outputs = len(collected)
    try:
        while open_outputs:
            left = deadline - time.monotonic()
            if left <= 0:
                return collected[out_fd], collected[err_fd], "hung"
            for key, _ in selector.select(left):
                if key.fd in collected:
                    chunk = os.read(key.fd, CHUNK)
                    if not chunk:
                        selector.unregister(key.fd)
                        open_outputs -= 1
                    collected[key.fd] += chunk
                    if len(collected[key.fd]) > OUTPUT_LIMIT:
                        return collected[out_fd], collected[err_fd], "flooded"
                    continue
                try:
                    pending = pending[os.write(key.fd, pending[:CHUNK]):]
                except BlockingIOError:
                    continue
                except BrokenPipeError:
                    pending = pending[:0]
                if not pending:
                    selector.unregister(key.fd)
                    process.stdin.close()
        return collected[out_fd], collected[err_fd], None
    finally:
        selector.close()


def _wait(process, deadline):
    try:
        process.wait(timeout=max(0.0, deadline - time.monotonic()))
        return None
    except subprocess.TimeoutExpired:
        return "hung"


def _ending(timeout, process, trouble):
    if trouble == "hung":
        return "hung", -1, f"hung: still running after {timeout:g} s, killed"
    if trouble == "flooded":
        return "flooded", -1, f"flooded: wrote more than {OUTPUT_LIMIT} bytes to one stream, killed"
    if process.returncode < 0:
        return "signal", -process.returncode, f"killed by signal {signal_name(-process.returncode)}"
    return "exited", process.returncode, f"exit status {process.returncode}"


def _memcheck_errors(log_path):
    """memcheck's whole report when it found an error; empty when it found none."""
    try:
        lines = Path(log_path).read_text(encoding="latin-1").splitlines()
    except FileNotFoundError:
        return ""
    return "\n".join(lines) if any("ERROR SUMMARY" in l and " 0 errors" not in l for l in lines) else ""


def confinement(seconds):
    """The preexec_fn for a program whose time limit is seconds. Its processor time is limited
    to just past that, which a program running alone never reaches first (SIGXCPU, and SIGKILL
    a second later)."""
    runner, cpu = os.getpid(), math.ceil(seconds) + 1

    def confine():
        _prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
        if os.getppid() != runner:
            # The runner ended before the signal was armed.
            os.kill(os.getpid(), signal.SIGKILL)
        _setrlimit(resource.RLIMIT_CPU, (cpu, cpu + 1))

    return confine


def run_case(case, bin_dir, shown_bin_dir, launcher, memcheck=False, variables=None):
    """Runs the case's program with argv[0] its bare name, stdin a pipe, in a new temporary
    directory, as the launcher starts it; under valgrind's memcheck when asked. variables:
    environment variables to set for it besides the runner's own."""
    program = (Path(bin_dir) / case.program).resolve()
    if not (program.is_file() and os.access(program, os.X_OK)):
        shown = Path(shown_bin_dir) / case.program
        return Outcome("not built", -1, "", "", 0.0, f"program not built: {shown}")
    args = [a.encode("latin-1") for a in case.args]
    started = launcher.command(program, args, argv0=case.program.encode())
    argv, executable = started.argv, started.executable
    environment = dict(started.environment or os.environ, **(variables or {}))
    timeout = started.time_limit(case.timeout)
    with tempfile.TemporaryDirectory(prefix="regress-") as workdir, \
            tempfile.TemporaryDirectory(prefix="regress-memcheck-") as logdir:
        log_path = Path(logdir) / "memcheck.log"
        if memcheck:
            # valgrind finds the program on PATH and hands it the bare name as argv[0].
            argv = [w.encode() for w in MEMCHECK + [f"--log-file={log_path}", case.program]] + args
            executable, timeout = None, case.timeout * MEMCHECK_SLOWDOWN
            environment["PATH"] = f"{program.parent}{os.pathsep}{os.environ.get('PATH', '')}"
        for name, content in case.files:
            (Path(workdir) / name).write_bytes(content.encode("latin-1"))
        start = time.monotonic()
        deadline = start + timeout
        try:
            process = subprocess.Popen(argv, executable=executable, cwd=workdir, env=environment,
                                       stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                       stderr=subprocess.PIPE, start_new_session=True,
                                       preexec_fn=confinement(timeout))
        except OSError as error:
            return Outcome("cannot start", -1, "", "", 0.0, f"program cannot be started: {error}")
        with process:
            with _running_lock:
                _running.add(process)
            try:
                stdout, stderr, trouble = _exchange(process, case.stdin.encode("latin-1"), deadline)
                trouble = trouble or _wait(process, deadline)
            finally:
                if process.returncode is None:
                    _kill_group(process)
                with _running_lock:
                    _running.discard(process)
        seconds = time.monotonic() - start
        errors = _memcheck_errors(log_path) if memcheck else ""
    ending, status, detail = _ending(timeout, process, trouble)
    return Outcome(ending, status, stdout.decode("latin-1"), stderr.decode("latin-1"), seconds, detail,
                   errors)
