"""The prune_orphans plan operation through KorvelElevated --execute-plan,
under Wine.

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
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

import harness  # noqa: E402
from harness import read, write  # noqa: E402
import plantools as pl  # noqa: E402
from throwaway_prefix import WINE64, ThrowawayPrefix  # noqa: E402
from trustkit import NginxTrustCase, Run, entry, manifest, sha, snapshot, tree  # noqa: E402

SWITCHES = ("KORVEL_ORPHAN_CLEANUP", "KORVEL_ORPHAN_CLEANUP_DRYRUN")


def run_plan(plan, env=None):
    """KorvelElevated --execute-plan with only the given switches set."""
    saved = {k: os.environ.pop(k, None) for k in SWITCHES}
    try:
        return harness.run_elevated(["--execute-plan", plan], timeout=300, env=env or {})
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
        elif kind == "progress":
            line = "progress|%s|%d" % (ev["operation"], ev["progress"])
        elif kind == "completion":
            line = "completion|%s|%s" % (ev["operation"], ev["success"])
        elif ev.get("operation") == "file:delete":
            line = "file:delete|%s|%s" % (ev["file_path"], "ok" if ev["success"] else "failed")
        else:
            line = "%s|%s|%s" % (kind, ev["operation"], ev["status"])
            if "details" in ev:
                line += "|" + ev["details"]
        out.append(line)
    return out


def plan_head(count):
    """From the program's start to the first operation."""
    return ["INFO|KorvelElevated starting", "status|startup|checking_environment", "status|execute_plan|starting",
            "status|execution_plan|loading_plan", "INFO|Loaded execution plan with %d operations" % count,
            "INFO|Executing plan with %d operations" % count, "status|execution_plan|executing",
            "INFO|Executing plan with %d operations" % count]


PLAN_DONE = ["completion|execution_plan|True", "INFO|Execution plan completed successfully",
             "completion|main_operation|True", "INFO|KorvelElevated completed successfully"]


def plan_failed(index, code):
    return ["error|execution_plan|%d|Operation %d failed, aborting plan" % (code, index),
            "error|main_operation|%d|" % code, "FATAL|KorvelElevated failed with error: %d" % code]


def own(lines, operation="prune_orphans"):
    """The lines of one plan operation: from its "starting" to the line
    before the plan's next progress or error."""
    start = lines.index("status|%s|starting" % operation)
    end = start + 1
    while end < len(lines) and not lines[end].startswith(("progress|execution_plan|", "error|execution_plan|")):
        end += 1
    return lines[start:end]


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


def paths_below(root):
    """Every path below root, links not followed."""
    out = set()
    for dirpath, dirnames, filenames in os.walk(root):
        out.update(os.path.relpath(os.path.join(dirpath, n), root) for n in dirnames + filenames)
    return out


class PruneCase(unittest.TestCase):
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
        self.write_manifest([{"file": "bin\\app.dll", "path": "p1"}, {"file": "DATA/level1.pak", "path": "p2"},
                             {"file": "Bin/App.DLL", "path": "p3"}])

    def tearDown(self):
        self.scratch.cleanup()

    def write_manifest(self, entries):
        write(self.manifest, json.dumps({"files": entries}).encode())

    def w(self, *parts):
        return self.scratch.winpath(*parts)

    def prune_op(self, **kw):
        op = {"type": "prune_orphans", "targetPath": self.w("target"), "component": "client",
              "sessionRoot": self.w("session"), "filesManifest": self.w("session", "files.json")}
        op.update(kw)
        return op

    def receipt_op(self):
        """An operation after the cleanup that leaves a mark when it runs."""
        return {"type": "write_receipt", "targetPath": self.w("after"), "version": "1.0.0"}

    def run_ops(self, ops, env=None):
        return run_plan(pl.write_plan(self.scratch, ops), env)

    def prune(self, env=None, **kw):
        return self.run_ops([self.prune_op(**kw)], env)


