"""How the runner runs a case and reports each way a program can go wrong."""

import os
import signal
import subprocess
import time
import unittest
from pathlib import Path

from suite import cases, execute, launcher
from tests.runner.support import ScratchSuite


SHOW_ARGS = r"""
    #include <stdio.h>
    int main(int argc, char **argv) {
        for (int i = 0; i < argc; i++) printf("[%s]\n", argv[i]);
        int c;
        while ((c = getchar()) != EOF) printf("%02x ", c);
        return 0;
    }
"""


# Writes its process id where PROGRAM_PID_FILE says, then spins for ever.
SPINS = r"""
    #include <stdio.h>
    #include <stdlib.h>
    #include <unistd.h>
    int main(void) {
        FILE *f = fopen(getenv("PROGRAM_PID_FILE"), "w");
        fprintf(f, "%d\n", (int)getpid());
        fclose(f);
        for (volatile int i = 0;; i++) {}
    }
"""


def alive(pid):
    try:
        return "State:\tZ" not in Path(f"/proc/{pid}/status").read_text()
    except FileNotFoundError:
        return False


class WhatTheProgramIsGiven(ScratchSuite):
    def test_argv_stdin_bytes_and_files_reach_the_program(self):
        self.c_program("showargs", SHOW_ARGS)
        self.program("catfile", "cat data.txt\n")
        self.case_file("showargs", {"name": "given", "args": ["a b", "\u00e9"], "stdin": "\u00ff\n",
                                    "stdout": "[showargs]\n[a b]\n[\u00e9]\nff 0a "})
        self.case_file("catfile", {"name": "file", "files": {"data.txt": "line\n"}, "stdout": "line\n"})
        status, out, _ = self.regress()
        self.assertEqual(status, 0, out)
        self.assertIn("2 passed, 0 failed", out)

    def test_filtered_lines_are_left_out_of_both_sides(self):
        self.program("timed", "echo result 42\necho 'took 0.731 s'\n")
        self.case_file("timed", {"name": "run", "stdout": "result 42\ntook 9 s\n",
                                 "stdout_filter": ["^took [0-9.]+ s$"]})
        self.assertEqual(self.regress()[0], 0)


class HowAFailureIsReported(ScratchSuite):
    def test_wrong_output_shows_a_unified_diff_and_how_to_rerun(self):
        self.program("adder", "echo 1\necho 3\necho 'oops' >&2\n")
        self.case_file("adder", {"name": "sum", "stdout": "1\n2\n"})
        status, out, _ = self.regress()
        self.assertEqual(status, 1)
        self.assertIn("--- expected stdout\n    +++ actual stdout\n    @@ -1,2 +1,2 @@\n"
                      "     1\n    -2\n    +3\n", out)
        self.assertIn("    --- expected stderr\n    +++ actual stderr\n    @@ -0,0 +1 @@\n    +oops\n", out)
        self.assertIn("--only adder/sum -v", out)
        self.assertIn("0 passed, 1 failed", out)

    def test_invisible_differences_are_made_visible(self):
        self.program("blank", "printf 'a \\001\\nb \\nend'\n")
        self.case_file("blank", {"name": "tail", "stdout": "a \u0001\nb \nend\n"})
        out = self.regress()[1]
        self.assertIn("    -end\n    +end\n    \\ No newline at end of file\n", out)
        self.case_file("blank", {"name": "tail", "stdout": "a\u0001\nb\nend"})
        self.assertIn("    -a\\x01\n    -b\n    +a \\x01\n    +b\\x20\n", self.regress()[1])

    def test_wrong_exit_status_names_both(self):
        self.program("quits", "exit 3\n")
        self.case_file("quits", {"name": "status", "status": 1})
        status, out, _ = self.regress()
        self.assertEqual(status, 1)
        self.assertIn("quits/status ... FAIL (status: expected exit status 1, got 3)", out)

    def test_death_by_signal_never_matches(self):
        self.program("crashes", "echo before\nkill -SEGV $$\n")
        self.case_file("crashes", {"name": "segv", "stdout": "before\n", "status": 139})
        status, out, _ = self.regress()
        self.assertEqual(status, 1)
        self.assertIn("CRASH (status: expected exit status 139; killed by signal SIGSEGV (11))", out)

    def test_a_hang_is_killed_with_its_children_at_the_time_limit(self):
        pid_file = self.dir / "child.pid"
        self.program("hangs", 'sleep 60 &\necho $! > "$CHILD_PID_FILE"\necho waiting\nwait\n')
        self.case_file("hangs", {"name": "forever", "stdout": "waiting\n", "timeout": 1})
        started = time.monotonic()
        status, out, _ = self.regress(env={"CHILD_PID_FILE": str(pid_file)})
        self.assertLess(time.monotonic() - started, 20)
        self.assertEqual(status, 1)
        self.assertIn("HANG (status: expected exit status 0; hung: still running after 1 s, killed)", out)
        self.assert_ends(int(pid_file.read_text()))

    def assert_ends(self, pid):
        """The process is gone, or a zombie, within a few seconds."""
        give_up = time.monotonic() + 5
        while alive(pid):
            self.assertLess(time.monotonic(), give_up, f"process {pid} outlived the case")
            time.sleep(0.05)

    def test_stopping_the_runner_ends_the_programs_it_started(self):
        pid_file = self.dir / "child.pid"
        self.program("hangs", 'sleep 60 &\necho $! > "$CHILD_PID_FILE"\nwait\n')
        self.case_file("hangs", {"name": "forever"})
        runner = subprocess.Popen(self.command("-q"), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                  text=True, env={**os.environ, "CHILD_PID_FILE": str(pid_file)})
        while not pid_file.exists() or not pid_file.read_text().strip():
            time.sleep(0.05)
        runner.terminate()
        self.assertEqual(runner.wait(timeout=20), 128 + signal.SIGTERM)
        self.assertIn("regress: stopped by SIGTERM", runner.stderr.read())
        runner.stderr.close()
        self.assert_ends(int(pid_file.read_text()))

    def test_a_runner_killed_outright_leaves_no_program_running(self):
        self.c_program("spins", SPINS)
        self.case_file("spins", {"name": "forever"})
        for emulator in ("auto", "qemu-i386"):
            with self.subTest(emulator=emulator):
                pid_file = self.dir / f"{emulator}.pid"
                runner = subprocess.Popen(self.command("-q", "--emulator", emulator),
                                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                          env={**os.environ, "PROGRAM_PID_FILE": str(pid_file)})
                while not pid_file.exists() or not pid_file.read_text().strip():
                    self.assertIsNone(runner.poll())
                    time.sleep(0.05)
                runner.kill()
                runner.wait()
                self.assert_ends(int(pid_file.read_text()))

    def test_a_program_may_use_little_more_processor_time_than_its_time_limit(self):
        self.program("limits", "ulimit -St\nulimit -Ht\n")
        self.case_file("limits", {"name": "cpu", "timeout": 2.5, "stdout": "4\n5\n"})
        status, out, _ = self.regress()
        self.assertEqual(status, 0, out)

    def test_runaway_output_is_stopped(self):
        self.program("spews", "exec yes\n")
        self.case_file("spews", {"name": "flood", "stdout": "y\n"})
        status, out, _ = self.regress()
        self.assertEqual(status, 1)
        self.assertIn("FLOOD (status: expected exit status 0; flooded: wrote more than", out)
        self.assertIn("more diff lines; rerun with -v to see them all", out)

    def test_a_program_that_is_not_built_is_named(self):
        self.case_file("absent", {"name": "any"})
        status, out, _ = self.regress()
        self.assertEqual(status, 1)
        self.assertIn("program not built: bin/absent", out)

    def test_one_failure_among_passes_is_counted_in_the_table(self):
        self.program("good", "echo fine\n")
        self.case_file("good", {"name": "a", "stdout": "fine\n"}, {"name": "b", "stdout": "fine\n"},
                       {"name": "c", "stdout": "other\n"})
        status, out, _ = self.regress("-j", "1")
        self.assertEqual(status, 1)
        self.assertRegex(out, r"\ngood +3 +2 +1 ")
        self.assertIn("[3/3] good/c ... FAIL", out)


