"""The traced build, --explain and --coverage, against the bundled runtime and against copies of it
broken on purpose: each copy is built from kelrt's sources with one file patched."""

import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import unittest
from pathlib import Path

from suite import build, cases, launcher, runtime_check, toolchain, trace

ROOT = Path(__file__).resolve().parents[2]

# The plain build of the toolchain that the tests run with, unless CTest names the build.
BUILD = Path(os.environ.get("KEL_BUILD") or toolchain.build_dir(toolchain.resolve(toolchain.chosen_by_build())))
CXX = os.environ.get("CXX", "g++")
FLAGS = ["-m32", "-msse2", "-mfpmath=sse", "-fwrapv", "-O2", "-std=c++20"]
STARTER = launcher.from_environment()

# Each copy: kelrt file -> (text, replacement).
BROKEN_WRITE = {"write.cc": ("kel_int_layout(&l, value, places);\n    kel_put_layout",
                             "kel_int_layout(&l, value, places < 0 ? places - 1 : places);\n    kel_put_layout")}
BROKEN_READER = {"read.cc": ("    *value = v;\n}", "    *value = v > 5 ? v + 1 : v;\n}")}
# Also mangles the replay's markers as written with _kel_printstring.
BROKEN_PRINTSTRING = {"write.cc": ("reinterpret_cast<const char *>(s.b + 1), s.b[0]);",
                                   "reinterpret_cast<const char *>(s.b + 1), s.b[0] ? s.b[0] - 1 : 0);")}
BROKEN_RESOLVE = {"text.cc": ("(!left && at != 0)", "(!left && at == 0)")}
# BROKEN_WRITE's layout kept, and a regression in another call: the bare number (places 0) in
# a field of two columns.
WRITE_AND_BARE = {**BROKEN_WRITE, "format.cc": (
    "long long width = places > 0 ? places + 1LL : -static_cast<long long>(places);",
    "long long width = places > 0 ? places + 1LL : places == 0 ? 2 : -static_cast<long long>(places);")}
# Not broken, but calling itself across its members, and from inside a call that an event leaves.
SELF_CALLING = {
    "write.cc": ("void _kel_writeint(int value, int places) { _kel_write(value, places); }", ""),
    "zcheck.cc": ("#include \"kelrt/internal.h\"\n",
                  "#include \"kelrt/internal.h\"\n\n"
                  "void _kel_writeint(int value, int places) { _kel_write(value, places); }\n"),
    "read.cc": ("int _kel_nextsymbol(void) { return kel_peek(kel_input()); }",
                "int _kel_nextsymbol(void)\n{\n    check_instream(\"_kel_nextsymbol\");\n"
                "    return kel_peek(kel_input());\n}"),
}


def archive(name, patches):
    """BUILD/broken-runtimes/NAME/libkel.a: kelrt with the patches applied, at a path that stays
    the same, so that the runner's builds against it are brought up to date, not made anew. It is
    remade only when a source has changed."""
    where = BUILD / "broken-runtimes" / name
    (where / "kelrt").mkdir(parents=True, exist_ok=True)
    for source in sorted((ROOT / "kelrt").glob("*.[ch]*")):
        text = source.read_text()
        old, new = patches.get(source.name, ("", ""))
        assert old in text, f"{source.name} no longer holds the text to patch"
        copy, wanted = where / "kelrt" / source.name, text.replace(old, new) if old else text
        if not copy.exists() or copy.read_text() != wanted:
            copy.write_text(wanted)
    headers = [where / "kelrt" / "internal.h", *(ROOT / "runtime").glob("*.h")]
    objects = [where / f"{source.stem}.o" for source in sorted((where / "kelrt").glob("*.cc"))]
    lib = where / "libkel.a"
    for obj in objects:
        source = where / "kelrt" / f"{obj.stem}.cc"
        if not obj.exists() or obj.stat().st_mtime < max(p.stat().st_mtime for p in [source, *headers]):
            subprocess.run([CXX, *FLAGS, f"-I{where}", f"-I{ROOT}", "-c", "-o", str(obj), str(source)],
                           check=True)
            lib.unlink(missing_ok=True)
    if not lib.exists():
        subprocess.run(["ar", "rcs", str(lib), *map(str, objects)], check=True)
    assert runtime_check.check_archive(lib) == []
    return lib


