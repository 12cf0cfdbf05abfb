"""Builds a kel runtime from a copy of its sources, with a change written into the copy, and links the suite's programs with the archive it makes, by the archive's content."""

import fnmatch
import os
import shutil
import subprocess
from pathlib import Path

from . import build
from . import toolchain as toolchains
from .files import sha256

BUNDLED = build.ROOT / "kelrt"
C_SUFFIXES = (".c",)
CXX_SUFFIXES = (".cc", ".cpp", ".cxx", ".C")
HEADER_SUFFIXES = (".h", ".hh", ".hpp", ".hxx")
SOURCE_SUFFIXES = C_SUFFIXES + CXX_SUFFIXES + HEADER_SUFFIXES
# What a C or C++ build leaves in its tree. A copy holding them would be built by a make-based
# command from them, not from the sources: nothing recompiled, not even with other flags.
BUILD_PRODUCTS = (".o", ".obj", ".a", ".so", ".gcno", ".gcda")
VERSION_CONTROL = (".git", ".hg", ".svn")


class NotBuilt(Exception):
    """A runtime or its programs do not build; the message says which step failed, output is all
    that the step wrote."""

    def __init__(self, message, output=""):
        super().__init__(message)
        self.output = output


def run_step(command, cwd=None, env=None, shell=False):
    """Runs one step of a build; its output, or NotBuilt with the step and the output's end."""
    done = subprocess.run(command, cwd=cwd, env=env, shell=shell, capture_output=True, text=True,
                          errors="replace")
    if done.returncode != 0:
        shown = command if shell else " ".join(str(c) for c in command)
        tail = (done.stdout + done.stderr).strip().splitlines()[-3:]
        raise NotBuilt(f"{shown} exited with status {done.returncode}: {' / '.join(tail)}",
                       done.stdout + done.stderr)
    return done.stdout + done.stderr


def source_files(directory):
    """The C and C++ sources and headers under the directory, relative to it, in order."""
    directory = Path(directory)
    return sorted(str(p.relative_to(directory)) for p in directory.rglob("*")
                  if p.suffix in SOURCE_SUFFIXES and p.is_file())


def not_excluded(files, globs):
    """The files no glob matches: those to mutate, when the others are only to be built."""
    return [f for f in files if not any(fnmatch.fnmatchcase(f, glob) for glob in globs)]


def modification_times(top):
    return {p: p.stat().st_mtime_ns for p in Path(top).rglob("*") if p.is_file()}


def files_made(top, before):
    """The files under top that are new or changed since before (modification_times)."""
    return sorted(str(p.relative_to(top)) for p in Path(top).rglob("*")
                  if p.is_file() and before.get(p) != p.stat().st_mtime_ns)


def compile_words(toolchain):
    """How the build compiles the bundled runtime with the toolchain (cmake/i386.cmake, the Release
    type)."""
    return [toolchains.compiler(toolchain), *toolchains.TARGET_FLAGS, "-O2", "-std=c++20"]


def adjusted(flags, added=(), dropped=()):
    """The compiler's words with some taken out and others added."""
    return [f for f in flags if f not in dropped] + list(added)


