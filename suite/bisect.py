"""./regress bisect: the commit of a runtime's repository that broke a case (or, with --perf, made a workload slower), found by git bisect in a clone of its own."""

import argparse
import math
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from . import build
from . import cases as casefiles
from . import command
from . import execute
from . import explain
from . import launcher
from . import perf_verdict
from . import performance
from . import runtime_check
from . import selection
from . import source_build
from . import trace
from . import workloads as workloadfiles
from .command import FAILED, PASSED
from .expectations import Expectations
from .files import sha256
from .perf_verdict import many

FIRST_BAD = re.compile(r"^([0-9a-f]{40}) is the first bad commit", re.M)
ROUGHLY = re.compile(r"\(roughly (\d+) steps?\)")
CANDIDATES = re.compile(r"The first bad commit could be any of:\n((?:[0-9a-f]{40}\n)+)")

EPILOG = """\
exit status: 0 when it names the first bad commit, 1 when commits that do not build leave several
candidates (all listed), 2 when it cannot bisect: set-up, GOOD failing the selection, BAD passing it,
an end that does not build.

examples:
  ./regress bisect --source ~/kel --build make --archive libkel.a --good v1.2 --bad HEAD
  ./regress bisect --source ~/kel --build make --archive libkel.a --good v1.2 --bad HEAD --only 'evalix/*'
  ./regress bisect --source ~/kel --build make --archive libkel.a --good v1.2 --bad HEAD --perf
"""


class CannotBisect(Exception):
    """The bisection cannot start or go on; the message says what it saw."""


def git_environment():
    """git's environment for the clone: none of the caller's GIT_ variables (a GIT_DIR would send
    every command to the user's own repository), and messages in English, to be read back."""
    return {**{k: v for k, v in os.environ.items() if not k.startswith("GIT_")}, "LC_ALL": "C"}


def run_git(directory, *args):
    return subprocess.run(["git", "-C", str(directory), *args], capture_output=True, text=True,
                          env=git_environment(), errors="replace")


def git(directory, *args, allowed=None):
    """git's output; a failure stops the bisection, unless its output matches allowed (git bisect
    fails when skipped commits leave it several candidates, and says which)."""
    done = run_git(directory, *args)
    if done.returncode != 0 and not (allowed and allowed.search(done.stdout)):
        raise CannotBisect(f"git {' '.join(args)} in {directory}: {done.stderr.strip() or done.stdout.strip()}")
    return done.stdout


def succeeds(directory, *args):
    return run_git(directory, *args).returncode == 0


def resolved(source, revision, end):
    """The commit a revision names in the user's repository, which is only read."""
    done = run_git(source, "rev-parse", "--verify", "--quiet", f"{revision}^{{commit}}")
    if done.returncode != 0:
        raise CannotBisect(f"--{end} {revision}: no such commit in {source}")
    return done.stdout.strip()


class Commit:
    def __init__(self, repository, sha):
        self.sha = sha
        self.subject, self.date = git(repository, "show", "-s", "--format=%s%x00%ci", sha).rstrip("\n").split("\0")

    def __str__(self):
        return f"{self.sha[:10]} {self.subject}"


class Builds:
    """Each commit built once in the clone with the maintainer's command; the archives are kept by
    content, and a commit whose archive is one already made is known by it."""

    def __init__(self, clone, command, archive, store):
        self.clone, self.command, self.archive, self.store = clone, command, archive, store
        self.made = {}   # commit -> the kept archive, or why there is none
        self.first = {}  # an archive's content -> the first commit that made it

    def of(self, sha):
        if sha not in self.made:
            git(self.clone, "checkout", "--quiet", "--force", "--detach", sha)
            # What an earlier commit's build left must not stand in for this one's.
            git(self.clone, "clean", "-fdxq")
            try:
                made = source_build.build_archive(self.clone, self.command, self.archive)
            except source_build.NotBuilt as error:
                self.made[sha] = str(error)
                return self.made[sha]
            content = sha256(made)
            kept = self.store / f"{content}.a"
            shutil.copyfile(made, kept)
            trouble = runtime_check.refusal(kept)
            self.made[sha] = trouble.splitlines()[0] if trouble else kept
            self.first.setdefault(content, sha)
        return self.made[sha]

    def same_as(self, sha):
        """The earlier commit that made the same archive as this one, or None."""
        made = self.made.get(sha)
        first = self.first.get(sha256(made)) if isinstance(made, Path) else None
        return first if first != sha else None


