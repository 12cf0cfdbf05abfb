"""What every benchmark hands back: its figures, or why it has none."""
import collections

# One row of the table: a benchmark's figure over the repetitions of this run; a figure that
# cannot be had from this run has no values, and its note says why.
Figure = collections.namedtuple("Figure", "benchmark name values unit note", defaults=[""])


class BenchError(Exception):
    """A benchmark that failed to produce its figure."""


class BenchUnavailable(BenchError):
    """A benchmark that this machine or build cannot run; not a failure."""
