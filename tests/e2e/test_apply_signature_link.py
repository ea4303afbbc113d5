"""The signature check of a legacy manifest writes "manifest_data.tmp" and
"manifest_sig.tmp" in the cache, a folder any program of the user can write.
A link planted there by such a program (made on the host: Wine opens a Unix
link as its target) must never be written through: the file it points to
stays byte for byte, a missing one is not created, and the run either goes
on (the link removed as itself) or refuses with the signature failure."""
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

from trustkit import NginxTrustCase, publish, statuses, tree  # noqa: E402

FILES = {"KorvelClient.exe": b"MZ client\n" * 50, "data/world.pak": b"world\n" * 300}
OUTSIDE = b"the user's own file, not the helper's to write\n" * 20


class SignatureFilesAreLinks(NginxTrustCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.url = publish(cls.ng, "signed.json", "1.0.0", FILES)

    def test_planted_links_are_not_written_through(self):
        # (link name, whether the file it points to exists)
        cases = [
            ("manifest_data.tmp", True),
            ("manifest_sig.tmp", True),
            ("manifest_data.tmp", False),
            ("manifest_sig.tmp", False),
        ]
        for number, (name, exists) in enumerate(cases):
            with self.subTest(link=name, target_exists=exists):
                self.check(number, name, exists)

    def check(self, number, name, exists):
        victim = os.path.join(self.outside, "victim%d.bin" % number)
        folder = "app%d" % number
        if exists:
            with open(victim, "wb") as f:
                f.write(OUTSIDE)
        os.makedirs(self.cache, exist_ok=True)
        link = os.path.join(self.cache, name)
        os.symlink(victim, link)
        try:
            run = self.apply(self.url, self.cdn, target_win=self.scratch.winpath(folder))
            if exists:
                with open(victim, "rb") as f:
                    self.assertEqual(f.read(), OUTSIDE, run.tail())
            else:
                self.assertFalse(os.path.lexists(victim), run.tail())
            if run.returncode == 0:
                self.assertEqual(statuses(run.events), ["starting", "completed"])
                self.assertEqual(tree(self.scratch.path(folder)), FILES)
            else:
                self.assertEqual(run.returncode, 122, run.tail())
                self.assertEqual(statuses(run.events), ["starting", "validation_failed"])
                codes = [e.get("error_code") for e in run.events if e.get("event_type") == "error"]
                self.assertIn(122, codes)
                self.assertEqual(tree(self.scratch.path(folder)), {})
        finally:
            if os.path.lexists(link):
                os.unlink(link)


if __name__ == "__main__":
    unittest.main()
