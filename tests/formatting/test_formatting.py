#!/usr/bin/env python3
"""Properties of the formatting routines over many seeded random arguments, run through their
callers: layouts and field widths, digits that read back within the rounding asked for, an
immediate end for every argument, and archives that link into a caller's own program."""
import math
import os
import random
import re
import struct
import subprocess
import tempfile
import threading
import unittest
from decimal import Decimal, getcontext
from fractions import Fraction
from pathlib import Path

from suite import launcher

ROOT = Path(__file__).resolve().parents[2]

LAUNCHER = launcher.from_environment()
BIN = Path(os.environ.get("FORMATTING_BIN", ROOT / "build/bin"))
LIB = Path(os.environ.get("FORMATTING_LIB", ROOT / "build/lib"))
SEED = int(os.environ.get("FORMATTING_SEED", "20261208"))
COUNT = int(os.environ.get("FORMATTING_COUNT", "100000"))
INT_MIN, INT_MAX = -2**31, 2**31 - 1

getcontext().prec = 60


def results(program, lines, args=(), timeout=120):
    """The bracketed result of each input line, in order."""
    done = LAUNCHER.run(BIN / program, args, input="".join(l + "\n" for l in lines),
                        capture_output=True, text=True, encoding="latin-1", timeout=timeout)
    if done.returncode != 0 or done.stderr:
        raise AssertionError(f"{program} ended with {done.returncode}: {done.stderr[:500]}")
    out = done.stdout.split("\n")
    assert out.pop() == "", "the output ends with a line end"
    assert len(out) == len(lines), f"{len(out)} results for {len(lines)} lines"
    for line in out:
        assert line.startswith("[") and line.endswith("]"), line[:200]
    return [line[1:-1] for line in out]


def leading_spaces_then(program, line, timeout=120):
    """The one result of a line whose field may be gigabytes wide, streamed: the number of
    spaces that open it, and the text after them."""
    with LAUNCHER.popen(BIN / program, stdin=subprocess.PIPE, stdout=subprocess.PIPE) as process:
        # a routine that never ends is stopped, and then fails the status check
        watchdog = threading.Timer(LAUNCHER.time_limit(timeout), process.kill)
        watchdog.start()
        process.stdin.write((line + "\n").encode())
        process.stdin.close()
        buffer = bytearray(1 << 20)
        spaces, tail, start = 0, bytearray(), 1
        while n := os.readv(process.stdout.fileno(), [buffer]):
            if start:
                assert buffer[0] == ord("["), buffer[:80]
            if not tail and buffer.count(b" ", start, n) == n - start:
                spaces += n - start
            else:
                chunk = bytes(buffer[start:n])
                if not tail:
                    spaces += len(chunk) - len(chunk.lstrip(b" "))
                    chunk = chunk.lstrip(b" ")
                tail += chunk
            start = 0
        watchdog.cancel()
        assert process.wait() == 0
    assert tail.endswith(b"]\n"), tail[-80:]
    return spaces, tail[:-2].decode()


def double_bits(rng):
    """Doubles from every binade, both signs, subnormals and exact zeros included."""
    return struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64) & ~(0x7ff << 52)
                                           | rng.randrange(0x7ff) << 52))[0]


def random_doubles(rng, count):
    notable = [0.0, -0.0, 5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, 9.95, 9.995,
               0.95, 0.5, 1.0, 10.0]
    values = []
    for i in range(count):
        kind = i % 4
        if kind == 0:
            values.append(double_bits(rng))
        elif kind == 1:
            values.append(rng.uniform(-1e6, 1e6))
        elif kind == 2:
            # decimal values on and around the rounding boundaries of a few digits
            digits = rng.randrange(1, 9)
            values.append(rng.choice((-1, 1)) * (rng.randrange(10**digits) + 0.5) * 10.0**rng.randrange(-12, 12))
        else:
            values.append(rng.choice(notable) * rng.choice((-1, 1)))
    return values


