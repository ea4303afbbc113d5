"""Caller values the elevated helper writes where an administrator or other
users later read or run them (the uninstall entry, the all-users shortcuts,
the receipt): malformed paths, programs and folders outside the installation
and versions that are not plain text end with 1 before anything is written
or requested; and the plan is a capped document like the others."""
import json
import os
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

import harness  # noqa: E402
import plantools as pl  # noqa: E402
from install_support import (COMMON_DESKTOP, COMMON_PROGRAMS, clean_shell_folders, delete_key, host,  # noqa: E402
                             registry, write)
from servers import FaultServer  # noqa: E402

# Each forbidden character, a trailing dot or blank, a relative path; the
# text is put after the installation folder's own path.
MALFORMED = [
    ('quote', '\\x" C:\\users\\Public\\evil.exe "'),
    ("less-than", "\\a<b"),
    ("greater-than", "\\a>b"),
    ("pipe", "\\a|b"),
    ("question mark", "\\a?b"),
    ("star", "\\a*b"),
    ("tab", "\\a\tb"),
    ("escape", "\\a\x1bb"),
    ("colon", "\\a:b"),
    ("trailing dot", "\\a."),
    ("trailing blank", "\\a "),
    ("dot component", "\\..\\a"),
    ("relative", None),
]


def errors(r):
    return [(e.get("operation"), e.get("error_code"), e.get("details")) for e in r.events
            if e.get("event_type") == "error"]


class CallerValueCase(unittest.TestCase):
    def setUp(self):
        self.scratch = harness.Scratch("caller-values")
        self.clean()
        self.fs = FaultServer().start()

    def tearDown(self):
        self.fs.stop()
        self.clean()
        self.scratch.cleanup()

    def clean(self):
        delete_key()
        clean_shell_folders()

    def target(self):
        write(self.scratch.path("Korvel", "KorvelLauncher.exe"), b"L" * 100)
        write(self.scratch.path("Korvel", "Launcher", "KorvelLauncher.exe"), b"L" * 100)
        write(self.scratch.path("Korvel", "Launcher", "KorvelUninstall.exe"), b"U" * 100)
        return self.scratch.winpath("Korvel")

    def outside_program(self):
        write(self.scratch.path("KorvelEvil", "evil.exe"), b"E" * 100)
        return self.scratch.winpath("KorvelEvil", "evil.exe")

    def shortcuts(self):
        return [p for p in (host(COMMON_PROGRAMS + "\\Korvel"), host(COMMON_DESKTOP + "\\Korvel.lnk"))
                if os.path.exists(p)]

    def assert_refused(self, r, what):
        self.assertEqual(r.returncode, 1, "%s\n%s" % (what, r.stdout_text))
        # One line names the refused value.
        self.assertTrue(any(code == 1 and "Invalid " in (details or "") for _, code, details in errors(r)),
                        "%s\n%s" % (what, errors(r)))

    def assert_nothing_left(self, what):
        """No uninstall entry, shortcut, request or receipt: what a refused
        run must not leave, and no refused run removes."""
        self.assertFalse(registry()["exists"], what)
        self.assertEqual(self.shortcuts(), [], what)
        self.assertEqual(self.fs.requests, [], what)
        self.assertFalse(os.path.exists(self.scratch.path("Korvel", "InstallReceipt.json")), what)

    def assert_all_refused(self, ways, **labels):
        """Runs the helper with each (way, arguments) at once: each run is
        refused on its own, and whatever any of them wrote or asked for is
        still there once they have all ended (a refused run removes
        nothing)."""
        self.fs.clear_log()
        results = harness.run_all([("KorvelElevated.exe", args) for _, args in ways])
        for (way, _), r in zip(ways, results):
            with self.subTest(way=way, **labels):
                self.assert_refused(r, "%s via %s" % (labels, way))
        with self.subTest(**labels):
            self.assert_nothing_left("%s via any of %s" % (labels, [way for way, _ in ways]))
        self.clean()

    def plan(self, operations):
        # A file of its own for each plan: runs of several plans go at once.
        return pl.write_plan(self.scratch, operations, name="plan-%s.json" % os.urandom(4).hex())


