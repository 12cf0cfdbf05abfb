"""./regress perf: each workload measured with a new runtime and an old one (or a saved baseline), and every figure that grew past its limit reported as a regression."""

import argparse
import dataclasses
import datetime
import json
import os
import shutil
import statistics
import sys
from pathlib import Path

from . import build
from . import cases as casefiles
from . import command
from . import files
from . import launcher
from . import perf_verdict
from . import performance
from . import runtime_check
from . import selection
from . import workloads as workloadfiles
from .command import FAILED, PASSED, SETUP_ERROR
from .files import shown
from .perf_verdict import many, number

BASELINES = "perf-baselines"
BASELINE_FORMAT = 1
WAYS = {performance.COUNTED: "counted under callgrind", performance.TIMED: "timed under the emulator"}

EPILOG = """\
exit status: 0 when no figure regressed, 1 when one did, 2 when perf could not run as asked
(set-up, build, an archive that does not fit, a workload that could not be measured).

examples:
  ./regress perf --runtime ~/kel/libkel.a                 against the bundled runtime
  ./regress perf --runtime new.a --against old.a --only 'evalix/*'
  ./regress perf --runtime old.a --save-baseline v1       keep old.a's figures as v1
  ./regress perf --runtime new.a --baseline v1            later: compare with them
"""


def parse_args(argv):
    p = argparse.ArgumentParser(
        prog="./regress perf", formatter_class=argparse.RawDescriptionHelpFormatter, epilog=EPILOG,
        description="Measure the suite's workloads with two kel runtimes and report every figure that "
                    "grew past its limit: instructions and system calls counted under callgrind "
                    "(natively), or times under the emulator.")
    p.add_argument("--runtime", metavar="NEW", required=True,
                   help="the runtime archive under test, e.g. --runtime ~/kel/libkel.a")
    old = p.add_mutually_exclusive_group()
    old.add_argument("--against", metavar="OLD",
                     help="compare with this runtime archive (default: the bundled runtime), "
                          "e.g. --against ~/kel/old/libkel.a")
    old.add_argument("--baseline", metavar="NAME",
                     help="compare with figures saved by --save-baseline instead of measuring an old "
                          "runtime, e.g. --baseline v1")
    p.add_argument("--save-baseline", metavar="NAME",
                   help=f"keep NEW's figures as NAME (BUILD/{BASELINES}/NAME.json, or a path ending in "
                        ".json) for a later --baseline, e.g. --save-baseline v1")
    p.add_argument("--only", metavar="PATTERN", action="append", default=[],
                   help="measure only matching workloads (deliverable/name, patterns as ./regress --only "
                        "takes them; the cases are workloads too), e.g. --only 'evalix/*'")
    p.add_argument("--threshold", metavar="PCT", type=float, default=perf_verdict.DEFAULT_THRESHOLD,
                   help="instructions (or times, under the emulator) that grow by more than PCT percent "
                        f"regress (default {perf_verdict.DEFAULT_THRESHOLD:g}); any growth in system "
                        "calls regresses, e.g. --threshold 5")
    p.add_argument("--json", metavar="FILE", help="also write every figure and the verdict as JSON, e.g. --json perf.json")
    p.add_argument("--repeat", metavar="N", type=int, default=performance.DEFAULT_REPEAT,
                   help="under the emulator: timed runs of each generated workload per runtime "
                        f"(default {performance.DEFAULT_REPEAT})")
    p.add_argument("-j", "--jobs", metavar="N", type=int, default=len(os.sched_getaffinity(0)),
                   help="runs at once (default: all cores)")
    say = p.add_mutually_exclusive_group()
    say.add_argument("-q", "--quiet", action="store_true", help="print only the verdict")
    say.add_argument("-v", "--verbose", action="store_true",
                     help="also a row for every case, and every workload a change was seen in")
    p.add_argument("--build", metavar="DIR", default=str(build.DEFAULT_BUILD),
                   help="the build directory (default: build; other runtimes under DIR/runtimes/)")
    p.add_argument("--cases", metavar="DIR", default=str(casefiles.CASES_DIR),
                   help="the case files, which are workloads too (default: suite/cases)")
    p.add_argument("--no-build", action="store_true", help="use what is built without running cmake")
    launcher.add_option(p)
    args = p.parse_args(argv)
    if args.threshold < 0:
        p.error("--threshold cannot be below 0")
    if args.jobs < 1 or args.repeat < 2:
        p.error("-j needs at least 1, --repeat at least 2")
    return args


