"""./regress bisect over a repository of eight commits of kelrt: one writes every put out at once, one
breaks a case, one does not build. It names the commit, and leaves the repository as it was, also
when it cannot bisect or is stopped."""

import os
import re
import signal
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

from tests.perf.test_perf import unbuffered_patch
from tests.tracing.test_tracing import BROKEN_RESOLVE, BROKEN_WRITE, BUILD, ROOT, STARTER

# The runtime's own build: every source at once, unoptimised, to be quick.
BUILD_SCRIPT = f"""\
set -e
g++ -m32 -msse2 -mfpmath=sse -fwrapv -O0 -std=c++20 -I. -I{ROOT} -c kelrt/*.cc
ar rcs libkel.a *.o
"""


def git(repo, *args, **options):
    return subprocess.run(["git", "-C", str(repo), *args], check=True, capture_output=True, text=True,
                          env=dict(os.environ, GIT_OPTIONAL_LOCKS="0"), **options).stdout


def commit(repo, subject, changes):
    """Commits the changes: file -> new text, or (old, new) to replace in it."""
    for name, change in changes.items():
        path = repo / name
        path.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(change, tuple):
            text = path.read_text()
            assert change[0] in text, (name, change[0])
            change = text.replace(*change)
        path.write_text(change)
    git(repo, "add", "-A")
    git(repo, "commit", "-q", "-m", subject)
    return git(repo, "rev-parse", "HEAD").strip()


# The history's commits, oldest first, each with the runtime it leaves, by name: commits that
# change no source leave the one before theirs, and so do two halves that cancel out.
RUNTIMES = {"base": "matches soon", "notes": "matches soon", "breaks": "breaks", "no build": None,
            "builds": "breaks", "fixes": "fixed", "unbuffered": "unbuffered", "last": "unbuffered"}


def history(repo):
    """The eight commits of RUNTIMES, by name. The first resolves a separator at the start of a string
    where it should not, which a later commit fixes; between them, one breaks a layout."""
    repo.mkdir()
    git(repo, "init", "-q", "-b", "main")
    git(repo, "config", "user.email", "maintainer@example.org")
    git(repo, "config", "user.name", "A Maintainer")
    sources = {f"kelrt/{p.name}": p.read_text() for p in sorted((ROOT / "kelrt").glob("*.[ch]*"))}
    wrong, right = BROKEN_RESOLVE["text.cc"]
    sources["kelrt/text.cc"] = sources["kelrt/text.cc"].replace(wrong, right)
    made = {"base": commit(repo, "The runtime as first written", {**sources, "build.sh": BUILD_SCRIPT})}
    made["notes"] = commit(repo, "Notes on building", {"README": "sh build.sh\n"})
    made["breaks"] = commit(repo, "Negative places one column wider",
                            {f"kelrt/{name}": patch for name, patch in BROKEN_WRITE.items()})
    made["no build"] = commit(repo, "Half a change", {"kelrt/zcheck.cc": ("#include", "#inclde")})
    made["builds"] = commit(repo, "The other half", {"kelrt/zcheck.cc": ("#inclde", "#include")})
    made["fixes"] = commit(repo, "A separator at the start is found there", {"kelrt/text.cc": (right, wrong)})
    made["unbuffered"] = commit(repo, "Every put written out at once",
                                {f"kelrt/{name}": patch for name, patch in unbuffered_patch().items()})
    made["last"] = commit(repo, "More notes", {"README": "sh build.sh\nthen link libkel.a\n"})
    return made


def snapshot(repo):
    """All that a bisection must leave as it found it: the working tree's state, HEAD, every ref,
    the stash, the worktrees, the index, and every file of the repository's own with its size and time."""
    state = {what: git(repo, *args) for what, args in {
        "status": ["status", "--porcelain", "--untracked-files=all"], "head": ["rev-parse", "HEAD"],
        "branch": ["symbolic-ref", "HEAD"], "refs": ["for-each-ref"], "stash": ["stash", "list"],
        "worktrees": ["worktree", "list", "--porcelain"]}.items()}
    state["index"] = (repo / ".git" / "index").read_bytes()
    state["files"] = sorted((str(p.relative_to(repo)), p.stat().st_size, p.stat().st_mtime_ns)
                            for p in repo.rglob("*") if p.is_file())
    return state