def places_counts(rng, count, low=-80, high=80):
    extremes = [62, 63, 70, -62, -63, -64, -70, 0, 1, -1, 7, 8, -8]
    return [rng.choice(extremes) if rng.random() < 0.2 else rng.randint(low, high) for _ in range(count)]


def within_rounding(shown, x, unit, slack):
    """True when the shown digits lie within half a unit of the last place of x, give or take
    the rounding error of the routine's own arithmetic (slack, relative to x)."""
    return abs(shown - abs(Decimal(x))) <= unit / 2 + abs(Decimal(x)) * Decimal(slack)


class DecformTest(unittest.TestCase):
    LAYOUT = re.compile(r"( *)([ -])([0-9])(?:\.([0-9]+))?@(-?[0-9]+)\Z")

    def test_layout_and_digits_read_back_within_the_rounding(self):
        rng = random.Random(SEED)
        values = random_doubles(rng, COUNT)
        places = places_counts(rng, COUNT)
        texts = results("call-decform", [f"{x!r} {p}" for x, p in zip(values, places)])
        for x, p, text in zip(values, places, texts):
            with self.subTest(x=x, places=p, text=text):
                m = self.LAYOUT.match(text)
                self.assertIsNotNone(m)
                spaces, sign, lead, fraction, exponent = m.groups()
                count = ~p if p < 0 else p
                self.assertEqual(len(spaces), max(count - 62, 0))
                self.assertEqual(sign, "-" if x < 0 else " ")
                self.assertEqual(len(fraction or ""), min(count, 7))
                if x == 0:
                    self.assertEqual((lead + (fraction or "")).strip("0"), "")
                    self.assertEqual(exponent, "-99")
                    continue
                self.assertNotEqual(lead, "0")
                digits = min(count, 7)
                shown = Decimal(lead + (fraction or "")).scaleb(int(exponent) - digits)
                unit = Decimal(1).scaleb(int(exponent) - digits)
                # the mantissa is normalised by up to 324 roundings of a double
                self.assertTrue(within_rounding(shown, x, unit, "1e-13"))

    def test_non_finite_values_end_at_once(self):
        rng = random.Random(SEED + 1)
        lines, wanted = [], []
        for _ in range(2000):
            kind = rng.randrange(3)
            p = rng.randint(-80, 80)
            count = ~p if p < 0 else p
            if kind < 2:
                lines.append(("-inf" if kind else "inf") + f" {p}")
                wanted.append(" " * max(count - 62, 0) + ("-Inf" if kind else " Inf"))
            else:
                payload = rng.getrandbits(52) or 1
                lines.append(f"bits:{(rng.getrandbits(1) << 63 | 0x7ff << 52 | payload):016x} {p}")
                wanted.append(" " * max(count - 62, 0) + " NaN")
        self.assertEqual(results("call-decform", lines, timeout=10), wanted)

    def test_places_at_the_32_bit_extremes(self):
        # the ones' complement of the most negative count is the largest: both give spaces
        # for 2147483647 - 62 columns, then the sign position of 1.5
        for places in (INT_MAX, INT_MIN):
            with self.subTest(places=places):
                self.assertEqual(leading_spaces_then("call-decform", f"1.5 {places}"),
                                 (INT_MAX - 62 + 1, "1.5000000@0"))


def integer_field_width(value, places, limit=None):
    """Columns of an integer write: places + 1 with a sign column for a positive count, the
    bare number for 0, -places (up to the limit) for a negative count; digits never cut. With a
    limit (intcol), the width of the most negative count wraps in 32 bits: the bare number."""
    digits = len(str(abs(value)))
    if places > 0:
        return max(places + 1, digits + 1)
    bare = digits + (value < 0)
    if places == 0 or (limit is not None and places == INT_MIN):
        return bare
    return max(-places if limit is None else min(-places, limit), bare)


