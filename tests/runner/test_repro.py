"""A kept case's script, run alone on a clean shell, gives the program what the suite gave it
(arguments, argv[0], environment, files, limits and every way of connecting its streams) and
judges it as the suite did; natively and under the emulator."""

import json
import os
import re
import shutil
import subprocess
import unittest

from suite import launcher
from tests.runner.support import ScratchSuite

# Says on stderr everything about how it was started that a program can see, and reads and
# writes as its arguments ask: "big" writes 200000 bytes to stdout in one write, "die" is then
# killed by SIGUSR1.
PROBE = r"""
    #define _FILE_OFFSET_BITS 64  /* a directory's 64-bit offsets, which the emulator passes on as they are */
    #include <dirent.h>
    #include <errno.h>
    #include <signal.h>
    #include <stdio.h>
    #include <stdlib.h>
    #include <string.h>
    #include <sys/resource.h>
    #include <sys/stat.h>
    #include <unistd.h>
    extern char **environ;
    static char big[200000];
    static const char *kind(int fd) {
        struct stat st;
        if (fstat(fd, &st) != 0) return "closed";
        if (isatty(fd)) return "terminal";
        if (S_ISFIFO(st.st_mode)) return "pipe";
        if (S_ISDIR(st.st_mode)) return "directory";
        if (S_ISCHR(st.st_mode)) return "device";
        return "file";
    }
    int main(int argc, char **argv) {
        FILE *report = stderr;
        unsigned long digest = 0, entries = 0;
        for (char **e = environ; *e; e++, entries++) {
            unsigned long h = 5381;
            for (char *c = *e; *c; c++) h = h * 33 + (unsigned char)*c;
            digest += h;
        }
        fprintf(report, "argv0 %s, %d arguments:", argv[0], argc - 1);
        for (int i = 1; i < argc; i++) fprintf(report, " [%s]", argv[i]);
        fprintf(report, "\nenvironment: %lu entries, digest %lx\n", entries, digest);
        fprintf(report, "streams: %s %s %s\n", kind(0), kind(1), kind(2));
        int open_fds = 0;
        DIR *fds = opendir("/proc/self/fd");
        for (struct dirent *d; fds && (d = readdir(fds));) open_fds += atoi(d->d_name) > 2;
        fprintf(report, "descriptors above 2: %d\n", open_fds - 1);
        struct rlimit cpu;
        getrlimit(RLIMIT_CPU, &cpu);
        fprintf(report, "processor seconds: %ld %ld\nignored:", (long)cpu.rlim_cur, (long)cpu.rlim_max);
        for (int s = 1; s < 32; s++) {
            struct sigaction now;
            if (sigaction(s, NULL, &now) == 0 && now.sa_handler == SIG_IGN) fprintf(report, " %d", s);
        }
        fprintf(report, "\n");
        struct dirent **names;
        int count = scandir(".", &names, NULL, alphasort);
        fprintf(report, "directory:");
        for (int i = 0; i < count; i++) fprintf(report, " %s", names[i]->d_name);
        char buf[4096];
        ssize_t n;
        fprintf(report, "\nreads:");
        while ((n = read(0, buf, sizeof buf)) > 0) fprintf(report, " %d", (int)n);
        fprintf(report, " (%s)\n", n == 0 ? "end" : strerror(errno));
        memset(big, 'x', sizeof big);
        size_t want = argc > 1 && !strcmp(argv[1], "big") ? sizeof big : 4;
        fflush(report);
        n = write(1, big, want);
        fprintf(report, "write of %d: %s\n", (int)want, n < 0 ? strerror(errno) : n == (ssize_t)want ? "whole" : "short");
        if (argc > 2 && !strcmp(argv[2], "die")) raise(SIGUSR1);
        return 3;
    }
"""

# One case for each way the suite connects the standard streams; each fails, since the probe's
# report is not the empty stderr expected.
WAYS = [
    {"name": "pipe", "stdin": "typed\n", "args": ["a b", "\u00e9"]},
    {"name": "empty-pipe"},
    {"name": "chunks", "stdin_chunks": ["ab", "c", "def"]},
    {"name": "stdin-directory", "stdin_from": "directory"},
    {"name": "stdin-closed", "stdin_from": "closed"},
    {"name": "stdout-full", "stdout_to": "full"},
    {"name": "stdout-closed", "stdout_to": "closed"},
    {"name": "stopped", "stdout_to": "stopped", "args": ["big"]},
    {"name": "terminal", "terminal": ["one\n", "two\n"]},
    {"name": "terminal-out", "stdin": "piped\n", "terminal_streams": ["stdout", "stderr"]},
    {"name": "terminal-in", "terminal": ["typed\n"], "terminal_streams": ["stdin"]},
    {"name": "reader-leaves", "stdout_closed_after": 10, "args": ["big"], "signal": "SIGPIPE"},
    {"name": "reader-gone-ignored", "stdout_closed_after": 0, "args": ["big"], "ignored_signals": ["SIGPIPE"]},
    {"name": "ignoring", "ignored_signals": ["SIGPIPE", "SIGHUP"]},
    {"name": "killed", "args": ["big", "die"], "signal": "SIGUSR1"},
    {"name": "special-files", "special_files": {"d": "directory", "p": "fifo", "z": "zeros"}},
]


# A descriptor the script is started with, above those it uses itself.
STRAY_FD = 9


def differences(text):
    """A failure report's problems and diff lines: what was expected and what came instead."""
    return [line for line in text.splitlines() if re.match(r"    [-+]|  (status|stdout|stderr)", line)]


