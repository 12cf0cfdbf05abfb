"""Tests of ./regress mutants --faults: the catalogue's format, and the runner over faults of its own (one caught, one the hunt finds, one surviving both, one that does not build)."""

import json
import tempfile
import textwrap
import unittest
from pathlib import Path

from suite import fault_catalogue, mutants, trials
from support import ScratchClass

FIXTURES = Path(__file__).with_name("faults")
PATCH = (FIXTURES / "line-end-is-cr.fault").read_text().partition("\n\n")[2]


class Catalogue(unittest.TestCase):
    def setUp(self):
        scratch = tempfile.TemporaryDirectory(prefix="faults-test-")
        self.addCleanup(scratch.cleanup)
        self.dir = Path(scratch.name)

    def fault(self, name, text):
        path = self.dir / f"{name}.fault"
        path.write_text(textwrap.dedent(text))
        return path

    def test_a_fault_that_breaks_the_format_is_refused_by_its_file(self):
        refused = {
            "unknown-key": ("kind: reading\nport: p\nflavour: x\n", "not a header line"),
            "no-port": ("kind: reading\nflags: -O1\n", "no port:"),
            "bad-kind": ("kind: reader\nport: p\nflags: -O1\n", "kind 'reader' is none of"),
            "empty": ("kind: reading\nport: p\n\n", "a diff, or flags, or both"),
            "twice": ("kind: reading\nkind: streams\nport: p\nflags: -O1\n", "kind given twice"),
            "Upper": ("kind: reading\nport: p\nflags: -O1\n", "lower-case letters"),
        }
        for name, (text, said) in refused.items():
            with self.subTest(name), self.assertRaisesRegex(fault_catalogue.CatalogueError, said) as error:
                fault_catalogue.read_fault(self.fault(name, text))
            self.assertIn(f"{name}.fault", str(error.exception))

    def test_a_fault_is_read_with_its_flags_and_patch(self):
        fault = fault_catalogue.read_fault(self.fault("x87", "kind: build-flags\nport: an old compiler's default\n"
                                                             "flags: -mfpmath=387 -O1\ndrop-flags: -mfpmath=sse\n"))
        self.assertEqual((fault.kind, fault.flags, fault.drop_flags, fault.diff),
                         ("build-flags", ("-mfpmath=387", "-O1"), ("-mfpmath=sse",), ""))
        patched = fault_catalogue.read_fault(self.fault("cr", "kind: buffering\nport: p\n\n" + PATCH))
        made = fault_catalogue.contents(patched)
        self.assertEqual(list(made), ["kelrt/write.cc"])
        self.assertIn(b"kel_put_char('\\r'); }", made["kelrt/write.cc"])

    def test_a_patch_that_does_not_apply_or_reaches_outside_kelrt_names_the_fault(self):
        stale = fault_catalogue.read_fault(self.fault("stale", "kind: buffering\nport: p\n\n"
                                                      + PATCH.replace("kel_put_char('\\n'); }", "gone(); }")))
        with self.assertRaisesRegex(fault_catalogue.CatalogueError, "fault stale: its patch does not apply"):
            fault_catalogue.contents(stale)
        wide = fault_catalogue.read_fault(self.fault("wide", "kind: buffering\nport: p\n\n" + textwrap.dedent("""\
            diff --git a/runtime/new.h b/runtime/new.h
            new file mode 100644
            --- /dev/null
            +++ b/runtime/new.h
            @@ -0,0 +1 @@
            +int x;
            """)))
        with self.assertRaisesRegex(fault_catalogue.CatalogueError, "fault wide: its patch reaches outside "
                                                                   "kelrt/: runtime/new.h"):
            fault_catalogue.contents(wide)

    def test_reasons_come_from_the_docs_table(self):
        docs = self.dir / "mutants.md"
        docs.write_text("| fault | why no run shows it |\n| --- | --- |\n| `tab-before-a-number` | no reader "
                        "sees a tab \\| ever |\n\n| `not-in-the-table` | other |\n")
        self.assertEqual(fault_catalogue.reasons(docs), {"tab-before-a-number": "no reader sees a tab \\| ever"})

    def test_the_catalogue_reads_and_every_patch_applies(self):
        for path in sorted(fault_catalogue.CATALOGUE.glob("*.fault")):
            with self.subTest(path.name):
                fault_catalogue.contents(fault_catalogue.read_fault(path))
        fault_catalogue.reasons()


class Runner(ScratchClass):
    """The fixtures over argshow's cases with arguments, which print no negative integer."""

    def args(self, *words):
        return mutants.parse_args(["--faults", "--catalogue", str(FIXTURES), "--only", "argshow/*argument*",
                                   "-j", "1", "--work", str(self.dir / "work"), *words])

    def test_caught_caught_by_the_hunt_surviving_and_not_built(self):
        # Long enough for the hunt to compare some inputs of every deliverable, as it must to say it
        # found nothing, while the rest of a test run shares the machine.
        args = self.args("--hunt", "15")
        lines = []
        report = mutants.run(args, lines.append)
        self.assertEqual(json.loads(Path(args.report).read_text()), report)
        section = report["faults"]
        results = {f["name"]: f for f in section["faults"]}
        self.assertEqual((results["line-end-is-cr"]["result"], results["line-end-is-cr"]["how"]), ("caught", "FAIL"))
        self.assertEqual(results["statement-unended"]["result"], "not built")
        self.assertIn("write.cc", results["statement-unended"]["reason"])
        self.assertEqual(results["integer-sign-blank"]["result"], "survived")
        self.assertEqual(results["integer-sign-blank"]["hunt"]["result"], "caught")
        self.assertEqual(results["built-at-o1"]["hunt"], {"result": "survived"})
        self.assertEqual(section["figures"], {**section["figures"], "tried": 4, "caught": 1, "caught by the hunt": 1,
                                              "survived": 1, "not built": 1, "score": "33.3%",
                                              "score with the hunt": "66.7%"})
        # The flags reached the compiler: the survivor's archive is not the unchanged one.
        unchanged = (self.dir / "work" / "slot-0" / "libkel.a").read_bytes()
        self.assertNotEqual((self.dir / "work" / "faults" / "built-at-o1.a").read_bytes(), unchanged)
        shown = "\n".join(mutants.fault_summary_lines(section))
        self.assertIn("faults: 4 tried, 1 caught by the cases, 1 more by the hunt (15 s each), 1 surviving, "
                      "1 not built", shown)
        self.assertIn("  built-at-o1  (build-flags)  not found by the hunt\n"
                      "      port: a port built at a lower optimisation, where nothing the programs see may change\n"
                      "      why no run shows it: no reason recorded", shown)
        self.assertRegex(shown, r"caught by the hunt \(a case is missing\):\n  integer-sign-blank  \(strings\)  "
                                r"caught by the hunt \(\w+/hunt-\w+\)\n      port: [^\n]*\nsurviving:")
        self.assertNotIn("mutants", report)

    def test_a_patch_that_does_not_apply_stops_the_run_before_any_build(self):
        catalogue = self.dir / "stale"
        catalogue.mkdir()
        (catalogue / "stale.fault").write_text("kind: buffering\nport: p\n\n"
                                               + PATCH.replace("kel_put_char('\\n'); }", "gone(); }"))
        lines = []
        with self.assertRaisesRegex(trials.SetupFailed, "fault stale: its patch does not apply"):
            mutants.run(self.args("--catalogue", str(catalogue)), lines.append)
        self.assertEqual(lines, [])


if __name__ == "__main__":
    unittest.main()
