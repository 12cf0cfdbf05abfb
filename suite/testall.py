"""./regress test: builds the plain, sanitizer and fuzz trees, runs each one's CTest tests as a
stage, and ends with what each stage skipped and why."""

import argparse
import os
import re
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET
from dataclasses import dataclass
from pathlib import Path


from . import build
from . import launcher
from . import toolchain

# Tests that check the plain build's own code, stack use or linking, not the programs'
# behaviour, and so do not apply to the sanitizer build: the benchmark's code shape, its
# callgrind profile and its preloaded malloc (the sanitizer's allocator cannot be replaced),
# evalix's nesting depth in 8 MiB (sanitized frames are larger), the formatting archives
# linked into a caller built without the sanitizers, and the emulated cases, the traced
# builds, the hunts and perf's runs, which the plain build checks (they link plain trees against the build's
# runtime archive, which a sanitized archive cannot be).
NOT_SANITIZED = ("^(benchmark/torquilan-(Build|Profile|OutOfMemory)|evalix/DeepNesting|"
                 "formatting/Linkage|emulated/cases|tracing/.*|hunt/Hunting|perf/Verdicts|bisect/Bisection)$")
# unittest's words for a skipped test: skipped, then the reason as Python quotes it.
SKIP_REASON = re.compile(r"""skipped (['"])(.*)\1""")


@dataclass
class Stage:
    title: str
    build_dir: Path
    options: list


def parse_args(argv):
    p = argparse.ArgumentParser(prog="./regress test", description=__doc__)
    launcher.add_option(p)
    toolchain.add_option(p)
    p.add_argument("--valgrind", action="store_true",
                   help="run every suite case under valgrind's memcheck instead (CTest label memcheck)")
    args, ctest_args = p.parse_known_args(argv)
    return args, ctest_args


def skipped(junit_file):
    """(test, reason) for each test that the stage skipped."""
    try:
        root = ET.parse(junit_file).getroot()
    except (OSError, ET.ParseError):
        return []
    found = []
    for case in root.iter("testcase"):
        if case.find("skipped") is not None:
            reason = SKIP_REASON.search(case.findtext("system-out") or "")
            found.append((case.get("name"), reason.group(2) if reason else "no reason given"))
    return found


def run_stage(stage, ctest_args, scratch):
    """True when every test of the stage passed; also the tests it skipped."""
    print(f"regress: {stage.title} ({stage.build_dir.name}/)", flush=True)
    junit_file = Path(scratch) / f"{stage.build_dir.name}.xml"
    done = subprocess.run(["ctest", "--test-dir", stage.build_dir, "--output-on-failure",
                           "--output-junit", junit_file, "-j", str(len(os.sched_getaffinity(0))),
                           *stage.options, *ctest_args])
    return done.returncode == 0, skipped(junit_file)


def main(argv):
    args, ctest_args = parse_args(argv)
    try:
        starter = launcher.choose(args.emulator)
    except launcher.LaunchError as error:
        print(f"regress test: {error}", file=sys.stderr)
        return 2
    if args.valgrind and starter.emulated:
        print(f"regress test --valgrind: {starter.cannot_run('memcheck')}; the programs run "
              f"{starter.describe()}", file=sys.stderr)
        return 2
    try:
        built_with = toolchain.resolve(args.toolchain)
    except toolchain.ToolchainError as error:
        print(f"regress test: {error}", file=sys.stderr)
        return 2
    plain, sanitized = toolchain.build_dir(built_with), toolchain.build_dir(built_with, sanitize=True)
    print(f"regress test: the programs are built with --toolchain {built_with} and run {starter.describe()}",
          flush=True)
    if starter.emulated and not args.valgrind:
        print(f"regress test: {launcher.SANITIZER_NOTE}; {launcher.FUZZ_NOTE}", flush=True)
    try:
        build.ensure_built(plain, emulator=starter.emulator, toolchain=built_with)
        if args.valgrind:
            stages = [Stage("every suite case under memcheck", plain, ["-L", "memcheck"])]
        else:
            build.ensure_built(sanitized, preset="sanitize", emulator=starter.emulator, toolchain=built_with)
            build.ensure_fuzz_built(build.FUZZ_BUILD, starter.emulator)
            stages = [Stage("the plain build", plain, ["-LE", "memcheck"]),
                      Stage("the AddressSanitizer and UndefinedBehaviorSanitizer build",
                            sanitized, ["-LE", "memcheck", "-E", NOT_SANITIZED]),
                      Stage("the fuzz targets, a short run each", build.FUZZ_BUILD, [])]
    except build.BuildFailed as error:
        print(f"regress test: build failed: {error}", file=sys.stderr)
        return 2
    failed, skips = [], []
    with tempfile.TemporaryDirectory(prefix="regress-test-") as scratch:
        for stage in stages:
            passed, stage_skips = run_stage(stage, ctest_args, scratch)
            if not passed:
                failed.append(stage.build_dir.name)
            skips += [(stage.build_dir.name, test, reason) for test, reason in stage_skips]
    if skips:
        print(f"\nregress test: {len(skips)} test{'s' if len(skips) != 1 else ''} skipped, and why:")
        for where, test, reason in skips:
            print(f"  {where}: {test}: {reason}")
    if failed:
        print(f"regress test: tests failed in {' '.join(failed)}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