def check_integer_fields(test, program, seed, places_extremes, limit=None):
    rng = random.Random(seed)
    notable = [INT_MIN, INT_MAX, INT_MIN + 1, 0, 1, -1, 9, 10, -9, -10, 99, -100]
    values = [rng.choice(notable) if i % 5 == 0 else
              rng.randint(-1000, 1000) if i % 5 == 1 else
              rng.randint(INT_MIN, INT_MAX) >> rng.randrange(32) for i in range(COUNT)]
    places = [rng.choice(places_extremes) if rng.random() < 0.02 else p
              for p in places_counts(rng, COUNT, -100, 100)]
    texts = results(program, [f"{v} {p}" for v, p in zip(values, places)])
    for v, p, text in zip(values, places, texts):
        with test.subTest(value=v, places=p, text=text):
            test.assertEqual(text.lstrip(" "), str(v))
            test.assertEqual(len(text), integer_field_width(v, p, limit))


class IntcolTest(unittest.TestCase):
    def test_field_widths(self):
        check_integer_fields(self, "call-intcol", SEED + 10, [INT_MIN, INT_MIN + 1, -1000, 1000], 63)

    def test_places_at_the_largest_count(self):
        # one space at a time up to the 62 columns that the text holds; this takes a while
        self.assertEqual(leading_spaces_then("call-intcol", f"5 {INT_MAX}", timeout=600),
                         (INT_MAX, "5"))


class PadformTest(unittest.TestCase):
    def test_field_widths(self):
        check_integer_fields(self, "call-padform", SEED + 20, [-1000, 1000, -300, 300])

    def test_places_at_the_32_bit_extremes(self):
        # the whole field is places + 1 and -places columns: 2147483648 both times
        for value, places in ((7, INT_MAX), (-7, INT_MIN), (INT_MIN, INT_MIN)):
            with self.subTest(value=value, places=places):
                self.assertEqual(leading_spaces_then("call-padform", f"{value} {places}"),
                                 (2**31 - len(str(value)), str(value)))


def float_of_bits(bits):
    return struct.unpack("<f", struct.pack("<I", bits))[0]


class FixconvTest(unittest.TestCase):
    LAYOUT = re.compile(r"([ -])([0-9]+)(?:\.([0-9]+))?@(-?[0-9]+)\Z")

    def test_one_digit_before_the_point_and_digits_within_the_rounding(self):
        rng = random.Random(SEED + 30)
        # every bit pattern is a candidate: infinities and NaNs come up now and then
        bits = [rng.getrandbits(32) for _ in range(COUNT)]
        places = [rng.randint(-300, 240) if rng.random() < 0.05 else rng.randint(-6, 12)
                  for _ in range(COUNT)]
        texts = results("call-fixconv", [f"bits:{b:08x} {p}" for b, p in zip(bits, places)])
        for b, p, text in zip(bits, places, texts):
            x = float_of_bits(b)
            with self.subTest(value=x, places=p, text=text):
                if x != x:
                    self.assertEqual(text, " NaN")
                    continue
                if abs(x) == float("inf"):
                    self.assertEqual(text, "-Inf" if x < 0 else " Inf")
                    continue
                m = self.LAYOUT.match(text)
                self.assertIsNotNone(m)
                sign, whole, fraction, exponent = m.groups()
                e = int(exponent)
                self.assertEqual(sign, "-" if x < 0 else " ")
                self.assertEqual(len(fraction or ""), max(p, 0))
                if x == 0:
                    self.assertEqual(e, -99)
                    continue
                if p > -4:
                    self.assertEqual(len(whole), 1)
                else:
                    self.assertEqual(e, 0)
                shown = Decimal(whole + "." + (fraction or "0")).scaleb(e)
                unit = Decimal(1).scaleb(e - max(p, 0))
                # each scaling step rounds to single precision
                self.assertTrue(within_rounding(shown, x, unit, Decimal(abs(e) + 2) / 2**24))


