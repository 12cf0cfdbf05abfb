#!/usr/bin/env python3
"""./regress --valgrind: a program with a memory error fails its case with memcheck's report,
while its own output and status are still compared; a clean program passes."""
import unittest

from suite import launcher
from tests.runner.support import ScratchSuite


LAUNCHER = launcher.from_environment()

PROGRAM = """\
    #include <stdio.h>
    #include <stdlib.h>
    int main(int argc, char **argv) {
        int *cells = malloc(4 * sizeof *cells);
        cells[0] = 1;
        /* with an argument, a read one past the end of the block */
        printf("%d\\n", argc > 1 ? cells[4] != 12345 : cells[0]);
        free(cells);
        return 0;
    }
"""


@unittest.skipIf(LAUNCHER.emulated, LAUNCHER.cannot_run("memcheck"))
class Memcheck(ScratchSuite):
    def setUp(self):
        super().setUp()
        self.c_program("cells", PROGRAM)

    def test_a_read_past_a_block_fails_with_the_report(self):
        self.case_file("cells", {"name": "past-the-end", "args": ["x"], "stdout": "1\n"})
        status, out, _ = self.regress("--valgrind")
        self.assertEqual(status, 1)
        self.assertIn("memcheck found errors in the program:", out)
        self.assertIn("Invalid read of size 4", out)
        self.assertIn("status: expected exit status 0, got 99", out)
        rerun = next(line for line in out.splitlines() if "rerun:  " in line)
        self.assertIn(" --valgrind ", rerun)
        self.assertTrue(rerun.endswith(" --only cells/past-the-end -v"), rerun)

    def test_a_clean_program_passes_with_its_own_output_compared(self):
        self.case_file("cells", {"name": "inside", "stdout": "1\n"}, {"name": "wrong", "stdout": "2\n"})
        status, out, _ = self.regress("--valgrind")
        self.assertEqual(status, 1)
        self.assertRegex(out, r"cells/inside \.\.\. ok")
        self.assertRegex(out, r"cells/wrong \.\.\. FAIL")
        self.assertNotIn("memcheck found errors", out)


if __name__ == "__main__":
    unittest.main()
