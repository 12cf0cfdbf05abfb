#!/usr/bin/env python3
"""Each deliverable with its standard streams closed or full, and with inputs of hostile size:
each ends with its own result or a report and a failing status, never a crash, a hang or a
success that lost output. docs/reliability.md has the table."""
import errno
import os
import pwd
import shutil
import signal
import subprocess
import tempfile
import unittest
from pathlib import Path

from suite import cases, compare, launcher

ROOT = Path(__file__).resolve().parents[2]

LAUNCHER = launcher.from_environment()

BIN = Path(os.environ.get("HARDENING_BIN", ROOT / "build" / "bin")).resolve()
MEGABYTE = 1 << 20
# The kernel's limit on one argument (MAX_ARG_STRLEN, 32 pages).
LONGEST_ARGUMENT = 32 * 4096 - 1
CANNOT_WRITE = b"cannot write to standard output: "
CANNOT_READ_STDIN = (b"kel: unhandled event 6, sub-event 3, extra 0: "
                     b"cannot read standard input: Bad file descriptor")


def representative_cases():
    """One case per deliverable run by the deliverable's own program, or, for a module of
    routines, by its caller: one that succeeds and prints, where there is one."""
    chosen = {}
    for case in cases.load_cases(ROOT / "suite" / "cases"):
        if case.program not in (case.deliverable, f"call-{case.deliverable}"):
            continue
        rank = (case.program == case.deliverable, case.expected.status == 0, bool(case.expected.stdout))
        if case.deliverable not in chosen or rank > chosen[case.deliverable][0]:
            chosen[case.deliverable] = (rank, case)
    return [case for _, case in chosen.values()]


def run_case(case, stdin="pipe", stdout="pipe", timeout=120):
    """Runs the case's program as the suite does, in a fresh directory with its files, with
    standard input and output as given: "pipe", "closed", or an open file."""
    with tempfile.TemporaryDirectory() as work:
        for name, content in case.files:
            (Path(work) / name).write_bytes(content.encode("latin-1"))
        closing = [fd for fd, how in ((0, stdin), (1, stdout)) if how == "closed"]
        return LAUNCHER.run(
            BIN / case.program, case.args, argv0=case.program, cwd=work,
            input=case.stdin.encode("latin-1") if stdin == "pipe" else None,
            stdin=None if stdin == "pipe" else subprocess.DEVNULL,
            stdout=subprocess.PIPE if stdout == "pipe" else stdout if stdout != "closed" else None,
            stderr=subprocess.PIPE, timeout=timeout,
            preexec_fn=lambda: [os.close(fd) for fd in closing])


class BrokenStandardStreams(unittest.TestCase):
    """Every deliverable's output that cannot be written ends the run with a report and a
    failing status; without standard input, a program that reads it reports that, and the
    others run as usual."""

    def assert_lost_output_reported(self, case, done, reason):
        if case.expected.stdout:
            self.assertNotEqual(done.returncode, 0)
            self.assertIn(CANNOT_WRITE + reason, done.stderr)
        else:
            self.assertEqual((done.returncode, done.stderr.decode("latin-1")),
                             (case.expected.status, case.expected.stderr))

    def test_all_fifteen_deliverables_are_covered(self):
        self.assertEqual(len(representative_cases()), 15)

    def test_standard_output_full(self):
        for case in representative_cases():
            with self.subTest(case.id), open("/dev/full", "wb") as full:
                self.assert_lost_output_reported(case, run_case(case, stdout=full), b"No space left on device")

    def test_standard_output_closed(self):
        for case in representative_cases():
            with self.subTest(case.id):
                self.assert_lost_output_reported(case, run_case(case, stdout="closed"), b"Bad file descriptor")

    def test_standard_output_a_pipe_without_a_reader(self):
        # As for any filter, a write to a pipe whose reader has gone ends the run by SIGPIPE,
        # never with status 0; when SIGPIPE is ignored, the runtime reports the failed write.
        for sigpipe_ignored, outcome in ((False, (-signal.SIGPIPE, b"")),
                                         (True, (2, b"kel: " + CANNOT_WRITE + b"Broken pipe\n"))):
            with self.subTest(sigpipe_ignored=sigpipe_ignored):
                reader, writer = os.pipe()
                os.close(reader)
                # Python itself ignores SIGPIPE; restore_signals decides what the child inherits
                done = run("evalix", input=b"1\n2\n", stdout=writer, restore_signals=not sigpipe_ignored)
                os.close(writer)
                self.assertEqual((done.returncode, done.stderr), outcome)

    def test_standard_input_closed(self):
        # a module's caller is left out: the routines themselves read nothing
        for case in [c for c in representative_cases() if c.program == c.deliverable]:
            with self.subTest(case.id):
                done = run_case(case, stdin="closed")
                if case.deliverable == "evalix":
                    self.assertEqual((done.returncode, done.stderr.rstrip(b"\n")), (2, CANNOT_READ_STDIN))
                    continue
                stdout = compare.drop_filtered(done.stdout.decode("latin-1"), case.stdout_filter)
                self.assertEqual((done.returncode, stdout, done.stderr.decode("latin-1")),
                                 (case.expected.status,
                                  compare.drop_filtered(case.expected.stdout, case.stdout_filter),
                                  case.expected.stderr))


