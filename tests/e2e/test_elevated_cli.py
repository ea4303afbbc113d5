"""KorvelElevated as a caller starts it: exit codes, console texts and the
event lines of its start-up."""
import hashlib
import json
import os
import re
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

import harness  # noqa: E402
import pipetools  # noqa: E402
from pipetools import run_elevated, run_not_admin  # noqa: E402
from servers import FaultServer, Reply  # noqa: E402

PROGRAM = "K:\\KorvelElevated.exe"

USAGE = [
    "Korvel Elevated Helper v1.0.0",
    "Privileged operations for Korvel installation and updates",
    "",
    "Usage:",
    "  %s --execute-plan <plan-file.json>",
    "  %s --install-prereqs --cdn <root-url>",
    "  %s --apply-manifest <manifest-url> --target <path> --cdn <root-url>",
    "  %s --write-uninstall --target <path> --version <x.y.z>",
    "  %s --create-shortcuts --target <path>",
    "  %s --release-session --session-root <path>",
    "  %s --remove --target <path> [--purge]",
    "",
    "Commands:",
    "  --execute-plan         Execute a batch of operations from JSON plan (single UAC prompt)",
    "  --install-prereqs      Install VC++ and DirectX prerequisites",
    "  --apply-manifest       Download, verify and apply update manifest",
    "  --write-uninstall      Write uninstall registry entries",
    "  --create-shortcuts     Create Start Menu shortcuts",
    "  --release-session      Remove a prepared download session",
    "  --remove               Remove installation (with optional --purge)",
    "",
    "Options:",
    "  --cdn <url>            CDN root URL for downloads",
    "  --session-root <path>  Use pre-downloaded session contents",
    "  --files-manifest <path> Descriptor JSON for pre-downloaded files",
    "  --target <path>        Installation target directory",
    "  --version <x.y.z>      Version string for uninstall entry",
    "  --purge                Remove user data when uninstalling",
    "  --progress-pipe <name> Internal: named pipe for streaming JSON logs",
    "  --verbose, -v          Enable verbose logging",
    "  --help, -h, /?         Show this help message",
    "",
    "Exit Codes:",
    "  0    Success",
    "  1    Invalid arguments",
    "  2    Insufficient privileges",
    "  100+ Command-specific errors (see documentation)",
    "",
    "Output: Progress and status information is written as JSONL to stdout.",
    "Errors and diagnostics are written to stderr.",
]


def usage_text(program=PROGRAM):
    return "".join((line % program if "%s" in line else line) + "\n" for line in USAGE).encode("utf-8")


NOT_ADMIN = (b"Error: This application requires administrator privileges.\n"
             b"Please run as administrator or from an elevated command prompt.\n")

TIMESTAMP = re.compile(r"^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z$")


def command_cases(scratch):
    """Each command with arguments that parse; what they name does not exist,
    so a command that runs can only fail on it."""
    missing = scratch.winpath("missing")
    closed = "http://127.0.0.1:9/"  # the discard port: nothing listens
    return [
        ("prereq_install", ["--install-prereqs", "--cdn", closed]),
        ("manifest_apply", ["--apply-manifest", closed + "manifest.json", "--target", missing, "--cdn", closed]),
        ("uninstall_write", ["--write-uninstall", "--target", missing, "--version", "1.0.0"]),
        ("shortcuts_create", ["--create-shortcuts", "--target", missing]),
        ("session_release", ["--release-session", "--session-root", missing]),
        ("remove", ["--remove", "--target", missing]),
        ("execute_plan", ["--execute-plan", scratch.winpath("missing.json")]),
    ]


