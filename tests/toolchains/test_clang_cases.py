#!/usr/bin/env python3
"""Every case passes with the programs built by clang++ (the same flags, the bundled runtime built
by clang too): no verdict may depend on the compiler."""
import os
import subprocess
import sys
import unittest
from pathlib import Path

from suite import build, cases, launcher, toolchain

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("KEL_BUILD", ROOT / "build"))


@unittest.skipUnless(toolchain.links("clang"), "clang++-14 -m32 cannot build a program here")
class ClangBuild(unittest.TestCase):
    def test_every_case_passes(self):
        tree = BUILD / "clang"
        every = cases.load_cases(cases.CASES_DIR)
        programs = sorted({c.program for c in every})
        starter = launcher.from_environment()
        build.ensure_built(tree, quiet=True, emulator=starter.emulator, targets=programs, toolchain="clang")
        done = subprocess.run([sys.executable, "-m", "suite.regress", "--build", str(tree), "--no-build", "-q",
                               "--emulator", starter.setting],
                              cwd=ROOT, capture_output=True, text=True, env=dict(os.environ, NO_COLOR="1"))
        self.assertEqual(done.returncode, 0, done.stdout[-6000:] + done.stderr)
        self.assertTrue(done.stdout.endswith(f"{len(every)} passed, 0 failed\n"), done.stdout[-2000:])


if __name__ == "__main__":
    unittest.main()
