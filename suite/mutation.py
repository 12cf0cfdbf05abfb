"""Finds the one-token changes (mutants) of C and C++ sources, by libclang's tokens and the cursors under them."""

import ast
import re
from dataclasses import dataclass
from pathlib import Path

from clang import cindex

# Each operator becomes the one a slip of the hand gives: a boundary moved, a test negated,
# a conjunction weakened, a sum made a difference.
OPERATOR_CHANGES = {
    "<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "==",
    "&&": "||", "||": "&&", "+": "-", "-": "+", "+=": "-=", "-=": "+=",
}
KIND_OF_OPERATOR = {
    "<": "comparison", "<=": "comparison", ">": "comparison", ">=": "comparison",
    "==": "equality", "!=": "equality", "&&": "logic", "||": "logic",
    "+": "arithmetic", "-": "arithmetic", "+=": "arithmetic", "-=": "arithmetic",
}
OPERATOR_CURSORS = (cindex.CursorKind.BINARY_OPERATOR, cindex.CursorKind.COMPOUND_ASSIGNMENT_OPERATOR)
INTEGER = re.compile(r"(0[xX][0-9a-fA-F]+|[0-9]+)([uUlL]*)\Z")
C_SUFFIXES = (".c",)
CXX_SUFFIXES = (".cc", ".cpp", ".cxx", ".C")
HEADER_SUFFIXES = (".h", ".hh", ".hpp", ".hxx")
SOURCE_SUFFIXES = C_SUFFIXES + CXX_SUFFIXES + HEADER_SUFFIXES
# Where a call in statement position sits: the statements of a block, or the bodies of
# if, else, while and for written without braces.
BODY_CHILDREN = {
    cindex.CursorKind.COMPOUND_STMT: slice(None),
    cindex.CursorKind.IF_STMT: slice(1, None),
    cindex.CursorKind.WHILE_STMT: slice(-1, None),
    cindex.CursorKind.FOR_STMT: slice(-1, None),
}


@dataclass(frozen=True)
class Mutant:
    file: str        # relative to the source directory
    line: int
    column: int
    start: int       # byte offsets of the replaced text in the file
    end: int
    kind: str        # comparison, equality, logic, arithmetic, integer, character, call
    original: str
    replacement: str

    @property
    def change(self):
        if self.kind == "call":
            return f"call deleted: {shorten(self.original)}"
        return f"{self.original} -> {self.replacement}"

    @property
    def place(self):
        return f"{self.file}:{self.line}"

    def applied(self, text):
        """The file's bytes with this one change made."""
        return text[:self.start] + self.replacement.encode("latin-1") + text[self.end:]


def shorten(text, width=48):
    text = " ".join(text.split())
    return text if len(text) <= width else text[:width - 3] + "..."


def source_files(directory):
    """The C and C++ sources and headers under the directory, relative to it, in order."""
    directory = Path(directory)
    return sorted(str(p.relative_to(directory)) for p in directory.rglob("*")
                  if p.suffix in SOURCE_SUFFIXES and p.is_file())


def language_flags(relative, all_files):
    """How libclang is to read the file: headers as C++ when the sources are C++."""
    suffix = Path(relative).suffix
    cxx = suffix in CXX_SUFFIXES or (suffix in HEADER_SUFFIXES
                                     and any(Path(f).suffix in CXX_SUFFIXES for f in all_files))
    return ["-x", "c++", "-std=c++20"] if cxx else ["-x", "c", "-std=gnu11"]


def integer_changes(spelling):
    found = INTEGER.match(spelling)
    if not found:
        return []
    digits, suffix = found.groups()
    value = int(digits, 0)
    spell = (lambda v: f"{v:#x}") if digits[:2] in ("0x", "0X") else str
    return [spell(v) + suffix for v in (value + 1, value - 1) if v >= 0]


def character_change(spelling):
    """The character constant made the next character: 'a' -> 'b', '\\n' -> '\\x0b'."""
    if not (spelling.startswith("'") and spelling.endswith("'")):
        return None  # wide and prefixed constants are left alone
    try:
        code = ord(ast.literal_eval(spelling)) + 1
    except (ValueError, SyntaxError, TypeError):
        return None
    if code > 255:
        return None
    shown = chr(code)
    return f"'{shown}'" if shown.isprintable() and shown not in "'\\" and code < 128 else f"'\\x{code:02x}'"


def token_mutants(relative, path, tu):
    for token in tu.get_tokens(extent=tu.cursor.extent):
        if token.location.file is None or Path(token.location.file.name) != path:
            continue
        spelling, cursor = token.spelling, token.cursor.kind
        if token.kind == cindex.TokenKind.PUNCTUATION and spelling in OPERATOR_CHANGES:
            # The cursor tells a binary operator from a template's bracket, a cast or a unary sign.
            if cursor in OPERATOR_CURSORS:
                yield KIND_OF_OPERATOR[spelling], token, [OPERATOR_CHANGES[spelling]]
        elif token.kind == cindex.TokenKind.LITERAL and cursor == cindex.CursorKind.INTEGER_LITERAL:
            yield "integer", token, integer_changes(spelling)
        elif token.kind == cindex.TokenKind.LITERAL and cursor == cindex.CursorKind.CHARACTER_LITERAL:
            yield "character", token, list(filter(None, [character_change(spelling)]))


def statement_calls(cursor, path):
    """The calls that stand as statements of their own, in the file itself."""
    children = list(cursor.get_children())
    placed = BODY_CHILDREN.get(cursor.kind)
    for index, child in enumerate(children):
        if child.location.file is None or Path(child.location.file.name) != path:
            continue
        if placed is not None and child.kind == cindex.CursorKind.CALL_EXPR \
                and index in range(len(children))[placed]:
            yield child
        yield from statement_calls(child, path)


def find_mutants(directory, relative, include_dirs, all_files=None):
    """Every mutant of one file: its operators, integer and character constants and call statements;
    and libclang's errors, where it could not make sense of the file (and so may miss some)."""
    path = Path(directory) / relative
    text = path.read_bytes()
    args = [*language_flags(relative, all_files or [relative]), "-m32", "-msse2",
            *[f"-I{d}" for d in include_dirs]]
    tu = cindex.Index.create().parse(str(path), args=args)
    found = []
    for kind, token, replacements in token_mutants(relative, path, tu):
        start, end = token.extent.start.offset, token.extent.end.offset
        found += [Mutant(relative, token.location.line, token.location.column, start, end, kind,
                         token.spelling, r) for r in replacements]
    for call in statement_calls(tu.cursor, path):
        start, end = call.extent.start.offset, call.extent.end.offset
        original = text[start:end].decode("latin-1")
        # A call written through a macro has an extent that is not the call's own text.
        if end > start and original.endswith(")") and call.extent.start.file is not None \
                and Path(call.extent.start.file.name) == path:
            found.append(Mutant(relative, call.extent.start.line, call.extent.start.column, start, end,
                                "call", original, ""))
    errors = [str(d) for d in tu.diagnostics if d.severity >= cindex.Diagnostic.Error]
    return sorted(set(found), key=lambda m: (m.file, m.start, m.kind, m.replacement)), errors