class EventStream:
    """Checks shared by every run that reaches the command."""

    @staticmethod
    def check(test, raw, operation, exit_code):
        test.assertTrue(raw.endswith(b"\n"), raw)
        test.assertNotIn(b"\r", raw)
        lines = raw.split(b"\n")[:-1]
        events = []
        for line in lines:
            test.assertTrue(all(b < 0x80 for b in line), line)
            test.assertTrue(line.startswith(b"{") and line.endswith(b"}"), line)
            events.append(json.loads(line.decode("ascii")))
        test.assertGreaterEqual(len(events), 5, raw)
        for e in events:
            test.assertEqual(e["process"], "KorvelElevated")
            test.assertIsInstance(e["pid"], int)
            test.assertEqual(e["pid"], events[0]["pid"])
            test.assertRegex(e["timestamp"], TIMESTAMP)
            test.assertEqual(list(e.keys()), sorted(e.keys()), e)
        stamps = [e["timestamp"] for e in events]
        test.assertEqual(stamps, sorted(stamps))

        # Step 8: the two start-up events, exactly.
        test.assertEqual({k: v for k, v in events[0].items() if k not in ("pid", "timestamp")},
                         {"event_type": "diagnostic", "level": "INFO", "message": "KorvelElevated starting",
                          "process": "KorvelElevated"})
        test.assertEqual({k: v for k, v in events[1].items() if k not in ("pid", "timestamp")},
                         {"event_type": "status", "operation": "startup", "status": "checking_environment",
                          "process": "KorvelElevated"})
        # The command begins with its "starting" status.
        test.assertEqual(events[2]["event_type"], "status")
        test.assertEqual(events[2]["operation"], operation)
        test.assertEqual(events[2]["status"], "starting")
        # Step 10.
        last, final = events[-2], events[-1]
        if exit_code == 0:
            test.assertEqual({k: v for k, v in last.items() if k not in ("pid", "timestamp")},
                             {"event_type": "completion", "operation": "main_operation", "success": True,
                              "process": "KorvelElevated"})
            test.assertEqual(final["level"], "INFO")
            test.assertEqual(final["message"], "KorvelElevated completed successfully")
        else:
            test.assertEqual(last["event_type"], "error")
            test.assertEqual(last["operation"], "main_operation")
            test.assertEqual(last["error_code"], exit_code)
            test.assertNotIn("details", last)
            test.assertIsInstance(last["error_message"], str)
            test.assertEqual(final["event_type"], "diagnostic")
            test.assertEqual(final["level"], "FATAL")
            test.assertEqual(final["message"], "KorvelElevated failed with error: %d" % exit_code)
            test.assertNotIn("component", final)
        return events


class Binary(unittest.TestCase):
    def setUp(self):
        with open(os.path.join(harness.BIN_DIR, "KorvelElevated.exe"), "rb") as f:
            self.image = f.read()

    def test_embeds_its_application_manifest(self):
        for text in (b'level="requireAdministrator"', b"PerMonitorV2",
                     b"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # Windows 7
                     b"{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # Windows 8
                     b"{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # Windows 8.1
                     b"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"):  # Windows 10
            self.assertIn(text, self.image)

    def test_needs_no_runtime_dll(self):
        for dll in (b"libstdc++-6.dll", b"libgcc_s_seh-1.dll", b"libwinpthread-1.dll", b"jsoncpp.dll"):
            self.assertNotIn(dll.lower(), self.image.lower())


class NoCommand(unittest.TestCase):
    def test_no_arguments_prints_version_and_usage_and_exits_1(self):
        r = run_elevated([])
        self.assertEqual(r.returncode, 1, r)
        self.assertEqual(r.stdout, b"KorvelElevated 1.0.0\n" + usage_text())
        self.assertEqual(r.stderr, b"")
        self.assertEqual(r.events, [])

    def test_flags_without_a_command_print_version_and_usage(self):
        for args in (["--verbose"], ["-v", "--purge"], ["--cdn", "x", "--target", "y"]):
            with self.subTest(args=args):
                r = run_elevated(args)
                self.assertEqual(r.returncode, 1, r)
                self.assertEqual(r.stdout, b"KorvelElevated 1.0.0\n" + usage_text())
                self.assertEqual(r.stderr, b"")

    def test_help_prints_usage_and_exits_0(self):
        for args in (["--help"], ["-h"], ["/?"], ["-v", "--help"]):
            with self.subTest(args=args):
                r = run_elevated(args)
                self.assertEqual(r.returncode, 0, r)
                self.assertEqual(r.stdout, usage_text())
                self.assertEqual(r.stderr, b"")

    def test_help_with_a_valid_command_runs_nothing(self):
        scratch = harness.Scratch("help-cmd")
        try:
            for _, args in command_cases(scratch):
                with self.subTest(args=args):
                    r = run_elevated(args + ["--help"])
                    self.assertEqual(r.returncode, 0, r)
                    self.assertEqual(r.stdout, usage_text())
                    self.assertEqual(r.stderr, b"")
        finally:
            scratch.cleanup()


