#!/usr/bin/env python3
"""Tests that ./regress bench reports only rates that a benchmark run really printed."""
import contextlib
import io
import re
import tempfile
import unittest
import unittest.mock
from pathlib import Path

from suite import bench
from suite import bench_suite
from suite.figures import BenchError



def run_bench(script):
    """bench.py's status and table over a build whose torquilan is the given shell script."""
    with tempfile.TemporaryDirectory() as build:
        program = Path(build) / "bin" / "torquilan"
        program.parent.mkdir()
        program.write_text("#!/bin/sh\n" + script)
        program.chmod(0o755)
        table = io.StringIO()
        only_torquilan = [b for b in bench.BENCHMARKS if b.__name__.startswith("torquilan")]
        with contextlib.redirect_stdout(table), unittest.mock.patch.object(bench, "BENCHMARKS", only_torquilan):
            status = bench.main(["--build", build, "--repeat", "3"])
    return status, table.getvalue()


class Bench(unittest.TestCase):
    def test_rate_is_the_median_of_the_runs(self):
        # Each run prints the next of three rates.
        status, table = run_bench(
            'n=$(cat "$0.n" 2>/dev/null || echo 0); echo $((n + 1)) > "$0.n"\n'
            'set -- 300 100 200; shift $n\n'
            'printf "Torquilans per Second:                      %d \\n" $1\n')
        self.assertEqual(status, 0)
        self.assertRegex(table, r"torquilan +runs per second +200 +100 +300 +runs/s +3")

    def test_a_run_without_a_rate_fails(self):
        for script in ('echo "Measured time too small to obtain meaningful results"\n', "kill -SEGV $$\n"):
            status, table = run_bench(script)
            self.assertEqual(status, 1, table)
            self.assertIn("torquilan_runs_per_second: not measured", table)
            self.assertNotIn("runs/s", table)


class SuiteTimings(unittest.TestCase):
    def test_each_phase_is_timed_from_the_line_that_starts_it(self):
        phases = (("first", re.compile("one")), ("second", re.compile("two")))
        seconds, seen = bench_suite.timed(["sh", "-c", "echo one; sleep 0.3; echo two; echo one"], phases)
        self.assertGreaterEqual(seen["second"] - seen["first"], 0.3)
        self.assertGreaterEqual(seconds, seen["second"])
        self.assertLess(seen["first"], 0.3)

    def test_a_command_that_fails_gives_no_figure_but_its_last_words(self):
        with self.assertRaisesRegex(BenchError, "exited with status 3: broke"):
            bench_suite.timed(["sh", "-c", "echo broke; exit 3"])

    def test_the_longest_case_needs_a_record(self):
        with tempfile.TemporaryDirectory() as build:
            (Path(build) / "bin").mkdir()
            with self.assertRaisesRegex(BenchError, "no passing run"):
                bench_suite.longest_case(Path(build), [])


if __name__ == "__main__":
    unittest.main()
