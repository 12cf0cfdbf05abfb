"""Recording a runtime's own outputs with --bless, checking against them with --expect, and
known failures marked in a set."""

import json
import os
import time
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
        entry = json.loads((self.sets / "layout.json").read_text())["real"]
        self.assertEqual((entry["stdout"], entry["stderr"], entry["status"]), ("  +1.5@0\n", "note\n", 4))
        self.assertFalse((self.sets / "frame.json").exists())
        status, out, _ = self.regress("--expect", str(self.sets))
        self.assertEqual(status, 0, out)
        self.program("layout", 'echo "  +1.6@0"\necho note >&2\nexit 4\n')
        status, out, _ = self.regress("--expect", str(self.sets))
        self.assertEqual(status, 1)
        self.assertIn("FAIL layout/real  (expected output: mine/layout.json)  runtime's layout: if it is the "
                      "runtime's intended choice, record it with --bless DIR", out)
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
        self.assertIn("blessed into mine: 2 entries differ from the case files (0 new, 1 changed, 1 unchanged); "
                      "dropped 0 that the case files now give and 0 of cases that no longer exist; "
                      "rewrote layout.json", out)
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

    def test_a_case_the_set_does_not_hold_is_judged_by_its_case_file(self):
        status, out, err = self.regress("--expect", str(self.sets))
        self.assertEqual((status, out), (2, ""))
        self.assertIn("no expectation set at", err)
        self.sets.mkdir()
        status, out, _ = self.regress("--expect", str(self.sets))
        self.assertEqual(status, 1)
        self.assertIn("FAIL layout/real  (expected output: cases/layout.json)  runtime's layout", out)
        self.assertIn("frame/text ... ok", out)


