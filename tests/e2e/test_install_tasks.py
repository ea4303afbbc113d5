"""--write-uninstall, --create-shortcuts and --remove through the real
KorvelElevated.exe: exit codes, events, and what they leave in the
sandbox's registry and shell folders."""
import datetime
import os
import unittest

import harness
from install_support import (COMMON_DESKTOP, COMMON_PROGRAMS, UNINSTALL_KEY, clean_shell_folders, delete_key, host,
                             links, messages, own, registry, set_dword, user_desktop, user_profile, user_programs,
                             write)

SZ = "REG_SZ"
DWORD = "REG_DWORD"


def run(args):
    return harness.run_elevated(args)


class Base(unittest.TestCase):
    def setUp(self):
        self.scratch = harness.Scratch(self.__class__.__name__.lower())
        delete_key()
        clean_shell_folders()

    def tearDown(self):
        delete_key()
        clean_shell_folders()
        self.scratch.cleanup()

    def install_folder(self, name="install", launcher=True):
        os.makedirs(self.scratch.path(name))
        if launcher:
            write(self.scratch.path(name, "KorvelLauncher.exe"), b"L" * 5000)
        return self.scratch.winpath(name)

    def assert_failed_with(self, r, code):
        self.assertEqual(r.returncode, code, r.stdout_text)
        last = r.events[-2]
        self.assertEqual((last["operation"], last["error_code"]), ("main_operation", code))


class WriteUninstall(Base):
    def test_every_value_with_its_type(self):
        target = self.install_folder()
        write(self.scratch.path("install", "Client", "data.bin"), b"d" * 6000)
        r = run(["--write-uninstall", "--target", target, "--version", "1.2.3"])
        self.assertEqual(r.returncode, 0, r.stdout_text)
        self.assertEqual(own(r.events, "uninstall_write")[0]["status"], "starting")
        reg = own(r.events, "registry:write_uninstall_info")
        self.assertEqual(len(reg), 1)
        self.assertEqual((reg[0]["key_path"], reg[0]["success"], reg[0]["event_type"]), (UNINSTALL_KEY, True, "status"))
        self.assertIn("Uninstall information written successfully", messages(r.events, "INFO"))

        values = registry()["values"]
        today = datetime.datetime.now(datetime.timezone.utc).strftime("%Y%m%d")
        expected = {
            "DisplayName": (SZ, "Korvel"),
            "DisplayVersion": (SZ, "1.2.3"),
            "Publisher": (SZ, "Tessaly Works"),
            "InstallLocation": (SZ, target),
            "UninstallString": (SZ, '"%s\\KorvelLauncher.exe" --uninstall' % target),
            "DisplayIcon": (SZ, "%s\\KorvelLauncher.exe,0" % target),
            "HelpLink": (SZ, "https://support.tessaly.works/korvel"),
            "URLInfoAbout": (SZ, "https://korvel.tessaly.works/updates"),
            "URLUpdateInfo": (SZ, "https://korvel.tessaly.works/updates"),
            "InstallDate": (SZ, today),
            "Language": (SZ, "1033"),
            "Comments": (SZ, "Korvel - Virtual World Platform"),
            "Contact": (SZ, "Tessaly Works"),
            "EstimatedSize": (DWORD, 10),
            "VersionMajor": (DWORD, 1),
            "VersionMinor": (DWORD, 2),
            "NoModify": (DWORD, 1),
            "NoRepair": (DWORD, 1),
            "NoRemove": (DWORD, 0),
        }
        self.assertEqual({k: (v["type"], v["data"]) for k, v in values.items()}, expected)
        for name, (kind, data) in expected.items():
            if kind == SZ:  # stored with the terminating NUL
                self.assertEqual(values[name]["size"], 2 * (len(data) + 1), name)

    def test_version_pieces(self):
        target = self.install_folder()
        for version, major, minor in (("1.2.3", 1, 2), ("10", 10, None), ("2.x", 2, None), ("1.", 1, None),
                                      ("0.5.1", None, 5)):
            with self.subTest(version=version):
                delete_key()
                r = run(["--write-uninstall", "--target", target, "--version", version])
                self.assertEqual(r.returncode, 0, r.stdout_text)
                values = registry()["values"]
                self.assertEqual(values["DisplayVersion"]["data"], version)
                self.assertEqual(values.get("VersionMajor", {}).get("data"), major)
                self.assertEqual(values.get("VersionMinor", {}).get("data"), minor)

    def test_values_not_written_stay_from_an_earlier_writer(self):
        target = self.install_folder(launcher=False)
        set_dword("VersionMajor", 7)
        set_dword("EstimatedSize", 1234)
        r = run(["--write-uninstall", "--target", target, "--version", "0.5.1"])
        self.assertEqual(r.returncode, 0, r.stdout_text)
        values = registry()["values"]
        self.assertEqual((values["VersionMajor"]["data"], values["VersionMinor"]["data"]), (7, 5))
        self.assertEqual(values["EstimatedSize"]["data"], 1234)

    def test_trailing_backslash(self):
        target = self.install_folder() + "\\"
        write(self.scratch.path("install", "uninstall.exe"))
        r = run(["--write-uninstall", "--target", target, "--version", "1.0"])
        self.assertEqual(r.returncode, 0, r.stdout_text)
        values = registry()["values"]
        self.assertEqual(values["InstallLocation"]["data"], target)
        self.assertEqual(values["UninstallString"]["data"], '"%s\\uninstall.exe"' % target)
        self.assertEqual(values["DisplayIcon"]["data"], "%sKorvelLauncher.exe,0" % target)

    def test_install_folder_that_is_not_fully_qualified_is_refused(self):
        for target in ("install", "..\\install", "T:install", "\\install"):
            with self.subTest(target=target):
                r = run(["--write-uninstall", "--target", target, "--version", "1.0"])
                self.assert_failed_with(r, 1)
                self.assertIn("Invalid target: %s (not a fully qualified path)" % target,
                              [e.get("details") for e in r.events if e.get("event_type") == "error"])
                self.assertEqual(own(r.events, "registry:write_uninstall_info"), [])
                self.assertFalse(registry()["exists"])


