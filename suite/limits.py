"""Each case's time limit: learned from the recent passing runs of the same programs, given more
while the program still reads or writes, and grown once the run is known to be slow."""

import json
import statistics
import threading
from pathlib import Path

from .files import held, write_atomically

FILE_NAME = "case-seconds.json"
# A case is given FLOOR seconds (a program's start alone can take some hundredths under load) and
# FACTOR times its typical passing run, but never more than its case file's timeout. Its typical
# run is the median of the last KEPT passing runs of the same programs, so that one run on a
# loaded machine does not lengthen its limit for good. Until a passing run is recorded, the
# timeout is its limit.
FACTOR = 3
FLOOR = 0.3
KEPT = 5
# The first runs that go past their learned limit without reading or writing anything are given
# more, up to their timeout: once one of them ends, the programs are known to be slow, and every
# limit grows by what it measured. A program that loops for ever costs that much only this often
# (and the runs past their limits meanwhile wait for the answer). The more is at least
# CONFIRMING_SECONDS, the timeout of most cases, since a slow runtime can be a hundred times slower
# than its record in one case (a pause at each line end); and at most CONFIRMING times the learned
# limit beyond that, so that a long case that takes a confirmation does not hold the whole run
# for its long timeout.
CONFIRMATIONS = 2
CONFIRMING = 5
CONFIRMING_SECONDS = 20
# How often a run past its limit looks again while a confirmation is still under way.
RECHECK = 0.05
TIMEOUT = "the case's timeout"


class Pace:
    """How much slower than their records the programs run in this run: learned from the runs that
    went past their learned limit and still ended, and shared by every case's allowance."""

    def __init__(self, confirmations=CONFIRMATIONS):
        self.lock = threading.Lock()
        self.slowness = 1.0
        self.unused = confirmations
        self.pending = 0

    def confirm(self):
        """Takes a confirmation: True when one was left."""
        with self.lock:
            if not self.unused:
                return False
            self.unused -= 1
            self.pending += 1
            return True

    def awaiting(self, own=False):
        """Whether a confirmation is still under way, which may yet show the run to be slow; own:
        the asking run holds one itself, which does not count."""
        with self.lock:
            return self.pending > own

    def settle(self, confirmed, measured):
        """A run past its limit has ended: confirmed, whether it held a confirmation; measured, how
        many times its typical time it took when it ended by itself (None when it was killed)."""
        with self.lock:
            self.pending -= confirmed
            if measured is not None:
                self.slowness = max(self.slowness, measured)


class Allowance:
    """How long one run of a case may go on, in native seconds: `first` at the start, more as
    `beyond` decides each time that runs out, never more than `ceiling`; `reason` says where the
    allowance in force came from, for the report of a hang."""

    def __init__(self, ceiling, typical=None, source="", factor=1.0, pace=None):
        self.ceiling = ceiling * factor
        self.typical, self.source, self.factor = typical, source, factor
        self.pace = pace or Pace(0)
        self.confirmed = False
        self.first = self.now()
        self.reason = self.explained() if self.first < self.ceiling else TIMEOUT

    def learned(self, slowness=1.0):
        return (FLOOR + FACTOR * self.typical * slowness) * self.factor

    def now(self):
        """The limit, with what the run has learned of the programs' pace so far."""
        if self.typical is None:
            return self.ceiling
        return min(self.ceiling, self.learned(self.pace.slowness))

    def explained(self):
        slower = f" x {self.pace.slowness:.3g} (how much slower this run found the programs)" \
            if self.pace.slowness > 1 else ""
        scale = f", times --timeout-factor {self.factor:g}" if self.factor != 1 else ""
        return (f"{FLOOR:g} s + {FACTOR} x {self.typical:.3g} s{slower}, {self.typical:.3g} s being the "
                f"median of the last passing runs of {self.source}{scale}; the case allows "
                f"{self.ceiling:g} s (--timeout-factor F makes every limit F times as long)")

    def beyond(self, elapsed, progressed):
        """The run has gone on for elapsed seconds, its allowance; progressed: it has read or written
        since the last look. The new allowance, or None when it is taken for hung."""
        if elapsed >= self.ceiling:
            return None
        if self.now() > elapsed:
            self.reason = self.explained()
            return self.now()
        if progressed:
            window = max(FLOOR * self.factor, self.first)
            self.reason = f"{self.explained()}; lengthened {window:.3g} s at a time while it still read or wrote"
            return min(self.ceiling, elapsed + window)
        if not self.confirmed and self.pace.confirm():
            self.confirmed = True
            confirming = min(self.ceiling, max(CONFIRMING_SECONDS * self.factor, CONFIRMING * self.learned()))
            given = TIMEOUT if confirming == self.ceiling else f"{CONFIRMING} x its learned limit"
            self.reason = (f"{given}, given to the first runs past their learned limit, to tell "
                           "slow programs from hung ones")
            return confirming
        if self.pace.awaiting(own=self.confirmed):
            self.reason = (f"{self.explained()}; then more while the first runs past their limits showed "
                           "whether the programs are slow")
            return min(self.ceiling, elapsed + RECHECK)
        return None

    def settle(self, seconds, ended):
        """The run is over after seconds (native); ended: by itself, not killed as hung. A run that
        went past its learned limit and ended tells the pace how much slower the programs are."""
        went_past = self.typical is not None and seconds > self.learned()
        self.pace.settle(self.confirmed, seconds / max(self.typical, 1e-3) if went_past and ended else None)

    def slow(self, seconds):
        """For a run that passed: how it went past the limit its record gives; empty when it did not."""
        if self.typical is None or seconds <= self.learned():
            return ""
        return f"slow: {seconds:.3g} s, the median of the last passing runs of {self.source} {self.typical:.3g} s"


