"""A correct copy of the runtime that is slow passes, with its slowness reported beside the record
of the build's own programs, which its first run borrows; it is not called hung."""

import subprocess
import tempfile
import unittest
from pathlib import Path

from suite import toolchain
from tests.tracing.test_tracing import ROOT, archive, regress

# A correct runtime that sleeps a millisecond at each line end: slower than its record allows,
# natively and under the emulator alike.
SLOW_LINE_ENDS = {"write.cc": ("void _kel_newline(void) { kel_put_char('\\n'); }",
                               "extern \"C\" int usleep(unsigned int);\n"
                               "void _kel_newline(void) { usleep(1000); kel_put_char('\\n'); }")}
CASE = "evalix/output-longer-than-the-buffer"


class SlowRuntime(unittest.TestCase):
    def test_a_slow_but_correct_copy_passes_and_is_reported_slow(self):
        # The build's own programs record how long the case takes.
        status, out, err = regress("--only", CASE)
        self.assertEqual(status, 0, out + err)
        with tempfile.TemporaryDirectory(prefix="regress-slow-") as scratch:
            # A program set of its own, with no record yet.
            subprocess.run([*toolchain.command(toolchain.resolve(toolchain.chosen_by_build())), "-O2",
                            "-std=c++20", f"-I{ROOT}", str(ROOT / "regression-compile-tmp/evalix.cc"),
                            str(archive("slow-line-ends", SLOW_LINE_ENDS)), "-lm", "-o",
                            str(Path(scratch) / "evalix")], check=True)
            status, out, err = regress("--bin", scratch, "--no-build", "--only", CASE)
        self.assertEqual(status, 0, out + err)
        self.assertRegex(out, rf"passed slower than their records allow, .*: {CASE} \(slow: [\d.]+ s, the median "
                              r"of the last passing runs of bin [\d.]+ s\)\n1 passed, 0 failed\n")


if __name__ == "__main__":
    unittest.main()
