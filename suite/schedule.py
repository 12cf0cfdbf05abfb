"""When each case runs: the longest first, by the time its record gives, and the cases whose runs
only wait (lines typed once the program has settled, input in pieces, a stopped writer) beside
the processor's jobs, so that their sleeping holds no core's place."""

import concurrent.futures

from . import execute

# How many waiting cases run at once beside the jobs: each costs the processor little, but holds a
# thread and, on a terminal, a pseudo-terminal.
WAITING_AT_ONCE = 8


def waits(case):
    """Whether the case's run is paced by the runner rather than by the processor: it types lines
    only once the program has settled, writes input in pieces once the program has read the one
    before, or leaves stdout unread until the program blocks."""
    return case.terminal is not None or bool(case.stdin_chunks) or case.stdout_to == "stopped"


def longest_first(cases, typical):
    """The cases in the order to start them: those with no record first, as they were given (any of
    them may be the longest), then the rest by their typical time, longest first. typical(case):
    its typical time in seconds, or None when nothing is recorded."""
    def key(case):
        seconds = typical(case)
        return (0, 0.0) if seconds is None else (1, -seconds)
    return sorted(cases, key=key)


class Schedule:
    """Runs work(case) for each case, `jobs` at a time (and the waiting cases beside them), longest
    first; finished() gives (case, result) as each ends. Used as a context manager: leaving it by an
    exception (the runner is stopped) cancels every case not started yet and ends the programs
    under way."""

    def __init__(self, cases, work, jobs, typical=lambda case: None):
        self.busy = concurrent.futures.ThreadPoolExecutor(max_workers=jobs)
        self.waiting = concurrent.futures.ThreadPoolExecutor(max_workers=WAITING_AT_ONCE)
        self.futures = {(self.waiting if waits(case) else self.busy).submit(work, case): case
                        for case in longest_first(cases, typical)}

    def finished(self):
        for future in concurrent.futures.as_completed(self.futures):
            if not future.cancelled():
                yield self.futures[future], future.result()

    def cancel(self):
        """Leaves out the cases not started yet; those under way still finish."""
        for future in self.futures:
            future.cancel()

    def __enter__(self):
        return self

    def __exit__(self, kind, *_):
        if kind is not None:
            self.cancel()
            execute.stop_all()
        for pool in (self.busy, self.waiting):
            pool.shutdown(wait=True)
        return False
