#!/usr/bin/env python3
"""piseries against data files that the suite's case files cannot lay out: each one must end
the run promptly, with a report that names rounds.txt and a failure status, never a crash."""
import os
import tempfile
import unittest

from suite import launcher


LAUNCHER = launcher.from_environment()

PISERIES = os.environ.get("PISERIES", "build/bin/piseries")


class UnusableRoundsFile(unittest.TestCase):
    def run_with(self, make):
        with tempfile.TemporaryDirectory() as directory:
            make(os.path.join(directory, "rounds.txt"))
            return LAUNCHER.run(os.path.abspath(PISERIES), cwd=directory, capture_output=True,
                                text=True, timeout=20)

    def assert_reported(self, result, line, problem):
        self.assertEqual(result.stdout, "")
        self.assertGreater(result.returncode, 0, "ended by a signal or reported success")
        report = result.stderr.splitlines()
        self.assertEqual(len(report), 1, result.stderr)
        self.assertIn("rounds.txt", report[0])
        self.assertIn(problem, report[0])
        self.assertTrue(report[0].endswith(f"at regression-bugs-tmp/piseries line {line}"), report[0])

    def test_a_directory_is_refused_at_the_open(self):
        self.assert_reported(self.run_with(os.mkdir), 14, "Is a directory")

    def test_an_endless_device_ends_at_its_first_character(self):
        self.assert_reported(self.run_with(lambda path: os.symlink("/dev/zero", path)), 17, "no number")

    def test_a_pipe_with_no_writer_reads_as_empty_instead_of_waiting(self):
        self.assert_reported(self.run_with(os.mkfifo), 17, "input ended")

    @unittest.skipIf(os.geteuid() == 0, "root may read any file")
    def test_an_unreadable_file_is_refused_at_the_open(self):
        def make(path):
            with open(path, "w") as f:
                f.write("5\n")
            os.chmod(path, 0)
        self.assert_reported(self.run_with(make), 14, "Permission denied")


if __name__ == "__main__":
    unittest.main()
