"""What the helper writes, and where, when another program of the user has
prepared the ground or another run is on: a temporary folder that is a
link, a second run into the same target, a failed update, a run killed
part way through a copy."""
import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

import harness  # noqa: E402
from test_apply_session import SessionCase  # noqa: E402
from trustkit import MIB, NginxTrustCase, messages, publish, snapshot, statuses, tree  # noqa: E402

BACKUP_MADE = '"message":"Backup created with ID: '


class TemporaryFolder(NginxTrustCase):
    def test_a_temporary_folder_that_is_a_link_is_refused_and_nothing_lands_where_it_points(self):
        # The run's %TEMP% is a link made on the host to a folder outside.
        linked = self.scratch.path("linked-temp")
        os.symlink(self.outside, linked)
        self.temp_win = self.scratch.winpath("linked-temp")
        with open(os.path.join(self.outside, "mine.txt"), "wb") as f:
            f.write(b"the user's own\n")
        before = snapshot(self.outside)
        url = publish(self.ng, "temp-link.json", "1.0.0", {"a.txt": b"alpha\n"})

        run = self.apply(url, self.cdn)

        self.assertEqual(snapshot(self.outside), before, run.tail())
        self.assertEqual(run.returncode, 147, run.tail())
        self.assertEqual(statuses(run.events), ["starting", "download_failed"])
        self.assertEqual(tree(self.target), {})


class OneRunPerTarget(NginxTrustCase):
    def test_two_runs_into_one_target_with_different_caches_take_turns(self):
        first = {"common.txt": b"from the first\n", "first.bin": os.urandom(MIB)}
        second = {"common.txt": b"from the second\n", "second.bin": os.urandom(MIB)}
        url1 = publish(self.ng, "one-first.json", "1.0.0", first)
        url2 = publish(self.ng, "one-second.json", "2.0.0", second)

        one = self.start(url1, self.cdn, hold_at=BACKUP_MADE)
        self.assertTrue(one.wait_held(), "the first run never made its backup")
        # Another temporary folder: another cache and another cache lock.
        os.makedirs(self.scratch.path("temp2"))
        self.temp_win = self.scratch.winpath("temp2")
        two = self.start(url2, self.cdn)
        waiting = self.wait_for_target_lock(two)
        before_release = two.server.lines()
        one.release()
        one.finish()
        two.finish()

        self.assertTrue(waiting, "the second run never said it waits:\n" + two.tail())
        self.assertFalse([m for m in messages(before_release, "INFO") if m.startswith("Backup created with ID: ")])
        self.assertEqual((one.returncode, two.returncode), (0, 0), one.tail() + two.tail())
        self.assertEqual(statuses(one.events), ["starting", "completed"])
        self.assertEqual(statuses(two.events), ["starting", "completed"])
        # The second ran after the first had finished: its files are the
        # ones in place.
        self.assertEqual(tree(self.target), {"common.txt": second["common.txt"], "first.bin": first["first.bin"],
                                             "second.bin": second["second.bin"]})

    def wait_for_target_lock(self, run, timeout=120):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for e in run.server.lines():
                if (e.get("event_type"), e.get("operation"), e.get("status"), e.get("details")) == \
                        ("status", "target_lock", "waiting", self.target_win):
                    return True
            if run.proc.poll() is not None:
                return False
            time.sleep(0.1)
        return False



def names(root):
    return sorted(os.path.relpath(os.path.join(base, n), root).replace(os.sep, "/")
                  for base, dirs, files in os.walk(root) for n in dirs + files)


class FailedUpdate(SessionCase):
    def test_a_later_file_with_a_wrong_digest_leaves_exactly_the_old_tree(self):
        old = {"a.txt": b"a 1.0\n" * 10, "b/b.bin": os.urandom(5000), "keep.txt": b"not the manifest's\n"}
        self.write_target(old)
        os.makedirs(os.path.join(self.target, "b", "empty"))
        before = names(self.target)
        new = {"a.txt": b"a 2.0\n" * 10, "added.txt": b"new in 2.0\n", "new/deep/n.dll": b"MZ new\n",
               "b/more/m.txt": b"more\n", "z.txt": b"z 2.0\n"}
        url = self.publish_manifest("failed-update.json", new)
        # The last file has the right size and the wrong bytes.
        prepared = dict(new)
        prepared["z.txt"] = b"z 6.6\n"
        self.prepare(prepared)

        run = self.apply_session(url)

        self.assertEqual(run.returncode, 142, run.tail())
        self.assertEqual(statuses(run.events), ["starting", "processing_failed"])
        self.assertEqual([e["details"] for e in run.events
                          if e.get("operation") == "file:copy" and e.get("status") == "completed"],
                         ["a.txt", "added.txt", "new/deep/n.dll", "b/more/m.txt"])
        self.assertIn("Backup restored successfully", messages(run.events, "INFO"))
        self.assertEqual(tree(self.target), old)
        self.assertEqual(names(self.target), before)


class KilledDuringACopy(SessionCase):
    def test_a_run_killed_while_copying_leaves_no_temporary_file(self):
        self.write_target({"keep.txt": b"mine\n"})
        big = os.urandom(12 * MIB)
        url = self.publish_manifest("killed.json", {"big.bin": big})
        self.prepare({"big.bin": big})

        # Held at the first chunk written into the target's temporary file.
        run = self.start_session(url, hold_at='"operation":"file_copy"')
        if not run.wait_held():
            self.fail("never held during the copy:\n" + run.finish().tail())
        pids = {e.get("pid") for e in run.server.lines() if e.get("process") == "KorvelElevated"}
        self.assertEqual(len(pids), 1, pids)
        temporaries = [n for n in os.listdir(self.target) if n.endswith(".tmp")]
        self.assertEqual(len(temporaries), 1, os.listdir(self.target))
        with open(self.scratch.path("kill.out"), "wb") as out:
            killed = subprocess.run([harness.WINERUN, os.path.join(harness.BIN_DIR, "end_process.exe"),
                                     str(pids.pop())],
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=out, timeout=120,
                                    env=self.env())
        self.assertEqual(killed.returncode, 0, harness.read(self.scratch.path("kill.out")))
        run.finish()

        self.assertNotEqual(run.returncode, 0)
        self.assertEqual(sorted(os.listdir(self.target)), ["keep.txt"])


if __name__ == "__main__":
    unittest.main()
