"""--emulator: the programs run natively or under qemu-i386 as chosen, argv[0] as a native run
gives it, the report says which, and what cannot run under the emulator is refused by name."""
import unittest
import unittest.mock
import xml.etree.ElementTree as ET

from suite import launcher
from tests.runner.support import ScratchSuite


# Prints its argv[0] and the machine the kernel reports to it: a 64-bit kernel tells an i386
# program it runs on x86_64, while the emulator makes up an i686.
PROBE = """\
    #include <stdio.h>
    #include <sys/utsname.h>
    int main(int argc, char **argv) {
        struct utsname u;
        uname(&u);
        printf("%s on %s\\n", argv[0], u.machine);
        return 0;
    }
"""
VERSION = r"under qemu-i386 \(version \d+(\.\d+)+\): "


class HowTheProgramsRun(ScratchSuite):
    def setUp(self):
        super().setUp()
        self.c_program("probe", PROBE)

    def test_forced_emulation_runs_the_program_under_qemu_with_its_bare_name(self):
        self.case_file("probe", {"name": "machine", "stdout": "probe on i686\n"})
        junit = self.dir / "results.xml"
        status, out, err = self.regress("--emulator", "qemu-i386", "--junit", str(junit))
        self.assertEqual(status, 0, out + err)
        self.assertRegex(out, r"\nprograms run " + VERSION)
        properties = {p.get("name"): p.get("value") for p in ET.parse(junit).iter("property")}
        self.assertRegex(properties["programs run"], VERSION)

    def test_a_failure_under_the_emulator_is_rerun_under_it(self):
        self.case_file("probe", {"name": "machine", "stdout": "probe on x86_64\n"})
        status, out, _ = self.regress("--emulator", "qemu-i386")
        self.assertEqual(status, 1)
        self.assertRegex(out, r"rerun: .* --emulator qemu-i386 .*--cases ")
        self.assertIn("+probe on i686", out)

    @unittest.skipUnless(launcher.runs_natively(), "this kernel does not run i386 programs")
    def test_native_runs_are_said_to_be_native(self):
        self.case_file("probe", {"name": "machine", "stdout": "probe on x86_64\n"})
        status, out, err = self.regress("--emulator", "none")
        self.assertEqual(status, 0, out + err)
        self.assertIn("\nprograms run natively\n", out)

    def test_what_cannot_run_or_go_together_is_refused_with_the_reason(self):
        self.case_file("probe", {"name": "machine", "stdout": "probe on i686\n"})
        for options, reason in [
                (["--valgrind", "--emulator", "qemu-i386"],
                 "valgrind's memcheck cannot run under qemu-i386: it executes the i386 code itself"),
                (["--emulator", "/no/such/emulator"], "--emulator /no/such/emulator: no such program"),
                (["--valgrind", "--sanitize"], "memcheck cannot run sanitized programs")]:
            with self.subTest(options=options):
                status, out, err = self.regress(*options)
                self.assertEqual(status, 2)
                self.assertIn(reason, err)
                self.assertNotIn("[1/1]", out)


@unittest.mock.patch.object(launcher, "runs_natively", lambda: False)
class OnAKernelThatRefusesI386(unittest.TestCase):
    def test_auto_chooses_the_emulator_and_says_why(self):
        chosen = launcher.choose("auto")
        self.assertTrue(chosen.emulated)
        self.assertRegex(chosen.describe(), VERSION + "this kernel does not run i386 programs$")

    def test_none_stops_with_both_ways_out(self):
        with self.assertRaises(launcher.LaunchError) as refused:
            launcher.choose("none")
        self.assertIn("Exec format error", str(refused.exception))
        self.assertIn("apt-get install qemu-user", str(refused.exception))
        self.assertIn("ia32_emulation=on", str(refused.exception))

    def test_auto_without_the_emulator_says_what_to_install(self):
        with unittest.mock.patch("shutil.which", lambda name: None):
            with self.assertRaises(launcher.LaunchError) as refused:
                launcher.choose("auto")
        self.assertIn("qemu-i386 is not installed", str(refused.exception))


class Commands(ScratchSuite):
    def test_the_probe_is_an_i386_program_that_exits_0(self):
        probe = self.bin / "probe"
        probe.write_bytes(launcher._PROBE)
        probe.chmod(0o755)
        self.assertTrue(launcher.is_i386_program(probe))
        self.assertEqual(launcher.choose("qemu-i386").run(probe, timeout=10).returncode, 0)

    def test_only_i386_programs_go_through_the_emulator(self):
        self.c_program("probe", PROBE)
        self.program("script", "echo hello\n")
        emulated = launcher.choose("qemu-i386")
        started = emulated.command(self.bin / "probe", ["x"], argv0="probe", preload="/lib/p.so")
        self.assertEqual(started.argv[1:], ["-E", "LD_PRELOAD=/lib/p.so", "-0", "probe",
                                            str(self.bin / "probe"), "x"])
        self.assertRegex(started.environment["ASAN_OPTIONS"], f"(^|:){launcher.SANITIZER_OPTIONS}$")
        self.assertEqual(started.slowdown, launcher.SLOWDOWN)
        script = emulated.command(self.bin / "script")
        self.assertEqual((script.argv, script.slowdown), ([str(self.bin / "script")], 1))
        native = launcher.Launcher().command(self.bin / "probe", preload="/lib/p.so")
        self.assertEqual(native.environment["LD_PRELOAD"], "/lib/p.so")


if __name__ == "__main__":
    unittest.main()