def baseline_path(build_dir, name):
    return Path(name) if name.endswith(".json") else Path(build_dir) / BASELINES / f"{name}.json"


class BaselineError(Exception):
    """A baseline that cannot be compared with this run."""


def load_baseline(path, way):
    """(what it was measured from, {workload id: (inputs digest, figures)})."""
    try:
        data = json.loads(Path(path).read_text(encoding="utf-8"))
    except FileNotFoundError:
        raise BaselineError(f"no baseline {shown(path)} (save one with --save-baseline)") from None
    except (OSError, ValueError) as error:
        raise BaselineError(f"baseline {shown(path)} cannot be read: {error}") from None
    if data.get("format") != BASELINE_FORMAT:
        raise BaselineError(f"baseline {shown(path)} is of another format than this suite writes")
    if data["measured"] != way:
        raise BaselineError(f"baseline {shown(path)} was {WAYS[data['measured']]}, this run is "
                            f"{WAYS[way]}: the figures do not compare")
    return (dict(data["runtime"], saved=data["saved"], tool=data["with"]),
            {w: (entry["inputs"], entry["figures"]) for w, entry in data["workloads"].items()})


def save_baseline(path, runtime, way, tool, chosen, figures):
    entries = {w.id: {"inputs": w.digest, "figures": figures[w.id]}
               for w in chosen if isinstance(figures[w.id], dict)}
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    files.write_atomically(path, json.dumps({
        "format": BASELINE_FORMAT, "measured": way, "with": tool, "runtime": runtime,
        "saved": datetime.datetime.now().isoformat(timespec="seconds"), "workloads": entries}, indent=1) + "\n")


def identity(archive, build_dir):
    """How the header names a runtime: its path (or the bundled kelrt) and SHA-256."""
    where = "the bundled kelrt" if archive is None else shown(archive)
    return {"runtime": where, "sha256": files.sha256(archive or Path(build_dir) / "lib" / "libkel.a")}


def change_word(old, new):
    if old == new:
        return "0"
    if not old:
        return "new"
    return f"{(new - old) / old * 100:+.1f}%"


def sum_figures(figures):
    """One row's figures for several workloads: their counts added up."""
    total = {"instructions": 0, "system calls": 0, "writes": 0, "bytes written": 0}
    for figure in figures:
        total["instructions"] += figure.get("instructions", 0)
        total["system calls"] += sum(figure["system calls"].values())
        total["writes"] += figure["system calls"].get("write", 0)
        total["bytes written"] += figure["bytes written"]
    timed = [figure["seconds"] for figure in figures if figure.get("seconds")]
    # Only a generated workload is timed, and a row has at most one.
    total["seconds"] = timed[0] if len(figures) == 1 and timed else None
    return total


def timed_cells(old, new):
    """A time's cells: the median of each side's runs with its spread, and the change of the medians."""
    if not (old and new):
        return ["-", "-", "-"]
    shown = lambda runs: f"{number(statistics.median(runs))} ±{perf_verdict.spread(runs):.0%}"
    return [shown(old), shown(new), change_word(statistics.median(old), statistics.median(new))]


def per_write(total):
    return number(total["bytes written"] / total["writes"]) if total["writes"] else "-"