class RepeatedRuns(ScratchSuite):
    def setUp(self):
        super().setUp()
        # Fails every third run, counting its runs in a file of its own.
        self.program("flaky", f"""\
            n=$(( $(cat {self.dir}/runs-$1 2>/dev/null || echo 0) + 1 )); echo $n > {self.dir}/runs-$1
            [ $((n % 3)) -ne 0 ] || echo "run $n"
        """)
        self.case_file("flaky", {"name": "flaky", "args": ["a"]}, {"name": "steady", "program": "steady"})
        self.program("steady", "exit 0\n")

    def test_repeat_counts_the_runs_that_failed_and_shows_the_first(self):
        status, out, _ = self.regress("--repeat", "7", "-j", "2")
        self.assertEqual(status, 1)
        self.assertIn("flaky/flaky ... FAIL (2 of 7 runs failed; stdout differs from the expected output)", out)
        self.assertIn("flaky/steady ... ok (0 of 7 runs failed)", out)
        self.assertIn("  runs:   2 of 7 runs failed; what follows is the first that failed", out)
        self.assertIn("+run 3\n", out)
        self.assertIn("--repeat 7 --only flaky/flaky -v", out)
        self.assertEqual((self.dir / "runs-a").read_text(), "7\n")

    def test_repeat_until_fail_stops_at_the_first_failure(self):
        status, out, _ = self.regress("--repeat-until-fail", "10", "--only", "flaky/flaky")
        self.assertEqual(status, 1)
        self.assertIn("flaky/flaky ... FAIL (1 of 3 runs failed; stdout differs", out)
        self.assertEqual((self.dir / "runs-a").read_text(), "3\n")
        (self.dir / "runs-a").write_text("3\n")
        status, out, _ = self.regress("--repeat-until-fail", "2", "--only", "flaky/flaky")
        self.assertEqual(status, 0, out)
        self.assertIn("ok (0 of 2 runs failed)", out)


class CasesMadeInCode(ScratchSuite):
    def test_a_case_that_gives_only_its_stdin_is_fed_it(self):
        self.program("echoes", "cat\n")
        case = cases.Case("echoes", "made", "echoes", (), "typed\n", (), None, False, 5.0, ())
        self.assertEqual(execute.run_case(case, self.bin, self.bin, launcher.Launcher()).stdout, "typed\n")

    def test_a_program_started_as_the_runner_stops_is_killed_at_once(self):
        # A stop that comes between a program's start and its being noted must still end it.
        self.program("sleeps", "sleep 30\n")
        case = cases.Case("sleeps", "made", "sleeps", (), "", (), None, False, 30.0, ())
        self.addCleanup(setattr, execute, "_stopping", False)
        execute.stop_all()
        outcome = execute.run_case(case, self.bin, self.bin, launcher.Launcher())
        self.assertEqual((outcome.ending, outcome.status), ("signal", signal.SIGKILL))
        self.assertLess(outcome.seconds, 5)


if __name__ == "__main__":
    unittest.main()
