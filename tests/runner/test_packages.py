"""./regress installs only what the command needs (a plain run no fuzzing or valgrind toolchain),
and gets past a mirror whose indices fail to download, stopping only when the install fails."""

import os
import re
import subprocess
import tempfile
import unittest
from pathlib import Path

from tests.runner.support import ROOT

# Stand-ins for Debian's package tools: nothing is installed, and installing does nothing.
FAKES = {"dpkg-query": "exit 1", "dpkg": '[ "$1" = --print-architecture ] && echo amd64; exit 0',
         "apt-cache": "exit 0", "apt-get": "exit 0"}


def regress_with(fakes, *args):
    """./regress ARGS with stand-ins for the package tools (name -> shell body); what it did."""
    with tempfile.TemporaryDirectory(prefix="regress-packages-") as scratch:
        for name, body in {**FAKES, **fakes}.items():
            fake = Path(scratch) / name
            fake.write_text(f"#!/bin/sh\n{body}\n")
            fake.chmod(0o755)
        return subprocess.run([str(ROOT / "regress"), *args], capture_output=True, text=True, timeout=120,
                              env={**{k: v for k, v in os.environ.items() if k != "KEL_TOOLCHAIN"},
                                   "PATH": f"{scratch}:{os.environ['PATH']}", "KEL_APT_PAUSE": "0"})


# An update that fails as a mirror in mid-sync makes it fail, and an install that still works.
FLAKY_MIRROR = {"apt-get": 'if [ "$1" = update ]; then echo "File has unexpected size"; exit 100; fi; exit 0',
                "apt-cache": "exit 1"}


class PackagesByCommand(unittest.TestCase):
    def wanted(self, *args, fakes=None):
        """The packages ./regress ARGS asks for when none is installed."""
        done = regress_with(fakes or {}, *args)
        found = re.search(r"^regress: (?:installing|the suite needs packages that are not installed:) (.*)$",
                          done.stdout + done.stderr, re.M)
        self.assertIsNotNone(found, done.stdout + done.stderr)
        return set(found.group(1).split())

    def test_a_plain_run_asks_only_for_the_build_and_the_cases(self):
        plain = self.wanted("--list", "--emulator", "none")
        self.assertEqual(plain, {"g++-multilib", "ninja-build", "cmake", "libgtest-dev", "python3"})
        self.assertEqual(self.wanted("--list", "--emulator", "none", "--valgrind") - plain,
                         {"valgrind", "libc6-dbg:i386"})

    def test_perf_and_bisect_ask_for_their_tools_and_their_help_for_nothing(self):
        plain = self.wanted("--list", "--emulator", "none")
        self.assertEqual(self.wanted("perf", "--emulator", "none", "--runtime", "/nowhere/libkel.a") - plain,
                         {"valgrind"})
        self.assertEqual(self.wanted("bisect", "--emulator", "none") - plain, {"git"})
        self.assertEqual(self.wanted("bisect", "--emulator", "none", "--perf") - plain, {"git", "valgrind"})
        for command in ("perf", "bisect"):
            done = regress_with({}, command, "--help")
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertIn(f"usage: ./regress {command}", done.stdout)
            self.assertNotRegex(done.stdout + done.stderr, "installing|not installed")

    def test_each_toolchain_asks_for_its_own_compiler(self):
        base = {"ninja-build", "cmake", "libgtest-dev", "python3"}
        arm = {"dpkg": '[ "$1" = --print-architecture ] && echo arm64; exit 0'}
        for options, fakes, compilers in [
                (["--toolchain", "clang"], None, {"g++-multilib", "clang-14"}),
                (["--toolchain", "cross"], None, {"g++-i686-linux-gnu"}),
                ([], arm, {"g++-i686-linux-gnu"})]:
            with self.subTest(options=options, fakes=fakes):
                self.assertEqual(self.wanted("--list", "--emulator", "none", *options, fakes=fakes) - base, compilers)

    def test_multilib_is_not_installed_over_the_cross_compiler(self):
        done = regress_with({"i686-linux-gnu-g++": "exit 0"}, "--list", "--toolchain", "gcc")
        self.assertEqual(done.returncode, 2)
        self.assertIn("g++-multilib cannot be installed beside the i686 cross compiler", done.stderr)
        self.assertNotIn("installing", done.stdout)

    def test_mutants_help_and_a_refused_command_line_install_nothing(self):
        failing_install = {"apt-get": "echo apt-get was run; exit 100"}
        for words, status, said in ((["--help"], 0, "usage: ./regress mutants"),
                                    (["--sample", "0"], 2, "-j and --sample need at least 1"),
                                    (["--source", "/no/such/dir", "--build", "make", "--archive", "a.a"], 2,
                                     "--source: no directory /no/such/dir")):
            with self.subTest(words=words):
                done = regress_with(failing_install, "mutants", *words)
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertIn(said, done.stdout + done.stderr)
                self.assertNotRegex(done.stdout + done.stderr, r"python3-clang|apt-get was run")
        # A command line it takes goes on to ask for what the tool needs (and stops, here, as the
        # install fails).
        done = regress_with(failing_install, "mutants", "--at", "kelrt/write.cc:7", "--emulator", "none")
        self.assertRegex(done.stdout + done.stderr, r"regress: (installing|the suite needs packages that are "
                                                    r"not installed:) .*python3-clang")
        self.assertEqual(done.returncode, 2)



@unittest.skipUnless(os.geteuid() == 0, "./regress installs only when run as root")
class FlakyMirror(unittest.TestCase):
    def test_a_failing_update_is_retried_then_the_install_tried_anyway(self):
        done = regress_with(FLAKY_MIRROR, "--list", "--emulator", "none", "--valgrind", "--only", "argshow/")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("argshow/", done.stdout)
        self.assertEqual(done.stderr.count("apt-get update failed (try"), 2 * 2, done.stderr)
        self.assertIn("installing from the indices that did download", done.stderr)

    def test_only_a_failed_install_stops_the_run_with_the_command_to_run_by_hand(self):
        broken = {**FLAKY_MIRROR, "apt-get": FLAKY_MIRROR["apt-get"].replace("exit 0", "exit 100")}
        done = regress_with(broken, "--list", "--emulator", "none")
        self.assertEqual(done.returncode, 2)
        self.assertIn("run by hand: apt-get update && apt-get install -y ninja-build cmake libgtest-dev python3 "
                      "g++-multilib", done.stderr)
        self.assertNotIn("argshow/", done.stdout)


if __name__ == "__main__":
    unittest.main()
