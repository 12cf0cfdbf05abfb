"""Which cases execute each line of a runtime: a copy built with --coverage, run over every case, its line counts read with gcov."""

import json
import shutil
import subprocess
from pathlib import Path

from . import toolchain as toolchains
from .runtime_build import NotBuilt, run_step
from .trials import run_cases

COVERAGE_EXIT = Path(__file__).with_name("coverage_exit.c")


def gcov_lines(data_files, cwd, top, gcov):
    """(file relative to top, line) -> count, from gcov's reading of the data (or note) files."""
    counts = {}
    if not data_files:
        return counts
    done = subprocess.run([gcov, "--json-format", "--stdout", *map(str, data_files)], cwd=cwd,
                          capture_output=True, text=True)
    if done.returncode != 0:
        raise NotBuilt(f"gcov cannot read the coverage data in {cwd}: {done.stderr.strip()[-300:]}")
    for document in done.stdout.splitlines():
        report = json.loads(document)
        for entry in report["files"]:
            path = (Path(report["current_working_directory"]) / entry["file"]).resolve()
            if not path.is_relative_to(top):
                continue
            relative = str(path.relative_to(top))
            for line in entry["lines"]:
                key = (relative, line["line_number"])
                counts[key] = counts.get(key, 0) + line["count"]
    return counts


class Coverage:
    """Which cases execute each line of the runtime, from a --coverage build run over every case."""

    def __init__(self, executed_by, known, unrecorded=frozenset()):
        self.executed_by = executed_by  # (file, line) -> ids of the cases that execute it
        self.known = known              # the lines gcov instruments; None when there is no coverage
        # Cases whose line data are missing or not the real build's: such a case may execute any line.
        self.unrecorded = set(unrecorded)
        self.reaching = set().union(self.unrecorded, *executed_by.values())  # any of the runtime

    def cases_for(self, mutant):
        """The ids of the cases that execute the mutant's line, or None when every case must run
        (no coverage); for a line without code of its own, such as a constant in a declaration,
        the cases that execute any of the runtime."""
        key = (mutant.file, mutant.line)
        if self.known is None:
            return None
        if key not in self.known:
            return self.reaching
        return self.executed_by.get(key, set()) | self.unrecorded


def link_flags(work, toolchain):
    """Links a coverage build's programs so that _exit, too, writes the line counts."""
    wrapper = work / "coverage_exit.o"
    work.mkdir(parents=True, exist_ok=True)
    run_step([*toolchains.command(toolchain, "c"), "-c", COVERAGE_EXIT, "-o", wrapper])
    return ["--coverage", "-Wl,--wrap=_exit", str(wrapper)]


def without_line_data(verdicts, data):
    """The ids of the cases that fail in the coverage build, and of all those whose line data are
    missing or not the real build's. A failing case did not run as it runs against the real build;
    a run killed by a signal writes none. A run that ended by itself and wrote nothing executed
    none of the runtime (its program does not link it), so it is neither."""
    failed = {case.id for case, verdict in verdicts if not verdict.passed}
    killed = {case.id for case, verdict in verdicts if verdict.outcome.ending != "exited" and not data[case.id]}
    return failed, failed | killed


def no_notes(runtime):
    """Why a build given --coverage made no notes, from what its first build made in the copy."""
    made = runtime.made
    objects = [f for f in made if Path(f).suffix in (".o", ".obj")]
    if not made or made == [str(runtime.archive.relative_to(runtime.top))]:
        return ("the build command compiled nothing in the copy, so it took what an earlier build left "
                "there; give --clean CMD to clear it (e.g. --clean 'make clean')")
    if not objects:
        return "the build command made no object files in the copy"
    return (f"the build command compiled {', '.join(objects[:3])}{' ...' if len(objects) > 3 else ''} "
            "without them: it does not pass CFLAGS or CXXFLAGS to the compiler")


def gather(slot, chosen, starter, expectations, programs, jobs, say):
    """The line coverage of the chosen cases, from the slot's coverage build (its runtime given
    --coverage); without it, when the build made no notes, and why."""
    work = slot.tree.parent
    slot.prepare(programs)
    top = slot.runtime.top.resolve()
    notes = sorted(slot.runtime.outputs.resolve().rglob("*.gcno"))
    if not notes:
        say(f"coverage: no .gcno files with --coverage in CFLAGS and CXXFLAGS: {no_notes(slot.runtime)}; "
            "so every line is mutated and every case runs for every mutant")
        return Coverage({}, None)
    runs = work / "runs"
    shutil.rmtree(runs, ignore_errors=True)
    prefixes = {case.id: runs / str(i) for i, case in enumerate(chosen)}
    verdicts = run_cases(chosen, slot.bin, starter, expectations, jobs,
                         lambda case: {"GCOV_PREFIX": str(prefixes[case.id]), "GCOV_PREFIX_STRIP": "0"})
    gcov = toolchains.gcov(slot.toolchain)
    known = set(gcov_lines(notes, work, top, gcov))
    data = {case.id: sorted(prefixes[case.id].rglob("*.gcda")) for case in chosen}
    failed, unrecorded = without_line_data(verdicts, data)
    executed_by = {}
    for case in chosen:
        for gcda in data[case.id]:
            # The data go under the prefix by the object's absolute path; its notes stay beside the object.
            shutil.copy(Path("/") / gcda.relative_to(prefixes[case.id]).with_suffix(".gcno"),
                        gcda.with_suffix(".gcno"))
        for key, count in gcov_lines(data[case.id], work, top, gcov).items():
            if count:
                executed_by.setdefault(key, set()).add(case.id)
    if failed:
        say(f"coverage: {len(failed)} cases fail with the runtime built for coverage, so their line "
            "data are not the real build's and each runs for every mutant: " + ", ".join(sorted(failed)))
    if unrecorded - failed:
        say(f"coverage: {len(unrecorded - failed)} cases were ended by a signal and left no line data, "
            "so each runs for every mutant: " + ", ".join(sorted(unrecorded - failed)))
    return Coverage(executed_by, known, unrecorded)
