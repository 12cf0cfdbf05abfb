"""Tests of ./regress mutants: the tokens it changes, known mutants caught, surviving and hanging, a foreign runtime."""

import json
import shutil
import subprocess
import tempfile
import textwrap
import unittest
from pathlib import Path
from types import SimpleNamespace

from suite import build, launcher, mutants, mutation
from suite import cases as casefiles

SAMPLE = textwrap.dedent("""\
    void g(void);
    template <typename T> T pick(T a) { return a; }
    int f(int a, int b)
    {
        int c = static_cast<int>(a < b);
        if (a > 0 && b != 'x')
            g();
        c += -b;
        return c + 7 - pick<int>(b);
    }
    """)


class TokenFinding(unittest.TestCase):
    def setUp(self):
        scratch = tempfile.TemporaryDirectory(prefix="mutants-test-")
        self.addCleanup(scratch.cleanup)
        self.dir = Path(scratch.name)
        (self.dir / "sample.cc").write_text(SAMPLE)
        self.found, errors = mutation.find_mutants(self.dir, "sample.cc", [])
        self.assertEqual(errors, [])

    def changes(self, line):
        return sorted(m.change for m in self.found if m.line == line)

    def test_casts_templates_and_signs_are_not_operators(self):
        self.assertEqual(self.changes(2), [])
        self.assertEqual(self.changes(5), ["< -> <="])
        self.assertEqual(self.changes(8), ["+= -> -="])
        self.assertEqual(self.changes(9), ["+ -> -", "- -> +", "7 -> 6", "7 -> 8"])

    def test_each_kind_is_produced(self):
        self.assertEqual(self.changes(6), sorted(["> -> >=", "0 -> 1", "&& -> ||", "!= -> ==", "'x' -> 'y'"]))
        self.assertEqual(self.changes(7), ["call deleted: g()"])
        kinds = {m.kind for m in self.found}
        self.assertEqual(kinds, {"comparison", "equality", "logic", "arithmetic", "integer", "character", "call"})

    def test_what_libclang_cannot_parse_is_said(self):
        (self.dir / "broken.cc").write_text("#include \"missing.h\"\nint f(int a) { return a < 1; }\n")
        found, errors = mutation.find_mutants(self.dir, "broken.cc", [])
        self.assertIn("'missing.h' file not found", errors[0])
        self.assertIn("< -> <=", [m.change for m in found])

    def test_a_mutant_compiles_with_its_one_change(self):
        text = (self.dir / "sample.cc").read_bytes()
        for mutant in self.found:
            changed = mutant.applied(text).decode()
            self.assertEqual(len(changed.splitlines()), len(SAMPLE.splitlines()))
            (self.dir / "changed.cc").write_text(changed)
            done = subprocess.run(["g++", "-std=c++20", "-fsyntax-only", str(self.dir / "changed.cc")],
                                  capture_output=True, text=True)
            self.assertEqual(done.returncode, 0, f"{mutant.change}: {done.stderr}")


class CasesForALine(unittest.TestCase):
    def test_a_case_that_left_no_line_data_runs_for_every_mutant(self):
        # A run that ends in _exit writes no coverage data: it may have executed any line.
        coverage = mutants.Coverage({("a.cc", 3): {"x/ran-line-3"}}, {("a.cc", 3), ("a.cc", 4)},
                                    {"x/ended-in-exit"})
        line = lambda n: SimpleNamespace(file="a.cc", line=n)
        self.assertEqual(coverage.cases_for(line(3)), {"x/ran-line-3", "x/ended-in-exit"})
        self.assertEqual(coverage.cases_for(line(4)), {"x/ended-in-exit"})
        self.assertEqual(coverage.cases_for(line(9)), {"x/ran-line-3", "x/ended-in-exit"})

    def test_cases_without_the_real_builds_line_data_run_for_every_mutant(self):
        ran = lambda passed, ending: SimpleNamespace(passed=passed, outcome=SimpleNamespace(ending=ending))
        case = lambda name: SimpleNamespace(id=name)
        verdicts = [(case("x/wrote-data"), ran(True, "exited")),
                    (case("x/fails-for-coverage"), ran(False, "exited")),
                    (case("x/links-no-runtime"), ran(True, "exited")),
                    (case("x/killed"), ran(True, "signal")),
                    (case("x/killed-after-writing"), ran(True, "signal"))]
        data = {"x/wrote-data": ["a.gcda"], "x/fails-for-coverage": ["a.gcda"], "x/links-no-runtime": [],
                "x/killed": [], "x/killed-after-writing": ["a.gcda"]}
        failed, unrecorded = mutants.without_line_data(verdicts, data)
        self.assertEqual(failed, {"x/fails-for-coverage"})
        self.assertEqual(unrecorded, {"x/fails-for-coverage", "x/killed"})


