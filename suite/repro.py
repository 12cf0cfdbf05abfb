"""Keeps a case as a directory a person can run by hand (its files, its input, its expected
outputs, and a script that runs the program as the suite does and judges it as the suite does),
and runs or judges a kept case for that script."""

import argparse
import json
import os
import resource
import shlex
import shutil
import signal
import sys
from pathlib import Path

from . import build
from . import cases as casefiles
from . import compare
from . import execute
from .files import write_atomically
from .launcher import Command
from .report import failure_text

SCRIPT = "run"


def kept_dir(keep_root, case):
    return Path(keep_root) / case.deliverable / case.name


def keep_problem(keep_root, chosen):
    """Why the chosen cases cannot be kept under keep_root; None when they can. Keeping replaces
    a case's directory, so only an empty one or one that holds a kept case is taken."""
    for case in chosen:
        where = kept_dir(keep_root, case)
        if where.exists() and not (where / SCRIPT).is_file() and (not where.is_dir() or any(where.iterdir())):
            return f"{where}: it is there and holds no kept case"
    return None


def by_shell(case):
    """Whether a shell connects the case's standard streams as the suite does. The other ways
    the script hands to the suite's own code: typing on a terminal once the program waits,
    input in pieces each once the last is read, a stop while a write blocks, a reader that goes
    away from a pipe of one page."""
    return not (case.stdin_chunks or case.terminal_streams or case.stdout_to == "stopped"
                or case.stdout_closed_after is not None)


def _word(word):
    """A word for the script's shell, which gives it back byte for byte."""
    raw = word if isinstance(word, bytes) else os.fsencode(word)
    return shlex.quote(raw.decode("latin-1"))


def _case_json(case, expected, write):
    """The kept case as a case file, its texts in the files beside that write(name, text) makes,
    so that the suite's own loader reads it back."""
    entry = {"name": case.name, "program": case.program, "args": list(case.args)}
    if case.stdin:
        entry["stdin"] = {"file": write("stdin", case.stdin)}
    if case.stdin_chunks:
        # Each piece in its own file; all of them as one for gdb, which takes stdin whole.
        entry["stdin_chunks"] = [{"file": write(f"stdin.{i}", piece)} for i, piece in enumerate(case.stdin_chunks, 1)]
        write("stdin", "".join(case.stdin_chunks))
    if case.stdin_from != "pipe":
        entry["stdin_from"] = case.stdin_from
    if case.stdout_to != "pipe":
        entry["stdout_to"] = case.stdout_to
    if case.terminal is not None:
        entry["terminal"] = [{"file": write(f"typed.{i}", line)} for i, line in enumerate(case.terminal, 1)]
    if case.terminal_streams:
        entry["terminal_streams"] = list(case.terminal_streams)
    if case.stdout_closed_after is not None:
        entry["stdout_closed_after"] = case.stdout_closed_after
    if case.ignored_signals:
        entry["ignored_signals"] = [signal.Signals(number).name for number in case.ignored_signals]
    entry["files"] = {name: {"file": write(f"files/{name}", content)} for name, content in case.files}
    if case.special_files:
        entry["special_files"] = dict(case.special_files)
    entry.update(stdout={"file": write("expected/stdout", expected.stdout)},
                 stderr={"file": write("expected/stderr", expected.stderr)},
                 **({"signal": expected.signal} if expected.signal else {"status": expected.status}),
                 fixed=case.fixed, timeout=case.timeout,
                 stdout_filter=[pattern.pattern for pattern in case.stdout_filter])
    return {"deliverable": case.deliverable, "cases": [entry]}


def keep(case, expected, keep_root, starter, bin_dir, limit, kept_by):
    """Writes the case's directory under keep_root: what the program is given, what it is
    expected to give, and the script, which starts it as execute.start_of says (with the
    launcher starter, its program in bin_dir, its time limit limit). kept_by: the command that
    kept it. Returns the script's path."""
    where = kept_dir(keep_root, case)
    if where.exists():
        shutil.rmtree(where)
    (where / "files").mkdir(parents=True)

    def write(name, text):
        (where / name).parent.mkdir(parents=True, exist_ok=True)
        write_atomically(where / name, text.encode("latin-1"))
        return name

    write_atomically(where / f"{case.deliverable}.json",
                     json.dumps(_case_json(case, expected, write), indent=2) + "\n")
    # Beside the files, for the script's copy of them (which keeps a named pipe and a link as they are).
    for name, kind in case.special_files:
        execute.MAKE_SPECIAL[kind](where / "files" / name)
    started, timeout = execute.start_of(case, bin_dir, starter, limit=limit)
    program = execute.program_path(case, bin_dir) if starter.emulated else None
    script = where / SCRIPT
    write_atomically(script, _script(case, expected, started, timeout, program, kept_by).encode("latin-1"))
    script.chmod(0o755)
    return script