class BundledRuntime:
    """A copy of kelrt/ whose objects are compiled one by one, so a change recompiles only its own
    (or every object, for a header or other flags); the unchanged objects are kept, to be put back
    after."""

    def __init__(self, directory, flags, excluded=()):
        self.top = Path(directory) / "src"
        self.source = self.top / "kelrt"
        self.unchanged = Path(directory) / "obj-unchanged"
        self.objects = Path(directory) / "obj"
        self.archive = Path(directory) / "libkel.a"
        self.flags = list(flags)
        self.excluded = excluded
        self.changed = set()
        self.left_out = []
        self.made = []

    def files(self):
        return not_excluded(self.sources(), self.excluded)

    @staticmethod
    def sources():
        return [f"kelrt/{f}" for f in source_files(BUNDLED)]

    def include_dirs(self):
        return [build.ROOT]

    def units(self):
        return {f for f in self.sources() if not f.endswith(HEADER_SUFFIXES)}

    @staticmethod
    def object_name(relative):
        return Path(relative).stem + ".o"

    def compile(self, relative, flags, into):
        run_step([*flags, f"-I{self.top}", f"-I{build.ROOT}", "-c", self.top / relative,
                  "-o", into / self.object_name(relative)])

    def prepare(self):
        shutil.rmtree(self.top, ignore_errors=True)
        shutil.copytree(BUNDLED, self.source)
        for directory in (self.unchanged, self.objects):
            shutil.rmtree(directory, ignore_errors=True)
            directory.mkdir(parents=True)
        for relative in sorted(self.units()):
            self.compile(relative, self.flags, self.unchanged)
        self.changed = self.units()
        self.rebuild([])
        self.made = [self.object_name(u) for u in sorted(self.units())]

    def rebuild(self, changed, flags=None):
        """Puts back the objects the last change made, compiles those this one makes (all of them
        for a header or for flags of its own; a unit it adds, none for one it takes away), and
        archives."""
        for relative in self.changed:
            unchanged = self.unchanged / self.object_name(relative)
            if unchanged.exists():
                shutil.copy(unchanged, self.objects)
            else:
                (self.objects / self.object_name(relative)).unlink(missing_ok=True)
        units = self.units()
        every = flags is not None and flags != self.flags
        self.changed = set(units) if every else set()
        for relative in changed:
            self.changed |= units if relative.endswith(HEADER_SUFFIXES) else {relative}
        for relative in sorted(self.changed):
            if (self.top / relative).exists():
                self.compile(relative, flags or self.flags, self.objects)
            else:
                (self.objects / self.object_name(relative)).unlink(missing_ok=True)
        self.archive.unlink(missing_ok=True)
        run_step(["ar", "rcs", self.archive, *sorted(self.objects.glob("*.o"))])

    def same_object(self, relative, content):
        """Whether the unit, with this content in its place, compiles to its unchanged object;
        NotBuilt when it does not compile."""
        path = self.path(relative)
        original = path.read_bytes()
        check = self.objects.parent / "check"
        check.mkdir(exist_ok=True)
        path.write_bytes(content)
        try:
            self.compile(relative, self.flags, check)
        finally:
            path.write_bytes(original)
            os.utime(path)
        name = self.object_name(relative)
        return (check / name).read_bytes() == (self.unchanged / name).read_bytes()

    @property
    def outputs(self):
        return self.unchanged

    def path(self, relative):
        return self.top / relative


class ForeignRuntime:
    """A copy of a maintainer's source directory, built from clean by their own command run in
    the copy. Left out of the copy: version control, what git ignores there, the products of an
    earlier build (objects, archives, coverage notes), and the paths given (an expectation set,
    the work directory); clean: a command run in the copy before its first build, for the rest."""

    def __init__(self, directory, source, command, archive, extra_flags=(), excluded=(), leave_out=(),
                 clean=None):
        self.original = Path(source).resolve()
        self.top = Path(directory) / "src"
        self.command = command
        self.archive = self.top / archive
        self.excluded = excluded
        self.clean = clean
        self.leave_out_paths = [Path(p).resolve() for p in leave_out]
        self.left_out = []
        self.made = []  # what the first build made or changed in the copy
        self.environment = dict(os.environ)
        if extra_flags:
            for variable in ("CFLAGS", "CXXFLAGS"):
                self.environment[variable] = " ".join(filter(None, [os.environ.get(variable), *extra_flags]))

    def files(self):
        left = self.leave_out()
        return [f for f in not_excluded(source_files(self.original), self.excluded)
                if not any(f == l or f.startswith(l + "/") for l in left)]

    def include_dirs(self):
        return [self.original, build.ROOT]

    def ignored(self):
        """What git ignores in the source directory, relative to it; nothing when it is not in a
        git work tree."""
        done = subprocess.run(["git", "-C", self.original, "ls-files", "-z", "--others", "--ignored",
                               "--exclude-standard", "--directory"], capture_output=True, text=True)
        return {p.rstrip("/") for p in done.stdout.split("\0") if p} if done.returncode == 0 else set()

    def leave_out(self):
        """The paths under the source directory that are not copied, relative to it."""
        ignored = self.ignored()
        left = []
        for directory, subdirs, names in os.walk(self.original):
            here = Path(directory)
            for name in sorted(subdirs + names):
                path = here / name
                relative = str(path.relative_to(self.original))
                if (name in VERSION_CONTROL or relative in ignored or path.resolve() in self.leave_out_paths
                        or (path.is_file() and path.suffix in BUILD_PRODUCTS)):
                    left.append(relative)
            subdirs[:] = [d for d in subdirs if str((here / d).relative_to(self.original)) not in left]
        return sorted(left)

    def prepare(self):
        shutil.rmtree(self.top, ignore_errors=True)
        self.left_out = self.leave_out()
        left = set(self.left_out)
        shutil.copytree(self.original, self.top, symlinks=True,
                        ignore=lambda d, names: [n for n in names
                                                 if str((Path(d) / n).relative_to(self.original)) in left])
        if self.clean:
            run_step(self.clean, cwd=self.top, env=self.environment, shell=True)
        before = modification_times(self.top)
        self.rebuild([])
        self.made = files_made(self.top, before)

    @property
    def outputs(self):
        return self.top

    def rebuild(self, changed, flags=None):
        if flags is not None:
            raise ValueError("a foreign runtime is built with the flags of its own command")
        run_step(self.command, cwd=self.top, env=self.environment, shell=True)
        if not self.archive.is_file():
            raise NotBuilt(f"{self.command!r} made no archive at {self.archive}")

    def path(self, relative):
        return self.top / relative


