"""./regress perf: how it reads callgrind's counts and judges two sets of figures, how workloads are
made, and short runs against copies of the bundled runtime made slower on purpose."""

import json
import os
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

from suite import callgrind, perf_verdict, performance, workloads
from tests.tracing.test_tracing import BUILD, ROOT, STARTER, archive

# A profile as callgrind writes it under callgrind.OPTIONS: the program's main calls _kel_write from
# two places and _kel_writeint once, which calls _kel_write itself; the costs are Ir and sysCount.
PROFILE = """\
events: Ir sysCount sysTime
summary: 5000 7 3

fn=main
0 100
cfn=_kel_write
calls=2 0
0 600 1
cfn=_kel_writeint
calls=1 0
0 450 2 1
cfn=_kel_write
calls=3 0
0 900

fn=_kel_writeint
0 50
cfn=_kel_write
calls=1 0
0 400 2
"""

VALGRIND_LOG = """\
==1== Callgrind, a call-graph generating cache profiler
SYSCALL[1,1](45) sys_brk ( 0x0 ) --> [pre-success] Success(0x4035000)
SYSCALL[1,1](4) sys_write ( 1, 0x1111d0, 2 ) --> [async] ...
SYSCALL[1,1](4) ... [async] --> Success(0x2)
SYSCALL[1,1](4) sys_write ( 1, 0x1111d0, 9 ) --> [async] ...
SYSCALL[1,1](4) ... [async] --> Success(0x9)
SYSCALL[1,1](252) exit_group( 0 ) --> [pre-success] Success(0x0)
"""

QEMU_LOG = """\
31624 brk(NULL) = 0x401e8000
31624 write(1,0x400091d0,2) = 2
31624 write(1,0x400091d0,9) = 9
31624 exit_group(0)
"""


def figures(instructions=1000, calls=None, entry_points=None, seconds=None, status=0):
    found = {"status": status, "output": "x", "bytes written": 10, "system calls": calls or {"write": 1},
             "instructions": instructions, "entry points": entry_points or {}}
    if seconds:
        found["seconds"] = seconds
    return found


def judged(old, new, threshold=2.0):
    return [(c.entry_point, c.figure, c.regression) for c in perf_verdict.changes({"w": old}, {"w": new}, threshold)]


class Counts(unittest.TestCase):
    def test_calls_into_the_runtime_are_those_from_outside_it_at_every_call_site(self):
        profile = callgrind.read_profile(PROFILE)
        self.assertEqual(profile.totals, {"Ir": 5000, "sysCount": 7, "sysTime": 3})
        entered = profile.entered({"_kel_write", "_kel_writeint"}, {"_kel_write", "_kel_writeint"})
        # _kel_writeint's own call to _kel_write is inside its 450 instructions, not a call of the program's.
        self.assertEqual(entered, {"_kel_write": (5, {"Ir": 1500, "sysCount": 1}),
                                   "_kel_writeint": (1, {"Ir": 450, "sysCount": 2, "sysTime": 1})})

    def test_system_calls_are_counted_once_each_by_name(self):
        expected = {"brk": 1, "write": 2, "exit_group": 1}
        self.assertEqual(callgrind.system_calls(VALGRIND_LOG), expected)
        self.assertEqual(callgrind.system_calls(QEMU_LOG, callgrind.EMULATOR_SYSCALL), expected)


class Judging(unittest.TestCase):
    def test_instructions_regress_past_the_threshold_and_improve_past_it(self):
        self.assertEqual(judged(figures(1000), figures(1020)), [])
        self.assertEqual(judged(figures(1000), figures(1021)), [("", "instructions", True)])
        self.assertEqual(judged(figures(1000), figures(979)), [("", "instructions", False)])
        self.assertEqual(judged(figures(1000), figures(1100), threshold=10), [])

    def test_any_system_call_more_regresses_and_names_the_call(self):
        [change] = perf_verdict.changes({"w": figures(calls={"write": 2, "read": 3})},
                                       {"w": figures(calls={"write": 3, "read": 3})})
        self.assertEqual((change.figure, change.regression, change.detail), ("system calls", True, "write 2 -> 3"))
        self.assertEqual(judged(figures(calls={"write": 2}), figures(calls={"read": 1})),
                         [("", "system calls", False)])

    def test_an_entry_point_is_judged_per_call(self):
        def entry(calls, instructions, syscalls=0):
            return {"_kel_write": {"calls": calls, "instructions": instructions, "system calls": syscalls}}
        # Twice the calls at the same cost each is the program's doing, not the runtime's.
        self.assertEqual(judged(figures(entry_points=entry(10, 3800)), figures(entry_points=entry(20, 7600))), [])
        self.assertEqual(judged(figures(entry_points=entry(10, 3800)), figures(entry_points=entry(10, 11300))),
                         [("_kel_write", "instructions per call", True)])
        self.assertEqual(judged(figures(entry_points=entry(10, 3800)), figures(entry_points=entry(10, 3800, 10))),
                         [("_kel_write", "system calls per call", True)])

    def test_a_time_counts_only_beyond_its_noise(self):
        old = [1.0, 1.1, 1.2]
        self.assertEqual(judged(figures(seconds=old), figures(seconds=[1.15, 1.3, 1.4])), [])  # ranges overlap
        self.assertEqual(judged(figures(seconds=old), figures(seconds=[1.21, 1.22, 1.23]), threshold=20), [])
        self.assertEqual(judged(figures(seconds=old), figures(seconds=[1.3, 1.4, 1.5])), [("", "seconds", True)])

    def test_outputs_that_differ_are_told_apart(self):
        self.assertTrue(perf_verdict.outputs_differ(figures(), figures(status=1)))
        self.assertFalse(perf_verdict.outputs_differ(figures(), figures(2000)))