class Cleanup(PruneCase):
    def test_orphans_removed_expected_and_allowlisted_kept(self):
        r = self.run_ops([self.prune_op(component="Launcher"),
                          {"type": "release_session", "sessionRoot": self.w("nosuchsession")}])
        self.assertEqual(r.returncode, 0, r.stdout_text + r.stderr_text)
        t = self.w("target")
        self.assertEqual(summary(r), plan_head(2) + [
            "status|execution_plan|operation_0",
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
            # The folders the removed files left empty go too.
            "file:delete|%s\\retired\\deep|ok" % t,
            'status|orphan_cleanup|orphan_removed|{"path":"retired/deep","size":0}',
            "file:delete|%s\\retired|ok" % t,
            'status|orphan_cleanup|orphan_removed|{"path":"retired","size":0}',
            # A folder that still holds an allowlisted file stays.
            "file:delete|%s\\tools|failed" % t,
            "WARNING|Failed to remove directory tools: " + self.dir_not_empty_text(r),
            "INFO|Wrote orphan-report.json",
            'status|orphan_cleanup|orphan_cleanup_complete|'
            '{"bytesFreed":60,"dirsRemoved":2,"filesRemoved":3,"filesSkipped":0}',
            "INFO|Orphan cleanup completed: 3 files, 2 dirs removed, 60 bytes freed, 0 skipped",
            "status|orphan_cleanup|completed",
            "INFO|Orphan cleanup completed: 3 files removed, 2 directories removed, 60 bytes freed",
            "status|prune_orphans|completed",
            "progress|execution_plan|50",
            "status|execution_plan|operation_1",
            "status|release_session|starting",
            "WARNING|Session root not found for release",
            "progress|execution_plan|100",
        ] + PLAN_DONE)
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
            # Depth first: a folder, then its contents, then its next sibling.
            inv(True, "bin", 0), inv(False, "bin/app.dll", 3), inv(True, "data", 0),
            inv(False, "data/level1.pak", 5), inv(False, "korvelelevated.exe", 6), inv(False, "old.txt", 10),
            inv(True, "retired", 0), inv(False, "retired/a.bin", 20), inv(True, "retired/deep", 0),
            inv(False, "retired/deep/b.bin", 30), inv(True, "tools", 0), inv(False, "tools/korveluninstall.exe", 9),
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
        for kw, env, line in ((dict(dryRun=True), None, "(via execution plan)"),
                              ({}, {"KORVEL_ORPHAN_CLEANUP_DRYRUN": "TRUE"}, "(via KORVEL_ORPHAN_CLEANUP_DRYRUN=1)")):
            with self.subTest(line):
                r = self.prune(env=env, **kw)
                self.assertEqual(r.returncode, 0, r.stdout_text)
                events = summary(r)
                self.assertEqual(events[:8], plan_head(1))
                self.assertEqual(events[-6:], ["status|prune_orphans|completed", "progress|execution_plan|100"]
                                 + PLAN_DONE)
                mine = own(events)
                self.assertEqual(mine[1], "INFO|Orphan cleanup running in dry-run mode " + line)
                self.assertIn("INFO|Dry-run mode: would remove 5 files and 3 directories", mine)
                self.assertEqual(mine[-6:], [
                    "INFO|Wrote orphan-report.json",
                    'status|orphan_cleanup|orphan_cleanup_complete|'
                    '{"bytesFreed":75,"dirsRemoved":3,"filesRemoved":5,"filesSkipped":0}',
                    "INFO|Orphan cleanup completed: 5 files, 3 dirs removed, 75 bytes freed, 0 skipped",
                    "status|orphan_cleanup|completed",
                    "INFO|Orphan cleanup completed: 5 files removed, 3 directories removed, 75 bytes freed",
                    "status|prune_orphans|completed"])
                self.assertFalse([e for e in events if e.startswith("file:delete")])
                self.assertFalse([e for e in events if "orphan_removed" in e])
                self.assertEqual(tree_snapshot(self.target), before)
                report = json.loads(read(os.path.join(self.session, "orphan-report.json")))
                self.assertEqual((report["filesRemoved"], report["dirsRemoved"], report["bytesFreed"]), (5, 3, 75))
                self.assertEqual(len(report["orphans"]), 8)

    def test_switch_values(self):
        # (switches, values of the plan entry, outcome): "off" skips, "dry"
        # deletes nothing with the dry-run line naming where it came from,
        # "real" deletes.
        plan_dry = {"dryRun": True}
        cases = [
            ({"KORVEL_ORPHAN_CLEANUP": "FALSE"}, {}, "off"),
            ({"KORVEL_ORPHAN_CLEANUP": "false"}, {}, "off"),
            ({"KORVEL_ORPHAN_CLEANUP": "0"}, {}, "off"),
            ({"KORVEL_ORPHAN_CLEANUP": "no"}, {}, "real"),
            ({"KORVEL_ORPHAN_CLEANUP": "off"}, {}, "real"),
            ({"KORVEL_ORPHAN_CLEANUP": " 0"}, {}, "real"),
            ({"KORVEL_ORPHAN_CLEANUP": "1"}, {}, "real"),
            ({"KORVEL_ORPHAN_CLEANUP": "true"}, {}, "real"),
            ({"KORVEL_ORPHAN_CLEANUP_DRYRUN": "TRUE"}, {}, "dry-env"),
            ({"KORVEL_ORPHAN_CLEANUP_DRYRUN": "1"}, {}, "dry-env"),
            ({"KORVEL_ORPHAN_CLEANUP_DRYRUN": "yes"}, {}, "real"),
            ({"KORVEL_ORPHAN_CLEANUP_DRYRUN": "2"}, {}, "real"),
            # With the plan's dryRun the variable is not read at all.
            ({"KORVEL_ORPHAN_CLEANUP_DRYRUN": "1"}, plan_dry, "dry-plan"),
            ({}, {"dryRun": "true"}, "real"),  # a string is not a boolean
            # The off switch wins over dry run.
            ({"KORVEL_ORPHAN_CLEANUP_DRYRUN": "1", "KORVEL_ORPHAN_CLEANUP": "0"}, {}, "off"),
            ({"KORVEL_ORPHAN_CLEANUP": "False"}, plan_dry, "off"),
        ]
        for env, extra, outcome in cases:
            with self.subTest(env=env, plan=extra):
                self.tearDown()
                self.setUp()
                r = self.prune(env=env, **extra)
                self.assertEqual(r.returncode, 0, r.stdout_text)
                events = summary(r)
                self.assertEqual(events[:8] + events[-6:], plan_head(1) + [
                    "status|prune_orphans|skipped" if outcome == "off" else "status|prune_orphans|completed",
                    "progress|execution_plan|100"] + PLAN_DONE)
                mine = own(events)
                if outcome == "off":
                    self.assertEqual(mine, ["status|prune_orphans|starting",
                                            "INFO|Orphan cleanup disabled via KORVEL_ORPHAN_CLEANUP=0",
                                            "status|prune_orphans|skipped"])
                dry_lines = [e for e in mine if "dry-run mode" in e]
                self.assertEqual(dry_lines, {
                    "dry-env": ["INFO|Orphan cleanup running in dry-run mode (via KORVEL_ORPHAN_CLEANUP_DRYRUN=1)"],
                    "dry-plan": ["INFO|Orphan cleanup running in dry-run mode (via execution plan)"],
                }.get(outcome, []))
                self.assertEqual(os.path.exists(os.path.join(self.target, "old.txt")), outcome != "real")
                self.assertEqual(os.path.exists(os.path.join(self.target, "retired")), outcome != "real")

    def test_every_skip_deletes_nothing_and_the_plan_goes_on(self):
        # (name, change, reason, Windows error in orphan_cleanup_skipped or
        # None when the engine did not run)
        cases = [
            ("session root missing", dict(sessionRoot=self.w("nosession")), "Session root is unavailable", None),
            ("session root missing, cleanup off", dict(sessionRoot=self.w("nosession"),
                                                       env={"KORVEL_ORPHAN_CLEANUP": "0"}),
             "Session root is unavailable", None),
            ("manifest missing", dict(filesManifest=self.w("session", "none.json")),
             "Files manifest is unavailable", None),
            ("manifest a folder", dict(filesManifest=self.w("session")),
             "expected-files manifest could not be read safely", 0),
            ("manifest not JSON", dict(text=b'{"files": ['), "expected-files manifest could not be read safely", 0),
            ("manifest without files", dict(text=b'{"file": "old.txt"}'),
             "expected-files manifest could not be read safely", 0),
            ("manifest unsafe", dict(entries=[{"file": "Bin/App.DLL"}, {"file": "../old.txt"}]),
             "expected-files manifest could not be read safely", 0),
            ("manifest empty", dict(entries=[]), "expected-files manifest was empty; no files were deleted", 0),
            ("manifest of nameless entries", dict(entries=[{"path": "p"}, {"file": ""}, {"file": 3}]),
             "expected-files manifest was empty; no files were deleted", 0),
            ("target missing", dict(targetPath=self.w("notarget")), "cleanup root could not be pinned safely", 2),
            ("target a file", dict(targetPath=self.w("target", "old.txt")),
             "cleanup root could not be pinned safely", 5),
        ]
        before = tree_snapshot(self.target)
        for name, change, reason, error in cases:
            with self.subTest(name):
                change = dict(change)
                env = change.pop("env", None)
                if "entries" in change:
                    self.write_manifest(change.pop("entries"))
                if "text" in change:
                    write(self.manifest, change.pop("text"))
                r = self.run_ops([self.prune_op(**change), self.receipt_op()], env)
                self.assertEqual(r.returncode, 0, r.stdout_text)
                events = summary(r)
                mine = own(events)
                self.assertEqual(mine[-1], "status|prune_orphans|skipped|" + reason)
                skipped = [json.loads(e.split("|", 3)[3]) for e in mine if "|orphan_cleanup_skipped|" in e]
                if error is None:
                    self.assertEqual(skipped, [])
                    self.assertIn("WARNING|Orphan cleanup skipped: " + reason[0].lower() + reason[1:], mine)
                else:
                    details = {"reason": reason}
                    if error:
                        details["system_error_code"] = error
                    self.assertEqual(skipped, [details])
                    warning = "WARNING|Orphan cleanup skipped: " + reason
                    if error:
                        warning += " (Win32 %d)" % error
                    self.assertIn(warning + "|orphan_cleanup", mine)
                self.assertFalse([e for e in events if e.startswith("file:delete")])
                # A skip is a success of the operation: the plan goes on.
                self.assertEqual(events[-6:], ["status|write_receipt|completed", "progress|execution_plan|100"]
                                 + PLAN_DONE)
                self.assertTrue(os.path.isfile(self.scratch.path("after", "InstallReceipt.json")))
                self.assertEqual(tree_snapshot(self.target), before)
                self.assertFalse(os.path.exists(os.path.join(self.session, "orphan-report.json")))
                self.assertFalse(os.path.exists(os.path.join(self.session, "local-inventory.json")))
                shutil.rmtree(self.scratch.path("after"))
                self.write_manifest([{"file": "bin\\app.dll"}])


