"""Which compiler builds the i386 programs: gcc (g++ -m32, Debian's multilib), clang (clang++-14 -m32,
the same libraries) or cross (i686-linux-gnu-g++, Debian's cross compiler, with its own C library);
auto picks gcc where g++ -m32 links, else cross. cmake/i386.cmake builds with what this module says,
and the tests that compile programs of their own ask it too."""

import functools
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CHOICES = ("auto", "gcc", "clang", "cross")
# What the build resolved --toolchain to, for the tests that CTest starts; unset, auto.
ENVIRONMENT = "KEL_TOOLCHAIN"
# The target's own flags, whatever the compiler: SSE gives exact IEEE single and double rounding
# (x87 excess precision would not); -fwrapv gives the wrapping integer arithmetic the programs assume.
TARGET_FLAGS = ["-m32", "-msse2", "-mfpmath=sse", "-fwrapv"]
# (C compiler, C++ compiler) by toolchain.
COMPILERS = {"gcc": ("gcc", "g++"), "clang": ("clang-14", "clang++-14"),
             "cross": ("i686-linux-gnu-gcc", "i686-linux-gnu-g++")}
# Where ./regress unpacks the cross compiler on a host whose multilib keeps it from being installed.
PRIVATE_CROSS = ROOT / "build-toolchains" / "cross" / "usr" / "bin"
# The cross compiler's programs name its own sysroot's loader and libraries, so that they start
# natively on any kernel that runs i386 code, multilib or not, and under qemu-i386 elsewhere.
SYSROOT_LIB = "/usr/i686-linux-gnu/lib"
LINK_FLAGS = {"gcc": ["-m32"], "clang": ["-m32"],
              "cross": ["-m32", f"-Wl,--dynamic-linker={SYSROOT_LIB}/ld-linux.so.2", f"-Wl,-rpath,{SYSROOT_LIB}"]}
# Headers that a C++ program for the target needs from the C library and the kernel's headers:
# an install that lacks any of them does not count as one that links.
PROBE = "#include <cerrno>\n#include <cmath>\n#include <cstdio>\nint main() { std::printf(\"%d\", errno); }\n"


class ToolchainError(Exception):
    """The toolchain asked for cannot build here; the message says why."""


def compiler(toolchain, language="c++"):
    """The compiler's path: found on PATH, or for cross also where ./regress unpacks it; the bare
    name when it is nowhere."""
    name = COMPILERS[toolchain][language == "c++"]
    hints = os.pathsep.join([os.environ.get("PATH", ""), str(PRIVATE_CROSS)]) if toolchain == "cross" else None
    return shutil.which(name, path=hints) or name


def gcov(toolchain):
    """The gcov that reads the coverage data of the toolchain's objects: its own, where it has one."""
    names = ("i686-linux-gnu-gcov", "i686-linux-gnu-gcov-12") if toolchain == "cross" else ()
    hints = os.pathsep.join([os.environ.get("PATH", ""), str(PRIVATE_CROSS)])
    return next(filter(None, (shutil.which(name, path=hints) for name in names)), "gcov")


def command(toolchain, language="c++"):
    """How to compile and link a program for the target with the toolchain, as a command's start."""
    return [compiler(toolchain, language), *TARGET_FLAGS, *LINK_FLAGS[toolchain][1:]]


@functools.cache
def links(toolchain):
    """Whether the toolchain compiles and links a C++ program for the target here."""
    with tempfile.TemporaryDirectory(prefix="regress-toolchain-") as scratch:
        source = Path(scratch) / "probe.cc"
        source.write_text(PROBE)
        try:
            done = subprocess.run([*command(toolchain), "-o", str(source.with_suffix("")), str(source)],
                                  capture_output=True)
        except OSError:
            return False
        return done.returncode == 0


def auto():
    """What --toolchain auto means here: gcc where g++ -m32 links, else cross."""
    return "gcc" if links("gcc") else "cross"


def resolve(choice):
    """The toolchain that --toolchain CHOICE builds with, once it is known to link here."""
    chosen = auto() if choice == "auto" else choice
    if not links(chosen):
        tried = " ".join(command(chosen))
        raise ToolchainError(f"--toolchain {choice}: {tried} cannot build a program here"
                             + (", and neither can g++ -m32" if choice == "auto" else "")
                             + " (./regress installs what it needs when run as root)")
    return chosen


def build_dir(toolchain, sanitize=False):
    """Each toolchain builds in a tree of its own: build/ and build-sanitize/ for gcc, build-clang/,
    build-cross/ and their -sanitize trees for the others."""
    name = "build" if toolchain == "gcc" else f"build-{toolchain}"
    return ROOT / (f"{name}-sanitize" if sanitize else name)


def chosen_by_build():
    return os.environ.get(ENVIRONMENT) or "auto"


def add_option(parser):
    """--toolchain, as every command of the suite that builds takes it."""
    parser.add_argument("--toolchain", metavar="|".join(CHOICES), choices=CHOICES, default=chosen_by_build(),
                        help="the compiler that builds the i386 programs: auto (default) gcc where g++ -m32 "
                             "links, else cross; gcc (g++ -m32); clang (clang++-14 -m32); cross "
                             "(i686-linux-gnu-g++), e.g. --toolchain clang")


if __name__ == "__main__":
    # cmake/i386.cmake asks for the compilers and flags of a toolchain: C, C++, compile flags,
    # link flags, one a line.
    chosen = sys.argv[1]
    print(compiler(chosen, "c"), compiler(chosen), " ".join(TARGET_FLAGS), " ".join(LINK_FLAGS[chosen]), sep="\n")
