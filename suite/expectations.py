"""Where each case's expected output comes from (its case file or an expectation set), the
verdict on an outcome, and the recording of a blessed set."""

import signal
from dataclasses import dataclass, field, replace
from pathlib import Path

from . import cases as casefiles
from . import compare
from .files import shown


def _blessable_signal(case, outcome):
    """Whether the signal that killed the program is an ending to record: the one the case file
    expects, or SIGPIPE where the case's reader goes away, which a runtime may leave to the system."""
    if outcome.ending != "signal":
        return False
    return outcome.status in (casefiles.signal_number(case.expected.signal),
                              signal.SIGPIPE if case.stdout_closed_after is not None else None)


def _recorded(case, outcome):
    """An outcome as an expectation set holds it, with the fingerprint of the case's run."""
    ending = ({"status": None, "signal": signal.Signals(outcome.status).name} if outcome.ending == "signal"
              else {"status": outcome.status})
    return casefiles.Expected(outcome.stdout, outcome.stderr, fingerprint=casefiles.fingerprint(case), **ending)


@dataclass
class Survey:
    """What an expectation set holds beside the cases as they are now."""
    differing: int = 0      # entries with outputs of their own, which differ from the case files'
    changed: list = field(default_factory=list)       # case ids changed since their entries were blessed
    gone: list = field(default_factory=list)          # case ids of entries whose case no longer exists
    unfingerprinted: int = 0  # entries blessed before entries kept a fingerprint

    def lines(self, set_dir):
        said = [f"the expectation set {set_dir} holds {self.differing} entr{'y' if self.differing == 1 else 'ies'} "
                f"that differ{'s' if self.differing == 1 else ''} from the case files"]
        if self.changed:
            said.append(f"{len(self.changed)} of them for cases changed since they were blessed (re-bless or drop): "
                        + ", ".join(self.changed))
        if self.gone:
            said.append(f"{len(self.gone)} entr{'y' if len(self.gone) == 1 else 'ies'} for cases that no longer "
                        "exist (the next --bless drops them): " + ", ".join(self.gone))
        if self.unfingerprinted:
            said.append(f"{self.unfingerprinted} entr{'y' if self.unfingerprinted == 1 else 'ies'} blessed before "
                        "entries kept the fingerprint of their case: taken as current, since a change cannot be "
                        "seen; the next --bless of those cases adds it")
        return said


class Expectations:
    """Where each case's expected output comes from: its case file, or the expectation set, which
    holds the entries that differ from the case files and may also mark a case as a known failure
    of its runtime. set_dir: the set to expect or to bless into (blessing says which), or None
    for the case files."""

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
                    "and the case files for cases marked fixed or not in the set")
        return "the case files"

    def set_file(self, case):
        return shown(Path(self.set_dir) / f"{case.deliverable}.json")

    def entries(self, deliverable):
        if deliverable not in self.loaded:
            self.loaded[deliverable] = casefiles.load_expectations(self.set_dir, deliverable)
        return self.loaded[deliverable]

    def changed_since_blessed(self, case):
        """Whether the set's entry for the case was blessed for another run of it."""
        entry = self.entries(case.deliverable).get(case.name) if self.set_dir else None
        return bool(entry and entry.fingerprint and entry.fingerprint != casefiles.fingerprint(case))

    def for_case(self, case):
        """(expected, where it came from): the set's entry where it has one, else the case file's."""
        case_file = shown(Path(self.cases_dir) / f"{case.deliverable}.json")
        entry = self.entries(case.deliverable).get(case.name) if self.set_dir else None
        if entry is None:
            return case.expected, case_file
        if case.fixed or entry.stdout is None:
            if not entry.known_failure:
                return case.expected, case_file
            return (replace(case.expected, known_failure=entry.known_failure),
                    f"{case_file}; a known failure in {self.set_file(case)}")
        return entry, self.set_file(case)

    def kept(self, case):
        """The outputs a case kept to run by hand is to give: those it is judged against, or its
        case file's where the set's entry was blessed for another run of it."""
        return case.expected if self.changed_since_blessed(case) else self.for_case(case)[0]

    def judge(self, case, outcome):
        """The verdict on one run of the case."""
        expected, where = self.for_case(case)
        if self.blessing and not case.fixed and not expected.known_failure:
            verdict = compare.Verdict(case, outcome, self.set_file(case), blessed=True)
            verdict.problems += compare.memcheck_problems(outcome)
            if not (outcome.exited or _blessable_signal(case, outcome)):
                verdict.problems.append(f"cannot bless: {outcome.detail}")
            return verdict
        if self.changed_since_blessed(case):
            return compare.changed_since_blessed(case, outcome, self.set_file(case))
        return compare.judge(case, outcome, expected, where)

    def survey(self, all_cases):
        """What the set holds beside the cases as they are now."""
        survey = Survey()
        by_id = {c.id: c for c in all_cases}
        for path in sorted(Path(self.set_dir).glob("*.json")):
            for name, entry in casefiles.load_expectations(self.set_dir, path.stem).items():
                case = by_id.get(f"{path.stem}/{name}")
                if case is None:
                    survey.gone.append(f"{path.stem}/{name}")
                    continue
                survey.differing += entry.stdout is not None
                survey.unfingerprinted += not entry.fingerprint
                if self.changed_since_blessed(case):
                    survey.changed.append(case.id)
        return survey

    def bless_all(self, all_cases, verdicts):
        """Records into the set the blessed outputs that differ from the case files: what that
        changed in each file."""
        blessings = []
        in_set = [p.stem for p in sorted(Path(self.set_dir).glob("*.json"))]
        for deliverable in dict.fromkeys([c.deliverable for c in all_cases] + in_set):
            blessed = [v for v in verdicts if v.blessed and v.passed and v.case.deliverable == deliverable]
            matching = [v.case.name for v in blessed
                        if compare.judge(v.case, v.outcome, v.case.expected, "").passed]
            recorded = {v.case.name: _recorded(v.case, v.outcome) for v in blessed if v.case.name not in matching}
            names = [c.name for c in all_cases if c.deliverable == deliverable]
            if blessed or any(n not in names for n in self.entries(deliverable)):
                blessings.append(casefiles.bless(self.set_dir, deliverable, names, recorded, matching))
        return blessings