def regress(*args):
    done = subprocess.run([sys.executable, "-m", "suite.regress", "--build", str(BUILD),
                           "-q", "-j", "2", "--emulator", STARTER.setting, *args],
                          capture_output=True, text=True, cwd=ROOT, env=dict(os.environ, NO_COLOR="1"))
    return done.returncode, done.stdout, done.stderr


def unwinding_cases(explanation):
    """unwinding's cases as a broken write breaks them: the same call, with output to a pipe and on
    a terminal."""
    return {"unwinding/handlers-innermost-first": explanation,
            "unwinding/handlers-innermost-first-on-a-terminal": explanation}


def explanations(report):
    """Failed case -> the first line of its explanation."""
    found = re.findall(r"^FAIL (\S+) .*?\n  explanation: [^\n]*\n    ([^\n]*)", report, re.M | re.S)
    return dict(found)


def the_case(case_id):
    return next(c for c in cases.load_cases(ROOT / "suite" / "cases") if c.id == case_id)


class BrokenRuntimesAreExplained(unittest.TestCase):
    def explained(self, lib, *only):
        status, out, err = regress("--runtime", str(lib), "--explain", *[w for o in only for w in ("--only", o)])
        self.assertEqual(status, 1, out + err)
        found = explanations(out)
        self.assertEqual(len(found), int(re.search(r"(\d+) failed\b[^\n]*$", out.strip()).group(1)), out)
        self.assertIn("--explain --only", out)  # the rerun line carries the option
        return found

    def test_a_write_with_another_layout_for_negative_places(self):
        found = self.explained(archive("write", BROKEN_WRITE), "unwinding/", "argshow/no-arguments")
        # The program calls _kel_writeint, which this runtime builds on its _kel_write.
        self.assertEqual(found, unwinding_cases('call 16 of 37: _kel_writeint(7, -1): bundled "7", yours " 7"'))

    def test_a_string_write_that_drops_the_last_character(self):
        found = self.explained(archive("printstring", BROKEN_PRINTSTRING), "unwinding/", "argshow/no-arguments")
        self.assertEqual(set(found), {*unwinding_cases(""), "argshow/no-arguments"})
        for case_id, line in found.items():
            with self.subTest(case=case_id):
                texts = re.fullmatch(r'call \d+ of \d+: _kel_printstring\("(.+)"\): bundled "(.+)", '
                                     r'yours "(.*)"', line)
                self.assertTrue(texts, line)
                self.assertEqual((texts[2], texts[3]), (texts[1], texts[1][:-1]))

    def test_a_reader_that_reads_another_number(self):
        found = self.explained(archive("reader", BROKEN_READER), "evalix/precedence-and-associativity",
                               "evalix/variables-and-assignment", "argshow/no-arguments")
        self.assertTrue(found)
        for case_id, line in found.items():
            with self.subTest(case=case_id):
                read = re.fullmatch(r"call \d+ of \d+(?: \(yours: \d+\))?: _kel_readfloat\(ptr\): "
                                    r"bundled (\d+), yours (\d+)", line)
                self.assertTrue(read, line)
                self.assertEqual(int(read[2]), int(read[1]) + 1)

    def test_a_resolution_that_fails_where_it_should_match(self):
        found = self.explained(archive("resolve", BROKEN_RESOLVE), "splitcheck/")
        # The plain program and its observed build make the same calls up to the wrong match.
        wrong_match = ('call 6 of 7 (yours: 13): _kel_resolve("A string with xxx in the middle", '
                       'null, "xxx", ptr): bundled 0, yours 1, null, " in the middle"')
        self.assertEqual(found, {"splitcheck/omitted-left-fails-at-line-14": wrong_match,
                                 "splitcheck/observed-parts": wrong_match})

    def test_another_archive_can_stand_in_for_the_bundled_one(self):
        status, out, err = regress("--runtime", str(archive("write", BROKEN_WRITE)), "--explain",
                                   "--against", str(archive("resolve", BROKEN_RESOLVE)), "--only", "unwinding/")
        self.assertEqual(status, 1, out + err)
        self.assertIn("--against", out.split("rerun:")[1].splitlines()[0])
        self.assertEqual(explanations(out), unwinding_cases('call 16 of 37: _kel_writeint(7, -1): reference "7", yours " 7"'))

    def test_an_expectation_set_is_explained_against_the_runtime_that_recorded_it(self):
        # A port blesses its own layout for negative places, then regresses in another call.
        blessed, regressed = archive("write", BROKEN_WRITE), archive("write-and-bare", WRITE_AND_BARE)
        expect = BUILD / "expectation-sets" / "write"
        shutil.rmtree(expect, ignore_errors=True)
        expect.parent.mkdir(exist_ok=True)
        status, out, err = regress("--runtime", str(blessed), "--bless", str(expect), "--only", "unwinding/")
        self.assertEqual(status, 0, out + err)
        kept = expect / "runtime" / "libkel.a"
        self.assertEqual(kept.read_bytes(), blessed.read_bytes())
        self.assertEqual(json.loads((expect / "runtime" / "runtime.json").read_text()),
                         {"sha256": hashlib.sha256(blessed.read_bytes()).hexdigest(), "origin": str(blessed)})

        def explained():
            status, out, err = regress("--runtime", str(regressed), "--expect", str(expect), "--explain",
                                       "--only", "unwinding/")
            self.assertEqual(status, 1, out + err)
            return explanations(out), out

        found, out = explained()
        self.assertEqual(found, unwinding_cases('call 19 of 37: _kel_writeint(7, 0): blessed "7", yours " 7"'))
        self.assertIn(f"(compared with the runtime that recorded {expect}: its copy of {blessed}, sha256 ", out)
        # Where the copy is damaged, or the set is older than the copies, the bundled runtime
        # stands in, and the explanation says so.
        wrong = unwinding_cases('call 16 of 37: _kel_writeint(7, -1): bundled "7", yours " 7"')
        kept.write_bytes(regressed.read_bytes())
        found, out = explained()
        self.assertEqual(found, wrong)
        self.assertRegex(out, r"\(compared with the bundled runtime, not with the one that recorded .*: its copy "
                              r".*libkel\.a has sha256 \w+, not the \w+ recorded when it was blessed\)")
        shutil.rmtree(expect / "runtime")
        found, out = explained()
        self.assertEqual(found, wrong)
        self.assertIn("it has no runtime/runtime.json (it was blessed before sets kept their runtime))", out)

    def test_the_explanation_is_the_same_under_the_emulator(self):
        lib = archive("write", BROKEN_WRITE)
        reports = [regress("--runtime", str(lib), "--explain", "--emulator", emulator,
                           "--only", "unwinding/")[1] for emulator in (STARTER.setting, "qemu-i386")]
        self.assertEqual(*(explanations(r) for r in reports))
        self.assertIn("--emulator qemu-i386", reports[1])