class CreateShortcuts(Base):
    def test_three_shortcuts_in_the_prefix_folders(self):
        target = self.install_folder()
        launcher = target + "\\KorvelLauncher.exe"
        for _ in range(2):
            r = run(["--create-shortcuts", "--target", target])
            self.assertEqual(r.returncode, 0, r.stdout_text)
            made = own(r.events, "shortcut_create")
            self.assertEqual([(e["shortcut_name"], e["target_path"], e["success"]) for e in made], [
                ("Korvel", COMMON_PROGRAMS + "\\Korvel\\Korvel.lnk", True),
                ("Korvel", COMMON_DESKTOP + "\\Korvel.lnk", True),
                ("Uninstall Korvel", COMMON_PROGRAMS + "\\Korvel\\Uninstall Korvel.lnk", True),
            ])
            self.assertEqual(sorted(os.listdir(host(COMMON_PROGRAMS + "\\Korvel"))),
                             ["Korvel.lnk", "Uninstall Korvel.lnk"])
            self.assertTrue(os.path.isfile(host(COMMON_DESKTOP + "\\Korvel.lnk")))

        main, desktop, uninstall = links(COMMON_PROGRAMS + "\\Korvel\\Korvel.lnk", COMMON_DESKTOP + "\\Korvel.lnk",
                                         COMMON_PROGRAMS + "\\Korvel\\Uninstall Korvel.lnk")
        for link in (main, desktop):
            self.assertEqual({k: v for k, v in link.items() if k != "file"}, {
                "target": launcher, "arguments": "", "working_dir": target,
                "description": "Korvel - Virtual World Platform", "icon": launcher, "icon_index": 0, "show_cmd": 1})
        self.assertEqual({k: v for k, v in uninstall.items() if k != "file"}, {
            "target": launcher, "arguments": "--uninstall", "working_dir": target,
            "description": "Uninstall Korvel from your computer", "icon": "C:\\Windows\\System32\\appwiz.cpl",
            "icon_index": 0, "show_cmd": 1})

    def test_uninstaller_in_the_launcher_folder_is_preferred(self):
        target = self.install_folder()
        write(self.scratch.path("install", "Client", "KorvelUninstall.exe"))
        r = run(["--create-shortcuts", "--target", target])
        self.assertEqual(r.returncode, 0, r.stdout_text)
        (uninstall,) = links(COMMON_PROGRAMS + "\\Korvel\\Uninstall Korvel.lnk")
        self.assertEqual((uninstall["target"], uninstall["arguments"], uninstall["working_dir"]),
                         (target + "\\Client\\KorvelUninstall.exe", "", target + "\\Client"))

    def test_without_the_launcher_nothing_is_made(self):
        target = self.install_folder(launcher=False)
        r = run(["--create-shortcuts", "--target", target])
        self.assert_failed_with(r, 141)
        self.assertIn("Skipping uninstall shortcut creation - no valid target found under installer path: " +
                      target + "\\KorvelLauncher.exe", messages(r.events, "WARNING"))
        self.assertIn("Failed to create some shortcuts", messages(r.events, "ERROR"))
        self.assertEqual(own(r.events, "shortcut_create"), [])
        self.assertFalse(os.path.exists(host(COMMON_PROGRAMS + "\\Korvel")))
        self.assertFalse(os.path.exists(host(COMMON_DESKTOP + "\\Korvel.lnk")))


