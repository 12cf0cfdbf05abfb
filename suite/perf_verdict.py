"""Judges two runtimes' figures: which changed past their limits, worst first, and each change in words."""

import math
import statistics
from dataclasses import dataclass

DEFAULT_THRESHOLD = 2.0


@dataclass(frozen=True)
class Change:
    """A figure of a workload, or of an entry point in it, that changed past its limit."""
    workload: str
    entry_point: str  # empty for the workload's own figures
    figure: str       # "instructions", "system calls", "seconds", or "... per call"
    old: float
    new: float
    detail: str = ""  # the system calls by name, the spread of times
    calls: tuple = () # an entry point's calls, old and new

    @property
    def regression(self):
        return self.new > self.old

    @property
    def ratio(self):
        return self.new / self.old if self.old else math.inf

    @property
    def percent(self):
        return (self.ratio - 1) * 100

    @property
    def severity(self):
        """How bad a change is, to put the worst first: the factor it changed by, then how much
        it changed the workload's count in all."""
        factor = self.ratio if self.regression else (self.old / self.new if self.new else math.inf)
        return factor, abs(self.new * (self.calls or (1, 1))[1] - self.old * (self.calls or (1, 1))[0])


def per_call(entry):
    return {figure: entry[figure] / entry["calls"] for figure in ("instructions", "system calls")}


def by_name(old, new):
    """The system calls whose counts differ, most changed first: "write 91 -> 20090"."""
    names = sorted(set(old) | set(new), key=lambda n: -abs(new.get(n, 0) - old.get(n, 0)))
    return ", ".join(f"{n} {old.get(n, 0):,} -> {new.get(n, 0):,}" for n in names if old.get(n, 0) != new.get(n, 0))


def spread(seconds):
    """A timed figure's spread: half the distance from its fastest run to its slowest, as a share of
    its median (the figure is the median, plus or minus this)."""
    median = statistics.median(seconds)
    return (max(seconds) - min(seconds)) / 2 / median if median else 0.0


def beyond_noise(old, new, threshold):
    """Whether two sets of timed runs differ past the threshold and past their noise: the medians
    apart by more than the threshold, and no run of one within the range of the other."""
    a, b = statistics.median(old), statistics.median(new)
    apart = min(new) > max(old) or max(new) < min(old)
    return apart and abs(b - a) > a * threshold / 100


def changes(old, new, threshold=DEFAULT_THRESHOLD):
    """Every figure that changed past its limit, between the figures of the workloads measured
    under both runtimes: instructions (in all, and per call of each entry point) past the threshold
    in percent; system calls by any count; times past the threshold and their noise."""
    found = []
    for workload in sorted(set(old) & set(new)):
        a, b = old[workload], new[workload]
        if not (isinstance(a, dict) and isinstance(b, dict)):
            continue
        if "instructions" in a and "instructions" in b and past(a["instructions"], b["instructions"], threshold):
            found.append(Change(workload, "", "instructions", a["instructions"], b["instructions"]))
        calls_a, calls_b = sum(a["system calls"].values()), sum(b["system calls"].values())
        if calls_a != calls_b:
            found.append(Change(workload, "", "system calls", calls_a, calls_b,
                                by_name(a["system calls"], b["system calls"])))
        if a.get("seconds") and b.get("seconds") and beyond_noise(a["seconds"], b["seconds"], threshold):
            found.append(Change(workload, "", "seconds", statistics.median(a["seconds"]),
                                statistics.median(b["seconds"]),
                                f"{len(a['seconds'])} and {len(b['seconds'])} runs, spread "
                                f"±{spread(a['seconds']):.0%} and ±{spread(b['seconds']):.0%}"))
        for name in sorted(set(a.get("entry points", {})) & set(b.get("entry points", {}))):
            was, now = per_call(a["entry points"][name]), per_call(b["entry points"][name])
            calls = (a["entry points"][name]["calls"], b["entry points"][name]["calls"])
            if past(was["instructions"], now["instructions"], threshold):
                found.append(Change(workload, name, "instructions per call", was["instructions"],
                                    now["instructions"], calls=calls))
            if was["system calls"] != now["system calls"]:
                found.append(Change(workload, name, "system calls per call", was["system calls"],
                                    now["system calls"], calls=calls))
    return found


def past(old, new, threshold):
    return abs(new - old) > old * threshold / 100


def outputs_differ(a, b):
    """Whether two runs of a workload ended otherwise or wrote otherwise: their figures then
    measure other work."""
    return (a["status"], a["output"]) != (b["status"], b["output"])


def many(count, word):
    return f"{count:,} {word}{'s' if count != 1 else ''}"


def number(value):
    """A figure as the tables show it: whole numbers with thousands marked, small ones to a few digits."""
    if isinstance(value, int) or value >= 100:
        return f"{value:,.0f}"
    return f"{value:.3g}" if value else "0"


def described(change):
    """A change in words: "_kel_write: 1,130 instructions per call, was 380 (+197%), in WORKLOAD"."""
    percent = "none before" if not change.old else f"{change.percent:+.0f}%"
    if change.figure == "system calls per call":
        (calls_old, calls_new), (old, new) = change.calls, (change.old * change.calls[0], change.new * change.calls[1])
        was = f"was {number(round(old))}" + (f" in {number(calls_old)}" if calls_old != calls_new else "")
        text = f"{many(round(new), 'system call')} in its {many(calls_new, 'call')}, {was} ({percent})"
    elif change.figure == "seconds":
        text = f"{number(change.new)} s, was {number(change.old)} s ({percent}; medians, {change.detail})"
    else:
        text = f"{number(change.new)} {change.figure}, was {number(change.old)} ({percent})"
    if change.entry_point:
        return f"{change.entry_point}: {text}, in {change.workload}"
    return f"{change.workload}: {text}" + (f": {change.detail}" if change.figure == "system calls" else "")


def grouped(found):
    """Changes of one figure (of one entry point) in several workloads, as one group each, the
    worst change of each group first and the worst groups first."""
    groups = {}
    for change in found:
        groups.setdefault((change.entry_point, change.figure), []).append(change)
    ordered = [sorted(g, key=lambda c: c.severity, reverse=True) for g in groups.values()]
    return sorted(ordered, key=lambda g: g[0].severity, reverse=True)


def verdict_lines(title, found, verbose):
    if not found:
        return [f"{title}: none"]
    groups = grouped(found)
    workloads = len({c.workload for c in found})
    order = "worst first" if title == "regressions" else "largest first"
    lines = [f"{title}, {order} ({many(len(groups), 'figure')} in {many(workloads, 'workload')}):"]
    for group in groups:
        more = ""
        if len(group) > 1:
            more = f"; also in {many(len(group) - 1, 'more workload')}"
            more += (": " + ", ".join(c.workload for c in group[1:])) if verbose else " (-v names them)"
        lines.append(f"  {described(group[0])}{more}")
    return lines