class MalformedPaths(CallerValueCase):
    def test_every_way_in_refuses_each_malformed_path(self):
        base = self.target()
        cdn = self.fs.url("/cdn")
        manifest = self.fs.url("/m.json")
        session = self.scratch.winpath("session")
        write(self.scratch.path("session", "files.json"), b'{"files": []}')
        for label, suffix in MALFORMED:
            bad = "install" if suffix is None else base + suffix
            ways = [
                ("--write-uninstall", ["--write-uninstall", "--target", bad, "--version", "1.0"]),
                ("--create-shortcuts", ["--create-shortcuts", "--target", bad]),
                ("--apply-manifest", ["--apply-manifest", manifest, "--target", bad, "--cdn", cdn]),
                ("--apply-manifest --session-root",
                 ["--apply-manifest", manifest, "--target", base, "--cdn", cdn, "--session-root",
                  "session" if suffix is None else session + suffix, "--files-manifest", session + "\\files.json"]),
                ("plan write_uninstall", ["--execute-plan", self.plan(
                    [{"type": "write_uninstall", "targetPath": bad, "version": "1.0"}])]),
                ("plan create_shortcuts", ["--execute-plan", self.plan(
                    [{"type": "create_shortcuts", "targetPath": bad}])]),
                ("plan apply_manifest", ["--execute-plan", self.plan(
                    [{"type": "apply_manifest", "targetPath": bad, "manifestUrl": manifest, "cdnUrl": cdn}])]),
                ("plan filesManifest", ["--execute-plan", self.plan(
                    [{"type": "apply_manifest", "targetPath": base, "manifestUrl": manifest, "cdnUrl": cdn,
                      "sessionRoot": session, "filesManifest": "files.json" if suffix is None
                      else session + suffix}])]),
                # A valid operation first: the plan refuses to load, so
                # nothing of it runs.
                ("plan write_uninstall then create_shortcuts", ["--execute-plan", self.plan(
                    [{"type": "write_uninstall", "targetPath": base, "version": "1.0"},
                     {"type": "create_shortcuts", "targetPath": bad}])]),
            ]
            self.assert_all_refused(ways, path=label)


class ProgramsAndFolders(CallerValueCase):
    def test_values_outside_the_target_are_refused(self):
        target = self.target()
        evil = self.outside_program()
        public = "C:\\users\\Public"
        cases = [
            {"type": "write_uninstall", "targetPath": target, "version": "1.0", "uninstallerExecutable": evil},
            {"type": "write_uninstall", "targetPath": target, "version": "1.0", "launcherExecutable": evil},
            {"type": "write_uninstall", "targetPath": target, "version": "1.0",
             "uninstallerExecutable": target + "\\..\\KorvelEvil\\evil.exe"},
            {"type": "write_uninstall", "targetPath": target, "version": "1.0", "uninstallerExecutable": target},
            {"type": "create_shortcuts", "targetPath": target, "launcherExecutable": evil},
            {"type": "create_shortcuts", "targetPath": target, "launcherWorkingDir": public},
            {"type": "create_shortcuts", "targetPath": target, "launcherWorkingDir": self.scratch.winpath("KorvelEvil")},
            {"type": "create_shortcuts", "targetPath": target, "launcherSubdir": public},
            {"type": "create_shortcuts", "targetPath": target, "launcherSubdir": "..\\elsewhere"},
            {"type": "create_shortcuts", "targetPath": target, "launcherSubdir": "Launcher\\..\\.."},
        ]
        self.assert_all_refused([(json.dumps(operation), ["--execute-plan", self.plan([operation])])
                                 for operation in cases])

    def test_the_same_values_inside_the_target_are_taken(self):
        target = self.target()
        launcher = target + "\\Launcher\\KorvelLauncher.exe"
        uninstaller = target + "\\Launcher\\KorvelUninstall.exe"
        r = harness.run_elevated(["--execute-plan", self.plan([
            {"type": "write_uninstall", "targetPath": target, "version": "1.0", "launcherExecutable": launcher,
             "uninstallerExecutable": uninstaller},
            {"type": "create_shortcuts", "targetPath": target, "launcherSubdir": "Launcher",
             "launcherExecutable": launcher, "launcherWorkingDir": target + "\\Launcher"},
            {"type": "create_shortcuts", "targetPath": target, "launcherExecutable": launcher,
             "launcherWorkingDir": target}])])
        self.assertEqual(r.returncode, 0, r.stdout_text)
        values = registry()["values"]
        self.assertEqual(values["UninstallString"]["data"], '"%s"' % uninstaller)
        self.assertEqual(values["DisplayIcon"]["data"], launcher + ",0")
        self.assertTrue(os.path.exists(host(COMMON_DESKTOP + "\\Korvel.lnk")))


