"""Input the helper must not take at its word: a file far larger than its
manifest entry says, a manifest naming one file twice, and leftovers of a
copy that was cut off."""
import json
import os
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

from servers import FaultServer, Reply  # noqa: E402
from trustkit import NginxTrustCase, MIB, TrustCase, entry, manifest, messages, publish, sha, statuses, tree  # noqa: E402


class OversizedDownload(TrustCase):
    def setUp(self):
        super().setUp()
        self.fs = FaultServer().start()
        self.cdn = self.fs.url("/cdn")

    def tearDown(self):
        self.fs.stop()
        super().tearDown()

    def test_body_beyond_the_declared_size_is_refused_without_filling_the_disk(self):
        declared = b"the real content\n" * 60  # 1020 bytes
        flood = declared + os.urandom(48 * MIB)
        path = "/cdn/files/%s/app.bin" % sha(declared)[:8]
        self.fs.set("/m.json", body=json.dumps(manifest("1.0.0", [entry("app.bin", declared)])).encode())
        old = {"app.bin": b"installed\n"}
        self.write_target(old)
        # Announced or not, the body goes on far past the entry's size; it
        # comes slowly enough to be watched.
        for announced in (True, False):
            with self.subTest(announced=announced):
                self.fs.set(path, Reply(flood, content_length=len(flood) if announced else None, ranges=False,
                                        chunk_size=MIB, chunk_delay=0.02))
                self.fs.clear_log()
                largest = self.watch_size(os.path.join(self.cache, "app.bin.tmp"))
                run = self.apply(self.fs.url("/m.json"), self.cdn)
                peak = largest()
                self.assertEqual(run.returncode, 161, run.tail())
                self.assertEqual(statuses(run.events), ["starting", "processing_failed"])
                self.assertIn("Download failed after 3 attempts", messages(run.events, "ERROR"))
                self.assertEqual(len(self.fs.requests_for(path)), 3)
                self.assertLessEqual(peak, len(declared) + MIB, "the download grew to %d bytes" % peak)
                self.assertEqual(tree(self.target), old)

    def watch_size(self, host_path):
        """Samples the file's size until the returned function is called;
        that returns the largest size seen."""
        seen = [0]
        stop = threading.Event()

        def sample():
            while not stop.is_set():
                try:
                    seen[0] = max(seen[0], os.path.getsize(host_path))
                except OSError:
                    pass
                time.sleep(0.005)
        t = threading.Thread(target=sample, daemon=True)
        t.start()

        def finish():
            stop.set()
            t.join(5)
            return seen[0]
        return finish


class ManifestInput(NginxTrustCase):
    def test_same_file_named_twice_is_refused(self):
        for first, second in (("bin/app.dll", "bin/app.dll"), ("bin/app.dll", "BIN/App.DLL"),
                              ("bin/app.dll", "bin\\app.dll"), ("Readme.TXT", "readme.txt")):
            with self.subTest(first=first, second=second):
                one, two = b"MZ first\n", b"MZ second, other bytes\n"
                for data in (one, two):
                    self.ng.put("files/%s/%s" % (sha(data)[:8], first.replace("\\", "/")), data)
                    self.ng.put("files/%s/%s" % (sha(data)[:8], second.replace("\\", "/")), data)
                entries = [entry("other.txt", b"fine\n"), entry(first, one), entry(second, two)]
                self.ng.put("files/%s/other.txt" % sha(b"fine\n")[:8], b"fine\n")
                self.ng.put("dup.json", json.dumps(manifest("1.0.0", entries)).encode())

                run = self.apply(self.ng.url("/dup.json"), self.cdn)

                self.assertEqual(run.returncode, 123, run.tail())
                self.assertEqual(statuses(run.events), ["starting", "validation_failed"])
                texts = messages(run.events, "ERROR") + [str(e.get("details", "")) for e in run.events
                                                         if e.get("event_type") == "error"]
                self.assertTrue(any(first in t or second in t or second.replace("\\", "\\\\") in t for t in texts),
                                "no message names the path: %r" % texts)
                self.assertFalse(os.path.exists(self.target))

    def test_stale_temporary_copies_beside_installed_files_are_removed(self):
        files = {"app.dll": b"MZ app\n" * 30, "bin/engine.dll": b"MZ engine\n" * 30}
        url = publish(self.ng, "stale.json", "1.0.0", files)
        # What a run killed during its copies leaves, and look-alikes that
        # are not the helper's own.
        left = {"app.dll.~1a2b3c4d.tmp": b"half a copy", "bin/engine.dll.~00ff00ff.tmp": b"half another"}
        kept = {"notes.txt.~1a2b3c4d.tmp": b"beside a file the manifest does not name",
                "app.dll.~notes.tmp": b"a user's file", "bin/readme.txt": b"the user's own\n"}
        self.write_target(dict(left, **kept))

        run = self.apply(url, self.cdn)

        self.assertEqual(run.returncode, 0, run.tail())
        self.assertEqual(statuses(run.events), ["starting", "completed"])
        self.assertEqual(tree(self.target), dict(files, **kept))


if __name__ == "__main__":
    unittest.main()
