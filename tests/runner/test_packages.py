"""./regress installs only what the command needs: a plain run no fuzzing or valgrind toolchain."""

import os
import re
import subprocess
import tempfile
import unittest
from pathlib import Path

from tests.runner.support import ROOT

# Stand-ins for Debian's package tools: nothing is installed, and installing does nothing.
FAKES = {"dpkg-query": "exit 1", "dpkg": "exit 0", "apt-cache": "exit 0", "apt-get": "exit 0"}


class PackagesByCommand(unittest.TestCase):
    def wanted(self, *args):
        """The packages ./regress ARGS asks for when none is installed."""
        with tempfile.TemporaryDirectory(prefix="regress-packages-") as scratch:
            for name, body in FAKES.items():
                fake = Path(scratch) / name
                fake.write_text(f"#!/bin/sh\n{body}\n")
                fake.chmod(0o755)
            done = subprocess.run([str(ROOT / "regress"), *args], capture_output=True, text=True,
                                  env={**os.environ, "PATH": f"{scratch}:{os.environ['PATH']}"}, timeout=120)
        found = re.search(r"^regress: (?:installing|the suite needs packages that are not installed:) (.*)$",
                          done.stdout + done.stderr, re.M)
        self.assertIsNotNone(found, done.stdout + done.stderr)
        return set(found.group(1).split())

    def test_a_plain_run_asks_only_for_the_build_and_the_cases(self):
        plain = self.wanted("--list", "--emulator", "none")
        self.assertEqual(plain, {"g++-multilib", "ninja-build", "cmake", "libgtest-dev", "python3"})
        self.assertEqual(self.wanted("--list", "--emulator", "none", "--valgrind") - plain,
                         {"valgrind", "libc6-dbg:i386"})


if __name__ == "__main__":
    unittest.main()
