"""Reads what valgrind's callgrind counted in a run: the totals, and along each edge of the call graph the calls and their inclusive costs; and the system calls of a trace, by name."""

import collections
import re
from dataclasses import dataclass, field

# The options under which read_profile can read the profile, and the system calls are counted.
OPTIONS = ["--tool=callgrind", "--compress-strings=no", "--compress-pos=no", "--collect-systime=yes"]
# valgrind's --trace-syscalls=yes writes a line "SYSCALL[pid,tid](number) sys_NAME ( ...", or
# "NAME( ..." for a few, when a call starts; the lines for its end say "..." where the name was.
VALGRIND_SYSCALL = re.compile(r"^SYSCALL\[\d+,\d+\]\(\s*\d+\) (?:sys_)?(\w+) ?\(", re.MULTILINE)
# qemu-user's -strace writes "pid NAME(args) = result" for each system call of the program.
EMULATOR_SYSCALL = re.compile(r"^\d+ (\w+)\(", re.MULTILINE)


@dataclass
class Profile:
    events: list                      # the events counted, "Ir" first
    totals: dict                      # event -> the whole run's count
    # (caller, callee) -> [calls, {event: cost inclusive of everything the callee called}]
    edges: dict = field(default_factory=dict)

    def entered(self, names, inside):
        """name -> (calls, {event: inclusive cost}) for each function of names, counting only the
        calls made from outside the set inside: the calls a program makes into a library, not the
        library's calls to itself."""
        found = {}
        for (caller, callee), (calls, costs) in self.edges.items():
            if callee in names and caller not in inside:
                total = found.setdefault(callee, [0, collections.Counter()])
                total[0] += calls
                total[1].update(costs)
        return {name: (calls, dict(costs)) for name, (calls, costs) in found.items()}


def costs(events, line):
    """{event: count} of a cost line: its position, then a count per event, trailing zeros left out."""
    return dict(zip(events, map(int, line.split()[1:])))


def read_profile(text):
    """A profile written under OPTIONS (names written out, positions absolute)."""
    events, totals, edges = [], {}, {}
    caller = callee = None
    pending = None  # the calls of the edge whose inclusive cost is on the next cost line
    for line in text.splitlines():
        if pending is not None and line[:1].isdigit():
            edge = edges.setdefault((caller, callee), [0, collections.Counter()])
            edge[0] += pending
            edge[1].update(costs(events, line))
            pending = None
        elif line.startswith("events:"):
            events = line.split()[1:]
        elif line.startswith("fn="):
            caller = line[3:]
        elif line.startswith("cfn="):
            callee = line[4:]
        elif line.startswith("calls="):
            pending = int(line[6:].split()[0])
        elif line.startswith("summary:"):
            totals = dict(zip(events, map(int, line.split()[1:])))
    return Profile(events, totals, {edge: [calls, dict(cost)] for edge, (calls, cost) in edges.items()})


def system_calls(log, pattern=VALGRIND_SYSCALL):
    """name -> how many times the trace shows the system call made."""
    return dict(collections.Counter(pattern.findall(log)))