class TheRecord(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        trace.build_traced(BUILD, None, ["evalix", "unwinding"], True, STARTER.emulator)
        cls.bin = build.traced_build_dir(BUILD, None) / "bin"

    def test_it_leaves_what_the_case_compares_alone(self):
        case = the_case("evalix/operand-errors")
        outcome, calls = trace.run_traced(case, self.bin, STARTER)
        self.assertEqual((outcome.stdout, outcome.stderr, outcome.status),
                         (case.expected.stdout, case.expected.stderr, case.expected.status))
        self.assertEqual((calls[0].name, calls[0].values), ("_kel_initialise", ("i1", "t" + b"evalix".hex())))
        self.assertEqual((calls[1].name, calls[1].args[1:]), ("_kel_on_event_enter", ("i9", "i15")))
        signals = [c for c in calls if c.name == "_signal_event"]
        self.assertTrue(signals)
        self.assertTrue(all(c.ending == "!" and c.values == ("i15", "i0", "i0") for c in signals))
        self.assertEqual((calls[-1].ending, calls[-1].values), ("!", ("i9", "i0", "i0")))

    def test_the_runtimes_calls_to_itself_are_not_recorded(self):
        lib = archive("self-calling", SELF_CALLING)
        trace.build_traced(BUILD, lib, ["evalix", "unwinding"], True, STARTER.emulator)
        theirs = build.traced_build_dir(BUILD, lib) / "bin"
        for case_id in ("evalix/precedence-and-associativity", "unwinding/handlers-innermost-first"):
            with self.subTest(case=case_id):
                runs = [trace.run_traced(the_case(case_id), b, STARTER) for b in (self.bin, theirs)]
                self.assertTrue(runs[0][1])
                self.assertEqual(runs[0][1], runs[1][1])

    def test_the_programs_of_the_normal_build_carry_nothing_of_it(self):
        def defined(path):
            listing = subprocess.run(["nm", "--defined-only", str(path)], capture_output=True, text=True,
                                     check=True).stdout
            return {line.split()[-1] for line in listing.splitlines() if len(line.split()) >= 3}

        # Less the compiler's helpers, which every position-independent i386 object carries, and
        # the wrappers' names, which a test driver's own stand-in for an entry point may bear
        # (splitcheck-scripted's resolution, numblend-checked's divisor check): the recorder is
        # known by the rest.
        recorder = {s for s in defined(self.bin.parent / "lib" / "libkel_trace.a")
                    if not s.startswith(("__x86.get_pc_thunk", "__wrap_"))}
        self.assertIn("kel_trace_arming", defined(self.bin / "evalix"))
        programs = [p for p in (BUILD / "bin").iterdir() if launcher.is_i386_program(p)]
        self.assertGreater(len(programs), 20)
        for program in programs:
            with self.subTest(program=program.name):
                self.assertEqual(defined(program) & recorder, set())


class Coverage(unittest.TestCase):
    def test_every_entry_point_is_listed_with_its_counts_and_the_file_matches(self):
        status, out, err = regress("--coverage", "--only", "unwinding/handlers-innermost-first", "--only", "splitcheck/omitted")
        self.assertEqual(status, 0, out + err)
        entry_points = json.loads(runtime_check.ABI_FILE.read_text())["entry_points"]
        rows = {line.split()[0]: line.split()[1:] for line in out.splitlines()
                if line.split() and line.split()[0] in entry_points}
        self.assertEqual(sorted(rows), sorted(entry_points))
        self.assertEqual(rows["_kel_newlines"], [".", "4", "4"])
        self.assertEqual(rows["_kel_resolve"], ["3", ".", "3"])
        self.assertEqual(rows["_kel_readint"], [".", ".", "0", "NOT", "REACHED"])
        # An event that no frame traps ends the run inside the call that signals it.
        self.assertIn("_signal_event: event 15 (5), event 7 (2), left by the event (5), signals event 15 (5), "
                      "signals event 7 (2), the run ends in it (2)\n  NOT REACHED: signals event 4, "
                      "signals event 5: no case reaches it (argshow, evalix, piseries, splitcheck, unwinding "
                      "could)\n", out)
        self.assertIn("_kel_writeint: places 0 (4), places < 0 (4), value > 0 (8)\n"
                      "  NOT REACHED: value INT_MIN, value < 0, value 0: no case reaches it (evalix could)\n"
                      "  NOT REACHED: places 1, places 2 to 100, places > 100: no deliverable can pass it "
                      "(evalix writes with places 0; unwinding writes with places -1 and 0)\n", out)
        self.assertIn((BUILD / "coverage.txt").read_text(), out)


if __name__ == "__main__":
    unittest.main()