class BundledCopy(unittest.TestCase):
    """The copy's objects after mutants that build and that do not: always the unchanged ones again."""

    def member(self, runtime, name):
        return subprocess.run(["ar", "p", str(runtime.archive), name], capture_output=True, check=True).stdout

    def test_objects_are_put_back_after_each_mutant(self):
        with tempfile.TemporaryDirectory(prefix="mutants-copy-") as scratch:
            runtime = mutants.BundledRuntime(scratch)
            runtime.prepare()
            unchanged = self.member(runtime, "write.o")
            path = runtime.path("kelrt/write.cc")
            original = path.read_bytes()

            path.write_bytes(original.replace(b"'\\n'", b"'\\x0b'"))
            runtime.rebuild(["kelrt/write.cc"])
            self.assertNotEqual(self.member(runtime, "write.o"), unchanged)

            path.write_bytes(original + b"this does not compile\n")
            with self.assertRaises(mutants.NotBuilt):
                runtime.rebuild(["kelrt/write.cc"])

            path.write_bytes(original)
            runtime.rebuild([])
            self.assertEqual(self.member(runtime, "write.o"), unchanged)
            self.assertEqual(runtime.changed, set())


class Run(unittest.TestCase):
    """Real runs over argshow's cases with arguments, the one whose output cannot be written, and
    unwinding's, whose events the runtime built for coverage must deliver as the real build does;
    in a work directory of their own."""

    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory(prefix="mutants-run-")
        cls.dir = Path(cls.scratch.name)

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def run_mutants(self, *words, only=("argshow/*argument*",)):
        args = mutants.parse_args([*(w for p in only for w in ("--only", p)), "--work", str(self.dir / "work"),
                                   *words])
        lines = []
        report = mutants.run(args, lines.append)
        self.assertEqual(json.loads(Path(args.report).read_text()), report)
        return report, lines

    def result(self, report, place, change):
        found = [m for m in report["mutants"] if f"{m['file']}:{m['line']}" == place and m["change"] == change]
        self.assertEqual(len(found), 1, f"{place} {change} in {report['mutants']}")
        return found[0]

    def test_known_mutants_caught_surviving_and_hanging(self):
        report, lines = self.run_mutants("--at", "kelrt/write.cc:7", "--at", "kelrt/init.cc:60",
                                         "--at", "kelrt/stream.cc:37", "--at", "kelrt/stream.cc:84",
                                         "--at", "kelrt/stream.cc:105", "--at", "kelrt/zcheck.cc:6",
                                         only=("argshow/*argument*", "argshow/stdout-full",
                                               "argshow/reader-gone-*", "unwinding/handlers-innermost-first"))
        newline = self.result(report, "kelrt/write.cc:7", "'\\n' -> '\\x0b'")
        self.assertEqual((newline["result"], newline["how"]), ("caught", "FAIL"))
        # The vector has room for one more pointer than it holds: nothing reads it.
        roomier = self.result(report, "kelrt/init.cc:60", "3 -> 4")
        self.assertEqual(roomier["result"], "survived")
        self.assertIn("argshow/no-arguments", roomier["cases"])
        # An output loop that never ends on a size that cannot go below zero.
        hang = self.result(report, "kelrt/stream.cc:105", "> -> >=")
        self.assertEqual((hang["result"], hang["how"]), ("caught", "HANG"))
        self.assertLess(hang["seconds"], 3 * mutants.HANG_FLOOR * launcher_slowdown())
        # A run that ends in _exit has line data too: only it reaches the report of lost output,
        # and only the runs that can write reach the count of what was written.
        self.assertEqual(self.result(report, "kelrt/stream.cc:37", "0 -> 1")["cases"], ["argshow/stdout-full"])
        written = self.result(report, "kelrt/stream.cc:84", "+= -> -=")
        self.assertNotIn("argshow/stdout-full", written["cases"])
        self.assertIn("argshow/no-arguments", written["cases"])
        # So has a run that SIGPIPE ends: it dies in its first write, before the count.
        self.assertNotIn("argshow/reader-gone-after-64-bytes", written["cases"])

        figures = report["figures"]
        self.assertEqual(figures["tried"], len(report["mutants"]))
        self.assertEqual(figures["tried"], figures["caught"] + figures["survived"] + figures["not built"])
        # argshow divides by nothing: the divisor check is not executed, so not mutated.
        self.assertEqual(report["not executed"], {"kelrt/zcheck.cc:6": 2})
        self.assertEqual(figures["not executed"], 2)
        shown = "\n".join(mutants.summary_lines(report))
        self.assertIn(f"mutants: {figures['tried']} tried, {figures['caught']} caught", shown)
        self.assertRegex(shown, r"kelrt/init.cc:60  3 -> 4  executed by \d+ cases: argshow \d+, unwinding 1\n")
        self.assertFalse([line for line in lines if "fail with the runtime built for coverage" in line])
        self.assertIn("kelrt/zcheck.cc: 2 mutants in line 6", shown)
        self.assertTrue(any(line.startswith(f"[{figures['tried']}/{figures['tried']}] ") for line in lines))

    def test_foreign_runtime_with_its_own_command_and_expectation_set(self):
        source = self.dir / "theirs"
        shutil.copytree(build.ROOT / "kelrt", source / "kelrt")
        command = (f"g++ -m32 -msse2 -mfpmath=sse -fwrapv -O2 -std=c++20 $CXXFLAGS -I. -I{build.ROOT} "
                   "-c kelrt/*.cc && ar rcs libkel.a *.o")
        # Their set holds the case files' outputs but for one case not marked fixed, which then
        # fails unchanged and is left out.
        entries = {c.name: {"stdout": c.expected.stdout, "stderr": c.expected.stderr,
                            **({"signal": c.expected.signal} if c.expected.signal else {"status": c.expected.status})}
                   for c in casefiles.load_case_file(build.ROOT / "suite" / "cases" / "argshow.json")
                   if not c.fixed}
        entries["argument-of-300-characters-is-cut-to-255"]["stdout"] = "theirs\n"
        expect = self.dir / "expect"
        expect.mkdir()
        (expect / "argshow.json").write_text(json.dumps(entries))
        report, _ = self.run_mutants("--source", str(source), "--build", command, "--archive", "libkel.a", "-j", "1",
                                     "--expect", str(expect), "--at", "kelrt/write.cc:7")
        self.assertTrue(report["coverage"])
        self.assertEqual(report["left out"], ["argshow/argument-of-300-characters-is-cut-to-255 (FAIL)"])
        self.assertEqual({m["result"] for m in report["mutants"]}, {"caught"})
        self.assertEqual(report["figures"]["caught"], 2)
        # Only the copy is ever changed.
        self.assertEqual((source / "kelrt" / "write.cc").read_text(),
                         (build.ROOT / "kelrt" / "write.cc").read_text())

    def test_foreign_build_that_ignores_coverage_flags_mutates_every_line(self):
        source = self.dir / "plain"
        shutil.copytree(build.ROOT / "kelrt", source / "kelrt")
        command = (f"g++ -m32 -msse2 -mfpmath=sse -fwrapv -O2 -std=c++20 -I. -I{build.ROOT} "
                   "-c kelrt/*.cc && ar rcs libkel.a *.o")
        report, lines = self.run_mutants("--source", str(source), "--build", command, "--archive", "libkel.a",
                                         "-j", "1", "--at", "kelrt/zcheck.cc:6")
        self.assertFalse(report["coverage"])
        self.assertTrue(any("every line is mutated" in line for line in lines))
        # argshow divides by nothing, so a change to the divisor check goes unseen.
        self.assertEqual({m["result"] for m in report["mutants"]}, {"survived"})
        self.assertEqual(report["figures"]["not executed"], 0)


def launcher_slowdown():
    return launcher.SLOWDOWN if launcher.from_environment().emulated else 1


if __name__ == "__main__":
    unittest.main()
