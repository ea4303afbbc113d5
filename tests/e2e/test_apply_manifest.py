"""KorvelElevated --apply-manifest end to end, under Wine, against nginx and
the fault server: fresh install, the cache, updates, broken downloads,
rollback and manifests that try to leave the target."""
import datetime
import hashlib
import json
import os
import re
import shutil
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

import harness  # noqa: E402
from servers import FaultServer, NginxServer, Reply  # noqa: E402

MIB = 1024 * 1024


def sha(data):
    return hashlib.sha256(data).hexdigest()


# The helper runs with a temporary folder of this test's own, so the cache
# it empties between its cases is no other test's.
TEMP = None
CACHE = None


def setUpModule():
    global TEMP, CACHE
    TEMP = harness.Scratch("apply-manifest-temp")
    CACHE = TEMP.path("KorvelCache")


def tearDownModule():
    clear_cache()
    TEMP.cleanup()


def clear_cache():
    if os.path.isdir(CACHE):
        for root, dirs, files in os.walk(CACHE):
            for name in dirs + files:
                try:
                    os.chmod(os.path.join(root, name), 0o755)
                except OSError:
                    pass
        shutil.rmtree(CACHE)


def entry(rel, data, **extra):
    e = {"path": rel, "sha256": sha(data), "size": len(data)}
    e.update(extra)
    return e


def manifest(version, entries):
    """A legacy manifest signed with the test key."""
    return harness.signed({"version": version, "gameVersion": version, "component": "client", "files": entries})


def publish(ng, name, version, files, extra=None):
    """Puts the files below files/<h8>/ and a manifest at /<name>; returns
    the manifest's URL."""
    entries = []
    for rel, data in files.items():
        ng.put("files/%s/%s" % (sha(data)[:8], rel), data)
        entries.append(entry(rel, data, **((extra or {}).get(rel, {}))))
    ng.put(name, json.dumps(manifest(version, entries)).encode())
    return ng.url("/" + name)


def tree(root):
    """{relative path with '/': bytes} of every file below root."""
    out = {}
    for base, _dirs, files in os.walk(root):
        for name in files:
            p = os.path.join(base, name)
            with open(p, "rb") as f:
                out[os.path.relpath(p, root).replace(os.sep, "/")] = f.read()
    return out


def statuses(events):
    return [e["status"] for e in events if e.get("operation") == "manifest_processing"]


def messages(events, level=None):
    return [e.get("message", "") for e in events
            if e.get("event_type") == "diagnostic" and (level is None or e.get("level") == level)]


def set_old_mtime(root, days=3):
    past = time.time() - days * 86400
    for base, _dirs, files in os.walk(root):
        for name in files:
            os.utime(os.path.join(base, name), (past, past))


V1 = {
    "KorvelClient.exe": b"MZ client 1.0\n" * 300,
    "bin/engine.dll": b"MZ engine 1.0\n" * 900,
    "data/world.pak": os.urandom(10 * MIB + 4097),  # copied in chunks
    "data/empty.dat": b"",
    "docs/read me #1.txt": b"spaces and a hash sign in the name\n",
    "docs/caf\u00e9 \u00fcber.txt": "non-ASCII name\n".encode(),
}
V2 = dict(V1)
V2["bin/engine.dll"] = b"MZ engine 1.1 with fixes\n" * 900
V2["data/extra/new-map.pak"] = b"new in 1.1\n" * 2000


class ApplyTestBase(unittest.TestCase):
    def setUp(self):
        clear_cache()
        self.scratch = harness.Scratch("apply")
        self.target = self.scratch.path("app")
        self.target_win = self.scratch.winpath("app")

    def tearDown(self):
        self.scratch.cleanup()
        clear_cache()

    def apply(self, url, cdn, *extra, target=None):
        return harness.run_elevated(["--apply-manifest", url, "--target", target or self.target_win, "--cdn", cdn,
                                     "--verbose"] + list(extra), temp=TEMP.win)

    def assertApplied(self, result):
        self.assertEqual(result.returncode, 0, result.stdout_text[-4000:] + result.stderr_text)
        self.assertEqual(statuses(result.events), ["starting", "completed"])

    def backups(self):
        root = os.path.join(CACHE, "backups")
        return sorted(os.listdir(root)) if os.path.isdir(root) else []


