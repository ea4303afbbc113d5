"""KorvelUninstall.exe under Wine, after a real installation made by
KorvelElevated through a plan (uninstall entry, shortcuts, receipt): what it
removes, what it leaves, its console text, events and log."""
import glob
import json
import os
import shutil
import subprocess
import tempfile
import time
import unittest
import uuid

import harness
import plantools

from install_support import (COMMON_DESKTOP, COMMON_PROGRAMS, UNINSTALL_KEY, clean_shell_folders, delete_key, host,
                             registry, user_profile, write)

LOGS = "C:\\ProgramData\\Korvel\\Logs"


def wine_env():
    env = dict(os.environ)
    env["KORVEL_BUILD_DIR"] = harness.BUILD_DIR
    return env


def run_exe_at(win_exe, args, cwd, stdin=None, timeout=300):
    """Starts a program by its Windows path (not necessarily in the bin
    folder) from a host folder that Wine maps to a drive."""
    script = 'source "$1/scripts/wine-env.sh"; shift; exec timeout --kill-after=10 %d "$KORVEL_WINE64" "$@"' % timeout
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        proc = subprocess.run(["bash", "-c", script, "bash", harness.SOURCE_DIR, win_exe] + list(args), cwd=cwd,
                              stdin=subprocess.DEVNULL if stdin is None else stdin, stdout=out, stderr=err,
                              env=wine_env(), timeout=timeout + 30)
        out.seek(0)
        err.seek(0)
        proc.stdout = out.read()
        proc.stderr = err.read()
    return harness.Result(proc)


def start_exe_at(win_exe, args, cwd, log):
    script = 'source "$1/scripts/wine-env.sh"; shift; exec timeout --kill-after=10 600 "$KORVEL_WINE64" "$@"'
    return subprocess.Popen(["bash", "-c", script, "bash", harness.SOURCE_DIR, win_exe] + list(args), cwd=cwd,
                            stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT, env=wine_env())


def messages(events, level=None):
    return [e["message"] for e in events
            if e.get("event_type") == "diagnostic" and (level is None or e.get("level") == level)]


def stdin_with(data):
    f = tempfile.TemporaryFile()
    f.write(data)
    f.seek(0)
    return f


def logs_since(start):
    names = sorted(glob.glob(os.path.join(host(LOGS), "uninstall-*.log")))
    return [n for n in names if os.path.getmtime(n) >= start - 2]


class Installed(unittest.TestCase):
    """A fresh installation in a scratch folder for each test."""

    def setUp(self):
        self.scratch = harness.Scratch("uninstall")
        delete_key()
        clean_shell_folders()
        self.start = time.time()
        self.root = self.scratch.path("Korvel")
        self.win = self.scratch.winpath("Korvel")
        fixture = os.path.join(harness.BIN_DIR, "product_fixture.exe")
        os.makedirs(os.path.join(self.root, "Client"))
        shutil.copyfile(fixture, os.path.join(self.root, "KorvelLauncher.exe"))
        shutil.copyfile(fixture, os.path.join(self.root, "Client", "KorvelClient.exe"))
        write(os.path.join(self.root, "Client", "data", "assets.bin"), b"a" * 4096)
        os.makedirs(os.path.join(self.root, "Launcher"))
        shutil.copyfile(os.path.join(harness.BIN_DIR, "KorvelUninstall.exe"),
                        os.path.join(self.root, "Launcher", "KorvelUninstall.exe"))
        # Installed the way the product installs: one plan run by the helper.
        launcher = self.win + "\\KorvelLauncher.exe"
        plan = plantools.write_plan(self.scratch, [
            {"type": "write_uninstall", "targetPath": self.win, "version": "2.4.0", "launcherExecutable": launcher,
             "uninstallerExecutable": self.win + "\\Launcher\\KorvelUninstall.exe"},
            {"type": "create_shortcuts", "targetPath": self.win, "launcherExecutable": launcher},
            {"type": "write_receipt", "targetPath": self.win, "version": "2.4.0", "launcherExecutable": launcher}])
        self.check(harness.run_elevated(["--execute-plan", plan]))
        self.assertTrue(os.path.exists(os.path.join(self.root, "InstallReceipt.json")))
        self.assertTrue(registry()["exists"])
        self.session = "C:\\windows\\Temp\\korvel-session-e2e-" + uuid.uuid4().hex[:8]
        write(os.path.join(host(self.session), "files", "part.bin"))

    def tearDown(self):
        delete_key()
        clean_shell_folders()
        if os.path.isdir(host(self.session)):
            shutil.rmtree(host(self.session), ignore_errors=True)
        self.scratch.cleanup()

    def check(self, result):
        self.assertEqual(result.returncode, 0, result.stdout_text + result.stderr_text)

    def shortcuts(self):
        return [p for p in (host(COMMON_PROGRAMS + "\\Korvel\\Korvel.lnk"), host(COMMON_DESKTOP + "\\Korvel.lnk"))
                if os.path.exists(p)]

    def assert_removed(self, result=None):
        self.assertFalse(os.path.exists(self.root), result)
        self.assertEqual(self.shortcuts(), [])
        self.assertFalse(os.path.exists(host(COMMON_PROGRAMS + "\\Korvel")))
        self.assertFalse(registry()["exists"])
        self.assertFalse(os.path.exists(host(self.session)))


