"""Runs one case's program in a fresh directory and records how it ended and what it wrote."""

import concurrent.futures
import contextlib
import ctypes
import fcntl
import math
import os
import pty
import resource
import selectors
import signal
import subprocess
import struct
import tempfile
import termios
import threading
import time
from dataclasses import dataclass, field, replace
from pathlib import Path

from . import cases
from .limits import Allowance

# A runaway program can write gigabytes before its time limit; past this much
# output on one stream it is stopped, since no case expects anything near it.
OUTPUT_LIMIT = 8 * 1024 * 1024
CHUNK = 65536
# Input in pieces waits for the program to read what came before, looking this often.
POLL = 0.01
# On a terminal the next line is typed once the screen has not changed for this long (and
# the program sleeps with its input read).
SETTLE = 0.05
PIPE_PAGE = 4096

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
# off around the fork); this one only makes system calls, through functions bound in advance.
# The parent-death signal fires when the thread that forked ends, not the process: each program
# is started by a worker thread that then waits for it, so only the runner's own end fires it.
PR_SET_PDEATHSIG = 1
_libc = ctypes.CDLL(None, use_errno=True)
_prctl = _libc.prctl
_prctl.argtypes = [ctypes.c_int, ctypes.c_ulong]
_setrlimit = resource.setrlimit
# The C library's own: Python's signal.signal works only in the main thread, and the programs
# are started from worker threads.
_ignore_signal = _libc.signal
_ignore_signal.argtypes = [ctypes.c_int, ctypes.c_void_p]
_ignore_signal.restype = ctypes.c_void_p
SIG_IGN = 1

_running = set()
_running_lock = threading.Lock()
# Set once the runner is stopping: a program that started just before is killed as it is noted.
_stopping = False


@dataclass(frozen=True)
class Outcome:
    ending: str  # "exited", "signal", "hung", "flooded", "not built" or "cannot start"
    status: int  # the exit status, or the signal number; -1 when neither applies
    stdout: str
    stderr: str
    seconds: float
    detail: str  # how it ended, in words
    memcheck: str = ""  # memcheck's report of errors, when the case ran under it and it found any
    slowdown: int = 1  # how many times slower than natively it ran (the emulator's factor, or 1)

    @property
    def exited(self):
        return self.ending == "exited"

    @property
    def ended(self):
        """Whether the program ended by itself: it exited or a signal killed it, not the runner."""
        return self.ending in ("exited", "signal")

    @property
    def native_seconds(self):
        return self.seconds / self.slowdown


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


@contextlib.contextmanager
def tracked(process):
    """Keeps a started program where stop_all finds it while it runs; it is killed, with its
    session, if it is still running when the block ends."""
    with _running_lock:
        _running.add(process)
        if _stopping:
            _kill_group(process)
    try:
        yield process
    finally:
        if process.returncode is None:
            _kill_group(process)
        with _running_lock:
            _running.discard(process)


def stop_all():
    """Kills every program still running, for when the runner itself is interrupted."""
    global _stopping
    with _running_lock:
        _stopping = True
        for process in list(_running):
            if process.returncode is None:
                _kill_group(process)


def _queued(fd):
    """Bytes written towards the program that it has not read yet (a pipe's, or a terminal's input)."""
    return struct.unpack("i", fcntl.ioctl(fd, termios.FIONREAD, b"\0\0\0\0"))[0]


def _state(pid):
    """The process's state letter (S sleeping, T stopped, ...); empty once it has gone."""
    try:
        stat = Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return ""
    return stat[stat.rindex(")") + 2]


def _asleep(pid):
    return _state(pid) == "S"


def _io(pid):
    """How many bytes the process has read and written so far, through any descriptor; None when
    the kernel does not say."""
    try:
        fields = dict(line.split(": ") for line in Path(f"/proc/{pid}/io").read_text().splitlines())
        return int(fields["rchar"]), int(fields["wchar"])
    except (OSError, KeyError, ValueError):
        return None


