"""Pinned-directory removal against links planted from the host side.

Under Wine a Unix symbolic link inside the tree opens as its target even when
asked not to follow reparse points, so the check that each entry's own handle
resolves inside the pinned folder is what keeps a removal from reaching
outside. These tests plant such links and remove the tree through the
pinned_remove tool.
"""
import os
import unittest

import harness
from harness import read, write


def outcomes(result):
    """(kind, relative, code) per output line of pinned_remove."""
    out = []
    for line in result.stdout_text.splitlines():
        parts = line.rstrip("\r").split("\t")
        if parts and parts[0]:
            out.append(tuple(parts))
    return out


class PinnedSymlinkTest(unittest.TestCase):
    def setUp(self):
        self.scratch = harness.Scratch("pinned-symlink")
        s = self.scratch
        self.tree = s.path("tree")
        self.outside = s.path("outside")
        write(s.path("outside", "secret.txt"), b"outside file\n")
        write(s.path("outside", "secretdir", "inner.txt"), b"outside folder\n")
        write(os.path.join(self.tree, "a.txt"), b"a")
        write(os.path.join(self.tree, "sub", "b.txt"), b"b")
        write(os.path.join(self.tree, "sub", "deeper", "c.txt"), b"c")
        os.makedirs(os.path.join(self.tree, "empty"))

    def tearDown(self):
        self.scratch.cleanup()

    def plant_links(self):
        os.symlink(os.path.join("..", "outside", "secret.txt"), os.path.join(self.tree, "link_file"))
        os.symlink(os.path.join("..", "outside", "secretdir"), os.path.join(self.tree, "link_dir"))
        os.symlink(os.path.join(self.outside, "secretdir"), os.path.join(self.tree, "sub", "abs_link_dir"))
        os.symlink(os.path.join(self.outside, "secretdir", "inner.txt"),
                   os.path.join(self.tree, "sub", "deeper", "abs_link_file"))

    def assert_outside_intact(self):
        self.assertEqual(read(os.path.join(self.outside, "secret.txt")), b"outside file\n")
        self.assertEqual(read(os.path.join(self.outside, "secretdir", "inner.txt")), b"outside folder\n")
        self.assertEqual(sorted(os.listdir(self.outside)), ["secret.txt", "secretdir"])
        self.assertEqual(os.listdir(os.path.join(self.outside, "secretdir")), ["inner.txt"])

    def run_tool(self, *args):
        return harness.run("pinned_remove.exe", list(args), timeout=120)

    def test_links_are_refused_and_their_targets_survive(self):
        self.plant_links()
        result = self.run_tool(harness.to_win(self.tree), "--keep-going")
        lines = outcomes(result)
        self.assertEqual(result.returncode, 1, result.stdout_text + result.stderr_text)
        violations = {l[1] for l in lines if l[0] == "violation"}
        deleted = {l[1] for l in lines if l[0] == "deleted"}
        self.assertEqual(violations, {"link_file", "link_dir", "sub\\abs_link_dir", "sub\\deeper\\abs_link_file"},
                         result.stdout_text)
        for kind, rel, *rest in lines:
            if kind == "violation":
                self.assertEqual(rest, ["5"], (kind, rel, rest))
        self.assertTrue({"a.txt", "sub\\b.txt", "sub\\deeper\\c.txt", "empty"} <= deleted, result.stdout_text)
        self.assertFalse(violations & deleted)
        self.assert_outside_intact()
        # The links themselves are left in place; nothing behind them was touched.
        self.assertTrue(os.path.islink(os.path.join(self.tree, "link_file")))
        self.assertTrue(os.path.islink(os.path.join(self.tree, "link_dir")))
        self.assertFalse(os.path.exists(os.path.join(self.tree, "a.txt")))

    def test_removal_stops_at_the_first_violation(self):
        os.symlink(os.path.join("..", "outside", "secret.txt"), os.path.join(self.tree, "link_file"))
        result = self.run_tool(harness.to_win(self.tree), "--root")
        lines = outcomes(result)
        self.assertEqual(result.returncode, 1, result.stdout_text + result.stderr_text)
        self.assertEqual([l for l in lines if l[0] == "violation"], [("violation", "link_file", "5")])
        self.assertEqual(lines[-1][0], "violation", result.stdout_text)
        self.assertFalse(any(l[0] == "root-deleted" for l in lines))
        self.assertTrue(os.path.isdir(self.tree))
        self.assert_outside_intact()

    def test_tree_reached_through_a_link_is_not_pinned(self):
        alias = self.scratch.path("alias")
        os.symlink("tree", alias)
        result = self.run_tool(harness.to_win(alias), "--root")
        self.assertEqual(result.returncode, 3, result.stdout_text + result.stderr_text)
        self.assertEqual(outcomes(result), [("pin-failed", "5")])
        parent_alias = self.scratch.path("parent_alias")
        os.symlink(self.scratch.host, parent_alias)
        result = self.run_tool(harness.to_win(parent_alias) + "\\tree", "--root")
        self.assertEqual(result.returncode, 3, result.stdout_text + result.stderr_text)
        self.assertEqual(outcomes(result), [("pin-failed", "5")])
        self.assertTrue(os.path.exists(os.path.join(self.tree, "sub", "deeper", "c.txt")))

    def test_volume_root_is_refused(self):
        result = self.run_tool("T:\\", "--root")
        self.assertEqual(result.returncode, 3, result.stdout_text + result.stderr_text)
        self.assertEqual(outcomes(result), [("pin-failed", "16")])
        self.assertTrue(os.path.exists(os.path.join(self.tree, "a.txt")))

    def test_clean_tree_is_removed_whole(self):
        result = self.run_tool(harness.to_win(self.tree), "--root")
        self.assertEqual(result.returncode, 0, result.stdout_text + result.stderr_text)
        lines = outcomes(result)
        self.assertEqual(lines[-1], ("root-deleted",))
        folders = [l[1] for l in lines if l[0] == "deleted" and l[1] in ("sub", "sub\\deeper", "empty")]
        self.assertLess(folders.index("sub\\deeper"), folders.index("sub"))
        self.assertFalse(os.path.exists(self.tree))
        self.assert_outside_intact()


if __name__ == "__main__":
    unittest.main()
