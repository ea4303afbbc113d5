"""KorvelElevated --execute-plan end to end, under Wine: loading errors from
the real program, the order of the plan's events and its progress, the
missing-value error of every operation type, the stop at the first failure,
and the operations that need no machine-wide state (apply_manifest against
nginx, write_receipt, release_session). prune_orphans has its own driver,
test_prune_orphans.py.
Operations that write the registry, shortcuts or prerequisites run in
test_plan_machine.py, in a prefix of their own."""
import json
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

import harness  # noqa: E402
import plantools as pl  # noqa: E402
from servers import NginxServer  # noqa: E402

VALID_TYPES = ("install_prereqs, apply_manifest, write_uninstall, create_shortcuts, write_receipt, "
               "release_session, prune_orphans")


def run_plan(path):
    return harness.run_elevated(["--execute-plan", path])


def failed_operation(index, code):
    return [("error", "execution_plan", code, "Operation %d failed, aborting plan" % index)]


class PlanCase(unittest.TestCase):
    def setUp(self):
        self.scratch = harness.Scratch("plan")

    def tearDown(self):
        self.scratch.cleanup()

    def plan(self, operations, name="plan.json"):
        return pl.write_plan(self.scratch, operations, name)

    def assertEvents(self, r, expected, code):
        self.assertEqual(pl.briefs(r.events), expected)
        self.assertEqual(r.returncode, code, r.stdout_text)


class Loading(PlanCase):
    def load_failure(self, code, details):
        return [("status", "execute_plan", "starting"), ("status", "execution_plan", "loading_plan"),
                ("error", "execution_plan", code, details),
                ("error", "execute_plan", code, "Failed to load plan file")]

    def test_missing_plan_file(self):
        r = run_plan(self.scratch.winpath("absent.json"))
        self.assertEvents(r, pl.STARTUP + self.load_failure(141, "Plan file not found") + pl.failure_tail(141), 141)

    def test_folder_as_plan(self):
        os.makedirs(self.scratch.path("folder.json"))
        r = run_plan(self.scratch.winpath("folder.json"))
        self.assertEvents(r, pl.STARTUP + self.load_failure(4, "Failed to read plan file: Failed to open file")
                          + pl.failure_tail(4), 4)

    def test_bad_documents(self):
        write_receipt = {"type": "write_receipt", "targetPath": self.scratch.winpath("installed"),
                         "version": "1.0.0"}
        cases = [
            (b"", 1, "Failed to convert plan string"),
            (b'{"operations": [\xff]}', 1, "Plan file is not strict UTF-8: "),
            (b'{"operations": [\xed\xa0\x80]}', 1, "Plan file is not strict UTF-8: "),
            (b'{"operations": []}\x00', 1, "Plan JSON contains an embedded NUL"),
            (b'{"operations": [{"type": "release_session", "sessionRoot": "a\\u0000b"}]}', 1,
             "Plan JSON contains an escaped embedded NUL"),
            (b'{"operations": [', 1, "JSON parse error: "),
            (b"[]", 1, "Plan must be a JSON object"),
            (b'{"operations": {}}', 1, "Plan must have 'operations' array"),
            (b'{"ops": []}', 1, "Plan must have 'operations' array"),
            (b'{"operations": [{"type": 5}]}', 1, "Operation 0 missing 'type' field"),
            (b'{"operations": [{"type": "Frobnicate"}]}', 1,
             "Operation 0: Unknown operation type: 'Frobnicate'. Valid types: " + VALID_TYPES),
            # The first operation is valid, yet nothing runs.
            (json.dumps({"operations": [write_receipt, {"type": "apply-manifest"}]}).encode(), 1,
             "Operation 1: Unknown operation type: 'apply-manifest'. Valid types: " + VALID_TYPES),
            (b"[" * 1200 + b"]" * 1200, 1, "JSON parse error: Exceeded stackLimit in readValue()."),
        ]
        for data, code, details in cases:
            with self.subTest(data=data[:60]):
                with open(self.scratch.path("bad.json"), "wb") as f:
                    f.write(data)
                r = run_plan(self.scratch.winpath("bad.json"))
                self.assertEqual(r.returncode, code, r.stdout_text)
                got = pl.briefs(r.events)
                self.assertEqual(got[:4], pl.STARTUP + self.load_failure(code, details)[:2])
                error = got[4]
                self.assertEqual(error[:3], ("error", "execution_plan", code))
                self.assertTrue(error[3].startswith(details), error)
                self.assertEqual(got[5:], [("error", "execute_plan", code, "Failed to load plan file")]
                                 + pl.failure_tail(code))
                self.assertFalse(os.path.exists(self.scratch.path("installed")))


