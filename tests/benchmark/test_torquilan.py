#!/usr/bin/env python3
"""Tests that the built benchmark does all of its measured work, and fails cleanly without memory."""
import collections
import os
import re
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

from suite import launcher
from suite.bench import callgrind_profile


LAUNCHER = launcher.from_environment()

TORQUILAN = os.environ.get("TORQUILAN", "build/bin/torquilan")
TORQUILAN_SHORT = os.environ.get("TORQUILAN_SHORT", "build/tests/torquilan_short")
TORQUILAN_TICKS_BUILD = os.environ.get("TORQUILAN_TICKS_BUILD", "build/tests/torquilan_ticks")

ROUTINES = {f"Proc_{n}" for n in range(1, 9)} | {f"Func_{n}" for n in range(1, 4)}

# Calls per run along each edge between main and the routines, as the workload defines them:
# the character loop tries 'A' and 'B' against 'C', and the branch that calls Proc_6 from
# main never matches.
CALLS_PER_RUN = {
    ("main", "Proc_5"): 1, ("main", "Proc_4"): 1, ("main", "Func_2"): 1, ("main", "Proc_7"): 1,
    ("main", "Proc_8"): 1, ("main", "Proc_1"): 1, ("main", "Func_1"): 2, ("main", "Proc_2"): 1,
    ("Func_2", "Func_1"): 1,
    ("Proc_1", "Proc_3"): 1, ("Proc_1", "Proc_6"): 1, ("Proc_1", "Proc_7"): 1,
    ("Proc_3", "Proc_7"): 1,
    ("Proc_6", "Func_3"): 1,
}


def tool_output(*command):
    return subprocess.run(command, capture_output=True, text=True, check=True).stdout


def static_calls(program):
    """(function, callee) pairs of the direct calls in the program's code."""
    calls = set()
    function = None
    for line in tool_output("objdump", "-dC", "--no-show-raw-insn", program).splitlines():
        start = re.match(r"^[0-9a-f]+ <([^>(]+)", line)
        if start:
            function = start.group(1)
        target = re.search(r"\bcall\s+[0-9a-f]+ <([^>(+]+)", line)
        if target:
            calls.add((function, target.group(1)))
    return calls


class Build(unittest.TestCase):
    """The deliverable as built: an i386 program whose routines are real functions, neither inlined nor cloned."""

    def test_is_a_32_bit_x86_program(self):
        self.assertIn("file format elf32-i386", tool_output("objdump", "-f", TORQUILAN))

    def test_each_routine_is_one_function_without_clones(self):
        names = collections.Counter()
        for line in tool_output("nm", "-C", "--defined-only", TORQUILAN).splitlines():
            kind, name = line.split(maxsplit=2)[1:]
            routine = re.match(r"(Proc_\d|Func_\d)\b", name)
            if routine:
                self.assertIn(kind, "tT", line)
                self.assertNotRegex(name, r"\.(constprop|isra|part|cold)", "a cloned copy")
                names[routine.group(1)] += 1
        self.assertEqual(set(names), ROUTINES)
        self.assertEqual(set(names.values()), {1})

    def test_routines_are_called_where_the_workload_calls_them(self):
        calls = static_calls(TORQUILAN)
        wanted = list(CALLS_PER_RUN) + [("Func_2", "strcmp@plt")]
        self.assertEqual([edge for edge in wanted if edge not in calls], [], "calls missing")


class Profile(unittest.TestCase):
    """What the short build really executes: every call of every run."""

    @unittest.skipIf(shutil.which("valgrind") is None, "valgrind is not installed")
    @unittest.skipIf(LAUNCHER.emulated, LAUNCHER.cannot_run("callgrind"))
    def test_every_run_makes_every_call(self):
        output, _, calls = callgrind_profile([TORQUILAN_SHORT])
        runs = int(re.search(r"^Execution starts, (\d+) runs", output, re.MULTILINE).group(1))
        self.assertIn(f"Arr_2_Glob[8][7]:    {runs + 10}\n", output)
        seen = {edge: count for edge, count in calls.items()
                if edge[1] in ROUTINES and edge[0] in ROUTINES | {"main"}}
        self.assertEqual(seen, {edge: per_run * runs for edge, per_run in CALLS_PER_RUN.items()})


class Report(unittest.TestCase):
    """The lines that the suite case has to leave out: the pointers and the rates."""

    def test_pointers_agree_and_rates_are_reported(self):
        output = LAUNCHER.run(TORQUILAN_SHORT, capture_output=True, text=True, check=True,
                              timeout=60).stdout
        pointers = re.findall(r"^  Ptr_Comp:          (-?\d+)$", output, re.MULTILINE)
        self.assertEqual(len(pointers), 2)
        self.assertEqual(pointers[0], pointers[1])
        self.assertNotEqual(pointers[0], "0")
        rate = re.search(r"\nMicroseconds for one run through Torquilan: (.*) \n"
                         r"Torquilans per Second: {22}[1-9]\d* \n\n$", output)
        self.assertIsNotNone(rate, output[-200:])
        self.assertEqual(rate.group(1), "%6.1f" % float(rate.group(1)))

    def report_tail(self, ticks):
        """The last lines of the short run's report when the clock says it took `ticks`."""
        output = LAUNCHER.run(TORQUILAN_TICKS_BUILD, capture_output=True, text=True, check=True,
                              timeout=60, env=dict(os.environ, TORQUILAN_TICKS=str(ticks))).stdout
        return output[output.index("Str_2_Loc:"):].split("\n", 2)[2]

    def test_rates_of_each_measured_time(self):
        # 100000 runs: microseconds in six columns and one decimal, runs per second truncated,
        # and saturated where 2 ticks would make 5 * 10^10 of them
        self.assertEqual(self.report_tail(12345678),
                         "\nMicroseconds for one run through Torquilan:  123.5 \n"
                         "Torquilans per Second:                      8100 \n\n")
        self.assertEqual(self.report_tail(2),
                         "\nMicroseconds for one run through Torquilan:    0.0 \n"
                         "Torquilans per Second:                      2147483647 \n\n")

    def test_fewer_than_two_ticks_are_too_small(self):
        for ticks in (0, 1):
            self.assertEqual(self.report_tail(ticks),
                             "\nMeasured time too small to obtain meaningful results\n"
                             "Please increase number of runs\n\n")


class OutOfMemory(unittest.TestCase):
    """Without its two records the benchmark stops with a message instead of a crash."""

    def test_failed_allocation_is_reported(self):
        with tempfile.TemporaryDirectory() as scratch:
            source = Path(scratch) / "nomalloc.c"
            library = Path(scratch) / "nomalloc.so"
            # Refuses the records' size only, so that the C library's own start-up proceeds.
            source.write_text(
                "#include <stddef.h>\n"
                "void *__libc_malloc(size_t);\n"
                "void *malloc(size_t size) { return size == 48 ? NULL : __libc_malloc(size); }\n")
            subprocess.run(["gcc", "-m32", "-shared", "-fPIC", "-o", library, source], check=True)
            result = LAUNCHER.run(TORQUILAN, preload=library, capture_output=True, text=True,
                                  timeout=60)
        self.assertEqual((result.returncode, result.stdout, result.stderr),
                         (1, "", "torquilan: out of memory for the benchmark records\n"))


if __name__ == "__main__":
    unittest.main()
