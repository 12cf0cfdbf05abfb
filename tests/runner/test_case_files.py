"""Reading case files, choosing cases with --only, --exclude and --failed, and empty selections."""

import json
import os
import re
import subprocess
import sys
import unittest

from suite import cases
from tests.runner.support import ROOT, ScratchSuite




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
            ([{**base, "stack": 4096}], "stack must be at least 65536 bytes"),
            ([{**base, "stack": "1M"}], "field 'stack' has the wrong type"),
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

    def test_shards_are_disjoint_together_every_case_balanced_and_the_same_each_time(self):
        self.case_file("more", *({"name": f"c{i}"} for i in range(7)))
        everything = self.listed()[1]
        for only in ([], ["--only", "more/"]):
            with self.subTest(only=only):
                selected = self.regress("--list", *only)[1].split()
                parts = [self.regress("--list", *only, "--shard", f"{k}/3")[1].split() for k in (1, 2, 3)]
                joined = [case for part in parts for case in part]
                self.assertEqual(sorted(joined), sorted(selected))
                self.assertEqual(len(set(joined)), len(joined), "a case is in two shards")
                self.assertLessEqual(max(map(len, parts)) - min(map(len, parts)), 1)
                for part in parts:
                    self.assertEqual(part, [case for case in selected if case in part], "not in run order")
                again = [self.regress("--list", *only, "--shard", f"{k}/3")[1].split() for k in (1, 2, 3)]
                self.assertEqual(again, parts)
        self.assertEqual(len(everything), 11)

    def test_a_shard_that_is_not_k_of_n_or_is_empty_is_refused(self):
        for given in ("0/3", "4/3", "1/0", "two/three", "1/3/2", "", "-1/3"):
            with self.subTest(given=given):
                status, out, err = self.regress("--list", "--shard", given)
                self.assertEqual((status, out), (2, ""))
                self.assertIn("argument --shard", err)
        # The tools that share their work read --shard as the cases do, before they build or run.
        for tool in ("suite.mutants", "suite.hunt"):
            with self.subTest(tool=tool):
                done = subprocess.run([sys.executable, "-m", tool, "--shard", "4/3"], capture_output=True,
                                      text=True, cwd=ROOT, env=dict(os.environ, KEL_READ_WORDS="1"), timeout=60)
                self.assertEqual(done.returncode, 2, done.stdout + done.stderr)
                self.assertIn("argument --shard: '4/3': K must be 1 to N", done.stderr)
        status, _, err = self.regress("--list", "--only", "xevalix/", "--shard", "2/2")
        self.assertEqual(status, 2)
        self.assertIn("--shard 2/2 leaves no case to run: only 1 case is selected", err)


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