class Order(PlanCase):
    def test_empty_plan(self):
        r = run_plan(self.plan([]))
        self.assertEvents(r, pl.STARTUP + pl.plan_head(0) + [
            ("completion", "execution_plan", True),
            ("log", "INFO", "Execution plan completed successfully")] + pl.success_tail(), 0)

    def test_three_operations_report_33_66_100(self):
        ops = [{"type": "release_session", "sessionRoot": self.scratch.winpath("gone%d" % i)} for i in range(3)]
        r = run_plan(self.plan(ops))
        expected = pl.STARTUP + pl.plan_head(3)
        for i, percent in enumerate((33, 66, 100)):
            expected += [("status", "execution_plan", "operation_%d" % i),
                         ("status", "release_session", "starting"),
                         ("log", "WARNING", "Session root not found for release"),
                         ("progress", "execution_plan", percent)]
        expected += [("completion", "execution_plan", True),
                     ("log", "INFO", "Execution plan completed successfully")] + pl.success_tail()
        self.assertEvents(r, expected, 0)

    def test_progress_for_other_counts(self):
        for count, percents in ((1, [100]), (6, [16, 33, 50, 66, 83, 100]), (7, [14, 28, 42, 57, 71, 85, 100])):
            with self.subTest(count=count):
                ops = [{"type": "releasesession", "sessionRoot": self.scratch.winpath("gone")}] * count
                r = run_plan(self.plan(ops))
                self.assertEqual(r.returncode, 0, r)
                self.assertEqual([e["progress"] for e in r.events if e.get("event_type") == "progress"], percents)

    def test_stops_at_the_first_failure(self):
        first, last = self.scratch.path("first"), self.scratch.path("last")
        os.makedirs(os.path.join(last, "session"))
        ops = [
            {"type": "write_receipt", "targetPath": self.scratch.winpath("first"), "version": "1.0.0"},
            {"type": "prune_orphans", "targetPath": self.scratch.winpath("first")},
            {"type": "write_receipt", "targetPath": self.scratch.winpath("last"), "version": "1.0.0"},
            {"type": "release_session", "sessionRoot": self.scratch.winpath("last", "session")},
        ]
        r = run_plan(self.plan(ops))
        self.assertEqual(r.returncode, 1, r.stdout_text)
        self.assertEqual(pl.briefs(r.events, ("execution_plan", "write_receipt", "prune_orphans"), levels=()), [
            ("status", "execution_plan", "loading_plan"), ("status", "execution_plan", "executing"),
            ("status", "execution_plan", "operation_0"),
            ("status", "write_receipt", "starting"), ("status", "write_receipt", "completed"),
            ("progress", "execution_plan", 25),
            ("status", "execution_plan", "operation_1"),
            ("status", "prune_orphans", "starting"),
            ("error", "prune_orphans", 1, "Missing component (must be 'client' or 'launcher')")]
            + failed_operation(1, 1))
        # What ran stays; nothing after the failure ran.
        self.assertTrue(os.path.isfile(os.path.join(first, "InstallReceipt.json")))
        self.assertEqual(os.listdir(last), ["session"])


