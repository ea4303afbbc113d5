"""Files of the helper's cache swapped by another program while an apply
runs: the downloaded manifest, a verified store file, the backup. Each swap
happens while the helper is held at a fixed event, so nothing is a race."""
import json
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

from trustkit import (NginxTrustCase, MIB, entry, manifest, messages, publish, read, set_old_mtime, sha,  # noqa: E402
                      statuses, tree)

MANIFEST_DOWNLOADED = '"event_type":"completion","operation":"download"'
ALL_VERIFIED = '"message":"All files verified successfully"'
BACKUP_MADE = '"message":"Backup created with ID: '


class SwapsDuringTheRun(NginxTrustCase):
    def test_manifest_replaced_right_after_its_download_is_not_applied(self):
        served = {"app.dll": b"MZ the real app\n" * 64, "data.txt": b"real data\n"}
        url = publish(self.ng, "swap-manifest.json", "1.0.0", served)
        # The attacker's manifest names content it put into the store itself.
        evil = {"app.dll": b"MZ attacker app\n" * 64, "evil.dll": b"MZ attacker plug-in\n"}
        for data in evil.values():
            self.plant_store(data)
        forged = json.dumps(manifest("1.0.0", [entry(rel, data) for rel, data in evil.items()])).encode()

        run = self.start(url, self.cdn, hold_at=MANIFEST_DOWNLOADED)
        self.assertTrue(run.wait_held(), "never held after the manifest download")
        self.swap(("replace", self.cache_win_path("manifest.json.tmp"), forged))
        run.finish()

        self.assertEqual(run.returncode, 0, run.tail())
        self.assertEqual(statuses(run.events), ["starting", "completed"])
        self.assertEqual(tree(self.target), served)

    def test_store_file_swapped_after_verification_never_reaches_the_target(self):
        old = {"app.dll": b"MZ app 1.0\n" * 100, "data.txt": b"data 1.0\n"}
        self.write_target(old)
        new = {"data.txt": b"data 2.0\n", "app.dll": b"MZ app 2.0\n" * 100}
        url = publish(self.ng, "swap-store.json", "2.0.0", new)
        evil = b"MZ bad 2.0\n" * 100  # same size as the real file
        self.assertEqual(len(evil), len(new["app.dll"]))

        run = self.start(url, self.cdn, hold_at=ALL_VERIFIED)
        self.assertTrue(run.wait_held(), "never held after the verification")
        self.swap(("replace", self.cache_win_path(sha(new["app.dll"])[:8], sha(new["app.dll"])), evil))
        run.finish()

        got = tree(self.target)
        self.assertNotEqual(got.get("app.dll"), evil, run.tail())
        if run.returncode == 0:
            # The swap was refused: the run installed what it verified.
            self.assertEqual(statuses(run.events), ["starting", "completed"])
            self.assertEqual(got, new)
        else:
            # The copy saw bytes that are not the manifest's: the file's
            # hash-mismatch failure, and the rollback brings the old files.
            self.assertEqual(run.returncode, 142, run.tail())
            self.assertEqual(statuses(run.events), ["starting", "processing_failed"])
            self.assertEqual(got, old)

    def test_rollback_restores_only_what_the_helper_backed_up(self):
        old = {"b/b.txt": b"old b\n" * 50, "a.txt": b"old a\n" * 50}
        self.write_target(old)
        # A folder where the last file goes makes its installation fail after
        # the others were replaced, which forces a rollback.
        os.makedirs(os.path.join(self.target, "z.txt", "in the way"))
        set_old_mtime(self.target)
        new = {"b/b.txt": b"new b\n", "a.txt": b"new a\n", "z.txt": b"cannot land\n"}
        url = publish(self.ng, "swap-backup.json", "2.0.0", new)
        evil = b"attacker's a\n" * 23
        plant = b"MZ planted through the backup\n"

        run = self.start(url, self.cdn, hold_at=BACKUP_MADE)
        self.assertTrue(run.wait_held(), "never held after the backup")
        backups = os.listdir(os.path.join(self.cache, "backups"))
        self.assertEqual(len(backups), 1, backups)
        backup_id = backups[0]
        listed_host = os.path.join(self.cache, "backups", backup_id, "backup_manifest.json")
        listed = json.loads(read(listed_host))
        listed["files"].append({"relativePath": "plugins/evil.dll", "sha256Hash": sha(plant), "size": len(plant)})
        self.swap(("replace", self.cache_win_path("backups", backup_id, "a.txt"), evil),
                  ("put", self.cache_win_path("backups", backup_id, "plugins", "evil.dll"), plant),
                  ("replace", self.cache_win_path("backups", backup_id, "backup_manifest.json"),
                   json.dumps(listed, indent=2).encode()))
        run.finish()

        # The copy onto the folder is refused (140), whatever the rollback did.
        self.assertEqual(run.returncode, 140, run.tail())
        self.assertEqual(statuses(run.events), ["starting", "processing_failed"])
        self.assertIn("Attempting rollback...", messages(run.events, "INFO"))
        got = tree(self.target)
        self.assertNotIn("plugins/evil.dll", got)
        self.assertFalse(os.path.exists(os.path.join(self.target, "plugins")))
        self.assertIn(got["a.txt"], (old["a.txt"], new["a.txt"]))
        self.assertEqual(got["b/b.txt"], old["b/b.txt"])
        if got["a.txt"] != old["a.txt"]:
            # The tampered copy was refused, so the rollback did not succeed.
            self.assertIn("Rollback failed - system may be in inconsistent state", messages(run.events, "ERROR"))
            self.assertNotIn("Backup restored successfully", messages(run.events, "INFO"))

    def test_two_runs_sharing_the_cache_wait_for_each_other(self):
        first = {"common.txt": b"from the first\n", "first.bin": os.urandom(MIB)}
        second = {"common.txt": b"from the second\n", "second.bin": os.urandom(MIB)}
        url1 = publish(self.ng, "first.json", "1.0.0", first)
        url2 = publish(self.ng, "second.json", "2.0.0", second)
        target2 = self.scratch.path("app2")

        one = self.start(url1, self.cdn, hold_at=ALL_VERIFIED)
        self.assertTrue(one.wait_held(), "the first run never reached its verification")
        two = self.start(url2, self.cdn, target_win=self.scratch.winpath("app2"))
        # The second stands still while the first holds the cache: it says
        # so and goes no further than that.
        waiting = self.wait_for_waiting(two)
        before_release = two.server.lines()
        one.release()
        one.finish()
        two.finish()

        self.assertTrue(waiting, "the second run never said it waits:\n" + two.tail())
        self.assertNotIn("Downloading manifest from: " + url2, messages(before_release, "DEBUG"))
        self.assertEqual((one.returncode, two.returncode), (0, 0), one.tail() + two.tail())
        self.assertEqual(statuses(one.events), ["starting", "completed"])
        self.assertEqual(tree(self.target), first)
        self.assertEqual(tree(target2), second)

    def wait_for_waiting(self, run, timeout=120):
        """True once the run sent a status event that says it waits."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for e in run.server.lines():
                text = (str(e.get("status", "")) + " " + str(e.get("details", ""))).lower()
                if e.get("event_type") == "status" and "wait" in text:
                    return True
            if run.proc.poll() is not None:
                return False
            time.sleep(0.1)
        return False


if __name__ == "__main__":
    unittest.main()
