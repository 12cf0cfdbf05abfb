"""The runtime an expectation set keeps for --explain, and what stands in when it cannot be used."""

import hashlib
import json
import tempfile
import unittest
from pathlib import Path

from suite import reference


class KeptRuntime(unittest.TestCase):
    def setUp(self):
        scratch = tempfile.TemporaryDirectory(prefix="regress-reference-")
        self.addCleanup(scratch.cleanup)
        self.dir = Path(scratch.name)
        self.set = self.dir / "expect"
        self.archive = self.dir / "libmine.a"
        self.archive.write_bytes(b"!<arch>\nnot really members\n")

    def test_a_foreign_archive_is_kept_as_a_copy_with_its_hash_and_origin(self):
        reference.keep(self.set, self.archive)
        kept = self.set / "runtime"
        self.assertEqual((kept / "libkel.a").read_bytes(), self.archive.read_bytes())
        self.assertEqual(json.loads((kept / "runtime.json").read_text()),
                         {"sha256": hashlib.sha256(self.archive.read_bytes()).hexdigest(),
                          "origin": str(self.archive)})
        self.assertEqual(sorted(p.name for p in kept.iterdir()), ["libkel.a", "runtime.json"])

    def test_the_bundled_runtime_is_recorded_as_such_and_an_old_copy_goes(self):
        reference.keep(self.set, self.archive)
        reference.keep(self.set, None)
        self.assertFalse((self.set / "runtime" / "libkel.a").exists())
        found = reference.recorded(self.set)
        self.assertEqual((found.archive, found.label), (None, "blessed"))
        self.assertIn("the bundled one", found.note)

    def test_what_cannot_be_used_says_why_and_the_bundled_runtime_stands_in(self):
        reference.keep(self.set, self.archive)
        kept = self.set / "runtime"
        # A copy that is not a kel runtime fails the check that every archive passes.
        troubles = {"does not pass the archive check": lambda: None}
        troubles["has sha256"] = lambda: (kept / "libkel.a").write_bytes(b"!<arch>\nanother\n")
        troubles["is missing"] = lambda: (kept / "libkel.a").unlink()
        troubles["names neither the bundled runtime"] = lambda: (kept / "runtime.json").write_text('{"sha256": 1}')
        troubles["cannot be read"] = lambda: (kept / "runtime.json").write_text("{")
        troubles["it has no runtime/runtime.json"] = lambda: (kept / "runtime.json").unlink()
        for why, damage in troubles.items():
            with self.subTest(why=why):
                damage()
                found = reference.recorded(self.set)
                self.assertEqual((found.archive, found.label), (None, "bundled"))
                self.assertTrue(found.note.startswith(f"compared with the bundled runtime, not with the one "
                                                      f"that recorded {self.set}: "), found.note)
                self.assertIn(why, found.note)


if __name__ == "__main__":
    unittest.main()
