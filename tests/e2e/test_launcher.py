"""KorvelElevatedLauncher through the real program under Wine, with the
stub_helper tool (tests/tools) standing in for the elevated helper: it
records the arguments it received and exits with the code a test chooses.
Under Wine "runas" starts the program without a prompt, so a declined
prompt (exit 3) is covered by the launcher's unit test instead."""
import json
import os
import re
import shutil
import subprocess
import tempfile
import unittest

import harness
import pipetools

NOT_FOUND = "Error: Helper executable not found: "
START_FAILED = "Failed to launch elevated helper ("


class LauncherCase(unittest.TestCase):
    def setUp(self):
        self.scratch = harness.Scratch("launcher")
        self.record_host = self.scratch.path("record.json")
        self.stub = "K:\\stub_helper.exe"

    def tearDown(self):
        self.scratch.cleanup()

    def launch(self, args, exit_code=0, exe=None, cwd=None):
        env = dict(pipetools._env())
        env["KORVEL_STUB_RECORD"] = harness.to_win(self.record_host)
        env["KORVEL_STUB_EXIT"] = str(exit_code)
        exe = exe or os.path.join(harness.BIN_DIR, "KorvelElevatedLauncher.exe")
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            proc = subprocess.run([harness.WINERUN, exe] + list(args), stdin=subprocess.DEVNULL,
                                  stdout=out, stderr=err, timeout=300, env=env, cwd=cwd or harness.BIN_DIR)
            out.seek(0)
            err.seek(0)
            proc.stdout = out.read()
            proc.stderr = err.read()
        return harness.Result(proc)

    def received(self):
        """What the stub helper was given, or None when it never ran."""
        try:
            with open(self.record_host, encoding="utf-8") as f:
                return json.load(f)
        except FileNotFoundError:
            return None


class Forwarding(LauncherCase):
    def test_quoted_arguments_arrive_unchanged(self):
        cases = [
            ["--execute-plan", "C:\\plans\\plan.json"],
            ["with blank", "tab\there", "", "x", ""],
            ["C:\\Program Files\\", "two trailing\\\\", "trailing\\"],
            ['say "hi"', 'ends in \\"', '\\"', '"', '""', "a\\\\b c"],
            ["  ", "\\\\server\\share\\a b\\", "unicode \u00e9\u4e2d"],
        ]
        for forwarded in cases:
            with self.subTest(forwarded=forwarded):
                r = self.launch(["--helper", self.stub, "--pipe", "\\\\.\\pipe\\korvel x", "--"] + forwarded)
                self.assertEqual(r.returncode, 0, r.stderr_text)
                self.assertEqual(r.stderr_text, "")
                self.assertEqual(r.stdout, b"")
                self.assertEqual(self.received()["argv"],
                                 ["--progress-pipe", "\\\\.\\pipe\\korvel x"] + forwarded)

    def test_plain_arguments_are_joined_unquoted(self):
        r = self.launch(["--pipe", "\\\\.\\pipe\\k", "--helper", self.stub, "--execute-plan", "T:\\plan.json"])
        self.assertEqual(r.returncode, 0, r.stderr_text)
        line = self.received()["command_line"]
        self.assertTrue(line.endswith(" --progress-pipe \\\\.\\pipe\\k --execute-plan T:\\plan.json"), line)
        # The helper starts in its own folder.
        self.assertEqual(self.received()["cwd"].rstrip("\\"), "K:")

    def test_double_dash(self):
        cases = [
            # Options of the launcher after "--" belong to the helper.
            (["--helper", self.stub, "--pipe", "p", "--", "--pipe", "q", "--helper", "h", "--", "x"],
             ["--progress-pipe", "p", "--pipe", "q", "--helper", "h", "--", "x"]),
            # Unknown options before "--" are forwarded too, in order.
            (["--verbose", "--helper", self.stub, "--release-session", "--pipe", "p", "--session-root", "S"],
             ["--progress-pipe", "p", "--verbose", "--release-session", "--session-root", "S"]),
            (["--helper", self.stub, "--pipe", "p", "--"], ["--progress-pipe", "p"]),
        ]
        for args, argv in cases:
            with self.subTest(args=args):
                r = self.launch(args)
                self.assertEqual(r.returncode, 0, r.stderr_text)
                self.assertEqual(self.received()["argv"], argv)

    def test_exit_codes_are_relayed(self):
        for code in (0, 7, 141, 1, 4, 104):
            with self.subTest(code=code):
                r = self.launch(["--helper", self.stub, "--pipe", "p", "--execute-plan", "x"], exit_code=code)
                self.assertEqual(r.returncode, code, r)
                self.assertEqual(r.stderr_text, "")
                self.assertIsNotNone(self.received())


