"""Checks a kel runtime archive against what the runtime support layer needs, before anything links it."""

import json
import re
import subprocess
from pathlib import Path

ABI_FILE = Path(__file__).with_name("runtime-abi.json")

# nm's letters for globally visible definitions; lower-case letters are local ones,
# which the linker never uses to resolve another object's reference.
GLOBAL_CODE = set("TWi")
GLOBAL_DATA = set("BCDGRSVu")
MEMBER_FORMAT = re.compile(r"^(\S.*?):\s+file format (\S+)$")
ARCHIVE_MAGIC = b"!<arch>\n"
ELF_MAGIC, ELF_SHARED = b"\x7fELF", 3
# The run-time libraries a sanitized archive calls into, which only a sanitized build links.
SANITIZERS = {"__asan_": "AddressSanitizer", "__ubsan_": "UndefinedBehaviorSanitizer"}


class ArchiveUnreadable(Exception):
    """nm or objdump could not read the archive at all."""


def _tool_output(command):
    try:
        done = subprocess.run(command, capture_output=True, text=True, errors="replace")
    except FileNotFoundError:
        raise ArchiveUnreadable(f"{command[0]} is not installed (it comes with binutils)") from None
    if done.returncode != 0:
        raise ArchiveUnreadable(done.stderr.strip() or f"{' '.join(command)} failed")
    return done.stdout


def read_symbols(archive):
    """(symbol name -> list of (nm type letter, size in bytes or None) for every definition,
    the names the archive uses without defining them)."""
    definitions, undefined = {}, set()
    for line in _tool_output(["nm", "-S", str(archive)]).splitlines():
        fields = line.split()
        if len(fields) == 4:
            _, size, kind, name = fields
            definitions.setdefault(name, []).append((kind, int(size, 16)))
        elif len(fields) == 3:
            _, kind, name = fields
            definitions.setdefault(name, []).append((kind, None))
        elif len(fields) == 2 and fields[0] == "U":
            undefined.add(fields[1])
    return definitions, undefined


def function_names(archive):
    """The names of the functions the archive defines, local ones too, as a profiler shows them
    (C++ names demangled)."""
    names = set()
    for line in _tool_output(["nm", "-C", "--defined-only", str(archive)]).splitlines():
        fields = line.split(" ", 2)
        if len(fields) == 3 and fields[1] in "TtWi":
            names.add(fields[2])
    return names


def read_member_formats(archive):
    """Member name -> object file format, as objdump names it."""
    formats = {}
    for line in _tool_output(["objdump", "-f", str(archive)]).splitlines():
        match = MEMBER_FORMAT.match(line)
        if match:
            formats[match.group(1)] = match.group(2)
    return formats


def _size_problem(rule, size):
    if size is None:
        return "no size recorded"
    if "size" in rule and size != rule["size"]:
        return f"{size} bytes"
    if "multiple_of" in rule and (size <= 0 or size % rule["multiple_of"]):
        return f"{size} bytes"
    return None


def _needed_object(rule):
    if "size" in rule:
        return f"object of {rule['size']} bytes"
    return f"object of a positive multiple of {rule['multiple_of']} bytes"


def _symbol_problem(definitions, name, wanted_kinds, rule):
    found = definitions.get(name, [])
    visible = [d for d in found if d[0] in GLOBAL_CODE | GLOBAL_DATA]
    if not found:
        return "missing"
    if not visible:
        return "only a local definition"
    for kind, size in visible:
        if kind not in wanted_kinds:
            return "data, not code" if kind in GLOBAL_DATA else "code, not data"
        if rule is not None:
            problem = _size_problem(rule, size)
            if problem:
                return problem
    return None


def check_archive(archive, abi=None):
    """Rows (name, needed, found) for everything the archive lacks or gets wrong; empty when it fits."""
    abi = abi or json.loads(ABI_FILE.read_text())
    rows = []
    for member, fmt in read_member_formats(archive).items():
        if fmt != abi["format"]:
            rows.append((member, f"{abi['format']} object", fmt))
    definitions, _ = read_symbols(archive)
    for name in abi["entry_points"]:
        problem = _symbol_problem(definitions, name, GLOBAL_CODE, None)
        if problem:
            rows.append((name, "entry point", problem))
    for name, rule in abi["objects"].items():
        problem = _symbol_problem(definitions, name, GLOBAL_DATA, rule)
        if problem:
            rows.append((name, _needed_object(rule), problem))
    return rows


def format_problems(archive, rows):
    """The table printed instead of a wall of linker errors."""
    width = [max(len(r[i]) for r in rows + [("symbol", "needed", "found")]) for i in range(2)]
    lines = [f"kel runtime archive {archive} does not provide what the runtime support layer needs:",
             f"  {'symbol':<{width[0]}}  {'needed':<{width[1]}}  found"]
    lines += [f"  {n:<{width[0]}}  {need:<{width[1]}}  {found}" for n, need, found in rows]
    lines.append(f"{len(rows)} problem{'s' if len(rows) != 1 else ''}; nothing was built or run.")
    return "\n".join(lines)


def _not_an_archive(archive):
    """Why the file cannot be linked as a static archive; None when it is one (or not ELF at all,
    which nm then names)."""
    with open(archive, "rb") as file:
        header = file.read(18)
    if header.startswith(ARCHIVE_MAGIC) or not header.startswith(ELF_MAGIC):
        return None
    if int.from_bytes(header[16:18], "little") == ELF_SHARED:
        return ("it is a shared library, not a static archive: the suite links the runtime into each "
                "program, as the programs' own build does; give an archive of the same objects "
                "(ar rcs libkel.a *.o)")
    return None


def sanitized_with(archive):
    """The sanitizers whose run-time libraries the archive calls into."""
    _, undefined = read_symbols(archive)
    return [name for prefix, name in SANITIZERS.items() if any(u.startswith(prefix) for u in undefined)]


def refusal(archive, sanitized_build=False):
    """None when the archive will do; otherwise why not, ready to print. sanitized_build: the
    programs are built with the sanitizers, so an archive built with them links too."""
    if not Path(archive).is_file():
        return f"regress: runtime archive not found: {archive}"
    wrong = _not_an_archive(archive)
    if wrong:
        return f"regress: cannot use runtime archive {archive}: {wrong}; nothing was built or run."
    try:
        rows = check_archive(archive)
        sanitizers = [] if sanitized_build else sanitized_with(archive)
    except ArchiveUnreadable as error:
        return f"regress: cannot read runtime archive {archive}: {error}"
    if rows:
        return format_problems(archive, rows)
    if sanitizers:
        return (f"regress: runtime archive {archive} was built with {' and '.join(sanitizers)}: it calls "
                "their run-time libraries, which only programs built with the sanitizers link; "
                "run with --sanitize (./regress --sanitize --runtime ...); nothing was built or run.")
    return None