class Attacks(PruneCase):
    """Links planted from the host. Each run that meets one is stopped with
    145, the plan with it, and nothing outside the target changes."""

    def plant_outside(self):
        write(self.scratch.path("outside", "secret.txt"), b"outside file\n")
        write(self.scratch.path("outside", "secretdir", "inner.txt"), b"outside folder\n")
        return tree_snapshot(self.scratch.path("outside"))

    def assert_aborted(self, r, violation):
        self.assertEqual(r.returncode, 145, r.stdout_text + r.stderr_text)
        events = summary(r)
        mine = own(events)
        self.assertEqual(mine[-4:], [
            "error|orphan_cleanup|145|" + violation,
            "INFO|Wrote orphan-report.json",
            "status|orphan_cleanup|aborted|Containment verification failed; cleanup stopped",
            "status|prune_orphans|aborted"])
        self.assertEqual(mine[-5].split("|")[2], "failed")
        self.assertEqual(events[-3:], plan_failed(0, 145))
        self.assertFalse([e for e in events if "orphan_cleanup_complete" in e])
        # The operation after the cleanup never started.
        self.assertNotIn("status|execution_plan|operation_1", events)
        self.assertFalse(os.path.exists(self.scratch.path("after")))
        return events, json.loads(read(os.path.join(self.session, "orphan-report.json")))

    def run_attacked(self):
        return self.run_ops([self.prune_op(), self.receipt_op()])

    def test_orphan_file_link_pointing_outside(self):
        outside = self.plant_outside()
        os.symlink(self.scratch.path("outside", "secret.txt"), os.path.join(self.target, "zz_link.txt"))
        events, report = self.assert_aborted(self.run_attacked(),
                                             "Fatal containment failure while deleting: zz_link.txt")
        self.assertEqual(tree_snapshot(self.scratch.path("outside")), outside)
        self.assertTrue(os.path.islink(os.path.join(self.target, "zz_link.txt")))
        # The counters reached: every orphan file the walk met before the
        # link, which comes last (depth first, the folders' contents first).
        self.assertEqual((report["filesRemoved"], report["dirsRemoved"], report["bytesFreed"],
                          report["filesSkipped"], report["skippedPaths"]), (5, 0, 75, 0, []))
        self.assertIn({"path": "zz_link.txt", "size": 13, "type": "file"}, report["orphans"])
        # Folders come after files and were not reached.
        self.assertTrue(os.path.isdir(os.path.join(self.target, "retired")))

    def test_orphan_folder_link_pointing_outside(self):
        outside = self.plant_outside()
        os.symlink(self.scratch.path("outside", "secretdir"), os.path.join(self.target, "linkdir"))
        # The walk does not enter the link; every orphan file is removed
        # before the folders, and the link stops the run.
        events, report = self.assert_aborted(self.run_attacked(),
                                             "Fatal containment failure while deleting directory: linkdir")
        self.assertEqual((report["filesRemoved"], report["dirsRemoved"], report["bytesFreed"]), (5, 1, 75))
        self.assertEqual(tree_snapshot(self.scratch.path("outside")), outside)
        self.assertTrue(os.path.islink(os.path.join(self.target, "linkdir")))
        self.assertFalse([e for e in events if "linkdir\\" in e or "linkdir/" in e])

    def test_link_pointing_inside_the_target(self):
        os.symlink("Bin", os.path.join(self.target, "alias"))
        os.symlink(os.path.join("Bin", "App.DLL"), os.path.join(self.target, "copy.dll"))
        _, report = self.assert_aborted(self.run_attacked(), "Fatal containment failure while deleting: copy.dll")
        self.assertEqual(read(os.path.join(self.target, "Bin", "App.DLL")), b"app")
        self.assertEqual(report["filesRemoved"], 0)

    def test_target_itself_a_link(self):
        alias = self.scratch.path("alias")
        os.symlink(self.target, alias)
        before = tree_snapshot(self.target)
        r = self.run_ops([self.prune_op(targetPath=self.w("alias")), self.receipt_op()])
        self.assertEqual(r.returncode, 0, r.stdout_text)
        mine = own(summary(r))
        self.assertEqual(mine[-1], "status|prune_orphans|skipped|cleanup root could not be pinned safely")
        skipped = [e for e in r.events if e.get("status") == "orphan_cleanup_skipped"]
        self.assertEqual(json.loads(skipped[0]["details"]),
                         {"reason": "cleanup root could not be pinned safely", "system_error_code": 5})
        self.assertEqual(tree_snapshot(self.target), before)
        self.assertTrue(os.path.isfile(self.scratch.path("after", "InstallReceipt.json")))

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


