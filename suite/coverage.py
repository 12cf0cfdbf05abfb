"""./regress --coverage: which of the runtime's entry points the cases call, from which
deliverables, and which classes of arguments and outcomes they reach; each class no case reaches
is marked as one a deliverable could pass or one none can."""

import concurrent.futures
import json
import math
from collections import Counter, defaultdict
from pathlib import Path

from . import build
from . import runtime_check
from . import trace
from .files import write_atomically

FILE_NAME = "coverage.txt"
NOT_REACHED = "NOT REACHED"


def _arg(call, i):
    return trace.value(call.args[i])


INT_MIN = -2 ** 31
TINY, HUGE = 1e-10, 1e10
# The classes a value of each kind can take, each with its test; a value is in every class whose
# test it passes.
KINDS = {
    "integer": [("INT_MIN", lambda v: v == INT_MIN), ("< 0", lambda v: INT_MIN < v < 0),
                ("0", lambda v: v == 0), ("> 0", lambda v: v > 0)],
    "places": [("< 0", lambda v: v < 0), ("0", lambda v: v == 0), ("1", lambda v: v == 1),
               ("2 to 100", lambda v: 2 <= v <= 100), ("> 100", lambda v: v > 100)],
    "count": [("< 0", lambda v: v < 0), ("0", lambda v: v == 0), ("> 0", lambda v: v > 0)],
    "real": [("< 0", lambda v: v < 0), ("0", lambda v: v == 0), ("> 0", lambda v: v > 0),
             (f"tiny (|x| < {TINY:g})", lambda v: 0 < abs(v) < TINY),
             (f"huge (|x| >= {HUGE:g})", lambda v: HUGE <= abs(v) < math.inf),
             ("not finite", lambda v: not math.isfinite(v))],
    "text": [("empty", lambda v: not v), ("1 to 254 characters", lambda v: 0 < len(v) < 255),
             ("255 characters", lambda v: len(v) == 255)],
}
# What a read stores: a reader refuses what no 32-bit real holds.
KINDS["number read"] = KINDS["real"][:-1]

# Entry point -> its arguments (and the values it stores, "stored") that have classes:
# (argument index, word for it, kind).
SHAPES = {
    "_kel_printstring": [(0, "text", "text")],
    "_kel_write": [(0, "value", "integer"), (1, "places", "places")],
    "_kel_writeint": [(0, "value", "integer"), (1, "places", "places")],
    "_kel_newlines": [(0, "count", "count")],
    "_kel_spaces": [(0, "count", "count")],
    "_kel_readint": [("stored", "value read", "integer")],
    "_kel_readfloat": [("stored", "x read", "number read")],
    "_kel_printfl": [(0, "x", "real"), (1, "places", "places")],
    "_kel_itos": [(0, "value", "integer"), (1, "places", "places")],
    "rtos": [(0, "x", "real"), (1, "before", "places"), (2, "places", "places")],
}


def _shaped(call):
    found = []
    for where, word, kind in SHAPES.get(call.name, []):
        if where == "stored":
            if call.ending != "<":
                continue
            v = trace.value(call.values[0])
        else:
            v = _arg(call, where)
        found += [f"{word} {name}" for name, test in KINDS[kind] if test(v)]
    return found


def _symbol(call):
    c = _arg(call, 0)
    return ["c < 0 (codes 128 to 255)" if c < 0 else "c 0 to 127" if c < 128 else "c > 127"]


def _resolve(call):
    found = call.ending == "<" and trace.value(call.values[0]) != 0
    return ["left part wanted" if call.args[1] == "&" else "no left part",
            "right part wanted" if call.args[3] == "&" else "no right part",
            "found" if found else "not found"]


# Entry point -> the classes one call falls in besides its shape's (and how it ended).
CLASSES = {
    "_kel_initialise": lambda c: ["argc 1" if _arg(c, 0) == 1 else "argc > 1"],
    "_kel_printsymbol": _symbol,
    "_kel_openinput": lambda c: [f"stream {_arg(c, 0)}"],
    "_kel_resolve": _resolve,
    "_kel_zcheck_int": lambda c: ["divisor 0" if _arg(c, 0) == 0 else "divisor not 0"],
    "check_instream": lambda c: [f"from {_arg(c, 0).decode('latin-1')}"],
    "check_outstream": lambda c: [f"from {_arg(c, 0).decode('latin-1')}"],
    "_kel_on_event_enter": lambda c: [f"arms {trace.value(t)}" for t in c.args[1:]],
    "_signal_event": lambda c: [f"signals event {_arg(c, 3)}"],
}

# Every class of an entry point, reached or not: its shape's, and those the interface names.
NAMED = {
    **{name: [f"{word} {c}" for _, word, kind in shape for c, _ in KINDS[kind]] for name, shape in SHAPES.items()},
    "_kel_printsymbol": ["c < 0 (codes 128 to 255)", "c 0 to 127"],
    "_kel_resolve": ["left part wanted", "no left part", "right part wanted", "no right part",
                     "found", "not found"],
    "_kel_zcheck_int": ["divisor not 0"],
    "_kel_on_event_enter": ["arms 9", "arms 15"],
    "_signal_event": ["signals event 4", "signals event 5", "signals event 7", "signals event 15"],
}
for reader in sorted(trace.READERS):
    NAMED[reader] = NAMED.get(reader, []) + ["event 9"]

