"""Reading case files, choosing cases with --only, --exclude and --failed, and empty selections."""

import json
import re
import unittest

from suite import cases
from tests.runner.support import ScratchSuite




class CaseFiles(ScratchSuite):
    def write(self, deliverable, cases, name=None):
        text = json.dumps({"deliverable": deliverable, "cases": cases})
        (self.cases / f"{name or deliverable}.json").write_text(text)

    def assert_refused(self, message):
        status, out, err = self.regress()
        self.assertEqual((status, out), (2, ""))
        self.assertIn(message, err)

    def test_mistakes_in_a_case_file_are_refused_with_their_place(self):
        base = {"name": "one", "stdout": "", "stderr": "", "status": 0}
        mistakes = [
            ([{**base, "stdot": "x"}], "case 1: unknown field stdot"),
            ([{**base, "name": "two words"}], "name 'two words' must be letters"),
            ([base, base], "case names used twice: one"),
            ([{k: v for k, v in base.items() if k != "status"}], "give one of status"),
            ([{**base, "signal": "SIGPIPE"}], "give one of status"),
            ([{"name": "one", "stdout": "", "stderr": "", "signal": "SIGPIPED"}],
             "'SIGPIPED' is not a signal's name"),
            ([{**base, "ignored_signals": ["SIGKILL"]}], "signals that can be ignored"),
            ([{**base, "stdout_closed_after": 1, "stdout": "ab"}], "longer than the 1 bytes read"),
            ([{**base, "stdout_closed_after": 1, "stdout_to": "full"}], "no stdout_to"),
            ([{**base, "special_files": {"d": "socket"}}], "special_files must map names to one of"),
            ([{**base, "files": {"d": ""}, "special_files": {"d": "fifo"}}], "both in files and in special_files"),
            ([{**base, "special_files": {"../d": "fifo"}}], "file '../d' must be a plain file name"),
            ([{**base, "status": True}], "field 'status' has the wrong type"),
            ([{**base, "stdout": "\u20ac"}], "has a character above \\u00ff"),
            ([{**base, "files": {"../escape": ""}}], "file '../escape' must be a plain file name"),
            ([{**base, "stdout_filter": ["("]}], "stdout_filter '('"),
            ([{**base, "timeout": 0}], "timeout must be positive"),
        ]
        for entries, message in mistakes:
            with self.subTest(message):
                self.write("prog", entries)
                with self.assertRaisesRegex(cases.CaseFileError, "prog.json: .*" + re.escape(message)):
                    cases.load_cases(self.cases)
        self.assert_refused("case 1 (one): timeout must be positive")

    def test_the_deliverable_must_match_the_file_name(self):
        self.write("other", [], name="prog")
        self.assert_refused("\"deliverable\" must be 'prog', the file's name")

    def test_a_missing_or_empty_suite_is_an_error(self):
        self.assert_refused("no case files (*.json) in")
        self.write("prog", [])
        self.assert_refused("prog.json: has no cases")
        status, out, err = self.regress("--cases", str(self.dir / "no" / "such"))
        self.assertEqual((status, out), (2, ""))
        self.assertIn("no case directory at", err)


class Selection(ScratchSuite):
    def setUp(self):
        super().setUp()
        self.case_file("evalix", {"name": "precedence"}, {"name": "precedence-unary"}, {"name": "assign"})
        self.case_file("xevalix", {"name": "precedence"})

    def listed(self, *patterns):
        args = [a for p in patterns for a in ("--only", p)]
        status, out, _ = self.regress("--list", *args)
        return status, out.split()

    def test_an_exact_name_selects_that_case_alone(self):
        self.assertEqual(self.listed("evalix/precedence"), (0, ["evalix/precedence"]))

    def test_substrings_globs_and_repeats(self):
        self.assertEqual(self.listed("evalix/prec")[1],
                         ["evalix/precedence", "evalix/precedence-unary", "xevalix/precedence"])
        self.assertEqual(self.listed("evalix/*")[1],
                         ["evalix/precedence", "evalix/precedence-unary", "evalix/assign"])
        self.assertEqual(self.listed("*/assign", "xevalix/*")[1], ["evalix/assign", "xevalix/precedence"])

    def test_a_pattern_that_matches_nothing_is_an_error_even_among_others(self):
        for options, message in [(["--only", "evalx"], "no case matches evalx"),
                                 (["--only", "assign", "--only", "typo"], "no case matches typo"),
                                 (["--exclude", "typo"], "no case matches typo"),
                                 (["--exclude", "evalix"], "the options leave no case to run")]:
            with self.subTest(options):
                status, out, err = self.regress(*options)
                self.assertEqual((status, out), (2, ""))
                self.assertIn(message, err)

    def test_exclude_drops_what_it_matches(self):
        self.assertEqual(self.listed("evalix/prec")[1][-1], "xevalix/precedence")
        status, out, _ = self.regress("--list", "--only", "evalix/prec", "--exclude", "x*", "--exclude", "*unary")
        self.assertEqual((status, out.split()), (0, ["evalix/precedence"]))


class Failed(ScratchSuite):
    def test_failed_reruns_the_last_runs_failures_only(self):
        self.program("good", "echo fine\n")
        self.case_file("good", {"name": "a", "stdout": "fine\n"}, {"name": "b", "stdout": "other\n"},
                       {"name": "c", "stdout": "other\n"})
        status, _, err = self.regress("--failed")
        self.assertEqual(status, 2)
        self.assertIn("--failed: no run recorded in", err)
        self.assertEqual(self.regress()[0], 1)
        status, out, _ = self.regress("--failed")
        self.assertEqual(status, 1)
        self.assertIn("2 cases from", out)
        self.assertIn("0 passed, 2 failed", out)
        self.case_file("good", {"name": "a", "stdout": "fine\n"}, {"name": "b", "stdout": "fine\n"},
                       {"name": "c", "stdout": "other\n"})
        status, out, _ = self.regress("--failed")
        self.assertEqual((status, out.count("... ok"), out.count("... FAIL")), (1, 1, 1))
        self.assertEqual(self.regress("--failed", "--list")[1], "good/c\n")
        self.case_file("good", {"name": "a", "stdout": "fine\n"}, {"name": "c", "stdout": "fine\n"})
        self.assertEqual(self.regress("--failed")[0], 0)
        status, _, err = self.regress("--failed")
        self.assertEqual(status, 2)
        self.assertIn("--failed: no case failed in the last run", err)


if __name__ == "__main__":
    unittest.main()
