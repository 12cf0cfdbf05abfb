"""Recording a runtime's own outputs with --bless, checking against them with --expect, and
known failures marked in a set."""

import json
import os
import unittest
import xml.etree.ElementTree as ET

from tests.runner.support import ScratchSuite



class BlessThenExpect(ScratchSuite):
    def setUp(self):
        super().setUp()
        self.sets = self.dir / "mine"
        # Stands in for another runtime: its layout differs from the case files'.
        self.program("layout", 'echo "  +1.5@0"\necho note >&2\nexit 4\n')
        self.program("frame", "echo fixed text\n")
        self.case_file("layout", {"name": "real", "stdout": "1.5\n"})
        self.case_file("frame", {"name": "text", "stdout": "fixed text\n", "fixed": True})

    def test_blessed_outputs_pass_with_expect_and_fail_without(self):
        self.assertEqual(self.regress()[0], 1)
        status, out, _ = self.regress("--bless", str(self.sets))
        self.assertEqual(status, 0, out)
        self.assertIn("layout/real ... blessed", out)
        self.assertEqual(json.loads((self.sets / "layout.json").read_text()),
                         {"real": {"stdout": "  +1.5@0\n", "stderr": "note\n", "status": 4}})
        self.assertFalse((self.sets / "frame.json").exists())
        status, out, _ = self.regress("--expect", str(self.sets))
        self.assertEqual(status, 0, out)
        self.program("layout", 'echo "  +1.6@0"\necho note >&2\nexit 4\n')
        status, out, _ = self.regress("--expect", str(self.sets))
        self.assertEqual(status, 1)
        first = next(line for line in out.splitlines() if line.startswith("FAIL layout/real  "))
        self.assertEqual(first, "FAIL layout/real  (expected output: mine/layout.json)  regression: the runtime "
                                "no longer does what its expectation set recorded: a regression, to fix in the runtime")
        self.assertIn("-  +1.5@0\n    +  +1.6@0\n", out)

    def test_fixed_cases_are_checked_against_the_case_file_even_when_blessing(self):
        self.program("frame", "echo other text\n")
        status, out, _ = self.regress("--bless", str(self.sets))
        self.assertEqual(status, 1)
        self.assertIn("frame/text ... FAIL", out)
        self.assertIn("FAIL frame/text  (expected output: cases/frame.json)  fixed: a conformance fault in "
                      "any runtime", out)
        self.assertFalse((self.sets / "frame.json").exists())

    def test_a_crash_is_not_blessed(self):
        self.program("layout", "kill -ABRT $$\n")
        status, out, _ = self.regress("--bless", str(self.sets))
        self.assertEqual(status, 1)
        self.assertIn("cannot bless: killed by signal SIGABRT (6)", out)
        self.assertFalse((self.sets / "layout.json").exists())

    def test_blessing_one_case_keeps_the_others_and_drops_removed_ones(self):
        self.case_file("layout", {"name": "real", "stdout": ""}, {"name": "int", "stdout": ""})
        self.assertEqual(self.regress("--bless", str(self.sets))[0], 0)
        self.program("layout", "echo changed\n")
        self.case_file("layout", {"name": "real", "stdout": ""})
        self.assertEqual(self.regress("--bless", str(self.sets), "--only", "layout/real")[0], 0)
        blessed = json.loads((self.sets / "layout.json").read_text())
        self.assertEqual(list(blessed), ["real"])
        self.assertEqual(blessed["real"]["stdout"], "changed\n")

    def test_reblessing_counts_and_shows_each_change_and_rewrites_only_changed_files(self):
        self.program("other", "echo same\n")
        self.case_file("other", {"name": "steady", "stdout": ""})
        self.assertEqual(self.regress("--bless", str(self.sets))[0], 0)
        untouched = self.sets / "other.json"
        os.utime(untouched, (0, 0))
        self.program("layout", 'echo "  +1.5@0"\necho note >&2\nexit 2\n')
        status, out, _ = self.regress("--bless", str(self.sets))
        self.assertEqual(status, 0, out)
        self.assertIn("blessed into mine: 0 new, 1 changed, 1 unchanged, 0 dropped; rewrote layout.json", out)
        self.assertIn("changed layout/real:\n    status: 4 -> 2\n", out)
        self.assertEqual(untouched.stat().st_mtime, 0)
        self.assertEqual(json.loads((self.sets / "layout.json").read_text())["real"]["status"], 2)
        self.program("layout", 'echo "  +1.5@1"\necho note >&2\nexit 2\n')
        out = self.regress("--bless", str(self.sets))[1]
        self.assertIn("--- blessed stdout\n    +++ new stdout\n    @@ -1 +1 @@\n    -  +1.5@0\n    +  +1.5@1\n", out)
        self.assertNotIn("stderr", out.split("changed layout/real:")[1])
        self.assertEqual(list(self.sets.glob(".*")), [])

    def test_known_failures_pass_as_xfail_and_fail_once_they_pass(self):
        self.sets.mkdir()
        (self.sets / "layout.json").write_text(json.dumps({"real": {"xfail": "rounds halves down"}}))
        (self.sets / "frame.json").write_text(json.dumps({"text": {"xfail": "drops the last line"}}))
        self.program("frame", "echo fixed\n")
        junit = self.dir / "results.xml"
        status, out, _ = self.regress("--expect", str(self.sets), "--junit", str(junit))
        self.assertEqual(status, 0, out)
        self.assertIn("layout/real ... XFAIL (rounds halves down: status: expected exit status 0, got 4)", out)
        known = ET.parse(junit).getroot().find("testsuite[@name='layout']/testcase")
        self.assertIsNone(known.find("failure"))
        self.assertIn("XFAIL, a known failure: rounds halves down", known.find("system-out").text)
        self.assertIn("frame/text ... XFAIL (drops the last line: stdout differs", out)
        self.assertIn("2 passed, 0 failed (2 of the passed known failures, XFAIL)", out)
        self.program("frame", "echo fixed text\n")
        status, out, _ = self.regress("--bless", str(self.sets))
        self.assertEqual(status, 1)
        self.assertIn("frame/text ... XPASS (a known failure passes (marked: drops the last line); "
                      "take its xfail mark out of the expectation set)", out)
        self.assertIn("XPASS frame/text  (expected output: cases/frame.json; a known failure in mine/frame.json)", out)
        self.assertIn("layout/real ... XFAIL", out)
        self.assertEqual(json.loads((self.sets / "layout.json").read_text()),
                         {"real": {"xfail": "rounds halves down"}})

    def test_a_case_missing_from_the_set_fails_and_says_so(self):
        status, out, err = self.regress("--expect", str(self.sets))
        self.assertEqual((status, out), (2, ""))
        self.assertIn("no expectation set at", err)
        self.sets.mkdir()
        status, out, _ = self.regress("--expect", str(self.sets))
        self.assertEqual(status, 1)
        self.assertIn("no expected output for this case in mine/layout.json; record one with --bless", out)


if __name__ == "__main__":
    unittest.main()