def _redirects(case, gdb):
    """The case's stdin and stdout as shell redirections where they are no pipes, with $work
    (the program's directory) and $stdin (the kept input) for the script to fill in. gdb cannot
    give a pipe: there a pipe's bytes come from the file, and its stdout is the terminal."""
    words = []
    if case.stdin_from == "directory":
        words.append("< $work")
    elif case.stdin_from == "closed":
        words.append("<&-")
    elif gdb and "stdin" not in case.terminal_streams:
        words.append("< $stdin" if case.stdin_pieces else "< /dev/null")
    words.append({"full": "> /dev/full", "closed": ">&-"}.get(case.stdout_to, ""))
    return " ".join(filter(None, words))


def _in_shell(redirects):
    return redirects.replace("$work", '"$work"').replace("$stdin", '"$here/stdin"')


def _expectation(case, expected):
    def said(stream):
        text = getattr(expected, stream)
        return f"{stream} empty" if not text else f"{stream} as in expected/{stream} ({len(text)} bytes)"
    ending = f"to be killed by {expected.signal}" if expected.signal else f"exit status {expected.status}"
    return f"{case.id}: expected {ending}, {said('stdout')}, {said('stderr')}"


# The program in a fresh directory that holds the case's files, with only the suite's
# environment and the three standard streams, as the suite starts it. It runs in a subshell,
# (start), which takes the redirections, so that the script's own shell, which waits for it,
# says on the script's stderr when a signal killed it.
_START = r"""
work=$(mktemp -d /tmp/regress-XXXXXXXX) && cp -R "$here/files/." "$work" || exit 2
out=$(mktemp -d /tmp/regress-out-XXXXXXXX) || exit 2
trap 'rm -rf "$work" "$out"' EXIT

start() {
  cd "$work" || exit 2
  for fd in /proc/$BASHPID/fd/*; do fd=${fd##*/}; ((fd > 2)) && { exec {fd}>&-; } 2>/dev/null; done
  ulimit -S -t "$cpu_seconds" && ulimit -H -t $((cpu_seconds + 1)) || exit 2
  [ -z "$stack_kib" ] || ulimit -s "$stack_kib" || exit 2
  ((${#ignored_signals[@]} == 0)) || trap '' "${ignored_signals[@]}"
  unset $(compgen -e)
  export "${environment[@]}"
  exec -a "${argv[0]}" "$executable" "${argv[@]:1}"
}
"""


def _script(case, expected, started, timeout, program, kept_by):
    """The script's text. program: the i386 program where the emulator starts it (gdb reads its
    symbols from it), else None."""
    environment = "".join(f"  {_word(f'{name}={value}')}\n" for name, value in sorted(started.environment.items()))
    head = f"""#!/bin/bash
# {case.id}, as ./regress runs it: the program started as the suite starts it,
# then what it wrote judged as the suite judges it.
#   {SCRIPT}        run it and compare with expected/: exit status 0 when all agree, 1 when not
#   {SCRIPT} --gdb  start it under gdb instead, with the same argv, environment, files and
#              streams as far as gdb can give them (a pipe's input comes from a file)
# Kept by: {kept_by}
set -u
here=$(cd "$(dirname "${{BASH_SOURCE[0]}}")" && pwd)
suite={_word(str(build.ROOT))}
python={_word(sys.executable)}

# How the suite starts the program: its argv (argv[0] as the program sees it), the file
# executed, the whole environment it is given, its limits on processor seconds and on its stack
# (in KiB, where the case sets one), the signals it starts with ignored and the seconds it is
# given before it counts as hung.
argv=({" ".join(_word(w) for w in started.argv)})
executable={_word(started.executable or started.argv[0])}
environment=(
{environment})
cpu_seconds={execute.cpu_seconds(timeout)}
stack_kib={"".join(str(value // 1024) for limit, value in started.rlimits if limit == resource.RLIMIT_STACK)}
ignored_signals=({" ".join(signal.Signals(number).name for number in case.ignored_signals)})
time_limit={timeout:g}
slowdown={started.slowdown}

echo {_word(_expectation(case, expected))}
"""
    return head + _START + _gdb(case, program) + (_shell_run(case) if by_shell(case) else _suite_run())