class Judge:
    """What is wrong at an archive, cached by its content: the cases that fail, or with --perf the
    workloads whose figures regressed against GOOD's. The programs are linked in one tree, which
    the build relinks only when the archive's content differs from the last."""

    def __init__(self, args, starter):
        self.args, self.starter = args, starter
        self.linked = Path(args.work) / "tested" / "libkel.a"
        self.tree = build.runtime_build_dir(build.DEFAULT_BUILD, self.linked)
        self.seen = {}     # an archive's content -> what is wrong there
        self.runs = 0      # archives linked and judged
        self.figures = {}  # with --perf: an archive's content -> its workloads' figures
        self.reference = None
        if args.perf:
            every, _ = workloadfiles.load(args.cases)
            self.chosen = selection.selected(every, args.only)
        else:
            self.chosen = selection.selected(casefiles.load_cases(args.cases), args.only)
            # Each case gets its whole timeout, not the few times its recorded run that ./regress
            # gives: one cut short on a busy machine would send the search the wrong way.
            self.expectations = Expectations(args.cases, args.expect)

    def link(self, archive):
        self.linked.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(archive, self.linked)
        try:
            build.ensure_built(self.tree, self.linked, quiet=True, emulator=self.starter.emulator,
                               targets=sorted({c.program for c in self.chosen}))
        except build.BuildFailed as error:
            raise CannotBisect(f"the programs do not link with {archive}: {error}") from None
        return self.tree / "bin"

    def knows(self, archive):
        """Whether the archive's content has been judged already: then it is neither linked nor run."""
        return sha256(archive) in self.seen

    def wrong(self, archive):
        """{case or workload id: what went wrong} at the archive, of what is judged now; empty when
        all is well."""
        key = sha256(archive)
        if key not in self.seen:
            self.runs += 1
            bin_dir = self.link(archive)
            if self.args.perf:
                [figures] = performance.measure(self.chosen, [performance.Runtime("new", bin_dir, self.linked)],
                                                self.starter, self.args.jobs)
                self.figures[key] = figures
                self.seen[key] = self.regressions(figures)
            else:
                verdicts = execute.run_cases(self.chosen, bin_dir, self.starter, self.expectations.judge,
                                             self.args.jobs)
                self.seen[key] = {v.case.id: v.word for v in verdicts if not v.passed}
        # An archive judged before the selection was narrowed may have failed more than it holds.
        ids = {c.id for c in self.chosen}
        return {k: v for k, v in self.seen[key].items() if k in ids}

    def regressions(self, figures):
        if self.reference is None:  # GOOD's figures, the reference of every later commit
            self.reference = figures
        found = {w: f"not measured: {f}" for w, f in figures.items() if isinstance(f, str)}
        for change in perf_verdict.changes(self.reference, figures, self.args.threshold):
            if change.regression:
                found.setdefault(change.workload, "regressed")
        return found

    def regressed_between(self, before, after):
        """With --perf: the figures that regressed from one archive to the other, in words."""
        changes = perf_verdict.changes(self.figures[sha256(before)], self.figures[sha256(after)],
                                      self.args.threshold)
        return perf_verdict.verdict_lines("regressions", [c for c in changes if c.regression], verbose=True)

    def narrow(self, bad):
        """After the ends: only what BAD got wrong is judged at the commits between."""
        self.chosen = [c for c in self.chosen if c.id in bad]


def listed(wrong, limit=6):
    names = sorted(wrong)
    return ", ".join(names[:limit]) + (f" and {len(names) - limit} more" if len(names) > limit else "")


def check_ends(good, bad, builds, judge, say):
    """GOOD must build and pass, BAD build and fail: what BAD gets wrong becomes the selection.
    GOOD is judged first: with --perf its figures are the reference."""
    wrong = {}
    for end, commit in (("good", good), ("bad", bad)):
        made = builds.of(commit.sha)
        if isinstance(made, str):
            raise CannotBisect(f"the {end} end {commit} does not build: {made}")
        wrong[end] = judge.wrong(made)
    what = "regresses" if judge.args.perf else "fails"
    if not wrong["bad"]:
        raise CannotBisect(f"the bad end {bad} {what} nothing selected: nothing to bisect")
    both = {k: v for k, v in wrong["good"].items() if k in wrong["bad"] or judge.args.perf}
    if both:
        raise CannotBisect(f"the good end {good} {what} too: {listed(both)}")
    say(f"good {good}: builds, and {'is the reference' if judge.args.perf else 'passes the selection'}")
    say(f"bad  {bad}: {what} {listed(wrong['bad'])}")
    judge.narrow(wrong["bad"])


