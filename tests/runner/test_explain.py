"""Reading call records and comparing them: what --explain and --coverage make of them."""

import struct
import unittest

from suite import coverage, explain, trace

RECORD = """\
> _kel_initialise i1 &
< i1 t6576616c6978
> _kel_on_event_enter & i9 i15
> _kel_nextsymbol
< i49
> _kel_skipsymbol
<
> _kel_readfloat &
< f3f800000
> _kel_write i-5 i3
<
> _kel_resolve s613d62 - s3d &
< i1 - s62
> _signal_event s6576616c6978 i72 s i15 i0 i0
! i15 i0 i0
> _kel_readint &
x i9 i0 i0
> _kel_readsymbol &
"""


class Records(unittest.TestCase):
    def setUp(self):
        self.calls = trace.read(RECORD)

    def test_each_call_is_shown_with_its_arguments_and_how_it_ended(self):
        shown = [f"{trace.show_call(c)} -> {trace.show_result(c)}" for c in self.calls]
        self.assertEqual(shown, [
            '_kel_initialise(1, ptr) -> 1, "evalix"',
            "_kel_on_event_enter(ptr, 9, 15) -> (its result is not recorded)",
            "_kel_nextsymbol() -> 49",
            "_kel_skipsymbol() -> returned",
            "_kel_readfloat(ptr) -> 1",
            "_kel_write(-5, 3) -> returned",
            '_kel_resolve("a=b", null, "=", ptr) -> 1, null, "b"',
            '_signal_event("evalix", 72, "", 15, 0, 0) -> left by event 15, sub-event 0, extra 0',
            "_kel_readint(ptr) -> the run ended in it (the event record: 9, sub-event 0, extra 0)",
            "_kel_readsymbol(ptr) -> did not come back (the program ended in it)",
        ])

    def test_the_first_difference_is_in_result_arguments_or_length(self):
        self.assertIsNone(explain.first_difference(self.calls, list(self.calls)))
        other = trace.read(RECORD.replace("< f3f800000", "< f40000000"))
        self.assertEqual(explain.first_difference(self.calls, other), 4)
        other = trace.read(RECORD.replace("> _kel_write i-5 i3", "> _kel_write i-5 i2"))
        self.assertEqual(explain.first_difference(self.calls, other), 5)
        self.assertEqual(explain.first_difference(self.calls, self.calls[:7]), 7)

    def test_calls_whose_doing_the_record_cannot_show_are_named_where_it_may_show(self):
        # A number read after a look and a skip.
        self.assertEqual(explain.silent_cause(self.calls, 4),
                         ["  (what it meets may also come from calls whose doing the record cannot show: "
                          "call 3: _kel_nextsymbol() -> 49; call 4: _kel_skipsymbol())"])
        # The arming, for a signal that went another way.
        self.assertRegex(explain.silent_cause(self.calls, 7)[0], r"show: call 2: _kel_on_event_enter\(ptr, 9, 15\)\)$")
        # A read that consumed since then, and agreed, would have shown it.
        calls = trace.read(RECORD.replace("> _kel_readfloat &\n", "> _kel_readsymbol &\n< i50\n> _kel_readfloat &\n"))
        self.assertEqual(explain.silent_cause(calls, 5), [])

    def test_programs_that_part_ways_after_an_arming_name_the_arming(self):
        yours = trace.read(RECORD.replace("> _kel_nextsymbol\n< i49\n", "> _kel_printstring s3f0a\n<\n", 1))
        index = explain.first_difference(self.calls, yours)
        self.assertEqual(explain.result_difference(index, self.calls, yours, ("bundled", "yours"), None),
                         ['call 2 of 10: _kel_on_event_enter(ptr, 9, 15): its result is not recorded, but after '
                          'it bundled makes _kel_nextsymbol(), yours makes _kel_printstring("?\\n")'])
        self.assertEqual(explain.silent_cause(self.calls, 2), [])

    def test_a_character_read_straight_after_a_look_must_be_the_one_looked_at(self):
        calls = trace.read("> _kel_nextsymbol\n< i40\n> _kel_readsymbol &\n< i51\n")
        self.assertEqual(explain.lookahead_note(calls, 1, "yours"),
                         ["  (under yours, call 1, _kel_nextsymbol(), looked at 40 and left it unread, yet "
                          "call 2 then finds 51: the look consumed it, or this read is wrong)"])
        self.assertEqual(explain.lookahead_note(trace.read("> _kel_nextsymbol\n< i40\n> _kel_readsymbol &\n< i40\n"),
                                                1, "yours"), [])

    def test_long_texts_are_shown_from_where_they_part(self):
        a, b = b"x" * 300 + b"@0", b"x" * 300 + b"@"
        self.assertEqual(explain.both_texts(a, b),
                         ('..."' + "x" * 19 + '@0" (302 bytes)', '..."' + "x" * 19 + '@" (301 bytes)'))
        self.assertEqual(explain.both_texts(b"\n", b"\r\n"), ('"\\n"', '"\\x0d\\n"'))


