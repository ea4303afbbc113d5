"""Folder removal against Unix symbolic links planted from the host side.

Wine cannot make junctions or Windows links, but a Unix link inside the
prefix shows the reparse-point attribute and opens as its target, so the
final-path containment check is what keeps a removal inside its tree.
"""
import os
import re
import unittest

import harness

REFUSED = 147


class RemoveDirectoryLinks(unittest.TestCase):
    def setUp(self):
        self.scratch = harness.Scratch("fileops-remove")
        self.outside = self.scratch.path("outside")
        os.makedirs(os.path.join(self.outside, "folder"))
        self.secret = os.path.join(self.outside, "secret.txt")
        with open(self.secret, "w") as f:
            f.write("outside file")
        self.kept = os.path.join(self.outside, "folder", "kept.txt")
        with open(self.kept, "w") as f:
            f.write("outside folder content")

    def tearDown(self):
        self.scratch.cleanup()

    def remove(self, host_path, recursive=True):
        args = [harness.to_win(host_path)] + (["--recursive"] if recursive else [])
        return harness.run("fileops_remove.exe", args)

    def assert_outside_intact(self):
        with open(self.secret) as f:
            self.assertEqual(f.read(), "outside file")
        with open(self.kept) as f:
            self.assertEqual(f.read(), "outside folder content")

    def make_tree(self, name):
        root = self.scratch.path(name)
        os.makedirs(os.path.join(root, "sub"))
        for rel in ("a.txt", os.path.join("sub", "b.txt")):
            with open(os.path.join(root, rel), "w") as f:
                f.write(rel)
        return root

    def delete_failures(self, result):
        return [e for e in result.events
                if e.get("operation") == "file:delete" and not e.get("success")]

    def test_link_to_outside_file_is_refused(self):
        root = self.make_tree("tree")
        os.symlink(self.secret, os.path.join(root, "sub", "link.txt"))
        result = self.remove(root)
        self.assertEqual(result.returncode, REFUSED, result.stdout_text)
        self.assert_outside_intact()
        failures = self.delete_failures(result)
        self.assertEqual(len(failures), 1, result.stdout_text)
        self.assertTrue(failures[0]["file_path"].endswith("\\sub\\link.txt"), failures[0])
        self.assertEqual(failures[0]["event_type"], "error")
        self.assertTrue(os.path.islink(os.path.join(root, "sub", "link.txt")))

    def test_link_to_outside_folder_is_refused(self):
        root = self.make_tree("tree")
        os.symlink(os.path.join(self.outside, "folder"), os.path.join(root, "sub", "linkdir"))
        result = self.remove(root)
        self.assertEqual(result.returncode, REFUSED, result.stdout_text)
        self.assert_outside_intact()
        failures = self.delete_failures(result)
        self.assertEqual(len(failures), 1, result.stdout_text)
        self.assertTrue(failures[0]["file_path"].endswith("\\sub\\linkdir"), failures[0])
        # The walk never went through the link.
        for e in result.events:
            if e.get("operation") == "file:delete":
                self.assertNotIn("kept.txt", e["file_path"])
        self.assertTrue(os.path.islink(os.path.join(root, "sub", "linkdir")))

    def test_root_that_is_a_link_is_refused(self):
        link = self.scratch.path("rootlink")
        os.symlink(os.path.join(self.outside, "folder"), link)
        for recursive in (False, True):
            result = self.remove(link, recursive)
            self.assertEqual(result.returncode, REFUSED, result.stdout_text)
            self.assertEqual(len(self.delete_failures(result)), 1, result.stdout_text)
        self.assert_outside_intact()

    def test_link_in_a_parent_folder_is_refused(self):
        os.makedirs(os.path.join(self.outside, "folder", "inner"))
        os.symlink(os.path.join(self.outside, "folder"), self.scratch.path("parentlink"))
        result = self.remove(self.scratch.path("parentlink", "inner"))
        self.assertEqual(result.returncode, REFUSED, result.stdout_text)
        self.assertTrue(os.path.isdir(os.path.join(self.outside, "folder", "inner")))
        self.assert_outside_intact()

    def test_tree_without_links_goes_entirely(self):
        root = self.make_tree("tree")
        result = self.remove(root)
        self.assertEqual(result.returncode, 0, result.stdout_text)
        self.assertFalse(os.path.exists(root))
        self.assertRegex(result.stdout_text, re.compile(r"removed files=2 folders=2"))
        self.assert_outside_intact()


if __name__ == "__main__":
    unittest.main()
