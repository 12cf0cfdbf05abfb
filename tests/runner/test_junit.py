"""The JUnit file: well-formed XML that a parser reads back with every case and its failure."""

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


if __name__ == "__main__":
    unittest.main()
