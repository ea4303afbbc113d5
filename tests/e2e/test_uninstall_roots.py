"""KorvelUninstall aimed at a volume root, the Windows folder and other
folders never to be removed, in a throwaway Wine prefix made for this test
alone: refused with 147 before anything is asked, ended or removed."""
import os
import unittest

import harness
from throwaway_prefix import WINE64, ThrowawayPrefix, snapshot

UNINSTALL_KEY = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Korvel"


class UninstallRoots(ThrowawayPrefix):
    def set_location(self, location):
        self.wine([WINE64, "reg", "add", UNINSTALL_KEY, "/v", "InstallLocation", "/t", "REG_SZ", "/d", location, "/f"],
                  120)

    def key_exists(self):
        code, _ = self.wine([WINE64, "reg", "query", UNINSTALL_KEY], 120, check=False)
        return code == 0

    def uninstall(self, args):
        code, data = self.wine([WINE64, "K:\\KorvelUninstall.exe", "--force", "--purge"] + args, 300, check=False)
        return code, data.decode("utf-8", "replace"), harness.parse_events(data)

    def test_dangerous_folders_are_refused_and_nothing_is_deleted(self):
        # What the later phases would remove if they ran: user data, a
        # session folder, the uninstall entry itself.
        for folder in ("ProgramData/Korvel", "windows/temp/korvel-session-keep"):
            path = os.path.join(self.drive_c, folder)
            os.makedirs(path, exist_ok=True)
            with open(path + "/keep.txt", "w") as f:
                f.write("keep")
        before = snapshot(self.drive_c)
        self.assertIn("windows", [k.lower() for k in before])
        # The option names the folder; the registry's InstallLocation when
        # there is none (the entry is always there, so every run finds an
        # installation whether or not the folder exists).
        cases = [(["--install-path", t], t) for t in (
            "C:\\", "c:\\", "C:\\windows", "C:\\WINDOWS\\", "C:\\windows\\system32", "C:\\users",
            "C:\\users\\Public", "C:\\Program Files", "C:\\ProgramData", "C:\\windows\\Temp",
            "C:", "C:windows", "windows", "\\windows")]
        cases += [([], "C:\\"), ([], "C:\\Windows")]
        for args, folder in cases:
            with self.subTest(args=args, folder=folder):
                self.set_location(folder if not args else "C:\\")
                code, text, events = self.uninstall(args)
                self.assertEqual(code, 147, text)
                refusal = "Refusing to remove the installation folder %s: " % folder
                self.assertIn(refusal, text)
                errors = [e for e in events if e["event_type"] == "error"]
                self.assertEqual([(e["operation"], e["error_code"]) for e in errors],
                                 [("detection", 147), ("uninstaller", 147)], text)
                self.assertIn(refusal, errors[0]["details"])
                records = [e["message"] for e in events if e["event_type"] == "diagnostic"
                           and e["message"].startswith("Event: ")]
                # No prompt, no phase.
                self.assertEqual([r for r in records if r.startswith("Event: confirmation")
                                  or r.startswith("Event: terminate_processes") or r.startswith("Event: remove_")],
                                 [], records)
                self.assertEqual([e for e in events if e.get("operation", "").startswith(("file:", "registry:"))],
                                 [], text)
                self.assertTrue(self.key_exists())
        # The runs add their logs and Wine's own bookkeeping, never remove.
        after = snapshot(self.drive_c)
        self.assertEqual([p for p in before if p not in after], [])


if __name__ == "__main__":
    unittest.main()
