"""The hunt's inputs: for each program, random texts in its own input language, biased to the edges."""

import math
import struct

INT_MIN, INT_MAX = -2**31, 2**31 - 1
DBL_TRUE_MIN = 5e-324
FLT_TRUE_MIN = struct.unpack("<f", struct.pack("<I", 1))[0]
FLT_MAX = struct.unpack("<f", struct.pack("<I", 0x7F7FFFFF))[0]
# Fields wider than this would have each call write megabytes of blanks.
WIDEST = 100000


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
    if roll < 0.5:
        return rng.randint(-12, 20)
    if roll < 0.8:
        return rng.choice([p for p in EDGE_PLACES if abs(p) <= widest])
    return rng.randint(-widest, widest)


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


def digits_text(rng, strict):
    """A number as evalix's user types it; strict: only the plain decimals that any reader reads
    alike, else the bundled reader's exponents and texts that start like a number but are none."""
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
    else:
        text = str(rng.randint(0, 99))
    if not strict and rng.random() < 0.15:
        text = rng.choice([text + "@" + str(rng.randint(-50, 50)), "-", ".", "-.", text + "."])
    return text


LETTERS = "abcdefghijklmnopqrstuvwxyzQXZ"
OPERATORS = "+-*/^"
STRANGE = "$#\t!?,;=&%~x"


def expression(rng, strict, depth=0):
    parts = [operand(rng, strict, depth)]
    for _ in range(rng.choice([0, 1, 1, 2, 3, 4, 6])):
        if rng.random() < 0.12:
            parts.append(":" + rng.choice(LETTERS))
        else:
            parts.append(rng.choice(["", " "]) + rng.choice(OPERATORS) + rng.choice(["", "", " "]))
            parts.append(operand(rng, strict, depth))
    return "".join(parts)


def operand(rng, strict, depth):
    roll = rng.random()
    if roll < 0.15 and depth < 6:
        return "(" + expression(rng, strict, depth + 1) + rng.choice([")", ")", ")", ""])
    if roll < 0.3:
        return rng.choice(LETTERS)
    return digits_text(rng, strict)


def evalix_line(rng, strict):
    """One input line of the evaluator: an expression, now and then assigned, continued on the
    next line, or malformed (a stray character where an operand or operator belongs)."""
    line = expression(rng, strict)
    roll = rng.random()
    if roll < 0.1:
        line += rng.choice(["+", "*", "(", "-"]) + "\n" + expression(rng, strict)
    elif roll < 0.25:
        # A space before the stray character, so that no reader takes it for part of a number.
        at = rng.randint(0, len(line))
        line = line[:at] + " " + rng.choice(STRANGE + ":)") + line[at:]
    elif roll < 0.3:
        line = rng.choice(["()", "1/0", "0/0", "3:5", "3: a", "", "   "]) + rng.choice(["", "+" + line])
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


def rounds_file(rng, strict):
    """piseries' rounds.txt: a count, small enough to sum quickly, or one its loop refuses."""
    roll = rng.random()
    if roll < 0.4:
        count = rng.randint(-3, 2000)
    elif roll < 0.6:
        count = rng.choice([-1, -2, INT_MIN, INT_MIN + 1, INT_MAX, INT_MAX - 1, 2**31, -2**31 - 1,
                            10**6, 99999999999, 10**12])
    else:
        count = rng.randint(0, 10**rng.randint(1, 6))
    text = "0" * rng.choice([0, 0, 0, rng.randint(1, 12)]) + str(abs(count))
    text = ("-" if count < 0 else "") + text
    text = rng.choice(["", "", "\n", "  ", "\n\n  "]) + text + rng.choice(["\n", "\n", "", " \n"])
    if not strict and rng.random() < 0.2:
        text = rng.choice([text + "abc", "3.5\n", "-x\n", "", "abc\n", "1@3\n", "+7\n"])
    return text


def argument(rng, strict):
    roll = rng.random()
    longest = 255 if strict else 400
    if roll < 0.2:
        return ""
    if roll < 0.5:
        return rng.choice(["one", "a b  c", " lead", "trail ", "-1", "2147483648", "\"", "--x", "=", "%d"])
    if roll < 0.7:
        return "".join(chr(rng.randint(1, 255)) for _ in range(rng.randint(1, 12)))
    return "x" * rng.choice([1, 254, 255, rng.randint(1, longest)] + ([256, 300] if not strict else []))


def argument_vector(rng, strict):
    return [argument(rng, strict) for _ in range(rng.choice([0, 1, 2, 3, 5, 8, 20]))]


def tpk_input(rng):
    """rootcubes' eleven numbers, as the seeded program reads them."""
    def one():
        if rng.random() < 0.3:
            return rng.choice(["0", "-0", "4", "5", "4.3", "4.30000019", "-3", "nan", "inf", "-inf",
                               "3.40282347e+38", "1.4e-45", "-1e30"])
        return real_text(real(rng, True), True)
    return [one() for _ in range(11)]
