"""How the suite starts an i386 program: natively, or through qemu-i386 where the kernel refuses them.

Every part of the suite that starts a built program (the runner's cases, the Python tests, the
fuzz driver, the benchmarks) asks a Launcher for the command line; CTest's own tests get the same
emulator through the build's CMAKE_CROSSCOMPILING_EMULATOR."""

import functools
import os
import re
import resource
import shutil
import struct
import subprocess
import tempfile
from dataclasses import dataclass
from pathlib import Path

# What the build resolved --emulator to, for the tests that CTest starts: "none", or the
# emulator's absolute path. Unset, the choice is made as for --emulator auto.
ENVIRONMENT = "KEL_EMULATOR"
# Time limits under the emulator are this many times longer. It runs the programs' own
# arithmetic some 3 to 10 times slower, and each start costs it a few hundredths of a second.
SLOWDOWN = 10
EMULATOR = "qemu-i386"
NATIVE_KERNEL = "this kernel does not run i386 programs"
WAYS_OUT = ("run the programs under the emulator (./regress --emulator auto, after "
            "apt-get install qemu-user), or boot the kernel with ia32_emulation=on")
# LeakSanitizer looks for leaks at exit by stopping the program's threads with a clone(2) that
# qemu-user refuses, and then waits for ever: under the emulator the sanitized programs run
# without it (the option means nothing to a program built without the sanitizers).
SANITIZER_OPTIONS = "detect_leaks=0"
SANITIZER_NOTE = ("under the emulator the sanitized programs run without LeakSanitizer, which "
                  "cannot stop their threads there")
# libFuzzer watches its memory from a thread of its own; under the emulator, once a second thread
# exists, AddressSanitizer takes the main thread's stack for the other's, skips clearing it when a
# run ends by siglongjmp, and reports the stale marks as a stack-buffer-overflow. There the fuzz
# targets run without the watchdog thread, with the same limit on each allocation kept.
FUZZ_EMULATED_OPTIONS = ["-rss_limit_mb=0", "-malloc_limit_mb=2048"]
FUZZ_NOTE = ("under the emulator the fuzz targets run without libFuzzer's memory watchdog thread "
             "(with it, AddressSanitizer mistakes the main thread's stack for the watchdog's)")
# The smallest i386 program: one loadable segment whose code is exit(0) through the i386
# system call gate (xor ebx,ebx; xor eax,eax; inc eax; int 0x80). Written out byte by byte, it
# needs no compiler, and asks the kernel exactly one question: does it run i386 code?
_BASE, _HEADERS = 0x08048000, 52 + 32
_CODE = bytes([0x31, 0xDB, 0x31, 0xC0, 0x40, 0xCD, 0x80])
_PROBE = (struct.pack("<16sHHIIIIIHHHHHH", b"\x7fELF\x01\x01\x01", 2, 3, 1, _BASE + _HEADERS,
                      52, 0, 0, 52, 32, 1, 0, 0, 0)
          + struct.pack("<8I", 1, 0, _BASE, _BASE, _HEADERS + len(_CODE), _HEADERS + len(_CODE),
                        5, 0x1000)
          + _CODE)


# The dynamic loader's words when a program's libraries cannot be loaded (it exits 127); the guest's
# loader says the same under the emulator.
LOADER_FAILURE = re.compile(r"^[^\n]*: error while loading shared libraries: [^\n]*", re.M)


class LaunchError(Exception):
    """The programs cannot be started as asked; the message says why and what to do."""


@functools.cache
def runs_natively():
    """Whether this kernel runs an i386 program: writes the tiny one above and tries it."""
    with tempfile.TemporaryDirectory(prefix="regress-probe-") as scratch:
        program = Path(scratch) / "probe"
        program.write_bytes(_PROBE)
        program.chmod(0o755)
        try:
            return subprocess.run([str(program)], capture_output=True).returncode == 0
        except OSError:
            return False


def is_i386_program(path):
    """An ELF file for 32-bit x86: only those go through the emulator, not scripts or host tools."""
    try:
        with open(path, "rb") as file:
            header = file.read(20)
    except OSError:
        return False
    return len(header) == 20 and header[:5] == b"\x7fELF\x01" and header[18:20] == b"\x03\x00"


@functools.cache
def emulator_version(path):
    done = subprocess.run([path, "--version"], capture_output=True, text=True)
    words = done.stdout.split()
    return f"version {words[2]}" if len(words) > 2 and words[1] == "version" else "version unknown"


def emulator_environment():
    sanitizer = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), SANITIZER_OPTIONS]))
    return dict(os.environ, ASAN_OPTIONS=sanitizer)


@dataclass(frozen=True)
class Command:
    """What to hand subprocess: argv, and the executable when argv[0] is not its path; its
    time limits are to be slowdown times longer; rlimits: (resource, value) to set in the child
    before it starts."""
    argv: list
    executable: str = None
    environment: dict = None
    slowdown: int = 1
    rlimits: tuple = ()

    def time_limit(self, seconds):
        return None if seconds is None else seconds * self.slowdown


