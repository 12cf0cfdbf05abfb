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


def cached(build_dir, variable):
    """A variable's value in the build's CMake cache; None when it is not configured."""
    try:
        text = (Path(build_dir) / "CMakeCache.txt").read_text()
    except FileNotFoundError:
        return None
    found = re.search(rf"^{variable}:[A-Z]+=(.*)$", text, re.MULTILINE)
    return found.group(1) if found else None


def configure(source, build_dir, quiet, options, emulator):
    """Configures the build directory when it is new, or when the emulator chosen for its tests
    (KEL_EMULATOR, the path or empty) has changed since."""
    wanted = emulator or ""
    if (build_dir / "build.ninja").exists() and cached(build_dir, "KEL_EMULATOR") == wanted:
        return
    run(["cmake", "-S", source, "-B", build_dir, *options, f"-DKEL_EMULATOR={wanted}"], quiet)


def ensure_built(build_dir, runtime=None, quiet=False, preset="default", emulator=None):
    """Configures the build directory from the preset, then brings it up to date."""
    build_dir = Path(build_dir).resolve()
    options = ["--preset", preset]
    if runtime is not None:
        # The cases run test drivers too, and those live in the test tree.
        options += [f"-DKEL_RUNTIME={Path(runtime).resolve()}", "-DBUILD_TESTING=ON"]
    configure(ROOT, build_dir, quiet, options, emulator)
    run(["cmake", "--build", build_dir], quiet)