class _Deadline:
    """When the program is taken for hung: at the end of its allowance, which the allowance may
    lengthen when the time comes (the program is still reading or writing, or the run is slow).
    Whether it still reads or writes is read from its counts of bytes halfway through each
    allowance and at its end, so that what a program reads as it starts (its loader, its script)
    never counts. Allowances are in native seconds; under the emulator each is slowdown times longer."""

    def __init__(self, process, start, allowance, slowdown):
        self.process, self.start, self.allowance, self.slowdown = process, start, allowance, slowdown
        self.allowed = allowance.first
        self.look, self.io = self.allowed / 2, None

    def left(self):
        """Seconds until the program is taken for hung, or until its counts are read; 0 once it is hung."""
        now = time.monotonic()
        elapsed = (now - self.start) / self.slowdown
        if self.look is not None and elapsed >= self.look:
            self.look, self.io = None, _io(self.process.pid)
        while elapsed >= self.allowed:
            io = _io(self.process.pid)
            progressed = None not in (io, self.io) and io != self.io
            more = self.allowance.beyond(elapsed, progressed)
            if more is None or more <= self.allowed:
                return 0.0
            self.allowed, self.look, self.io = more, (elapsed + more) / 2, io
        wake = self.allowed if self.look is None else min(self.allowed, self.look)
        return max(self.start + wake * self.slowdown - now, 0.001)

    @property
    def wall_seconds(self):
        return self.allowed * self.slowdown


class _StoppedWriter:
    """Leaves stdout's pipe unread until the program blocks writing to it, takes a little, so that
    the write goes on and blocks again part done, then stops and continues the program as job
    control does (Ctrl-Z, then fg): the write returns with only part of its count written. Its
    output is read as usual once it has been continued, or has ended without ever blocking.
    Blocked means asleep with the pipe holding the same bytes as at the last look: a pipe stops
    taking bytes a little short of its size when the writes are not whole pages, so its being
    full cannot be the sign."""

    TAKEN = 4096

    def __init__(self, process, fd):
        self.process, self.fd = process, fd
        self.taken = b""
        self.seen = None      # what the pipe held at the last look
        self.left = None      # what it held once the little was taken
        self.step = self._take_a_little

    @property
    def done(self):
        return self.step is None

    def advance(self):
        if self.process.poll() is not None:
            self.step = None
        else:
            self.step()

    def _still(self):
        """Whether the pipe holds what it held at the last look, with the program asleep."""
        before, self.seen = self.seen, _queued(self.fd)
        return self.seen > 0 and self.seen == before and _asleep(self.process.pid)

    def _take_a_little(self):
        if self._still():
            self.taken = os.read(self.fd, self.TAKEN)
            # Counted, not looked at: the writer may have refilled the pipe already.
            self.left = self.seen = self.seen - len(self.taken)
            self.step = self._stop_when_blocked

    def _stop_when_blocked(self):
        if self._still() and self.seen > self.left:
            os.kill(self.process.pid, signal.SIGSTOP)
            self.step = self._continue_when_stopped

    def _continue_when_stopped(self):
        if _state(self.process.pid) == "T":
            os.kill(self.process.pid, signal.SIGCONT)
            self.step = None


