"""Tests of ./regress mutants: the tokens it changes, known mutants caught, surviving and hanging, a maintainer's runtime in a tree of its own."""

import json
import os
import shutil
import subprocess
import tempfile
import textwrap
import unittest
from pathlib import Path
from types import SimpleNamespace
from unittest import mock

from suite import build, launcher, line_coverage, mutants, mutation, runtime_build, schemata, toolchain, trials
from suite import cases as casefiles
from support import ScratchClass

# The toolchain the build under test was made with, as the tool itself resolves it.
TOOLCHAIN = toolchain.resolve(toolchain.chosen_by_build())

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


SCHEMA_SAMPLE = textwrap.dedent("""\
    void g(int);
    int table[3] = {1, 2, 3};
    [[noreturn]] void stop(int);
    [[noreturn]] void fail(int n) { if (n > 1) g(n); stop(n + 1); }
    int f(int a, int b)
    {
        int buffer[4] = {0};
        int c = static_cast<int>(a < b);
        c += -b;
        if (a > 0 && b != 'x')
            g(c);
        else
            c -= 2;
        buffer[a & 3] = c - 2;
        return c + 7 - buffer[b & 3];
    }
    """)


class Schemata(unittest.TestCase):
    """A schema of a file holds each mutant it can: with the switch a constant, it compiles to the
    object of that mutant alone, and with none on, to the unchanged object."""

    def setUp(self):
        scratch = tempfile.TemporaryDirectory(prefix="schemata-test-")
        self.addCleanup(scratch.cleanup)
        self.dir = Path(scratch.name)
        self.source = self.dir / "sample.cc"
        self.text = SCHEMA_SAMPLE.encode()
        self.source.write_bytes(self.text)
        found, _ = mutation.find_mutants(self.dir, "sample.cc", [])
        self.layout = mutation.layout(self.dir, "sample.cc", [])
        self.numbered = [(i + 1, m) for i, m in enumerate(found)]
        self.found = found

    def compiled(self, content):
        """The compiler's errors, or None; and the object it made, or None."""
        self.source.write_bytes(content)
        made = self.dir / "sample.o"
        made.unlink(missing_ok=True)
        done = subprocess.run(["g++", "-m32", "-O2", "-std=c++20", "-c", str(self.source), "-o", str(made)],
                              capture_output=True, text=True)
        return (done.stderr if done.returncode else None), (made.read_bytes() if made.exists() else None)

    def test_each_mutant_it_holds_compiles_as_alone_and_none_as_unchanged(self):
        held = [(n, m) for n, m in self.numbered if schemata.switchable(m, self.layout, self.text)]
        self.assertEqual({(m.line, m.change) for _, m in self.numbered} - {(m.line, m.change) for _, m in held},
                         {(2, "1 -> 2"), (2, "1 -> 0"), (2, "2 -> 3"), (2, "2 -> 1"), (2, "3 -> 4"), (2, "3 -> 2"),
                          (4, "call deleted: g(n)"), (4, "call deleted: stop(n + 1)")})
        schema = schemata.FileSchema("sample.cc", self.text, self.layout, held)
        numbers = [n for n, _ in held]
        errors, _ = self.compiled(schema.contents(numbers)["sample.cc"])
        broken = schema.culprits(errors, numbers)
        # The array's length behind a switch would make it of variable length.
        self.assertEqual({schema.numbered[n].line for n in broken}, {7})
        numbers = [n for n in numbers if n not in broken]
        self.assertIsNone(self.compiled(schema.contents(numbers)["sample.cc"])[0])
        self.assertEqual(self.compiled(schema.unchanged(numbers)), self.compiled(self.text))
        for n in numbers:
            fixed = schemata.schema(self.text, schema.chosen(numbers), self.layout,
                                    f"enum {{ {schemata.VARIABLE} = {n} }};\n#line 1\n")
            self.assertEqual(len(fixed.splitlines()), len(self.text.splitlines()) + 2)
            self.assertEqual(self.compiled(fixed), self.compiled(schema.numbered[n].applied(self.text)),
                             schema.numbered[n].change)


