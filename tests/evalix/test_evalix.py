#!/usr/bin/env python3
"""Tests evalix on a terminal, under deep nesting, on hostile input, and with signals that return."""
import os
import pty
import random
import re
import resource
import select
import subprocess
import termios
import time
import unittest

from suite import launcher


LAUNCHER = launcher.from_environment()
EVALIX = os.environ.get("EVALIX", "build/bin/evalix")
EVALIX_RETURNING_SIGNAL = os.environ.get("EVALIX_RETURNING_SIGNAL", "build/tests/evalix_returning_signal")
STACK_LIMIT = 8 * 1024 * 1024
MEGABYTE = 1 << 20


def with_stack_limit():
    hard = resource.getrlimit(resource.RLIMIT_STACK)[1]
    soft = STACK_LIMIT if hard == resource.RLIM_INFINITY else min(STACK_LIMIT, hard)
    resource.setrlimit(resource.RLIMIT_STACK, (soft, hard))


def run(data, program=EVALIX, stderr=subprocess.PIPE):
    """Runs the program on the bytes under an 8 MiB stack, as most machines give one."""
    return LAUNCHER.run(program, input=data, stdout=subprocess.PIPE, stderr=stderr,
                        timeout=60, preexec_fn=with_stack_limit)


class Terminal(unittest.TestCase):
    """On a terminal each line gets the prompt first and its answer before the next line is read."""

    def setUp(self):
        self.master, slave = pty.openpty()
        attributes = termios.tcgetattr(slave)
        attributes[1] &= ~termios.OPOST  # line ends as the program writes them
        attributes[3] &= ~termios.ECHO   # only the program's own output comes back
        termios.tcsetattr(slave, termios.TCSANOW, attributes)
        self.process = LAUNCHER.popen(EVALIX, stdin=slave, stdout=slave, stderr=subprocess.PIPE)
        os.close(slave)

    def tearDown(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        self.process.stderr.close()
        os.close(self.master)

    def expect(self, text):
        """What the program writes next, while it still runs, is exactly the text."""
        seen, deadline = b"", time.monotonic() + LAUNCHER.time_limit(10)
        while len(seen) < len(text) and time.monotonic() < deadline:
            if select.select([self.master], [], [], 0.1)[0]:
                seen += os.read(self.master, 4096)
        self.assertEqual(seen.decode("latin-1"), text)
        self.assertIsNone(self.process.poll(), "the program ended instead of waiting for a line")

    def test_session(self):
        self.expect("eval:")
        os.write(self.master, b"1+2*3\n")
        self.expect("7\neval:")
        os.write(self.master, b"3+\n")
        self.expect("eval:")
        os.write(self.master, b"4:a\n")
        self.expect("7\neval:")
        os.write(self.master, b"q\n")
        self.expect("q unassigned?\neval:")
        os.write(self.master, b"a*2\n")
        self.expect("14\neval:")
        os.write(self.master, bytes([termios.tcgetattr(self.master)[6][termios.VEOF][0]]))
        self.assertEqual(self.process.wait(timeout=LAUNCHER.time_limit(10)), 0)
        self.assertEqual(self.process.stderr.read(), b"")
        self.assertEqual(self.rest(), b"")

    def rest(self):
        """Whatever is left to read once the program has ended."""
        rest = b""
        try:
            while select.select([self.master], [], [], 0.1)[0]:
                chunk = os.read(self.master, 4096)
                if not chunk:
                    break
                rest += chunk
        except OSError:  # the terminal's far end is closed
            pass
        return rest


class DeepNesting(unittest.TestCase):
    def test_nesting_fits_in_the_stack(self):
        depth = 30000
        done = run(b"(" * depth + b"2^3" + b")" * depth + b"\n")
        self.assertEqual((done.stdout, done.stderr, done.returncode), (b"8\n", b"", 0))

    def test_nesting_beyond_the_stack_ends_with_a_message(self):
        done = run(b"(" * 1000000 + b"\n")
        self.assertEqual((done.stdout, done.stderr, done.returncode),
                         (b"", b"kel: stack exhausted (nesting too deep)\n", 2))

    def test_results_computed_before_the_stack_ran_out_are_written(self):
        done = run(b"1\n2\n" + b"(" * 70000 + b"\n")
        self.assertEqual((done.stdout, done.stderr, done.returncode),
                         (b"1\n2\n", b"kel: stack exhausted (nesting too deep)\n", 2))


class BadInput(unittest.TestCase):
    """Arbitrary bytes end the run through the program's or the library's own reports."""

    # A line of output: a result, nothing (not whole), or a report; the newline that follows
    # ":" is echoed, so its report starts a line of its own.
    ANSWER = re.compile(rb"(-?\d+)?|.* (operand|operator|variable|unassigned)\?|divide by zero\?")
    NUMBER_TROUBLE = re.compile(rb"kel: unhandled event 3, sub-event [12], extra -?\d+: [^\n]*\n")

    def test_random_bytes(self):
        data = random.Random(7).randbytes(MEGABYTE)
        done = run(data)
        self.assertIn(done.returncode, (0, 2))
        if done.returncode == 2:
            self.assertTrue(self.NUMBER_TROUBLE.fullmatch(done.stderr), done.stderr)

    def test_random_bytes_with_only_plain_numbers(self):
        data = random.Random(8).randbytes(MEGABYTE).translate(None, b"-.@")
        done = run(data)
        self.assertEqual((done.stderr, done.returncode), (b"", 0))
        lines = done.stdout.split(b"\n")
        self.assertGreater(len(lines), 10000)
        for line in lines:
            self.assertTrue(self.ANSWER.fullmatch(line), line)

    def test_megabyte_lines(self):
        for line, answer in [(b"1+" * (MEGABYTE // 2) + b"1\n", b"524289\n"),
                             (b" " * MEGABYTE + b"7\n", b"7\n"),
                             (b"0." + b"0" * MEGABYTE + b"1\n", b"0\n")]:
            done = run(line)
            self.assertEqual((done.stdout, done.stderr, done.returncode), (answer, b"", 0))

    def test_megabyte_number_out_of_range(self):
        done = run(b"1" * MEGABYTE + b"\n")
        self.assertEqual(done.returncode, 2)
        self.assertEqual(done.stderr, b"kel: unhandled event 3, sub-event 2, extra 0: number out of "
                                      b"range in standard input: " + b"1" * 40 + b"\n")

    def test_megabyte_of_nul_bytes(self):
        done = run(b"\0" * MEGABYTE)
        self.assertEqual((done.stderr, done.returncode), (b"", 0))
        self.assertEqual(done.stdout, b"\0 operand?\n" * MEGABYTE)


class ReturningSignal(unittest.TestCase):
    """Each report carries evalix's own path and line; a signal that returns is survived."""

    def transcript(self, line):
        done = run(line, EVALIX_RETURNING_SIGNAL, stderr=subprocess.STDOUT)
        return done.stdout.decode("latin-1"), done.returncode

    def test_reports(self):
        at = '[event 15.0.0 at regression-compile-tmp/evalix:%d ""]\n'
        ended = "[library event 9]\n"
        self.assertEqual(self.transcript(b"3:5\n"), ("5 variable" + at % 25 + "3\n" + ended, 0))
        self.assertEqual(self.transcript(b"q\n"), ("q unassigned" + at % 72 + "0\n" + ended, 0))
        self.assertEqual(self.transcript(b"1/0\n"), ("divide by zero" + at % 107 + "\n" + ended, 0))
        self.assertEqual(self.transcript(b"$\n"), ("$ operand" + at % 79 + "%RESULT missing in NEXTOPD "
                                                   "in file regression-compile-tmp/evalix:81\n", 1))
        self.assertEqual(self.transcript(b"3$\n"), ("$ operator" + at % 95 + "%RESULT missing in NEXTOP "
                                                    "in file regression-compile-tmp/evalix:97\n", 1))


if __name__ == "__main__":
    unittest.main()