class _LeavingReader:
    """stdout's read end, closed once `count` bytes have been read from it, as `| head -c N`
    closes it; at once when count is 0, so that the reader has gone before the program starts."""

    def __init__(self, fd, count):
        self.fd, self.count = fd, count
        if not count:
            self.close()

    def close(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None


class _Feed:
    """The program's input, written piece by piece: each piece only once the program has read
    every byte before it, so that each read returns at most one piece. On a terminal a piece
    is typed only once the program, besides, sleeps and the screen has not changed for
    `settle` seconds: as a person types the next line after the answer and the prompt."""

    def __init__(self, fd, pieces, queue_fd, close, process=None, settle=0.0):
        self.fd, self.queue_fd, self.close = fd, queue_fd, close
        self.pieces = [p.encode("latin-1") for p in pieces if p]
        self.pending = b""
        self.process, self.settle = process, settle
        os.set_blocking(fd, False)

    @property
    def done(self):
        return not self.pending and not self.pieces

    def _may_start_next(self, quiet_since):
        if _queued(self.queue_fd):
            return False
        if self.process is None:
            return True
        return time.monotonic() - quiet_since >= self.settle and _asleep(self.process.pid)

    def write(self, quiet_since):
        if not self.pending and self.pieces and self._may_start_next(quiet_since):
            self.pending = self.pieces.pop(0)
        if self.pending:
            try:
                self.pending = self.pending[os.write(self.fd, self.pending[:CHUNK]):]
            except BlockingIOError:
                pass
            except OSError:  # the program has gone: a broken pipe, a terminal that is closed
                self.pending, self.pieces = b"", []
        if self.done and self.close:
            self.close()


def _exchange(process, outputs, feed, screen, deadline, screen_is_stdout, held=None, leaving=None):
    """Feeds stdin and collects output; returns stdout, stderr and "hung", "flooded" or None.
    outputs: the pipes to read, stdout's and stderr's (None where there is none); screen: a
    terminal's master end, read until the program has ended; screen_is_stdout: whether it
    stands for stdout (CR-LF made LF), as it does where stdout is on the terminal; held: a
    _StoppedWriter, until whose end stdout is not read; leaving: the _LeavingReader that stdout
    is, read no further than its count and then closed."""
    out_fd, err_fd = outputs
    reading = [fd for fd in (out_fd, err_fd, screen) if fd is not None and not (held and fd == out_fd)]
    collected = {fd: bytearray() for fd in (out_fd, err_fd, screen)}
    quiet_since = time.monotonic()
    selector = selectors.DefaultSelector()
    for fd in reading:
        selector.register(fd, selectors.EVENT_READ)

    def seen(trouble):
        shown = (bytes(collected[screen]).replace(b"\r\n", b"\n") if screen_is_stdout
                 else collected[out_fd])
        return shown, collected[err_fd], trouble

    try:
        # A terminal never reads as ended while the runner holds its far end: it is read
        # until the program has ended and its pipes are closed.
        while (reading or held is not None) and (reading != [screen] or process.poll() is None):
            left = deadline.left()
            if left <= 0:
                return seen("hung")
            if feed is not None and not feed.done:
                feed.write(quiet_since)
            if held is not None:
                held.advance()
                if held.done:
                    collected[out_fd] += held.taken
                    reading.append(out_fd)
                    selector.register(out_fd, selectors.EVENT_READ)
                    held = None
            polling = (feed is not None and not feed.done) or reading == [screen] or held is not None
            for key, _ in selector.select(min(left, POLL) if polling else left):
                limited = leaving is not None and key.fd == out_fd
                wanted = min(CHUNK, leaving.count - len(collected[key.fd])) if limited else CHUNK
                try:
                    chunk = os.read(key.fd, wanted)
                except OSError:  # a terminal whose program end is closed
                    chunk = b""
                collected[key.fd] += chunk
                reached = limited and len(collected[key.fd]) == leaving.count
                if not chunk or reached:
                    selector.unregister(key.fd)
                    reading.remove(key.fd)
                if reached:
                    leaving.close()
                quiet_since = time.monotonic()
                if len(collected[key.fd]) > OUTPUT_LIMIT:
                    return seen("flooded")
        if screen is not None:
            _drain(screen, collected[screen])
        return seen(None)
    finally:
        selector.close()


def _drain(fd, seen):
    """Adds what a terminal still holds for the screen once its program has ended."""
    os.set_blocking(fd, False)
    while len(seen) <= OUTPUT_LIMIT:
        try:
            chunk = os.read(fd, CHUNK)
        except OSError:  # nothing more (EAGAIN), or the far end closed (EIO)
            return
        if not chunk:
            return
        seen += chunk


def _wait(process, deadline):
    while True:
        left = deadline.left()
        if left <= 0:
            return "hung"
        try:
            process.wait(timeout=left)
            return None
        except subprocess.TimeoutExpired:
            pass


def _ending(deadline, process, trouble):
    if trouble == "hung":
        return "hung", -1, (f"hung: still running after {deadline.wall_seconds:.3g} s, killed; "
                            f"its limit: {deadline.allowance.reason}")
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


def cpu_seconds(seconds):
    """The limit on processor time of a program whose time limit is seconds: just past it."""
    return math.ceil(seconds) + 1


def confinement(seconds, closed=(), ignored=(), rlimits=()):
    """The preexec_fn for a program that may run for at most seconds, which starts without the
    descriptors closed, with the signals ignored (subprocess has by then given every signal its
    default action back) and with the resource limits given. Its processor time is limited to
    just past its time limit, which a program running alone never reaches first (SIGXCPU, and
    SIGKILL a second later)."""
    runner, cpu = os.getpid(), cpu_seconds(seconds)

    def confine():
        _prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
        if os.getppid() != runner:
            # The runner ended before the signal was armed.
            os.kill(os.getpid(), signal.SIGKILL)
        _setrlimit(resource.RLIMIT_CPU, (cpu, cpu + 1))
        for limit, value in rlimits:
            _setrlimit(limit, (value, value))
        for fd in closed:
            os.close(fd)
        for number in ignored:
            _ignore_signal(number, SIG_IGN)

    return confine


@dataclass
class _Streams:
    """How the program's stdin and stdout are connected, as the case asks."""
    stdin: object = subprocess.PIPE
    stdout: object = subprocess.PIPE
    stderr: object = subprocess.PIPE
    closed: tuple = ()      # descriptors the program starts without
    terminal: int = None    # the far (master) end of its terminal
    reader: object = None   # a _LeavingReader of stdout, which the runner reads only so far
    handed: list = field(default_factory=list)   # the program's ends of pipes the runner made,
                                                 # closed in the runner once it has started


def _streams(case, workdir, opened):
    """The case's connections; descriptors the runner opens for them go on `opened`, to be
    closed once the program has ended."""
    def keep(fd):
        opened.callback(os.close, fd)
        return fd

    streams = _Streams(closed=tuple(fd for fd, way in ((0, case.stdin_from), (1, case.stdout_to))
                                    if way == "closed"))
    if case.stdin_from != "pipe":
        streams.stdin = keep(os.open(workdir, os.O_RDONLY | os.O_DIRECTORY))
    if case.stdout_to in cases.UNCAPTURED:
        streams.stdout = keep(os.open("/dev/full", os.O_WRONLY))
    if case.stdout_closed_after is not None:
        reader, streams.stdout = os.pipe()
        streams.handed.append(streams.stdout)
        # One page, the least a pipe holds: a program that writes more than a page past what is
        # read is still writing when the reader goes, whatever the scheduling.
        fcntl.fcntl(reader, fcntl.F_SETPIPE_SZ, PIPE_PAGE)
        streams.reader = _LeavingReader(reader, case.stdout_closed_after)
        opened.callback(streams.reader.close)
    if case.terminal_streams:
        master, slave = (keep(fd) for fd in pty.openpty())
        streams.terminal = master
        for name in case.terminal_streams:
            setattr(streams, name, slave)
    return streams


def _feed(case, process, streams, slowdown):
    if case.terminal is not None:
        # The end of input is the terminal's end-of-file key at the start of a line; after a
        # last line without its line end, the first press only hands that line over.
        eof = termios.tcgetattr(streams.terminal)[6][termios.VEOF]
        typed = list(case.terminal) + [eof.decode("latin-1")] * (
            2 if case.terminal and not case.terminal[-1].endswith("\n") else 1)
        return _Feed(streams.terminal, typed, streams.stdin, None, process, SETTLE * slowdown)
    if process.stdin is None:
        return None
    if not case.stdin_pieces:
        process.stdin.close()
        return None
    return _Feed(process.stdin.fileno(), case.stdin_pieces, process.stdin.fileno(), process.stdin.close)


MAKE_SPECIAL = {"directory": os.mkdir, "fifo": os.mkfifo, "zeros": lambda path: os.symlink("/dev/zero", path)}


def run_cases(chosen, bin_dir, launcher, judge, jobs, limit=lambda case: None):
    """The verdict judge(case, outcome) on each case, run jobs at a time, limit(case) seconds each
    (None: its timeout), in the order given."""
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        return list(pool.map(lambda case: judge(case, run_case(case, bin_dir, bin_dir, launcher,
                                                               limit=limit(case))), chosen))


def program_path(case, bin_dir):
    return (Path(bin_dir) / case.program).resolve()


def allowance(limit, case):
    """A run's allowance: limit as run_case takes it, seconds or an Allowance, or the case's timeout."""
    return Allowance(limit) if isinstance(limit, (int, float)) else limit or Allowance(case.timeout)


def start_of(case, bin_dir, launcher, variables=None, limit=None):
    """How the case's program is started, as the launcher starts it with argv[0] its bare name:
    the command (argv, the file executed, the whole environment, its resource limits) and the
    most seconds it may run. variables: environment variables to set for it besides the runner's
    own. limit: how long it may run natively, in seconds or as a limits.Allowance (default: the
    case's timeout)."""
    args = [a.encode("latin-1") for a in case.args]
    started = launcher.command(program_path(case, bin_dir), args, argv0=case.program.encode(), stack=case.stack)
    environment = dict(started.environment or os.environ, **(variables or {}))
    # "_" is a shell's note of the command it last ran, which a shell sets afresh for whatever
    # it starts: a program kept to run by hand could never be given the runner's.
    environment.pop("_", None)
    return replace(started, environment=environment), started.time_limit(allowance(limit, case).ceiling)


def run_case(case, bin_dir, shown_bin_dir, launcher, memcheck=False, variables=None, limit=None):
    """Runs the case's program as start_of says, stdin and stdout as the case says (by default
    pipes), in a new temporary directory, for as long as limit allows (see start_of); under
    valgrind's memcheck when asked. A program that its loader or the emulator cannot start
    cannot start, whatever it exits with."""
    program = program_path(case, bin_dir)
    if not (program.is_file() and os.access(program, os.X_OK)):
        shown = Path(shown_bin_dir) / case.program
        return Outcome("not built", -1, "", "", 0.0, f"program not built: {shown}")
    started, _ = start_of(case, bin_dir, launcher, variables, limit)
    if not memcheck:
        outcome = run_started(case, started, allowance(limit, case))
        refused = launcher.start_failure(outcome.status, outcome.stderr) if outcome.exited else None
        return replace(outcome, ending="cannot start", status=-1,
                       detail=f"program cannot be started: {refused}") if refused else outcome
    with tempfile.TemporaryDirectory(prefix="regress-memcheck-") as logdir:
        log_path = Path(logdir) / "memcheck.log"
        # valgrind finds the program on PATH and hands it the bare name as argv[0].
        argv = [w.encode() for w in MEMCHECK + [f"--log-file={log_path}", case.program]] + started.argv[1:]
        environment = dict(started.environment,
                           PATH=f"{program.parent}{os.pathsep}{os.environ.get('PATH', '')}")
        outcome = run_started(case, replace(started, argv=argv, executable=None, environment=environment),
                              Allowance(allowance(limit, case).ceiling * MEMCHECK_SLOWDOWN))
        return replace(outcome, memcheck=_memcheck_errors(log_path))


def run_started(case, started, limit):
    """Runs the program as the launcher's command says, its standard streams connected as the
    case says, in a new temporary directory that holds the case's files; how it ended and what it
    wrote. limit: a limits.Allowance in native seconds, or the most wall seconds it may run."""
    limit = limit if isinstance(limit, Allowance) else Allowance(limit / started.slowdown)
    slowdown = started.slowdown
    with tempfile.TemporaryDirectory(prefix="regress-") as workdir, contextlib.ExitStack() as opened:
        for name, content in case.files:
            (Path(workdir) / name).write_bytes(content.encode("latin-1"))
        for name, kind in case.special_files:
            MAKE_SPECIAL[kind](Path(workdir) / name)
        streams = _streams(case, workdir, opened)
        start = time.monotonic()
        try:
            process = subprocess.Popen(started.argv, executable=started.executable, cwd=workdir,
                                       env=started.environment, stdin=streams.stdin, stdout=streams.stdout,
                                       stderr=streams.stderr, start_new_session=True,
                                       preexec_fn=confinement(limit.ceiling * slowdown, streams.closed,
                                                              case.ignored_signals, started.rlimits))
        except OSError as error:
            return Outcome("cannot start", -1, "", "", 0.0, f"program cannot be started: {error}")
        finally:
            for fd in streams.handed:
                os.close(fd)
        with process, tracked(process):
            deadline = _Deadline(process, start, limit, slowdown)
            outputs = tuple(pipe and pipe.fileno() for pipe in (process.stdout, process.stderr))
            if streams.reader:
                outputs = (streams.reader.fd, outputs[1])
            held = _StoppedWriter(process, outputs[0]) if case.stdout_to == "stopped" else None
            stdout, stderr, trouble = _exchange(process, outputs,
                                                _feed(case, process, streams, slowdown),
                                                streams.terminal, deadline,
                                                "stdout" in case.terminal_streams, held, streams.reader)
            trouble = trouble or _wait(process, deadline)
        seconds = time.monotonic() - start
    ending, status, detail = _ending(deadline, process, trouble)
    return Outcome(ending, status, stdout.decode("latin-1"), stderr.decode("latin-1"), seconds, detail,
                   slowdown=slowdown)
