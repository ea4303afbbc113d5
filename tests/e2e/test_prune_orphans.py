"""The prune_orphans operation run as a separate process under Wine.

The installed tree and the session's files manifest are prepared here
directly, as a session update would leave them. Links are planted from the
host side: Wine opens a Unix symbolic link as its target, so the check that
each entry's own handle lies inside the pinned target is what must stop the
cleanup, with 145, before anything outside is touched.
"""
import json
import os
import shutil
import subprocess
import tempfile
import unittest

import harness


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def run_prune(target, session, manifest, component="client", dry_run=False, env=None, runner=None):
    args = ["--target", target, "--component", component, "--session-root", session,
            "--files-manifest", manifest]
    if dry_run:
        args.append("--dry-run")
    full_env = {"KORVEL_ORPHAN_CLEANUP": "", "KORVEL_ORPHAN_CLEANUP_DRYRUN": ""}
    full_env.update(env or {})
    # An empty value is not one of the switch values; unset them instead.
    saved = {k: os.environ.pop(k, None) for k in ("KORVEL_ORPHAN_CLEANUP", "KORVEL_ORPHAN_CLEANUP_DRYRUN")}
    try:
        env_set = {k: v for k, v in full_env.items() if v != ""}
        return (runner or harness.run)("prune_orphans.exe", args, timeout=300, env=env_set)
    finally:
        for k, v in saved.items():
            if v is not None:
                os.environ[k] = v


def summary(result):
    """One line per event, as the C++ tests summarise them."""
    out = []
    for ev in result.events:
        kind = ev["event_type"]
        if kind == "diagnostic":
            line = "%s|%s" % (ev["level"], ev["message"])
            if "component" in ev:
                line += "|" + ev["component"]
        elif kind == "error":
            line = "error|%s|%d|%s" % (ev["operation"], ev["error_code"], ev.get("details", ""))
        elif ev.get("operation") == "file:delete":
            line = "file:delete|%s|%s" % (ev["file_path"], "ok" if ev["success"] else "failed")
        else:
            line = "%s|%s|%s" % (kind, ev["operation"], ev["status"])
            if "details" in ev:
                line += "|" + ev["details"]
        out.append(line)
    return out


def tree_snapshot(root):
    """Every path below root with its bytes (None for folders, target for links)."""
    snap = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            p = os.path.join(dirpath, name)
            rel = os.path.relpath(p, root)
            if os.path.islink(p):
                snap[rel] = ("link", os.readlink(p))
            elif os.path.isdir(p):
                snap[rel] = None
            else:
                snap[rel] = read(p)
    return snap


