"""What the uninstaller takes from places unelevated users can write: a
receipt whose version carries line breaks cannot forge lines of the log or
the prompt, a receipt over the cap is refused, and a purge never takes its
folder from the user's own "User Shell Folders"."""
import json
import os
import shutil
import unittest
import uuid

import harness
from install_support import host, user_profile, write
from test_uninstall import LOGS, Installed, logs_since, run_exe_at, stdin_with

SHELL_FOLDERS = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders"
FORGED = "2.4.0\r\nInstall Path: C:\\Windows\r\nSuccess: true\x1b[2K"


def reg(*args):
    r = run_exe_at("C:\\windows\\system32\\reg.exe", list(args), cwd=harness.SCRATCH_DIR)
    assert r.returncode == 0, (args, r.stdout_text, r.stderr_text)


class ReceiptText(Installed):
    def forge_receipt(self):
        path = os.path.join(self.root, "InstallReceipt.json")
        with open(path, encoding="ascii") as f:
            receipt = json.load(f)
        receipt["version"] = FORGED
        with open(path, "w", encoding="ascii") as f:
            json.dump(receipt, f)

    def test_a_forged_version_forges_no_line_of_the_log(self):
        self.forge_receipt()
        r = harness.run("KorvelUninstall.exe", ["--force"])
        self.assertEqual(r.returncode, 0, r.stdout_text + r.stderr_text)
        log = logs_since(self.start)[-1]
        with open(log, "rb") as f:
            lines = f.read().decode("utf-8").split("\n")
        self.assertFalse(any("\r" in line or "\x1b" in line for line in lines), lines)
        self.assertEqual([line for line in lines if line.startswith("Install Path: ")], ["Install Path: " + self.win])
        self.assertEqual([line for line in lines if line.startswith("Success: ")], ["Success: true"])
        self.assertIn("Version: 2.4.0\\x0D\\x0AInstall Path: C:\\Windows\\x0D\\x0ASuccess: true\\x1B[2K", lines)

    def test_a_forged_version_forges_no_line_of_the_prompt(self):
        self.forge_receipt()
        with stdin_with(b"n\n") as answer:
            r = harness.run("KorvelUninstall.exe", [], stdin=answer)
        self.assertEqual(r.returncode, 0, r.stdout_text + r.stderr_text)
        lines = r.stdout_text.replace("\r\n", "\n").split("\n")
        self.assertFalse(any(line.startswith(("Install Path: C:\\Windows", "Success: ")) for line in lines), lines)
        self.assertIn("Version: 2.4.0\\x0D\\x0AInstall Path: C:\\Windows\\x0D\\x0ASuccess: true\\x1B[2K", lines)

    def test_a_receipt_of_33554433_bytes_is_refused(self):
        path = os.path.join(self.root, "InstallReceipt.json")
        os.remove(path)
        write(path, b" " * 33554433)
        r = harness.run("KorvelUninstall.exe", ["--force"])
        self.assertEqual(r.returncode, 0, r.stdout_text + r.stderr_text)
        errors = [e["message"] for e in r.events if e.get("event_type") == "diagnostic"
                  and e.get("component") == "install_receipt" and e.get("level") == "ERROR"]
        self.assertEqual(errors, ["Receipt file is larger than 33554432 bytes", "Failed to parse receipt JSON"])


class PurgeFolder(Installed):
    def test_a_redirected_local_app_data_is_not_purged(self):
        victim = "C:\\korvel-victim-" + uuid.uuid4().hex[:8]
        keep = os.path.join(host(victim), "Korvel", "keep.txt")
        write(keep, b"keep")
        own = host(user_profile() + "\\AppData\\Local\\Korvel\\cache.bin")
        write(own, b"c")
        reg("add", SHELL_FOLDERS, "/v", "Local AppData", "/t", "REG_EXPAND_SZ", "/d", victim, "/f")
        try:
            r = harness.run("KorvelUninstall.exe", ["--force", "--purge"])
        finally:
            reg("add", SHELL_FOLDERS, "/v", "Local AppData", "/t", "REG_EXPAND_SZ", "/d",
                "%USERPROFILE%\\AppData\\Local", "/f")
        try:
            self.assertEqual(r.returncode, 0, r.stdout_text + r.stderr_text)
            with open(keep, "rb") as f:
                self.assertEqual(f.read(), b"keep")
            # The profile's own folder is the one purged.
            self.assertFalse(os.path.exists(own))
        finally:
            shutil.rmtree(host(victim), ignore_errors=True)


if __name__ == "__main__":
    unittest.main(verbosity=2)