# Which deliverables' cases call each classified entry point, and the classes each cannot pass
# whatever the input, with why (each a constant or a fixed order in its source). A class no
# caller can pass is what the suite cannot check.
PLACES_ONLY = ("places < 0", "places 1", "places 2 to 100", "places > 100")
REAL_X = ("x < 0", "x 0", f"x tiny (|x| < {TINY:g})", f"x huge (|x| >= {HUGE:g})", "x not finite")
CALLERS = {
    "_kel_printstring": {d: [] for d in ("argshow", "decform", "evalix", "figshow", "fixconv", "flshow",
                                         "intcol", "padform", "unwinding")},
    "_kel_printsymbol": {d: [] for d in ("argshow", "evalix", "figshow", "flshow")},
    "_kel_write": {
        "argshow": [(("places < 0", "places 1", "places 2 to 100", "places > 100"), "argshow writes with places 0"),
                    (("value INT_MIN", "value < 0"), "argshow writes argument numbers")],
        "flshow": [(("places < 0", "places 0", "places 2 to 100", "places > 100"), "flshow writes with places 1"),
                   (("value INT_MIN",), "flshow writes exponents, -99 to 38")],
        "figshow": [(("places < 0", "places 0", "places 2 to 100", "places > 100"), "figshow writes with places 1"),
                    (("value INT_MIN", "value 0"), "figshow writes exponents not 0, -324 to 308")],
    },
    "_kel_writeint": {
        "evalix": [(PLACES_ONLY, "evalix writes with places 0")],
        "unwinding": [(("places 1", "places 2 to 100", "places > 100"), "unwinding writes with places -1 and 0"),
                      (("value INT_MIN", "value < 0", "value 0"), "unwinding writes 10, 7, 4 and 1")],
    },
    "_kel_newlines": {"unwinding": [(("count < 0", "count 0"), "unwinding asks for 2")]},
    "_kel_spaces": {d: [] for d in ("decform", "flshow", "padform")},
    "_kel_readint": {"piseries": []},
    "_kel_readfloat": {"evalix": [(("event 9",), "evalix looks at the next character before it reads a number")]},
    "_kel_readsymbol": {"evalix": [(("event 9",), "evalix looks at the next character before it reads one")]},
    "_kel_skipsymbol": {"evalix": [(("event 9",), "evalix looks at the next character before it skips one")]},
    "_kel_nextsymbol": {"evalix": []},
    "_kel_printfl": {"piseries": [(REAL_X, "piseries prints its sums, 2.6 to 4.4"),
                                  (("places < 0", "places 0", "places 1", "places > 100"),
                                   "piseries prints with places 16")]},
    "_kel_itos": {
        d: [(("value INT_MIN",), f"{d} passes exponents, {low} to {high}"), (PLACES_ONLY, f"{d} passes places 0")]
        for d, low, high in (("decform", -324, 308), ("fixconv", -99, 38))},
    "rtos": {"fixconv": [(("before < 0", "before 0", "before 2 to 100", "before > 100"), "fixconv passes 1"),
                         (("x not finite",), "fixconv answers infinities and NaNs itself")]},
    "_kel_resolve": {"splitcheck": [(("no right part",), "splitcheck ends at event 7 before it resolves without one")]},
    "_kel_zcheck_int": {"numblend": []},
    "_kel_on_event_enter": {d: [] for d in ("evalix", "unwinding")},
    "_signal_event": {d: [] for d in ("argshow", "evalix", "piseries", "splitcheck", "unwinding")},
}


def unreached(name, missing):
    """The classes no case reaches, grouped by the verdict: (verdict, classes)."""
    groups = {}
    for c in missing:
        callers = CALLERS.get(name, {})
        whys = [why for limits in callers.values() for classes, why in limits if c in classes]
        could = [d for d, limits in callers.items() if not any(c in classes for classes, _ in limits)]
        verdict = (f"no case reaches it ({', '.join(could)} could)" if could else
                   f"no deliverable can pass it ({'; '.join(whys) or 'no deliverable calls it'})")
        groups.setdefault(verdict, []).append(c)
    return list(groups.items())


def classes(call):
    found = _shaped(call) + CLASSES.get(call.name, lambda c: [])(call)
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
    lines += ["", "argument and outcome classes reached (calls), and each class that no case reaches, "
              "with whether a deliverable could:"]
    for name in entry_points:
        seen = tally.classes[name]
        shown = ", ".join(f"{c} ({n})" for c, n in sorted(seen.items())) or "-"
        lines.append(f"{name}: {shown}")
        missing = [c for c in NAMED.get(name, []) if c not in seen]
        for verdict, group in unreached(name, missing):
            lines.append(f"  {NOT_REACHED}: {', '.join(group)}: {verdict}")
    return lines


def main(chosen, args, starter, report):
    """Runs the cases traced, prints the table and writes it to BUILD/coverage.txt."""
    try:
        if not args.no_build:
            trace.build_traced(args.build, args.runtime, {c.program for c in chosen}, args.quiet,
                               starter.emulator, args.built_with)
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
    write_atomically(path, "\n".join(lines) + "\n")
    report.say("\n".join(lines), 0)
    report.say(f"\n(written to {path})", 0)
    return 2 if troubles else 0