class ApplyFromNginx(ApplyTestBase):
    @classmethod
    def setUpClass(cls):
        cls.ng = NginxServer().start()
        cls.url_v1 = publish(cls.ng, "v1.json", "1.0.0", V1)
        cls.url_v2 = publish(cls.ng, "v2.json", "1.1.0", V2)
        cls.cdn = cls.ng.url("/")

    @classmethod
    def tearDownClass(cls):
        cls.ng.stop()

    def file_requests(self, since):
        return [r for r in self.ng.requests()[since:] if r["uri"].startswith("/files/")]

    def test_fresh_install(self):
        result = self.apply(self.url_v1, self.cdn)
        self.assertApplied(result)
        self.assertEqual(tree(self.target), V1)
        events = result.events
        done = [e for e in events if e.get("operation") == "manifest_processing"][-1]
        self.assertEqual(done["files_processed"], len(V1))
        self.assertEqual(done["manifest_url"], self.url_v1)
        copies = [e["details"] for e in events if e.get("operation") == "file:copy" and e.get("status") == "completed"]
        self.assertEqual(copies, list(V1))
        finals = {e["operation"][len("download:"):]: e["progress"] for e in events
                  if e.get("event_type") == "progress" and e.get("operation", "").startswith("download:")}
        self.assertEqual(finals, {rel: (0 if not data else 100) for rel, data in V1.items()})
        # Content-addressed store, and no backup left after success.
        for data in V1.values():
            self.assertTrue(os.path.isfile(os.path.join(CACHE, sha(data)[:8], sha(data))))
        self.assertEqual(self.backups(), [])
        self.assertFalse(os.path.exists(os.path.join(CACHE, "manifest.json.tmp")))

    def test_second_run_is_served_from_the_cache(self):
        self.assertApplied(self.apply(self.url_v1, self.cdn))
        before = len(self.ng.requests())
        result = self.apply(self.url_v1, self.cdn)
        self.assertApplied(result)
        self.assertEqual([r["uri"] for r in self.ng.requests()[before:]], ["/v1.json"])
        for rel in V1:
            self.assertIn("Using cached file: " + rel, messages(result.events, "DEBUG"))
        self.assertEqual(tree(self.target), V1)

    def test_changed_and_added_files_are_the_only_downloads(self):
        self.assertApplied(self.apply(self.url_v1, self.cdn))
        before = len(self.ng.requests())
        result = self.apply(self.url_v2, self.cdn)
        self.assertApplied(result)
        fetched = sorted(r["uri"] for r in self.file_requests(before))
        self.assertEqual(fetched, sorted([
            "/files/%s/bin/engine.dll" % sha(V2["bin/engine.dll"])[:8],
            "/files/%s/data/extra/new-map.pak" % sha(V2["data/extra/new-map.pak"])[:8]]))
        self.assertEqual(tree(self.target), V2)
        self.assertEqual(self.backups(), [])

    def test_failure_after_files_were_replaced_rolls_back(self):
        old = {"a.txt": b"old a\n" * 100, "b/b.txt": b"old b\n" * 100, "big.bin": os.urandom(11 * MIB)}
        for rel, data in old.items():
            p = os.path.join(self.target, *rel.split("/"))
            os.makedirs(os.path.dirname(p), exist_ok=True)
            with open(p, "wb") as f:
                f.write(data)
        # A folder where the last file goes makes its installation fail after
        # the others were replaced.
        os.makedirs(os.path.join(self.target, "c.txt", "in the way"))
        # Old time stamps: an age-based sweep of the cache would empty the
        # kept backup at once.
        set_old_mtime(self.target)
        new = {"a.txt": b"new a\n", "b/b.txt": b"new b\n", "big.bin": os.urandom(11 * MIB), "added.txt": b"added\n",
               "c.txt": b"cannot land\n"}
        url = publish(self.ng, "rollback.json", "2.0.0", new)

        result = self.apply(url, self.cdn)
        # The copy onto the folder is refused; the run returns that code.
        self.assertEqual(result.returncode, 140, result.stdout_text[-3000:])
        self.assertIn("Failed to install file: c.txt", messages(result.events, "ERROR"))
        self.assertEqual(statuses(result.events), ["starting", "processing_failed"])
        failed = [e for e in result.events if e.get("status") == "processing_failed"][0]
        self.assertEqual(failed["files_processed"], len(new))
        info = messages(result.events, "INFO")
        self.assertIn("Attempting rollback...", info)
        self.assertIn("Backup restored successfully", info)

        # Exactly the old tree: what the run added is gone again.
        self.assertEqual(tree(self.target), old)
        names = sorted(os.path.relpath(os.path.join(base, n), self.target).replace(os.sep, "/")
                       for base, dirs, files in os.walk(self.target) for n in dirs + files)
        self.assertEqual(names, sorted(list(old) + ["b", "c.txt", "c.txt/in the way"]))

        # The backup is kept, whole.
        kept = self.backups()
        self.assertEqual(len(kept), 1)
        backup = os.path.join(CACHE, "backups", kept[0])
        saved = tree(backup)
        self.assertIn("backup_manifest.json", saved)
        for rel, data in old.items():
            self.assertEqual(saved[rel], data, rel)
        listed = json.loads(saved["backup_manifest.json"])
        self.assertEqual([f["relativePath"] for f in listed["files"]], list(new))

    def test_path_leaving_the_target_is_refused_before_anything_is_written(self):
        for bad in ("../escape.txt", "sub/../../escape.txt", "..\\escape.txt", "C:/escape.txt"):
            with self.subTest(path=bad):
                files = {"ok.txt": b"fine\n"}
                entries = [entry("ok.txt", files["ok.txt"]), entry(bad, b"escaped\n")]
                self.ng.put("bad.json", json.dumps(manifest("1.0.0", entries)).encode())
                before = len(self.ng.requests())
                result = self.apply(self.ng.url("/bad.json"), self.cdn)
                self.assertEqual(result.returncode, 123, result.stdout_text[-3000:])
                self.assertEqual(statuses(result.events), ["starting", "validation_failed"])
                self.assertFalse(os.path.exists(self.target))
                self.assertFalse(os.path.exists(self.scratch.path("escape.txt")))
                self.assertEqual(self.file_requests(before), [])
                self.assertEqual(self.backups(), [])

    def test_link_inside_the_target_is_not_followed(self):
        outside = self.scratch.path("outside")
        os.makedirs(outside)
        os.makedirs(self.target)
        with open(os.path.join(self.target, "keep.txt"), "wb") as f:
            f.write(b"untouched\n")
        os.symlink(outside, os.path.join(self.target, "plugins"))
        url = publish(self.ng, "link.json", "1.0.0", {"keep.txt": b"replaced\n", "plugins/evil.dll": b"MZ evil\n"})
        before = len(self.ng.requests())
        result = self.apply(url, self.cdn)
        self.assertEqual(result.returncode, 125, result.stdout_text[-3000:])
        self.assertEqual(statuses(result.events), ["starting", "processing_failed"])
        self.assertIn("Refusing to back up through a link: plugins/evil.dll", messages(result.events, "ERROR"))
        self.assertEqual(os.listdir(outside), [])
        with open(os.path.join(self.target, "keep.txt"), "rb") as f:
            self.assertEqual(f.read(), b"untouched\n")
        self.assertEqual(self.file_requests(before), [])

    def test_read_only_file_from_an_earlier_install_is_updated(self):
        files = {"ro.txt": b"version one\n"}
        url = publish(self.ng, "ro1.json", "1.0.0", files, {"ro.txt": {"permissions": "444"}})
        self.assertApplied(self.apply(url, self.cdn))
        # Wine keeps the read-only attribute as the file's missing write bit.
        installed = os.path.join(self.target, "ro.txt")
        self.assertFalse(os.stat(installed).st_mode & 0o222, "444 left the file writable")
        url = publish(self.ng, "ro2.json", "1.0.1", {"ro.txt": b"version two\n"})
        self.assertApplied(self.apply(url, self.cdn))
        self.assertEqual(tree(self.target), {"ro.txt": b"version two\n"})
        # No permissions key is "644": the update ends writable.
        self.assertTrue(os.stat(installed).st_mode & 0o200, "the update left the file read-only")

    def test_prepared_session_form_needs_its_descriptor(self):
        # The session form itself is tested in test_apply_session.py.
        os.makedirs(self.scratch.path("session"))
        result = self.apply(self.url_v1, self.cdn, "--session-root", self.scratch.winpath("session"),
                            "--files-manifest", self.scratch.winpath("missing.json"))
        self.assertEqual(result.returncode, 141, result)
        self.assertIn("Error: Files manifest path does not exist: " + self.scratch.winpath("missing.json"),
                      result.stderr_text)
        self.assertFalse(os.path.exists(self.target))