class Refusals(LauncherCase):
    def test_command_line_errors(self):
        missing = self.scratch.winpath("absent", "KorvelElevated.exe")
        folder = self.scratch.winpath("folder")
        os.makedirs(self.scratch.path("folder"))
        cases = [
            ([], "Error: --pipe is required"),
            (["--helper", self.stub], "Error: --pipe is required"),
            (["--helper", self.stub, "--pipe", ""], "Error: --pipe is required"),
            (["--helper", self.stub, "--", "--pipe", "p"], "Error: --pipe is required"),
            (["--helper", self.stub, "--pipe"], "Error: --pipe requires a pipe name"),
            (["--pipe", "p", "--helper"], "Error: --helper requires a path"),
            (["--pipe", "p", "--helper", missing], NOT_FOUND + missing),
            # A folder would make "runas" open a file manager and never end.
            (["--pipe", "p", "--helper", folder], NOT_FOUND + folder),
            (["--pipe", "p", "--helper", "K:\\"], NOT_FOUND + "K:\\"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                if os.path.exists(self.record_host):
                    os.remove(self.record_host)
                r = self.launch(args)
                self.assertEqual(r.returncode, 1, r)
                self.assertEqual(r.stderr_text, message + "\n")
                self.assertEqual(r.stdout, b"")
                self.assertIsNone(self.received())

    def test_helper_that_cannot_be_started(self):
        for name, data in (("garbage.exe", b"this is not a program"), ("notes.txt", b"plain text")):
            with self.subTest(helper=name):
                with open(self.scratch.path(name), "wb") as f:
                    f.write(data)
                r = self.launch(["--pipe", "p", "--helper", self.scratch.winpath(name), "--execute-plan", "x"])
                self.assertEqual(r.returncode, 2, r)
                # Wine reports its own error number and text.
                self.assertTrue(r.stderr_text.startswith(START_FAILED), r.stderr_text)
                self.assertTrue(r.stderr_text.endswith("\n"))
                self.assertEqual(r.stdout, b"")


class LengthLimit(LauncherCase):
    """The system starts a program with at most 32768 characters of command
    line (its NUL included): the helper's full path in quotes, a blank and
    the parameters. Wine refuses to start the launcher itself with a longer
    line, so the helper is named by a short relative path from a deep
    current folder: its full path makes the helper's line the longer one."""

    MESSAGE = re.compile(r"^Error: The arguments do not fit in one command line \((\d+) characters, at most 32768\)\n$")

    def test_arguments_up_to_the_limit_arrive_and_longer_ones_start_nothing(self):
        deep = self.scratch.path(*["d" * 60] * 3)
        os.makedirs(deep)
        shutil.copy(os.path.join(harness.BIN_DIR, "stub_helper.exe"), deep)

        def run(filler):
            if os.path.exists(self.record_host):
                os.remove(self.record_host)
            return self.launch(["--helper", ".\\stub_helper.exe", "--pipe", "p", "--execute-plan", filler],
                               exit_code=9, cwd=deep)

        # The first refusal tells how long the line is without the filler.
        probe = "a" * 32600
        r = run(probe)
        self.assertEqual(r.returncode, 1, r.stderr_text[:300])
        match = self.MESSAGE.match(r.stderr_text)
        self.assertIsNotNone(match, r.stderr_text[:300])
        self.assertIsNone(self.received())
        base = int(match.group(1)) - len(probe)
        for extra, fits in ((0, True), (1, False)):
            with self.subTest(extra=extra):
                filler = "a" * (32768 - base + extra)
                r = run(filler)
                if fits:
                    self.assertEqual(r.returncode, 9, r.stderr_text[:300])
                    self.assertEqual(self.received()["argv"], ["--progress-pipe", "p", "--execute-plan", filler])
                else:
                    self.assertEqual(r.returncode, 1, r.stderr_text[:300])
                    self.assertEqual(self.MESSAGE.match(r.stderr_text).group(1), "32769")
                    self.assertIsNone(self.received())


class DefaultHelper(LauncherCase):
    """Without --helper the launcher starts KorvelElevated.exe from its own
    folder. Copies of the launcher and the stub live below K:\\ for this."""

    def place(self, *folders):
        host = os.path.join(harness.BIN_DIR, "launcher-e2e-" + os.path.basename(self.scratch.host), *folders)
        os.makedirs(host)
        self.addCleanup(shutil.rmtree, os.path.join(harness.BIN_DIR,
                                                    "launcher-e2e-" + os.path.basename(self.scratch.host)))
        shutil.copy(os.path.join(harness.BIN_DIR, "KorvelElevatedLauncher.exe"), host)
        shutil.copy(os.path.join(harness.BIN_DIR, "stub_helper.exe"), os.path.join(host, "KorvelElevated.exe"))
        return host

    def test_helper_beside_the_launcher(self):
        host = self.place("Launcher")
        r = self.launch(["--pipe", "p", "--execute-plan", "T:\\plan.json"], exit_code=141,
                        exe=os.path.join(host, "KorvelElevatedLauncher.exe"))
        self.assertEqual(r.returncode, 141, r.stderr_text)
        got = self.received()
        self.assertEqual(got["argv"], ["--progress-pipe", "p", "--execute-plan", "T:\\plan.json"])
        self.assertEqual(got["cwd"], harness.to_win(host))

    def test_launcher_path_longer_than_260_characters(self):
        host = self.place(*["d" * 60] * 4)
        self.assertGreater(len(harness.to_win(host)), 260)
        r = self.launch(["--pipe", "p"], exit_code=7, exe=os.path.join(host, "KorvelElevatedLauncher.exe"))
        # The whole path is read: the helper beside it is found. Wine's
        # "runas" may then be unable to start a program at such a path.
        self.assertNotIn(NOT_FOUND, r.stderr_text)
        if r.returncode == 7:
            self.assertEqual(self.received()["argv"], ["--progress-pipe", "p"])
        else:
            self.assertEqual(r.returncode, 2, r)
            self.assertTrue(r.stderr_text.startswith(START_FAILED), r.stderr_text)


class Binary(unittest.TestCase):
    def setUp(self):
        with open(os.path.join(harness.BIN_DIR, "KorvelElevatedLauncher.exe"), "rb") as f:
            self.image = f.read()

    def test_runs_unelevated(self):
        self.assertIn(b'level="asInvoker"', self.image)
        self.assertNotIn(b"requireAdministrator", self.image)

    def test_links_only_what_it_needs(self):
        image = self.image.lower()
        for dll in (b"libstdc++-6.dll", b"libgcc_s_seh-1.dll", b"libwinpthread-1.dll", b"jsoncpp.dll",
                    b"winhttp.dll", b"bcrypt.dll", b"wintrust.dll", b"ole32.dll", b"advapi32.dll"):
            self.assertNotIn(dll, image)


if __name__ == "__main__":
    unittest.main()
