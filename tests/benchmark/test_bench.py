#!/usr/bin/env python3
"""Tests that ./regress bench reports only rates that a benchmark run really printed."""
import contextlib
import io
import tempfile
import unittest
import unittest.mock
from pathlib import Path

from suite import bench



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


if __name__ == "__main__":
    unittest.main()
