"""Configures and builds the suite, against the bundled kel runtime or another runtime archive."""

import contextlib
import fcntl
import hashlib
import re
import subprocess
import sys
from pathlib import Path

from . import toolchain as toolchains
from .files import sha256, shown, write_atomically

ROOT = Path(__file__).resolve().parent.parent
DEFAULT_BUILD = toolchains.build_dir("gcc")
SANITIZE_BUILD = toolchains.build_dir("gcc", sanitize=True)
# The fuzz targets are a project of their own, built with clang and libFuzzer.
FUZZ_SOURCE = ROOT / "fuzz"
FUZZ_BUILD = ROOT / "build-fuzz"
# In a build against another runtime: the build's own copy of the archive, which it links.
RUNTIME_COPY = Path("runtime-under-test") / "libkel.a"
LOCK_FILE = "regress.lock"
STEP = re.compile(r"\[(\d+)/(\d+)\]")


class BuildFailed(Exception):
    """cmake could not configure or build; the message names the command."""


def runtime_build_dir(build_root, archive):
    """Each foreign runtime gets a build of its own, named after it and its path."""
    archive = Path(archive).resolve()
    name = re.sub(r"[^A-Za-z0-9._-]", "_", archive.name.split(".")[0]) or "runtime"
    digest = hashlib.sha1(str(archive).encode()).hexdigest()[:8]
    return Path(build_root) / "runtimes" / f"{name}-{digest}"


def traced_build_dir(build_root, archive=None):
    """The traced build of a runtime (the bundled one when archive is None), next to its plain one."""
    if archive is None:
        return Path(build_root) / "traced"
    plain = runtime_build_dir(build_root, archive)
    return plain.with_name(plain.name + "-traced")


class Progress:
    """Under -q, how far a build has come, instead of its every step: one line rewritten on a
    terminal, elsewhere a line at each tenth of the steps."""

    def __init__(self, label, stream):
        self.label, self.stream = label, stream
        self.tenths, self.total = -1, None

    def line(self, text):
        """Takes a line of ninja's output. Its step 0 (the check of globbed directories) comes
        before every build, with work or without, and a rerun of cmake starts a new count."""
        found = STEP.match(text)
        if not found or found.group(1) == "0":
            return
        done, total = map(int, found.groups())
        if total != self.total:
            self.tenths, self.total = -1, total
        if self.stream.isatty():
            self.stream.write(f"\r{self.label}: {done}/{total}" + ("\n" if done == total else ""))
        elif done * 10 // total > self.tenths:
            self.tenths = done * 10 // total
            self.stream.write(f"{self.label}: {done}/{total}\n")
        self.stream.flush()


def run(command, quiet, label=None):
    """Runs a cmake command. quiet: its output is kept back, shown only when it fails, and the
    label (what is being done, e.g. "building build") is shown instead, with the build's progress."""
    shown = " ".join(str(part) for part in command)
    if not quiet:
        print("+ " + shown, flush=True)
        returncode = subprocess.run(command).returncode
    else:
        progress = Progress(f"regress: {label}", sys.stdout) if label else None
        output = []
        with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True) as done:
            for text in done.stdout:
                output.append(text)
                if progress:
                    progress.line(text)
        returncode = done.returncode
        if returncode != 0:
            sys.stdout.write("".join(output))
    if returncode != 0:
        raise BuildFailed(f"{shown} exited with status {returncode}")


def cached(build_dir, variable):
    """A variable's value in the build's CMake cache; None when it is not configured."""
    try:
        text = (Path(build_dir) / "CMakeCache.txt").read_text()
    except FileNotFoundError:
        return None
    found = re.search(rf"^{variable}:[A-Z]+=(.*)$", text, re.MULTILINE)
    return found.group(1) if found else None


