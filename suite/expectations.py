"""Where each case's expected output comes from (its case file or an expectation set), the
verdict on an outcome, and the recording of a blessed set."""

from dataclasses import replace
from pathlib import Path

from . import cases as casefiles
from . import compare
from .files import shown


class Expectations:
    """Where each case's expected output comes from: its case file, or the expectation set, which
    may also mark a case as a known failure of its runtime. set_dir: the set to expect or to
    bless into (blessing says which), or None for the case files."""

    def __init__(self, cases_dir, set_dir=None, blessing=False):
        self.set_dir = set_dir
        self.blessing = blessing
        self.cases_dir = cases_dir
        self.loaded = {}

    def describe(self):
        if self.blessing:
            return (f"recording the outputs of cases not marked fixed into {shown(self.set_dir)}; "
                    "fixed cases are checked against the case files")
        if self.set_dir:
            return (f"the expectation set {shown(self.set_dir)}, "
                    "and the case files for cases marked fixed")
        return "the case files"

    def set_file(self, case):
        return shown(Path(self.set_dir) / f"{case.deliverable}.json")

    def for_case(self, case):
        """(expected, where it came from); expected None when the set lacks the case."""
        case_file = shown(Path(self.cases_dir) / f"{case.deliverable}.json")
        if not self.set_dir:
            return case.expected, case_file
        if case.deliverable not in self.loaded:
            self.loaded[case.deliverable] = casefiles.load_expectations(self.set_dir, case.deliverable)
        entry = self.loaded[case.deliverable].get(case.name)
        if case.fixed or (entry is not None and entry.stdout is None):
            if entry is None or not entry.known_failure:
                return case.expected, case_file
            return (replace(case.expected, known_failure=entry.known_failure),
                    f"{case_file}; a known failure in {self.set_file(case)}")
        return entry, self.set_file(case)

    def judge(self, case, outcome):
        """The verdict on one run of the case."""
        expected, where = self.for_case(case)
        if self.blessing and not case.fixed and not (expected and expected.known_failure):
            verdict = compare.Verdict(case, outcome, self.set_file(case), blessed=True)
            verdict.problems += compare.memcheck_problems(outcome)
            if not outcome.exited:
                verdict.problems.append(f"cannot bless: {outcome.detail}")
            return verdict
        return compare.judge(case, outcome, expected, where, bool(self.set_dir) and where == self.set_file(case))

    def bless_all(self, all_cases, verdicts):
        """Records the blessed outputs into the set: what that changed in each file."""
        blessings = []
        for deliverable in dict.fromkeys(c.deliverable for c in all_cases):
            recorded = {v.case.name: casefiles.Expected(v.outcome.stdout, v.outcome.stderr, v.outcome.status)
                        for v in verdicts
                        if v.blessed and v.passed and v.case.deliverable == deliverable}
            if recorded:
                names = [c.name for c in all_cases if c.deliverable == deliverable]
                blessings.append(casefiles.bless(self.set_dir, deliverable, names, recorded))
        return blessings
