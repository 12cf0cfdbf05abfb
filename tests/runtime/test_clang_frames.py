#!/usr/bin/env python3
"""On-event frames built by clang at -O2: the event unit tests pass, and unwinding and evalix
give what the suite's own build gives, whichever compiler arms the frames."""
import os
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

from suite import cases, launcher

ROOT = Path(__file__).resolve().parents[2]

LAUNCHER = launcher.from_environment()
BUILD = Path(os.environ.get("KEL_BUILD", ROOT / "build"))
CLANG = shutil.which("clang++-14")
FLAGS = ["-m32", "-msse2", "-mfpmath=sse", "-fwrapv", "-O2", "-std=c++20", f"-I{ROOT}"]


def evalix_sessions():
    """The standard input of every evalix case that ends normally with its streams on pipes."""
    evalix = cases.load_case_file(ROOT / "suite/cases/evalix.json")
    return ["".join(c.stdin_pieces).encode("latin-1") for c in evalix
            if c.program == "evalix" and c.expected.status == 0 and not c.terminal_streams
            and c.stdin_from == c.stdout_to == "pipe"]


@unittest.skipUnless(CLANG, "clang++-14 is not installed")
class ClangFrames(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        cls.bin = Path(cls.work.name)

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()

    def build(self, name, sources, libraries=()):
        program = self.bin / name
        subprocess.run([CLANG, *FLAGS, *map(str, sources), str(BUILD / "lib/libkel.a"),
                        *map(str, libraries), "-lm", "-o", str(program)], check=True)
        return program

    def test_event_unit_tests(self):
        program = self.build("library_test", [ROOT / "tests/runtime/events_test.cc",
                                              ROOT / "tests/runtime/library_test.cc",
                                              "-I/usr/src/googletest/googletest/include"],
                             [BUILD / "lib/libgtest_main.a", BUILD / "lib/libgtest.a", "-lpthread"])
        done = LAUNCHER.run(program, capture_output=True, text=True, timeout=120)
        self.assertEqual(done.returncode, 0, done.stdout[-3000:])

    def test_programs_as_the_suites_build(self):
        for name in ("unwinding", "evalix"):
            program = self.build(name, [ROOT / f"regression-compile-tmp/{name}.cc"])
            for session in evalix_sessions() if name == "evalix" else [b""]:
                with self.subTest(program=name, input=session[:60]):
                    ours, theirs = (LAUNCHER.run(p, input=session, capture_output=True, timeout=60)
                                    for p in (program, BUILD / "bin" / name))
                    self.assertEqual((ours.returncode, ours.stdout, ours.stderr),
                                     (theirs.returncode, theirs.stdout, theirs.stderr))


if __name__ == "__main__":
    unittest.main()
