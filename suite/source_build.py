"""Builds a runtime archive in its source tree with the maintainer's own command, and says why when it cannot."""

import subprocess
from pathlib import Path

from . import execute

# Lines of a failed build's output kept in its message: where compilers say what went wrong.
TAIL = 6


class NotBuilt(Exception):
    """The command failed, or made no archive; the message says which, with the end of its output."""


def build_archive(tree, command, archive, environment=None):
    """Runs the shell command in the tree and gives the archive it made (a path in the tree). An
    archive left by an earlier build is taken away first, so that one the command did not make
    is never taken for its work."""
    made = Path(tree) / archive
    made.unlink(missing_ok=True)
    # In a session of its own, so that a stop ends the compilers it started too, not the shell alone.
    with subprocess.Popen(command, cwd=tree, env=environment, shell=True, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, errors="replace",
                          start_new_session=True) as process, execute.tracked(process):
        output = process.communicate()[0]
    if process.returncode != 0:
        tail = output.strip().splitlines()[-TAIL:]
        raise NotBuilt(f"{command!r} exited with status {process.returncode}: " + " / ".join(tail))
    if not made.is_file():
        raise NotBuilt(f"{command!r} made no archive at {archive}")
    return made
