"""Mutant schemata: the mutants of one source file written into one copy of it, each behind a test of a switch that the runtime reads from its environment at start-up, so that one build serves them all."""

import bisect
import re
from dataclasses import dataclass, field
from pathlib import Path

# The switch: the environment variable a run sets to the mutant's number, and the variable
# suite/mutant_switch.cc keeps it in. Its value has a fixed width, so that every run, the
# unchanged one too, starts with an environment of the same size and the same stack.
ENVIRONMENT = "KEL_MUTANT"
VARIABLE = "kel_mutant_active"
WIDTH = 6
SWITCH_SOURCE = Path(__file__).with_name("mutant_switch.cc")
SWITCH_UNIT = "kelrt/mutant_switch.cc"
# A schema with no mutant on, for the check that its unchanged path compiles to the unchanged object.
OFF = f"enum {{ {VARIABLE} = 0 }};\n#line 1\n"
# A length of an array that the switch decides would make it one of variable length: an error,
# so that the mutant is built alone, with its constant length.
ON = f'extern "C" int {VARIABLE};\n#pragma GCC diagnostic error "-Wvla"\n#line 1\n'
# A number that fits an int before and after the change keeps the expression's type.
INT_MAX = 2 ** 31 - 1
DIRECTIVE = re.compile(rb"\n[ \t]*#")
ERROR = re.compile(r"^(.*?):(\d+):\d+: (?:fatal )?error", re.M)


def switch_value(number):
    return f"{number:0{WIDTH}d}"


def switchable(mutant, layout, text):
    """Whether a runtime switch can stand for the mutant: it is in a function's body, and if the
    function may not return, it deletes no call (the optimiser takes a path that falls out of such
    a function as never taken, and would take the switch as never on); its text holds no
    preprocessor line; and a constant keeps its type."""
    if mutant.file.endswith((".h", ".hh", ".hpp", ".hxx")) or DIRECTIVE.search(text, mutant.site_start,
                                                                               mutant.site_end):
        return False
    inside = [b for b in layout.bodies if b[0] <= mutant.site_start and mutant.site_end <= b[1]]
    if not inside or (mutant.kind == "call" and any(no_return for _, _, no_return in inside)):
        return False
    if mutant.original in ("+=", "-="):
        # As the value of an expression, a switched assignment would be a conditional lvalue, which
        # takes its variable's address, and the unchanged path then compiles to other code.
        return (mutant.site_start, mutant.site_end) in layout.assignments
    if mutant.kind == "integer":
        values = [int(re.match(r"0[xX][0-9a-fA-F]+|\d+", t).group(0), 0) for t in (mutant.original, mutant.replacement)]
        return max(values) <= INT_MAX
    return True


@dataclass
class Site:
    """A stretch of the file that mutants change: (number, replacement text) for each."""
    start: int
    end: int
    kind: str
    op_start: int = 0
    op_end: int = 0
    alternatives: list = field(default_factory=list)
    inner: list = field(default_factory=list)


def sites(numbered):
    """The sites of the numbered mutants ([(number, mutant)]), nested as their texts are."""
    by_place = {}
    for number, m in numbered:
        key = (m.site_start, m.site_end, m.kind == "call")
        site = by_place.setdefault(key, Site(m.site_start, m.site_end, m.kind, m.start, m.end))
        site.alternatives.append((number, m.replacement))
    top, open_ = [], []
    for site in sorted(by_place.values(), key=lambda s: (s.start, -s.end)):
        while open_ and open_[-1].end <= site.start:
            open_.pop()
        (open_[-1].inner if open_ else top).append(site)
        open_.append(site)
    return top


class Renderer:
    def __init__(self, text, tokens):
        self.text = text.decode("latin-1")
        self.tokens = tokens
        self.starts = [t[0] for t in tokens]

    def piece(self, lo, hi, flat):
        """The text from lo to hi; flat: on one line, as its tokens (no comment or line end), for
        the changed copy, which must not move the lines that follow."""
        if not flat:
            return self.text[lo:hi]
        first, last = bisect.bisect_left(self.starts, lo), bisect.bisect_left(self.starts, hi)
        return " " + " ".join(spelling for _, _, spelling in self.tokens[first:last]) + " "

    def stretch(self, lo, hi, inner, flat):
        out, at = [], lo
        for site in inner:
            if lo <= site.start and site.end <= hi:
                out += [self.piece(at, site.start, flat), self.site(site, flat)]
                at = site.end
        out.append(self.piece(at, hi, flat))
        return "".join(out)

    def site(self, site, flat):
        test = lambda number: f"{VARIABLE} == {number}"
        if site.kind == "call":
            number = site.alternatives[0][0]
            return f"({test(number)} ? (void)0 : (void)({self.stretch(site.start, site.end, site.inner, flat)}))"
        if site.kind in ("integer", "character"):
            original = self.text[site.start:site.end]
            return "(" + "".join(f"{test(n)} ? {r} : " for n, r in site.alternatives) + original + ")"
        operator = self.text[site.op_start:site.op_end]
        number, replacement = site.alternatives[0]
        left = lambda f: self.stretch(site.start, site.op_start, site.inner, f)
        right = lambda f: self.stretch(site.op_end, site.end, site.inner, f)
        if operator in ("+=", "-="):
            # A statement of its own (switchable), taken as one: a conditional of two assignments,
            # or parentheses round the variable assigned, take its address (even where they are
            # never run), and the unchanged path then compiles to other code. The statement's own
            # ";" ends the else, which so takes no else that follows.
            return (f"if ({test(number)}) {{ {left(True)}{replacement}{right(True)}; }} "
                    f"else {left(flat)}{operator}{right(flat)}")
        changed, unchanged = (f"({left(True)}) {replacement} ({right(True)})",
                              f"({left(flat)}){operator}({right(flat)})")
        return f"({test(number)} ? {changed} : {unchanged})"


def schema(text, numbered, layout, prologue=ON):
    """The file's text with each numbered mutant behind its switch; every line where it was."""
    renderer = Renderer(text, layout.tokens)
    return (prologue + renderer.stretch(0, len(text), sites(numbered), False)).encode("latin-1")


def lines_of(text, mutant):
    first = text.count(b"\n", 0, mutant.site_start) + 1
    return range(first, first + text.count(b"\n", mutant.site_start, mutant.site_end) + 1)


def culprits(output, relative, text, numbered):
    """The numbered mutants whose text lies on a line that the compiler's errors name."""
    name = Path(relative).name
    lines = {int(line) for path, line in ERROR.findall(output) if Path(path).name == name}
    return [(n, m) for n, m in numbered if lines.intersection(lines_of(text, m))]


class FileSchema:
    """The schemata of one file's mutants, numbered (number -> mutant), from its unchanged text."""

    def __init__(self, relative, text, layout, numbered):
        self.relative, self.text, self.layout = relative, text, layout
        self.numbered = dict(numbered)

    def chosen(self, numbers):
        return [(n, self.numbered[n]) for n in numbers]

    def unchanged(self, numbers):
        """The schema with every switch off, as constants: it must compile to the unchanged object."""
        return schema(self.text, self.chosen(numbers), self.layout, OFF)

    def contents(self, numbers):
        """The files of a runtime built from the schema of these mutants, its switch among them."""
        return {self.relative: schema(self.text, self.chosen(numbers), self.layout),
                SWITCH_UNIT: SWITCH_SOURCE.read_bytes()}

    def culprits(self, output, numbers):
        return [n for n, _ in culprits(output, self.relative, self.text, self.chosen(numbers))]