class MissingValues(PlanCase):
    def test_each_type_checks_its_required_values(self):
        t = self.scratch.winpath("target")
        s, f = self.scratch.winpath("session"), self.scratch.winpath("session", "files.json")
        cases = [
            ({"type": "install_prereqs"}, "install_prereqs", "Missing cdnUrl"),
            ({"type": "install_prereqs", "cdnUrl": ""}, "install_prereqs", "Missing cdnUrl"),
            ({"type": "apply_manifest", "manifestUrl": "http://127.0.0.1:9/m.json", "targetPath": t},
             "apply_manifest", "Missing required parameters: manifestUrl, targetPath, cdnUrl"),
            ({"type": "apply_manifest", "cdnUrl": "http://127.0.0.1:9/", "targetPath": t},
             "apply_manifest", "Missing required parameters: manifestUrl, targetPath, cdnUrl"),
            ({"type": "apply_manifest", "cdnUrl": "http://127.0.0.1:9/", "manifestUrl": "http://127.0.0.1:9/m",
              "targetPath": 42}, "apply_manifest", "Missing required parameters: manifestUrl, targetPath, cdnUrl"),
            ({"type": "write_uninstall", "targetPath": t}, "write_uninstall",
             "Missing required parameters: targetPath, version"),
            ({"type": "write_uninstall", "version": "1.0.0"}, "write_uninstall",
             "Missing required parameters: targetPath, version"),
            ({"type": "create_shortcuts", "launcherSubdir": "Launcher"}, "create_shortcuts", "Missing targetPath"),
            ({"type": "write_receipt", "targetPath": t, "version": 2}, "write_receipt",
             "Missing required parameters: targetPath, version"),
            ({"type": "release_session", "sessionRoot": ["x"]}, "release_session", "Missing sessionRoot"),
            ({"type": "prune_orphans", "component": "client", "sessionRoot": s, "filesManifest": f},
             "prune_orphans", "Missing targetPath"),
            ({"type": "prune_orphans", "targetPath": t, "sessionRoot": s, "filesManifest": f},
             "prune_orphans", "Missing component (must be 'client' or 'launcher')"),
            ({"type": "prune_orphans", "targetPath": t, "component": "launcher ", "sessionRoot": s,
              "filesManifest": f}, "prune_orphans", "Invalid component: must be 'client' or 'launcher'"),
            ({"type": "prune_orphans", "targetPath": t, "component": "CLIENT", "sessionRoot": s},
             "prune_orphans", "Missing session parameters: sessionRoot and filesManifest are required"),
            ({"type": "prune_orphans", "targetPath": t, "component": "Launcher", "filesManifest": f},
             "prune_orphans", "Missing session parameters: sessionRoot and filesManifest are required"),
        ]
        for op, name, details in cases:
            with self.subTest(op=op):
                r = run_plan(self.plan([op, {"type": "write_receipt", "targetPath": t, "version": "1.0.0"}]))
                self.assertEvents(r, pl.STARTUP + pl.plan_head(2) + [
                    ("status", "execution_plan", "operation_0"), ("status", name, "starting"),
                    ("error", name, 1, details)] + failed_operation(0, 1) + pl.failure_tail(1), 1)
                self.assertFalse(os.path.exists(self.scratch.path("target")))