class TextForms(ScratchSuite):
    """Texts written as repeats or in files beside the case file read as the texts they stand for,
    and what the suite writes reads back whole."""

    def load(self, **fields):
        text = json.dumps({"deliverable": "prog", "cases": [{"name": "one", "stdout": "", "stderr": "",
                                                              "status": 0, **fields}]})
        (self.cases / "prog.json").write_text(text)
        return cases.load_cases(self.cases)[0]

    def test_each_form_in_each_place_a_text_goes(self):
        (self.cases / "prog").mkdir()
        (self.cases / "prog" / "one.stdout").write_bytes(b"from a file \xff\n")
        case = self.load(stdout={"file": "prog/one.stdout"},
                         stdin=["1\n", {"repeat": "(", "times": 3}, "\n"],
                         args=[{"repeat": "ab", "times": 2}], files={"data": [{"file": "prog/one.stdout"}, "!"]},
                         stderr=[{"repeat": "e", "times": 2}])
        self.assertEqual((case.expected.stdout, case.stdin, case.args, case.files, case.expected.stderr),
                         ("from a file \u00ff\n", "1\n(((\n", ("abab",), (("data", "from a file \u00ff\n!"),), "ee"))
        self.assertEqual(self.load(terminal=[{"repeat": "x", "times": 2}, "\n"]).terminal, ("xx", "\n"))
        self.assertEqual(self.load(stdin_chunks=["a", {"repeat": "b", "times": 3}]).stdin_chunks, ("a", "bbb"))

    def test_forms_that_cannot_be_meant_are_refused_with_their_place(self):
        (self.dir / "outside").write_text("secret")
        for fields, message in [
                ({"stdout": {"repeat": "", "times": 3}}, "stdout: a repeat is a string that is not empty"),
                ({"stdout": {"repeat": "x", "times": 0}}, "a repeat is a string"),
                ({"stdout": {"repeat": "x", "times": True}}, "a repeat is a string"),
                ({"stdout": {"repeat": "x", "times": 1 << 40}}, "no text may pass"),
                ({"stdout": [{"repeat": "x" * 1024, "times": 1 << 15}] * 3}, "no text may pass"),
                ({"stdout": {"repeat": "x", "times": 2, "more": 1}}, "a text must be a string"),
                ({"stdout": [["nested"]]}, "not lists"),
                ({"stdout": 5}, "field 'stdout' has the wrong type"),
                ({"args": [7]}, "args: a text must be a string"),
                ({"stdin": {"file": "../outside"}}, "stdin: text file '../outside' must be a path below"),
                ({"stdin": {"file": str(self.dir / "outside")}}, "must be a path below"),
                ({"stdin": {"file": "missing"}}, "text file 'missing': No such file"),
                ({"stdin": {"repeat": "\u20ac", "times": 2}}, "above \\u00ff")]:
            with self.subTest(message):
                with self.assertRaisesRegex(cases.CaseFileError, "prog.json: case 1.*: .*" + re.escape(message)):
                    self.load(**fields)

    def test_what_the_suite_writes_reads_back_whole_and_short(self):
        texts = ["", "short\n", "x" * cases.INLINE_LIMIT, "[" + " " * 200000 + "5]\n",
                 "1234567\n" * 9000 + "2+2\n", "".join(f"{i}\n" for i in range(5000)),
                 ("ab" * 200 + "c") * 30, "".join(chr(i % 256) for i in range(70000))]
        for i, text in enumerate(texts):
            with self.subTest(i):
                spilled = []
                def spill(content):
                    spilled.append(content)
                    (self.cases / f"t{i}").write_bytes(content.encode("latin-1"))
                    return f"t{i}"
                form = cases.text_json(text, spill)
                self.assertLessEqual(len(json.dumps(form)), cases.INLINE_LIMIT + 2)
                self.assertEqual(self.load(stdin=form).stdin, text)
                self.assertEqual(bool(spilled), isinstance(form, dict) and "file" in form)

    def test_the_suites_own_case_files_hold_no_long_string(self):
        def strings(value):
            if isinstance(value, str):
                yield value
            elif isinstance(value, (list, dict)):
                for item in (value.values() if isinstance(value, dict) else value):
                    yield from strings(item)
        for path in sorted(cases.CASES_DIR.glob("*.json")):
            with self.subTest(path.name):
                longest = max(map(len, strings(json.loads(path.read_text()))))
                self.assertLessEqual(longest, 8192)


class Fingerprints(unittest.TestCase):
    """An entry's fingerprint changes with whatever changes the case's run, and with nothing else."""

    BASE = {"name": "one", "stdout": "", "stderr": "", "status": 0, "args": ["a"], "stdin": "in",
            "files": {"f": "content"}}

    def fingerprint(self, **changes):
        entry = {**self.BASE, **changes}
        return cases.fingerprint(cases._case("prog", "here", {k: v for k, v in entry.items() if v is not None}, "."))

    def test_what_defines_the_run_changes_it_and_nothing_else_does(self):
        base = self.fingerprint()
        runs = [{"args": ["b"]}, {"args": ["a", ""]}, {"stdin": "in2"}, {"files": {"f": "other"}},
                {"files": {"g": "content"}}, {"program": "other"}, {"stdin": None, "stdin_chunks": ["i", "n"]},
                {"stdin": None, "stdin_from": "closed"}, {"stdout_to": "full"}, {"stdout_to": "stopped"},
                {"stdin": None, "terminal": ["in"]},
                {"stdin": None, "terminal": ["in"], "terminal_streams": ["stdin", "stdout"]},
                {"stdout_closed_after": 0}, {"stdout_closed_after": 5}, {"ignored_signals": ["SIGPIPE"]},
                {"special_files": {"d": "directory"}}, {"special_files": {"d": "fifo"}}]
        fingerprints = [self.fingerprint(**run) for run in runs]
        self.assertNotIn(base, fingerprints)
        self.assertEqual(len(set(fingerprints)), len(runs))
        for same in [{"stdout": "other"}, {"status": 3}, {"timeout": 5}, {"fixed": True}, {"stdout_to": "pipe"},
                     {"status": None, "signal": "SIGPIPE"},
                     {"stdin": [{"repeat": "i", "times": 1}, "n"]}, {"stdout_filter": ["x"]}]:
            with self.subTest(same):
                self.assertEqual(self.fingerprint(**same), base)


if __name__ == "__main__":
    unittest.main()
