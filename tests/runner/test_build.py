"""The build's side of a run: its copy of a foreign archive, its lock, its progress under -q, and
result files written whole."""

import contextlib
import io
import os
import subprocess
import sys
import tempfile
import threading
import unittest
from pathlib import Path

from suite import build, files


class Scratch(unittest.TestCase):
    def setUp(self):
        scratch = tempfile.TemporaryDirectory(prefix="regress-build-test-")
        self.addCleanup(scratch.cleanup)
        self.dir = Path(scratch.name)


class RuntimeCopy(Scratch):
    def test_the_copy_follows_the_content_whatever_the_archive_s_time(self):
        archive = self.dir / "libkel.a"
        archive.write_bytes(b"first")
        copy = build.runtime_copy(self.dir / "build", archive)
        self.assertEqual(copy.read_bytes(), b"first")
        os.utime(copy, (1000, 1000))
        archive.touch()
        build.runtime_copy(self.dir / "build", archive)
        self.assertEqual(copy.stat().st_mtime, 1000, "an unchanged archive renewed the copy")
        archive.write_bytes(b"second")
        os.utime(archive, (10, 10))
        build.runtime_copy(self.dir / "build", archive)
        self.assertEqual(copy.read_bytes(), b"second")
        self.assertGreater(copy.stat().st_mtime, 1000)


class Lock(Scratch):
    def test_a_second_run_waits_for_the_first_and_says_so(self):
        holder = subprocess.Popen(
            [sys.executable, "-c", "import fcntl, sys; f = open(sys.argv[1], 'a'); "
             "fcntl.flock(f, fcntl.LOCK_EX); print('held', flush=True); sys.stdin.read()",
             str(self.dir / build.LOCK_FILE)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.addCleanup(holder.wait)
        self.addCleanup(holder.stdout.close)
        self.assertEqual(holder.stdout.readline(), "held\n")
        said, entered = io.StringIO(), threading.Event()

        def second_run():
            with contextlib.redirect_stderr(said), build.locked(self.dir):
                entered.set()

        waiting = threading.Thread(target=second_run)
        waiting.start()
        self.assertFalse(entered.wait(0.5), "entered while another run held the build")
        holder.stdin.close()
        waiting.join(10)
        self.assertTrue(entered.is_set())
        self.assertEqual(said.getvalue(), f"regress: waiting for another run to finish building {self.dir}\n")


class Progress(unittest.TestCase):
    def test_off_a_terminal_a_line_as_it_starts_and_at_each_tenth(self):
        shown = io.StringIO()
        progress = build.Progress("regress: building b", shown)
        progress.line("[0/2] Re-checking globbed directories...\n")
        progress.line("[1/2] Re-running CMake...\n")
        for done in range(1, 41):
            progress.line(f"[{done}/40] Building CXX object x{done}.o\n")
            progress.line("some compiler warning\n")
        lines = shown.getvalue().splitlines()
        self.assertEqual(len(lines), 12)
        self.assertEqual(lines[:3], ["regress: building b: 1/2", "regress: building b: 1/40",
                                     "regress: building b: 4/40"])
        self.assertEqual(lines[-1], "regress: building b: 40/40")


class AtomicWrite(Scratch):
    def test_a_failed_write_keeps_the_old_file_and_leaves_nothing_beside_it(self):
        target = self.dir / "suite.xml"
        target.write_text("old")
        with self.assertRaises(TypeError):
            files.write_atomically(target, 12)
        self.assertEqual(target.read_text(), "old")
        files.write_atomically(target, "new")
        self.assertEqual([p.name for p in self.dir.iterdir()], ["suite.xml"])
        self.assertEqual(target.read_text(), "new")
        umask = os.umask(0)
        os.umask(umask)
        self.assertEqual(target.stat().st_mode & 0o777, 0o666 & ~umask)


if __name__ == "__main__":
    unittest.main()
