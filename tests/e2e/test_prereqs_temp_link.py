"""The prerequisite download folder when the helper's temporary folder is a
link made on the host (Wine opens it as its target): nothing is created,
downloaded or removed in the folder it names."""
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

import harness  # noqa: E402
from harness import write  # noqa: E402
import prereqtools as pt  # noqa: E402
from servers import NginxServer  # noqa: E402
from test_prereqs import PrereqTestBase, snapshot  # noqa: E402


class TemporaryFolderIsALink(PrereqTestBase):
    def test_nothing_lands_in_the_folder_the_link_names(self):
        outside = self.scratch.path("outside")
        write(os.path.join(outside, "keep", "data.txt"), b"keep me\n")
        os.symlink(outside, self.scratch.path("temp"))
        # Without and with an entry the folder's clean-up would remove if it
        # reached there.
        for planted in (False, True):
            with self.subTest(planted=planted):
                if planted:
                    write(os.path.join(outside, "KorvelPrereqs"), b"not the helper's\n")
                before = snapshot(outside)
                with NginxServer() as ng:
                    pt.publish(ng)
                    r = harness.run("run_with_temp.exe",
                                    [self.scratch.winpath("temp"), "K:\\KorvelElevated.exe", "--install-prereqs",
                                     "--cdn", ng.url("/")], env={"KORVEL_TEST_INSTALLER_LOG": self.log_win},
                                    timeout=600)
                    self.assertEqual(ng.requests(), [])
                self.assertEqual(snapshot(outside), before)
                self.assertEqual(r.returncode, 146, r.stdout_text)
                self.assertTrue(any(m.startswith("Failed to create download directory: ")
                                    for m in pt.messages(r.events, "ERROR")), r.stdout_text)
                self.assertEqual(pt.install_log(self.log), [])

if __name__ == "__main__":
    unittest.main()