def step_word(wrong, perf):
    if wrong:
        return f"bad: {'regresses' if perf else 'fails'} {listed(wrong)}"
    return "good"


def bisect(clone, good, bad, builds, judge, say):
    """Runs git bisect in the clone; (the first bad commit or None, the candidates, the skipped)."""
    out = git(clone, "bisect", "start", bad.sha, good.sha)
    skipped, step = [], 0
    while not FIRST_BAD.search(out) and not CANDIDATES.search(out):
        sha = git(clone, "rev-parse", "HEAD").strip()
        commit = Commit(clone, sha)
        step += 1
        left = ROUGHLY.search(out)
        about = step + int(left.group(1)) if left else step
        made = builds.of(sha)
        if isinstance(made, str):
            skipped.append(commit)
            word, verdict = f"does not build, skipped: {made}", "skip"
        else:
            known = judge.knows(made)
            wrong = judge.wrong(made)
            word = step_word(wrong, judge.args.perf)
            if known:
                word += f" (the archive of {builds.same_as(sha)[:10]}: neither relinked nor run again)"
            verdict = "bad" if wrong else "good"
        say(f"[step {step} of about {about}] {commit} ... {word}")
        out = git(clone, "bisect", verdict, allowed=CANDIDATES)
    found = FIRST_BAD.search(out)
    candidates = CANDIDATES.search(out)
    return (found.group(1) if found else None,
            candidates.group(1).split() if candidates else [], skipped)


def explained(first, parent, builds, judge, starter, args):
    """The cases that fail at the first bad commit and pass at its parent, each with what failed,
    and the explanation of the first of them against the parent's archive."""
    made = builds.of(parent.sha)
    if isinstance(made, str):
        return {}, [f"its parent {parent} does not build, so nothing is compared with it: {made}"]
    now, before = judge.wrong(builds.of(first.sha)), judge.wrong(made)
    new = {k: v for k, v in now.items() if k not in before}
    if args.perf:
        return new, judge.regressed_between(made, builds.of(first.sha))
    if not new:
        return new, []
    case = next(c for c in judge.chosen if c.id == sorted(new)[0])
    kept = []
    for name, archive in (("parent", made), ("first-bad", builds.of(first.sha))):
        kept.append(Path(args.work) / name / "libkel.a")
        kept[-1].parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(archive, kept[-1])
    try:
        for archive in kept:
            trace.build_traced(build.DEFAULT_BUILD, archive, [case.program], True, starter.emulator)
    except build.BuildFailed as error:
        return new, [f"cannot explain: the traced build failed: {error}"]
    bins = [build.traced_build_dir(build.DEFAULT_BUILD, a) / "bin" for a in kept]
    return new, [f"explanation of {case.id}, against the parent's archive: the first call that differs"] + \
        [f"  {line}" for line in explain.explain(case, bins, ("parent", "first bad"), starter)]


def parse_args(argv):
    p = argparse.ArgumentParser(
        prog="./regress bisect", formatter_class=argparse.RawDescriptionHelpFormatter, epilog=EPILOG,
        description="Find the commit of a kel runtime's git repository that first fails the suite's "
                    "cases (or, with --perf, regresses a workload's figures), with git bisect in a "
                    "clone of its own: the repository itself is only read.")
    p.add_argument("--source", metavar="DIR", required=True, help="the runtime's git repository, e.g. --source ~/kel")
    p.add_argument("--build", metavar="CMD", required=True, dest="build_command",
                   help="the shell command that builds the archive, run at the top of the clone, e.g. --build make")
    p.add_argument("--archive", metavar="PATH", required=True,
                   help="the archive the command makes, relative to the top, e.g. --archive libkel.a")
    p.add_argument("--good", metavar="REV", required=True, help="a commit that passes, e.g. --good v1.2")
    p.add_argument("--bad", metavar="REV", required=True, help="a later commit that fails, e.g. --bad HEAD")
    p.add_argument("--only", metavar="PATTERN", action="append", default=[],
                   help="judge only the matching cases (or workloads, with --perf), as ./regress --only takes "
                        "them; the default is what BAD gets wrong of them all, e.g. --only 'evalix/*'")
    p.add_argument("--cases", metavar="DIR", default=str(casefiles.CASES_DIR),
                   help="the case files, e.g. the cases a hunt saved (default: suite/cases), e.g. --cases hunted")
    p.add_argument("--expect", metavar="SET", help="judge the cases not marked fixed by this expectation set")
    p.add_argument("--perf", action="store_true",
                   help="bisect a performance regression: a commit is bad when a workload's figures "
                        "regress against GOOD's, by ./regress perf's limits")
    p.add_argument("--threshold", metavar="PCT", type=float, default=perf_verdict.DEFAULT_THRESHOLD,
                   help=f"with --perf: as ./regress perf --threshold (default {perf_verdict.DEFAULT_THRESHOLD:g})")
    p.add_argument("-j", "--jobs", metavar="N", type=int, default=len(os.sched_getaffinity(0)),
                   help="runs at once (default: all cores)")
    p.add_argument("--work", metavar="DIR", default=str(build.DEFAULT_BUILD / "bisect"),
                   help="where the archives tested last, of the first bad commit and of its parent are "
                        "kept, for their builds (default: build/bisect)")
    launcher.add_option(p)
    args = p.parse_args(argv)
    if Path(args.archive).is_absolute():
        p.error("--archive is relative to the top of the repository: the command runs in a clone")
    if args.perf and args.expect:
        p.error("--perf measures figures: it takes no --expect")
    return args


