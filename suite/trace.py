"""Runs cases with a traced build and reads back the calls each program made into the kel runtime.

The record's format is tracing/record.cc's: "> NAME ARG..." for each call, then "< VALUE..." when
it returned (its result, then what it stored), "! E S X" when an event left it, or "x E S X" when
the run ended in it."""

import struct
import tempfile
from dataclasses import dataclass
from pathlib import Path

from . import build
from . import execute

VARIABLE = "KEL_TRACE_FILE"
REPLAY = "kel-replay"
READERS = frozenset({"_kel_readsymbol", "_kel_nextsymbol", "_kel_skipsymbol", "_kel_readint",
                     "_kel_readfloat"})
OUTPUT_CALLS = frozenset({"_kel_printstring", "_kel_printsymbol", "_kel_write", "_kel_writeint",
                          "_kel_newline", "_kel_space", "_kel_newlines", "_kel_spaces", "_kel_printfl"})
# Jumped to, not called, so that the runtime sees the program's own frame: nothing comes back.
UNRECORDED_RESULT = frozenset({"_kel_on_event_enter"})
SHOWN_TEXT = 120


@dataclass(frozen=True)
class Call:
    name: str
    args: tuple     # tokens, as recorded
    ending: str     # "<" returned, "!" left by an event, "x" the run ended in it, "" no word
    values: tuple   # what came back: result and stored values, or the event's three numbers

    @property
    def result(self):
        return self.ending, self.values


def read(text):
    """The calls of a record, in order."""
    calls = []
    for line in text.splitlines():
        mark, *tokens = line.split(" ")
        if mark == ">":
            calls.append(Call(tokens[0], tuple(tokens[1:]), "", ()))
        elif mark in ("<", "!", "x") and calls and not calls[-1].ending:
            calls[-1] = Call(calls[-1].name, calls[-1].args, mark, tuple(tokens))
    return calls


def quoted(data, start=0):
    """Bytes as a double-quoted text that shows every byte; a long one is cut, and shown from
    byte start on when that is given."""
    shown = []
    for byte in data[start:start + SHOWN_TEXT]:
        ch = chr(byte)
        if ch in '"\\':
            shown.append("\\" + ch)
        elif ch == "\n":
            shown.append("\\n")
        elif 0x20 <= byte < 0x7F:
            shown.append(ch)
        else:
            shown.append(f"\\x{byte:02x}")
    cut = start > 0 or len(data) > start + SHOWN_TEXT
    return (("..." if start else "") + '"' + "".join(shown) + '"'
            + ("..." if len(data) > start + SHOWN_TEXT else "") + (f" ({len(data)} bytes)" if cut else ""))


def value(token):
    """A recorded token as a Python value: int, float, bytes, or None for a null pointer."""
    tag, body = token[:1], token[1:]
    if tag == "i":
        return int(body)
    if tag == "f":
        return struct.unpack(">f", bytes.fromhex(body))[0]
    if tag == "d":
        return struct.unpack(">d", bytes.fromhex(body))[0]
    if tag in "st":
        return bytes.fromhex(body)
    return None


def shown(token):
    tag, v = token[:1], value(token)
    if tag == "f":
        return f"{v:.9g}"
    if tag == "d":
        return repr(v)
    if tag in "st":
        return quoted(v)
    return {"&": "ptr", "-": "null"}.get(token, str(v))


def show_call(call):
    return f"{call.name}({', '.join(shown(t) for t in call.args)})"


def show_result(call):
    if call.name in UNRECORDED_RESULT:
        return "(its result is not recorded)"
    if call.ending in ("!", "x"):
        event, subevent, extra = (value(t) for t in call.values)
        if call.ending == "!":
            return f"left by event {event}, sub-event {subevent}, extra {extra}"
        return f"the run ended in it (the event record: {event}, sub-event {subevent}, extra {extra})"
    if call.ending == "<":
        return ", ".join(shown(t) for t in call.values) or "returned"
    return "did not come back (the program ended in it)"


def build_traced(build_root, runtime, programs, quiet, emulator, toolchain="gcc"):
    """Builds the runtime's traced programs (the bundled runtime's when runtime is None) and the
    replay program, with the toolchain's compilers."""
    build.ensure_built(build.traced_build_dir(build_root, runtime), runtime, quiet=quiet,
                       emulator=emulator, traced=True, targets=sorted(set(programs) | {REPLAY}),
                       toolchain=toolchain)


def run_traced(case, bin_dir, starter):
    """The case run with a traced program: (outcome, calls)."""
    with tempfile.TemporaryDirectory(prefix="regress-trace-") as scratch:
        record = Path(scratch) / "trace"
        outcome = execute.run_case(case, bin_dir, bin_dir, starter, variables={VARIABLE: str(record)})
        text = record.read_text(encoding="ascii") if record.exists() else ""
    return outcome, read(text)
