"""The case fields that connect stdin and stdout other than as pipes, and the time limits."""

import json
import time
from types import SimpleNamespace

from suite import limits
from tests.runner.support import ScratchSuite

# Each read's length, so that a test sees how the input arrived.
READ_SIZES = r"""
    #include <stdio.h>
    #include <unistd.h>
    int main(void) {
        char buf[4096];
        ssize_t n;
        while ((n = read(0, buf, sizeof buf)) > 0) printf("%d ", (int)n);
        return 0;
    }
"""


class Connections(ScratchSuite):
    def test_a_terminal_shows_prompts_echo_and_answers_as_the_screen_does(self):
        self.program("ask", """\
            while printf 'name? '; read -r name; do echo "hello $name" >&2; done
            [ -t 0 ] && [ -t 1 ] && [ -t 2 ] && echo all-terminal
        """)
        self.case_file("ask", {"name": "session", "terminal": ["ann\n", "bob\n"],
                               "stdout": "name? ann\nhello ann\nname? bob\nhello bob\nname? all-terminal\n"})
        status, out, _ = self.regress()
        self.assertEqual(status, 0, out)

    def test_only_the_listed_streams_are_the_terminal(self):
        self.program("which", """\
            read -r line; echo "read $line"
            for fd in 0 1 2; do [ -t $fd ] && echo "$fd on terminal" >&2 || echo "$fd not" >&2; done
        """)
        self.case_file("which",
                       {"name": "piped-in", "stdin": "x\n", "terminal_streams": ["stdout", "stderr"],
                        "stdout": "read x\n0 not\n1 on terminal\n2 on terminal\n"},
                       {"name": "typed-in", "terminal": ["y\n"], "terminal_streams": ["stdin", "stdout"],
                        "stdout": "y\nread y\n", "stderr": "0 on terminal\n1 on terminal\n2 not\n"},
                       {"name": "screen-unseen", "terminal_streams": ["stdin"], "terminal": ["z\n"],
                        "stdout": "read z\n", "stderr": "0 on terminal\n1 not\n2 not\n"})
        status, out, _ = self.regress()
        self.assertEqual(status, 0, out)

    def test_input_in_pieces_reaches_each_read_apart(self):
        self.c_program("sizes", READ_SIZES)
        self.case_file("sizes", {"name": "pieces", "stdin_chunks": ["ab", "c", "defg"], "stdout": "2 1 4 "},
                       {"name": "whole", "stdin": "abcdefg", "stdout": "7 "})
        status, out, _ = self.regress()
        self.assertEqual(status, 0, out)

    def test_stdout_full_or_closed_and_stdin_a_directory_or_closed(self):
        self.program("write", "{ echo x; } 2>/dev/null || exit 3\n")
        self.program("read", "cat\n")
        self.case_file("write", {"name": "full", "stdout_to": "full", "status": 3},
                       {"name": "closed", "stdout_to": "closed", "status": 3})
        self.case_file("read", {"name": "directory", "stdin_from": "directory", "status": 1,
                                "stderr": "cat: -: Is a directory\n"},
                       {"name": "closed", "stdin_from": "closed", "status": 1})
        status, out, _ = self.regress()
        self.assertEqual(status, 1)
        self.assertIn("3 passed, 1 failed", out)
        self.assertIn("FAIL read/closed", out)
        self.assertIn("+cat: -: Bad file descriptor", out)

    def test_a_stop_while_blocked_writing_cuts_the_write_short_and_loses_nothing(self):
        # Writes of the block size given, the last of what is left; stderr says whether one was
        # short. Blocks of 5000 bytes leave the pipe blocked a little short of full.
        self.c_program("burst", r"""
            #include <stdio.h>
            #include <stdlib.h>
            #include <unistd.h>
            static char buf[200000];
            int main(int argc, char **argv) {
                ssize_t block = atoi(argv[1]), done = 0;
                int cut = 0;
                for (int i = 0; i < (int)sizeof buf; i++) buf[i] = (char)('a' + i % 23);
                while (done < (ssize_t)sizeof buf) {
                    ssize_t want = sizeof buf - done < block ? sizeof buf - done : block;
                    ssize_t n = write(1, buf + done, want);
                    cut |= n < want;
                    done += n;
                }
                fprintf(stderr, cut ? "short\n" : "whole\n");
                return 0;
            }
        """)
        written = "".join(chr(ord("a") + i % 23) for i in range(200000))
        self.case_file("burst", *({"name": f"stopped-{block}", "args": [str(block)], "stdout_to": "stopped",
                                   "stdout": written, "stderr": "short\n"} for block in (200000, 65536, 5000)),
                       {"name": "pipe", "args": ["200000"], "stdout": written, "stderr": "whole\n"},
                       {"name": "small", "program": "sizes", "stdout_to": "stopped", "stdin": "ab", "stdout": "2 "})
        self.c_program("sizes", READ_SIZES)
        status, out, _ = self.regress()
        self.assertEqual(status, 0, out)

    def test_ways_that_contradict_each_other_are_refused(self):
        for fields, said in [({"stdin": "x", "stdin_from": "closed"}, "stdin and stdin_from"),
                             ({"terminal": [], "stderr": "e"}, "stderr must be empty"),
                             ({"stdout_to": "full", "stdout": "x"}, "stdout must be empty"),
                             ({"stdin_from": "socket"}, "stdin_from must be one of"),
                             ({"terminal_streams": ["stdin"], "stdin": "x"}, "stdin and terminal_streams"),
                             ({"terminal_streams": ["stdout"], "terminal": []}, "only when stdin is on it"),
                             ({"terminal_streams": ["stderr"]}, "put stdout on it too"),
                             ({"terminal_streams": ["stdout", "stdout"]}, "each once")]:
            with self.subTest(fields):
                self.case_file("p", {"name": "c", **fields})
                status, _, err = self.regress()
                self.assertEqual(status, 2)
                self.assertIn(said, err)


