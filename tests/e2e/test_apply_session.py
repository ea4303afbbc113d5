"""--apply-manifest with --session-root and --files-manifest: the files come
from a folder the caller prepared, the manifest from the server. The session
folder is written by unelevated code, so it is attacked here as the cache
is: host-made links (Wine opens a Unix link as its target) and a file
swapped by another program while the helper holds at a chosen event."""
import json
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

from trustkit import (NginxTrustCase, Run, entry, manifest, messages, read, sha, snapshot, statuses, tree,  # noqa: E402
                      write)


def errors(events):
    return [e.get("error_code") for e in events if e.get("event_type") == "error"]


class SessionCase(NginxTrustCase):
    def setUp(self):
        super().setUp()
        self.session = self.scratch.path("session")
        self.session_win = self.scratch.winpath("session")
        os.makedirs(self.session)
        self.descriptor = self.scratch.path("files.json")
        self.descriptor_win = self.scratch.winpath("files.json")

    def publish_manifest(self, name, files):
        """Only the manifest is on the server: the files are not, so any
        attempt to download one shows in the request log as a 404."""
        body = json.dumps(manifest("2.0.0", [entry(rel, data) for rel, data in files.items()])).encode()
        self.ng.put(name, body)
        return self.ng.url("/" + name)

    def prepare(self, files, extra=None, declared_root=None):
        """Writes files into the session folder and a descriptor naming them
        by absolute Windows path; returns the descriptor's entries."""
        entries = []
        for rel, data in files.items():
            write(os.path.join(self.session, *rel.split("/")), data)
            entries.append({"file": rel, "path": self.session_win + "\\" + rel.replace("/", "\\"),
                            "bytes": len(data), "sha256": sha(data)})
        entries += extra or []
        doc = {"files": entries}
        if declared_root is not None:
            doc["sessionRoot"] = declared_root
        self.write_descriptor(json.dumps(doc).encode())
        return entries

    def write_descriptor(self, data):
        write(self.descriptor, data)

    # "command": --apply-manifest with --session-root and --files-manifest;
    # "plan": the apply_manifest operation of an execution plan.
    form = "command"

    def session_args(self, url, root_win=None, descriptor_win=None):
        root = root_win or self.session_win
        descriptor = descriptor_win or self.descriptor_win
        if self.form == "command":
            return ["--apply-manifest", url, "--target", self.target_win, "--cdn", self.cdn,
                    "--session-root", root, "--files-manifest", descriptor]
        operation = {"type": "apply_manifest", "manifestUrl": url, "targetPath": self.target_win, "cdnUrl": self.cdn,
                     "sessionRoot": root, "filesManifest": descriptor}
        with open(self.scratch.path("plan.json"), "w", encoding="utf-8") as f:
            json.dump({"operations": [operation]}, f)
        return ["--execute-plan", self.scratch.winpath("plan.json")]

    def start_session(self, url, hold_at=None, cwd=None, **kw):
        r = Run(self, self.session_args(url, **kw), hold_at=hold_at, cwd=cwd)
        self.runs.append(r)
        return r

    def apply_session(self, url, **kw):
        return self.start_session(url, **kw).finish()

    def backups(self):
        folder = os.path.join(self.cache, "backups")
        return os.listdir(folder) if os.path.isdir(folder) else []

    def assert_refused(self, run, code, message, old):
        self.assertEqual(run.returncode, code, run.tail())
        self.assertTrue(any(m.startswith(message) for m in messages(run.events, "ERROR")),
                        "no ERROR line %r:\n%s" % (message, run.tail()))
        self.assertEqual(tree(self.target), old)