def configure(source, build_dir, quiet, options, emulator, settings=None):
    """Configures the build directory when it is new, or when the emulator chosen for its tests
    (KEL_EMULATOR, the path or empty) or one of the other cache settings has changed since."""
    wanted = {"KEL_EMULATOR": emulator or "", **(settings or {})}
    if (build_dir / "build.ninja").exists() and all(cached(build_dir, k) == v for k, v in wanted.items()):
        return
    run(["cmake", "-S", source, "-B", build_dir, *options, *(f"-D{k}={v}" for k, v in wanted.items())],
        quiet, f"configuring {build_dir}")


def runtime_copy(build_dir, archive):
    """The build's own copy of a runtime archive, made again only when the archive's content
    differs from it. The build links the copy, so ninja sees a newer input exactly when the
    runtime has changed: a copy that kept an older time (cp -p, tar x) still relinks, and a
    touched but unchanged archive relinks nothing."""
    copy = Path(build_dir) / RUNTIME_COPY
    if not copy.exists() or sha256(copy) != sha256(archive):
        copy.parent.mkdir(parents=True, exist_ok=True)
        write_atomically(copy, Path(archive).read_bytes())
    return copy


def linked_copy_problem(build_dir, archive):
    """Why the programs of a build against another runtime were not linked with this archive, as
    they stand; None when they were."""
    copy = Path(build_dir) / RUNTIME_COPY
    if not copy.is_file():
        return f"nothing has been built against it in {shown(build_dir)}"
    linked, given = sha256(copy), sha256(archive)
    if linked != given:
        return (f"the programs in {shown(build_dir)} were linked with another archive (sha256 {linked}), "
                f"not with this one (sha256 {given})")
    return None


@contextlib.contextmanager
def locked(build_dir):
    """Holds the build directory for one run: two builds at once damage ninja's log, so a second
    run waits here until the first has built, and says so."""
    build_dir.mkdir(parents=True, exist_ok=True)
    with open(build_dir / LOCK_FILE, "a") as lock:
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            print(f"regress: waiting for another run to finish building {build_dir}", file=sys.stderr,
                  flush=True)
            fcntl.flock(lock, fcntl.LOCK_EX)
        yield


def compiler(build_dir):
    """The C++ compiler that the build directory is configured with and its version, as CMake
    found them (e.g. "g++ 12.2.0"); None when it is not configured."""
    found = {}
    for description in sorted(Path(build_dir).glob("CMakeFiles/*/CMakeCXXCompiler.cmake")):
        found.update(re.findall(r'^set\((CMAKE_CXX_COMPILER(?:_VERSION)?) "(.*)"\)$', description.read_text(), re.M))
    if "CMAKE_CXX_COMPILER" not in found:
        return None
    return f"{Path(found['CMAKE_CXX_COMPILER']).name} {found.get('CMAKE_CXX_COMPILER_VERSION', '(version unknown)')}"


def ensure_built(build_dir, runtime=None, quiet=False, preset="default", emulator=None, traced=False,
                 targets=(), toolchain="gcc"):
    """Configures the build directory from the preset, with the toolchain's compilers, then brings it
    up to date: all of it, or only the targets named. traced: the programs record their calls into
    the runtime."""
    build_dir = Path(build_dir).resolve()
    # The cases run test drivers too, and those live in the test tree.
    options = ["--preset", preset, *(["-DBUILD_TESTING=ON"] if runtime is not None else [])]
    if traced:
        options.append("-DKEL_TRACE=ON")
    with locked(build_dir):
        settings = {"KEL_TOOLCHAIN": toolchain,
                    **({} if runtime is None else {"KEL_RUNTIME": str(runtime_copy(build_dir, runtime))})}
        configure(ROOT, build_dir, quiet, options, emulator, settings)
        run(["cmake", "--build", build_dir, *(["--target", *targets] if targets else [])], quiet,
            f"building {build_dir}")


def ensure_fuzz_built(build_dir, emulator):
    """Configures and builds the fuzz targets' project."""
    configure(FUZZ_SOURCE, build_dir, False,
              ["-G", "Ninja", f"-DCMAKE_TOOLCHAIN_FILE={FUZZ_SOURCE / 'clang-i386.cmake'}"], emulator)
    run(["cmake", "--build", build_dir], quiet=False)