class SetsAsDeltas(ScratchSuite):
    """A set holds only what differs from the case files, each entry with its case's fingerprint."""

    def setUp(self):
        super().setUp()
        self.sets = self.dir / "mine"
        # Prints its argument, and its file's first line as this runtime lays it out.
        self.program("show", 'echo "$1"\n[ ! -e data ] || sed "s/^/  /" data\n')
        self.case_file("show", {"name": "same", "args": ["a"], "stdout": "a\n"},
                       {"name": "laid-out", "args": ["b"], "files": {"data": "x\n"}, "stdout": "b\nx\n"})

    def files_and_times(self):
        return {p: p.stat().st_mtime_ns for p in sorted(self.sets.rglob("*"))}

    def test_only_differing_entries_are_recorded_and_reblessing_writes_nothing(self):
        status, out, _ = self.regress("--bless", str(self.sets))
        self.assertEqual(status, 0, out)
        self.assertIn("blessed into mine: 1 entry differs from the case files", out)
        self.assertEqual(list(json.loads((self.sets / "show.json").read_text())), ["laid-out"])
        before = self.files_and_times()
        time.sleep(0.01)
        status, out, _ = self.regress("--bless", str(self.sets))
        self.assertEqual(status, 0, out)
        self.assertIn("(0 new, 0 changed, 1 unchanged)", out)
        self.assertIn("no file rewritten", out)
        self.assertEqual(self.files_and_times(), before)
        self.assertEqual(self.regress("--expect", str(self.sets))[0], 0)

    def test_a_case_changed_since_it_was_blessed_is_reported_as_such(self):
        self.assertEqual(self.regress("--bless", str(self.sets))[0], 0)
        # The input changed upstream, and with it the case file's expected output.
        self.case_file("show", {"name": "same", "args": ["a"], "stdout": "a\n"},
                       {"name": "laid-out", "args": ["b"], "files": {"data": "y\n"}, "stdout": "b\ny\n"})
        junit = self.dir / "results.xml"
        status, out, _ = self.regress("--expect", str(self.sets), "--junit", str(junit))
        self.assertEqual(status, 1)
        self.assertIn("show/laid-out ... CHANGED (changed since it was blessed: re-bless or drop", out)
        self.assertIn("CHANGED show/laid-out  (expected output: mine/show.json)  changed since it was blessed: "
                      "re-bless or drop", out)
        self.assertNotIn("runtime's layout", out)
        self.assertNotIn("differs from the expected output", out)
        self.assertIn("1 of them for cases changed since they were blessed (re-bless or drop): show/laid-out", out)
        self.assertIn("1 passed, 1 failed (1 of the failed changed since blessed, CHANGED: re-bless or drop)", out)
        self.assertEqual(ET.parse(junit).find(".//failure").get("type"), "CHANGED")
        status, out, _ = self.regress("--bless", str(self.sets))
        self.assertIn("its case changed since it was blessed", out)
        self.assertEqual(self.regress("--expect", str(self.sets))[0], 0)

    def test_entries_the_case_files_now_give_or_whose_cases_are_gone_are_listed_and_dropped(self):
        self.assertEqual(self.regress("--bless", str(self.sets))[0], 0)
        self.case_file("show", {"name": "same", "args": ["a"], "stdout": "a\n"})
        status, out, _ = self.regress("--expect", str(self.sets))
        self.assertEqual(status, 0, out)
        self.assertIn("1 entry for cases that no longer exist (the next --bless drops them): show/laid-out", out)
        out = self.regress("--bless", str(self.sets))[1]
        self.assertIn("1 of cases that no longer exist (show/laid-out)", out)
        self.assertFalse((self.sets / "show.json").exists())
        # A runtime that blessed its own layout, then came to give the case file's.
        self.case_file("show", {"name": "same", "args": ["a"], "stdout": "a\n"},
                       {"name": "laid-out", "args": ["b"], "files": {"data": "x\n"}, "stdout": "b\nx\n"})
        self.assertEqual(self.regress("--bless", str(self.sets))[0], 0)
        self.program("show", 'echo "$1"\n[ ! -e data ] || cat data\n')
        out = self.regress("--bless", str(self.sets))[1]
        self.assertIn("0 entries differ from the case files (0 new, 0 changed, 0 unchanged); dropped 1 that the "
                      "case files now give", out)

    def test_a_set_blessed_before_fingerprints_still_loads_and_reblessing_converts_it(self):
        self.sets.mkdir()
        # Full entries, as sets were blessed before: one the case file gives, one of the layout.
        (self.sets / "show.json").write_text(json.dumps({
            "same": {"stdout": "a\n", "stderr": "", "status": 0},
            "laid-out": {"stdout": "b\n  x\n", "stderr": "", "status": 0}}))
        status, out, _ = self.regress("--expect", str(self.sets))
        self.assertEqual(status, 0, out)
        self.assertIn("2 entries blessed before entries kept the fingerprint of their case: taken as current", out)
        out = self.regress("--bless", str(self.sets))[1]
        self.assertIn("its case's fingerprint added", out)
        self.assertIn("dropped 1 that the case files now give", out)
        self.assertEqual(list(json.loads((self.sets / "show.json").read_text())["laid-out"]),
                         ["fingerprint", "stdout", "stderr", "status"])

    def test_long_outputs_go_out_of_line_and_come_back_whole(self):
        # A long run of one line, then lines that repeat nothing, each longer than the last.
        self.program("show", 'yes abc | head -n 3000\nseq 1 3000\n')
        self.case_file("show", {"name": "long"})
        self.assertEqual(self.regress("--bless", str(self.sets))[0], 0)
        raw = (self.sets / "show.json").read_text()
        self.assertLess(len(raw), 8192)
        self.assertEqual(json.loads(raw)["long"]["stdout"], {"file": "show/long.stdout"})
        self.assertEqual(self.regress("--expect", str(self.sets))[0], 0)
        self.program("show", 'yes abc | head -n 3000\n')
        self.assertEqual(self.regress("--bless", str(self.sets))[0], 0)
        entry = json.loads((self.sets / "show.json").read_text())["long"]
        self.assertEqual(entry["stdout"], {"repeat": "abc\n", "times": 3000})
        self.assertFalse((self.sets / "show" / "long.stdout").exists())
        self.assertEqual(self.regress("--expect", str(self.sets))[0], 0)
        self.program("show", 'yes abc | head -n 2999\n')
        self.assertEqual(self.regress("--expect", str(self.sets))[0], 1)


if __name__ == "__main__":
    unittest.main()