class Slot:
    """A runtime copy and the build tree whose programs link it. The tree links its own copy of the
    archive, rewritten only when the content differs: the programs are relinked exactly when the
    runtime has changed, whatever the times of the files a build left (an older archive restored,
    a run interrupted part-way)."""

    def __init__(self, runtime, tree, emulator, toolchain, link_flags=()):
        self.runtime = runtime
        self.tree = Path(tree)
        self.emulator = emulator
        self.toolchain = toolchain
        self.link_flags = link_flags
        self.unchanged = None  # the unchanged archive's digest

    def prepare(self, programs):
        self.runtime.prepare()
        self.unchanged = sha256(self.runtime.archive)
        options = ["--preset", "default", "-DBUILD_TESTING=ON"]
        settings = {"KEL_RUNTIME": str(self.tree / build.RUNTIME_COPY), "KEL_TOOLCHAIN": self.toolchain}
        if self.link_flags:
            settings["CMAKE_EXE_LINKER_FLAGS"] = " ".join([*toolchains.LINK_FLAGS[self.toolchain], *self.link_flags])
        try:
            build.configure(build.ROOT, self.tree, True, options, self.emulator, settings)
        except build.BuildFailed as error:
            raise NotBuilt(str(error)) from None
        self.link(programs)

    def link(self, programs):
        build.runtime_copy(self.tree, self.runtime.archive)
        run_step(["cmake", "--build", self.tree, "--target", *sorted(programs)])

    @property
    def bin(self):
        return self.tree / "bin"

    def build(self, contents, programs, flags=None):
        """Builds the runtime with these files' contents (relative path -> bytes, None to take the
        file away) and the flags, then links the programs; the copy is restored after. False when
        the archive is the unchanged one (its objects the same to the byte): nothing is linked, as
        no run could tell the change from the unchanged runtime."""
        originals = {}
        for relative, content in contents.items():
            path = self.runtime.path(relative)
            originals[relative] = path.read_bytes() if path.exists() else None
            if content is None:
                path.unlink(missing_ok=True)
            else:
                path.parent.mkdir(parents=True, exist_ok=True)
                path.write_bytes(content)
        try:
            self.runtime.rebuild(list(contents), flags)
        finally:
            for relative, original in originals.items():
                path = self.runtime.path(relative)
                if original is None:
                    path.unlink(missing_ok=True)
                else:
                    path.write_bytes(original)
                    # Restored, the file is newer than the change's object, so the next build remakes it.
                    os.utime(path)
        if sha256(self.runtime.archive) == self.unchanged:
            return False
        self.link(programs)
        return True
