"""Explains a failed case: which call into the runtime under test first went another way than
under the reference runtime (--against, the one that recorded the --expect set, or the bundled
one), with its arguments and both results.

Both runtimes' traced programs run the case. The first call whose result differs is the answer;
where every result agrees, the output calls are made again by the replay program under each
runtime, and the first whose text differs is."""

import concurrent.futures

from . import build
from . import cases as casefiles
from . import execute
from . import trace
from .reference import Reference, recorded

CONTEXT = 3
# Calls whose doing another runtime may get wrong with nothing to show for it in the record:
# they give nothing back, or only a look at the input that should leave it where it is.
QUIET_INPUT = {"_kel_skipsymbol", "_kel_openinput", "_kel_closeinput", "_kel_nextsymbol"}
CONSUMING_READS = trace.READERS - QUIET_INPUT
MARKER = "\x02kel-replay\x03"
# How the replay program writes its markers: should the runtime mangle one way, the other.
MARKER_WAYS = ("printstring", "printsymbol")


def first_difference(reference, yours):
    """The index of the first call that differs in entry point, arguments or result; None when
    the records agree throughout."""
    for i, (a, b) in enumerate(zip(reference, yours)):
        if a != b:
            return i
    return None if len(reference) == len(yours) else min(len(reference), len(yours))


def listed(calls, i):
    """Call i as a line of the explanation, with what came back when anything did."""
    call = calls[i]
    return f"call {i + 1}: {trace.show_call(call)}" + (f" -> {trace.show_result(call)}" if call.values else "")


def context(calls, index):
    return [f"  {listed(calls, i)}" for i in range(max(0, index - CONTEXT), index)]


def silent_cause(calls, index):
    """A note on the earlier calls whose doing may show first in call index: for a read, the
    quiet input calls since the last read that consumed; for a signal, the arming before it."""
    name = calls[index].name if index < len(calls) else None
    found = []
    for i in range(index - 1, -1, -1):
        call = calls[i]
        if name in trace.READERS:
            if call.name in CONSUMING_READS or len(found) == CONTEXT:
                break
            if call.name in QUIET_INPUT:
                found.append(i)
        elif call.name == "_kel_on_event_enter" and name == "_signal_event":
            found.append(i)
            break
    if not found:
        return []
    shown = "; ".join(listed(calls, i) for i in reversed(found))
    return [f"  (what it meets may also come from calls whose doing the record cannot show: {shown})"]


def lookahead_note(calls, index, label):
    """A note when a character read straight after a look at it is not the one looked at: the
    look either consumed it or the read is wrong."""
    if not 0 < index < len(calls):
        return []
    looked, read = calls[index - 1], calls[index]
    if (looked.name == "_kel_nextsymbol" and read.name in ("_kel_nextsymbol", "_kel_readsymbol")
            and looked.ending == read.ending == "<" and looked.values[:1] != read.values[:1]):
        return [f"  (under {label}, call {index}, _kel_nextsymbol(), looked at "
                f"{trace.shown(looked.values[0])} and left it unread, yet call {index + 1} then finds "
                f"{trace.shown(read.values[0])}: the look consumed it, or this read is wrong)"]
    return []


def heading(index, reference, yours, labels):
    counts = f"of {len(reference)}" if len(reference) == len(yours) else \
        f"of {len(reference)} ({labels[1]}: {len(yours)})"
    return f"call {index + 1} {counts}"


def result_difference(index, reference, yours, labels, outcomes):
    head = heading(index, reference, yours, labels)
    ref, mine = (calls[index] if index < len(calls) else None for calls in (reference, yours))
    if ref is None or mine is None:
        present, missing = (ref, 1) if mine is None else (mine, 0)
        ended = outcomes[missing].detail
        return [f"{head}: {labels[1 - missing]} makes {trace.show_call(present)} -> "
                f"{trace.show_result(present)}; under {labels[missing]} the program makes no more "
                f"calls ({ended})"]
    if (ref.name, ref.args) != (mine.name, mine.args):
        parting = f"{labels[0]} makes {trace.show_call(ref)}, {labels[1]} makes {trace.show_call(mine)}"
        before = reference[index - 1] if index else None
        if before and before.name in trace.UNRECORDED_RESULT:
            # Only its result can have sent the programs different ways.
            return [f"{heading(index - 1, reference, yours, labels)}: {trace.show_call(before)}: its "
                    f"result is not recorded, but after it {parting}"]
        return [f"{head}: {parting} (the calls before it agree)"]
    return [f"{head}: {trace.show_call(ref)}: {labels[0]} {trace.show_result(ref)}, "
            f"{labels[1]} {trace.show_result(mine)}"]


def both_texts(a, b):
    """Two texts quoted; long ones from a little before the first byte where they part."""
    parting = next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))
    start = max(0, parting - 20) if max(len(a), len(b)) > trace.SHOWN_TEXT else 0
    return trace.quoted(a, start), trace.quoted(b, start)