class CoverageTable(unittest.TestCase):
    def test_counts_classes_and_what_is_not_reached(self):
        tally = coverage.Tally()
        tally.add("evalix", trace.read(RECORD))
        tally.add("argshow", trace.read("> _kel_write i7 i0\n<\n> _kel_write i-7 i1\n<\n"))
        lines = coverage.table(tally, ["_kel_write", "_kel_resolve", "_kel_space"], ["argshow", "evalix"])
        self.assertEqual(lines[:4], ["entry point   argshow  evalix  total",
                                     "_kel_write          2       1      3",
                                     "_kel_resolve        .       1      1",
                                     "_kel_space          .       .      0  NOT REACHED"])
        self.assertIn("_kel_write: places 0 (1), places 1 (1), places 2 to 100 (1), value < 0 (2), value > 0 (1)",
                      lines)
        self.assertIn("_kel_resolve: found (1), no left part (1), right part wanted (1)", lines)
        self.assertIn("  NOT REACHED: left part wanted, not found: no case reaches it (splitcheck could)", lines)

    def test_every_class_not_reached_says_whether_a_deliverable_could_pass_it(self):
        tally = coverage.Tally()
        tally.add("argshow", trace.read("> _kel_write i7 i0\n<\n> _kel_write i-2147483648 i1\n<\n"))
        lines = coverage.table(tally, ["_kel_write", "_kel_space"], ["argshow"])
        self.assertEqual(lines[lines.index("_kel_write: places 0 (1), places 1 (1), value > 0 (1), "
                                           "value INT_MIN (1)") + 1:], [
            "  NOT REACHED: value < 0: no case reaches it (flshow, figshow could)",
            "  NOT REACHED: value 0: no case reaches it (argshow, flshow could)",
            "  NOT REACHED: places < 0, places 2 to 100, places > 100: no deliverable can pass it (argshow "
            "writes with places 0; flshow writes with places 1; figshow writes with places 1)",
            "_kel_space: -"])

    def test_reals_fall_in_a_class_of_sign_and_one_of_size(self):
        def found(x):
            call = trace.read(f"> _kel_printfl d{struct.unpack('>Q', struct.pack('>d', x))[0]:016x} i16\n<\n")[0]
            return [c for c in coverage.classes(call) if c.startswith("x ")]

        self.assertEqual(found(-1e-300), ["x < 0", "x tiny (|x| < 1e-10)"])
        self.assertEqual(found(-0.0), ["x 0"])
        self.assertEqual(found(3.5), ["x > 0"])
        self.assertEqual(found(1e10), ["x > 0", "x huge (|x| >= 1e+10)"])
        self.assertEqual(found(float("-inf")), ["x < 0", "x not finite"])
        self.assertEqual(found(float("nan")), ["x not finite"])

    def test_every_class_named_for_a_caller_is_one_the_entry_point_has(self):
        # A misspelt class in the table of callers would silently mark nothing.
        for name, callers in coverage.CALLERS.items():
            for deliverable, limits in callers.items():
                for classes, _ in limits:
                    with self.subTest(entry_point=name, deliverable=deliverable):
                        self.assertLessEqual(set(classes), set(coverage.NAMED[name]))


if __name__ == "__main__":
    unittest.main()