def run(args, scratch, say):
    source = Path(args.source).resolve()
    if not succeeds(source, "rev-parse", "--git-dir"):
        raise CannotBisect(f"--source {args.source}: not a git repository")
    good_sha, bad_sha = resolved(source, args.good, "good"), resolved(source, args.bad, "bad")
    if good_sha == bad_sha or not succeeds(source, "merge-base", "--is-ancestor", good_sha, bad_sha):
        raise CannotBisect(f"--good {args.good} is not an earlier commit than --bad {args.bad} on its history")
    starter = launcher.choose(args.emulator)
    judge = Judge(args, starter)
    clone = scratch / "clone"
    # A clone that borrows the repository's objects: nothing in the repository is written.
    git(scratch, "clone", "--quiet", "--shared", "--no-checkout", str(source), clone.name)
    (scratch / "archives").mkdir()
    builds = Builds(clone, args.build_command, args.archive, scratch / "archives")
    good, bad = Commit(clone, good_sha), Commit(clone, bad_sha)
    count = int(git(clone, "rev-list", "--count", f"{good_sha}..{bad_sha}"))
    say(f"bisect: {count} commit{'s' if count != 1 else ''} from {good} to {bad}, about "
        f"{max(1, math.ceil(math.log2(count))) if count > 1 else 0} steps; "
        f"{'figures as ./regress perf measures them' if args.perf else 'cases'}; programs run {starter.describe()}")
    check_ends(good, bad, builds, judge, say)
    first, candidates, skipped = bisect(clone, good, bad, builds, judge, say)
    lines = []
    if skipped:
        lines.append("skipped, since they do not build: " + ", ".join(str(c) for c in skipped))
    if first is None:
        lines.append(f"the first bad commit is one of these {len(candidates)}, which commits that do not "
                     "build keep apart:")
        lines += [f"  {Commit(clone, sha)}" for sha in candidates]
        return FAILED, lines + [counts(builds, judge)]
    commit = Commit(clone, first)
    parent = Commit(clone, git(clone, "rev-parse", f"{first}^").strip())
    lines += [f"first bad commit: {commit.sha}", f"  subject: {commit.subject}", f"  date:    {commit.date}"]
    new, explanation = explained(commit, parent, builds, judge, starter, args)
    if args.perf:
        lines.append(f"  against its parent {parent.sha[:10]}:")
        lines += [f"  {line}" for line in explanation]
    else:
        if new:
            lines.append(f"  fails there and passes at its parent {parent.sha[:10]}:")
            lines += [f"    {key}: {word}" for key, word in sorted(new.items())]
        lines += [f"  {line}" for line in explanation]
    return PASSED, lines + [counts(builds, judge)]


def counts(builds, judge):
    return (f"built {many(len(builds.made), 'commit')}; linked and ran {many(judge.runs, 'archive')}, "
            "once each: a commit whose archive was judged already costs neither")


def main(argv, out=sys.stdout):
    args = parse_args(argv)
    say = lambda text: print(text, file=out, flush=True)
    started = time.monotonic()
    try:
        with tempfile.TemporaryDirectory(prefix="regress-bisect-") as scratch:
            status, lines = run(args, Path(scratch), say)
    except (CannotBisect, launcher.LaunchError, casefiles.CaseFileError, selection.SelectionError,
            workloadfiles.WorkloadError) as error:
        return command.refuse("regress bisect", str(error))
    say("\n".join(lines))
    say(f"took {time.monotonic() - started:.0f} s")
    return status


if __name__ == "__main__":
    command.run("regress bisect", main)
