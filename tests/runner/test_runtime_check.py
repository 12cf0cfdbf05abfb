"""The archive check that stops a build against a runtime that lacks or mis-sizes what the suite needs."""

import json
import subprocess
import unittest

from suite import runtime_check
from tests.runner.support import CC, ScratchSuite

ABI = json.loads(runtime_check.ABI_FILE.read_text())


class ArchiveCheck(ScratchSuite):
    def archive(self, leave_out=(), sizes=None, extra="", bits=32, flags=()):
        """An i386 archive defining what the support layer needs, less and with other sizes as asked;
        flags: the compiler's besides."""
        sizes = sizes or {}
        lines = [f"void {name}(void) {{}}" for name in ABI["entry_points"] if name not in leave_out]
        for name, rule in ABI["objects"].items():
            size = sizes.get(name, rule.get("size") or 2 * rule.get("multiple_of", 0))
            if name not in leave_out:
                lines.append(f"char {name}[{size}];")
        source = self.dir / "runtime.c"
        source.write_text("\n".join(lines) + "\n" + extra)
        obj, lib = self.dir / "runtime.o", self.dir / "libother.a"
        subprocess.run(["gcc", f"-m{bits}", *flags, "-c", "-o", str(obj), str(source)], check=True)
        lib.unlink(missing_ok=True)
        subprocess.run(["ar", "rcs", str(lib), str(obj)], check=True)
        return lib

    def test_a_complete_archive_passes(self):
        self.assertEqual(runtime_check.check_archive(self.archive()), [])

    def test_missing_and_mis_sized_symbols_are_each_named(self):
        lib = self.archive(leave_out=["_kel_readfloat", "_kel_InFile"],
                           sizes={"_kel_event": 600, "_kel_infile": 300})
        self.assertEqual(runtime_check.check_archive(lib), [
            ("_kel_readfloat", "entry point", "missing"),
            ("_kel_event", "object of 692 bytes", "600 bytes"),
            ("_kel_infile", "object of a positive multiple of 276 bytes", "300 bytes"),
            ("_kel_InFile", "object of 4 bytes", "missing"),
        ])

    def test_definitions_the_linker_cannot_use_are_rejected(self):
        lib = self.archive(leave_out=["rtos", "_kel_global_argc"],
                           extra="static void rtos(void) {}\nvoid *keep = rtos;\n"
                                 "void _kel_global_argc(void) {}\n")
        self.assertEqual(runtime_check.check_archive(lib), [
            ("rtos", "entry point", "only a local definition"),
            ("_kel_global_argc", "object of 4 bytes", "code, not data"),
        ])

    def test_an_archive_for_another_machine_is_named(self):
        rows = runtime_check.check_archive(self.archive(bits=64))
        self.assertIn(("runtime.o", "elf32-i386 object", "elf64-x86-64"), rows)

    def test_the_runner_prints_one_table_and_builds_nothing(self):
        lib = self.archive(leave_out=["_kel_newline"], sizes={"_kel_promptstr": 255})
        self.case_file("any", {"name": "one"})
        status, out, err = self.regress("--runtime", str(lib), "--build", str(self.dir / "build"))
        self.assertEqual(status, 2)
        self.assertEqual(out, "")
        self.assertRegex(err, r"_kel_newline +entry point +missing\n")
        self.assertRegex(err, r"_kel_promptstr +object of 256 bytes +255 bytes\n")
        self.assertIn("2 problems; nothing was built or run.", err)
        self.assertFalse((self.dir / "build").exists())
        status, _, err = self.regress("--runtime", str(self.dir / "nothere.a"))
        self.assertEqual((status, err.strip()),
                         (2, f"regress: runtime archive not found: {self.dir}/nothere.a"))


    def test_what_does_not_link_into_a_plain_build_is_refused_before_building_with_the_way_out(self):
        self.case_file("any", {"name": "one"})
        shared = self.dir / "libkel.so"
        subprocess.run([*CC, "-shared", "-fPIC", "-o", str(shared), str(self.archive().with_name("runtime.c"))],
                       check=True)
        sanitized = self.archive(flags=["-fsanitize=address"])
        for runtime, said in [(shared, "it is a shared library, not a static archive"),
                              (sanitized, "was built with AddressSanitizer: it calls their run-time libraries, "
                                          "which only programs built with the sanitizers link; run with --sanitize")]:
            with self.subTest(runtime=runtime.name):
                status, out, err = self.regress("--runtime", str(runtime))
                self.assertEqual((status, out), (2, ""))
                self.assertIn(said, err)
                self.assertIn("nothing was built or run", err)
        self.assertIsNone(runtime_check.refusal(sanitized, sanitized_build=True))


if __name__ == "__main__":
    unittest.main()
