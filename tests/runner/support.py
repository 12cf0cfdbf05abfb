"""Fixtures for the runner's tests: a scratch suite with its own case files and programs."""

import json
import os
import subprocess
import sys
import tempfile
import textwrap
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
# The runner as ./regress starts it: the suite package, found through PYTHONPATH.
REGRESS = ["-m", "suite.regress"]


class ScratchSuite(unittest.TestCase):
    """Each test gets empty cases/ and bin/ directories and runs the real runner on them."""

    def setUp(self):
        scratch = tempfile.TemporaryDirectory(prefix="regress-test-")
        self.addCleanup(scratch.cleanup)
        self.dir = Path(scratch.name)
        self.cases = self.dir / "cases"
        self.bin = self.dir / "bin"
        self.cases.mkdir()
        self.bin.mkdir()

    def program(self, name, shell_body):
        path = self.bin / name
        path.write_text("#!/bin/sh\n" + textwrap.dedent(shell_body))
        path.chmod(0o755)

    def c_program(self, name, source):
        source_file = self.dir / f"{name}.c"
        source_file.write_text(textwrap.dedent(source))
        subprocess.run(["gcc", "-m32", "-o", str(self.bin / name), str(source_file)], check=True)

    def case_file(self, deliverable, *cases):
        entries = [{"stdout": "", "stderr": "", **({} if "signal" in case else {"status": 0}), **case}
                   for case in cases]
        text = json.dumps({"deliverable": deliverable, "cases": entries})
        (self.cases / f"{deliverable}.json").write_text(text)

    def command(self, *args):
        # A build directory of its own keeps what runs record (run times, failures) apart from the
        # real build's.
        return [sys.executable, *REGRESS, "--cases", str(self.cases), "--bin", str(self.bin),
                "--build", str(self.dir / "build"), "--no-build", *args]

    def regress(self, *args, env=None):
        """Runs the runner on the scratch suite; returns (exit status, stdout, stderr)."""
        env = {**os.environ, "NO_COLOR": "1", "PYTHONPATH": str(ROOT), **(env or {})}
        done = subprocess.run(self.command(*args), capture_output=True, text=True, cwd=self.dir,
                              env=env, timeout=120)
        return done.returncode, done.stdout, done.stderr
