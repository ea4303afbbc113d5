"""Links planted in the helper's cache by another program of the user (made
on the host: Wine opens a Unix link as its target). The run must neither
write nor delete anything outside the cache and the target through them:
a link is removed as a link, or the run fails with an error."""
import datetime
import json
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

from servers import FaultServer, Reply  # noqa: E402
from trustkit import (NginxTrustCase, TrustCase, entry, manifest, publish, set_old_mtime, sha, snapshot, statuses, tree,  # noqa: E402
                      write)


class LinksUnderTheCache(NginxTrustCase):
    def fill_outside(self):
        """Files the expiry sweep and the .tmp clean-up would take if they
        reached here, and a folder that looks like a stale backup."""
        write(os.path.join(self.outside, "old.bin"), b"three days old\n")
        write(os.path.join(self.outside, "deep", "old.dat"), b"also old\n")
        write(os.path.join(self.outside, "fresh.tmp"), b"a temporary-looking file\n")
        write(os.path.join(self.outside, "20200101_000000", "precious.txt"), b"looks like a backup\n")
        write(os.path.join(self.outside, "sub", "app.dll.tmp"), b"named like a download\n")
        set_old_mtime(os.path.join(self.outside, "old.bin"))
        set_old_mtime(os.path.join(self.outside, "deep"))

    def check_run(self, name, plant, files, old=None):
        """Plants links with plant(), applies files over old, and checks that
        nothing outside changed and the target holds the new or old bytes."""
        self.fill_outside()
        if old:
            self.write_target(old)
        url = publish(self.ng, name + ".json", "1.0.0", files)
        plant()
        before = snapshot(self.outside)

        run = self.apply(url, self.cdn)

        self.assertEqual(snapshot(self.outside), before, run.tail())
        if run.returncode == 0:
            self.assertEqual(statuses(run.events), ["starting", "completed"])
            self.assertEqual(tree(self.target), files)
        else:
            # Refused: said so with an error event carrying the code, and
            # nothing but the old files in the target.
            codes = [e.get("error_code") for e in run.events if e.get("event_type") == "error"]
            self.assertIn(run.returncode, codes, run.tail())
            self.assertEqual(tree(self.target), old or {})
        return run

    def test_cache_folder_is_a_link(self):
        files = {"app.dll": b"MZ app\n" * 40, "readme.txt": b"hello\n"}
        self.check_run("root", lambda: os.symlink(self.outside, self.cache), files)

    def test_store_folder_is_a_link(self):
        files = {"app.dll": b"MZ app in a linked store folder\n" * 40}

        def plant():
            os.makedirs(self.cache)
            os.symlink(self.outside, os.path.join(self.cache, sha(files["app.dll"])[:8]))
        self.check_run("h8", plant, files)

    def test_store_entry_behind_a_linked_folder_is_not_used(self):
        # The linked folder even holds the right bytes under the entry's
        # name: still, nothing reached through the link is taken for the
        # store's own.
        files = {"app.dll": b"MZ app behind a linked store folder\n" * 40}

        def plant():
            os.makedirs(self.cache)
            write(os.path.join(self.outside, sha(files["app.dll"])), files["app.dll"])
            os.symlink(self.outside, os.path.join(self.cache, sha(files["app.dll"])[:8]))
        run = self.check_run("h8-filled", plant, files)
        used = [e for e in run.events if e.get("message", "").startswith("Using cached file: ")]
        self.assertEqual(used, [], run.tail())

    def test_backups_folder_is_a_link(self):
        files = {"app.dll": b"MZ app 2\n" * 40}
        old = {"app.dll": b"MZ app 1\n" * 40}

        def plant():
            os.makedirs(self.cache)
            os.symlink(self.outside, os.path.join(self.cache, "backups"))
        self.check_run("backups", plant, files, old)

    def test_backup_folder_is_a_link(self):
        files = {"app.dll": b"MZ app 2\n" * 40}
        old = {"app.dll": b"MZ app 1\n" * 40}

        def plant():
            # The backup ID is the UTC second the backup starts: a link for
            # every second of the next minutes catches it.
            backups = os.path.join(self.cache, "backups")
            os.makedirs(backups)
            now = datetime.datetime.now(datetime.timezone.utc)
            for s in range(-5, 300):
                stamp = (now + datetime.timedelta(seconds=s)).strftime("%Y%m%d_%H%M%S")
                os.symlink(self.outside, os.path.join(backups, stamp))
        self.check_run("backup-id", plant, files, old)

    def test_download_folder_is_a_link(self):
        # The entry sub/app.dll downloads into KorvelCache\sub\app.dll.tmp.
        files = {"sub/app.dll": b"MZ app below sub\n" * 40}

        def plant():
            os.makedirs(self.cache)
            os.symlink(os.path.join(self.outside, "sub"), os.path.join(self.cache, "sub"))
        self.check_run("tmp-dir", plant, files)

    def test_top_level_temporary_file_is_a_link(self):
        files = {"app.dll": b"MZ app\n" * 40}

        def plant():
            os.makedirs(self.cache)
            os.symlink(os.path.join(self.outside, "old.bin"), os.path.join(self.cache, "stale.tmp"))
            os.symlink(os.path.join(self.outside, "fresh.tmp"), os.path.join(self.cache, "app.dll.tmp"))
        self.check_run("tmp-file", plant, files)


class LinkPlantedBetweenAttempts(TrustCase):
    """A .tmp download path that becomes a link while the helper pauses
    between two attempts: the resumed attempt must not append to, nor
    truncate, the file it points at."""

    def setUp(self):
        super().setUp()
        self.fs = FaultServer().start()
        self.cdn = self.fs.url("/cdn")

    def tearDown(self):
        self.fs.stop()
        super().tearDown()

    def test_resumed_download_does_not_write_through_a_link(self):
        data = b"MZ the real file\n" * 500
        path = "/cdn/files/%s/app.dll" % sha(data)[:8]
        self.fs.set(path, Reply(b"busy", status=503))
        self.fs.set("/m.json", body=json.dumps(manifest("1.0.0", [entry("app.dll", data)])).encode())
        victim = os.path.join(self.outside, "victim.bin")
        write(victim, b"precious\n")
        before = snapshot(self.outside)

        run = self.start(self.fs.url("/m.json"), self.cdn, hold_at="Unexpected HTTP status: 503")
        self.assertTrue(run.wait_held(), "the first attempt never failed")
        tmp = os.path.join(self.cache, "app.dll.tmp")
        planted = True
        if os.path.lexists(tmp):
            # The first attempt left its file: the attacker must delete it
            # first, which Windows refuses while the helper holds it without
            # delete sharing.
            _code, how = self.swap(("delete", self.cache_win_path("app.dll.tmp"), b""))
            planted = not os.path.lexists(tmp)
            if not planted:
                self.assertTrue(list(how.values())[0].startswith("denied"), how)
        if planted:
            os.symlink(victim, tmp)
        self.fs.set(path, Reply(data))
        run.finish()

        self.assertEqual(snapshot(self.outside), before, run.tail())
        self.assertEqual(run.returncode, 0, run.tail())
        self.assertEqual(tree(self.target), {"app.dll": data})


if __name__ == "__main__":
    unittest.main()
