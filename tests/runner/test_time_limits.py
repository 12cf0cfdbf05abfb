"""Time limits: learned per program set from recent passing runs, cut short for hung programs,
lengthened for programs that are slow but still reading, writing or ending, and scaled by
--timeout-factor."""

import json
import re
import unittest
from types import SimpleNamespace

from suite import limits
from tests.runner.support import ScratchSuite


def passed(name, seconds):
    return SimpleNamespace(passed=True, case=SimpleNamespace(id=name),
                           outcome=SimpleNamespace(ended=True, seconds=seconds, native_seconds=seconds))


class Records(ScratchSuite):
    def records(self):
        return json.loads((self.dir / "build" / limits.FILE_NAME).read_text())

    def test_runs_at_once_each_keep_their_times(self):
        # Both read the record before either writes it, as two runs started together do.
        first, second = (limits.Limits(self.dir / "build", self.bin) for _ in range(2))
        first.record([passed("a/one", 0.5)])
        second.record([passed("b/two", 0.25)])
        self.assertEqual(self.records(), {str(self.bin): {"a/one": [0.5], "b/two": [0.25]}})

    def test_a_limit_follows_the_median_of_the_last_runs_and_forgets_older_ones(self):
        record = lambda: limits.Limits(self.dir / "build", self.bin)
        for seconds in [0.1] * 4 + [9.0]:
            record().record([passed("a/one", seconds)])
        self.assertEqual(record().typical("a/one"), (0.1, str(self.bin)))
        for seconds in [2.0] * limits.KEPT:
            record().record([passed("a/one", seconds)])
        self.assertEqual(self.records()[str(self.bin)]["a/one"], [2.0] * limits.KEPT)

    def test_each_program_set_keeps_its_own_record_and_borrows_the_builds_until_it_has_one(self):
        self.program("slow", "sleep 0.6\necho done\n")
        self.case_file("slow", {"name": "one", "stdout": "done\n"})
        built = self.dir / "build" / "bin"
        limits.Limits(self.dir / "build", built).record([passed("slow/one", 0.01)])
        status, out, _ = self.regress("-v")
        self.assertEqual(status, 0, out)
        self.assertRegex(out, r"slow/one \.\.\. ok \(slow: 0\.6\d* s, the median of the last passing runs "
                              r"of bin 0\.01 s\)")
        recorded = self.records()
        self.assertEqual(recorded["bin"], {"slow/one": [0.01]}, "another set's run changed the build's record")
        self.assertGreater(recorded[str(self.bin)]["slow/one"][0], 0.5)
        self.assertEqual(limits.Limits(self.dir / "build", self.bin).typical("slow/one")[1], str(self.bin))

    def test_a_run_that_dies_of_the_signal_it_expects_is_timed_too(self):
        # Untimed, a runtime that hangs would hold such a case for its whole timeout.
        self.program("piped", "kill -PIPE $$\n")
        self.case_file("piped", {"name": "one", "signal": "SIGPIPE"})
        status, out, _ = self.regress()
        self.assertEqual(status, 0, out)
        self.assertEqual(len(self.records()[str(self.bin)]["piped/one"]), 1)


class Confirming(unittest.TestCase):
    """What the first runs past their learned limit are given, to tell slow programs from hung ones."""

    def given(self, timeout, typical):
        allowance = limits.Allowance(timeout, typical, "bin", pace=limits.Pace())
        return allowance, allowance.beyond(allowance.first, progressed=False)

    def test_at_least_the_usual_timeout_at_most_a_few_limits_and_never_past_its_own(self):
        self.assertEqual(self.given(20, 0.01)[1], 20)
        self.assertEqual(self.given(3, 0.01)[1], 3)
        # A long case that hangs holds the run for five of its limits, not for its 180 s.
        self.assertAlmostEqual(self.given(180, 2.0)[1], 5 * (0.3 + 3 * 2.0))

    def test_a_run_given_more_does_not_wait_for_its_own_answer(self):
        allowance, confirming = self.given(180, 2.0)
        self.assertIsNone(allowance.beyond(confirming, progressed=False))