class ApplyManifest(PlanCase):
    def test_applies_a_manifest_from_the_server(self):
        files = {"KorvelClient.exe": b"MZ client", "data/a.pak": b"a" * 70000, "data/readme.txt": b"hello\n"}
        with NginxServer() as ng:
            url = pl.publish(ng, "m.json", "2.0.0", files)
            target = self.scratch.winpath("Korvel")
            r = run_plan(self.plan([{"type": "apply_manifest", "manifestUrl": url, "targetPath": target,
                                     "cdnUrl": ng.url("/")}]))
        self.assertEqual(r.returncode, 0, r.stdout_text)
        self.assertEqual(pl.tree(self.scratch.path("Korvel")), files)
        self.assertEqual(pl.briefs(r.events, ("execution_plan", "apply_manifest"), levels=()), [
            ("status", "execution_plan", "loading_plan"), ("status", "execution_plan", "executing"),
            ("status", "execution_plan", "operation_0"),
            ("status", "apply_manifest", "starting"), ("progress", "execution_plan", 100),
            ("completion", "execution_plan", True)])
        # The manifest handler's own events lie between "starting" and the progress.
        ops = [e.get("operation") for e in r.events]
        start, done = ops.index("apply_manifest"), ops.index("execution_plan", ops.index("apply_manifest"))
        self.assertIn("manifest_processing", ops[start:done])

    def test_failing_manifest_stops_the_plan(self):
        with NginxServer() as ng:
            r = run_plan(self.plan([
                {"type": "apply_manifest", "manifestUrl": ng.url("/missing.json"),
                 "targetPath": self.scratch.winpath("Korvel"), "cdnUrl": ng.url("/")},
                {"type": "write_receipt", "targetPath": self.scratch.winpath("Korvel"), "version": "1.0.0"}]))
        # The manifest is not found (404): the client's HTTP error.
        code = 163
        self.assertEqual(r.returncode, code, r.stdout_text)
        self.assertEqual(pl.briefs(r.events, ("execution_plan",), levels=())[-1:], failed_operation(0, code))
        self.assertNotIn(("status", "execution_plan", "operation_1"), pl.briefs(r.events))
        self.assertFalse(os.path.exists(self.scratch.path("Korvel", "InstallReceipt.json")))

    def test_session_form(self):
        os.makedirs(self.scratch.path("session"))
        with open(self.scratch.path("files.json"), "w") as f:
            f.write("{}")
        base = {"type": "apply_manifest", "manifestUrl": "http://127.0.0.1:9/m.json",
                "targetPath": self.scratch.winpath("Korvel"), "cdnUrl": "http://127.0.0.1:9/"}
        cases = [
            ({"sessionRoot": self.scratch.winpath("nosession"), "filesManifest": self.scratch.winpath("files.json")},
             141, "Session root not found"),
            ({"sessionRoot": self.scratch.winpath("session"), "filesManifest": self.scratch.winpath("nofiles.json")},
             141, "Files manifest not found"),
        ]
        for extra, code, details in cases:
            with self.subTest(details=details):
                r = run_plan(self.plan([dict(base, **extra)]))
                self.assertEqual(r.returncode, code, r.stdout_text)
                self.assertEqual(pl.briefs(r.events, ("apply_manifest", "execution_plan"), levels=())[2:], [
                    ("status", "execution_plan", "operation_0"), ("status", "apply_manifest", "starting"),
                    ("error", "apply_manifest", code, details)] + failed_operation(0, code))


class WriteReceipt(PlanCase):
    def test_writes_the_receipt_into_a_new_folder(self):
        target = self.scratch.winpath("New", "Korvel")
        r = run_plan(self.plan([{"type": "write_receipt", "targetPath": target, "version": "3.1.0",
                                 "launcherExecutable": target + "\\Launcher\\KorvelLauncher.exe"}]))
        self.assertEqual(r.returncode, 0, r.stdout_text)
        self.assertEqual(pl.briefs(r.events, ("write_receipt",), levels=()),
                         [("status", "write_receipt", "starting"), ("status", "write_receipt", "completed")])
        with open(self.scratch.path("New", "Korvel", "InstallReceipt.json"), encoding="utf-8") as f:
            receipt = json.load(f)
        self.assertEqual(receipt["version"], "3.1.0")
        self.assertEqual(receipt["installPath"], target)
        self.assertEqual(receipt["components"]["launcher"]["files"], [target + "\\Launcher\\KorvelLauncher.exe"])


