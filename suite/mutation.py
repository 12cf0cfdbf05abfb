"""Finds the one-token changes (mutants) of C and C++ sources, by libclang's tokens and the cursors under them."""

import ast
import re
from dataclasses import dataclass
from pathlib import Path

from clang import cindex

from .runtime_build import CXX_SUFFIXES, HEADER_SUFFIXES

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
    line_text: str = ""  # the text of the line it changes, as the source has it
    site_start: int = 0  # the text a schema switches: an operator's whole expression, else the token or call
    site_end: int = 0

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


def statements(cursor, path, kind):
    """The expressions of the kind that stand as statements of their own, in the file itself."""
    children = list(cursor.get_children())
    placed = BODY_CHILDREN.get(cursor.kind)
    for index, child in enumerate(children):
        if child.location.file is None or Path(child.location.file.name) != path:
            continue
        if placed is not None and child.kind == kind and index in range(len(children))[placed]:
            yield child
        yield from statements(child, path, kind)


def parsed(directory, relative, include_dirs, all_files):
    path = Path(directory) / relative
    args = [*language_flags(relative, all_files or [relative]), "-m32", "-msse2",
            *[f"-I{d}" for d in include_dirs]]
    return path, cindex.Index.create().parse(str(path), args=args)


def find_mutants(directory, relative, include_dirs, all_files=None):
    """Every mutant of one file: its operators, integer and character constants and call statements;
    and libclang's errors, where it could not make sense of the file (and so may miss some)."""
    path, tu = parsed(directory, relative, include_dirs, all_files)
    text = path.read_bytes()
    lines = text.decode("latin-1").splitlines()
    shown = lambda line: lines[line - 1].strip() if 0 < line <= len(lines) else ""
    found = []
    for kind, token, replacements in token_mutants(relative, path, tu):
        start, end = token.extent.start.offset, token.extent.end.offset
        site = token.cursor.extent if kind in KIND_OF_OPERATOR.values() else token.extent
        found += [Mutant(relative, token.location.line, token.location.column, start, end, kind,
                         token.spelling, r, shown(token.location.line), site.start.offset, site.end.offset)
                  for r in replacements]
    for call in statements(tu.cursor, path, cindex.CursorKind.CALL_EXPR):
        start, end = call.extent.start.offset, call.extent.end.offset
        original = text[start:end].decode("latin-1")
        # A call written through a macro has an extent that is not the call's own text.
        if end > start and original.endswith(")") and call.extent.start.file is not None \
                and Path(call.extent.start.file.name) == path:
            found.append(Mutant(relative, call.extent.start.line, call.extent.start.column, start, end,
                                "call", original, "", shown(call.extent.start.line), start, end))
    errors = [str(d) for d in tu.diagnostics if d.severity >= cindex.Diagnostic.Error]
    return sorted(set(found), key=lambda m: (m.file, m.start, m.kind, m.replacement)), errors


@dataclass(frozen=True)
class Layout:
    """What a schema of a file needs besides its mutants: its tokens, (start, end, spelling) by
    offset; its functions' bodies, (start, end, whether the function is declared not to return);
    and the (start, end) of its compound assignments that stand as statements."""
    tokens: tuple
    bodies: tuple
    assignments: frozenset


FUNCTIONS = (cindex.CursorKind.FUNCTION_DECL, cindex.CursorKind.CXX_METHOD, cindex.CursorKind.CONSTRUCTOR,
             cindex.CursorKind.DESTRUCTOR, cindex.CursorKind.CONVERSION_FUNCTION,
             cindex.CursorKind.FUNCTION_TEMPLATE)
NO_RETURN = {"noreturn", "_Noreturn", "__noreturn__"}


def declared_without_return(function):
    """Whether the function's definition, or its first declaration, says it never returns: as an
    attribute of its own ([[noreturn]], _Noreturn) or in its type (GNU's attribute)."""
    return "noreturn" in function.type.spelling or any(
        t.spelling in NO_RETURN for declaration in (function, function.canonical)
        for attribute in declaration.get_children() if attribute.kind.is_attribute()
        for t in attribute.get_tokens())


def layout(directory, relative, include_dirs, all_files=None):
    path, tu = parsed(directory, relative, include_dirs, all_files)
    tokens = tuple((t.extent.start.offset, t.extent.end.offset, t.spelling)
                   for t in tu.get_tokens(extent=tu.cursor.extent)
                   if t.location.file is not None and Path(t.location.file.name) == path)
    bodies = []

    def visit(cursor):
        for child in cursor.get_children():
            if child.location.file is None or Path(child.location.file.name) != path:
                continue
            if child.kind in FUNCTIONS and child.is_definition():
                body = [c for c in child.get_children() if c.kind == cindex.CursorKind.COMPOUND_STMT]
                if body:
                    start, end = body[-1].extent.start.offset, body[-1].extent.end.offset
                    bodies.append((start, end, declared_without_return(child)))
            else:
                visit(child)

    visit(tu.cursor)
    assignments = frozenset((a.extent.start.offset, a.extent.end.offset)
                            for a in statements(tu.cursor, path, cindex.CursorKind.COMPOUND_ASSIGNMENT_OPERATOR))
    return Layout(tokens, tuple(sorted(bodies)), assignments)