def _gdb(case, program):
    """--gdb: natively gdb starts the program, through a wrapper that gives it its argv[0]; under
    the emulator the emulator starts it and waits for gdb to attach."""
    redirects = _redirects(case, gdb=True)
    text = """
if [ "${1:-}" = --gdb ]; then
  gdb=$(command -v gdb) || { echo "gdb is not installed (apt-get install gdb)" >&2; exit 2; }
  stdin=$here/stdin
"""
    if program is None:
        wrapper = "set exec-wrapper bash -c " + shlex.quote(f'exec -a {shlex.quote(case.program)} "$0" "$@"')
        run_args = _word(("set args " + " ".join(shlex.quote(a) for a in case.args) + " ").encode("latin-1"))
        run_args += '"' + redirects.replace("$work", "${work@Q}").replace("$stdin", "${stdin@Q}") + '"'
        text += f"""  # gdb hands the program its own environment, and LINES and COLUMNS besides.
  argv=("$gdb" -q -ex 'unset environment LINES' -ex 'unset environment COLUMNS' -ex {_word(wrapper)}
        -ex {run_args} "$executable")
  executable=$gdb
  echo "under gdb, in $work:$(printf ' %q' "${{argv[@]}}")"
  (start)
  exit
fi
"""
    else:
        typed = " < /dev/tty" if "stdin" in case.terminal_streams else ""
        text += f"""  port=$((20000 + RANDOM % 20000))
  argv=("${{argv[0]}}" -g "$port" "${{argv[@]:1}}")
  (start) {_in_shell(redirects)}{typed} &
  echo "under gdb: the emulator waits on port $port: $gdb -q -ex 'target remote localhost:$port' {program}"
  "$gdb" -q -ex "target remote localhost:$port" {_word(str(program))}
  wait
  exit
fi
"""
    return text


def _shell_run(case):
    redirects = _in_shell(_redirects(case, gdb=False))
    feed = "" if case.stdin_from != "pipe" else 'cat "$here/stdin" 3>&- 4>&- | ' if case.stdin else "true | "
    stdout = "" if case.stdout_to in casefiles.UNCAPTURED else " >&3"
    return f"""
# stdin, stdout and stderr as the suite connects them; stdout and stderr pipes kept in files.
exec 3> >(cat > "$out/stdout"); stdout_reader=$!
exec 4> >(cat > "$out/stderr"); stderr_reader=$!
{feed}(start) {redirects}{stdout} 2>&4 3>&- 4>&-
echo $? > "$out/status"
exec 3>&- 4>&-
wait "$stdout_reader" "$stderr_reader"
cd "$suite" && "$python" -m suite.repro judge "$here" "$out"
"""


def _suite_run():
    return """
# A shell cannot connect these streams as the suite does (docs/suite.md says why): the suite's
# own code runs the program, started as above, in the environment above.
cd "$suite" && exec env -i "${environment[@]}" "$python" -m suite.repro run "$here" "$time_limit" \\
    "$slowdown" "$executable" "${argv[@]}"
"""


def _kept_case(here):
    found = list(Path(here).glob("*.json"))
    if len(found) != 1:
        raise casefiles.CaseFileError(f"{here}: holds no kept case (one case file beside {SCRIPT})")
    return casefiles.load_case_file(found[0])[0]


def _judged(case, outcome, here):
    verdict = compare.judge(case, outcome, case.expected, f"{here}/expected")
    if verdict.passed:
        print(f"ok {case.id}: {outcome.detail}, stdout and stderr as expected")
        return 0
    print(failure_text(verdict, str(Path(here) / SCRIPT), context=None, limit=None))
    return 1


def _shell_outcome(out):
    """The outcome as the script's shell saw it. The shell gives a program that a signal killed
    the status 128 and the signal's number; no case expects an exit status above 128."""
    def read(name):
        path = Path(out) / name
        return path.read_bytes().decode("latin-1") if path.exists() else ""
    status = int(read("status"))
    if status > 128 and status - 128 in signal.valid_signals():
        return execute.Outcome("signal", status - 128, read("stdout"), read("stderr"), 0.0,
                               f"killed by signal {execute.signal_name(status - 128)}")
    return execute.Outcome("exited", status, read("stdout"), read("stderr"), 0.0, f"exit status {status}")


def main(argv):
    p = argparse.ArgumentParser(prog="python3 -m suite.repro",
                                description="Runs or judges a case that ./regress --keep kept; its script calls this.")
    verbs = p.add_subparsers(dest="verb", required=True)
    judge = verbs.add_parser("judge", help="judge the outputs that the script's shell kept in OUT")
    judge.add_argument("here")
    judge.add_argument("out")
    run = verbs.add_parser("run", help="run the kept case as the suite does, then judge it")
    run.add_argument("here")
    run.add_argument("time_limit", type=float)
    run.add_argument("slowdown", type=int)
    run.add_argument("executable")
    run.add_argument("argv", nargs="+")
    args = p.parse_args(argv)
    case = _kept_case(args.here)
    if args.verb == "judge":
        return _judged(case, _shell_outcome(args.out), args.here)
    # The script hands over the program's whole environment as this process's own.
    started = Command([os.fsencode(w) for w in args.argv], args.executable, dict(os.environ), args.slowdown)
    return _judged(case, execute.run_started(case, started, args.time_limit), args.here)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