class PruneOrphansTest(unittest.TestCase):
    def setUp(self):
        self.scratch = harness.Scratch("prune")
        s = self.scratch
        self.target = s.path("target")
        self.session = s.path("session")
        self.manifest = s.path("session", "files.json")
        os.makedirs(self.session)
        # Expected, named in other case and with other separators.
        write(s.path("target", "Bin", "App.DLL"), b"app")
        write(s.path("target", "data", "Level1.pak"), b"level")
        # Allowlisted for the launcher, wherever it lies.
        write(s.path("target", "KorvelElevated.exe"), b"helper")
        write(s.path("target", "tools", "KorvelUninstall.exe"), b"uninstall")
        # Orphans: a file at the top, files whose folders then stand empty.
        write(s.path("target", "old.txt"), b"x" * 10)
        write(s.path("target", "retired", "a.bin"), b"a" * 20)
        write(s.path("target", "retired", "deep", "b.bin"), b"b" * 30)
        self.write_manifest([{"file": "bin\\app.dll", "path": "p1"}, {"file": "DATA/level1.pak", "path": "p2"}])

    def tearDown(self):
        self.scratch.cleanup()

    def write_manifest(self, entries):
        write(self.manifest, json.dumps({"files": entries}).encode())

    def w(self, *parts):
        return self.scratch.winpath(*parts)

    def prune(self, **kw):
        return run_prune(self.w("target"), self.w("session"), self.w("session", "files.json"), **kw)

    def test_orphans_removed_expected_and_allowlisted_kept(self):
        r = self.prune(component="Launcher")
        self.assertEqual(r.returncode, 0, r.stdout_text + r.stderr_text)
        t = self.w("target")
        expected_events = [
            "status|prune_orphans|starting",
            "status|orphan_cleanup|starting",
            "INFO|Starting orphan cleanup for launcher",
            "INFO|Reading expected files from: " + self.w("session", "files.json"),
            "INFO|Read 2 expected files from manifest",
            "INFO|Building local inventory of: " + t,
            "INFO|Found 12 items in local inventory",
            "INFO|Wrote local-inventory.json with 12 entries",
            "INFO|Built allowlist with 3 entries for launcher",
            "status|orphan_cleanup|orphan_cleanup_started|" + json.dumps(
                {"component": "launcher", "expectedCount": 2, "observedCount": 12, "targetPath": t},
                separators=(",", ":")),
            "INFO|Computing orphans from 12 observed items against 2 expected files",
            "INFO|Found 3 orphan files and 3 orphan directories",
            'status|orphan_cleanup|orphan_candidate|{"path":"old.txt","size":10,"type":"file"}',
            'status|orphan_cleanup|orphan_candidate|{"path":"retired/a.bin","size":20,"type":"file"}',
            'status|orphan_cleanup|orphan_candidate|{"path":"retired/deep/b.bin","size":30,"type":"file"}',
            'status|orphan_cleanup|orphan_candidate|{"path":"retired/deep","size":0,"type":"dir"}',
            'status|orphan_cleanup|orphan_candidate|{"path":"retired","size":0,"type":"dir"}',
            'status|orphan_cleanup|orphan_candidate|{"path":"tools","size":0,"type":"dir"}',
            "file:delete|%s\\old.txt|ok" % t,
            'status|orphan_cleanup|orphan_removed|{"path":"old.txt","size":10}',
            "file:delete|%s\\retired\\a.bin|ok" % t,
            'status|orphan_cleanup|orphan_removed|{"path":"retired/a.bin","size":20}',
            "file:delete|%s\\retired\\deep\\b.bin|ok" % t,
            'status|orphan_cleanup|orphan_removed|{"path":"retired/deep/b.bin","size":30}',
            "file:delete|%s\\retired\\deep|ok" % t,
            'status|orphan_cleanup|orphan_removed|{"path":"retired/deep","size":0}',
            "file:delete|%s\\retired|ok" % t,
            'status|orphan_cleanup|orphan_removed|{"path":"retired","size":0}',
            "file:delete|%s\\tools|failed" % t,
            "WARNING|Failed to remove directory tools: " + self.dir_not_empty_text(r),
            "INFO|Wrote orphan-report.json",
            'status|orphan_cleanup|orphan_cleanup_complete|'
            '{"bytesFreed":60,"dirsRemoved":2,"filesRemoved":3,"filesSkipped":0}',
            "INFO|Orphan cleanup completed: 3 files, 2 dirs removed, 60 bytes freed, 0 skipped",
            "status|orphan_cleanup|completed",
            "INFO|Orphan cleanup completed: 3 files removed, 2 directories removed, 60 bytes freed",
            "status|prune_orphans|completed",
        ]
        self.assertEqual(summary(r), expected_events)
        self.assertEqual(tree_snapshot(self.target), {
            "Bin": None, os.path.join("Bin", "App.DLL"): b"app",
            "data": None, os.path.join("data", "Level1.pak"): b"level",
            "KorvelElevated.exe": b"helper",
            "tools": None, os.path.join("tools", "KorvelUninstall.exe"): b"uninstall",
        })

        def inv(is_dir, path, size):
            return ('  {\r\n    "isDirectory" : %s,\r\n    "isSymlink" : false,\r\n    "path" : "%s",\r\n'
                    '    "size" : %d\r\n  }' % ("true" if is_dir else "false", path, size))
        self.assertEqual(read(os.path.join(self.session, "local-inventory.json")).decode(), "[\r\n" + ",\r\n".join([
            inv(True, "bin", 0), inv(True, "data", 0), inv(False, "korvelelevated.exe", 6),
            inv(False, "old.txt", 10), inv(True, "retired", 0), inv(True, "tools", 0),
            inv(False, "bin/app.dll", 3), inv(False, "data/level1.pak", 5), inv(False, "retired/a.bin", 20),
            inv(True, "retired/deep", 0), inv(False, "retired/deep/b.bin", 30),
            inv(False, "tools/korveluninstall.exe", 9),
        ]) + "\r\n]")

        def orphan(path, size, kind):
            return ('    {\r\n      "path" : "%s",\r\n      "size" : %d,\r\n      "type" : "%s"\r\n    }'
                    % (path, size, kind))
        self.assertEqual(read(os.path.join(self.session, "orphan-report.json")).decode(),
                         '{\r\n  "bytesFreed" : 60,\r\n  "dirsRemoved" : 2,\r\n  "filesRemoved" : 3,\r\n'
                         '  "filesSkipped" : 0,\r\n  "orphans" : \r\n  [\r\n' + ",\r\n".join([
                             orphan("old.txt", 10, "file"), orphan("retired/a.bin", 20, "file"),
                             orphan("retired/deep/b.bin", 30, "file"), orphan("retired/deep", 0, "directory"),
                             orphan("retired", 0, "directory"), orphan("tools", 0, "directory"),
                         ]) + '\r\n  ],\r\n  "skippedPaths" : []\r\n}')

    def dir_not_empty_text(self, result):
        for ev in result.events:
            if ev.get("operation") == "file:delete" and not ev["success"]:
                return ev["error_message"]
        return "<no failure event>"

    def test_dry_run_from_the_plan_and_from_the_environment(self):
        before = tree_snapshot(self.target)
        for kw, line in ((dict(dry_run=True), "(via execution plan)"),
                         (dict(env={"KORVEL_ORPHAN_CLEANUP_DRYRUN": "TRUE"}), "(via KORVEL_ORPHAN_CLEANUP_DRYRUN=1)")):
            with self.subTest(line):
                r = self.prune(**kw)
                self.assertEqual(r.returncode, 0, r.stdout_text)
                events = summary(r)
                self.assertIn("INFO|Orphan cleanup running in dry-run mode " + line, events)
                self.assertIn("INFO|Dry-run mode: would remove 5 files and 3 directories", events)
                self.assertIn('status|orphan_cleanup|orphan_cleanup_complete|'
                              '{"bytesFreed":75,"dirsRemoved":3,"filesRemoved":5,"filesSkipped":0}', events)
                self.assertFalse([e for e in events if e.startswith("file:delete")])
                self.assertEqual(events[-1], "status|prune_orphans|completed")
                self.assertEqual(tree_snapshot(self.target), before)
                report = json.loads(read(os.path.join(self.session, "orphan-report.json")))
                self.assertEqual((report["filesRemoved"], report["dirsRemoved"], report["bytesFreed"]), (5, 3, 75))

    def test_switch_values(self):
        cases = [
            ({"KORVEL_ORPHAN_CLEANUP": "FALSE"}, "disabled"),
            ({"KORVEL_ORPHAN_CLEANUP": "0"}, "disabled"),
            ({"KORVEL_ORPHAN_CLEANUP": "off"}, "real"),
            ({"KORVEL_ORPHAN_CLEANUP_DRYRUN": "yes"}, "real"),
            ({"KORVEL_ORPHAN_CLEANUP_DRYRUN": "1"}, "dry"),
            ({"KORVEL_ORPHAN_CLEANUP_DRYRUN": "1", "KORVEL_ORPHAN_CLEANUP": "0"}, "disabled"),
        ]
        for env, outcome in cases:
            with self.subTest(env=env):
                self.tearDown()
                self.setUp()
                r = self.prune(env=env)
                self.assertEqual(r.returncode, 0, r.stdout_text)
                events = summary(r)
                if outcome == "disabled":
                    self.assertEqual(events, ["status|prune_orphans|starting",
                                              "INFO|Orphan cleanup disabled via KORVEL_ORPHAN_CLEANUP=0",
                                              "status|prune_orphans|skipped"])
                else:
                    self.assertEqual(events[-1], "status|prune_orphans|completed")
                self.assertEqual(os.path.exists(os.path.join(self.target, "old.txt")), outcome != "real")

    def test_skip_reasons(self):
        cases = [
            ("session root", dict(session=self.w("nosession")), "Session root is unavailable"),
            ("manifest missing", dict(manifest=self.w("session", "none.json")), "Files manifest is unavailable"),
            ("manifest empty", dict(entries=[]), "expected-files manifest was empty; no files were deleted"),
            ("manifest unsafe", dict(entries=[{"file": "../old.txt"}]),
             "expected-files manifest could not be read safely"),
            ("target missing", dict(target=self.w("notarget")), "cleanup root could not be pinned safely"),
        ]
        before = tree_snapshot(self.target)
        for name, change, reason in cases:
            with self.subTest(name):
                if "entries" in change:
                    self.write_manifest(change["entries"])
                r = run_prune(change.get("target", self.w("target")), change.get("session", self.w("session")),
                              change.get("manifest", self.w("session", "files.json")))
                self.assertEqual(r.returncode, 0, r.stdout_text)
                self.assertEqual(summary(r)[-1], "status|prune_orphans|skipped|" + reason)
                self.assertEqual(tree_snapshot(self.target), before)
                self.assertFalse(os.path.exists(os.path.join(self.session, "orphan-report.json")))

    # --- attacks -----------------------------------------------------------

    def plant_outside(self):
        write(self.scratch.path("outside", "secret.txt"), b"outside file\n")
        write(self.scratch.path("outside", "secretdir", "inner.txt"), b"outside folder\n")
        return tree_snapshot(self.scratch.path("outside"))

    def assert_aborted(self, r, files_removed):
        self.assertEqual(r.returncode, 145, r.stdout_text + r.stderr_text)
        events = summary(r)
        self.assertTrue([e for e in events if e.startswith("error|orphan_cleanup|145|Fatal containment failure")],
                        events)
        self.assertEqual(events[-2:], ["status|orphan_cleanup|aborted|Containment verification failed; cleanup stopped",
                                       "status|prune_orphans|aborted"])
        self.assertFalse([e for e in events if "orphan_cleanup_complete" in e])
        report = json.loads(read(os.path.join(self.session, "orphan-report.json")))
        self.assertEqual(report["filesRemoved"], files_removed)
        return events, report

    def test_orphan_file_link_pointing_outside(self):
        outside = self.plant_outside()
        os.symlink(self.scratch.path("outside", "secret.txt"), os.path.join(self.target, "zz_link.txt"))
        events, report = self.assert_aborted(self.prune(), files_removed=2)
        self.assertIn("error|orphan_cleanup|145|Fatal containment failure while deleting: zz_link.txt", events)
        self.assertEqual(tree_snapshot(self.scratch.path("outside")), outside)
        self.assertTrue(os.path.islink(os.path.join(self.target, "zz_link.txt")))
        self.assertIn("zz_link.txt", [o["path"] for o in report["orphans"]])
        # Folders come after files and were not reached.
        self.assertTrue(os.path.isdir(os.path.join(self.target, "retired")))

    def test_orphan_folder_link_pointing_outside(self):
        outside = self.plant_outside()
        os.symlink(self.scratch.path("outside", "secretdir"), os.path.join(self.target, "linkdir"))
        # The walk does not enter the link; every orphan file is removed
        # before the folders, and the link stops the run.
        events, report = self.assert_aborted(self.prune(), files_removed=5)
        self.assertIn("error|orphan_cleanup|145|Fatal containment failure while deleting directory: linkdir", events)
        self.assertEqual((report["dirsRemoved"], report["bytesFreed"]), (1, 75))
        self.assertEqual(tree_snapshot(self.scratch.path("outside")), outside)
        self.assertTrue(os.path.islink(os.path.join(self.target, "linkdir")))

    def test_link_pointing_inside_the_target(self):
        os.symlink("Bin", os.path.join(self.target, "alias"))
        os.symlink(os.path.join("Bin", "App.DLL"), os.path.join(self.target, "copy.dll"))
        events, _ = self.assert_aborted(self.prune(), files_removed=0)
        self.assertIn("error|orphan_cleanup|145|Fatal containment failure while deleting: copy.dll", events)
        self.assertEqual(read(os.path.join(self.target, "Bin", "App.DLL")), b"app")

    def test_target_itself_a_link(self):
        alias = self.scratch.path("alias")
        os.symlink(self.target, alias)
        before = tree_snapshot(self.target)
        r = run_prune(self.w("alias"), self.w("session"), self.w("session", "files.json"))
        self.assertEqual(r.returncode, 0, r.stdout_text)
        self.assertEqual(summary(r)[-1], "status|prune_orphans|skipped|cleanup root could not be pinned safely")
        skipped = [e for e in r.events if e.get("status") == "orphan_cleanup_skipped"]
        self.assertEqual(json.loads(skipped[0]["details"]),
                         {"reason": "cleanup root could not be pinned safely", "system_error_code": 5})
        self.assertEqual(tree_snapshot(self.target), before)

    def test_report_names_planted_as_links_are_replaced_not_written_through(self):
        outside = self.plant_outside()
        for name in ("local-inventory.json", "orphan-report.json"):
            os.symlink(self.scratch.path("outside", "secret.txt"), os.path.join(self.session, name))
        r = self.prune()
        self.assertEqual(r.returncode, 0, r.stdout_text)
        self.assertEqual(tree_snapshot(self.scratch.path("outside")), outside)
        for name in ("local-inventory.json", "orphan-report.json"):
            p = os.path.join(self.session, name)
            self.assertFalse(os.path.islink(p), name)
            json.loads(read(p))


