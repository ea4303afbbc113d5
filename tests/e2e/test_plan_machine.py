"""Plan operations that change the machine: install_prereqs (the stand-in
installers the build made, served by nginx), write_uninstall (the uninstall
entry) and create_shortcuts (the sandbox's Start Menu and desktop), and a
failing plan that leaves none of them behind. These tests share the
sandbox's registry and shell folders with other tests, so CTest runs them
one at a time with those."""
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

import harness  # noqa: E402
import plantools as pl  # noqa: E402
import prereqtools as pt  # noqa: E402
from install_support import (COMMON_DESKTOP, COMMON_PROGRAMS, clean_shell_folders, delete_key, host,  # noqa: E402
                             links, registry, write)
from servers import NginxServer  # noqa: E402


def run_plan(path):
    return harness.run_elevated(["--execute-plan", path])


class MachineCase(unittest.TestCase):
    def setUp(self):
        self.scratch = harness.Scratch("plan-machine")
        self.clean()

    def tearDown(self):
        self.clean()
        self.scratch.cleanup()

    def clean(self):
        delete_key()
        clean_shell_folders()
        pt.remove_download_dir()

    def plan(self, operations):
        return pl.write_plan(self.scratch, operations)

    def install_folder(self):
        write(self.scratch.path("Korvel", "Launcher", "KorvelLauncher.exe"), b"L" * 4000)
        write(self.scratch.path("Korvel", "Launcher", "uninstall-korvel.exe"), b"U" * 100)
        return self.scratch.winpath("Korvel")

    def operation_events(self, r, name):
        return pl.briefs(r.events, ("execution_plan", name), levels=())


class WriteUninstall(MachineCase):
    def test_writes_the_entry_with_the_plan_values(self):
        target = self.install_folder()
        launcher = target + "\\Launcher\\KorvelLauncher.exe"
        uninstaller = target + "\\Launcher\\uninstall-korvel.exe"
        r = run_plan(self.plan([{"type": "write_uninstall", "targetPath": target, "version": "4.5.6",
                                 "launcherExecutable": launcher, "uninstallerExecutable": uninstaller}]))
        self.assertEqual(r.returncode, 0, r.stdout_text)
        self.assertEqual(self.operation_events(r, "write_uninstall"), [
            ("status", "execution_plan", "loading_plan"), ("status", "execution_plan", "executing"), ("status", "execution_plan", "operation_0"),
            ("status", "write_uninstall", "starting"), ("progress", "execution_plan", 100),
            ("completion", "execution_plan", True)])
        values = registry()["values"]
        self.assertEqual(values["DisplayVersion"]["data"], "4.5.6")
        self.assertEqual(values["InstallLocation"]["data"], target)
        # The plan's uninstaller and launcher are used, unlike the command's.
        self.assertEqual(values["UninstallString"]["data"], '"%s"' % uninstaller)
        self.assertEqual(values["DisplayIcon"]["data"], launcher + ",0")


class CreateShortcuts(MachineCase):
    def test_launcher_below_its_subfolder(self):
        target = self.install_folder()
        launcher = target + "\\Launcher\\KorvelLauncher.exe"
        r = run_plan(self.plan([{"type": "create_shortcuts", "targetPath": target, "launcherSubdir": "Launcher",
                                 "launcherExecutable": launcher, "launcherWorkingDir": target + "\\Launcher"}]))
        self.assertEqual(r.returncode, 0, r.stdout_text)
        self.assertEqual(self.operation_events(r, "create_shortcuts"), [
            ("status", "execution_plan", "loading_plan"), ("status", "execution_plan", "executing"), ("status", "execution_plan", "operation_0"),
            ("status", "create_shortcuts", "starting"), ("progress", "execution_plan", 100),
            ("completion", "execution_plan", True)])
        main, desktop, uninstall = links(COMMON_PROGRAMS + "\\Korvel\\Korvel.lnk", COMMON_DESKTOP + "\\Korvel.lnk",
                                         COMMON_PROGRAMS + "\\Korvel\\Uninstall Korvel.lnk")
        for link in (main, desktop):
            self.assertEqual((link["target"], link["working_dir"]), (launcher, target + "\\Launcher"))
        # The uninstall shortcut starts the launcher that targetPath and
        # launcherSubdir name, with --uninstall.
        self.assertEqual((uninstall["target"], uninstall["arguments"]), (launcher, "--uninstall"))

    def test_without_the_subfolder_the_launcher_is_looked_for_in_the_folder(self):
        target = self.install_folder()
        write(self.scratch.path("Korvel", "KorvelLauncher.exe"), b"top")
        r = run_plan(self.plan([{"type": "create_shortcuts", "targetPath": target}]))
        self.assertEqual(r.returncode, 0, r.stdout_text)
        (uninstall,) = links(COMMON_PROGRAMS + "\\Korvel\\Uninstall Korvel.lnk")
        self.assertEqual((uninstall["target"], uninstall["arguments"]), (target + "\\KorvelLauncher.exe",
                                                                        "--uninstall"))