class Workloads(unittest.TestCase):
    def make(self, **entry):
        return workloads.generated("here", {"deliverable": "evalix", "name": "w", **entry})

    def test_fields_keep_to_their_ranges_and_a_seed_gives_the_same_lines(self):
        form = {"lines": ["{int -3 3} {real -2 2} {letters 2 4} {choice x y}"], "count": 400, "seed": 5}
        made = self.make(stdin=form)
        self.assertEqual(made.stdin, self.make(stdin=form).stdin)
        lines = made.stdin.splitlines()
        self.assertEqual(len(lines), 400)
        for line in lines:
            whole, real, letters, choice = line.split()
            self.assertTrue(-3 <= int(whole) <= 3, line)
            self.assertTrue(1e-2 <= abs(float(real)) < 1e3, line)
            self.assertTrue(2 <= len(letters) <= 4 and letters.isalpha(), line)
            self.assertIn(choice, ("x", "y"))
        # Every value of a field turns up, not one fixed by the seed.
        self.assertEqual({line.split()[0] for line in lines}, {str(i) for i in range(-3, 4)})

    def test_a_workload_is_known_by_its_inputs(self):
        form = {"lines": ["{expression}"], "count": 50, "seed": 1}
        self.assertNotEqual(self.make(stdin=form).digest, self.make(stdin=dict(form, count=51)).digest)
        self.assertNotEqual(self.make(stdin=form).digest, self.make(stdin=dict(form, seed=2)).digest)
        repeated = self.make(args={"text": "ab", "repeat": 3}, files={"rounds.txt": {"text": "7\n"}})
        self.assertEqual((repeated.args, repeated.files), (("ab", "ab", "ab"), (("rounds.txt", "7\n"),)))

    def test_a_wrong_spec_is_refused_with_its_place(self):
        for stdin in [{"lines": ["{nosuch 1 2}"], "count": 1, "seed": 1},
                      {"lines": ["{int 1}"], "count": 1, "seed": 1},
                      {"lines": ["{int a b}"], "count": 1, "seed": 1},
                      {"lines": ["x"], "count": 0, "seed": 1},
                      {"lines": ["x"], "count": 1},
                      {"text": "x", "repeat": 0}]:
            with self.subTest(stdin=stdin), self.assertRaisesRegex(workloads.WorkloadError, "^here: stdin"):
                self.make(stdin=stdin)

    def test_the_suites_workloads_and_cases_load_each_once(self):
        every, left_out = workloads.load()
        ids = [w.id for w in every]
        self.assertEqual(len(ids), len(set(ids)))
        self.assertEqual(left_out["evalix/terminal-prompt-echo-and-answers"], "its streams are not files")
        self.assertNotIn("evalix/terminal-prompt-echo-and-answers", ids)
        self.assertIn("evalix/precedence-and-associativity", ids)


def unbuffered_patch():
    """kelrt writing every put out at once, as an unbuffered port does: kelrt file -> (text, replacement)."""
    text = (ROOT / "kelrt" / "stream.cc").read_text()
    start = text.index("    if (f->tty && line_end)")
    end = text.index("    if (f->tty && c == '\\n')", start) + len("    if (f->tty && c == '\\n')")
    old = text[start:end]
    return {"stream.cc": (old, old.replace("f->tty && line_end", "true").replace("f->tty && c == '\\n'", "true")),
            "internal.h": ("if (f->tty && c == '\\n')", "if (true)")}


def unbuffered():
    return archive("unbuffered", unbuffered_patch())


def dearer_printstring():
    """kelrt whose _kel_printstring, and nothing else, costs a few hundred instructions more a call."""
    return archive("dearer-printstring", {"write.cc": (
        "void _kel_printstring(kel_string s) { kel_put(",
        "void _kel_printstring(kel_string s)\n{\n    for (int i = 0; i < 50; i++)\n        __asm__ volatile(\"\");\n    kel_put(")})


# A few workloads that run in seconds: a generated one, and cases that write through every kind of put.
ONLY = ["argshow/many-arguments", "argshow/several-arguments", "evalix/precedence-and-associativity"]
# Under the emulator only the system calls are exact: a threshold no time can pass keeps the noise out.
EXACT = ["--threshold", "100000"] if STARTER.emulated else []