def table_rows(chosen, old, new, way, verbose):
    """Each deliverable's table: its column groups, and a row for each generated workload, then
    one for its cases, added up (one for each case, with -v)."""
    columns = ["instructions", "system calls"] if way == performance.COUNTED else ["seconds", "system calls"]
    groups = [("processor seconds" if c == "seconds" else c, 3) for c in columns] + [("bytes per write", 2)]
    header = ["workload"] + ["old", "new", "change"] * len(columns) + ["old", "new"]
    tables = {}
    for deliverable in sorted({w.deliverable for w in chosen}):
        mine = [w for w in chosen if w.deliverable == deliverable
                and isinstance(old.get(w.id), dict) and isinstance(new.get(w.id), dict)]
        cases_ = [w for w in mine if not w.generated]
        rows_of = [(f"{w.name} ({w.about})", [w]) for w in mine if w.generated]
        if verbose:
            rows_of += [(w.name, [w]) for w in cases_]
        elif cases_:
            rows_of.append((many(len(cases_), "case"), cases_))
        rows = []
        for label, group in rows_of:
            a, b = (sum_figures([side[w.id] for w in group]) for side in (old, new))
            if any(perf_verdict.outputs_differ(old[w.id], new[w.id]) for w in group):
                label += " (outputs differ)"
            row = [label]
            for c in columns:
                if c == "seconds":
                    row += timed_cells(a[c], b[c])
                else:
                    row += [number(a[c]), number(b[c]), change_word(a[c], b[c])]
            rows.append(row + [per_write(a), per_write(b)])
        if rows:
            tables[deliverable] = (groups, [header] + rows)
    return tables


def entry_point_rows(chosen, old, new):
    """Each entry point over every workload measured under both: its calls, its instructions per
    call and the system calls made in it, old and new."""
    groups = [("", 1), ("instructions per call", 3), ("system calls in it", 2)]
    rows = [["entry point", "calls", "old", "new", "change", "old", "new"]]
    both = [w for w in chosen if isinstance(old.get(w.id), dict) and isinstance(new.get(w.id), dict)]
    for name in performance.ENTRY_POINTS:
        sums = []
        for side in (old, new):
            entries = [side[w.id]["entry points"][name] for w in both if name in side[w.id].get("entry points", {})]
            sums.append({k: sum(e[k] for e in entries) for k in ("calls", "instructions", "system calls")})
        if sums[0]["calls"] and sums[1]["calls"]:
            a, b = (perf_verdict.per_call(s) for s in sums)
            rows.append([name, number(sums[1]["calls"]), number(a["instructions"]), number(b["instructions"]),
                         change_word(a["instructions"], b["instructions"]), number(sums[0]["system calls"]),
                         number(sums[1]["system calls"])])
    return (groups, rows) if len(rows) > 1 else None


def aligned(groups, rows, indent="  "):
    """The rows in columns, the first to the left and the others to the right, under a line
    naming each group of columns after the first."""
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    lines = [indent + "  ".join(cell.ljust(w) if i == 0 else cell.rjust(w)
                                for i, (cell, w) in enumerate(zip(row, widths))).rstrip() for row in rows]
    titles, column = " " * (len(indent) + widths[0]), 1
    for title, span in groups:
        width = sum(widths[column:column + span]) + 2 * span
        titles += ("  " + title).ljust(width) if title else " " * width
        column += span
    return [titles.rstrip()] + lines


def progress_line(done, total, workload, figures, labels):
    parts = []
    for label, figure in zip(labels, figures):
        if isinstance(figure, dict):
            counted = figure.get("instructions")
            parts.append(f"{label} " + (f"{counted:,} instructions, " if counted is not None else "")
                         + f"{sum(figure['system calls'].values()):,} system calls")
        else:
            parts.append(f"{label} not measured: {figure}")
    return f"[{done}/{total}] {workload.id} ... " + "; ".join(parts)


class Refused(Exception):
    """perf cannot run as asked; the message is printed as it stands."""


def output_problems(args):
    problems = [files.output_file_problem(args.json) if args.json else None,
                files.output_dir_problem(baseline_path(args.build, args.save_baseline).parent)
                if args.save_baseline else None]
    return [f"regress perf: cannot write {p}" for p in problems if p]