class SessionRootLinks(PruneCase):
    """A session root that is a host-made link: the reports never go into
    the folder it names."""

    def test_session_root_a_link_is_skipped_and_nothing_is_written_through_it(self):
        elsewhere = self.scratch.path("elsewhere")
        write(os.path.join(elsewhere, "files.json"), read(self.manifest))
        os.symlink(elsewhere, self.scratch.path("linked-session"))
        before_elsewhere = snapshot(elsewhere)
        before = tree_snapshot(self.target)
        r = self.run_ops([self.prune_op(sessionRoot=self.w("linked-session"),
                                        filesManifest=self.w("linked-session", "files.json")),
                          self.receipt_op()])
        self.assertEqual(r.returncode, 0, r.stdout_text)
        events = summary(r)
        self.assertEqual(own(events), [
            "status|prune_orphans|starting",
            "WARNING|Orphan cleanup skipped: session root is unavailable",
            "status|prune_orphans|skipped|Session root is unavailable"])
        self.assertEqual(snapshot(elsewhere), before_elsewhere)
        self.assertEqual(tree_snapshot(self.target), before)
        self.assertTrue(os.path.isfile(self.scratch.path("after", "InstallReceipt.json")))


class AfterAnApply(NginxTrustCase):
    """An execution plan that applies a prepared session and then prunes the
    same target. The session carries only what changed (a delta update);
    the unchanged files of the release are already in the target."""

    OLD = {"a.txt": b"a 1.0\n", "b.bin": b"b unchanged\n" * 40, "c.txt": b"c only in 1.0\n",
           "retired/x.txt": b"retired in 2.0\n", "settings.cfg": b"named by the session\n"}
    NEW = {"a.txt": b"a 2.0\n", "b.bin": b"b unchanged\n" * 40, "d/new.txt": b"added in 2.0\n"}
    CARRIED = ("a.txt", "d/new.txt")

    def setUp(self):
        super().setUp()
        self.session = self.scratch.path("session")
        self.session_win = self.scratch.winpath("session")
        self.descriptor = self.scratch.path("files.json")
        self.descriptor_win = self.scratch.winpath("files.json")
        self.write_target(self.OLD)
        body = json.dumps(manifest("2.0.0", [entry(rel, data) for rel, data in self.NEW.items()])).encode()
        name = "release-%s.json" % os.urandom(4).hex()
        self.ng.put(name, body)
        self.url = self.ng.url("/" + name)
        entries = []
        for rel in self.CARRIED:
            data = self.NEW[rel]
            write(os.path.join(self.session, *rel.split("/")), data)
            entries.append({"file": rel, "path": self.session_win + "\\" + rel.replace("/", "\\"),
                            "bytes": len(data), "sha256": sha(data)})
        # Named by the session, though no file of the manifest: the prune
        # keeps it, as it keeps every name of the descriptor.
        write(os.path.join(self.session, "settings.cfg"), self.OLD["settings.cfg"])
        entries.append({"file": "settings.cfg", "path": self.session_win + "\\settings.cfg"})
        write(self.descriptor, json.dumps({"files": entries}).encode())

    def start_plan(self, hold_at=None):
        operations = [
            {"type": "apply_manifest", "manifestUrl": self.url, "targetPath": self.target_win, "cdnUrl": self.cdn,
             "sessionRoot": self.session_win, "filesManifest": self.descriptor_win},
            {"type": "prune_orphans", "targetPath": self.target_win, "component": "client",
             "sessionRoot": self.session_win, "filesManifest": self.descriptor_win},
        ]
        plan = pl.write_plan(self.scratch, operations)
        run = Run(self, ["--execute-plan", plan], hold_at=hold_at)
        self.runs.append(run)
        return run

    def prune_lines(self, run):
        return [e for e in run.events if e.get("operation") == "prune_orphans"]

    def released(self):
        return dict(self.NEW, **{"settings.cfg": self.OLD["settings.cfg"]})

    def test_delta_session_then_prune_leaves_every_manifest_file(self):
        run = self.start_plan().finish()
        self.assertEqual(run.returncode, 0, run.tail())
        self.assertEqual(self.prune_lines(run)[-1]["status"], "completed", run.tail())
        # The release whole: the unchanged b.bin too; what 2.0 dropped is gone.
        self.assertEqual(tree(self.target), self.released())
        self.assertFalse(os.path.exists(os.path.join(self.target, "retired")))
        report = json.loads(read(os.path.join(self.session, "orphan-report.json")))
        self.assertEqual([o["path"] for o in report["orphans"]], ["c.txt", "retired/x.txt", "retired"])
        inventory = json.loads(read(os.path.join(self.session, "local-inventory.json")))
        self.assertIn("b.bin", [i["path"] for i in inventory])

    def test_descriptor_rewritten_between_apply_and_prune(self):
        run = self.start_plan(hold_at='"status":"operation_1"')
        if not run.wait_held():
            self.fail("the plan never reached its second operation:\n" + run.finish().tail())
        # The apply is done; the descriptor now names one file only.
        write(self.descriptor, json.dumps({"files": [{"file": "a.txt", "path": self.session_win + "\\a.txt"}]})
              .encode())
        run.finish()
        self.assertEqual(run.returncode, 0, run.tail())
        self.assertEqual(self.prune_lines(run)[-1]["status"], "completed", run.tail())
        # The descriptor as the apply read it: settings.cfg is still named.
        self.assertEqual(tree(self.target), self.released())

    def test_session_root_swapped_for_a_link_between_apply_and_prune(self):
        elsewhere = self.scratch.path("elsewhere")
        os.makedirs(elsewhere)
        write(os.path.join(elsewhere, "files.json"), read(self.descriptor))
        before_elsewhere = snapshot(elsewhere)
        run = self.start_plan(hold_at='"status":"operation_1"')
        if not run.wait_held():
            self.fail("the plan never reached its second operation:\n" + run.finish().tail())
        os.rename(self.session, self.scratch.path("session-real"))
        os.symlink(elsewhere, self.session)
        run.finish()
        self.assertEqual(run.returncode, 0, run.tail())
        self.assertEqual([(e["status"], e.get("details")) for e in self.prune_lines(run)],
                         [("starting", None), ("skipped", "Session root is unavailable")])
        self.assertEqual(snapshot(elsewhere), before_elsewhere)
        for name in ("local-inventory.json", "orphan-report.json"):
            self.assertFalse(os.path.exists(self.scratch.path("session-real", name)))
        # Nothing was deleted: the orphans of 1.0 are still there.
        self.assertEqual(tree(self.target), dict(self.OLD, **self.NEW))