def perf(runtime, *options, emulator=STARTER.setting):
    """Runs ./regress perf; returns its exit status, its output and what it wrote with --json."""
    with tempfile.TemporaryDirectory(prefix="perf-test-") as scratch:
        report = Path(scratch) / "perf.json"
        done = subprocess.run([sys.executable, "-m", "suite.perf", "--runtime", str(runtime), "--build", str(BUILD),
                               "--emulator", emulator, "-j", "2", "--json", str(report),
                               *[w for o in ONLY for w in ("--only", o)], *EXACT, *options],
                              capture_output=True, text=True, cwd=ROOT, env=dict(os.environ, NO_COLOR="1"))
        return done.returncode, done.stdout + done.stderr, json.loads(report.read_text()) if report.exists() else None


def regressed(report):
    return {(c["entry_point"], c["figure"]) for c in report["regressions"]}


class Verdicts(unittest.TestCase):
    counted = not STARTER.emulated

    def test_an_unbuffered_runtime_regresses_by_its_system_calls(self):
        status, out, report = perf(unbuffered())
        self.assertEqual(status, 1, out)
        [total] = [c for c in report["regressions"] if c["figure"] == "system calls"
                   and c["workload"] == "argshow/many-arguments"]
        self.assertRegex(total["detail"], r"^write 1 -> \d+,\d{3}$")
        self.assertRegex(out, r"argshow/many-arguments: [\d,]+ system calls, was \d+ \(\+\d+%\): write 1 -> ")
        if self.counted:
            # Each put writes: the entry points that put are named, and the readers are not.
            self.assertTrue({("_kel_printstring", "system calls per call"), ("_kel_newline", "system calls per call"),
                             ("_kel_write", "system calls per call")} <= regressed(report), out)
            self.assertNotIn("_kel_readfloat", {entry for entry, _ in regressed(report)})

    @unittest.skipIf(STARTER.emulated, "callgrind cannot run under the emulator: no entry point is counted there")
    def test_an_entry_point_that_costs_more_is_named_and_no_other(self):
        status, out, report = perf(dearer_printstring())
        self.assertEqual(status, 1, out)
        self.assertEqual({entry for entry, _ in regressed(report)}, {"", "_kel_printstring"}, out)
        self.assertRegex(out, r"_kel_printstring: [\d,]+ instructions per call, was [\d,]+ \(\+\d+%\), in argshow/")

    def test_the_same_runtime_and_a_rebuilt_copy_give_the_same_figures(self):
        for runtime in (BUILD / "lib" / "libkel.a", archive("rebuilt", {})):
            with self.subTest(runtime=runtime):
                status, out, report = perf(runtime)
                self.assertEqual(status, 0, out)
                self.assertEqual((report["regressions"], report["improvements"]), ([], []))
                for workload, sides in report["workloads"].items():
                    exact = lambda figures: {k: v for k, v in figures.items() if k != "seconds"}
                    self.assertEqual(exact(sides["old"]), exact(sides["new"]), workload)
        self.assertIn("0 of 3 workloads regressed, 0 improved", out)

    def test_a_baseline_stands_for_the_old_runtime(self):
        with tempfile.TemporaryDirectory(prefix="perf-test-") as scratch:
            saved = Path(scratch) / "bundled.json"
            status, out, _ = perf(BUILD / "lib" / "libkel.a", "--save-baseline", str(saved))
            self.assertEqual(status, 0, out)
            status, out, report = perf(unbuffered(), "--baseline", str(saved))
            self.assertEqual(status, 1, out)
            self.assertIn(("", "system calls"), regressed(report))
            # A workload whose inputs have changed since is not compared with its old figures.
            kept = json.loads(saved.read_text())
            kept["workloads"]["argshow/many-arguments"]["inputs"] = "0" * 64
            saved.write_text(json.dumps(kept))
            status, out, report = perf(unbuffered(), "--baseline", str(saved))
            self.assertIn("not compared: argshow/many-arguments: its inputs have changed since the baseline was saved",
                          out)
            self.assertNotIn("argshow/many-arguments", {c["workload"] for c in report["regressions"]})
            if self.counted:
                # Counts under callgrind and times under the emulator do not compare.
                status, out, _ = perf(unbuffered(), "--baseline", str(saved), "--no-build", emulator="qemu-i386")
                self.assertEqual(status, 2, out)
                self.assertIn("the figures do not compare", out)

    def test_under_the_emulator_times_are_called_noisy_and_system_calls_still_count(self):
        lib = unbuffered()
        if self.counted:
            perf(lib)  # builds the programs for this machine, as they are
        # A threshold no time can pass: what regresses is what the emulator's trace counts.
        status, out, report = perf(lib, "--no-build", "--threshold", "100000", "--repeat", "2", emulator="qemu-i386")
        self.assertEqual(status, 1, out)
        self.assertIn("NOISY", out)
        self.assertEqual(regressed(report), {("", "system calls")})
        self.assertEqual(len(report["workloads"]["argshow/many-arguments"]["new"]["seconds"]), 2)


if __name__ == "__main__":
    unittest.main()