class SessionApplies(SessionCase):
    def test_full_session_installs_every_file_and_fetches_only_the_manifest(self):
        new = {"app.dll": b"MZ app 2.0\n" * 300, "data/levels.pak": os.urandom(200000), "readme.txt": b"2.0\n"}
        url = self.publish_manifest("full.json", new)
        self.prepare(new, declared_root=self.session_win)
        before_session = snapshot(self.session)
        before = len(self.ng.requests())

        run = self.apply_session(url)

        self.assertEqual(run.returncode, 0, run.tail())
        self.assertEqual(statuses(run.events), ["starting", "completed"])
        self.assertEqual(tree(self.target), new)
        self.assertEqual([r["uri"] for r in self.ng.requests()[before:]], ["/full.json"])
        self.assertIn("Manifest applied successfully from prepared session", messages(run.events, "INFO"))
        self.assertNotIn("Session root in descriptor does not match provided path", messages(run.events, "WARNING"))
        self.assertEqual(snapshot(self.session), before_session)
        self.assertEqual(self.backups(), [])

    def test_delta_session_keeps_unchanged_files_and_backs_up_only_its_own(self):
        old = {"a.txt": b"a 1.0\n", "b.bin": b"b unchanged\n" * 40, "c.txt": b"c 1.0\n"}
        self.write_target(old)
        past = time.time() - 86400
        os.utime(os.path.join(self.target, "b.bin"), (past, past))
        new = {"a.txt": b"a 2.0\n", "b.bin": old["b.bin"], "d/new.txt": b"added in 2.0\n"}
        url = self.publish_manifest("delta.json", new)
        self.prepare({"a.txt": new["a.txt"], "d/new.txt": new["d/new.txt"]})
        before = len(self.ng.requests())

        run = self.apply_session(url)

        self.assertEqual(run.returncode, 0, run.tail())
        self.assertEqual(tree(self.target), {"a.txt": new["a.txt"], "b.bin": old["b.bin"], "c.txt": old["c.txt"],
                                             "d/new.txt": new["d/new.txt"]})
        # The unchanged file was checked, not rewritten.
        self.assertEqual(int(os.stat(os.path.join(self.target, "b.bin")).st_mtime), int(past))
        self.assertIn("Delta skip: file unchanged at target - b.bin", messages(run.events, "DEBUG"))
        backed = [m for m in messages(run.events, "INFO") if m.startswith("Backup created with ID: ")]
        self.assertEqual(len(backed), 1, run.tail())
        self.assertTrue(backed[0].endswith("(backed up 1 files, skipped 1 unchanged)"), backed[0])
        self.assertEqual([r["uri"] for r in self.ng.requests()[before:]], ["/delta.json"])

    def test_metadata_that_disagrees_only_warns(self):
        new = {"a.txt": b"alpha 2.0\n"}
        url = self.publish_manifest("meta.json", new)
        entries = self.prepare(new, declared_root=self.scratch.winpath("elsewhere"))
        entries[0]["bytes"] = 999
        entries[0]["sha256"] = "00" * 32
        self.write_descriptor(json.dumps({"files": entries, "sessionRoot": self.scratch.winpath("elsewhere")}).encode())

        run = self.apply_session(url)

        self.assertEqual(run.returncode, 0, run.tail())
        warnings = messages(run.events, "WARNING")
        self.assertIn("Prepared file size metadata mismatch for: a.txt", warnings)
        self.assertIn("Prepared file hash metadata mismatch for: a.txt", warnings)
        self.assertIn("Session root in descriptor does not match provided path", warnings)
        self.assertEqual(tree(self.target), new)

    def test_relative_paths_and_other_letter_case_lie_inside(self):
        # The root named in capitals, one entry relative to the helper's
        # current folder and another in another case again: the file system
        # says they are the same folder.
        new = {"a.txt": b"alpha\n", "sub/b.txt": b"bravo\n"}
        url = self.publish_manifest("case.json", new)
        entries = self.prepare(new)
        entries[0]["path"] = "Session\\A.TXT"
        entries[1]["path"] = self.session_win.upper() + "\\Sub\\B.Txt"
        self.write_descriptor(json.dumps({"files": entries}).encode())

        run = self.apply_session(url, root_win=self.scratch.winpath("SESSION"), cwd=self.scratch.host)

        self.assertEqual(run.returncode, 0, run.tail())
        self.assertEqual(tree(self.target), new)