def set_up(args):
    """(launcher, the workloads chosen, the cases left out, the baseline or None), once every
    check has passed: output paths, the workloads, valgrind, the archives, the baseline."""
    problems = output_problems(args)
    if problems:
        raise Refused("\n".join(problems))
    try:
        starter = launcher.choose(args.emulator)
        every, left_out = workloadfiles.load(args.cases)
        chosen = selection.selected(every, args.only)
    except (launcher.LaunchError, workloadfiles.WorkloadError, casefiles.CaseFileError,
            selection.SelectionError) as error:
        raise Refused(f"regress perf: {error}") from None
    if not starter.emulated and shutil.which("valgrind") is None:
        raise Refused("regress perf: valgrind is not installed (apt-get install valgrind); ./regress perf installs it")
    for archive in filter(None, (args.runtime, args.against)):
        trouble = runtime_check.refusal(archive)
        if trouble:
            raise Refused(trouble)
    baseline = None
    if args.baseline:
        try:
            baseline = load_baseline(baseline_path(args.build, args.baseline), performance.way(starter))
        except BaselineError as error:
            raise Refused(f"regress perf: {error}") from None
    return starter, chosen, left_out, baseline


def runtimes_built(args, starter, chosen, measuring_old):
    """The runtimes to measure, old (unless a baseline stands for it) and new, their programs built."""
    sides = [("old", args.against)] if measuring_old else []
    sides.append(("new", args.runtime))
    found = []
    for label, archive in sides:
        directory = build.runtime_build_dir(args.build, archive) if archive else Path(args.build)
        if not args.no_build:
            try:
                build.ensure_built(directory, archive, quiet=True, emulator=starter.emulator,
                                   targets=sorted({w.program for w in chosen}))
            except build.BuildFailed as error:
                raise Refused(f"regress perf: build failed: {error}") from None
        linked = directory / build.RUNTIME_COPY if archive else directory / "lib" / "libkel.a"
        found.append(performance.Runtime(label, directory / "bin", linked))
    return found


def header(args, starter, chosen, left_out, old_identity, tool):
    way = performance.way(starter)
    new_identity = identity(args.runtime, args.build)
    generated = sum(w.generated for w in chosen)
    lines = [f"perf: {many(len(chosen), 'workload')} ({generated} generated, "
             f"{many(len(chosen) - generated, 'case')}; {many(len(left_out), 'case')} left out, -v says why)",
             f"new: {new_identity['runtime']} (sha256 {new_identity['sha256']})",
             f"old: {old_identity['runtime']} (sha256 {old_identity['sha256']})"
             + (f", as the baseline {shown(baseline_path(args.build, args.baseline))} saved on "
                f"{old_identity['saved']}" if args.baseline else "")]
    if way == performance.COUNTED:
        lines.append(f"counted under callgrind: exact, the same on every run; a regression is more than "
                     f"{args.threshold:g}% more instructions, or any more system calls")
    else:
        lines.append(f"{starter.cannot_run('callgrind')}: times instead, of {args.repeat} runs of each "
                     f"generated workload, which are NOISY: a time counts only when it is more than "
                     f"{args.threshold:g}% off and no run of one runtime falls within the other's; system "
                     f"calls are still counted exactly, through the emulator's trace")
    lines.append(f"programs run {starter.describe()}; measured with {tool}")
    if args.baseline and old_identity["tool"] != tool:
        lines.append(f"the baseline was measured with {old_identity['tool']}: its figures may differ for that alone")
    if args.verbose:
        lines += [f"  left out: {case_id}: {why}" for case_id, why in left_out.items()]
    return lines