class SlowOrHung(ScratchSuite):
    def test_slow_programs_pass_and_hung_ones_are_cut_short_once_they_are_known_not_slow(self):
        when = lambda name, then: f'[ -e "{self.dir}/{name}" ] && {{ {then}; }}\n'
        # Programs that take longer once a file exists: hung, writing slowly, or quiet then done.
        self.program("hangs", when("hang", "sleep 30") + "exit 0\n")
        self.program("writes", when("slow", "i=0; while [ $i -lt 24 ]; do echo $i; i=$((i + 1)); sleep 0.05; done")
                     + "exit 0\n")
        self.program("thinks", when("slow", "sleep 0.8") + "exit 0\n")
        hung = [{"name": f"h{i}", "program": "hangs", "timeout": 3} for i in range(1, 5)]
        self.case_file("pace", *hung, {"name": "writes", "program": "writes", "stdout_filter": ["."]},
                       {"name": "thinks", "program": "thinks"})
        # Passing records that start the cases longest first in file order: the hung before the slow.
        names = [case["name"] for case in hung] + ["writes", "thinks"]
        limits.Limits(self.dir / "build", self.bin).record(
            [passed(f"pace/{name}", 0.02 - 0.002 * i) for i, name in enumerate(names)])
        (self.dir / "hang").write_text("")
        (self.dir / "slow").write_text("")
        status, out, _ = self.regress("-j", "1")
        self.assertEqual(status, 1, out)
        reasons = re.findall(r"^\[\d/6\] pace/(h\d) \.\.\. HANG .*hung: still running after ([\d.]+) s, killed; "
                             r"its limit: (.*)\)$", out, re.M)
        # The first two runs past their limits get their whole timeout, to tell slow from hung...
        self.assertEqual([(name, seconds) for name, seconds, _ in reasons[:2]], [("h1", "3"), ("h2", "3")])
        self.assertTrue(all("given to the first runs past their learned limit" in r for _, _, r in reasons[:2]))
        # ...and once both have hung, the others are cut at what their records give.
        self.assertEqual([name for name, _, _ in reasons[2:]], ["h3", "h4"])
        for _, seconds, reason in reasons[2:]:
            typical = re.match(r"0\.3 s \+ 3 x ([\d.]+) s, [\d.]+ s being the median of the last passing "
                               r"runs of .*bin; the case allows 3 s", reason)
            self.assertIsNotNone(typical, reason)
            self.assertAlmostEqual(float(seconds), 0.3 + 3 * float(typical.group(1)), delta=0.01 * float(seconds))
        # A program still writing is given more time, and what it took grows the other limits.
        self.assertRegex(out, r"pace/writes \.\.\. ok \(slow: 1\.\d+ s, the median")
        self.assertRegex(out, r"pace/thinks \.\.\. ok \(slow: 0\.8\d* s, the median")
        self.assertIn("\n2 passed slower than their records allow, and were given more time (slow, not hung): "
                      "pace/writes (slow: ", out)
        self.assertIn("\n2 passed, 4 failed (4 hung)\n", out)

    def test_the_timeout_factor_scales_every_limit(self):
        self.program("naps", "sleep 1.5\n")
        self.case_file("naps", {"name": "nap", "timeout": 1})
        status, out, _ = self.regress()
        self.assertEqual(status, 1)
        self.assertIn("naps/nap ... HANG", out)
        status, out, _ = self.regress("--timeout-factor", "2")
        self.assertEqual(status, 0, out)
        for factor in ("0", "-1", "two"):
            with self.subTest(factor=factor):
                self.assertEqual(self.regress("--timeout-factor", factor)[0], 2)


if __name__ == "__main__":
    unittest.main()
