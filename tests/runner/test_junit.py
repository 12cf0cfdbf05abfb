"""The JUnit file: well-formed XML that a parser reads back with every case and its failure; and
output paths that cannot be written, refused before any case runs."""

import json
import re
import unittest
import xml.etree.ElementTree as ET

from tests.runner.support import ScratchSuite



class JunitFile(ScratchSuite):
    def test_results_read_back_including_control_bytes_in_the_diff(self):
        self.program("noisy", "printf 'esc \\033[1m & <tag> \\001\\n'\n")
        self.program("calm", "echo calm\n")
        self.case_file("noisy", {"name": "bytes", "stdout": "plain\n"})
        self.case_file("calm", {"name": "one", "stdout": "calm\n"}, {"name": "two", "stdout": "calm\n"})
        junit = self.dir / "out" / "results.xml"
        junit.parent.mkdir()
        self.assertEqual(self.regress("--junit", str(junit))[0], 1)
        root = ET.parse(junit).getroot()
        self.assertEqual((root.tag, root.get("tests"), root.get("failures")), ("testsuites", "3", "1"))
        suites = {s.get("name"): s for s in root.findall("testsuite")}
        self.assertEqual(suites["calm"].get("failures"), "0")
        self.assertEqual([c.get("name") for c in suites["calm"].findall("testcase")], ["one", "two"])
        failure = suites["noisy"].find("testcase/failure")
        self.assertEqual(failure.get("message"), "stdout differs from the expected output")
        self.assertIn("+esc \\x1b[1m & <tag> \\x01", failure.text)
        self.assertIn("--only noisy/bytes -v", failure.text)

    def test_what_the_run_was_made_against_is_recorded(self):
        self.program("calm", "echo calm\n")
        self.case_file("calm", {"name": "one", "stdout": "calm\n"})
        junit, mine = self.dir / "results.xml", self.dir / "mine"
        mine.mkdir()
        self.assertEqual(self.regress("--junit", str(junit), "--expect", str(mine))[0], 0)
        properties = {p.get("name"): p.get("value") for p in ET.parse(junit).iter("property")}
        self.assertEqual((properties["runtime"], properties["expected output"]), ("the bundled kelrt", "mine"))


class WhatACiCounts(ScratchSuite):
    def test_cases_not_run_after_max_failures_are_listed_as_skipped_with_the_reason(self):
        self.program("fails", "exit 1\n")
        self.program("fine", "exit 0\n")
        self.case_file("fails", *({"name": f"c{i}"} for i in range(5)))
        self.case_file("fine", {"name": "later"})
        junit = self.dir / "results.xml"
        status, out, _ = self.regress("--max-failures", "2", "-j", "1", "--junit", str(junit))
        self.assertEqual(status, 1)
        # The case running when the second failed is still run, and may fail.
        not_run = int(re.search(r"(\d+) cases not run", out).group(1))
        root = ET.parse(junit).getroot()
        names = [f"{s.get('name')}/{c.get('name')}" for s in root.iter("testsuite") for c in s.iter("testcase")]
        self.assertEqual(names, [*(f"fails/c{i}" for i in range(5)), "fine/later"])
        skipped = root.findall(".//testcase/skipped")
        self.assertIn(len(skipped), (3, 4))
        self.assertEqual(len(skipped), not_run)
        self.assertEqual({s.get("message") for s in skipped},
                         {"not run: stopped after 2 failed (--max-failures)"})
        self.assertEqual((root.get("tests"), root.get("failures"), root.get("skipped")),
                         ("6", str(6 - not_run), str(not_run)))
        self.assertEqual(root.find("testsuite[@name='fine']").get("skipped"), "1")

    def test_a_known_failure_is_skipped_with_its_reason_and_one_that_passes_fails(self):
        self.program("known", "echo wrong\n")
        self.program("mended", "exit 0\n")
        self.case_file("known", {"name": "fails"})
        self.case_file("mended", {"name": "passes"})
        mine = self.dir / "mine"
        mine.mkdir()
        for deliverable, name in [("known", "fails"), ("mended", "passes")]:
            (mine / f"{deliverable}.json").write_text(json.dumps({name: {"xfail": "rounds halves down"}}))
        junit = self.dir / "results.xml"
        self.assertEqual(self.regress("--expect", str(mine), "--junit", str(junit))[0], 1)
        root = ET.parse(junit).getroot()
        xfail = root.find("testsuite[@name='known']/testcase/skipped")
        self.assertEqual((xfail.get("type"), xfail.get("message")), ("xfail", "rounds halves down"))
        xpass = root.find("testsuite[@name='mended']/testcase")
        self.assertIsNone(xpass.find("skipped"))
        self.assertEqual(xpass.find("failure").get("type"), "XPASS")
        self.assertEqual((root.get("tests"), root.get("failures"), root.get("skipped")), ("2", "1", "1"))


class OutputPaths(ScratchSuite):
    def test_a_path_that_cannot_be_written_is_refused_before_any_case_runs(self):
        self.program("calm", "touch ran\necho calm\n")
        self.case_file("calm", {"name": "one", "stdout": "calm\n"})
        (self.dir / "a-file").write_text("")
        (self.dir / "a-dir").mkdir()
        for options, reason in [(["--junit", "missing/out.xml"], "cannot write missing/out.xml: no directory missing"),
                                (["--junit", "a-dir"], "cannot write a-dir: it is a directory, not a file"),
                                (["--junit", "a-file/out.xml"], "a-file is not a directory"),
                                (["--bless", "a-file"], "cannot write a-file: it is a file, not a directory"),
                                (["--bless", "a-file/set"], "a-file is not a directory")]:
            with self.subTest(options):
                status, out, err = self.regress(*options)
                self.assertEqual((status, out), (2, ""))
                self.assertIn(reason, err)
        self.assertEqual(sorted(p.name for p in self.dir.iterdir()),
                         ["a-dir", "a-file", "bin", "cases"])
        self.assertEqual(list((self.dir / "a-dir").iterdir()), [])


if __name__ == "__main__":
    unittest.main()