class ReleaseSession(PlanCase):
    def make_session(self, name="session"):
        os.makedirs(self.scratch.path(name, "files", "deep"))
        for rel in ("manifest.json", "files/a.bin", "files/deep/b.bin"):
            with open(self.scratch.path(name, *rel.split("/")), "wb") as f:
                f.write(b"x")
        return self.scratch.winpath(name)

    def test_removes_the_session_folder(self):
        session = self.make_session()
        r = run_plan(self.plan([{"type": "release_session", "sessionRoot": session}]))
        self.assertEqual(r.returncode, 0, r.stdout_text)
        self.assertFalse(os.path.exists(self.scratch.path("session")))
        self.assertEqual(pl.briefs(r.events, ("release_session",), levels=()),
                         [("status", "release_session", "starting"), ("status", "release_session", "completed")])

    def test_removal_failure_is_reported_and_stops_the_plan(self):
        # A file is no session folder: the removal fails, the file stays.
        with open(self.scratch.path("file.txt"), "w") as f:
            f.write("x")
        r = run_plan(self.plan([{"type": "release_session", "sessionRoot": self.scratch.winpath("file.txt")},
                                {"type": "write_receipt", "targetPath": self.scratch.winpath("after"),
                                 "version": "1.0.0"}]))
        self.assertEqual(r.returncode, 147, r.stdout_text)
        self.assertEqual(pl.briefs(r.events, ("release_session", "execution_plan"), levels=())[-3:], [
            ("status", "release_session", "starting"),
            ("error", "release_session", 147, "Failed to remove session directory")] + failed_operation(0, 147))
        self.assertTrue(os.path.isfile(self.scratch.path("file.txt")))
        self.assertFalse(os.path.exists(self.scratch.path("after")))

    def test_command_form(self):
        session = self.make_session()
        ops = ("startup", "session_release", "main_operation")
        r = harness.run_elevated(["--release-session", "--session-root", session])
        self.assertEqual(r.returncode, 0, r.stdout_text)
        self.assertEqual(pl.briefs(r.events, ops), pl.STARTUP + [
            ("status", "session_release", "starting"), ("status", "session_release", "completed")]
            + pl.success_tail())
        self.assertFalse(os.path.exists(self.scratch.path("session")))
        r = harness.run_elevated(["--release-session", "--session-root", session])
        self.assertEqual(r.returncode, 0, r.stdout_text)
        self.assertEqual(pl.briefs(r.events, ops), pl.STARTUP + [
            ("status", "session_release", "starting"), ("log", "WARNING", "Session root not found for release")]
            + pl.success_tail())

    def test_refuses_folders_never_to_be_removed_whole(self):
        # The user's own shell folders are never removed as a whole, whoever
        # names them; each holds a marker that must survive.
        profile = "\\".join(harness.prefix_temp_dir().split("\\")[:3])
        for root in (profile + "\\Music", profile + "\\Videos\\.", profile + "\\Videos\\"):
            folder = harness.prefix_path(root.rstrip("\\.").rstrip("\\"))
            os.makedirs(folder, exist_ok=True)
            marker = os.path.join(folder, "korvel-marker-%s" % os.getpid())
            with open(marker, "w") as f:
                f.write("keep")
            self.addCleanup(lambda m=marker: os.path.exists(m) and os.remove(m))
            for args, name in ((["--execute-plan", self.plan([{"type": "release_session", "sessionRoot": root}])],
                                "release_session"),
                               (["--release-session", "--session-root", root], "session_release")):
                with self.subTest(root=root, operation=name):
                    r = harness.run_elevated(args)
                    self.assertEqual(r.returncode, 147, r.stdout_text)
                    errors = [e for e in r.events if e.get("event_type") == "error" and e["operation"] == name]
                    self.assertEqual(len(errors), 1)
                    self.assertEqual(errors[0]["error_code"], 147)
                    self.assertTrue(errors[0]["details"].startswith("Refusing to remove folder %s: " % root),
                                    errors[0])
                    self.assertTrue(os.path.exists(marker))

    def test_refuses_a_root_that_is_not_fully_qualified_before_looking_for_it(self):
        # "V:" names the current folder of a drive, "session" that of the
        # process: neither is looked up, whether or not anything is there.
        for root in ("V:", "V:session", "session"):
            for args, name in ((["--execute-plan", self.plan([{"type": "release_session", "sessionRoot": root}])],
                                "release_session"),
                               (["--release-session", "--session-root", root], "session_release")):
                with self.subTest(root=root, operation=name):
                    r = harness.run_elevated(args)
                    self.assertEqual(r.returncode, 147, r.stdout_text)
                    self.assertEqual([(e["error_code"], e["details"]) for e in r.events
                                      if e.get("event_type") == "error" and e["operation"] == name],
                                     [(147, "Refusing to remove folder %s: not a fully qualified path" % root)])
                    self.assertNotIn("Session root not found for release",
                                     [e.get("message") for e in r.events])

if __name__ == "__main__":
    unittest.main()