class Removal(Installed):
    def test_removes_a_real_installation_found_through_the_registry(self):
        self.assertEqual(len(self.shortcuts()), 2)
        # A product process holding a file of the installation open, with no
        # window: ended by force after its grace period, and waited for.
        ready = self.scratch.path("ready")
        with open(self.scratch.path("fixture.log"), "wb") as log:
            fixture = start_exe_at(self.win + "\\Client\\KorvelClient.exe",
                                   ["--hold", self.win + "\\Client\\data\\assets.bin", "--ready",
                                    self.scratch.winpath("ready")], self.scratch.host, log)
            try:
                for _ in range(300):
                    if os.path.exists(ready):
                        break
                    time.sleep(0.1)
                self.assertTrue(os.path.exists(ready))
                with stdin_with(b"  yes\n") as answer:
                    r = harness.run("KorvelUninstall.exe", [], stdin=answer)
            finally:
                fixture.wait(timeout=60)
        self.assertEqual(r.returncode, 0, r.stdout_text + r.stderr_text)
        self.assert_removed()

        out = r.stdout_text
        self.assertIn("Korvel Uninstaller v1.0.0\nPreparing to uninstall Korvel...\n\n", out)
        self.assertIn("Installation Path: %s\nVersion: 2.4.0\n" % self.win, out)
        self.assertIn("  - Shortcut: Korvel\n  - Shortcut: Korvel\n  - Registry: HKEY_LOCAL_MACHINE\\SOFTWARE", out)
        self.assertIn("Do you want to continue? (Y/N): ", out)
        self.assertIn("\nUninstall completed successfully!\n  Processes terminated: 1\n  Shortcuts removed: 2\n"
                      "  Registry keys removed: 1\n", out)
        self.assertEqual(r.stderr_text, "")
        records = [m for m in messages(r.events, "INFO") if m.startswith("Event: ")]
        self.assertEqual(records[:5], ["Event: uninstall, Status: starting", "Event: detection, Status: in_progress",
                                       "Event: detection, Status: complete, Details: 4 items",
                                       "Event: confirmation, Status: waiting", "Event: confirmation, Status: approved"])
        self.assertIn("Event: terminate_processes, Status: complete, Details: 1", records)
        self.assertIn("Event: remove_shortcuts, Status: complete, Details: 2", records)
        self.assertIn("Event: remove_registry, Status: complete, Details: 1", records)
        self.assertEqual(records[-1], "Event: uninstall, Status: complete, Details: success:true")
        self.assertIn("Graceful termination failed, forcing", messages(r.events, "WARNING"))
        self.assertTrue(all(e["process"] == "KorvelElevated" for e in r.events))
        last = r.events[-1]
        self.assertEqual((last["event_type"], last["operation"], last["success"]), ("completion", "uninstaller", True))

        logs = logs_since(self.start)
        self.assertTrue(logs)
        with open(logs[-1], encoding="utf-8") as f:
            text = f.read()
        self.assertRegex(text, r"^Korvel Uninstaller Log\nStarted: \d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\n\n")
        self.assertIn("\n=== Uninstall Summary ===\nVersion: 2.4.0\nInstall Path: %s\nProcesses Terminated: 1\n"
                      "Shortcuts Removed: 2\nRegistry Keys Removed: 1\n" % self.win, text)
        self.assertRegex(text, r"Duration: \d+ ms\nSuccess: true\n$")

    def test_purge_removes_user_data_but_the_open_log(self):
        local = user_profile() + "\\AppData\\Local\\Korvel"
        write(os.path.join(host(local), "cache", "c.bin"))
        write(os.path.join(host("C:\\ProgramData\\Korvel"), "zz-settings.json"))
        r = harness.run("KorvelUninstall.exe", ["--force", "--purge", "--quiet"])
        self.assertEqual(r.returncode, 0, r.stdout_text)
        self.assertEqual(r.stdout_text.count("Uninstall completed successfully!"), 0)  # quiet
        self.assert_removed()
        self.assertFalse(os.path.exists(host(local)))
        left = []
        for base, dirs, files in os.walk(host("C:\\ProgramData\\Korvel")):
            left += [os.path.relpath(os.path.join(base, f), host("C:\\ProgramData\\Korvel")) for f in files]
        self.assertEqual(len(left), 1, left)
        self.assertEqual(os.path.join(host(LOGS), os.path.basename(left[0])), logs_since(self.start)[-1])

    def test_file_held_open_stops_the_removal_and_the_entry_is_written_back(self):
        held = self.win + "\\Client\\data\\assets.bin"
        entry = registry()
        r = harness.run("run_holding.exe", [held, "K:\\KorvelUninstall.exe", "--force"])
        self.assertEqual(r.returncode, 147, r.stdout_text + r.stderr_text)
        self.assertIn("\nUninstall failed with error code: 147\n", r.stderr_text)
        self.assertNotIn("Uninstall completed successfully!", r.stdout_text)
        # Apps & features still offers the uninstall: every value and type
        # as it was.
        self.assertEqual(registry(), entry)
        self.assertTrue(any("uninstall entry was written back" in w for w in messages(r.events, "WARNING")))
        self.assertIn("Event: remove_registry, Status: complete, Details: 1", messages(r.events, "INFO"))
        self.assertEqual(self.shortcuts(), [])
        self.assertTrue(os.path.exists(os.path.join(self.root, "Client", "data", "assets.bin")))
        self.assertTrue(os.path.exists(host(self.session)))  # nothing after the failure
        errors = [e for e in r.events if e["event_type"] == "error" and "error_code" in e]
        self.assertEqual([(e["operation"], e["error_code"]) for e in errors],
                         [("remove_files", 147), ("uninstaller", 147)])
        self.assertIn("Failed to remove installation directory", messages(r.events, "ERROR"))
        with open(logs_since(self.start)[-1], encoding="utf-8") as f:
            text = f.read()
        self.assertNotIn("Uninstall Summary", text)
        # Run again once the file is free, the way the entry says.
        r = harness.run("KorvelUninstall.exe", ["--force"])
        self.assertEqual(r.returncode, 0, r.stdout_text + r.stderr_text)
        self.assert_removed()

    def test_shortcut_that_cannot_be_removed_leaves_the_count_at_zero(self):
        # Registry removal failing and a summary that cannot be written are
        # not provoked here: Wine enforces no access lists and gives no way
        # to make a write to an open file fail.
        held = COMMON_DESKTOP + "\\Korvel.lnk"
        r = harness.run("run_holding.exe", [held, "K:\\KorvelUninstall.exe", "--force"])
        self.assertEqual(r.returncode, 0, r.stdout_text + r.stderr_text)
        self.assertIn("Event: remove_shortcuts, Status: failed", messages(r.events, "INFO"))
        self.assertIn("Shortcut removal had issues", messages(r.events, "WARNING"))
        self.assertIn("  Shortcuts removed: 0\n", r.stdout_text)
        self.assertTrue(os.path.exists(host(held)))
        self.assertFalse(os.path.exists(self.root))
        self.assertFalse(registry()["exists"])
        with open(logs_since(self.start)[-1], encoding="utf-8") as f:
            self.assertIn("Shortcuts Removed: 0\n", f.read())
        os.remove(host(held))

    def test_host_symlinks_pointing_outside_are_not_followed_out(self):
        outside = self.scratch.path("outside")
        write(os.path.join(outside, "precious.txt"), b"keep")
        write(os.path.join(outside, "deep", "more.txt"), b"keep")
        os.symlink(outside, os.path.join(self.root, "Client", "linked-dir"))
        os.symlink(os.path.join(outside, "precious.txt"), os.path.join(self.root, "linked-file.txt"))
        r = harness.run("KorvelUninstall.exe", ["--force"])
        # Wine opens a host link as its target, which lies outside: the
        # removal refuses it and stops; what it removed before is gone.
        self.assertEqual(r.returncode, 147, r.stdout_text)
        self.assertIn("Refusing to delete an entry outside the folder: ", " ".join(messages(r.events, "ERROR")))
        self.assertTrue(registry()["exists"])
        self.assertEqual(sorted(os.listdir(outside)), ["deep", "precious.txt"])
        for name in ("precious.txt", os.path.join("deep", "more.txt")):
            with open(os.path.join(outside, name), "rb") as f:
                self.assertEqual(f.read(), b"keep")

    def test_link_planted_at_the_log_path_is_not_followed(self):
        # The log's name comes from the clock: a host-made link (which Wine
        # opens as its target) is planted under every name of the coming
        # minutes, each pointing at a file outside.
        outside = self.scratch.path("outside.txt")
        write(outside, b"precious")
        os.makedirs(host(LOGS), exist_ok=True)
        now = int(time.time())
        planted = []
        for second in range(now - 2, now + 180):
            link = os.path.join(host(LOGS), time.strftime("uninstall-%Y%m%d-%H%M%S.log", time.gmtime(second)))
            if not os.path.lexists(link):
                os.symlink(outside, link)
                planted.append(link)
        try:
            r = harness.run("KorvelUninstall.exe", ["--force"])
            self.assertEqual(r.returncode, 0, r.stdout_text + r.stderr_text)
            with open(outside, "rb") as f:
                self.assertEqual(f.read(), b"precious")
            self.assertIn("Uninstall completed successfully!", r.stdout_text)
            # Windows deletes the link itself and makes the log anew; Wine
            # opens the link as its target, outside the log folder, so the
            # link is refused and the run goes on without a log.
            made = [p for p in planted if os.path.lexists(p) and not os.path.islink(p)]
            refused = "Failed to initialize file logging" in messages(r.events, "WARNING")
            if made:
                self.assertEqual(len(made), 1, made)
                with open(made[0], encoding="utf-8") as f:
                    text = f.read()
                self.assertTrue(text.startswith("Korvel Uninstaller Log\nStarted: "), text)
                self.assertRegex(text, r"Success: true\n$")
            elif not refused:
                self.skipTest("the run started after the planted names")
        finally:
            for link in planted:
                if os.path.islink(link):
                    os.unlink(link)

    def test_current_folder_inside_the_installation_does_not_stop_the_removal(self):
        # A process's current folder cannot be deleted; the uninstaller
        # leaves it before removing anything.
        r = run_exe_at("K:\\KorvelUninstall.exe", ["--force"], cwd=os.path.join(self.root, "Client", "data"))
        self.assertEqual(r.returncode, 0, r.stdout_text + r.stderr_text)
        self.assert_removed()

    def test_started_from_inside_the_installation(self):
        harness.run("pending_renames.exe", ["clear"])
        launcher = os.path.join(self.root, "Launcher")
        r = run_exe_at(self.win + "\\Launcher\\KorvelUninstall.exe", ["--force"], cwd=launcher)
        self.assertEqual(r.returncode, 0, r.stdout_text + r.stderr_text)
        self.assertIn("Uninstall completed successfully!", r.stdout_text)
        # The running image was moved out to a fresh folder at the drive's
        # root; the whole installation is gone now.
        self.assert_removed(r)
        warnings = messages(r.events, "WARNING")
        self.assertTrue(any("will be removed at the next restart" in w for w in warnings), warnings)
        pending = harness.run("pending_renames.exe", ["show"])
        self.assertEqual(pending.returncode, 0, pending)
        data = json.loads(pending.stdout_text.strip())
        # Pairs of a path and an empty new name: the image, then its folder,
        # and nothing else.
        sources = [p[4:] if p.startswith("\\??\\") else p for p in data[0::2]]
        self.assertEqual(len(sources), 2, data)
        self.assertRegex(sources[1], r"^[A-Za-z]:\\KorvelPendingDelete-[0-9a-f]{16}$")
        self.assertEqual(sources[0].lower(), (sources[1] + "\\KorvelUninstall.exe").lower())
        self.assertEqual(data[1::2], ["", ""])
        pending_host = host(sources[1])
        self.assertTrue(os.path.isfile(os.path.join(pending_host, "KorvelUninstall.exe")))

        # Before the restart a user puts a link where the installation's
        # folders were: the restart deletes only what was scheduled.
        outside = self.scratch.path("outside")
        write(os.path.join(outside, "KorvelUninstall.exe"), b"precious")
        os.makedirs(self.root)
        os.symlink(outside, launcher)
        try:
            boot = run_exe_at("C:\\windows\\system32\\wineboot.exe", ["-r"], cwd=self.scratch.host)
            self.assertEqual(boot.returncode, 0, boot)
            self.assertEqual(json.loads(harness.run("pending_renames.exe", ["show"]).stdout_text.strip()), [])
            self.assertFalse(os.path.exists(pending_host))
            self.assertEqual(os.listdir(outside), ["KorvelUninstall.exe"])
            with open(os.path.join(outside, "KorvelUninstall.exe"), "rb") as f:
                self.assertEqual(f.read(), b"precious")
        finally:
            os.unlink(launcher)
            harness.run("pending_renames.exe", ["clear"])
            if os.path.isdir(pending_host):
                shutil.rmtree(pending_host, ignore_errors=True)

    def test_killed_during_the_file_removal_then_run_again(self):
        # Enough files that the removal is still going when it is killed.
        for i in range(40):
            for j in range(100):
                write(os.path.join(self.root, "Client", "bulk", "d%02d" % i, "f%03d.bin" % j), b"b")
        exe = self.win + "\\Launcher\\KorvelUninstall.exe"
        out = self.scratch.path("killed.log")
        with open(out, "wb") as log:
            proc = start_exe_at(exe, ["--force"], self.scratch.host, log)
            try:
                pid = None
                for _ in range(1200):
                    with open(out, "rb") as f:
                        text = f.read()
                    events = harness.parse_events(text)
                    if pid is None and events:
                        pid = events[0].get("pid")
                    if any(e.get("operation") == "file:delete" and "bulk" in e.get("file_path", "")
                           for e in events):
                        break
                    if proc.poll() is not None:
                        break
                    time.sleep(0.05)
                self.assertIsNotNone(pid, text)
                kill = run_exe_at("C:\\windows\\system32\\taskkill.exe", ["/F", "/PID", str(pid)],
                                  cwd=self.scratch.host)
            finally:
                proc.wait(timeout=120)
        left = sum(len(files) for _, _, files in os.walk(os.path.join(self.root, "Client", "bulk")))
        if left == 0:
            self.skipTest("the removal ended before the kill: %r" % kill)
        self.assertFalse(registry()["exists"])  # the killed run had removed the entry
        # A plain run of the installed uninstaller finds its installation
        # through its own folder and finishes the job.
        r = run_exe_at(exe, ["--force"], cwd=self.scratch.host)
        self.assertEqual(r.returncode, 0, r.stdout_text + r.stderr_text)
        self.assertIn("Installation found beside the uninstaller: " + self.win, messages(r.events, "INFO"))
        self.assert_removed()
        harness.run("pending_renames.exe", ["clear"])

    def test_names_outside_the_path_rule_inside_the_installation(self):
        # Made through "\\?\" paths by a user program on Windows; on the
        # host side the names are plain.
        for name in ("aux.txt", "save.", os.path.join("Client", "con"),
                     os.path.join("Client", "data", "nul.log")):
            write(os.path.join(self.root, name), b"odd")
        r = harness.run("KorvelUninstall.exe", ["--force"])
        self.assertEqual(r.returncode, 0, r.stdout_text + r.stderr_text)
        self.assert_removed()

    def test_hard_links_to_outside_read_only_files_keep_their_mode(self):
        outside = self.scratch.path("outside")
        os.makedirs(outside)
        targets = []
        for name, where in (("ro.txt", "ro-link.txt"), ("ro2.dll", os.path.join("Client", "data", "ro2.dll"))):
            target = os.path.join(outside, name)
            write(target, b"keep")
            os.chmod(target, 0o444)
            os.link(target, os.path.join(self.root, where))
            targets.append(target)
        r = harness.run("KorvelUninstall.exe", ["--force"])
        self.assertEqual(r.returncode, 0, r.stdout_text + r.stderr_text)
        self.assert_removed()
        for target in targets:
            self.assertEqual(os.stat(target).st_mode & 0o777, 0o444, target)
            self.assertEqual(os.stat(target).st_nlink, 1)
            with open(target, "rb") as f:
                self.assertEqual(f.read(), b"keep")
        # The helper's removal takes the same path.
        tree = self.scratch.path("tree")
        os.makedirs(tree)
        os.link(targets[0], os.path.join(tree, "ro-link.txt"))
        r = harness.run_elevated(["--remove", "--target", self.scratch.winpath("tree"), "--purge"])
        self.assertEqual(r.returncode, 0, r.stdout_text + r.stderr_text)
        self.assertFalse(os.path.exists(tree))
        self.assertEqual(os.stat(targets[0]).st_mode & 0o777, 0o444)

    def test_sparse_receipt_is_refused_without_reading_it(self):
        import resource
        receipt = os.path.join(self.root, "InstallReceipt.json")
        os.remove(receipt)
        with open(receipt, "wb") as f:
            f.truncate(1 << 30)
        r = harness.run("KorvelUninstall.exe", ["--force"])
        peak_kib = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
        self.assertEqual(r.returncode, 0, r.stdout_text + r.stderr_text)
        # Far below the gigabyte the whole file would cost.
        self.assertLess(peak_kib, 400 * 1024, peak_kib)
        errors = [e["message"] for e in r.events if e.get("event_type") == "diagnostic"
                  and e.get("component") == "install_receipt" and e.get("level") == "ERROR"]
        self.assertEqual(errors, ["Receipt file is larger than 33554432 bytes", "Failed to parse receipt JSON"])
        self.assert_removed()