def baseline_figures(baseline, chosen):
    """The baseline's figures of the workloads whose inputs are the same as now; and why each
    other workload is not compared."""
    old, not_compared = {}, []
    for w in chosen:
        inputs, figures = baseline[1].get(w.id, (None, None))
        if inputs == w.digest:
            old[w.id] = figures
        else:
            not_compared.append(f"{w.id}: " + ("not in the baseline" if inputs is None else
                                               "its inputs have changed since the baseline was saved"))
    return old, not_compared


def main(argv, out=sys.stdout):
    args = parse_args(argv)
    say = (lambda text="": None) if args.quiet else (lambda text="": print(text, file=out, flush=True))
    try:
        starter, chosen, left_out, baseline = set_up(args)
        runtimes = runtimes_built(args, starter, chosen, measuring_old=baseline is None)
    except Refused as error:
        print(error, file=sys.stderr)
        return SETUP_ERROR
    way, tool = performance.way(starter), performance.tool(starter)
    old_identity = baseline[0] if baseline else identity(args.against, args.build)
    for line in header(args, starter, chosen, left_out, old_identity, tool) + [""]:
        say(line)
    done = [0]

    def progress(workload, figures):
        done[0] += 1
        say(progress_line(done[0], len(chosen), workload, figures, [r.label for r in runtimes]))

    measured = performance.measure(chosen, runtimes, starter, args.jobs, args.repeat, progress)
    new = measured[-1]
    old, not_compared = baseline_figures(baseline, chosen) if baseline else (measured[0], [])
    both = [w for w in chosen if isinstance(old.get(w.id), dict) and isinstance(new.get(w.id), dict)]
    not_measured = [f"{w.id} ({label}): {side[w.id]}" for w in chosen
                    for label, side in (("old", old), ("new", new)) if isinstance(side.get(w.id), str)]
    differ = [w.id for w in both if perf_verdict.outputs_differ(old[w.id], new[w.id])]
    found = perf_verdict.changes(old, new, args.threshold)
    regressions = [c for c in found if c.regression]
    improvements = [c for c in found if not c.regression]

    for deliverable, (groups, rows) in table_rows(chosen, old, new, way, args.verbose).items():
        for line in [f"\n{deliverable}", *aligned(groups, rows)]:
            say(line)
    entry_table = entry_point_rows(chosen, old, new)
    for line in ["\nentry points, over every workload", *aligned(*entry_table)] if entry_table else []:
        say(line)
    report = [f"{len(differ)} workloads' outputs differ between the runtimes, so their figures measure other "
              f"work (./regress --runtime shows how): {', '.join(differ)}"] if differ else []
    report += [f"not compared: {line}" for line in not_compared]
    report += [f"not measured: {line}" for line in not_measured]
    report += perf_verdict.verdict_lines("regressions", regressions, args.verbose)
    report += perf_verdict.verdict_lines("improvements", improvements, args.verbose)
    count = lambda changes: len({c.workload for c in changes})
    report.append(f"perf: {count(regressions)} of {len(chosen)} workloads regressed, {count(improvements)} improved")
    print("\n" + "\n".join(report), file=out, flush=True)
    status = FAILED if regressions else SETUP_ERROR if not_measured else PASSED

    new_identity = identity(args.runtime, args.build)
    if args.save_baseline:
        path = baseline_path(args.build, args.save_baseline)
        save_baseline(path, new_identity, way, tool, chosen, new)
        print(f"saved the new runtime's figures as the baseline {shown(path)}", file=out, flush=True)
    if args.json:
        files.write_atomically(args.json, json.dumps({
            "new": new_identity, "old": old_identity, "measured": way, "threshold": args.threshold,
            "programs run": starter.describe(),
            "workloads": {w.id: {"old": old.get(w.id), "new": new.get(w.id), "inputs": w.digest} for w in chosen},
            "regressions": [dataclasses.asdict(c) for c in regressions],
            "improvements": [dataclasses.asdict(c) for c in improvements],
            "outputs differ": differ, "not compared": not_compared, "not measured": not_measured,
            "exit status": status}, indent=1) + "\n")
    return status


if __name__ == "__main__":
    command.run("regress perf", main)