class KeptScripts(ScratchSuite):
    def setUp(self):
        super().setUp()
        self.c_program("probe", PROBE)
        self.case_file("probe", *({"files": {"data.txt": "x\n"}, **({} if "signal" in way else {"status": 3}), **way}
                                  for way in WAYS))
        self.kept = self.dir / "kept"

    def reproduce(self, *options):
        status, out, _ = self.regress("--keep", str(self.kept), "-v", "-j", "1", *options)
        self.assertEqual(status, 1, out)
        for way in WAYS:
            with self.subTest(way["name"]):
                report = re.search(rf"\n\n((FAIL|CRASH) probe/{way['name']}  .*?)(\n\n|$)", out, re.S)
                self.assertIsNotNone(report, out[-2000:])
                script = self.kept / "probe" / way["name"] / "run"
                self.assertIn(f"by hand: kept/probe/{way['name']}/run", report.group(1))
                # From a shell of its own, with a variable and a descriptor that the suite does not
                # give the program.
                with open(script) as stray:
                    os.dup2(stray.fileno(), STRAY_FD)
                    done = subprocess.run(["env", "-i", "STRAY=1", "bash", str(script)], capture_output=True,
                                          text=True, encoding="latin-1", timeout=120, cwd="/",
                                          pass_fds=(STRAY_FD,))
                    os.close(STRAY_FD)
                self.assertEqual(done.returncode, 1, done.stdout + done.stderr)
                self.assertIn(f"{report.group(2)} probe/{way['name']}", done.stdout)
                self.assertTrue(differences(report.group(1)))
                self.assertEqual(differences(done.stdout), differences(report.group(1)))

    def test_each_way_reproduces_on_a_clean_shell(self):
        self.reproduce()

    @unittest.skipIf(shutil.which(launcher.EMULATOR) is None, f"{launcher.EMULATOR} is not installed")
    def test_each_way_reproduces_under_the_emulator(self):
        self.reproduce("--emulator", launcher.EMULATOR)

    def test_verbose_shows_every_input_cut_at_a_sensible_length(self):
        self.case_file("probe", {"name": "long", "stdin": "(" * 5000 + "\n", "files": {"b.txt": "\x01\"\n"},
                                 "stdout_to": "full", "status": 3},
                       {"name": "typed", "terminal": ["1\n", "2"], "terminal_streams": ["stdin", "stdout"]},
                       {"name": "pieces", "stdin_chunks": ["a", "b"]},
                       {"name": "special", "special_files": {"p": "fifo"}})
        out = self.regress("-v", "-j", "1")[1]
        self.assertIn("(files p) in", out)
        self.assertIn("\n      file p: a named pipe that nobody writes\n", out)
        self.assertIn('\n      stdin: "' + "(" * 120 + '"... (5001 bytes)\n      file b.txt: "\\x01\\"\\n"\n'
                      "      stdout: /dev/full\n", out)
        self.assertIn('\n      typed 1: "1\\n"\n      typed 2: "2"\n      on a terminal: stdin, stdout\n', out)
        self.assertIn('\n      stdin piece 1: "a"\n      stdin piece 2: "b"\n', out)

    @unittest.skipIf(shutil.which("gdb") is None, "gdb is not installed")
    def test_under_gdb_the_program_gets_its_arguments_files_input_and_limits(self):
        status, out, _ = self.regress("--keep", str(self.kept), "--only", "probe/pipe", "-v")
        limit = re.search(r"processor seconds: \d+ \d+", out).group(0)
        # Natively gdb starts the program; the emulator starts it itself, stopped until gdb goes on.
        go = "continue" if launcher.from_environment().emulated else "run"
        done = subprocess.run(["bash", str(self.kept / "probe" / "pipe" / "run"), "--gdb"], input=f"{go}\n",
                              capture_output=True, text=True, encoding="latin-1", timeout=120)
        for said in ["argv0 probe, 2 arguments: [a b] [\u00e9]", "directory: . .. data.txt", "reads: 6 (end)",
                     limit, "exited with code 03"]:
            self.assertIn(said, done.stdout + done.stderr)

    def test_the_kept_directory_holds_the_case_for_people_and_for_the_suite(self):
        self.assertEqual(self.regress("--keep", str(self.kept), "--only", "probe/chunks")[0], 1)
        where = self.kept / "probe" / "chunks"
        self.assertEqual((where / "files" / "data.txt").read_text(), "x\n")
        self.assertEqual((where / "stdin").read_text(), "abcdef")
        self.assertEqual((where / "expected" / "stderr").read_text(), "")
        # The kept directory is a case directory of its own, which the runner reads as it is.
        status, out, _ = self.regress("--cases", str(where), "--keep", str(self.dir / "again"))
        self.assertEqual(status, 1)
        self.assertIn("FAIL probe/chunks", out)
        kept = json.loads((self.dir / "again" / "probe" / "chunks" / "probe.json").read_text())
        self.assertEqual(kept["cases"][0]["stdin_chunks"], [{"file": "stdin.1"}, {"file": "stdin.2"},
                                                            {"file": "stdin.3"}])
        # Keeping again replaces what was kept; a directory that holds something else is refused.
        (where / "files" / "left-over").write_text("")
        self.assertEqual(self.regress("--keep", str(self.kept), "--only", "probe/chunks")[0], 1)
        self.assertFalse((where / "files" / "left-over").exists())
        other = self.kept / "probe" / "pipe"
        other.mkdir()
        (other / "mine").write_text("")
        status, out, err = self.regress("--keep", str(self.kept), "--only", "probe/pipe")
        self.assertEqual((status, out), (2, ""))
        self.assertIn("holds no kept case", err)


if __name__ == "__main__":
    unittest.main()
