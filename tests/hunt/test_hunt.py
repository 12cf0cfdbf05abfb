"""The hunt: its reduction, comparison rule, inputs, saved cases and bookkeeping on their own, and
short hunts against copies of the bundled runtime broken at rare values (each of which it must find
and hand back as a small case) or reading another syntax of their own (which, against the bundled
runtime, it must not call a fault)."""

import io
import json
import multiprocessing
import os
import random
import struct
import subprocess
import sys
import tempfile
import time
import unittest
from fractions import Fraction
from pathlib import Path

from suite import cases, execute, hunt, hunt_cases, hunt_inputs, hunt_judge, hunt_reduce
from tests.tracing.test_tracing import BUILD, ROOT, STARTER, archive

# Each copy is right everywhere but at values that the suite's cases do not reach.
BROKEN = {
    "int-min-write": {"format.cc": ("std::llabs(static_cast<long long>(value))",
                                    "static_cast<long long>(std::abs(value))")},
    "three-digit-exponent": {"format.cc": ("exponent = std::atoi(e + 1);",
                                           "exponent = std::atoi(e + 1) % 100;")},
    "twelve-digits": {"read.cc": ("    int digits = keep_digits(f);\n",
                                  "    int digits = keep_digits(f);\n    if (digits == 12)\n"
                                  "        token[--token_len] = 0;\n")},
    "halfway": {"format.cc": ("\"%.*f\", formatted, std::fabs(x));",
                              "\"%.*f\", formatted, formatted < 12 && std::fabs(x) < 1e9 "
                              "? std::nextafter(std::fabs(x), 1e300) : std::fabs(x));")},
    # A run of blanks one short for some counts of a few hundred.
    "wide-blanks": {"write.cc": ("void _kel_spaces(int count) { kel_put_repeated(' ', count); }",
                                 "void _kel_spaces(int count) { kel_put_repeated(' ', count > 200 && "
                                 "count < 700 && count % 9 == 5 ? count - 1 : count); }")},
    # Two faults of ports: a number text rounded to a double first, and a report cut at 50 characters.
    "port-faults": {"read.cc": ("float v = std::strtof(text, nullptr);",
                                "float v = static_cast<float>(std::strtod(text, nullptr));"),
                    "event.cc": ("\": %.*s\", message.b[0],", "\": %.*s\", message.b[0] < 50 ? message.b[0] : 50,")},
    # A write that finds stdout's reader gone taken for the end of the output, and the run a success.
    "broken-pipe-passed-over": {"stream.cc": ("    if (int error = kel_write_out(f))\n        output_failed(f, error);",
                                              "    if (int error = kel_write_out(f); error && error != EPIPE)\n"
                                              "        output_failed(f, error);")},
}
# Right, but with choices of its own where the runtime may choose: other white space before a
# number, "e" for an exponent, and a report worded otherwise.
OWN_SYNTAX = {
    "read.cc": ("    while (kel_peek(f) == ' ' || kel_peek(f) == '\\n')\n",
                "    while (kel_peek(f) == ' ' || kel_peek(f) == '\\n' || kel_peek(f) == '\\t' ||\n"
                "           kel_peek(f) == '\\r' || kel_peek(f) == '\\f' || kel_peek(f) == '\\v')\n"),
    "event.cc": ("\"kel: unhandled event %d, sub-event %d, extra %d\"", "\"kel: event %d/%d (extra %d) not trapped\""),
    "format.cc": ("    l->tail_len = std::snprintf(l->tail, sizeof l->tail, \"@%d\", exponent);",
                  "    l->tail_len = std::snprintf(l->tail, sizeof l->tail, \"e%+d\", exponent);"),
}


