"""--remove on a volume root and on the Windows folder, in a throwaway Wine
prefix made for this test alone, so that a removal that went wrong could
only ever harm that prefix. Both are refused before anything is touched."""
import os
import shutil
import subprocess
import tempfile
import unittest

import harness

WINE64 = os.environ.get("KORVEL_WINE64", "/usr/lib/wine/wine64")
WINESERVER = os.environ.get("KORVEL_WINESERVER", "/usr/lib/wine/wineserver")


def snapshot(root):
    """Every path below root (links not followed), with file sizes."""
    out = {}
    for base, dirs, files in os.walk(root):
        for name in dirs + files:
            p = os.path.join(base, name)
            out[os.path.relpath(p, root)] = None if os.path.isdir(p) and not os.path.islink(p) else os.path.getsize(p) \
                if os.path.isfile(p) else "link"
    return out


class ThrowawayPrefix(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = harness.Scratch("throwaway-prefix")
        cls.prefix = cls.scratch.path("prefix")
        cls.env = dict(os.environ)
        cls.env.update({"WINEPREFIX": cls.prefix, "HOME": cls.scratch.path("home"), "WINEDEBUG": "-all",
                        "WINEARCH": "win64", "WINEDLLOVERRIDES": "winemenubuilder.exe=d;mscoree=d;mshtml=d"})
        os.makedirs(cls.env["HOME"])
        cls.wine([WINE64, "wineboot", "--init"], 600)
        dd = os.path.join(cls.prefix, "dosdevices")
        for letter in ("z:", "y:", "x:"):
            if os.path.lexists(os.path.join(dd, letter)):
                os.unlink(os.path.join(dd, letter))
        os.symlink(harness.BIN_DIR, os.path.join(dd, "k:"))
        cls.drive_c = os.path.join(cls.prefix, "drive_c")

    @classmethod
    def tearDownClass(cls):
        # Only the server of this prefix (WINEPREFIX) is asked to stop.
        cls.wine([WINESERVER, "-k"], 60, check=False)
        subprocess.run(["timeout", "60", WINESERVER, "-w"], env=cls.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(cls.scratch.host, ignore_errors=True)

    @classmethod
    def wine(cls, argv, timeout, check=True):
        with tempfile.TemporaryFile() as out:
            proc = subprocess.run(["timeout", "--kill-after=10", str(timeout)] + argv, env=cls.env,
                                  stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
            out.seek(0)
            data = out.read()
        if check:
            assert proc.returncode == 0, (argv, proc.returncode, data[-2000:])
        return proc.returncode, data

    def remove(self, target):
        code, data = self.wine([WINE64, "K:\\KorvelElevated.exe", "--remove", "--target", target, "--purge"], 300,
                               check=False)
        return code, harness.parse_events(data)

    def test_volume_root_and_windows_folder_are_refused_and_nothing_is_deleted(self):
        before = snapshot(self.drive_c)
        self.assertIn("windows", [k.lower() for k in before])
        for target in ("C:\\", "c:", "C:\\windows", "C:\\WINDOWS\\", "C:\\windows\\system32", "C:\\users",
                       "C:\\Program Files", "C:\\ProgramData"):
            with self.subTest(target=target):
                code, events = self.remove(target)
                self.assertEqual(code, 147, events)
                errors = [e for e in events if e.get("operation") == "remove" and e["event_type"] == "error"]
                self.assertEqual(len(errors), 1, events)
                self.assertEqual(errors[0]["error_code"], 147)
                self.assertTrue(errors[0]["details"].startswith("Refusing to remove folder %s: " % target))
                self.assertEqual([e for e in events if e.get("operation") in ("file:delete", "shortcut_create",
                                                                              "registry:remove_uninstall_info")], [])
                self.assertEqual(events[-2]["error_code"], 147)
        # The runs themselves may add Wine's own bookkeeping, never remove.
        after = snapshot(self.drive_c)
        self.assertEqual([p for p in before if p not in after], [])


if __name__ == "__main__":
    unittest.main()
