"""The whole road of one request, as the product's launcher application
takes it: it serves a progress pipe (the pipe_server tool), starts
KorvelElevatedLauncher with --pipe and --execute-plan, the launcher starts
the real KorvelElevated through "runas", which runs a plan applying a
manifest from nginx and streams every event over the pipe; the launcher
exits with the helper's code."""
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

import harness  # noqa: E402
import pipetools  # noqa: E402
import plantools as pl  # noqa: E402
from pipetools import PipeServer  # noqa: E402
from servers import NginxServer  # noqa: E402


def launch(pipe, *args):
    return pipetools.run("KorvelElevatedLauncher.exe", ["--pipe", pipe] + list(args))


class Road(unittest.TestCase):
    def setUp(self):
        self.scratch = harness.Scratch("road")
        self.servers = []

    def tearDown(self):
        for s in self.servers:
            s.stop()
        self.scratch.cleanup()

    def server(self, tag):
        s = PipeServer(self.scratch, pipetools.pipe_name(tag))
        self.servers.append(s)
        return s

    def test_plan_through_the_launcher(self):
        files = {"KorvelClient.exe": b"MZ road client", "data/world.pak": os.urandom(300000),
                 "Launcher/KorvelLauncher.exe": b"MZ launcher"}
        target = self.scratch.winpath("Korvel")
        with NginxServer() as ng:
            url = pl.publish(ng, "manifest.json", "5.0.0", files)
            plan = pl.write_plan(self.scratch, [
                {"type": "apply_manifest", "manifestUrl": url, "targetPath": target, "cdnUrl": ng.url("/")},
                {"type": "write_receipt", "targetPath": target, "version": "5.0.0"}])
            server = self.server("road")
            r = launch(server.name, "--execute-plan", plan)
            self.assertEqual(server.wait(), 0)
        self.assertEqual(r.returncode, 0, r.stderr_text)
        self.assertEqual(r.stdout, b"")
        self.assertEqual(r.stderr, b"")
        self.assertEqual(pl.tree(self.scratch.path("Korvel")).keys(), set(files) | {"InstallReceipt.json"})
        for rel, data in files.items():
            self.assertEqual(pl.tree(self.scratch.path("Korvel"))[rel], data)

        raw = server.raw()
        self.assertTrue(raw.endswith(b"\n"))
        events = server.lines()
        self.assertEqual(len(events), raw.count(b"\n"))  # every line is an event
        # Every event came over the pipe, in order, from one helper process.
        self.assertEqual(len({e["pid"] for e in events}), 1)
        self.assertEqual(sorted(events, key=lambda e: e["timestamp"]), events)
        got = pl.briefs(events, ("startup", "execute_plan", "execution_plan", "apply_manifest", "write_receipt",
                                 "main_operation"))
        self.assertEqual(got[:2], pl.STARTUP)
        self.assertEqual(got[2:], pl.plan_head(2) + [
            ("status", "execution_plan", "operation_0"), ("status", "apply_manifest", "starting"),
            ("progress", "execution_plan", 50),
            ("status", "execution_plan", "operation_1"), ("status", "write_receipt", "starting"),
            ("status", "write_receipt", "completed"),
            ("progress", "execution_plan", 100),
            ("completion", "execution_plan", True),
            ("log", "INFO", "Execution plan completed successfully")] + pl.success_tail())
        # The manifest handler's events travel the same way, between the
        # operation's start and the plan's progress.
        ops = [e.get("operation") for e in events]
        first = ops.index("apply_manifest")
        self.assertIn("manifest_processing", ops[first:ops.index("execution_plan", first)])

    def test_failing_plan_code_comes_back_through_the_launcher(self):
        with NginxServer() as ng:
            plan = pl.write_plan(self.scratch, [
                {"type": "apply_manifest", "manifestUrl": ng.url("/absent.json"),
                 "targetPath": self.scratch.winpath("Korvel"), "cdnUrl": ng.url("/")},
                {"type": "write_receipt", "targetPath": self.scratch.winpath("Korvel"), "version": "1.0.0"}])
            server = self.server("road-fail")
            r = launch(server.name, "--execute-plan", plan)
            self.assertEqual(server.wait(), 0)
        events = server.lines()
        # The manifest is not found (404): the client's HTTP error.
        code = 163
        self.assertEqual(r.returncode, code, r)
        self.assertEqual(r.stderr, b"")
        self.assertEqual(pl.briefs(events, ("execution_plan",), levels=())[-1],
                         ("error", "execution_plan", code, "Operation 0 failed, aborting plan"))
        self.assertEqual(pl.briefs(events)[-2:], pl.failure_tail(code))
        self.assertFalse(os.path.exists(self.scratch.path("Korvel", "InstallReceipt.json")))

    def test_plan_that_does_not_load(self):
        server = self.server("road-missing")
        r = launch(server.name, "--execute-plan", self.scratch.winpath("absent.json"))
        self.assertEqual(server.wait(), 0)
        self.assertEqual(r.returncode, 141, r)
        self.assertEqual(pl.briefs(server.lines())[-4:], [
            ("error", "execution_plan", 141, "Plan file not found"),
            ("error", "execute_plan", 141, "Failed to load plan file")] + pl.failure_tail(141))


if __name__ == "__main__":
    unittest.main()
