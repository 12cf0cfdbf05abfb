"""The hunt's inputs: for each program, random texts in its own input language, biased to the edges;
and for the programs whose input a runtime reads, which texts every runtime must read alike."""

import math
import re
import struct
from fractions import Fraction

INT_MIN, INT_MAX = -2**31, 2**31 - 1
DBL_TRUE_MIN = 5e-324
FLT_TRUE_MIN = struct.unpack("<f", struct.pack("<I", 1))[0]
FLT_MAX = struct.unpack("<f", struct.pack("<I", 0x7F7FFFFF))[0]
# Fields wider than this would have each call write megabytes of blanks.
WIDEST = 100000
DIGITS = "0123456789"
ASCII_LETTERS = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
# White space that is neither a blank nor a line end: tab, carriage return, form feed, vertical tab.
OTHER_WHITE = "\t\r\f\v"


def edge_ints():
    values = {0, 1, -1, INT_MIN, INT_MIN + 1, INT_MAX, INT_MAX - 1}
    for k in range(1, 10):
        for n in (10**k - 1, 10**k, 10**k + 1):
            values |= {n, -n}
    for k in range(1, 31):
        values |= {2**k, 2**k - 1, -2**k, -(2**k - 1)}
    return sorted(values)


EDGE_INTS = edge_ints()
EDGE_PLACES = sorted({-1, 0, 1, 2, 3, 7, 8, 9, 10, 11, 12, 16, 17, 30, 61, 62, 63, 64, 70, 127, 128,
                      253, 254, 255, 256, 257, 300, 1000, 4096, WIDEST,
                      -2, -3, -4, -5, -8, -11, -12, -62, -63, -64, -70, -254, -255, -256, -257,
                      -1000, -WIDEST})


