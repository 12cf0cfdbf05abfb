"""Configures and builds the suite, against the bundled kel runtime or another runtime archive."""

import hashlib
import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DEFAULT_BUILD = ROOT / "build"
SANITIZE_BUILD = ROOT / "build-sanitize"


class BuildFailed(Exception):
    """cmake could not configure or build; the message names the command."""


def runtime_build_dir(build_root, archive):
    """Each foreign runtime gets a build of its own, named after it and its path."""
    archive = Path(archive).resolve()
    name = re.sub(r"[^A-Za-z0-9._-]", "_", archive.name.split(".")[0]) or "runtime"
    digest = hashlib.sha1(str(archive).encode()).hexdigest()[:8]
    return Path(build_root) / "runtimes" / f"{name}-{digest}"


def run(command, quiet):
    if not quiet:
        print("+ " + " ".join(str(part) for part in command), flush=True)
    done = subprocess.run(command, capture_output=quiet, text=True)
    if done.returncode != 0:
        if quiet:
            sys.stdout.write(done.stdout + done.stderr)
        raise BuildFailed(f"{' '.join(str(p) for p in command)} exited with status {done.returncode}")


def ensure_built(build_dir, runtime=None, quiet=False, preset="default"):
    """Configures the build directory from the preset when it is new, then brings it up to date."""
    build_dir = Path(build_dir).resolve()
    if not (build_dir / "build.ninja").exists():
        configure = ["cmake", "-S", ROOT, "--preset", preset, "-B", build_dir]
        if runtime is not None:
            # The cases run test drivers too, and those live in the test tree.
            configure += [f"-DKEL_RUNTIME={Path(runtime).resolve()}", "-DBUILD_TESTING=ON"]
        run(configure, quiet)
    run(["cmake", "--build", build_dir], quiet)
