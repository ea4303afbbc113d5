"""Applies of a few times more files than the helper may hold open: 3,000
files applied, then backed up whole and rolled back, by a helper whose open
files are limited well below the number of files (the 10,000 files a
manifest allows are the benchmark's, scripts/bench-apply.sh), and a failed
open reported as what it is."""
import json
import os
import resource
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

import harness  # noqa: E402
from throwaway_prefix import WINE64, ThrowawayPrefix  # noqa: E402
from trustkit import NginxTrustCase, entry, manifest, messages, publish, sha, statuses  # noqa: E402

FILES = 3000
# Wine raises the soft limit to the hard one, so the hard one is lowered.
OPEN_FILE_LIMIT = 1024


def _lowered_limit():
    resource.setrlimit(resource.RLIMIT_NOFILE, (OPEN_FILE_LIMIT, OPEN_FILE_LIMIT))


class ThousandsOfFilesUnderALowOpenFileLimit(ThrowawayPrefix):
    """A prefix of its own whose wineserver and programs all start with the
    lowered limit."""
    SCRATCH_NAME = "apply-scale"

    @classmethod
    def wine(cls, argv, timeout, check=True):
        import subprocess
        import tempfile
        with tempfile.TemporaryFile() as out:
            proc = subprocess.run(["timeout", "--kill-after=10", str(timeout)] + argv, env=cls.env,
                                  stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                  preexec_fn=_lowered_limit)
            out.seek(0)
            data = out.read()
        if check:
            assert proc.returncode == 0, (argv, proc.returncode, data[-2000:])
        return proc.returncode, data

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        from servers import NginxServer
        cls.ng = NginxServer().start()
        cls.files = {"d%02d/f%05d.txt" % (i % 100, i): b"tiny file %d\n" % i for i in range(FILES)}
        cls.url = publish(cls.ng, "scale.json", "1.0.0", cls.files)
        # The same files with a wrong digest near the end of the list.
        entries = [entry(rel, data) for rel, data in cls.files.items()]
        wrong = dict(entries[-3])
        wrong["sha256"] = wrong["sha256"][:-1] + ("0" if wrong["sha256"][-1] != "0" else "1")
        entries[-3] = wrong
        with open(os.path.join(cls.ng.root, "scale-wrong.json"), "w") as f:
            json.dump(manifest("1.0.1", entries), f)
        cls.wrong_url = cls.ng.url("/scale-wrong.json")
        cls.target = os.path.join(cls.drive_c, "app")

    @classmethod
    def tearDownClass(cls):
        cls.ng.stop()
        super().tearDownClass()

    def apply(self, url):
        rc, data = self.wine([WINE64, "K:\\KorvelElevated.exe", "--apply-manifest", url, "--target", "C:\\app",
                              "--cdn", self.ng.url("/")], 3000, check=False)
        return rc, harness.parse_events(data), data

    def assert_installed(self):
        for rel, data in self.files.items():
            with open(os.path.join(self.target, *rel.split("/")), "rb") as f:
                self.assertEqual(f.read(), data, rel)
        found = sum(len(names) for _, _, names in os.walk(self.target))
        self.assertEqual(found, FILES)

    def test_apply_and_rollback(self):
        rc, events, data = self.apply(self.url)
        self.assertEqual(rc, 0, data[-3000:])
        self.assertEqual(statuses(events), ["starting", "completed"])
        self.assert_installed()

        # All of them are backed up, the download of the wrong one fails,
        # and all of them are put back.
        rc, events, data = self.apply(self.wrong_url)
        self.assertEqual(rc, 161, data[-3000:])
        self.assertEqual(statuses(events), ["starting", "processing_failed"])
        self.assertIn("Backup restored successfully", messages(events, "INFO"))
        self.assert_installed()


class FailedOpenIsReportedAsWhatItIs(NginxTrustCase):
    def test_file_in_the_place_of_a_store_folder_is_named_and_not_called_a_link(self):
        files = {"app.dll": b"MZ app\n" * 64, "data.txt": b"data\n"}
        url = publish(self.ng, "in-the-way.json", "1.0.0", files)
        # A plain file where the store folder of app.dll goes: opening it as
        # a folder fails, and it is no link.
        folder = os.path.join(self.cache, sha(files["app.dll"])[:8])
        os.makedirs(self.cache)
        with open(folder, "wb") as f:
            f.write(b"not a folder\n")

        run = self.apply(url, self.cdn)
        self.assertEqual(run.returncode, 141, run.tail())
        self.assertEqual(statuses(run.events), ["starting", "processing_failed"])
        lines = messages(run.events)
        named = [m for m in messages(run.events, "ERROR")
                 if "CreateFile" in m and sha(files["app.dll"])[:8] in m]
        self.assertTrue(named, run.tail())
        self.assertFalse([m for m in lines if "link" in m.lower()], run.tail())
        self.assertFalse(os.path.exists(self.target) and os.listdir(self.target), run.tail())


if __name__ == "__main__":
    unittest.main()