class DangerousTarget(ThrowawayPrefix):
    """Protected folders as the target, in a throwaway prefix made for this
    test alone, so that a cleanup that went wrong could only ever harm that
    prefix. Each is refused before anything is pinned or deleted."""

    SCRATCH_NAME = "prune-danger"
    UNSET_VARIABLES = SWITCHES

    @classmethod
    def drives(cls):
        return dict(super().drives(), **{"t:": harness.SCRATCH_DIR})

    def test_protected_folders_are_skipped_and_nothing_is_deleted(self):
        users = os.path.join(self.drive_c, "users")
        user = [u for u in os.listdir(users) if u != "Public" and os.path.isdir(os.path.join(users, u))][0]
        write(os.path.join(users, user, "canary.txt"), b"keep me")
        write(self.scratch.path("session", "files.json"), json.dumps({"files": [{"file": "canary.txt"}]}).encode())
        before = paths_below(self.drive_c)
        for target in ("C:\\users\\" + user, "C:\\", "C:\\windows", "C:\\users"):
            with self.subTest(target=target):
                plan = pl.write_plan(self.scratch, [
                    {"type": "prune_orphans", "targetPath": target, "component": "client",
                     "sessionRoot": self.scratch.winpath("session"),
                     "filesManifest": self.scratch.winpath("session", "files.json")},
                    {"type": "write_receipt", "targetPath": self.scratch.winpath("after"), "version": "1.0.0"}])
                code, data = self.wine([WINE64, "K:\\KorvelElevated.exe", "--execute-plan", plan], 300, check=False)
                r = harness.Result(subprocess.CompletedProcess([], code, data, b""))
                self.assertEqual(code, 0, data[-3000:])
                mine = own(summary(r))
                self.assertTrue(mine[-1].startswith(
                    "status|prune_orphans|skipped|cleanup root refused by the dangerous-root check: "), mine)
                self.assertFalse([e for e in mine if e.startswith("file:delete")])
                self.assertTrue(os.path.isfile(self.scratch.path("after", "InstallReceipt.json")))
                self.assertFalse(os.path.exists(self.scratch.path("session", "orphan-report.json")))
                self.assertFalse(os.path.exists(self.scratch.path("session", "local-inventory.json")))
                shutil.rmtree(self.scratch.path("after"))
        # The runs themselves may add Wine's own bookkeeping, never remove
        # or change a file.
        after = paths_below(self.drive_c)
        self.assertEqual(sorted(before - after), [])
        self.assertEqual(read(os.path.join(users, user, "canary.txt")), b"keep me")


if __name__ == "__main__":
    unittest.main()