class CommandLineErrors(unittest.TestCase):
    CASES = [
        (["--bogus"], "Error: Unknown argument: --bogus"),
        ([""], "Error: Unknown argument: "),
        (["--Verbose"], "Error: Unknown argument: --Verbose"),
        (["--cdn=x"], "Error: Unknown argument: --cdn=x"),
        (["--help", "--bogus"], "Error: Unknown argument: --bogus"),
        (["--install-prereqs", "--install-prereqs"], "Error: Multiple commands specified"),
        (["--remove", "--apply-manifest"], "Error: Multiple commands specified"),
        (["--apply-manifest"], "Error: --apply-manifest requires manifest URL"),
        (["--execute-plan"], "Error: --execute-plan requires plan file path"),
        (["--cdn"], "Error: --cdn requires URL"),
        (["--target"], "Error: --target requires path"),
        (["--session-root"], "Error: --session-root requires path"),
        (["--files-manifest"], "Error: --files-manifest requires path"),
        (["--progress-pipe"], "Error: --progress-pipe requires pipe name"),
        (["--version"], "Error: --version requires version string"),
        (["--install-prereqs"], "Error: --install-prereqs requires --cdn"),
        (["--apply-manifest", "u", "--target", "t"], "Error: --apply-manifest requires --target and --cdn"),
        (["--apply-manifest", "u", "--target", "t", "--cdn", "c", "--session-root", "s"],
         "Error: --session-root and --files-manifest must be provided together"),
        (["--write-uninstall", "--target", "t"], "Error: --write-uninstall requires --target and --version"),
        (["--create-shortcuts"], "Error: --create-shortcuts requires --target"),
        (["--release-session"], "Error: --release-session requires --session-root"),
        (["--remove", "--target", ""], "Error: --remove requires --target"),
        (["--help", "--remove"], "Error: --remove requires --target"),
        (["--execute-plan", ""], "Error: --execute-plan requires plan file path"),
    ]

    def test_each_message_on_standard_error_with_exit_1(self):
        for args, message in self.CASES:
            with self.subTest(args=args):
                r = run_elevated(args)
                self.assertEqual(r.returncode, 1, r)
                self.assertEqual(r.stderr, message.encode("utf-8") + b"\n")
                self.assertEqual(r.stdout, b"")

    def test_non_latin1_text_reaches_standard_error_as_utf8(self):
        arg = "--ziel\u00e9\u4e2d\u0416\U0001F600"
        r = run_elevated([arg])
        self.assertEqual(r.returncode, 1, r)
        self.assertEqual(r.stderr, ("Error: Unknown argument: " + arg + "\n").encode("utf-8"))

    def test_command_line_errors_come_before_the_pipe(self):
        # A pipe that does not exist would take 30 s and exit 7.
        missing = pipetools.pipe_name("never")
        for args, message in (
                (["--remove", "--progress-pipe", missing], "Error: --remove requires --target"),
                (["--progress-pipe", missing, "--bogus"], "Error: Unknown argument: --bogus")):
            with self.subTest(args=args):
                r = run_elevated(args)
                self.assertEqual(r.returncode, 1, r)
                self.assertEqual(r.stderr, message.encode() + b"\n")
                self.assertEqual(r.stdout, b"")


class NotAdministrator(unittest.TestCase):
    def test_exit_2_with_its_two_lines_before_anything_else(self):
        missing = pipetools.pipe_name("never")
        for args in ([], ["--help"], ["--bogus"], ["--remove", "--target", "T:\\x"],
                     ["--remove", "--target", "T:\\x", "--progress-pipe", missing]):
            with self.subTest(args=args):
                r = run_not_admin(args)
                self.assertEqual(r.returncode, 2, r)
                self.assertEqual(r.stderr, NOT_ADMIN)
                self.assertEqual(r.stdout, b"")