class Limits:
    """The recent passing run times of each case, per program set (the directory the programs
    came from), in native seconds, kept in FILE_NAME in the records directory: runs under the
    emulator count as their time divided by its factor. A set with no record of a case takes
    the record of the reference set (the build's own programs), so that another runtime's or
    another build's hangs are cut short too. The file maps each set, by its directory (relative
    to the records directory when below it), to case ids and their last KEPT times, oldest first."""

    def __init__(self, records_dir, program_set, factor=1.0, learned=True):
        self.records_dir = Path(records_dir).resolve()
        self.path = self.records_dir / FILE_NAME
        self.set = self.key(program_set)
        self.reference = self.key(self.records_dir / "bin")
        self.factor, self.learned = factor, learned
        self.pace = Pace()
        self.recorded = self._read()

    def key(self, directory):
        directory = Path(directory).resolve()
        return str(directory.relative_to(self.records_dir)) if directory.is_relative_to(self.records_dir) \
            else str(directory)

    def _read(self):
        try:
            recorded = json.loads(self.path.read_text(encoding="utf-8"))
        except (OSError, ValueError):
            return {}
        if not isinstance(recorded, dict):
            return {}
        return {program_set: {case: times for case, times in cases.items()
                              if isinstance(times, list) and all(isinstance(t, (int, float)) for t in times)}
                for program_set, cases in recorded.items() if isinstance(cases, dict)}

    def typical(self, case_id):
        """(the case's typical passing time in native seconds, the set it is recorded for), or
        (None, "") when neither this set nor the reference has a record of it."""
        for program_set in (self.set, self.reference):
            times = self.recorded.get(program_set, {}).get(case_id)
            if times:
                return statistics.median(times), program_set
        return None, ""

    def for_case(self, case):
        """The allowance of one run of the case."""
        typical, program_set = self.typical(case.id) if self.learned else (None, "")
        return Allowance(case.timeout, typical, program_set, self.factor, self.pace)

    def record(self, verdicts):
        """Adds the run times of the cases that passed to this set's record, and writes it out with
        what another run has recorded meanwhile (two runs at once, as ctest -j gives, each keep theirs)."""
        if not self.learned:
            return
        self.records_dir.mkdir(parents=True, exist_ok=True)
        with held(self.path.with_name(FILE_NAME + ".lock")):
            self.recorded = self._read()
            kept = self.recorded.setdefault(self.set, {})
            for v in verdicts:
                # A case that expects its program to die of a signal (a reader that goes away)
                # is timed as well: left out, a hung runtime would hold it for its whole timeout.
                if v.passed and v.outcome.ended:
                    times = kept.setdefault(v.case.id, [])
                    times.append(round(v.outcome.native_seconds, 4))
                    del times[:-KEPT]
            write_atomically(self.path, json.dumps(self.recorded, indent=1, sort_keys=True) + "\n")
