"""How the runner runs a case and reports each way a program can go wrong."""

import json
import os
import re
import signal
import subprocess
import time
import unittest
import xml.etree.ElementTree as ET
from pathlib import Path

from suite import cases, execute, launcher
from tests.runner.support import CC, ScratchSuite


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

    def test_special_files_stand_beside_the_files(self):
        self.program("kinds", """\
            [ -d d ] && [ -z "$(ls -A d)" ] && echo "d: empty directory"
            [ -p p ] && echo "p: named pipe"
            head -c 4 z | od -An -tx1
            cat f
        """)
        self.case_file("kinds", {"name": "made", "files": {"f": "text\n"},
                                 "special_files": {"d": "directory", "p": "fifo", "z": "zeros"},
                                 "stdout": "d: empty directory\np: named pipe\n 00 00 00 00\ntext\n"})
        status, out, _ = self.regress()
        self.assertEqual(status, 0, out)

    def test_filtered_lines_are_left_out_of_both_sides(self):
        self.program("timed", "echo result 42\necho 'took 0.731 s'\n")
        self.case_file("timed", {"name": "run", "stdout": "result 42\ntook 9 s\n",
                                 "stdout_filter": ["^took [0-9.]+ s$"]})
        self.assertEqual(self.regress()[0], 0)

    def test_a_case_sets_the_stack_its_program_runs_with_natively_and_emulated(self):
        # Recurses through 2 MiB of frames: it fits the usual 8 MiB, not 256 KiB.
        self.c_program("deep", r"""
            #include <signal.h>
            #include <stdio.h>
            #include <unistd.h>
            static void exhausted(int sig) { (void)sig; write(1, "exhausted\n", 10); _exit(3); }
            static int down(int n) { volatile char frame[1024]; frame[0] = (char)n;
                                     return n ? down(n - 1) + frame[0] : 0; }
            int main(void) {
                static char alternate[65536];
                stack_t s = { .ss_sp = alternate, .ss_size = sizeof alternate };
                sigaltstack(&s, 0);
                struct sigaction a = { .sa_handler = exhausted, .sa_flags = SA_ONSTACK };
                sigaction(SIGSEGV, &a, 0);
                printf("fits %d\n", down(2048) & 0);
                return 0;
            }
        """)
        self.case_file("deep", {"name": "usual", "stdout": "fits 0\n"},
                       {"name": "small", "stack": 262144, "stdout": "exhausted\n", "status": 3})
        for emulator in ("auto", "qemu-i386"):
            with self.subTest(emulator=emulator):
                status, out, _ = self.regress("--emulator", emulator)
                self.assertEqual(status, 0, out)


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
        self.assertIn("HANG (status: expected exit status 0; hung: still running after 1 s, killed; "
                      "its limit: the case's timeout)", out)
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

    def test_a_program_that_its_loader_or_the_emulator_cannot_start_is_said_to_be_so(self):
        library = self.dir / "libgone.so"
        (self.dir / "gone.c").write_text("int gone(void) { return 0; }\n")
        subprocess.run([*CC, "-shared", "-fPIC", "-o", str(library), str(self.dir / "gone.c")], check=True)
        (self.dir / "uses.c").write_text("int gone(void);\nint main(void) { return gone(); }\n")
        subprocess.run([*CC, "-o", str(self.bin / "uses"), str(self.dir / "uses.c"), str(library)], check=True)
        subprocess.run([*CC, "-o", str(self.bin / "nowhere"), str(self.dir / "uses.c"), str(library),
                        "-Wl,--dynamic-linker=/no/such/loader.so"], check=True)
        library.unlink()
        self.case_file("uses", {"name": "lost-library"})
        self.case_file("nowhere", {"name": "lost-loader"})
        lost = r"uses: error while loading shared libraries: \S*libgone\.so: cannot open shared object file"
        for emulator, loader in [("auto", r"\[Errno 2\] No such file or directory: '\S*/bin/nowhere'"),
                                 ("qemu-i386", r"qemu-i386: Could not open '/no/such/loader\.so'")]:
            with self.subTest(emulator=emulator):
                status, out, _ = self.regress("--emulator", emulator)
                self.assertEqual(status, 1)
                for case, text in [("uses/lost-library", lost), ("nowhere/lost-loader", loader)]:
                    self.assertRegex(out, rf"\[\d/2\] {case} \.\.\. CANNOT START \(program cannot be started: {text}")
                self.assertIn("0 passed, 2 failed (2 cannot start)", out)

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