class Reduction(unittest.TestCase):
    def test_ddmin_finds_the_one_item_in_a_batch(self):
        items = list(range(1000))
        self.assertEqual(hunt_reduce.ddmin(items, lambda part: 637 in part), [637])

    def test_ddmin_keeps_a_pair_that_only_fails_together(self):
        found = hunt_reduce.ddmin(list(range(64)), lambda part: 3 in part and 50 in part)
        self.assertEqual(found, [3, 50])

    def test_text_reduced_to_the_character_that_matters(self):
        text = "1+2\n3*4\n(5+6$)*7\n8\n"
        self.assertEqual(hunt_reduce.reduce_text(text, lambda t: "$" in t), "$")

    def test_numbers_become_simpler_while_the_fault_shows(self):
        words = hunt_reduce.simplify_numbers(["write", "-2147483648", "1037"],
                                             lambda ws: ws[1] == "-2147483648")
        self.assertEqual(words, ["write", "-2147483648", "0"])
        words = hunt_reduce.simplify_numbers(["printfl", "1.2345678e+200", "17"],
                                             lambda ws: abs(float(ws[1])) >= 1e100)
        self.assertEqual(words[1:], ["1e+200", "0"])

    def test_the_lines_tried_are_the_lines_kept(self):
        # A text without its last line end stands for the same standard input as with it.
        for text, lines in [("a\nb\n", ["a", "b"]), ("a\nb", ["a", "b"]), ("\n", [""]), ("", [])]:
            self.assertEqual(hunt.lines_of(text), lines)


def outcome(stdout="", stderr="", status=0, ending="exited"):
    return execute.Outcome(ending, status, stdout, stderr, 0.0, ending)


class Comparison(unittest.TestCase):
    def test_number_layouts_are_taken_out(self):
        self.assertEqual(hunt_judge.layout_free("[   42]"), hunt_judge.layout_free("[42 ]"))
        self.assertEqual(hunt_judge.layout_free("[ 1.5@ 5]"), hunt_judge.layout_free("[1.5e+05]"))
        self.assertEqual(hunt_judge.layout_free(" NaN"), hunt_judge.layout_free("nan"))

    def test_what_a_number_says_still_counts(self):
        for a, b in [("-2147483648", "--2147483648"), ("1.000@100", "1.000@10"), ("0.12", "0.13"),
                     ("1.50", "1.5"), ("-0", "0"), ("12 unassigned", "1 unassigned")]:
            self.assertNotEqual(hunt_judge.layout_free(a), hunt_judge.layout_free(b), (a, b))

    TOKEN = "9" * 60 + "@x"
    CUT = 'kel: unhandled event 3, sub-event 1, extra 101: no number in standard input at "' + "9" * 40 + 'e"\n'

    def test_a_report_must_quote_what_the_reference_quotes_in_any_wording(self):
        stdin = "45*3\n" + self.TOKEN + "\n"
        for yours, differs in [("kel: event 6/2: " + self.TOKEN + " is no number\n", False),
                               ("kel: bad number '" + "9" * 45 + "'\n", False),
                               ('kel: unhandled event 3, sub-event 1, extra 101: no number in standard '
                                'input at "' + "9" * 20 + '"\n', True),
                               ("kel: bad number\n", True)]:
            with self.subTest(yours=yours):
                found = hunt_judge.disagree(outcome(stderr=self.CUT, status=2), outcome(stderr=yours, status=2),
                                            hunt_judge.ENDING, stdin)
                self.assertEqual(found, differs)

    def test_a_number_quoted_in_another_layout_is_the_same_number(self):
        reference = "kel: unhandled event 3, sub-event 2, extra 0: number out of range in standard input: 1e39\n"
        for yours, differs in [("kel: 1@39 is out of range\n", False), ("kel: 1.0E+39 too big\n", False),
                               ("kel: 1e3 is out of range\n", True)]:
            with self.subTest(yours=yours):
                self.assertEqual(hunt_judge.report_differs(reference, yours, "7\n1@39\n", ()), differs)

    def test_the_program_fixes_its_own_events_numbers_and_position(self):
        messages = hunt.loop_messages("I", "2, 1, ROUNDS")
        reference = ("kel: unhandled event 5, sub-event 1, extra 0: Illegal cycle I = 2, 1, ROUNDS, "
                     "at regression-bugs-tmp/piseries line 24\n")
        for yours, differs in [("kel: event 5/1 (0): Illegal cycle I = 2, 1, ROUNDS [regression-bugs-tmp/piseries:24]\n", False),
                               ("kel: event 5/1 (0): Illegal cycle I = 2, 1, ROUNDS [regression-bugs-tmp/piseries:17]\n", True),
                               ("kel: event 4/1 (0): Illegal cycle I = 2, 1, ROUNDS [regression-bugs-tmp/piseries:24]\n", True),
                               ("kel: event 5/1 (0): Illegal cycle I = 2, 1, ROUN\n", True)]:
            with self.subTest(yours=yours):
                self.assertEqual(hunt_judge.report_differs(reference, yours, "-3\n", messages), differs)

    def test_a_reports_own_counts_are_no_quotation(self):
        # The input holds 45 and 101, the report's extra values; neither is what it quotes.
        reference = 'kel: unhandled event 3, sub-event 1, extra 45: no number in standard input at "-"\n'
        self.assertFalse(hunt_judge.report_differs(reference, "kel: no number\n", "45+101\n-\n", ()))

    def test_how_the_run_ends_counts_in_every_mode(self):
        for how in (hunt_judge.EXACT, hunt_judge.LAYOUT_FREE, hunt_judge.ENDING):
            with self.subTest(how=how):
                self.assertTrue(hunt_judge.disagree(outcome("1\n"), outcome(ending="signal", status=11), how))
                self.assertTrue(hunt_judge.disagree(outcome("1\n"), outcome(ending="flooded", status=-1), how))
        # Reading a text of the runtime's own choosing, either may answer or report.
        self.assertFalse(hunt_judge.disagree(outcome("2000\n"), outcome("e operator?\n3\n"), hunt_judge.ENDING))
        self.assertFalse(hunt_judge.disagree(outcome(stderr="kel: bad\n", status=2), outcome("42\n"),
                                             hunt_judge.ENDING))


