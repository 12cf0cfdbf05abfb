"""The order cases start in (longest first by their records, those never recorded before them) and
the cases that only wait, which run beside the jobs instead of holding one."""

import re
import unittest

from suite import limits
from tests.runner.test_time_limits import passed
from tests.runner.support import ScratchSuite


class Order(ScratchSuite):
    def test_the_longest_start_first_and_the_unrecorded_before_them(self):
        self.program("nap", 'sleep "$1"\n')
        self.case_file("d", *({"name": name, "program": "nap", "args": [seconds]}
                              for name, seconds in (("short", "0"), ("middle", "0.2"), ("long", "0.4"),
                                                    ("new", "0"))))
        limits.Limits(self.dir / "build", self.bin).record(
            [passed("d/short", 0.01), passed("d/middle", 0.2), passed("d/long", 0.4)])
        status, out, _ = self.regress("-j", "1")
        self.assertEqual(status, 0, out)
        self.assertEqual(re.findall(r"^\[\d/4\] d/(\w+) \.\.\. ok", out, re.M), ["new", "long", "middle", "short"])


class Waiting(ScratchSuite):
    def test_cases_that_only_wait_hold_no_job(self):
        # Each waiting case ends only once the busy case has started, which with one job it could
        # not do if a waiting case held it.
        started = self.dir / "busy-started"
        self.program("waits", f'i=0; while [ ! -e "{started}" ] && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done\n'
                              f'[ -e "{started}" ] && echo overlapped\ncat >/dev/null 2>&1\n')
        self.program("busy", f': > "{started}"\n')
        self.case_file("d",
                       {"name": "typed", "program": "waits", "terminal": [], "stdout": "overlapped\n"},
                       {"name": "pieces", "program": "waits", "stdin_chunks": ["a", "b"], "stdout": "overlapped\n"},
                       {"name": "stopped", "program": "waits", "stdout_to": "stopped", "stdout": "overlapped\n"},
                       {"name": "busy", "program": "busy"})
        status, out, _ = self.regress("-j", "1")
        self.assertEqual(status, 0, out)


if __name__ == "__main__":
    unittest.main()