class Versions(CallerValueCase):
    BAD = [("CR LF", "1.0\r\nInstall Path: C:\\Windows"), ("escape", "1.0\x1b[2J"), ("257 characters", "1" * 257)]

    def test_versions_that_are_not_plain_text_are_refused(self):
        target = self.target()
        for label, version in self.BAD:
            ways = [
                ("--write-uninstall", ["--write-uninstall", "--target", target, "--version", version]),
                ("plan write_uninstall", ["--execute-plan", self.plan(
                    [{"type": "write_uninstall", "targetPath": target, "version": version}])]),
                ("plan write_receipt", ["--execute-plan", self.plan(
                    [{"type": "write_receipt", "targetPath": target, "version": version}])]),
            ]
            self.assert_all_refused(ways, version=label)

    def test_a_version_of_256_characters_is_written_as_given(self):
        target = self.target()
        version = "1.2." + "x" * 252
        r = harness.run_elevated(["--write-uninstall", "--target", target, "--version", version])
        self.assertEqual(r.returncode, 0, r.stdout_text)
        self.assertEqual(registry()["values"]["DisplayVersion"]["data"], version)


def peak_rss_kib(args):
    """Runs the helper and follows the Windows process's peak resident size
    (VmHWM of its Linux process) until it ends; gives the run and the peak."""
    peak = [0]
    done = threading.Event()

    def watch():
        while not done.is_set():
            for pid in os.listdir("/proc"):
                if not pid.isdigit():
                    continue
                try:
                    with open("/proc/%s/cmdline" % pid, "rb") as f:
                        if b"KorvelElevated.exe" not in f.read():
                            continue
                    with open("/proc/%s/status" % pid) as f:
                        for line in f:
                            if line.startswith("VmHWM:"):
                                peak[0] = max(peak[0], int(line.split()[1]))
                except OSError:
                    pass
            time.sleep(0.005)

    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        r = harness.run_elevated(args)
    finally:
        done.set()
        watcher.join()
    return r, peak[0]


class PlanDocument(unittest.TestCase):
    def setUp(self):
        self.scratch = harness.Scratch("plan-document")

    def tearDown(self):
        self.scratch.cleanup()

    def load_error(self, r):
        return [(e["error_code"], e["details"]) for e in r.events
                if e.get("event_type") == "error" and e.get("operation") == "execution_plan"]

    def test_a_plan_over_32_mib_is_refused_before_it_is_read(self):
        small = self.scratch.path("small.json")
        write(small, b'{"operations": []}')
        r, small_peak = peak_rss_kib(["--execute-plan", self.scratch.winpath("small.json")])
        self.assertEqual(r.returncode, 0, r.stdout_text)
        big = self.scratch.path("big.json")
        # Valid JSON had it been read: a long string the helper would hold
        # several times over.
        body = b'{"operations": [], "pad": "'
        write(big, body + b"x" * (33554433 - len(body) - 2) + b'"}')
        self.assertEqual(os.path.getsize(big), 33554433)
        r, big_peak = peak_rss_kib(["--execute-plan", self.scratch.winpath("big.json")])
        print("peak resident size: empty plan %d KiB, 33,554,433-byte plan %d KiB" % (small_peak, big_peak))
        self.assertEqual(r.returncode, 1, r.stdout_text)
        self.assertEqual(self.load_error(r), [(1, "Plan file is larger than 33554432 bytes")])
        self.assertGreater(small_peak, 0)
        # Reading it would cost its bytes once as read (32 MiB) and twice
        # more as UTF-16 before any JSON is parsed.
        self.assertLess(big_peak, small_peak + 32 * 1024, (small_peak, big_peak))

    def test_a_plan_nested_100000_deep_is_an_invalid_plan(self):
        deep = self.scratch.path("deep.json")
        write(deep, b'{"operations": [], "x": ' + b"[" * 100000 + b"]" * 100000 + b"}")
        r = harness.run_elevated(["--execute-plan", self.scratch.winpath("deep.json")])
        self.assertEqual(r.returncode, 1, r.stdout_text)
        self.assertEqual(self.load_error(r), [(1, "JSON parse error: Exceeded stackLimit in readValue().")])


if __name__ == "__main__":
    unittest.main(verbosity=2)