def single_nearest(value):
    """The single-precision value nearest the exact value, ties to even."""
    x = struct.unpack("<f", struct.pack("<f", float(value)))[0]
    bits = struct.unpack("<I", struct.pack("<f", x))[0]
    for neighbour in (struct.unpack("<f", struct.pack("<I", b))[0] for b in (max(bits - 1, 0), bits + 1)):
        a, b = abs(Fraction(neighbour) - value), abs(Fraction(x) - value)
        if a < b or (a == b and struct.unpack("<I", struct.pack("<f", neighbour))[0] % 2 == 0):
            x = neighbour
    return x


class Inputs(unittest.TestCase):
    def rounds(self, seed, shard, count, target="evalix"):
        chosen = [t for t in hunt.TARGETS if t.deliverable == target]
        h = hunt.Hunt(chosen, [], STARTER, True, set(), seed, shard)
        return [[h.round_inputs(chosen[0], kind)[1] for _ in range(count)] for kind in chosen[0].kinds]

    def test_the_same_seed_gives_the_same_inputs(self):
        self.assertEqual(self.rounds(5, (1, 1), 3), self.rounds(5, (1, 1), 3))
        self.assertNotEqual(self.rounds(5, (1, 1), 3), self.rounds(6, (1, 1), 3))

    def test_shards_share_out_the_rounds_of_one_hunt(self):
        whole = self.rounds(5, (1, 1), 9, "piseries")
        shards = [self.rounds(5, (k, 3), 3, "piseries") for k in (1, 2, 3)]
        for kind in (0, 1):  # plain rounds, free rounds
            self.assertEqual([shards[r % 3][kind][r // 3] for r in range(9)], whole[kind])

    def test_a_shard_is_k_of_n(self):
        self.assertEqual(hunt.shard_spec("2/3"), (2, 3))
        for bad in ("0/3", "4/3", "1/0", "3", "a/b", "1/2/3"):
            with self.subTest(spec=bad):
                with self.assertRaises(Exception):
                    hunt.shard_spec(bad)

    def test_plain_evalix_batches_stay_plain(self):
        rng = random.Random(3)
        for _ in range(3):
            self.assertTrue(hunt_inputs.evalix_plain(hunt_inputs.evalix_batch(rng, 300)))

    def test_what_the_reader_of_any_runtime_reads_alike(self):
        plain = ["3-x", "a\r", "(1)\t", "1+\x002", "010", "-.5", "2^-3", "3 -4", "q unassigned",
                 "0" * 300 + "5", "1" + "0" * 38]
        free = ["a-x",        # a may be unassigned: then "-x" reaches the reader
                "3 4-x",      # 4 is reported as an operator, then "-x" is read
                "3)-x",       # ")" ends the expression at the top
                "(1/2\n-x",   # a division by zero would end the expression at the line end
                "3\t+4", "3\r", "2e3", "1e", "5.", "1@3", "-", "--3", "1" + "0" * 39, "0." + "0" * 50 + "1",
                "(" * 600 + "1" + ")" * 600]
        for text in plain + free:
            with self.subTest(text=text[:40]):
                self.assertEqual(hunt_inputs.evalix_plain([text]), text in plain)

    def test_every_byte_reaches_the_programs(self):
        rng = random.Random(4)
        plain = "".join(hunt_inputs.evalix_batch(rng, 10000))
        free = "".join(hunt_inputs.evalix_batch(rng, 10000, free=True))
        files = "".join(hunt_inputs.rounds_file(rng, True) for _ in range(20000))
        every = {chr(b) for b in range(256)} - {"\n"}
        self.assertEqual(every - set(plain), set())
        self.assertEqual(every - set(free), set())
        self.assertEqual(every - set(files), set())
        for white in hunt_inputs.OTHER_WHITE:
            self.assertTrue(any(d + white in free for d in "0123456789"), repr(white))

    def test_texts_beside_rounding_boundaries(self):
        rng = random.Random(5)
        twice = 0
        for _ in range(500):
            text, scale = hunt_inputs.boundary_text(rng)
            right = single_nearest(Fraction(text))
            scaled = Fraction(right) * Fraction(2)**scale
            self.assertTrue(scaled.denominator == 1 and 0 < scaled <= 2**24, (text, scale))
            twice += right != hunt_inputs.as_float(float(text))
        # Rounded twice, a good share of them read one unit wrong.
        self.assertGreater(twice, 50)

    def test_the_widths_of_every_order_of_magnitude(self):
        rng = random.Random(6)
        places = [abs(hunt_inputs.place_count(rng)) for _ in range(20000)]
        for low in (100, 1000, 10000):
            self.assertGreater(sum(low <= p < 2 * low for p in places), 200, low)


def in_another_process(args):
    save_dir, shard = args
    for i in range(20):
        entry = {"name": f"hunt-{shard}-{i}", "stdin": f"x{'y' * i}{'abcd'[shard]}\n", "args": [], "files": {},
                 "stdout": "", "stderr": "", "status": 0, "fixed": False}
        hunt_cases.save(save_dir, "evalix", [entry])


class Saving(unittest.TestCase):
    def entry(self, stdin, name=None):
        case = hunt.TARGETS[0].case(hunt.lines_of(stdin))
        return hunt_cases.case_entry(case, outcome("1\n"), False) | ({"name": name} if name else {})

    def test_one_fault_is_saved_once_from_every_shard(self):
        with tempfile.TemporaryDirectory() as a, tempfile.TemporaryDirectory() as b, \
                tempfile.TemporaryDirectory() as into:
            hunt_cases.save(a, "evalix", [self.entry("1@2\n"), self.entry("$\n")])
            hunt_cases.save(b, "evalix", [self.entry("1@2\n"), self.entry("7@35\n"), self.entry("q\n")])
            _, added = hunt_cases.save(a, "evalix", [self.entry("1@2\n")])
            self.assertEqual(added, 0)
            hunt_cases.merge(into, [a, b])
            kept = json.loads((Path(into) / "evalix.json").read_text())["cases"]
            self.assertEqual(sorted(c["stdin"] for c in kept), ["$\n", "1@2\n", "q\n"])
            status = subprocess.run([sys.executable, "-m", "suite.hunt", "--save", into, "--merge", a, b],
                                    capture_output=True, text=True, cwd=ROOT)
            self.assertEqual(status.returncode, 0, status.stderr)
            self.assertIn("0 cases added", status.stdout)

    def test_long_texts_are_written_as_the_case_files_write_them_and_merge_whole(self):
        wide = hunt.TARGETS[2].case(["200000 7"])
        varied = "".join(f"{i}\n" for i in range(3000))
        entries = [hunt_cases.case_entry(wide, outcome(" " * 199999 + "7"), True),
                   hunt_cases.case_entry(hunt.TARGETS[2].case(["3 1", "4 2"]), outcome(varied), True)]
        with tempfile.TemporaryDirectory() as a, tempfile.TemporaryDirectory() as into:
            hunt_cases.save(a, "intcol", entries)
            self.assertLess((Path(a) / "intcol.json").stat().st_size, 8192)
            hunt_cases.merge(into, [a])
            loaded = {c.name: c for c in cases.load_case_file(Path(into) / "intcol.json")}
            self.assertEqual([loaded[e["name"]].expected.stdout for e in entries], [e["stdout"] for e in entries])

    def test_shards_saving_at_once_lose_nothing(self):
        with tempfile.TemporaryDirectory() as save_dir:
            with multiprocessing.get_context("fork").Pool(4) as pool:
                pool.map(in_another_process, [(save_dir, k) for k in range(4)])
            kept = json.loads((Path(save_dir) / "evalix.json").read_text())["cases"]
            self.assertEqual(len(kept), 80)


class FakeRuns(hunt.Hunt):
    """A hunt whose runs are worked out here: padform's lines 'V P' give a field of |P| + 1
    columns, a run floods past LIMIT, and yours writes one blank short for |P| = SHORT."""
    LIMIT, SHORT = 50000, 437

    def outcomes(self, target, run, gone=None):
        width = sum(abs(int(line.split()[1])) + 1 for line in run)
        if width > self.LIMIT:
            return [outcome(ending="flooded", status=-1)] * 2
        reference = "".join(f"[{line}]\n" for line in run)
        yours = "".join(f"[{line}]\n" if abs(int(line.split()[1])) != self.SHORT else f"[{line[1:]}]\n"
                        for line in run)
        return [outcome(reference), outcome(yours)]


class Bookkeeping(unittest.TestCase):
    def hunt(self, make, max_found=None, seconds=5.0):
        target = hunt.Target("padform", "call-padform", "lines", 1000, make)
        h = FakeRuns([target], [], STARTER, True, {"padform"}, 1, max_found=max_found)
        hunt.hunt_for(h, seconds, 2, io.StringIO())
        return h, h.tallies["padform"]

    def test_runs_that_flood_are_split_until_they_end(self):
        def make(rng, size, free):
            # Every thousandth line too wide to end alone; and now and then the faulty width.
            return [f"{rng.randint(0, 9)} {rng.choice([3, 80, 200, FakeRuns.SHORT] + [99999] * (rng.random() < 0.001))}"
                    for _ in range(size)]
        h, tally = self.hunt(make, max_found=1, seconds=30)
        self.assertEqual(len(tally.found), 1)
        case, _ = next(iter(tally.found.values()))
        self.assertEqual(case.stdin, f"0 {FakeRuns.SHORT}\n")
        self.assertEqual(tally.tried, tally.compared + sum(tally.not_comparable.values()))
        self.assertEqual(set(tally.not_comparable), {"flooded"} if tally.not_comparable else set())
        self.assertTrue(h.stop.is_set())

    def test_inputs_that_flood_alone_are_not_comparable(self):
        h, tally = self.hunt(lambda rng, size, free: [f"1 {rng.choice([5, 99999])}" for _ in range(size)],
                             seconds=2)
        self.assertGreater(tally.compared, 0)
        self.assertGreater(tally.not_comparable["flooded"], 0)
        out = io.StringIO()
        self.assertTrue(hunt.table(h, out))
        self.assertRegex(out.getvalue(), r"padform: only \d+\.\d% of the inputs compared; alone, the rest's "
                                         r"runs \d+ flooded under the reference")

    def test_a_hunt_that_compared_nothing_says_so(self):
        h, tally = self.hunt(lambda rng, size, free: ["1 99999"] * size, seconds=1)
        out = io.StringIO()
        self.assertFalse(hunt.table(h, out))
        self.assertIn("padform: nothing compared", out.getvalue())

    def test_a_hunt_stopped_at_its_first_find_leaves_the_rest_untried_as_asked(self):
        faulty = hunt.Target("d0", "call-padform", "lines", 10, lambda rng, size, free: [f"1 {FakeRuns.SHORT}"] * size)
        rest = [hunt.Target(f"d{i}", "call-padform", "lines", 10, lambda rng, size, free: ["1 5"] * size)
                for i in range(1, 40)]
        h = FakeRuns([faulty, *rest], [], STARTER, True, set(), 1, max_found=1)
        hunt.hunt_for(h, 30, 2, io.StringIO())
        self.assertTrue(any(not t.tried for t in h.tallies.values()))
        out = io.StringIO()
        self.assertTrue(hunt.table(h, out))
        self.assertNotIn("nothing compared", out.getvalue())

    def test_a_difference_that_does_not_show_again_is_not_kept(self):
        h = FakeOnce([hunt.Target("padform", "call-padform", "lines", 4,
                                  lambda rng, size, free: [f"1 {FakeRuns.SHORT}"] * size)],
                     [], STARTER, True, {"padform"}, 1)
        hunt.hunt_for(h, 1, 1, io.StringIO())
        tally = h.tallies["padform"]
        self.assertEqual((tally.differences, len(tally.found)), (1, 0))
        out = io.StringIO()
        hunt.table(h, out)
        self.assertIn("padform: 1 reduced difference did not show when run once more", out.getvalue())

    def test_inputs_of_other_shapes_with_the_same_outputs_are_one_fault(self):
        target = hunt.Target("runtime", "call-runtime", "lines", 2,
                             lambda rng, size, free: [f"{rng.choice(['write', 'writeint'])} -2147483648 0"] * size)
        h = FakeWrites([target], [], STARTER, True, set(), 1)
        hunt.hunt_for(h, 2, 2, io.StringIO())
        tally = h.tallies["runtime"]
        self.assertGreater(tally.differences, 1)
        self.assertEqual(len(tally.found), 1)


class FakeOnce(FakeRuns):
    """Yours differs at its first run only, as a run slowed past its time limit would."""
    runs = 0

    def outcomes(self, target, run, gone=None):
        self.runs += 1
        return super().outcomes(target, run, gone) if self.runs == 1 else [outcome("same")] * 2


class FakeWrites(hunt.Hunt):
    """call-runtime's writes, with yours writing the most negative integer with two minus signs."""

    def outcomes(self, target, run, gone=None):
        values = [line.split()[1] for line in run]
        return [outcome("".join(f"[{v}]\n" for v in values)),
                outcome("".join(f"[{'-' if v == '-2147483648' else ''}{v}]\n" for v in values))]


def fixed_cases(tmp, entries):
    Path(tmp, "padform.json").write_text(json.dumps({"deliverable": "padform", "cases": entries}))
    return hunt.fixed_deliverables(tmp)


class Fixed(unittest.TestCase):
    def test_a_deliverable_is_fixed_by_its_cases_run_as_the_hunt_runs_them(self):
        base = {"stdout": "", "stderr": "", "status": 0}
        with tempfile.TemporaryDirectory() as tmp:
            self.assertEqual(fixed_cases(tmp, [{**base, "name": "a", "fixed": True},
                                               {**base, "name": "b", "fixed": False, "stdout_to": "closed"},
                                               {**base, "name": "c", "fixed": False, "stdout_closed_after": 0}]),
                             {"padform"})
            self.assertEqual(fixed_cases(tmp, [{**base, "name": "a", "fixed": True},
                                               {**base, "name": "b", "fixed": False}]), set())

    def test_the_suites_own_number_layouts_that_no_runtime_chooses(self):
        self.assertLessEqual({"intcol", "padform", "rootcubes"}, hunt.fixed_deliverables(ROOT / "suite" / "cases"))


def run_hunt(runtime, *options):
    done = subprocess.run([sys.executable, "-m", "suite.hunt", "--runtime", str(runtime), "--build", str(BUILD),
                           "--emulator", STARTER.setting, "-j", "2", *options],
                          capture_output=True, text=True, cwd=ROOT)
    return done.returncode, done.stdout + done.stderr


def run_cases(runtime, cases_dir, *options):
    command = [sys.executable, "-m", "suite.regress", "--build", str(BUILD), "--emulator", STARTER.setting,
               "-q", "--cases", str(cases_dir), *options]
    done = subprocess.run(command + (["--runtime", str(runtime)] if runtime else []),
                          capture_output=True, text=True, cwd=ROOT)
    return done.returncode


class SaveDirectory(unittest.TestCase):
    def test_one_that_cannot_be_written_is_refused_before_hunting(self):
        with tempfile.NamedTemporaryFile(prefix="hunt-test-") as a_file:
            status, report = run_hunt(BUILD / "lib" / "libkel.a", "--save", a_file.name, "--no-build",
                                      "--seconds", "600")
        self.assertEqual(status, 2, report)
        self.assertIn(f"cannot write {a_file.name}: it is a file, not a directory", report)


class Hunting(unittest.TestCase):
    """Seconds of hunting with a fixed seed, in the deliverable that reaches each fault."""
    SECONDS = os.environ.get("HUNT_SECONDS", "8")

    def found(self, name, only, *options):
        lib = archive(name, BROKEN[name])
        with tempfile.TemporaryDirectory(prefix="hunt-test-") as saved:
            status, report = run_hunt(lib, "--seconds", self.SECONDS, "--seed", "1", "--only", only,
                                      "--save", saved, *options)
            self.assertEqual(status, 1, report)
            self.assertIn("explanation: the first call into the runtime that differs", report)
            case_file = Path(saved) / f"{only}.json"
            cases = json.loads(case_file.read_text())["cases"]
            self.assertTrue(cases, report)
            for case in cases:
                self.assertLessEqual(case["stdin"].count("\n") + len(case["args"]), 3, case)
            self.assertEqual(run_cases(lib, saved), 1, "the saved cases fail against the broken copy")
            self.assertEqual(run_cases(None, saved), 0, "and pass against the bundled runtime")
            return cases, report

    def test_integer_write_of_the_most_negative_integer(self):
        cases, report = self.found("int-min-write", "runtime")
        # write, writeint and itos of it show one fault, with the same outputs.
        self.assertEqual(len(cases), 1, report)

    def test_real_with_a_three_digit_exponent(self):
        self.found("three-digit-exponent", "runtime")

    def test_fraction_exactly_halfway(self):
        self.found("halfway", "fixconv")

    def test_number_text_of_twelve_digits(self):
        self.found("twelve-digits", "evalix")

    def test_blanks_one_short_in_fields_a_few_hundred_wide(self):
        cases, _ = self.found("wide-blanks", "padform")
        self.assertTrue(all(262 < abs(int(c["stdin"].split()[1])) < 764 for c in cases), cases)

    def test_a_text_rounded_twice_and_a_report_cut_short(self):
        cases, report = self.found("port-faults", "evalix")
        self.assertTrue(any(c["stderr"] for c in cases), report)
        self.assertTrue(any("^" in c["stdin"] and not c["stderr"] for c in cases), report)

    def test_a_reader_that_goes_away_is_no_success(self):
        cases, report = self.found("broken-pipe-passed-over", "runtime")
        for case in cases:
            self.assertEqual(case["ignored_signals"], ["SIGPIPE"], case)
            self.assertFalse(case["fixed"], case)

    def test_stops_at_the_first_difference(self):
        began = time.monotonic()
        status, report = run_hunt(archive("int-min-write", BROKEN["int-min-write"]), "--only", "runtime",
                                  "--seconds", "600", "--stop-at-first")
        self.assertEqual(status, 1, report)
        self.assertIn("stopped once 1 distinct case had been found", report)
        self.assertLess(time.monotonic() - began, 300)

    def test_a_runtimes_own_choices_are_no_fault_against_the_bundled_runtime(self):
        status, report = run_hunt(archive("own-syntax", OWN_SYNTAX), "--seconds", self.SECONDS,
                                  "--only", "evalix", "--only", "piseries", "--only", "runtime")
        self.assertEqual(status, 0, report)

    def test_against_an_older_version_its_choices_count_and_are_saved_for_blessing(self):
        with tempfile.TemporaryDirectory(prefix="hunt-test-") as saved, \
                tempfile.TemporaryDirectory(prefix="hunt-test-") as blessed:
            status, report = run_hunt(BUILD / "lib" / "libkel.a", "--against", archive("own-syntax", OWN_SYNTAX),
                                      "--seconds", self.SECONDS, "--only", "piseries", "--save", saved,
                                      "--max-differences", "2")
            self.assertEqual(status, 1, report)
            cases = json.loads((Path(saved) / "piseries.json").read_text())["cases"]
            self.assertFalse(any(c["fixed"] for c in cases), cases)
            # The bundled runtime, which is right, records its own outputs and then passes.
            self.assertEqual(run_cases(None, saved, "--bless", blessed), 0)
            self.assertEqual(run_cases(None, saved, "--expect", blessed), 0)

    def test_the_bundled_runtime_against_itself_differs_nowhere(self):
        status, report = run_hunt(BUILD / "lib" / "libkel.a", "--seconds", self.SECONDS)
        self.assertEqual(status, 0, report)
        self.assertNotIn("% of the inputs compared", report)


if __name__ == "__main__":
    unittest.main()