class ApplyFromFaultServer(ApplyTestBase):
    def setUp(self):
        super().setUp()
        self.fs = FaultServer().start()
        self.cdn = self.fs.url("/cdn")  # no trailing slash

    def tearDown(self):
        self.fs.stop()
        super().tearDown()

    def serve(self, files, replies=None):
        entries = []
        for rel, data in files.items():
            path = "/cdn/files/%s/%s" % (sha(data)[:8], rel)
            self.fs.set(path, (replies or {}).get(rel) or Reply(data))
            entries.append(entry(rel, data))
        self.fs.set("/manifest.json", body=json.dumps(manifest("1.0.0", entries)).encode())
        return self.fs.url("/manifest.json")

    def path_of(self, rel, data):
        return "/cdn/files/%s/%s" % (sha(data)[:8], rel)

    def test_hash_mismatch_gives_three_attempts_then_161_and_leaves_the_target(self):
        old = {"a.bin": b"installed a\n", "b.bin": b"installed b\n"}
        os.makedirs(self.target)
        for rel, data in old.items():
            with open(os.path.join(self.target, rel), "wb") as f:
                f.write(data)
        new = {"a.bin": b"fresh a\n" * 100, "b.bin": b"fresh b\n" * 100}
        wrong = bytearray(new["b.bin"])
        wrong[10] ^= 0xFF
        url = self.serve(new, {"b.bin": Reply(bytes(wrong))})

        result = self.apply(url, self.cdn)
        self.assertEqual(result.returncode, 161, result.stdout_text[-3000:])
        self.assertEqual(statuses(result.events), ["starting", "processing_failed"])
        self.assertEqual(len(self.fs.requests_for(self.path_of("b.bin", new["b.bin"]))), 3)
        self.assertEqual(messages(result.events, "WARNING").count("Hash verification failed, retrying..."), 3)
        self.assertIn("Download failed after 3 attempts", messages(result.events, "ERROR"))
        self.assertEqual(tree(self.target), old)

    def test_dropped_connection_is_resumed_with_a_range(self):
        data = os.urandom(3 * MIB + 123)
        # Every answer stops after 2 MiB: the first leaves a partial file,
        # the ranged second one has less than that left to send.
        url = self.serve({"big.bin": data}, {"big.bin": Reply(data, drop_after=2 * MIB)})
        result = self.apply(url, self.cdn)
        self.assertApplied(result)
        self.assertEqual(tree(self.target), {"big.bin": data})
        asked = self.fs.requests_for(self.path_of("big.bin", data))
        self.assertEqual(len(asked), 2)
        self.assertIsNone(asked[0].range)
        m = re.match(r"^bytes=(\d+)-$", asked[1].range or "")
        self.assertIsNotNone(m, asked[1].range)
        self.assertTrue(0 < int(m.group(1)) <= 2 * MIB)
        self.assertIn("resuming", [e.get("status") for e in result.events if e.get("operation") == "download"])

    def test_partial_file_of_an_earlier_run_is_not_resumed(self):
        data = b"the real content\n" * 1000
        path = self.path_of("file.bin", data)
        # The first attempt finds the server busy; the pause before the
        # second leaves ample time to bring it back.
        url = self.serve({"file.bin": data}, {"file.bin": Reply(b"busy", status=503)})
        stale = os.path.join(CACHE, "file.bin.tmp")
        os.makedirs(CACHE, exist_ok=True)
        with open(stale, "wb") as f:
            f.write(b"bytes from another day")

        def recover():
            deadline = time.monotonic() + 120
            while not self.fs.requests_for(path) and time.monotonic() < deadline:
                time.sleep(0.01)
            self.fs.set(path, Reply(data))

        helper = threading.Thread(target=recover, daemon=True)
        helper.start()
        result = self.apply(url, self.cdn)
        helper.join(5)
        self.assertApplied(result)
        # Without discarding the leftover, the second attempt would ask for
        # a range after it.
        self.assertEqual([r.range for r in self.fs.requests_for(path)], [None, None])
        self.assertEqual(tree(self.target), {"file.bin": data})

    def test_two_pauses_of_a_second_between_the_three_attempts_of_a_file(self):
        data = b"fresh\n" * 100
        url = self.serve({"a.bin": data}, {"a.bin": Reply(b"busy", status=503)})
        result = self.apply(url, self.cdn)
        self.assertEqual(result.returncode, 161, result.stdout_text[-3000:])
        self.assertEqual(len(self.fs.requests_for(self.path_of("a.bin", data))), 3)
        # Each attempt of the file: its "starting" download status, after the
        # manifest's own download.
        starts = [e for e in result.events if e.get("operation") == "download" and e.get("status") == "starting"][1:]
        self.assertEqual(len(starts), 3)

        def stamp(event):
            return datetime.datetime.strptime(event["timestamp"], "%Y-%m-%dT%H:%M:%S.%fZ")

        ends = []
        for start in starts[:2]:
            later = result.events[result.events.index(start) + 1:]
            ends.append(next(e for e in later if e.get("event_type") == "error" and e.get("operation") == "download"))
        for end, following in zip(ends, starts[1:]):
            self.assertGreaterEqual((stamp(following) - stamp(end)).total_seconds(), 0.99)

    def test_unreachable_manifest_reports_download_failed(self):
        result = self.apply(self.fs.url("/missing.json"), self.cdn)
        self.assertEqual(result.returncode, 163, result)
        self.assertEqual(statuses(result.events), ["starting", "download_failed"])
        self.assertEqual(self.backups(), [])
        self.assertFalse(os.path.exists(self.target))


if __name__ == "__main__":
    unittest.main()