def replay_case(calls, method):
    lines = "".join(" ".join((c.name, *c.args)) + "\n" for c in calls)
    return casefiles.Case("replay", method, trace.REPLAY, (method,), lines, (), None, False, 60.0, ())


def replayed_texts(bin_dir, calls, starter):
    """What each output call writes under the runtime, as [start-up, call 1, ..., at exit];
    otherwise how the last replay ended, when neither way of writing the markers comes out whole."""
    for method in MARKER_WAYS:
        outcome = execute.run_case(replay_case(calls, method), bin_dir, bin_dir, starter)
        pieces = outcome.stdout.split(MARKER)
        if outcome.exited and outcome.status == 0 and len(pieces) == len(calls) + 2:
            return [p.encode("latin-1") for p in pieces]
    if outcome.exited and not outcome.stdout:
        return (f"nothing at all comes out, not even its markers, and it ends with {outcome.detail}: "
                f"what the output calls write is lost outside them, as at exit")
    return (f"its markers, written with _kel_printstring and with _kel_printsymbol, do not come out "
            f"as written ({outcome.detail}; {len(pieces) - 1} markers of {len(calls) + 1})")


def text_difference(reference, yours, labels, bins, starter):
    """The first output call whose text differs, replayed under each runtime."""
    indices = [i for i, c in enumerate(reference) if c.name in trace.OUTPUT_CALLS]
    calls = [reference[i] for i in indices]
    texts = [replayed_texts(b, calls, starter) for b in bins]
    for label, text in zip(labels, texts):
        if isinstance(text, str):
            return [f"every call returns alike, but the replay under {label} cannot tell the output "
                    f"calls apart: {text}"]
    for k, (a, b) in enumerate(zip(*texts)):
        if a == b:
            continue
        shown = both_texts(a, b)
        if k == 0 or k == len(calls) + 1:
            where = "before the first output call" if k == 0 else "after the last output call"
            return [f"every call returns alike and writes the same text; {where}, {labels[0]} writes "
                    f"{shown[0]}, {labels[1]} {shown[1]}"]
        index = indices[k - 1]
        head = heading(index, reference, yours, labels)
        return [f"{head}: {trace.show_call(reference[index])}: {labels[0]} {shown[0]}, "
                f"{labels[1]} {shown[1]}", "  (every call before it returns alike; the texts "
                "are the call's own, made again between markers)"] + context(reference, index)
    return None


def explain(case, bins, labels, starter):
    """Lines that explain the case's failure; bins and labels: (reference, yours)."""
    runs = [trace.run_traced(case, b, starter) for b in bins]
    outcomes = [o for o, _ in runs]
    reference, yours = (calls for _, calls in runs)
    for label, (outcome, calls) in zip(labels, runs):
        if not calls:
            return [f"the traced program under {label} recorded no calls ({outcome.detail})"]
    index = first_difference(reference, yours)
    if index is not None:
        return (result_difference(index, reference, yours, labels, outcomes) + silent_cause(reference, index)
                + lookahead_note(yours, index, labels[1]) + context(reference, index))
    found = text_difference(reference, yours, labels, bins, starter)
    if found:
        return found
    same = f"all {len(reference)} calls return alike and each output call writes the same text"
    last = reference[-1]
    if last.ending == "x":
        return [f"{same}; under both the run ends in the last, {trace.show_call(last)}, with the event "
                f"record {', '.join(trace.shown(v) for v in last.values)}: what differs is how the "
                f"runtime ends the run there ({labels[0]}: {outcomes[0].detail}; {labels[1]}: "
                f"{outcomes[1].detail})"]
    return [f"{same}; what differs comes from outside the calls, as at exit ({labels[0]}: "
            f"{outcomes[0].detail}; {labels[1]}: {outcomes[1].detail})"]


def chosen_reference(args):
    """What to compare with: --against, else the runtime that recorded the --expect set, else the
    bundled runtime."""
    if args.against:
        return Reference(args.against, "reference", "")
    if args.expect:
        return recorded(args.expect)
    return Reference(None, "bundled", "")


def explain_failures(verdicts, args, starter, jobs):
    """Gives each failed verdict its explanation: the runtime under test (--runtime) against the
    chosen reference, both in traced builds."""
    failed = [v for v in verdicts if not v.passed]
    if not failed:
        return
    compared = chosen_reference(args)
    runtimes = (compared.archive, args.runtime)
    labels = (compared.label, "yours")
    bins = [build.traced_build_dir(args.build, r) / "bin" for r in runtimes]
    try:
        if not args.no_build:
            for runtime in runtimes:
                trace.build_traced(args.build, runtime, {v.case.program for v in failed}, args.quiet,
                                   starter.emulator, args.built_with)
    except build.BuildFailed as error:
        for verdict in failed:
            verdict.explanation = [f"cannot explain: the traced build failed: {error}"]
        return
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        found = pool.map(lambda v: explain(v.case, bins, labels, starter), failed)
        for verdict, lines in zip(failed, found):
            verdict.explanation = lines + ([f"({compared.note})"] if compared.note else [])
