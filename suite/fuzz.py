"""Builds the fuzz targets (fuzz/) and runs each: first the inputs kept in fuzz/regressions/NAME,
then a run of so many seconds; prints executions, coverage and what each found."""

import argparse
import re
import sys
import time
from pathlib import Path


from . import build
from . import launcher

FUZZ = build.FUZZ_SOURCE
TARGETS = ["evalix", "readers", "resolve", "DECFORMFL", "INTCOL", "TORVK77WRITE", "fixconv",
           "flshow-FRACTION", "flshow-PRINTFL", "flshow-PRINT", "figshow-PRINT"]
# Inputs are kept short so that each run tries many; evalix's lines and the readers' numbers
# are all short too.
MAX_LEN = 4096
# No single input of any target takes near this long; one that does is a hang.
INPUT_TIMEOUT = 10
DONE = re.compile(r"^#(\d+)\s+DONE\s+cov: (\d+) ft: (\d+) corp: (\d+)/", re.MULTILINE)
ARTIFACT = re.compile(r"Test unit written to (\S+)")


def parse_args(argv):
    p = argparse.ArgumentParser(prog="./regress fuzz", description=__doc__)
    p.add_argument("--seconds", type=float, default=600, help="length of each target's run (default 600)")
    p.add_argument("--seed", type=int, help="libFuzzer's seed, for a repeatable run (default: random)")
    p.add_argument("--build", default=str(build.FUZZ_BUILD), help="the fuzz build directory (default: build-fuzz)")
    launcher.add_option(p)
    stage = p.add_mutually_exclusive_group()
    stage.add_argument("--no-build", action="store_true", help="use what is built without running cmake")
    stage.add_argument("--build-only", action="store_true", help="configure and build, then stop")
    p.add_argument("targets", nargs="*", metavar="TARGET", help=f"targets to run (default: all): {' '.join(TARGETS)}")
    args = p.parse_args(argv)
    unknown = [t for t in args.targets if t not in TARGETS]
    if unknown:
        p.error(f"no fuzz target {' '.join(unknown)} (targets: {' '.join(TARGETS)})")
    return args


def options(starter):
    return launcher.FUZZ_EMULATED_OPTIONS if starter.emulated else []


def replay(starter, program, target):
    """None when every kept input runs clean; otherwise what the target printed."""
    kept = sorted((FUZZ / "regressions" / target).glob("*"))
    if not kept:
        return None
    done = starter.run(program, [*options(starter), *kept], capture_output=True, text=True, errors="replace")
    return None if done.returncode == 0 else done.stderr[-4000:]


def fuzz(starter, program, target, build_dir, seconds, seed):
    """Runs the target; returns (figures, finding): finding is None, or the target's report."""
    corpus = build_dir / "corpus" / target
    findings = build_dir / "findings"
    corpus.mkdir(parents=True, exist_ok=True)
    findings.mkdir(exist_ok=True)
    command = [program, *options(starter), f"-max_total_time={max(1, round(seconds))}", f"-max_len={MAX_LEN}",
               f"-timeout={INPUT_TIMEOUT}", "-print_final_stats=1",
               f"-artifact_prefix={findings}/{target}-", corpus]
    if seed is not None:
        command.insert(1, f"-seed={seed}")
    started = time.monotonic()
    done = starter.run(command[0], command[1:], capture_output=True, text=True, errors="replace")
    figures = {"seconds": time.monotonic() - started}
    final = DONE.findall(done.stderr)
    executed = re.search(r"stat::number_of_executed_units: (\d+)", done.stderr)
    if final:
        figures.update(zip(("runs", "cov", "ft", "corpus"), map(int, final[-1])))
    if executed:
        figures["runs"] = int(executed.group(1))
    if done.returncode == 0:
        return figures, None
    artifact = ARTIFACT.search(done.stderr)
    where = f"\n  input kept at {artifact.group(1)}" if artifact else ""
    return figures, done.stderr[-4000:] + where


def main(argv):
    args = parse_args(argv)
    build_dir = Path(args.build).resolve()
    try:
        starter = launcher.choose(args.emulator)
    except launcher.LaunchError as error:
        print(f"regress fuzz: {error}", file=sys.stderr)
        return 2
    if not args.no_build:
        try:
            build.ensure_fuzz_built(build_dir, starter.emulator)
        except build.BuildFailed as error:
            print(f"regress fuzz: build failed: {error}", file=sys.stderr)
            return 2
    if args.build_only:
        return 0
    if starter.emulated:
        print(f"regress fuzz: the targets run {starter.describe()};\n  {launcher.FUZZ_NOTE};\n"
              f"  {launcher.SANITIZER_NOTE}", flush=True)
    found = 0
    for target in args.targets or TARGETS:
        program = build_dir / "bin" / f"fuzz-{target}"
        trouble = replay(starter, program, target)
        if trouble:
            print(f"FOUND fuzz/{target}: a kept input of fuzz/regressions/{target} fails again:\n{trouble}")
            found += 1
            continue
        figures, finding = fuzz(starter, program, target, build_dir, args.seconds, args.seed)
        if finding:
            print(f"FOUND fuzz/{target}:\n{finding}")
            found += 1
        print(f"fuzz/{target}: {figures.get('runs', 0)} runs in {figures['seconds']:.0f} s, "
              f"coverage {figures.get('cov', '?')} edges, {figures.get('ft', '?')} features, "
              f"corpus {figures.get('corpus', '?')} inputs; "
              f"{'found a fault' if finding else 'nothing found'}", flush=True)
    print(f"{len(args.targets or TARGETS) - found} passed, {found} failed")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