def random_floats(rng, count):
    """Single precision values: every bit pattern (infinities and NaNs now and then), plain
    decimals, and values on the rounding boundaries of a few digits."""
    values = []
    for i in range(count):
        if i % 3 == 0:
            values.append(float_of_bits(rng.getrandbits(32)))
        elif i % 3 == 1:
            values.append(struct.unpack("<f", struct.pack("<f", rng.uniform(-1e4, 1e4)))[0])
        else:
            digits = rng.randrange(1, 6)
            x = rng.choice((-1, 1)) * (rng.randrange(10**digits) + 0.5) * 10.0**rng.randrange(-8, 8)
            values.append(struct.unpack("<f", struct.pack("<f", x))[0])
    return values


def non_finite_text(x):
    if x != x:
        return " NaN"
    return "-Inf" if x < 0 else " Inf"


class FlshowTest(unittest.TestCase):
    FLOATING = re.compile(r"([ -])([1-9])(?:\.([0-9]+))?@ ?(-?[0-9]+)\Z")
    FIXED = re.compile(r"( *)(-?)([0-9]+)(?:\.([0-9]+))?\Z")

    def check_floating(self, x, n, text):
        """PRINTFL's layout, digits within half a unit of the n-th place (more only by the
        single precision roundings of normalising, one per step, and of the digit steps)."""
        if x != x or abs(x) == float("inf"):
            self.assertEqual(text, non_finite_text(x))
            return
        if x == 0:
            self.assertEqual(text, " 0" + ("." + "0" * n if n > 0 else "") + "@-99")
            return
        m = self.FLOATING.match(text)
        self.assertIsNotNone(m)
        sign, lead, fraction, exponent = m.groups()
        e = int(exponent)
        self.assertEqual(sign, "-" if x < 0 else " ")
        self.assertEqual(len(fraction or ""), max(n, 0))
        shown = Decimal(lead + (fraction or "")).scaleb(e - max(n, 0))
        unit = Decimal(1).scaleb(e - max(n, 0))
        self.assertTrue(within_rounding(shown, x, unit, Decimal(abs(e) + 4) / 2**23))

    def test_printfl_digits_read_back_within_the_rounding(self):
        rng = random.Random(SEED + 40)
        values = random_floats(rng, COUNT)
        counts = places_counts(rng, COUNT, -3, 12)
        texts = results("call-flshow", [f"PRINTFL {x!r} {n}" for x, n in zip(values, counts)])
        for x, n, text in zip(values, counts, texts):
            with self.subTest(x=x, n=n, text=text):
                self.check_floating(x, n, text)

    def test_print_fills_the_positions_before_the_point(self):
        rng = random.Random(SEED + 41)
        values = random_floats(rng, COUNT)
        befores = places_counts(rng, COUNT, -3, 15)
        afters = places_counts(rng, COUNT, -3, 9)
        texts = results("call-flshow", [f"PRINT {x!r} {b} {a}" for x, b, a in zip(values, befores, afters)])
        for x, before, after, text in zip(values, befores, afters, texts):
            with self.subTest(x=x, before=before, after=after, text=text):
                if not abs(x) < 2**31:
                    self.check_floating(x, before + after, text)
                    continue
                m = self.FIXED.match(text)
                self.assertIsNotNone(m)
                spaces, minus, whole, fraction = m.groups()
                self.assertEqual(minus, "-" if x < 0 else "")
                self.assertEqual(len(fraction or ""), max(after, 0))
                sign_position = 1 if before > 0 or x < 0 else 0
                self.assertEqual(len(spaces + minus + whole),
                                 max(before, len(whole) + sign_position) if before > 0
                                 else len(whole) + sign_position)
                shown = Decimal(whole + "." + (fraction or "0"))
                unit = Decimal(1).scaleb(-max(after, 0))
                # the rounding addition and the digit steps round to single precision
                self.assertTrue(abs(shown - abs(Decimal(x))) <= unit / 2 + abs(Decimal(x)) / 2**22
                                + Decimal("1e-7"))


    def test_print_at_the_largest_positions_count(self):
        # the sign position and the digit fill all 2147483647 positions
        self.assertEqual(leading_spaces_then("call-flshow", f"PRINT 5 {INT_MAX} 0"), (INT_MAX - 1, "5"))