class Commands(unittest.TestCase):
    def setUp(self):
        self.scratch = harness.Scratch("commands")
        # A temporary folder of these runs' own: an apply that finds the
        # shared cache locked by another test's apply says it waits, and
        # the streams compared here would differ by that line.
        os.makedirs(self.scratch.path("temp"))
        self.temp = self.scratch.winpath("temp")

    def tearDown(self):
        self.scratch.cleanup()

    def test_each_command_runs_between_the_start_up_and_final_events(self):
        # At once: each fails on what it names, which does not exist, and
        # the prerequisite and apply runs spend most of their time in the
        # pauses between their download attempts.
        cases = command_cases(self.scratch)
        results = harness.run_all([("KorvelElevated.exe", args) for _, args in cases],
                                  env=pipetools.UTF8_ENV, cwd=harness.BIN_DIR, temp=self.temp)
        for (operation, _), r in zip(cases, results):
            with self.subTest(operation=operation):
                EventStream.check(self, r.stdout, operation, r.returncode)

    def test_verbose_changes_nothing_else(self):
        # An apply that cannot reach its manifest writes DEBUG lines before
        # it fails.
        args = dict(command_cases(self.scratch))["manifest_apply"]
        # The cache already there, or the first run alone says it made it.
        os.makedirs(self.scratch.path("temp", "KorvelCache"))
        quiet = run_elevated(args, temp=self.temp)
        for flag in ("--verbose", "-v"):
            with self.subTest(flag=flag):
                loud = run_elevated(args + [flag], temp=self.temp)
                self.assertEqual(loud.returncode, quiet.returncode, loud)
                events = EventStream.check(self, loud.stdout, "manifest_apply", loud.returncode)
                debug = [e for e in events if e["event_type"] == "diagnostic" and e["level"] == "DEBUG"]
                self.assertTrue(debug, "no DEBUG line with " + flag)
                for e in debug:
                    self.assertTrue(e["message"])
                self.assertFalse([e for e in quiet.events if e.get("level") == "DEBUG"])
                # Without its DEBUG lines the verbose stream is the quiet one.
                plain = lambda evs: [{k: v for k, v in e.items() if k not in ("pid", "timestamp")} for e in evs
                                     if e.get("level") != "DEBUG"]
                self.assertEqual(plain(events), plain(quiet.events))

    def test_an_exception_in_a_command_is_reported_as_4_with_its_text(self):
        # A prepared-session descriptor whose element is no object: the JSON
        # library throws when the command reads it.
        data = b"payload\n"
        digest = hashlib.sha256(data).hexdigest()
        session = self.scratch.path("session")
        os.makedirs(session)
        with open(os.path.join(session, "a.bin"), "wb") as f:
            f.write(data)
        descriptor = self.scratch.path("files.json")
        with open(descriptor, "wb") as f:
            f.write(b'{"files": [5]}')
        doc = harness.signed({"version": "1.0.0", "gameVersion": "1.0.0", "component": "client",
                              "files": [{"path": "a.bin", "size": len(data), "sha256": digest}]})
        with FaultServer() as fs:
            fs.set("/manifest.json", Reply(json.dumps(doc).encode()))
            r = run_elevated(["--apply-manifest", fs.url("/manifest.json"), "--target",
                              self.scratch.winpath("target"), "--cdn", fs.url("/cdn"), "--session-root",
                              self.scratch.winpath("session"), "--files-manifest", self.scratch.winpath("files.json")],
                             temp=self.temp)
        self.assertEqual(r.returncode, 4, r)
        own = [e for e in r.events if e.get("operation") == "manifest_apply" and e["event_type"] == "error"]
        self.assertEqual(len(own), 1, r)
        self.assertEqual(own[0]["error_code"], 4)
        self.assertEqual(own[0]["error_message"], "Internal error occurred")
        # The exception's own text, as JsonCpp words a wrong-typed access.
        self.assertTrue(own[0].get("details", "").startswith("in Json::Value::"), own[0])
        self.assertEqual([(e["event_type"], e.get("operation"), e.get("error_code"), e.get("level"), e.get("message"))
                          for e in r.events[-2:]],
                         [("error", "main_operation", 4, None, None),
                          ("diagnostic", None, None, "FATAL", "KorvelElevated failed with error: 4")])

if __name__ == "__main__":
    unittest.main()