class CasesForALine(unittest.TestCase):
    def test_a_case_that_left_no_line_data_runs_for_every_mutant(self):
        # A run that ends in _exit writes no coverage data: it may have executed any line.
        coverage = line_coverage.Coverage({("a.cc", 3): {"x/ran-line-3"}}, {("a.cc", 3), ("a.cc", 4)},
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
        failed, unrecorded = line_coverage.without_line_data(verdicts, data)
        self.assertEqual(failed, {"x/fails-for-coverage"})
        self.assertEqual(unrecorded, {"x/fails-for-coverage", "x/killed"})


class FailuresThatComeAgain(unittest.TestCase):
    """A change is caught by a case only when it fails there twice: a loaded machine can starve a
    run past its limit, and a terminal case can fail once by itself."""

    def judged(self, *words):
        runs = []

        def run_case(case, bin_dir, shown, starter, limit=None, variables=None):
            runs.append(limit)
            return SimpleNamespace(seconds=0.5, word=words[len(runs) - 1])

        judge = lambda case, outcome: SimpleNamespace(passed=outcome.word == "ok", word=outcome.word)
        judged = trials.Judged("bin", SimpleNamespace(judge=judge), None)
        with mock.patch.object(trials.execute, "run_case", run_case):
            caught = judged.caught(SimpleNamespace(id="x/case"), 1.0)
        return caught, judged.once, runs

    def test_only_a_failure_that_comes_again_catches(self):
        self.assertEqual(self.judged("ok"), (None, [], [1.0]))
        self.assertEqual(self.judged("FAIL", "ok"), (None, ["x/case (FAIL)"], [1.0, 1.0]))
        caught, once, runs = self.judged("HANG", "ok")
        self.assertEqual((caught, once, runs), (None, ["x/case (HANG)"], [1.0, trials.HANG_AGAIN]))
        caught, _, _ = self.judged("CRASH", "CRASH")
        self.assertEqual((caught["result"], caught["by"], caught["how"]), ("caught", "x/case", "CRASH"))

    def test_the_unchanged_runtime_may_fail_once_but_not_twice(self):
        words = iter(["FAIL", "ok", "FAIL", "FAIL"])

        def run_case(case, bin_dir, shown, starter, limit=None, variables=None):
            return SimpleNamespace(seconds=0.25, word=next(words))

        judge = lambda case, outcome: SimpleNamespace(passed=outcome.word == "ok", word=outcome.word,
                                                      outcome=outcome)
        expectations, slot = SimpleNamespace(judge=judge), SimpleNamespace(bin="bin")
        said = []
        with mock.patch.object(trials.execute, "run_case", run_case):
            times = trials.baseline(slot, [SimpleNamespace(id="x/flaky")], None, expectations, 1, str, said.append)
            self.assertEqual((times, said), ({"x/flaky": 0.25}, ["x/flaky failed once with the unchanged runtime "
                                                                 "(FAIL), then passed"]))
            with self.assertRaisesRegex(trials.SetupFailed, "1 case fail with the unchanged runtime"):
                trials.baseline(slot, [SimpleNamespace(id="x/failing")], None, expectations, 1, str, said.append)

    def test_nothing_is_counted_once_the_run_is_stopped(self):
        said = []
        scheduler = trials.Scheduler([SimpleNamespace(label="a mutant")], [], [], None, None, said.append, None, {})
        scheduler.stopping = True
        scheduler.finish(0, {"result": "caught", "by": "x/killed", "how": "CRASH"})
        self.assertEqual((scheduler.results, said), ([None], []))


class BundledCopy(unittest.TestCase):
    """The copy's objects after changes that build, that do not, that bring flags or a unit of their
    own: always the unchanged ones again."""

    def members(self, runtime):
        names = subprocess.run(["ar", "t", str(runtime.archive)], capture_output=True, text=True,
                               check=True).stdout.split()
        return {n: subprocess.run(["ar", "p", str(runtime.archive), n], capture_output=True, check=True).stdout
                for n in names}

    def test_objects_are_put_back_after_each_change(self):
        with tempfile.TemporaryDirectory(prefix="mutants-copy-") as scratch:
            runtime = runtime_build.BundledRuntime(scratch, runtime_build.compile_words(TOOLCHAIN))
            runtime.prepare()
            unchanged = self.members(runtime)
            path = runtime.path("kelrt/write.cc")
            original = path.read_bytes()

            path.write_bytes(original.replace(b"'\\n'", b"'\\x0b'"))
            runtime.rebuild(["kelrt/write.cc"])
            self.assertEqual({n for n, o in self.members(runtime).items() if o != unchanged[n]}, {"write.o"})

            path.write_bytes(original + b"this does not compile\n")
            with self.assertRaises(runtime_build.NotBuilt):
                runtime.rebuild(["kelrt/write.cc"])
            path.write_bytes(original)

            # Flags of its own recompile every object; a unit it adds is archived with them.
            added = runtime.path("kelrt/added.cc")
            added.write_text("int kel_added_by_a_change;\n")
            runtime.rebuild(["kelrt/added.cc"], runtime_build.adjusted(runtime.flags, ["-O1"], ["-O2"]))
            changed = self.members(runtime)
            self.assertIn("added.o", changed)
            self.assertTrue(all(changed[n] != unchanged[n] for n in ("format.o", "stream.o", "event.o")))
            added.unlink()

            runtime.rebuild([])
            self.assertEqual(self.members(runtime), unchanged)


class Run(ScratchClass):
    """Real runs over argshow's cases with arguments, the one whose output cannot be written, and
    unwinding's, whose events the runtime built for coverage must deliver as the real build does;
    in a work directory of their own."""

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

    @unittest.skipUnless(toolchain.links("cross"), "the i686 cross compiler does not link here")
    def test_the_cross_compiler_builds_every_copy_and_its_coverage(self):
        work = self.dir / "work-cross"
        report, _ = self.run_mutants("--at", "kelrt/write.cc:7", "--toolchain", "cross", "-j", "1", "--work", str(work))
        self.assertEqual(self.result(report, "kelrt/write.cc:7", "'\\n' -> '\\x0b'")["result"], "caught")
        self.assertIn("argshow/no-arguments", self.result(report, "kelrt/write.cc:7", "'\\n' -> '\\x0b'")["cases"])
        for tree in ("slot-0", "coverage"):
            self.assertRegex(build.compiler(work / tree / "tree"), r"^i686-linux-gnu-g\+\+ ", tree)

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
        self.assertLess(hang["seconds"], 3 * trials.HANG_FLOOR * launcher_slowdown())
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

    def test_shards_merge_into_the_report_of_one_run(self):
        lines = ("--at", "kelrt/write.cc:7", "--at", "kelrt/init.cc:60", "--at", "kelrt/zcheck.cc:6",
                 "--at", "kelrt/stream.cc:84")
        whole, _ = self.run_mutants(*lines, "--report", str(self.dir / "whole.json"))
        parts = [self.run_mutants(*lines, "--shard", f"{k}/2", "--report", str(self.dir / f"part{k}.json"))[0]
                 for k in (1, 2)]
        places = [{(m["file"], m["line"], m["change"]) for m in p["mutants"]} for p in parts]
        self.assertEqual(sum(map(len, places)), len(set().union(*places)), "the shards overlap")
        self.assertTrue(all(places), "a shard is empty")
        self.assertEqual(mutants.main(["--merge", *(str(self.dir / f"part{k}.json") for k in (2, 1)),
                                       "--report", str(self.dir / "merged.json")]), 0)
        merged = json.loads((self.dir / "merged.json").read_text())
        # Which case catches a mutant first, and when, follows the cases' times, which vary.
        timeless = lambda records: [{k: v for k, v in m.items() if k not in ("by", "how", "seconds")}
                                    for m in records]
        self.assertEqual(timeless(merged["mutants"]), timeless(whole["mutants"]))
        self.assertEqual({**merged["figures"], "seconds": 0}, {**whole["figures"], "seconds": 0})
        self.assertEqual(merged["not executed"], whole["not executed"])
        with self.assertRaisesRegex(mutants.MergeFailed, "shards 2/2, not 1/1"):
            mutants.merged(parts[1:])
        with self.assertRaisesRegex(mutants.MergeFailed, "differ in 'cases'"):
            mutants.merged([parts[0], {**parts[1], "cases": []}])

    def expectation_set(self, name, changed):
        """An expectation set of argshow's case-file outputs, with these entries changed."""
        entries = {c.name: {"stdout": c.expected.stdout, "stderr": c.expected.stderr,
                            **({"signal": c.expected.signal} if c.expected.signal else {"status": c.expected.status})}
                   for c in casefiles.load_case_file(build.ROOT / "suite" / "cases" / "argshow.json")
                   if not c.fixed}
        for case, entry in changed.items():
            entries[case].update(entry)
        expect = self.dir / name
        expect.mkdir(parents=True)
        (expect / "argshow.json").write_text(json.dumps(entries))
        return expect

    def test_a_case_failing_unchanged_stops_the_run_and_a_known_failure_is_left_out(self):
        cut = "argument-of-300-characters-is-cut-to-255"
        wrong = self.expectation_set("wrong", {cut: {"stdout": "theirs\n"}})
        with self.assertRaises(trials.SetupFailed) as stopped:
            self.run_mutants("--expect", str(wrong), "--at", "kelrt/write.cc:7")
        self.assertIn(f"1 case fail with the unchanged runtime, so no change can be judged by it: "
                      f"argshow/{cut} (FAIL)", str(stopped.exception))
        self.assertIn(f"--expect {wrong} --only argshow/{cut} -v", str(stopped.exception))
        known = self.expectation_set("known", {cut: {"stdout": "theirs\n", "xfail": "cut elsewhere"}})
        report, lines = self.run_mutants("--expect", str(known), "--at", "kelrt/write.cc:7")
        self.assertEqual(report["left out"], [f"argshow/{cut}"])
        self.assertIn(f"left out, as known failures in {known}: argshow/{cut}", lines)
        self.assertEqual(report["figures"]["caught"], 2)

    def test_a_build_that_ignores_coverage_flags_is_named_and_every_line_mutated(self):
        source = self.dir / "plain"
        shutil.copytree(build.ROOT / "kelrt", source / "kelrt")
        command = (f"g++ -m32 -msse2 -mfpmath=sse -fwrapv -O2 -std=c++20 -I. -I{build.ROOT} "
                   "-c kelrt/*.cc && ar rcs libkel.a *.o")
        report, lines = self.run_mutants("--source", str(source), "--build", command, "--archive", "libkel.a",
                                         "-j", "1", "--at", "kelrt/zcheck.cc:6")
        self.assertFalse(report["coverage"])
        said = [line for line in lines if line.startswith("coverage: ")]
        self.assertEqual(len(said), 1, lines)
        self.assertIn("compiled event.o, format.o, init.o ... without them: it does not pass CFLAGS or "
                      "CXXFLAGS to the compiler", said[0])
        self.assertIn("every line is mutated", said[0])
        # argshow divides by nothing, so a change to the divisor check goes unseen.
        self.assertEqual({m["result"] for m in report["mutants"]}, {"survived"})
        self.assertEqual(report["figures"]["not executed"], 0)


MAKEFILE = """\
CXXFLAGS ?= -O2
FLAGS = -m32 -msse2 -mfpmath=sse -fwrapv -std=c++20 -I. -I{root}
OBJECTS = $(patsubst kelrt/%.cc,obj/%.o,$(wildcard kelrt/*.cc))

libkel.a: $(OBJECTS)
\tar rcs $@ $^

obj/%.o: kelrt/%.cc kelrt/internal.h
\t@mkdir -p obj
\tg++ $(FLAGS) $(CXXFLAGS) -c $< -o $@
"""


class MaintainersTree(ScratchClass):
    """The bundled runtime as a maintainer keeps it: a tree of its own with a Makefile that reads
    CXXFLAGS, built there (objects and archive beside the sources), their copy of the runtime
    support header, and their expectation set inside it."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.tree = cls.dir / "theirs"
        shutil.copytree(build.ROOT / "kelrt", cls.tree / "kelrt")
        shutil.copytree(build.ROOT / "runtime", cls.tree / "runtime")
        (cls.tree / "Makefile").write_text(MAKEFILE.format(root=build.ROOT))
        subprocess.run(["make", "-s", "libkel.a"], cwd=cls.tree, check=True, capture_output=True)
        cls.expect = cls.tree / "expect"
        cls.expect.mkdir()
        entries = {c.name: {"stdout": c.expected.stdout, "stderr": c.expected.stderr,
                            **({"signal": c.expected.signal} if c.expected.signal else {"status": c.expected.status})}
                   for c in casefiles.load_case_file(build.ROOT / "suite" / "cases" / "argshow.json")
                   if not c.fixed}
        (cls.expect / "argshow.json").write_text(json.dumps(entries))

    def run_mutants(self, *words):
        args = mutants.parse_args(["--source", str(self.tree), "--build", "make libkel.a", "--archive", "libkel.a",
                                   "--expect", str(self.expect), "--only", "argshow/*argument*", "-j", "1",
                                   "--work", str(self.dir / "work"), *words])
        lines = []
        return mutants.run(args, lines.append), lines

    def test_the_same_command_twice_gives_the_same_answer_with_line_data(self):
        results = []
        for _ in range(2):
            report, lines = self.run_mutants("--at", "kelrt/write.cc:7", "--at", "kelrt/zcheck.cc:6")
            # Built from clean, the copy is compiled with the coverage flags.
            self.assertTrue(report["coverage"], lines)
            self.assertEqual(report["not executed"], {"kelrt/zcheck.cc:6": 2})
            results.append([(m["change"], m["result"]) for m in report["mutants"]])
        self.assertEqual(results[0], results[1])
        self.assertEqual({r for _, r in results[0]}, {"caught"})
        copied = self.dir / "work" / "slot-0" / "src"
        self.assertFalse((copied / "expect").exists())
        self.assertTrue((copied / "runtime" / "kel.h").exists())
        self.assertIn("the copies of", next(line for line in lines if "leave out" in line))
        # Only the copy is ever changed.
        self.assertEqual((self.tree / "kelrt" / "write.cc").read_text(),
                         (build.ROOT / "kelrt" / "write.cc").read_text())

    def test_what_is_copied_and_what_is_mutated(self):
        runtime = runtime_build.ForeignRuntime(self.dir / "look", self.tree, "make libkel.a", "libkel.a",
                                               excluded=["runtime/*"], leave_out=[self.expect])
        left = runtime.leave_out()
        self.assertIn("libkel.a", left)
        self.assertIn("obj", [str(Path(p).parent) for p in left])
        self.assertIn("expect", left)
        files = runtime.files()
        self.assertIn("kelrt/internal.h", files)
        self.assertFalse([f for f in files if f.startswith("runtime/")])


class ByContent(unittest.TestCase):
    """The programs are relinked exactly when the archive's content changes, whatever its time."""

    def test_an_older_archive_with_other_content_is_relinked(self):
        with tempfile.TemporaryDirectory(prefix="mutants-content-") as scratch:
            slot = runtime_build.Slot(
                runtime_build.BundledRuntime(Path(scratch) / "copy", runtime_build.compile_words(TOOLCHAIN)),
                Path(scratch) / "tree", launcher.from_environment().emulator, TOOLCHAIN)
            slot.prepare({"argshow"})
            program = slot.bin / "argshow"
            unchanged = program.read_bytes()
            path = slot.runtime.path("kelrt/write.cc")
            slot.build({"kelrt/write.cc": path.read_bytes().replace(b"'\\n'", b"'\\x0b'")}, {"argshow"})
            self.assertNotEqual(program.read_bytes(), unchanged)
            # The unchanged archive again, but with a time older than the programs (a restore, a
            # copy that kept its time): they are relinked all the same.
            slot.runtime.rebuild([])
            os.utime(slot.runtime.archive, (0, 0))
            slot.link({"argshow"})
            self.assertEqual(program.read_bytes(), unchanged)
            linked = program.stat().st_mtime_ns
            os.utime(slot.runtime.archive)
            slot.link({"argshow"})
            self.assertEqual(program.stat().st_mtime_ns, linked)


class WhyNoLineData(unittest.TestCase):
    def test_the_cause_is_told_from_what_the_build_made(self):
        runtime = lambda *made: SimpleNamespace(made=list(made), archive=Path("/t/libkel.a"), top=Path("/t"))
        self.assertIn("compiled nothing in the copy", line_coverage.no_notes(runtime()))
        self.assertIn("compiled nothing in the copy", line_coverage.no_notes(runtime("libkel.a")))
        self.assertIn("made no object files", line_coverage.no_notes(runtime("libkel.a", "stamp")))
        self.assertIn("compiled a.o without them", line_coverage.no_notes(runtime("a.o", "libkel.a")))


def launcher_slowdown():
    return launcher.SLOWDOWN if launcher.from_environment().emulated else 1


if __name__ == "__main__":
    unittest.main()