class KindsOfFailure(ScratchSuite):
    def kinds(self, *options):
        """Each failure's kind and advice as its first line gives them, the closing line, and each
        JUnit failure's type."""
        junit = self.dir / "results.xml"
        status, out, _ = self.regress("--junit", str(junit), *options)
        self.assertEqual(status, 1, out)
        first = dict(re.findall(r"^[A-Z ]+ (\S+)  \(expected output: [^)]*\)  (.*)$", out, re.M))
        types = {f"{c.get('classname')}/{c.get('name')}": c.find("failure").get("type")
                 for c in ET.parse(junit).iter("testcase") if c.find("failure") is not None}
        return first, out.splitlines()[-1], types

    def test_each_failure_names_its_kind_and_only_a_layout_gets_the_hint_to_bless(self):
        self.program("prints", "echo 1.6\n")
        self.program("crashes", "kill -SEGV $$\n")
        self.program("hangs", "sleep 30\n")
        self.program("floods", "exec yes\n")
        (self.bin / "refused").write_bytes(b"\x7fELF not a program")
        (self.bin / "refused").chmod(0o755)
        self.case_file("all", {"name": "layout", "program": "prints", "stdout": "1.5\n"},
                       {"name": "fixed", "program": "prints", "stdout": "1.5\n", "fixed": True},
                       {"name": "crash", "program": "crashes"}, {"name": "hang", "program": "hangs", "timeout": 1},
                       {"name": "flood", "program": "floods"}, {"name": "absent", "program": "absent"},
                       {"name": "refused", "program": "refused"})
        first, closing, types = self.kinds()
        expected = {"all/layout": "layout", "all/fixed": "fixed", "all/crash": "crashed", "all/hang": "hung",
                    "all/flood": "flooded", "all/absent": "not built", "all/refused": "cannot start"}
        self.assertEqual({case: line.split(":")[0] for case, line in first.items()}, expected)
        self.assertEqual(types, expected)
        self.assertEqual([case for case, line in first.items() if "--bless" in line], ["all/layout"])
        self.assertEqual(closing, "0 passed, 7 failed (1 fixed, 1 layout, 1 hung, 1 crashed, 1 flooded, "
                                  "1 not built, 1 cannot start)")

        # Against an expectation set: what it recorded, or the case file where it holds no entry, a
        # known failure that passes, an entry blessed for the case before it changed.
        self.program("prints", "echo 1.5\n")
        self.case_file("set", {"name": "recorded", "program": "prints", "stdout": "1.5\n"},
                       {"name": "as-the-case-file", "program": "prints", "stdout": "1.4\n"},
                       {"name": "known", "program": "prints", "stdout": "1.5\n"},
                       {"name": "changed", "program": "prints", "stdout": "1.5\n"})
        (self.cases / "all.json").unlink()
        mine = self.dir / "mine"
        mine.mkdir()
        (mine / "set.json").write_text(json.dumps({
            "recorded": {"stdout": "1.4\n", "stderr": "", "status": 0},
            "known": {"xfail": "prints one digit too few"},
            "changed": {"stdout": "1.5\n", "stderr": "", "status": 0, "fingerprint": "of another case"}}))
        first, closing, types = self.kinds("--expect", str(mine))
        expected = {"set/recorded": "regression", "set/as-the-case-file": "regression", "set/known": "xpass",
                    "set/changed": "changed"}
        self.assertEqual({case: line.split(":")[0] for case, line in first.items()}, expected)
        self.assertEqual(types, expected)
        self.assertEqual([case for case, line in first.items() if "--bless" in line], [])
        self.assertEqual(closing, "0 passed, 4 failed (2 regression, 1 changed, 1 xpass)")


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
