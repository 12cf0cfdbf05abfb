"""./regress --coverage: which of the runtime's entry points the cases call, from which
deliverables, and which classes of arguments and outcomes they reach; what the interface names
but no case reaches is marked."""

import concurrent.futures
import json
from collections import Counter, defaultdict
from pathlib import Path

from . import build
from . import runtime_check
from . import trace

FILE_NAME = "coverage.txt"
NOT_REACHED = "NOT REACHED"


def _arg(call, i):
    return trace.value(call.args[i])


def _sign(word, n):
    return f"{word} {'< 0' if n < 0 else '0' if n == 0 else '> 0'}"


def _signs(*words):
    return lambda call: [_sign(w, _arg(call, i)) for i, w in enumerate(words) if w]


def _symbol(call):
    c = _arg(call, 0)
    return ["c < 0 (codes 128 to 255)" if c < 0 else "c 0 to 127" if c < 128 else "c > 127"]


def _resolve(call):
    found = call.ending == "<" and trace.value(call.values[0]) != 0
    return ["left part wanted" if call.args[1] == "&" else "no left part",
            "right part wanted" if call.args[3] == "&" else "no right part",
            "found" if found else "not found"]


# Entry point -> the classes one call falls in (besides how it ended).
CLASSES = {
    "_kel_initialise": lambda c: ["argc 1" if _arg(c, 0) == 1 else "argc > 1"],
    "_kel_printstring": lambda c: ["empty" if not _arg(c, 0) else "not empty"],
    "_kel_printsymbol": _symbol,
    "_kel_write": _signs("value", "places"),
    "_kel_writeint": _signs("value", "places"),
    "_kel_newlines": _signs("count"),
    "_kel_spaces": _signs("count"),
    "_kel_printfl": _signs("x", "places"),
    "_kel_itos": _signs("value", "places"),
    "rtos": _signs("x", "before", "places"),
    "_kel_openinput": lambda c: [f"stream {_arg(c, 0)}"],
    "_kel_resolve": _resolve,
    "_kel_zcheck_int": lambda c: ["divisor 0" if _arg(c, 0) == 0 else "divisor not 0"],
    "check_instream": lambda c: [f"from {_arg(c, 0).decode('latin-1')}"],
    "check_outstream": lambda c: [f"from {_arg(c, 0).decode('latin-1')}"],
    "_kel_on_event_enter": lambda c: [f"arms {trace.value(t)}" for t in c.args[1:]],
    "_signal_event": lambda c: [f"signals event {_arg(c, 3)}"],
}

# The classes the interface names, which the cases should reach.
PLACES = ["places < 0", "places 0", "places > 0"]
COUNTS = ["count < 0", "count 0", "count > 0"]
NAMED = {
    "_kel_write": PLACES,
    "_kel_writeint": PLACES,
    "_kel_itos": ["places 0"],
    "_kel_newlines": COUNTS,
    "_kel_spaces": COUNTS,
    "_kel_printsymbol": ["c < 0 (codes 128 to 255)", "c 0 to 127"],
    "_kel_resolve": ["left part wanted", "no left part", "right part wanted", "no right part",
                     "found", "not found"],
    "_kel_zcheck_int": ["divisor not 0"],
    "_kel_on_event_enter": ["arms 9", "arms 15"],
    "_signal_event": ["signals event 4", "signals event 5", "signals event 7", "signals event 15"],
    **{reader: ["event 9"] for reader in trace.READERS},
}


def classes(call):
    found = CLASSES.get(call.name, lambda c: [])(call)
    if call.ending in ("!", "x"):
        found.append(f"event {trace.value(call.values[0])}")
    if call.ending != "<" and call.name not in trace.UNRECORDED_RESULT:
        found.append("the run ends in it" if call.ending != "!" else "left by the event")
    return found


class Tally:
    def __init__(self):
        self.calls = defaultdict(Counter)    # entry point -> deliverable -> calls
        self.classes = defaultdict(Counter)  # entry point -> class -> calls

    def add(self, deliverable, calls):
        for call in calls:
            self.calls[call.name][deliverable] += 1
            self.classes[call.name].update(classes(call))


def table(tally, entry_points, deliverables):
    """The report as lines: calls per entry point and deliverable, then the classes reached."""
    header = ["entry point", *deliverables, "total", ""]
    rows = []
    for name in entry_points:
        counts = [tally.calls[name][d] for d in deliverables]
        rows.append([name, *(str(n) if n else "." for n in counts), str(sum(counts)),
                     "" if sum(counts) else NOT_REACHED])
    widths = [max(len(r[i]) for r in [header, *rows]) for i in range(len(header))]
    lines = ["  ".join(cell.ljust(w) if i == 0 else cell.rjust(w) for i, (cell, w) in
                       enumerate(zip(row, widths))).rstrip() for row in [header, *rows]]
    lines += ["", "argument and outcome classes reached (calls), and those the interface names "
              "that no case reaches:"]
    for name in entry_points:
        seen = tally.classes[name]
        shown = ", ".join(f"{c} ({n})" for c, n in sorted(seen.items())) or "-"
        lines.append(f"{name}: {shown}")
        missing = [c for c in NAMED.get(name, []) if c not in seen]
        if missing:
            lines.append(f"  {NOT_REACHED}: {', '.join(missing)}")
    return lines


def main(chosen, args, starter, report):
    """Runs the cases traced, prints the table and writes it to BUILD/coverage.txt."""
    try:
        if not args.no_build:
            trace.build_traced(args.build, args.runtime, {c.program for c in chosen}, args.quiet,
                               starter.emulator)
    except build.BuildFailed as error:
        report.say(f"regress: build failed: {error}")
        return 2
    bin_dir = build.traced_build_dir(args.build, args.runtime) / "bin"
    tally = Tally()
    troubles = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        runs = pool.map(lambda c: trace.run_traced(c, bin_dir, starter), chosen)
        for case, (outcome, calls) in zip(chosen, runs):
            tally.add(case.deliverable, calls)
            if outcome.ending in ("not built", "cannot start"):
                troubles.append(f"{case.id}: {outcome.detail}")
    entry_points = json.loads(runtime_check.ABI_FILE.read_text())["entry_points"]
    deliverables = sorted({c.deliverable for c in chosen})
    runtime = args.runtime or "the bundled kelrt"
    lines = [f"calls into the kel runtime ({runtime}) by {len(chosen)} cases, per entry point "
             f"and deliverable", "", *table(tally, entry_points, deliverables)]
    lines += [f"not run: {t}" for t in troubles]
    path = Path(args.build) / FILE_NAME
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("\n".join(lines) + "\n")
    report.say("\n".join(lines), 0)
    report.say(f"\n(written to {path})", 0)
    return 2 if troubles else 0