class DangerousTargetTest(unittest.TestCase):
    """A protected folder as the target, run in a throwaway copy of the
    prefix so that a failing check could not wreck the shared one."""

    def setUp(self):
        self.copy = tempfile.mkdtemp(prefix="korvel-prefix-", dir=os.path.join(harness.BUILD_DIR, "wine"))
        self.prefix = os.path.join(self.copy, "prefix")
        subprocess.run(["cp", "-a", harness.WINEPREFIX, self.prefix], check=True)
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all", WINEARCH="win64",
                        HOME=os.path.join(harness.BUILD_DIR, "wine", "home"),
                        WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d")
        for k in ("KORVEL_ORPHAN_CLEANUP", "KORVEL_ORPHAN_CLEANUP_DRYRUN"):
            self.env.pop(k, None)
        self.scratch = harness.Scratch("prune-danger")

    def tearDown(self):
        subprocess.run(["timeout", "30", "/usr/lib/wine/wineserver", "-k"], env=self.env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["timeout", "30", "/usr/lib/wine/wineserver", "-w"], env=self.env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(self.copy, ignore_errors=True)
        self.scratch.cleanup()

    def run_in_copy(self, args):
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            proc = subprocess.run(["timeout", "--kill-after=10", "300", "/usr/lib/wine/wine64",
                                   "K:\\prune_orphans.exe"] + args, stdin=subprocess.DEVNULL,
                                  stdout=out, stderr=err, env=self.env)
            out.seek(0)
            proc.stdout = out.read()
            err.seek(0)
            proc.stderr = err.read()
        return harness.Result(proc)

    def test_user_profile_as_target_is_skipped(self):
        users = os.path.join(self.prefix, "drive_c", "users")
        user = [u for u in os.listdir(users) if u != "Public" and os.path.isdir(os.path.join(users, u))][0]
        profile = os.path.join(users, user)
        write(os.path.join(profile, "canary.txt"), b"keep me")
        before = tree_snapshot(profile)
        write(self.scratch.path("session", "files.json"), json.dumps({"files": [{"file": "canary.txt"}]}).encode())
        r = self.run_in_copy(["--target", "C:\\users\\" + user, "--component", "client",
                              "--session-root", self.scratch.winpath("session"),
                              "--files-manifest", self.scratch.winpath("session", "files.json")])
        self.assertEqual(r.returncode, 0, r.stdout_text + r.stderr_text)
        last = summary(r)[-1]
        self.assertTrue(last.startswith("status|prune_orphans|skipped|cleanup root refused by the dangerous-root check: "),
                        summary(r))
        self.assertEqual(tree_snapshot(profile), before)
        self.assertFalse(os.path.exists(self.scratch.path("session", "orphan-report.json")))


if __name__ == "__main__":
    unittest.main()
