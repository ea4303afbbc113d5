"""--remove on a volume root and on the Windows folder, in a throwaway Wine
prefix made for this test alone, so that a removal that went wrong could
only ever harm that prefix. Both are refused before anything is touched."""
import unittest

import harness
from throwaway_prefix import WINE64, ThrowawayPrefix, snapshot


class RemoveRoots(ThrowawayPrefix):
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
