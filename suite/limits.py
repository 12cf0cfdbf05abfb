"""Each case's time limit: a few times its longest recorded passing run, and a floor besides."""

import json
from pathlib import Path

from .files import held, write_atomically

FILE_NAME = "case-seconds.json"
# A case is given FLOOR seconds (a program's start alone can take some hundredths under load)
# and FACTOR times the longest time a passing run of it took, but never more than its case
# file's timeout. Until a passing run is recorded, the timeout is its limit.
FACTOR = 3
FLOOR = 0.3


class Limits:
    """The longest passing run of each case, in native seconds, kept in the build directory;
    runs under the emulator count as their time divided by its slowdown."""

    def __init__(self, build_dir, slowdown):
        self.path = Path(build_dir) / FILE_NAME
        self.slowdown = slowdown
        self.recorded = self._read()

    def _read(self):
        try:
            recorded = json.loads(self.path.read_text(encoding="utf-8"))
        except (OSError, ValueError):
            return {}
        return {k: v for k, v in recorded.items() if isinstance(v, (int, float))} \
            if isinstance(recorded, dict) else {}

    def for_case(self, case):
        """The case's time limit in native seconds."""
        longest = self.recorded.get(case.id)
        if longest is None:
            return case.timeout
        return min(case.timeout, FLOOR + FACTOR * longest)

    def record(self, verdicts):
        """Keeps the run times of the cases that passed, and writes them all out with what another
        run has recorded meanwhile (two runs at once, as ctest -j gives, each keep theirs)."""
        self.path.parent.mkdir(parents=True, exist_ok=True)
        with held(self.path.with_name(FILE_NAME + ".lock")):
            passed = [(v.case.id, round(v.outcome.seconds / self.slowdown, 4))
                      for v in verdicts if v.passed and v.outcome.exited]
            for case_id, seconds in [*self._read().items(), *passed]:
                self.recorded[case_id] = max(seconds, self.recorded.get(case_id, 0.0))
            write_atomically(self.path, json.dumps(self.recorded, indent=1, sort_keys=True) + "\n")