class StopsAtTheFirstFailure(MachineCase):
    def test_nothing_after_the_failure_runs(self):
        target = self.install_folder()
        with NginxServer() as ng:
            r = run_plan(self.plan([
                {"type": "write_receipt", "targetPath": target, "version": "1.0.0"},
                {"type": "apply_manifest", "manifestUrl": ng.url("/absent.json"), "targetPath": target,
                 "cdnUrl": ng.url("/")},
                {"type": "write_uninstall", "targetPath": target, "version": "1.0.0"},
                {"type": "create_shortcuts", "targetPath": target, "launcherSubdir": "Launcher"},
                {"type": "write_receipt", "targetPath": self.scratch.winpath("other"), "version": "1.0.0"}]))
        # The manifest is not found (404): the client's HTTP error.
        code = 163
        self.assertEqual(r.returncode, code, r.stdout_text)
        self.assertEqual(pl.briefs(r.events, ("execution_plan",), levels=()), [
            ("status", "execution_plan", "loading_plan"), ("status", "execution_plan", "executing"),
            ("status", "execution_plan", "operation_0"), ("progress", "execution_plan", 20),
            ("status", "execution_plan", "operation_1"),
            ("error", "execution_plan", code, "Operation 1 failed, aborting plan")])
        # What ran before stays; nothing after it ran.
        self.assertTrue(os.path.isfile(self.scratch.path("Korvel", "InstallReceipt.json")))
        self.assertFalse(registry()["exists"])
        self.assertFalse(os.path.exists(host(COMMON_PROGRAMS + "\\Korvel")))
        self.assertFalse(os.path.exists(host(COMMON_DESKTOP + "\\Korvel.lnk")))
        self.assertFalse(os.path.exists(self.scratch.path("other")))


class InstallPrereqs(MachineCase):
    def test_everything_present_gives_104_and_stops_the_plan(self):
        pt.fixture("present")
        self.addCleanup(pt.fixture, "clear")
        with NginxServer() as ng:
            pt.publish(ng)
            r = run_plan(self.plan([{"type": "install_prereqs", "cdnUrl": ng.url("/")},
                                    {"type": "write_receipt", "targetPath": self.scratch.winpath("Korvel"),
                                     "version": "1.0.0"}]))
            self.assertEqual(ng.requests(), [])
        self.assertEqual(r.returncode, 104, r.stdout_text)
        self.assertEqual(pl.briefs(r.events, ("execution_plan", "install_prereqs"), levels=()), [
            ("status", "execution_plan", "loading_plan"), ("status", "execution_plan", "executing"),
            ("status", "execution_plan", "operation_0"), ("status", "install_prereqs", "starting"),
            ("error", "execution_plan", 104, "Operation 0 failed, aborting plan")])
        self.assertFalse(os.path.exists(self.scratch.path("Korvel")))

    def test_missing_runtimes_are_installed_and_the_plan_goes_on(self):
        pt.fixture("clear")
        self.addCleanup(pt.fixture, "clear")
        with NginxServer() as ng:
            pt.publish(ng)
            r = run_plan(self.plan([{"type": "installprereqs", "cdnUrl": ng.url("/")},
                                    {"type": "write_receipt", "targetPath": self.scratch.winpath("Korvel"),
                                     "version": "1.0.0"}]))
            fetched = sorted(q["uri"] for q in ng.requests())
        self.assertEqual(r.returncode, 0, r.stdout_text)
        self.assertTrue(fetched and all(u.startswith("/prerequisites/") for u in fetched), fetched)
        self.assertEqual([b for b in pl.briefs(r.events, ("execution_plan",), levels=())
                          if b[0] == "progress"], [("progress", "execution_plan", 50),
                                                   ("progress", "execution_plan", 100)])
        self.assertTrue(os.path.isfile(self.scratch.path("Korvel", "InstallReceipt.json")))
        # The download folder goes with the installer.
        self.assertFalse(os.path.lexists(pt.download_dir()))


if __name__ == "__main__":
    unittest.main()
