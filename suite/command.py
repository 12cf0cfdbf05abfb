"""What every command of ./regress shares at its edges: the exit statuses, and how it ends when
it is stopped (the programs it started are ended with it)."""

import signal
import sys

from . import execute

# Exit statuses: every check passed; something failed; the command could not run as asked.
PASSED, FAILED, SETUP_ERROR = 0, 1, 2


def refuse(prog, message):
    """Says why the command cannot run as asked, and gives the status to exit with."""
    print(f"{prog}: {message}", file=sys.stderr)
    return SETUP_ERROR


def _interrupted(signum, _frame):
    raise KeyboardInterrupt(signum)


def run(prog, main):
    """Runs main(argv) and exits with its status. The programs run in sessions of their own, out
    of reach of the terminal's signals, so a command stopped by SIGINT, SIGTERM or SIGHUP ends
    them itself, and exits as a program killed by that signal would."""
    for stop in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(stop, _interrupted)
    try:
        sys.exit(main(sys.argv[1:]))
    except KeyboardInterrupt as stop:
        execute.stop_all()
        signum = stop.args[0] if stop.args else signal.SIGINT
        print(f"\n{prog}: stopped by {signal.Signals(signum).name}", file=sys.stderr)
        sys.exit(128 + signum)