@dataclass(frozen=True)
class Launcher:
    emulator: str = None  # the emulator's absolute path; None for native runs
    reason: str = ""      # why the programs run under it

    @property
    def emulated(self):
        return self.emulator is not None

    def command(self, program, args=(), argv0=None, preload=None, stack=None, syscall_log=None):
        """Starts program with args; argv[0] is argv0 (default: the program's path as given),
        as a native run would have it. preload: an i386 library for the program's LD_PRELOAD;
        stack: the bytes of stack it runs with (default: the runner's own limit); syscall_log:
        under the emulator, a file where it writes each system call the program makes."""
        program = str(program)
        argv0 = program if argv0 is None else argv0
        environment = None
        if self.emulated and is_i386_program(program):
            # The program's loader takes its preload from the environment the emulator hands it
            # (-E), but the sanitizers read theirs from /proc/self/environ, which is the emulator's.
            guest = ["-E", f"LD_PRELOAD={preload}"] if preload else []
            # The emulator gives the program a stack of its own size (-s), whatever its own limit.
            guest += ["-s", str(stack)] if stack else []
            guest += ["-strace", "-D", str(syscall_log)] if syscall_log else []
            return Command([self.emulator, *guest, "-0", argv0, program, *args],
                           environment=emulator_environment(), slowdown=SLOWDOWN)
        if preload:
            environment = dict(os.environ, LD_PRELOAD=str(preload))
        rlimits = ((resource.RLIMIT_STACK, stack),) if stack else ()
        return Command([argv0, *args], program, environment, rlimits=rlimits)

    def run(self, program, args=(), argv0=None, preload=None, timeout=None, **options):
        """subprocess.run of the program, its time limit allowing for the emulator."""
        started = self.command(program, args, argv0, preload)
        return subprocess.run(started.argv, executable=started.executable,
                              env=options.pop("env", started.environment),
                              timeout=started.time_limit(timeout), **options)

    def popen(self, program, args=(), argv0=None, **options):
        started = self.command(program, args, argv0)
        return subprocess.Popen(started.argv, executable=started.executable,
                                env=options.pop("env", started.environment), **options)

    def time_limit(self, seconds):
        """A time limit for an i386 program, allowing for the emulator."""
        return seconds * SLOWDOWN if self.emulated and seconds is not None else seconds

    def start_failure(self, status, stderr):
        """The message by which the loader, or the emulator, said that the program could not be
        started, from its exit status and standard error; None when it started."""
        loader = LOADER_FAILURE.search(stderr) if status == 127 else None
        if loader:
            return loader.group(0)
        # The emulator says so itself, on the first line of standard error, when it cannot load a
        # program or its loader.
        own = f"{Path(self.emulator).name}: " if self.emulated else None
        if own and stderr.startswith(own) and status in (1, 255):
            return stderr.splitlines()[0]
        return None

    def describe(self):
        """How the programs run, for a report's header."""
        if not self.emulated:
            return "natively"
        name = Path(self.emulator).name
        return f"under {name} ({emulator_version(self.emulator)}): {self.reason}"

    def cannot_run(self, tool):
        """Why valgrind's tool ("memcheck", "callgrind") cannot run here; empty when it can."""
        if not self.emulated:
            return ""
        return f"valgrind's {tool} cannot run under {EMULATOR}: it executes the i386 code itself"

    @property
    def setting(self):
        """The --emulator value that gives this launcher again, as the build records it."""
        return self.emulator or "none"


def choose(choice="auto"):
    """The launcher for --emulator CHOICE: auto, none, or the emulator's path."""
    if choice == "none":
        if not runs_natively():
            raise LaunchError(f"--emulator none, but {NATIVE_KERNEL} (\"Exec format error\"); "
                              f"{WAYS_OUT}")
        return Launcher()
    if choice == "auto":
        if runs_natively():
            return Launcher()
        found = shutil.which(EMULATOR)
        if found is None:
            raise LaunchError(f"{NATIVE_KERNEL} and {EMULATOR} is not installed; {WAYS_OUT}")
        return Launcher(str(Path(found).resolve()), NATIVE_KERNEL)
    found = shutil.which(choice)
    if found is None:
        raise LaunchError(f"--emulator {choice}: no such program")
    reason = NATIVE_KERNEL if not runs_natively() else "asked for with --emulator"
    return Launcher(str(Path(found).resolve()), reason)


def chosen_by_build():
    """The choice the build made, for a test that CTest started; auto when run by hand."""
    return os.environ.get(ENVIRONMENT) or "auto"


def add_option(parser):
    """--emulator, as every command of the suite takes it."""
    parser.add_argument("--emulator", metavar="auto|none|PATH", default=chosen_by_build(),
                        help="how to start the i386 programs: auto (default) natively where the kernel "
                             "runs them and under qemu-i386 where it does not; none always natively; "
                             "PATH under that emulator, e.g. --emulator qemu-i386")


def from_environment():
    return choose(chosen_by_build())


if __name__ == "__main__":
    # ./regress asks this before installing packages: does the suite need the emulator?
    import sys
    sys.exit(0 if runs_natively() else 1)