def as_float(x):
    """x rounded to single precision."""
    try:
        return struct.unpack("<f", struct.pack("<f", x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


def real_text(x, single=False):
    """The shortest decimal that strtod (or strtof) reads back as x; nan, inf, -inf as such."""
    if math.isnan(x):
        return "nan"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    if not single:
        return repr(x)
    for digits in range(1, 10):
        text = f"{x:.{digits}g}"
        if as_float(float(text)) == x:
            return text
    return repr(x)


def place_count(rng, widest=WIDEST):
    roll = rng.random()
    if roll < 0.45:
        return rng.randint(-12, 20)
    if roll < 0.7:
        return rng.choice([p for p in EDGE_PLACES if abs(p) <= widest])
    # Every order of magnitude up to the widest as often as any other, so that a fault at some
    # widths of any size shows, and a batch of them stays far below the output limit.
    width = int(math.exp(rng.uniform(0, math.log(widest + 1))))
    return rng.choice((width, -width))


def integer(rng):
    roll = rng.random()
    if roll < 0.5:
        return rng.choice(EDGE_INTS)
    if roll < 0.7:
        return rng.randint(-999, 999)
    return rng.randint(INT_MIN, INT_MAX)


def real(rng, single=False):
    """A long real (or a real) near an edge: zeros, extremes, subnormals, powers of ten and their
    neighbours, values exactly halfway between two decimals, infinities, NaNs; else random bits."""
    top, tiny, low, high = (FLT_MAX, FLT_TRUE_MIN, -45, 38) if single else \
        (1.7976931348623157e308, DBL_TRUE_MIN, -323, 308)
    roll = rng.random()
    if roll < 0.1:
        x = rng.choice([0.0, -0.0, math.inf, -math.inf, math.nan, top, -top, tiny, -tiny,
                        tiny * rng.randint(1, 1000), 1.0, -1.0, 0.5, 9.5, 0.05, 0.95, 9.99])
    elif roll < 0.35:
        x = float(f"1e{rng.randint(low, high)}")
        x = rng.choice([x, math.nextafter(x, math.inf), math.nextafter(x, -math.inf)])
    elif roll < 0.6:
        # A decimal with a 5 in its last place that binary holds exactly: k / 2^j.
        j = rng.randint(1, 12)
        x = (2 * rng.randint(0, 2**j) + 1) / 2**j * rng.choice([1, 1, 10, 100, 1e-1])
    elif roll < 0.8:
        x = round(rng.uniform(-1000, 1000), rng.randint(0, 8))
    else:
        bits = rng.getrandbits(32 if single else 64)
        x = struct.unpack("<f" if single else "<d", struct.pack("<I" if single else "<Q", bits))[0]
    x = -x if rng.random() < 0.3 else x
    return as_float(x) if single else x


def decimal(value):
    """The exact decimal text of a fraction whose denominator has no prime factor but 2 and 5."""
    twos = fives = 0
    den = value.denominator
    while den % 2 == 0:
        den, twos = den // 2, twos + 1
    while den % 5 == 0:
        den, fives = den // 5, fives + 1
    assert den == 1, value
    places = max(twos, fives)
    digits = str(abs(value.numerator) * 10**places // value.denominator).rjust(places + 1, "0")
    text = digits[:len(digits) - places] + ("." + digits[len(digits) - places:] if places else "")
    return ("-" if value < 0 else "") + text


def single_of_bits(bits):
    return struct.unpack("<f", struct.pack("<I", bits))[0]


def boundary_text(rng):
    """(text, scale): a decimal text beside the halfway point between two neighbouring
    single-precision values (on it, a hair to one side, a little to one side, or its digits cut
    short), and the power of two that makes both neighbours whole numbers of at most 2^24. A hair
    nearer than a double can tell apart reads as the halfway point itself when the text goes to a
    double first and then to single precision: rounded twice, it lands one unit from the single
    nearest the text."""
    roll = rng.random()
    if roll < 0.6:
        exponent = rng.randint(-20, 40)
    elif roll < 0.9:
        exponent = rng.randint(-126, 127)
    else:
        exponent = -127  # subnormal
    bits = ((exponent + 127) << 23 | rng.getrandbits(23)) if exponent > -127 else rng.randint(1, 0x7FFFFF)
    bits = min(bits, 0x7F7FFFFE)  # the next value up must be finite
    low, high = Fraction(single_of_bits(bits)), Fraction(single_of_bits(bits + 1))
    halfway = (low + high) / 2
    side = rng.choice((-1, 1))
    roll = rng.random()
    if roll < 0.2:
        text = decimal(halfway)
    elif roll < 0.6:
        places = len(decimal(halfway).partition(".")[2]) + rng.randint(1, 30)
        text = decimal(halfway + side * Fraction(1, 10**places))
    elif roll < 0.8:
        text = decimal(halfway + side * (high - low) / 2**rng.randint(2, 20))
    else:
        # The halfway point's digits cut after a count of significant ones: just below it.
        text = decimal(halfway)
        if "." in text:
            first = next(i for i, ch in enumerate(text) if ch not in "0.")
            text = text[:max(rng.randint(first + 7, len(text)), text.index(".") + 2)]
    exponent_bits = bits >> 23
    return text, (150 - exponent_bits if exponent_bits else 149)


def boundary_expression(rng):
    """An evaluator line that reads a text beside a rounding boundary and scales the single it
    gives to a whole number, which the answer then shows digit for digit."""
    text, scale = boundary_text(rng)
    factors = []
    while scale > 100 or scale < -100:
        step = 100 if scale > 0 else -100
        factors.append(step)
        scale -= step
    factors.append(scale)
    sign = rng.choice(("", "", "-"))
    return sign + text + "".join(f"*2^{k}" for k in factors)


def plain_number(rng):
    """A number as evalix's user types it, in the plain decimal form that every reader must read
    alike: leading zeros, fractions, long digit runs."""
    roll = rng.random()
    if roll < 0.25:
        text = str(rng.choice(EDGE_INTS))
    elif roll < 0.45:
        text = "0" * rng.randint(0, 12) + str(rng.randint(0, 10**rng.randint(1, 15)))
    elif roll < 0.6:
        text = f"{rng.randint(0, 10**rng.randint(0, 9))}.{rng.randint(0, 10**rng.randint(0, 12))}"
    elif roll < 0.7:
        text = "." + str(rng.randint(0, 10**rng.randint(1, 8)))
    elif roll < 0.8:
        text = real_text(real(rng, single=True), single=True)
        text = text if "e" not in text and text[-1:].isdigit() else str(rng.randint(0, 99))
    elif roll < 0.83:
        # Long tokens, through the reader's every growth.
        text = "0" * rng.choice((40, 63, 64, 65, 255, 256, 300)) + str(rng.randint(0, 999))
    else:
        text = str(rng.randint(0, 99))
    return text


def free_number(rng):
    """A text handed to evalix's number reader whose reading is the runtime's own: "@" exponents,
    a stray character right after the digits, a sign or point alone, numbers out of the single
    range, long tokens that end in something else."""
    digits = plain_number(rng).lstrip("-") or "1"
    roll = rng.random()
    if roll < 0.3:
        return digits + rng.choice((OTHER_WHITE + "eEdDfxX@.+_,(", stray_byte(rng)))
    if roll < 0.55:
        exponent = rng.choice((str(rng.randint(-60, 60)), f"+{rng.randint(0, 45)}", "", "-", "+",
                               "0" * 40 + "1", " 5", "@2", str(rng.randint(-99, 99)) + "."))
        return rng.choice((digits, "1", "1.5")) + rng.choice("@@@eE") + exponent
    if roll < 0.7:
        return rng.choice(("-", ".", "-.", "- 3", "--3", "-+3", "-x", "-(", "-@1", "5.", "0x10",
                           "1.2.3", "00.", "-.e1"))
    if roll < 0.85:
        return rng.choice(("1" + "0" * rng.randint(39, 60), "0." + "0" * rng.randint(45, 60) + "1",
                           "340282357" + "0" * 30, "-1" + "0" * 50))
    # A long token that the reader gives up on: how much of it the report quotes.
    return "9" * rng.choice((39, 40, 41, 60, 255, 256, 300)) + rng.choice(("@", "@x", "x", ".", "e"))


ANY_BUT_A_LINE_END = [chr(b) for b in range(256) if b != 10]


def stray_byte(rng):
    """Any byte but a line end; the other white space and NUL more often."""
    return rng.choice(OTHER_WHITE + "\0") if rng.random() < 0.25 else rng.choice(ANY_BUT_A_LINE_END)


LETTERS = "abcdefghijklmnopqrstuvwxyzQXZ"
# Binary minus is written straight before a number: before anything else, a run that reads it
# where an operand belongs (after a report) would hand a lone "-" to the reader.
OPERATORS = "+*/^"


def expression(rng, number, depth=0):
    parts = [operand(rng, number, depth)]
    for _ in range(rng.choice([0, 1, 1, 2, 3, 4, 6])):
        if rng.random() < 0.12:
            parts.append(":" + rng.choice(LETTERS))
        elif rng.random() < 0.2:
            parts.append(rng.choice(["", " "]) + "-" + number(rng).lstrip("-"))
        else:
            parts.append(rng.choice(["", " "]) + rng.choice(OPERATORS) + rng.choice(["", "", " "]))
            parts.append(operand(rng, number, depth))
    return "".join(parts)


def operand(rng, number, depth):
    roll = rng.random()
    if roll < 0.15 and depth < 6:
        return "(" + expression(rng, number, depth + 1) + rng.choice([")", ")", ")", ""])
    if roll < 0.3:
        return rng.choice(LETTERS)
    return number(rng)


def evalix_line(rng, free=False):
    """One input line of the evaluator: an expression, now and then assigned, continued on the
    next line, or malformed (a stray byte where an operand or operator belongs); free: one that
    hands the reader a text whose reading is the runtime's own."""
    if free and rng.random() < 0.05:
        depth = rng.choice((1000, 10000, 100000, 300000))
        return "(" * depth + "1" + ")" * depth
    if not free and rng.random() < 0.08:
        return boundary_expression(rng)
    line = expression(rng, free_number if free else plain_number)
    roll = rng.random()
    if roll < 0.1:
        line += rng.choice(["+", "*", "(", "-1"]) + "\n" + expression(rng, plain_number)
    elif roll < 0.45:
        for _ in range(rng.randint(1, 3)):
            at = rng.randint(0, len(line))
            line = line[:at] + rng.choice([" ", " ", ""]) + stray_byte(rng) + line[at:]
    elif roll < 0.5:
        line = rng.choice(["()", "1/0", "0/0", "3:5", "3: a", "", "   ", "a\r", "(1)\t"]) + rng.choice(["", "+" + line])
    if free and rng.random() < 0.2:
        line += "\r"
    return line


def caller_line(rng, routine):
    """A line for a formatting caller or for call-runtime."""
    if routine in ("intcol", "padform"):
        widest = WIDEST
        places = INT_MIN if routine == "intcol" and rng.random() < 0.01 else place_count(rng, widest)
        return f"{integer(rng)} {places}"
    if routine == "decform":
        return f"{real_text(real(rng))} {place_count(rng)}"
    if routine == "figshow":
        return f"{real_text(real(rng))} {place_count(rng)}"
    if routine == "fixconv":
        return f"{real_text(real(rng, True), True)} {place_count(rng, 240)}"
    if routine == "flshow":
        x = real_text(real(rng, True), True)
        word = rng.choice(["FRACTION", "PRINTFL", "PRINT", "PRINT"])
        if word == "PRINT":
            return f"PRINT {x} {place_count(rng, 1000)} {place_count(rng, 1000)}"
        return f"{word} {x} {place_count(rng)}"
    word = rng.choice(["write", "writeint", "itos", "printfl", "printfl", "rtos", "rtos"])
    if word == "printfl":
        return f"printfl {real_text(real(rng))} {place_count(rng, 1000)}"
    if word == "rtos":
        return f"rtos {real_text(real(rng, True), True)} {place_count(rng, 240)}"
    return f"{word} {integer(rng)} {place_count(rng, 1000)}"


def rounds_file(rng, free=False):
    """piseries' rounds.txt: a count, small enough to sum quickly, or one its loop refuses; free:
    one whose reading is the runtime's own (other white space before it, a stray character right
    after it, an exponent, a fraction, a sign, a count out of range, a long token)."""
    roll = rng.random()
    if roll < 0.4:
        count = rng.randint(-3, 2000)
    elif roll < 0.6:
        count = rng.choice([-1, -2, INT_MIN, INT_MIN + 1, INT_MAX, INT_MAX - 1, 10**6])
    else:
        count = rng.randint(0, 10**rng.randint(1, 6))
    digits = "0" * rng.choice([0, 0, 0, rng.randint(1, 12), 300]) + str(abs(count))
    number = ("-" if count < 0 else "") + digits
    before = rng.choice(["", "", "\n", "  ", "\n\n  "])
    after = rng.choice(["\n", "\n", "", " \n"])
    if not free:
        return before + number + after
    roll = rng.random()
    if roll < 0.3:
        before = "".join(rng.choice(OTHER_WHITE + " \n") for _ in range(rng.randint(1, 3)))
    elif roll < 0.6:
        after = rng.choice((OTHER_WHITE + "@e.x,", stray_byte(rng))) + rng.choice(("", "\n", "5", "abc"))
    elif roll < 0.75:
        # Counts that stay small enough to sum quickly, read however the exponent is.
        number = rng.choice(("+", "")) + str(rng.randint(0, 99)) + rng.choice(("@", "e", "E")) + str(rng.randint(-3, 4))
    elif roll < 0.9:
        number = rng.choice(("+" + digits, "3.5", digits + ".0", "-", "- 5", "abc", "", "99999999999",
                             "-2147483649", "2147483648", "9" * rng.choice((40, 41, 60, 300)) + "x"))
    else:
        return "".join(stray_byte(rng) for _ in range(rng.randint(0, 4)))
    return before + number + after


def argument(rng, free=False):
    roll = rng.random()
    if roll < 0.2:
        return ""
    if roll < 0.5:
        return rng.choice(["one", "a b  c", " lead", "trail ", "-1", "2147483648", "\"", "--x", "=", "%d"])
    if roll < 0.7:
        return "".join(chr(rng.randint(1, 255)) for _ in range(rng.randint(1, 12)))
    longest = 400 if free else 255
    return "x" * rng.choice([1, 254, 255, rng.randint(1, longest)] + ([256, 300, 4000] if free else []))


def argument_vector(rng, free=False):
    return [argument(rng, free) for _ in range(rng.choice([0, 1, 2, 3, 5, 8, 20]))]


def tpk_input(rng, free=False):
    """rootcubes' eleven numbers, as the seeded program reads them."""
    def one():
        if rng.random() < 0.3:
            return rng.choice(["0", "-0", "4", "5", "4.3", "4.30000019", "-3", "nan", "inf", "-inf",
                               "3.40282347e+38", "1.4e-45", "-1e30"])
        return real_text(real(rng, True), True)
    return [one() for _ in range(11)]


# What every runtime must read alike.
PLAIN_DECIMAL = re.compile(r"-?(?:[0-9]+(?:\.[0-9]+)?|\.[0-9]+)")
# The characters that end a plain decimal in any number syntax: a blank, a line end, and the
# evaluator's operators, ")" and ":".
ENDS_A_NUMBER = frozenset(" \n+-*/^):")
# Deeper than this, whether a run answers or reports an exhausted stack is the runtime's choice.
DEEPEST = 500


def plain_decimal_end(text, at):
    """Where the number that a reader given text[at:] takes ends, when every runtime must read it
    alike: a plain decimal, ended by a character that ends a number in any syntax, whose value
    lies in the single range (zero, or no nearer zero than the smallest subnormal); else None."""
    match = PLAIN_DECIMAL.match(text, at)
    if not match or (match.end() < len(text) and text[match.end()] not in ENDS_A_NUMBER):
        return None
    value = abs(float(match.group()))
    return match.end() if value == 0 or FLT_TRUE_MIN <= value <= FLT_MAX else None


OPERAND, OPERATOR = "operand", "operator"
START = frozenset({(OPERAND, 0, False)})
SPACES = re.compile(r"[ \n]*")


def evalix_scan(text, starts=START):
    """evalix's scanning of the text, from the scanner states `starts`: the states it may end in
    when every text that it may hand to the number reader is read alike by every runtime, else
    None. A state is (operand or operator position, parentheses open, a division pending in the
    expression). Where the scan depends on values (a letter may be unassigned, a division may
    be by zero, and either report abandons the expression), both ways are followed."""
    ends, seen = set(), set()
    todo = [(0, *state) for state in starts]
    while todo:
        at, position, depth, divided = todo.pop()
        while at < len(text):
            config = (at, position, depth, divided)
            if config in seen:  # a way already followed from here on
                break
            seen.add(config)
            ch = text[at]
            if position == OPERAND:
                if ch in " \n":
                    at = SPACES.match(text, at).end()
                elif ch in DIGITS or ch in "-.":
                    at = plain_decimal_end(text, at)
                    if at is None:
                        return None
                    position = OPERATOR
                elif ch == "(":
                    at, depth = at + 1, depth + 1
                    if depth > DEEPEST:
                        return None
                elif ch in ASCII_LETTERS:
                    at += 1
                    todo.append((at, OPERAND, 0, False))  # unassigned: reported
                    position = OPERATOR
                else:
                    at, depth, divided = at + 1, 0, False  # reported as no operand
            elif ch == " ":
                at += 1
            else:
                at += 1
                if divided and ch in "+-*/^:)\n":
                    todo.append((at, OPERAND, 0, False))  # the pending division was by zero
                if ch in "+-*/^":
                    position, divided = OPERAND, divided or ch == "/"
                elif ch == ":":
                    if at < len(text) and text[at] in ASCII_LETTERS:
                        at += 1
                    else:
                        at, position, depth, divided = at + 1, OPERAND, 0, False
                elif ch in ")\n" and depth > 0:
                    depth -= 1
                else:  # the expression ends, or an operator is reported
                    position, depth, divided = OPERAND, 0, False
        else:
            ends.add((position, depth, divided))
    return frozenset(ends)


def evalix_plain(lines):
    return evalix_scan("".join(line + "\n" for line in lines)) is not None


def evalix_batch(rng, size, free=False):
    """size lines; when not free, each kept only if the whole stays plain."""
    if free:
        return [evalix_line(rng, True) for _ in range(size)]
    lines, states = [], START
    while len(lines) < size:
        line = evalix_line(rng)
        after = evalix_scan(line + "\n", states)
        if after is not None:
            lines.append(line)
            states = after
    return lines


PLAIN_COUNT = re.compile(r"[ \n]*(-?[0-9]+)[ \n]*\Z|[ \n]*\Z")


def rounds_plain(texts):
    """Whether every runtime must read rounds.txt alike: a count in the integer range, with only
    blanks and line ends around it, or no count at all (the input has ended)."""
    match = PLAIN_COUNT.match(texts[0])
    return bool(match) and (match.group(1) is None or INT_MIN <= int(match.group(1)) <= INT_MAX)


def arguments_plain(vectors):
    """Whether every runtime must hand the arguments over alike: none is longer than a string holds."""
    return all(len(a) <= 255 for a in vectors[0])
