"""The hunt: its reduction and comparison rule on their own, and short hunts against copies of the
bundled runtime broken at rare values, each of which it must find and hand back as a small case."""

import json
import os
import random
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

from suite import hunt, hunt_inputs, hunt_reduce
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


class Comparison(unittest.TestCase):
    def test_number_layouts_are_taken_out(self):
        self.assertEqual(hunt.layout_free("[   42]"), hunt.layout_free("[42 ]"))
        self.assertEqual(hunt.layout_free("[ 1.5@ 5]"), hunt.layout_free("[1.5e+05]"))
        self.assertEqual(hunt.layout_free(" NaN"), hunt.layout_free("nan"))

    def test_what_a_number_says_still_counts(self):
        for a, b in [("-2147483648", "--2147483648"), ("1.000@100", "1.000@10"), ("0.12", "0.13"),
                     ("1.50", "1.5"), ("-0", "0"), ("12 unassigned", "1 unassigned")]:
            self.assertNotEqual(hunt.layout_free(a), hunt.layout_free(b), (a, b))


class Inputs(unittest.TestCase):
    def test_the_same_seed_gives_the_same_inputs(self):
        def inputs(seed):
            rng = random.Random(seed)
            return [t.make(rng, True) for t in hunt.TARGETS for _ in range(50)]
        self.assertEqual(inputs(5), inputs(5))
        self.assertNotEqual(inputs(5), inputs(6))

    def test_strict_evalix_numbers_are_plain_decimals(self):
        rng = random.Random(3)
        for _ in range(2000):
            self.assertNotIn("@", hunt_inputs.evalix_line(rng, True))


def run_hunt(runtime, *options):
    done = subprocess.run([sys.executable, "-m", "suite.hunt", "--runtime", str(runtime), "--build", str(BUILD),
                           "--emulator", STARTER.setting, "-j", "2", *options],
                          capture_output=True, text=True, cwd=ROOT)
    return done.returncode, done.stdout + done.stderr


def run_cases(runtime, cases_dir):
    command = [sys.executable, "-m", "suite.regress", "--build", str(BUILD), "--emulator", STARTER.setting,
               "-q", "--cases", str(cases_dir)]
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

    def found(self, name, only):
        lib = archive(name, BROKEN[name])
        with tempfile.TemporaryDirectory(prefix="hunt-test-") as saved:
            status, report = run_hunt(lib, "--seconds", self.SECONDS, "--seed", "1", "--only", only,
                                      "--save", saved)
            self.assertEqual(status, 1, report)
            self.assertIn("explanation: the first call into the runtime that differs", report)
            case_file = Path(saved) / f"{only}.json"
            cases = json.loads(case_file.read_text())["cases"]
            self.assertTrue(cases, report)
            for case in cases:
                self.assertLessEqual(case["stdin"].count("\n") + len(case["args"]), 3, case)
            self.assertEqual(run_cases(lib, saved), 1, "the saved cases fail against the broken copy")
            self.assertEqual(run_cases(None, saved), 0, "and pass against the bundled runtime")

    def test_integer_write_of_the_most_negative_integer(self):
        self.found("int-min-write", "runtime")

    def test_real_with_a_three_digit_exponent(self):
        self.found("three-digit-exponent", "runtime")

    def test_fraction_exactly_halfway(self):
        self.found("halfway", "fixconv")

    def test_number_text_of_twelve_digits(self):
        self.found("twelve-digits", "evalix")

    def test_the_bundled_runtime_against_itself_differs_nowhere(self):
        status, report = run_hunt(BUILD / "lib" / "libkel.a", "--seconds", self.SECONDS)
        self.assertEqual(status, 0, report)


if __name__ == "__main__":
    unittest.main()