class StrictReading(SessionCase):
    """Every refusal of the descriptor, with its code and message; the
    target keeps its old files in each."""

    OLD = {"a.txt": b"old a\n", "b.txt": b"old b\n"}
    NEW = {"a.txt": b"new a\n", "b.txt": b"new b\n"}

    def case_root_is_a_file(self):
        os.rmdir(self.session)
        write(self.session, b"not a folder")
        self.write_descriptor(json.dumps({"files": []}).encode())
        return 141, "Session root not found: " + self.session_win

    def case_descriptor_is_a_folder(self):
        os.makedirs(self.descriptor)
        return 140, "Failed to open files manifest: " + self.descriptor_win

    def case_not_json(self):
        self.write_descriptor(b'{"files": [')
        return 121, "Failed to parse files manifest JSON: "

    def case_descriptor_over_the_cap(self):
        # A valid descriptor, one byte over 32 MiB with its padding.
        self.prepare(self.NEW)
        with open(self.descriptor, "ab") as f:
            f.write(b" " * (33554433 - os.path.getsize(self.descriptor)))
        self.assertEqual(os.path.getsize(self.descriptor), 33554433)
        return 121, "Failed to parse files manifest JSON: larger than 33554432 bytes"

    def case_no_files_array(self):
        self.write_descriptor(json.dumps({"file": []}).encode())
        return 1, "Files manifest is missing 'files' array"

    def case_entry_without_path(self):
        self.prepare(self.NEW, extra=[{"file": "c.txt"}])
        return 121, "Files manifest entry missing required fields"

    def case_entry_without_file(self):
        self.prepare(self.NEW, extra=[{"path": self.session_win + "\\a.txt"}])
        return 121, "Files manifest entry missing required fields"

    def case_unsafe_file_in_the_strict_reading(self):
        # Not text, so the backup's reading passes it by; read as text it is empty.
        self.prepare(self.NEW, extra=[{"file": None, "path": self.session_win + "\\a.txt"}])
        return 1, "Files manifest contains an unsafe relative path"

    def case_path_outside_by_dot_dot(self):
        write(os.path.join(self.outside, "a.txt"), self.NEW["a.txt"])
        entries = self.prepare(self.NEW)
        entries[0]["path"] = self.session_win + "\\..\\outside\\a.txt"
        self.write_descriptor(json.dumps({"files": entries}).encode())
        return 1, "Prepared file lies outside session root: " + self.scratch.winpath("outside", "a.txt")

    def case_path_outside_absolute(self):
        write(os.path.join(self.outside, "a.txt"), self.NEW["a.txt"])
        entries = self.prepare(self.NEW)
        entries[0]["path"] = self.scratch.winpath("outside", "a.txt")
        self.write_descriptor(json.dumps({"files": entries}).encode())
        return 1, "Prepared file lies outside session root: "

    def case_root_name_is_only_a_prefix(self):
        # "session2" starts with the text "session" but is another folder.
        write(self.scratch.path("session2", "a.txt"), self.NEW["a.txt"])
        entries = self.prepare(self.NEW)
        entries[0]["path"] = self.scratch.winpath("session2", "a.txt")
        self.write_descriptor(json.dumps({"files": entries}).encode())
        return 1, "Prepared file lies outside session root: "

    def case_prepared_file_missing(self):
        self.prepare(self.NEW)
        os.remove(os.path.join(self.session, "b.txt"))
        return 141, "Prepared file not found on disk: " + self.session_win + "\\b.txt"

    def case_delta_file_missing(self):
        self.prepare({"a.txt": self.NEW["a.txt"]})
        return 141, "Prepared session is missing file and target does not have valid copy: b.txt"

    def test_each_refusal_has_its_code_and_message(self):
        cases = [name for name in dir(self) if name.startswith("case_")]
        for name in cases:
            with self.subTest(name):
                self.tearDown()
                self.setUp()
                self.write_target(self.OLD)
                url = self.publish_manifest(name + ".json", self.NEW)
                code, message = getattr(self, name)()
                run = self.apply_session(url)
                self.assert_refused(run, code, message, self.OLD)
                self.assertIn(code, errors(run.events), run.tail())
                self.assertEqual(statuses(run.events), ["starting", "processing_failed"])
                self.assertNotIn("Manifest applied successfully from prepared session", messages(run.events))

    def test_missing_root_or_descriptor_stops_before_the_manifest(self):
        # The command says so on standard error, the plan operation in its
        # error event.
        url = self.publish_manifest("missing.json", self.NEW)
        self.write_target(self.OLD)
        for label, args, line, details in (
                ("root", dict(root_win=self.scratch.winpath("nowhere")),
                 "Error: Session root path does not exist: " + self.scratch.winpath("nowhere"),
                 "Session root not found"),
                ("descriptor", dict(descriptor_win=self.scratch.winpath("nothing.json")),
                 "Error: Files manifest path does not exist: " + self.scratch.winpath("nothing.json"),
                 "Files manifest not found")):
            with self.subTest(label):
                self.prepare(self.NEW)
                before = len(self.ng.requests())
                run = self.apply_session(url, **args)
                self.assertEqual(run.returncode, 141, run.tail())
                if self.form == "command":
                    self.assertIn(line, run.output)
                else:
                    self.assertIn(details, [e.get("details") for e in run.events
                                            if e.get("event_type") == "error" and e.get("operation") == "apply_manifest"])
                self.assertEqual(statuses(run.events), [])
                self.assertEqual(self.ng.requests()[before:], [])
                self.assertEqual(tree(self.target), self.OLD)

    def test_lenient_reading_refuses_before_any_backup(self):
        url = self.publish_manifest("lenient.json", self.NEW)
        for label, descriptor, code, message in (
                ("nul", b'{"files": [{"file": "a\\u0000.txt", "path": "x"}]}', 1,
                 "Prepared-session descriptor contains an escaped embedded NUL"),
                ("unsafe", json.dumps({"files": [{"file": "../a.txt", "path": "x"}]}).encode(), 1,
                 "Prepared-session descriptor contains an unsafe relative path")):
            with self.subTest(label):
                self.write_target(self.OLD)
                self.prepare(self.NEW)
                self.write_descriptor(descriptor)
                run = self.apply_session(url)
                self.assert_refused(run, code, message, self.OLD)
                self.assertEqual(statuses(run.events), ["starting"])
                self.assertFalse(any(m.startswith("Backup created with ID: ") for m in messages(run.events)),
                                 run.tail())
                self.assertEqual(self.backups(), [])
        with self.subTest("element that is no object"):
            self.prepare(self.NEW)
            self.write_descriptor(b'{"files": [5]}')
            run = self.apply_session(url)
            self.assertEqual(run.returncode, 4, run.tail())
            self.assertIn(4, errors(run.events))
            self.assertEqual(statuses(run.events), ["starting"])
            self.assertEqual(self.backups(), [])
            self.assertEqual(tree(self.target), self.OLD)

    def test_unreadable_descriptor_backs_up_everything_and_rolls_back(self):
        self.write_target(self.OLD)
        url = self.publish_manifest("notjson.json", self.NEW)
        self.write_descriptor(b"not json at all")
        run = self.apply_session(url)
        self.assert_refused(run, 121, "Failed to parse files manifest JSON: ", self.OLD)
        backed = [m for m in messages(run.events, "INFO") if m.startswith("Backup created with ID: ")]
        self.assertTrue(backed and backed[0].endswith("(backed up 2 files)"), run.tail())
        self.assertIn("Attempting rollback...", messages(run.events, "INFO"))

    def test_a_library_error_after_the_backup_restores_it_and_reports_4(self):
        self.write_target(self.OLD)
        url = self.publish_manifest("library.json", self.NEW)
        entries = self.prepare(self.NEW)
        entries[1]["bytes"] = "six"
        self.write_descriptor(json.dumps({"files": entries}).encode())
        run = self.apply_session(url)
        self.assertEqual(run.returncode, 4, run.tail())
        self.assertIn(4, errors(run.events))
        self.assertEqual(statuses(run.events), ["starting", "processing_failed"])
        self.assertIn("Attempting rollback...", messages(run.events, "INFO"))
        self.assertIn("Backup restored successfully", messages(run.events, "INFO"))
        self.assertEqual(tree(self.target), self.OLD)