# Writes argv[1] bytes in writes of argv[2] bytes, then says on stderr whether every write went
# through or which failed and why.
WRITES = r"""
    #include <errno.h>
    #include <stdio.h>
    #include <stdlib.h>
    #include <string.h>
    #include <unistd.h>
    static char buf[1 << 20];
    int main(int argc, char **argv) {
        long total = atol(argv[1]), block = atol(argv[2]), done = 0;
        for (long i = 0; i < total; i++) buf[i] = (char)('a' + i % 26);
        while (done < total) {
            ssize_t n = write(1, buf + done, total - done < block ? total - done : block);
            if (n < 0) { fprintf(stderr, "%s\n", strerror(errno)); return 3; }
            done += n;
        }
        fprintf(stderr, "all written\n");
        return 0;
    }
"""


class ReaderThatGoesAway(ScratchSuite):
    """stdout_closed_after: the reader takes so many bytes and closes its end, as `| head -c N`."""

    def setUp(self):
        super().setUp()
        self.c_program("writes", WRITES)
        self.text = "".join(chr(ord("a") + i % 26) for i in range(200000))

    def case(self, name, total, block, read, **fields):
        return {"name": name, "program": "writes", "args": [str(total), str(block)],
                "stdout_closed_after": read, "stdout": self.text[:min(total, read)], **fields}

    def test_a_write_after_the_reader_has_gone_is_killed_by_sigpipe_and_only_that_is_expected(self):
        # Just past what the reader takes and a pipe's page: so little that a pipe of the usual
        # 64 KiB would take it all, and the program end as if nobody had gone.
        self.case_file("writes",
                       self.case("block-by-block", 200000, 1000, 10, signal="SIGPIPE"),
                       self.case("just-past-a-page", 4096 + 101, 65536, 100, signal="SIGPIPE"),
                       self.case("gone-from-the-start", 1, 1, 0, signal="SIGPIPE"),
                       self.case("less-than-read", 50, 7, 100, stderr="all written\n"),
                       self.case("ignored", 200000, 1000, 10, ignored_signals=["SIGPIPE"],
                                 stderr="Broken pipe\n", status=3))
        for _ in range(3):
            status, out, _ = self.regress()
            self.assertEqual(status, 0, out)

    def test_an_unexpected_sigpipe_is_a_crash_and_an_expected_one_that_does_not_come_fails(self):
        self.case_file("writes", self.case("died", 20000, 1000, 10, status=0),
                       self.case("lived", 20000, 1000, 10, signal="SIGPIPE", ignored_signals=["SIGPIPE"],
                                 stderr="Broken pipe\n"))
        status, out, _ = self.regress()
        self.assertEqual(status, 1)
        self.assertIn("CRASH writes/died", out)
        self.assertIn("status: expected exit status 0; killed by signal SIGPIPE (13)", out)
        self.assertIn("FAIL writes/lived", out)
        self.assertIn("status: expected to be killed by SIGPIPE; exit status 3", out)

    def test_a_sigpipe_is_blessed_only_where_the_reader_goes_away(self):
        self.program("quits", "kill -PIPE $$\n")
        self.case_file("writes", self.case("reader-gone", 20000, 1000, 10, status=2,
                                           stderr="a runtime's own report\n"))
        self.case_file("quits", {"name": "no-reader-gone"})
        sets = self.dir / "mine"
        status, out, _ = self.regress("--bless", str(sets))
        self.assertEqual(status, 1, out)
        self.assertIn("cannot bless: killed by signal SIGPIPE (13)", out)
        entry = json.loads((sets / "writes.json").read_text())["reader-gone"]
        self.assertEqual({k: v for k, v in entry.items() if k != "fingerprint"},
                         {"stdout": self.text[:10], "stderr": "", "signal": "SIGPIPE"})
        status, out, _ = self.regress("--expect", str(sets), "--only", "writes")
        self.assertEqual(status, 0, out)


