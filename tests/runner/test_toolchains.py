"""--toolchain: auto takes gcc where g++ -m32 links and the cross compiler elsewhere, a toolchain
that cannot build here is refused with the reason, and the report names the compiler."""

import os
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

from suite import toolchain
from tests.runner.support import ROOT


def resolved(choice, broken=()):
    """What --toolchain CHOICE resolves to with the compilers named failing; (status, output)."""
    with tempfile.TemporaryDirectory(prefix="regress-toolchain-") as scratch:
        for name in broken:
            fake = Path(scratch) / name
            fake.write_text("#!/bin/sh\nexit 1\n")
            fake.chmod(0o755)
        done = subprocess.run([sys.executable, "-c", "import sys\nfrom suite import toolchain\n"
                               f"try: print(toolchain.resolve({choice!r}))\n"
                               "except toolchain.ToolchainError as e: sys.exit(str(e))"],
                              capture_output=True, text=True, cwd=ROOT,
                              env={**os.environ, "PATH": f"{scratch}:{os.environ['PATH']}"})
    return done.returncode, (done.stdout + done.stderr).strip()


class Choice(unittest.TestCase):
    @unittest.skipUnless(toolchain.links("gcc") and toolchain.links("cross"),
                         "both g++ -m32 and the cross compiler are needed")
    def test_auto_takes_the_cross_compiler_where_g_plus_plus_m32_cannot_link(self):
        self.assertEqual(resolved("auto"), (0, "gcc"))
        self.assertEqual(resolved("auto", broken=["g++"]), (0, "cross"))

    def test_a_toolchain_that_cannot_build_here_is_refused_with_the_reason(self):
        status, said = resolved("auto", broken=["g++", "i686-linux-gnu-g++"])
        self.assertEqual(status, 1)
        self.assertRegex(said, r"^--toolchain auto: \S*i686-linux-gnu-g\+\+ -m32 .* cannot build a program here, "
                               r"and neither can g\+\+ -m32")
        status, said = resolved("clang", broken=["clang++-14"])
        self.assertEqual(status, 1)
        self.assertIn("--toolchain clang: ", said)


if __name__ == "__main__":
    unittest.main()