def significant_figures(x, n):
    """figshow's PRINT(x, n) for a finite x, its steps carried out in exact rational arithmetic."""
    if x == 0:
        return "0.0" + "0" * max(n - 3, 0)
    text = ""
    if x < 0:
        text, x = "-", -x
        if n != INT_MIN:
            n -= 1
    n = max(n, 3)
    v, e, ex = Fraction(x), 0, 0
    while v < 1:
        v, e = v * 10, e - 1
    while v >= 10:
        v, e = v / 10, e + 1
    p = n - 2
    if e >= n or e < -p:
        ex, e, n = e, 0, n - 2
    if e < 0:
        text += "0." + "0" * (-1 - e)
        n -= 2 + (-1 - e)
        p = -1
    else:
        p = e
    while n >= 1:
        d = min(math.floor(v), 9)
        text += str(d)
        v = (v - d) * 10
        if p == 0:
            text += "."
            n -= 1
        p, n = p - 1, n - 1
    if ex:
        text += "@" + ("-" if ex < 0 else " ") + str(abs(ex))
    return text


class FigshowTest(unittest.TestCase):
    def check(self, values, budgets):
        texts = results("call-figshow", [f"{x!r} {n}" for x, n in zip(values, budgets)])
        for x, n, text in zip(values, budgets, texts):
            if x != x or abs(x) == float("inf"):
                self.assertEqual(text, "NaN" if x != x else "-Inf" if x < 0 else "Inf", (x, n))
            else:
                self.assertEqual(text, significant_figures(x, n), (x, n))

    def test_whole_numbers_keep_their_digits(self):
        values = [float(v) for v in range(1, 200001)]
        self.check(values, [8] * len(values))

    def test_digits_are_those_of_the_stored_value_truncated(self):
        rng = random.Random(SEED + 50)
        values = random_doubles(rng, COUNT // 4)
        values[::50] = [struct.unpack("<d", struct.pack("<Q", 0x7ff << 52 | rng.getrandbits(52)
                                                        | rng.getrandbits(1) << 63))[0]
                        for _ in values[::50]]
        values += [9.995, 9.95, 5e-324, -5e-324, 2.225073858507201e-308, 2.2250738585072014e-308,
                   1.7976931348623157e308, -1.7976931348623155e308, 1e23, 0.1, 12.0]
        budgets = [rng.randint(-2, 40) for _ in values]
        budgets[-11:] = [6, 21, 6, 8, 30, 40, 10, 25, 5, 40, 3]
        self.check(values, budgets)


class LinkageTest(unittest.TestCase):
    def test_program_archives_carry_no_main(self):
        for name in ("flshow", "figshow"):
            with self.subTest(archive=name):
                symbols = subprocess.run(["nm", "--defined-only", str(LIB / f"lib{name}.a")],
                                         capture_output=True, text=True, check=True).stdout
                self.assertRegex(symbols, r"(?m) T PRINT$")
                self.assertNotRegex(symbols, r"(?m) T main$")

    def test_documented_caller_links_with_its_own_main(self):
        doc = (ROOT / "docs/formatting.md").read_text()
        source, printed = re.search(r"```cpp\n(.*?)```.*?It prints:\n\n```text\n(.*?)```", doc, re.S).groups()
        with tempfile.TemporaryDirectory() as work:
            caller = Path(work) / "caller.cc"
            caller.write_text(source)
            program = Path(work) / "caller"
            subprocess.run([os.environ.get("CXX", "g++"), "-m32", "-msse2", "-mfpmath=sse", "-std=c++20",
                            f"-I{ROOT}", str(caller), str(LIB / "libdecform.a"), str(LIB / "libkel.a"),
                            "-lm", "-o", str(program)], check=True)
            done = LAUNCHER.run(program, capture_output=True, text=True, timeout=10)
        self.assertEqual((done.returncode, done.stdout, done.stderr), (0, printed, ""))


if __name__ == "__main__":
    unittest.main()