class Remove(Base):
    def installed(self, files=True):
        target = self.install_folder(launcher=files)
        if files:
            write(self.scratch.path("install", "Client", "KorvelClient.exe"))
        self.assertEqual(run(["--write-uninstall", "--target", target, "--version", "1.0"]).returncode, 0)
        if files:
            self.assertEqual(run(["--create-shortcuts", "--target", target]).returncode, 0)
        return target

    def test_full_folder_with_purge(self):
        target = self.installed()
        write(host(user_desktop() + "\\Korvel Extra.lnk"))
        write(host(user_programs() + "\\Games\\korvel.lnk"))
        r = run(["--remove", "--target", target, "--purge"])
        self.assertEqual(r.returncode, 0, r.stdout_text)
        removed = own(r.events, "shortcut_create")
        self.assertEqual(sorted((e["shortcut_name"], e["success"], e["event_type"]) for e in removed), [
            ("Korvel Extra.lnk", True, "status"), ("Korvel.lnk", True, "status"), ("Korvel.lnk", True, "status"),
            ("Uninstall Korvel.lnk", True, "status")])
        self.assertFalse(os.path.exists(host(COMMON_PROGRAMS + "\\Korvel")))
        self.assertFalse(os.path.exists(host(COMMON_DESKTOP + "\\Korvel.lnk")))
        self.assertTrue(os.path.exists(host(user_programs() + "\\Games\\korvel.lnk")))
        os.unlink(host(user_programs() + "\\Games\\korvel.lnk"))
        os.rmdir(host(user_programs() + "\\Games"))
        self.assertFalse(registry()["exists"])
        self.assertFalse(os.path.exists(self.scratch.path("install")))
        self.assertEqual(own(r.events, "remove")[-1], {**own(r.events, "remove")[-1],
                                                       "event_type": "completion", "success": True})

    def test_full_folder_without_purge_keeps_the_files(self):
        target = self.installed()
        r = run(["--remove", "--target", target])
        self.assert_failed_with(r, 147)
        err = own(r.events, "remove")[-1]
        self.assertEqual((err["event_type"], err["error_code"]), ("error", 147))
        self.assertNotIn("details", err)
        # Shortcuts and the entry are gone by then; the files stay.
        self.assertFalse(registry()["exists"])
        self.assertFalse(os.path.exists(host(COMMON_DESKTOP + "\\Korvel.lnk")))
        self.assertTrue(os.path.isfile(self.scratch.path("install", "Client", "KorvelClient.exe")))

    def test_empty_and_missing_folders(self):
        target = self.installed(files=False)
        for purge in ([], ["--purge"]):
            with self.subTest(purge=purge):
                os.makedirs(self.scratch.path("install"), exist_ok=True)
                r = run(["--remove", "--target", target] + purge)
                self.assertEqual(r.returncode, 0, r.stdout_text)
                self.assertFalse(os.path.exists(self.scratch.path("install")))
                r = run(["--remove", "--target", target] + purge)
                self.assertEqual(r.returncode, 0, r.stdout_text)
                self.assertEqual(own(r.events, "remove")[-1]["event_type"], "completion")
                removal = own(r.events, "registry:remove_uninstall_info")
                self.assertEqual(removal[0]["success"], True)

    def test_link_in_the_start_menu_folder_is_not_followed_out(self):
        outside = self.scratch.path("outside")
        write(os.path.join(outside, "Korvel Outside.lnk"), b"outside link")
        write(os.path.join(outside, "data", "keep.txt"), b"keep")
        folder = host(COMMON_PROGRAMS + "\\Korvel")
        write(os.path.join(folder, "Korvel.lnk"))
        os.symlink(outside, os.path.join(folder, "escape"))
        os.symlink(os.path.join(outside, "Korvel Outside.lnk"), os.path.join(folder, "Korvel Linked.lnk"))
        target = self.install_folder()
        r = run(["--remove", "--target", target, "--purge"])
        self.assertEqual(r.returncode, 0, r.stdout_text)
        with open(os.path.join(outside, "Korvel Outside.lnk"), "rb") as f:
            self.assertEqual(f.read(), b"outside link")
        with open(os.path.join(outside, "data", "keep.txt"), "rb") as f:
            self.assertEqual(f.read(), b"keep")
        self.assertFalse(os.path.exists(os.path.join(folder, "Korvel.lnk")))
        # Wine opens a Unix link as its target, so neither the link file nor
        # the folder holding the folder link can be proven inside: both stay.
        warnings = messages(r.events, "WARNING")
        self.assertTrue(any(w.startswith("Failed to remove shortcut: %s\\Korvel\\Korvel Linked.lnk - "
                                         % COMMON_PROGRAMS) for w in warnings), warnings)
        self.assertTrue(any(w.startswith("Failed to remove Korvel program folder: ") for w in warnings), warnings)
        self.assertTrue(os.path.islink(os.path.join(folder, "escape")))
        for e in r.events:
            self.assertNotIn("outside", e.get("file_path", "") + e.get("target_path", ""))

    def test_unreadable_folder_is_named_and_the_rest_removed(self):
        held = user_programs() + "\\Korvel Held"
        write(host(held + "\\Korvel.lnk"))
        write(host(user_programs() + "\\Other\\Korvel Other.lnk"))
        write(host(user_desktop() + "\\Korvel.lnk"))
        target = self.install_folder()
        try:
            r = harness.run("run_holding.exe", [held, "K:\\KorvelElevated.exe", "--remove", "--target", target, "--purge"])
            self.assertEqual(r.returncode, 0, r.stdout_text)
            self.assertIn("Cannot read folder while removing shortcuts: %s - 32" % held, messages(r.events, "WARNING"))
            self.assertIn("Shortcut removal completed with warnings", messages(r.events, "INFO"))
            self.assertFalse(os.path.exists(host(user_programs() + "\\Other\\Korvel Other.lnk")))
            self.assertFalse(os.path.exists(host(user_desktop() + "\\Korvel.lnk")))
            self.assertTrue(os.path.exists(host(held + "\\Korvel.lnk")))
            self.assertFalse(os.path.exists(self.scratch.path("install")))
        finally:
            for name in ("Korvel Held", "Other"):
                p = host(user_programs() + "\\" + name)
                if os.path.isdir(p):
                    for f in os.listdir(p):
                        os.unlink(os.path.join(p, f))
                    os.rmdir(p)