def run(program, args=(), **options):
    options.setdefault("stdout", subprocess.PIPE)
    return LAUNCHER.run(BIN / program, args, argv0=program, stderr=subprocess.PIPE,
                        timeout=600, **options)


class ArgshowArguments(unittest.TestCase):
    def test_ten_thousand_arguments(self):
        args = [f"a{i}" for i in range(1, 10001)]
        done = run("argshow", args)
        lines = done.stdout.decode().split("\n")
        self.assertEqual((done.returncode, done.stderr), (0, b""))
        self.assertEqual(lines[0], "Argc = 10001")
        self.assertEqual(lines[1:], [f'Argv({i}) = "{a}"' for i, a in
                                     enumerate(["argshow", *args, "", ""])] + [""])

    def test_a_megabyte_argument_is_refused_before_the_program_starts(self):
        with self.assertRaises(OSError) as refused:
            run("argshow", ["x" * MEGABYTE])
        self.assertEqual(refused.exception.errno, errno.E2BIG)

    def test_a_megabyte_of_the_longest_arguments_each_cut_to_a_string(self):
        args = [chr(ord("a") + i) * LONGEST_ARGUMENT for i in range(8)]
        done = run("argshow", args)
        self.assertEqual((done.returncode, done.stderr), (0, b""))
        lines = done.stdout.decode().split("\n")
        self.assertEqual(lines[2:10], [f'Argv({i + 1}) = "{a[:255]}"' for i, a in enumerate(args)])


class PiseriesRoundsFile(unittest.TestCase):
    """rounds.txt that cannot be used ends the run with the library's report of why."""

    def setUp(self):
        self.work = tempfile.mkdtemp()
        os.chmod(self.work, 0o755)
        self.rounds = Path(self.work) / "rounds.txt"

    def tearDown(self):
        shutil.rmtree(self.work)

    def piseries(self, as_nobody=False):
        # root reads any file, so an unreadable one is tried as an ordinary user
        nobody = pwd.getpwnam("nobody").pw_uid if as_nobody and os.geteuid() == 0 else None
        return run("piseries", cwd=self.work, user=nobody)

    def expect_report(self, done, report):
        self.assertEqual((done.returncode, done.stdout), (2, b""))
        self.assertRegex(done.stderr.decode(), f"^kel: unhandled event {report}, at regression-bugs-tmp/piseries line 17\n$")

    def test_a_directory(self):
        self.rounds.mkdir()
        done = self.piseries()
        self.assertEqual((done.returncode, done.stdout), (2, b""))
        self.assertEqual(done.stderr, b"kel: unhandled event 6, sub-event 1, extra 1: cannot open rounds.txt: "
                                      b"Is a directory, at regression-bugs-tmp/piseries line 14\n")

    def test_a_file_without_read_permission(self):
        self.rounds.write_text("5\n")
        self.rounds.chmod(0)
        done = self.piseries(as_nobody=True)
        self.assertEqual((done.returncode, done.stdout), (2, b""))
        self.assertEqual(done.stderr, b"kel: unhandled event 6, sub-event 1, extra 1: cannot open rounds.txt: "
                                      b"Permission denied, at regression-bugs-tmp/piseries line 14\n")

    def test_a_file_that_opens_but_cannot_be_read(self):
        self.rounds.symlink_to("/proc/self/mem")   # reading its first page fails
        self.expect_report(self.piseries(), r"6, sub-event 3, extra 0: cannot read rounds.txt: Input/output error")

    def test_a_huge_file_of_blanks_before_the_count(self):
        with open(self.rounds, "wb") as f:
            f.write(b" " * (100 * MEGABYTE) + b"5\n")
        huge = self.piseries()
        self.rounds.write_text("5\n")
        self.assertEqual(huge.returncode, 0)
        self.assertEqual((huge.stdout, huge.stderr), (self.piseries().stdout, b""))

    def test_a_count_of_a_megabyte_of_digits(self):
        self.rounds.write_bytes(b"9" * MEGABYTE)
        self.expect_report(self.piseries(), r"3, sub-event 2, extra 0: number out of range in rounds.txt: 9{40}")

    def test_a_sparse_file_of_sixteen_gigabytes(self):
        with open(self.rounds, "wb") as f:
            f.truncate(16 << 30)
        self.expect_report(self.piseries(), r'3, sub-event 1, extra 0: no number in rounds.txt at ""')


class EvalixHugeInput(unittest.TestCase):
    def test_a_hundred_megabytes_of_lines(self):
        line, answer = b"12*3-4/2:a\n", b"34\n"
        count = 100 * MEGABYTE // len(line)
        with tempfile.TemporaryFile() as source, tempfile.TemporaryFile() as sink:
            source.write(line * count)
            source.seek(0)
            done = run("evalix", stdin=source, stdout=sink)
            sink.seek(0)
            self.assertEqual((done.returncode, done.stderr), (0, b""))
            self.assertEqual(sink.read(), answer * count)


if __name__ == "__main__":
    unittest.main()