def bisect_command(repo, good, bad, *options):
    return [sys.executable, "-m", "suite.bisect", "--source", str(repo), "--build", "sh build.sh",
            "--archive", "libkel.a", "--good", good, "--bad", bad, "--emulator", STARTER.setting,
            "--work", str(BUILD / "bisect-test"), *options]


class Bisection(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        scratch = tempfile.TemporaryDirectory(prefix="bisect-test-")
        cls.addClassCleanup(scratch.cleanup)
        cls.repo = Path(scratch.name) / "kel"
        cls.commits = history(cls.repo)
        # The maintainer's work in progress: a stash, a branch, a staged change, an edit, a new file.
        (cls.repo / "README").write_text("stashed\n")
        git(cls.repo, "stash", "-q")
        git(cls.repo, "branch", "topic", cls.commits["notes"])
        (cls.repo / "kelrt" / "text.cc").write_text((cls.repo / "kelrt" / "text.cc").read_text() + "// staged\n")
        git(cls.repo, "add", "kelrt/text.cc")
        (cls.repo / "README").write_text("edited\n")
        (cls.repo / "scratch.txt").write_text("mine\n")
        cls.tmp = Path(scratch.name) / "tmp"
        cls.tmp.mkdir()

    def bisect(self, good, bad, *options):
        """Runs the bisection, checks that it left the repository and the temporary directory as they
        were; its exit status and output."""
        before = snapshot(self.repo)
        done = subprocess.run(bisect_command(self.repo, good, bad, *options), capture_output=True, text=True,
                              cwd=ROOT, env=dict(os.environ, TMPDIR=str(self.tmp)))
        self.assertEqual(snapshot(self.repo), before)
        self.assertEqual(list(self.tmp.iterdir()), [])
        return done.returncode, done.stdout + done.stderr

    def test_the_commit_that_breaks_a_case_is_named_past_one_that_does_not_build(self):
        status, out = self.bisect(self.commits["base"], "main", "--only", "unwinding/", "--only", "splitcheck/")
        self.assertEqual(status, 0, out)
        # The good end fails splitcheck's cases, which the bad end passes: only what the bad end fails counts.
        bad_end = re.search(r"\nbad  \w+ More notes: fails (.*)\n", out)
        self.assertIsNotNone(bad_end, out)
        failing = bad_end.group(1).split(", ")
        self.assertIn("unwinding/handlers-innermost-first", failing)
        self.assertTrue(all(name.startswith("unwinding/") for name in failing), failing)
        self.assertIn(f"first bad commit: {self.commits['breaks']}\n  subject: Negative places one column wider", out)
        self.assertIn(f"fails there and passes at its parent {self.commits['notes'][:10]}:\n"
                      "    unwinding/handlers-innermost-first: FAIL", out)
        self.assertIn('call 16 of 37: _kel_writeint(7, -1): parent "7", first bad " 7"', out)
        self.assertRegex(out, rf"\[step 1 of about 3\] {self.commits['no build'][:10]} Half a change \.\.\. "
                              r"does not build, skipped: 'sh build.sh' exited with status 1: kelrt/zcheck.cc")
        self.assertIn(f"skipped, since they do not build: {self.commits['no build'][:10]} Half a change", out)
        # The notes leave the good end's archive: not linked or run again, and good for what is judged,
        # though the good end failed splitcheck there.
        self.assertIn(f"{self.commits['notes'][:10]} Notes on building ... good (the archive of "
                      f"{self.commits['base'][:10]}: neither relinked nor run again)", out)
        # However git bisect went, each runtime it built was linked and run once.
        built = {name for name, sha in self.commits.items() if RUNTIMES[name]
                 and (sha in (self.commits["base"], self.commits["last"]) or f"] {sha[:10]} " in out)}
        self.assertIn(f"linked and ran {len({RUNTIMES[name] for name in built})} archives, once each", out)

    def test_a_good_end_that_fails_stops_it(self):
        status, out = self.bisect(self.commits["breaks"], "main", "--only", "unwinding/")
        self.assertEqual(status, 2, out)
        self.assertIn(f"the good end {self.commits['breaks'][:10]} Negative places one column wider fails too: "
                      "unwinding/handlers-innermost-first", out)

    def test_an_end_that_does_not_build_stops_it(self):
        status, out = self.bisect(self.commits["base"], self.commits["no build"], "--only", "unwinding/")
        self.assertEqual(status, 2, out)
        self.assertIn("the bad end", out)
        self.assertIn("does not build", out)

    def test_a_commit_that_does_not_build_before_the_break_leaves_both_as_candidates(self):
        with tempfile.TemporaryDirectory(prefix="bisect-test-") as scratch:
            repo = Path(scratch) / "kel"
            repo.mkdir()
            git(repo, "init", "-q", "-b", "main")
            git(repo, "config", "user.email", "maintainer@example.org")
            git(repo, "config", "user.name", "A Maintainer")
            sources = {f"kelrt/{p.name}": p.read_text() for p in sorted((ROOT / "kelrt").glob("*.[ch]*"))}
            good = commit(repo, "The runtime", {**sources, "build.sh": BUILD_SCRIPT})
            half = commit(repo, "Half a change", {"kelrt/zcheck.cc": ("#include", "#inclde")})
            breaks = commit(repo, "The other half, and wider negative places",
                            {"kelrt/zcheck.cc": ("#inclde", "#include"),
                             **{f"kelrt/{name}": patch for name, patch in BROKEN_WRITE.items()}})
            done = subprocess.run(bisect_command(repo, good, breaks, "--only", "unwinding/"), capture_output=True,
                                  text=True, cwd=ROOT)
        out = done.stdout + done.stderr
        self.assertEqual(done.returncode, 1, out)
        self.assertIn("the first bad commit is one of these 2, which commits that do not build keep apart:", out)
        self.assertIn(f"\n  {half[:10]} Half a change\n", out)
        self.assertIn(f"\n  {breaks[:10]} The other half, and wider negative places\n", out)

    @unittest.skipIf(STARTER.emulated, "callgrind cannot run under the emulator, and times are too noisy to bisect")
    def test_a_performance_regression_is_found_by_perfs_figures(self):
        status, out = self.bisect(self.commits["base"], "main", "--perf", "--only", "argshow/many-arguments")
        self.assertEqual(status, 0, out)
        self.assertIn(f"first bad commit: {self.commits['unbuffered']}", out)
        self.assertIn(f"against its parent {self.commits['fixes'][:10]}:\n  regressions, worst first", out)
        self.assertRegex(out, r"\n    argshow/many-arguments: [\d,]+ system calls, was \d+ \(\+\d+%\): write 1 -> ")

    def test_a_stopped_bisection_leaves_the_repository_as_it_was(self):
        before = snapshot(self.repo)
        process = subprocess.Popen(bisect_command(self.repo, self.commits["base"], "main", "--only", "unwinding/"),
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, cwd=ROOT,
                                   env=dict(os.environ, TMPDIR=str(self.tmp)))
        for line in process.stdout:
            if line.startswith("bisect:"):
                break
        process.send_signal(signal.SIGTERM)
        out = process.communicate()[0]
        self.assertEqual(process.returncode, 128 + signal.SIGTERM, out)
        self.assertEqual(snapshot(self.repo), before)
        self.assertEqual(list(self.tmp.iterdir()), [])


if __name__ == "__main__":
    unittest.main()
