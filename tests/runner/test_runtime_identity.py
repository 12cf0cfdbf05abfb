"""A runtime archive is known by its content: swapped in place for one with an older time, it is
relinked and its own verdict reported; touched but unchanged, nothing is relinked."""

import hashlib
import subprocess
import tempfile
import unittest
import xml.etree.ElementTree as ET
from pathlib import Path

from suite import build
from tests.tracing.test_tracing import BROKEN_PRINTSTRING, BUILD, archive, regress

CASE = "argshow/no-arguments"


def sha256(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


class SwappedArchive(unittest.TestCase):
    def run_against(self, runtime):
        """(exit status, the JUnit properties) of the case against the archive."""
        with tempfile.TemporaryDirectory(prefix="regress-junit-") as scratch:
            junit = Path(scratch) / "suite.xml"
            status, out, err = regress("--runtime", str(runtime), "--only", CASE, "--junit", str(junit))
            self.assertIn(status, (0, 1), out + err)
            listed = ET.parse(junit).getroot().find("testsuite/properties")
        return status, {p.get("name"): p.get("value") for p in listed}

    def test_a_copy_that_keeps_an_older_time_is_still_relinked(self):
        good = BUILD / "lib" / "libkel.a"
        broken = archive("swapped", BROKEN_PRINTSTRING)
        target = BUILD / "swapped-runtime" / "libkel.a"
        target.parent.mkdir(exist_ok=True)
        subprocess.run(["cp", "-p", str(good), str(target)], check=True)
        status, properties = self.run_against(target)
        self.assertEqual((status, properties["runtime sha256"]), (0, sha256(good)))
        self.assertEqual(properties["expected output"], "the case files")

        # The broken archive was made before the programs were linked, and cp -p keeps its time.
        subprocess.run(["cp", "-p", str(broken), str(target)], check=True)
        status, properties = self.run_against(target)
        self.assertEqual((status, properties["runtime sha256"]), (1, sha256(broken)))

        program = build.runtime_build_dir(BUILD, target) / "bin" / "argshow"
        linked = program.stat().st_mtime_ns
        target.touch()
        self.assertEqual(self.run_against(target)[0], 1)
        self.assertEqual(program.stat().st_mtime_ns, linked, "an unchanged archive was relinked")

        subprocess.run(["cp", "-p", str(good), str(target)], check=True)
        self.assertEqual(self.run_against(target)[0], 0)

        # Without building, programs linked with another archive are not run as this one's.
        subprocess.run(["cp", "-p", str(broken), str(target)], check=True)
        status, out, err = regress("--runtime", str(target), "--only", CASE, "--no-build")
        self.assertEqual((status, out), (2, ""))
        self.assertIn(f"were linked with another archive (sha256 {sha256(good)}), not with this one "
                      f"(sha256 {sha256(broken)}); run without --no-build", err)


if __name__ == "__main__":
    unittest.main()