class NotFound(Installed):
    def test_mistyped_folder_is_not_found_and_nothing_is_removed(self):
        entry = registry()
        r = harness.run("KorvelUninstall.exe", ["--force", "--install-path", self.win + "x"])
        self.assertEqual(r.returncode, 141, r.stdout_text + r.stderr_text)
        self.assertIn("Korvel installation not found.\n", r.stdout_text)
        self.assertNotIn("Uninstall completed successfully!", r.stdout_text)
        self.assertIn("\nUninstall failed with error code: 141\n", r.stderr_text)
        errors = [e for e in r.events if e["event_type"] == "error"]
        self.assertEqual([(e["operation"], e["error_code"], e["error_message"]) for e in errors],
                         [("uninstaller", 141, "File not found")])
        self.assertIn("Event: detection, Status: not_found", messages(r.events, "INFO"))
        self.assertIn("Installation not found", messages(r.events, "WARNING"))
        self.assertEqual(registry(), entry)
        self.assertEqual(len(self.shortcuts()), 2)
        self.assertTrue(os.path.exists(os.path.join(self.root, "InstallReceipt.json")))
        self.assertTrue(os.path.exists(host(self.session)))

    def test_nothing_anywhere(self):
        delete_key()
        r = harness.run("KorvelUninstall.exe", ["--force", "--install-path", self.win + "x", "--quiet"])
        self.assertEqual(r.returncode, 141, r.stdout_text + r.stderr_text)
        self.assertEqual(r.stdout_text.count("Korvel installation not found."), 0)  # quiet
        self.assertEqual([e["error_code"] for e in r.events if e["event_type"] == "error"], [141])


class LogFolder(Installed):
    def test_link_at_the_product_data_folder_is_not_followed(self):
        data = host("C:\\ProgramData\\Korvel")
        aside = data + ".aside-" + uuid.uuid4().hex[:8]
        outside = self.scratch.path("outside")
        os.makedirs(outside)
        if os.path.lexists(data):
            os.rename(data, aside)
        os.symlink(outside, data)
        try:
            r = harness.run("KorvelUninstall.exe", ["--force"])
            self.assertEqual(r.returncode, 0, r.stdout_text + r.stderr_text)
            self.assertIn("Failed to initialize file logging", messages(r.events, "WARNING"))
            self.assertEqual(os.listdir(outside), [])
            self.assert_removed()
        finally:
            os.unlink(data)
            if os.path.lexists(aside):
                os.rename(aside, data)


if __name__ == "__main__":
    unittest.main()