class DangerousRoots(Base):
    """Folders that are never removed whole: refused with 147 before the
    shortcuts, the entry or any file is touched."""

    def test_refused_before_anything_is_touched(self):
        target = self.install_folder()
        self.assertEqual(run(["--write-uninstall", "--target", target, "--version", "1.0"]).returncode, 0)
        self.assertEqual(run(["--create-shortcuts", "--target", target]).returncode, 0)
        profile = user_profile()
        docs_link = self.scratch.path("docs-link")
        os.symlink(host(profile + "\\Documents"), docs_link)
        marker = host(profile + "\\Documents\\korvel-marker.txt")
        write(marker, b"mine")
        try:
            for root in ("T:\\", "K:\\", "C:\\users", profile, profile.upper() + "\\", profile + "\\Desktop",
                         profile + "\\Documents", profile + "\\Downloads", profile + "\\AppData\\Roaming",
                         profile + "\\AppData\\Local", "C:\\users\\Public", "C:\\ProgramData", "c:/program files/",
                         "C:\\Program Files (x86)", COMMON_PROGRAMS, harness.to_win(docs_link), "install",
                         "T:install", "\\install"):
                with self.subTest(root=root):
                    r = run(["--remove", "--target", root, "--purge"])
                    self.assert_failed_with(r, 147)
                    errors = [e for e in own(r.events, "remove") if e["event_type"] == "error"]
                    self.assertEqual(len(errors), 1)
                    self.assertTrue(errors[0]["details"].startswith("Refusing to remove folder %s: " % root),
                                    errors[0])
                    self.assertEqual(own(r.events, "shortcut_create"), [])
                    self.assertEqual(own(r.events, "registry:remove_uninstall_info"), [])
                    self.assertEqual([e for e in r.events if e.get("operation") == "file:delete"], [])
            self.assertTrue(registry()["exists"])
            self.assertTrue(os.path.isfile(host(COMMON_DESKTOP + "\\Korvel.lnk")))
            self.assertTrue(os.path.isfile(self.scratch.path("install", "KorvelLauncher.exe")))
            with open(marker, "rb") as f:
                self.assertEqual(f.read(), b"mine")
        finally:
            os.unlink(marker)


if __name__ == "__main__":
    unittest.main()