class TimeLimits(ScratchSuite):
    def test_a_case_that_passed_quickly_is_cut_short_when_it_hangs(self):
        self.program("quick", f"[ -e {self.dir}/hang ] && sleep 30\nexit 0\n")
        self.case_file("quick", {"name": "then-hangs"})
        status, out, _ = self.regress()
        self.assertEqual(status, 0, out)
        recorded = json.loads((self.dir / "build" / "case-seconds.json").read_text())
        self.assertLess(recorded["quick/then-hangs"], 1)
        (self.dir / "hang").write_text("")
        began = time.monotonic()
        status, out, _ = self.regress("-v")
        self.assertEqual(status, 1)
        self.assertIn("HANG", out)
        self.assertLess(time.monotonic() - began, 10)

    def test_runs_at_once_each_keep_their_times(self):
        # Both read the record before either writes it, as two runs started together do.
        first, second = limits.Limits(self.dir, 1), limits.Limits(self.dir, 1)
        passed = lambda name, seconds: SimpleNamespace(passed=True, case=SimpleNamespace(id=name),
                                                       outcome=SimpleNamespace(exited=True, seconds=seconds))
        first.record([passed("a/one", 0.5)])
        second.record([passed("b/two", 0.25)])
        recorded = json.loads((self.dir / limits.FILE_NAME).read_text())
        self.assertEqual(recorded, {"a/one": 0.5, "b/two": 0.25})

    def test_max_failures_stops_and_counts_the_cases_not_run(self):
        self.program("fails", "exit 1\n")
        self.case_file("fails", *({"name": f"c{i}"} for i in range(6)))
        status, out, _ = self.regress("--max-failures", "2", "-j", "1")
        self.assertEqual(status, 1)
        self.assertRegex(out, r"\n[34] cases not run: stopped after 2 failed \(--max-failures\)")