class SessionAttacks(SessionCase):
    def test_link_inside_the_root_to_an_outside_file_is_refused_unread(self):
        new = {"app.dll": b"MZ the real 2.0\n" * 64}
        self.write_target({"app.dll": b"MZ 1.0\n"})
        url = self.publish_manifest("link.json", new)
        # The outside file even holds the right bytes: taking it would succeed.
        secret = os.path.join(self.outside, "secret.dll")
        write(secret, new["app.dll"])
        os.makedirs(os.path.join(self.outside, "dir"))
        write(os.path.join(self.outside, "dir", "app.dll"), new["app.dll"])
        for label, plant, listed in (
                ("file link", lambda: os.symlink(secret, os.path.join(self.session, "app.dll")), "app.dll"),
                ("folder link", lambda: os.symlink(os.path.join(self.outside, "dir"),
                                                   os.path.join(self.session, "sub")), "sub\\app.dll")):
            with self.subTest(label):
                for name in os.listdir(self.session):
                    os.remove(os.path.join(self.session, name))
                plant()
                self.write_descriptor(json.dumps({"files": [
                    {"file": "app.dll", "path": self.session_win + "\\" + listed}]}).encode())
                # Read or not: an access time older than the modification
                # time is moved by any read (relatime).
                for p in (secret, os.path.join(self.outside, "dir", "app.dll")):
                    st = os.stat(p)
                    os.utime(p, (st.st_mtime - 86400, st.st_mtime))
                before = {p: os.stat(p).st_atime for p in (secret, os.path.join(self.outside, "dir", "app.dll"))}

                run = self.apply_session(url)

                self.assert_refused(run, 1, "Prepared file lies outside session root: " + self.scratch.winpath("outside"),
                                    {"app.dll": b"MZ 1.0\n"})
                self.assertEqual({p: os.stat(p).st_atime for p in before}, before, "an outside file was read")

    def test_session_file_swapped_right_after_its_check_is_never_installed(self):
        old = {"app.dll": b"MZ app 1.0\n" * 100, "data.txt": b"data 1.0\n"}
        self.write_target(old)
        new = {"data.txt": b"data 2.0\n", "app.dll": b"MZ app 2.0\n" * 100}
        url = self.publish_manifest("swap.json", new)
        self.prepare(new)
        evil = b"MZ bad 2.0\n" * 100
        self.assertEqual(len(evil), len(new["app.dll"]))

        run = self.start_session(url, hold_at='"message":"File verification successful: app.dll"')
        self.assertTrue(run.wait_held(), "never held after the check")
        self.swap(("replace", self.session_win + "\\app.dll", evil))
        run.finish()

        got = tree(self.target)
        self.assertNotEqual(got.get("app.dll"), evil, run.tail())
        if run.returncode == 0:
            self.assertEqual(statuses(run.events), ["starting", "completed"])
            self.assertEqual(got, new)
        else:
            self.assertEqual(run.returncode, 142, run.tail())
            self.assertEqual(got, old)

    def test_session_root_that_is_a_link_is_refused(self):
        new = {"a.txt": b"alpha 2.0\n"}
        self.write_target({"a.txt": b"alpha 1.0\n"})
        url = self.publish_manifest("rootlink.json", new)
        real = os.path.join(self.outside, "real-session")
        os.makedirs(real)
        write(os.path.join(real, "a.txt"), new["a.txt"])
        os.symlink(real, self.scratch.path("linked"))
        linked_win = self.scratch.winpath("linked")
        self.write_descriptor(json.dumps({"files": [{"file": "a.txt", "path": linked_win + "\\a.txt"}]}).encode())
        before = snapshot(self.outside)

        run = self.apply_session(url, root_win=linked_win)

        self.assert_refused(run, 141, "Failed to resolve session root path: the session root is a link: " + linked_win,
                            {"a.txt": b"alpha 1.0\n"})
        self.assertEqual(snapshot(self.outside), before)

    def test_descriptor_changed_after_the_backup_adds_no_file_to_the_run(self):
        # The backup follows the descriptor as first read; a descriptor
        # rewritten afterwards to list more files would have them replaced
        # with no backup to bring them back when the run then fails.
        old = {"a.txt": b"a 1.0\n", "b.txt": b"b 1.0\n", "c.txt": b"c 1.0\n"}
        self.write_target(old)
        new = {"a.txt": b"a 2.0\n", "b.txt": b"b 2.0\n", "c.txt": b"c 2.0\n"}
        url = self.publish_manifest("redescribe.json", new)
        later = self.prepare({"a.txt": new["a.txt"], "b.txt": new["b.txt"], "c.txt": b"c 6.6\n"})
        first = [e for e in later if e["file"] == "a.txt"]
        self.write_descriptor(json.dumps({"files": first}).encode())

        run = self.start_session(url, hold_at='"message":"Backup created with ID: ')
        self.assertTrue(run.wait_held(), "never held after the backup")
        _, how = self.swap(("replace", self.descriptor_win, json.dumps({"files": later}).encode()))
        self.assertEqual(list(how.values()), ["renamed"])
        run.finish()

        self.assertNotEqual(run.returncode, 0, run.tail())
        self.assertEqual(statuses(run.events), ["starting", "processing_failed"])
        self.assertEqual(tree(self.target), old)

    def test_failure_part_way_restores_every_byte_and_leaves_the_session_alone(self):
        old = {"a.txt": b"a 1.0\n" * 10, "b/b.bin": os.urandom(5000), "c.txt": b"c 1.0\n"}
        self.write_target(old)
        new = {"a.txt": b"a 2.0\n" * 10, "b/b.bin": os.urandom(7000), "c.txt": b"c 2.0\n"}
        url = self.publish_manifest("partway.json", new)
        # The last file has the right size and the wrong bytes.
        self.prepare({"a.txt": new["a.txt"], "b/b.bin": new["b/b.bin"], "c.txt": b"c 6.6\n"})
        before_session = snapshot(self.session)

        run = self.apply_session(url)

        self.assertEqual(run.returncode, 142, run.tail())
        self.assertEqual(statuses(run.events), ["starting", "processing_failed"])
        self.assertIn("Hash verification failed for: c.txt", messages(run.events, "ERROR"))
        # Two files were in place before the failure.
        self.assertEqual([e["details"] for e in run.events
                          if e.get("operation") == "file:copy" and e.get("status") == "completed" and "details" in e], ["a.txt", "b/b.bin"])
        self.assertIn("Backup restored successfully", messages(run.events, "INFO"))
        self.assertEqual(tree(self.target), old)
        self.assertEqual(snapshot(self.session), before_session)


class SessionAppliesThroughAPlan(SessionApplies):
    form = "plan"


class StrictReadingThroughAPlan(StrictReading):
    form = "plan"


class SessionAttacksThroughAPlan(SessionAttacks):
    form = "plan"


if __name__ == "__main__":
    unittest.main()
