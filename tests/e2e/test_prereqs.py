"""KorvelElevated --install-prereqs end to end, under Wine (a fresh prefix
reports Windows 7: three rows), against nginx serving the stand-in
installers the build made and whose digests it configured.

The installers record how they were started, write the registry values
their row's detector looks for and exit with the code a test chooses through
the environment. Attacks come from outside: host-made Unix symlinks (which
Wine opens as their targets) and a Windows-side program that tries to
replace an installer once it has been checked."""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import uuid

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

import harness  # noqa: E402
from harness import read, write  # noqa: E402
import prereqtools as pt  # noqa: E402
from servers import FaultServer, NginxServer, Reply  # noqa: E402

SYSTEM32 = harness.prefix_path("C:\\windows\\system32")
DXGI = os.path.join(SYSTEM32, "dxgi.dll")
DXGI_HIDDEN = DXGI + ".korvel-hidden"
DOTNET_DIR = harness.prefix_path("C:\\Program Files\\dotnet")


def snapshot(root):
    out = {}
    for base, dirs, files in os.walk(root):
        for name in files + dirs:
            p = os.path.join(base, name)
            out[os.path.relpath(p, root)] = read(p) if os.path.isfile(p) else None
    return out


class PrereqTestBase(unittest.TestCase):
    def setUp(self):
        self.scratch = harness.Scratch("prereqs")
        self.log = self.scratch.path("installers.log")
        self.log_win = self.scratch.winpath("installers.log")
        pt.remove_download_dir()
        pt.fixture("clear")

    def tearDown(self):
        pt.remove_download_dir()
        pt.clear_settings()
        if os.path.exists(DXGI_HIDDEN):
            os.rename(DXGI_HIDDEN, DXGI)
        shutil.rmtree(DOTNET_DIR, ignore_errors=True)
        pt.fixture("clear")
        pt.fixture("directx", "4.09.00.0904")  # as Wine has it
        self.scratch.cleanup()

    def hide_directx_files(self):
        """Without dxgi.dll and the registry value, DirectX is missing."""
        os.rename(DXGI, DXGI_HIDDEN)

    def run_helper(self, cdn, env=None, cwd=None, extra=()):
        """The stand-ins' settings (KORVEL_TEST_*) go to their file, the rest
        of env to the helper's environment."""
        settings, rest = pt.split_settings(env)
        pt.write_settings(dict({"KORVEL_TEST_INSTALLER_LOG": self.log_win}, **settings))
        return harness.run_elevated(["--install-prereqs", "--cdn", cdn] + list(extra), env=rest, cwd=cwd,
                                    timeout=600)

    def assert_folder_gone(self):
        self.assertFalse(os.path.lexists(pt.download_dir()), os.listdir(os.path.dirname(pt.download_dir())))


class PresentAndMissing(PrereqTestBase):
    def test_everything_present_stops_with_104_and_touches_nothing(self):
        pt.fixture("present")
        with NginxServer() as ng:
            pt.publish(ng)
            r = self.run_helper(ng.url("/"))
            self.assertEqual(r.returncode, 104, r.stdout_text)
            self.assertEqual(ng.requests(), [])
        self.assertEqual(pt.prereq_statuses(r.events), [
            ("vc_redist_x64", "installed", "14.38.33135"),
            ("dotnet_runtime_8_0", "installed", "8.0.11"),
            ("directx_runtime", "installed", "4.09.00.0904")])
        self.assertIn("All required prerequisites are installed", pt.messages(r.events, "INFO"))
        self.assertEqual(pt.install_log(self.log), [])
        self.assert_folder_gone()

    def test_missing_runtimes_are_downloaded_once_run_with_their_arguments_and_verified(self):
        self.hide_directx_files()
        with NginxServer() as ng:
            pt.publish(ng)
            r = self.run_helper(ng.url(""))  # no trailing slash: the URL rule adds one
            self.assertEqual(r.returncode, 0, r.stdout_text)
            requests = ng.requests()
        self.assertEqual(sorted((q["uri"], q["status"], q["range"]) for q in requests),
                         sorted(("/prerequisites/" + f, 200, "") for f in pt.FILES.values()))
        folder = pt.download_dir_win()
        self.assertEqual([(row, cmd) for row, _pid, cmd in pt.install_log(self.log)],
                         [(row, '"%s\\%s" %s' % (folder, pt.FILES[row], pt.ARGS[row]))
                          for row in ("vc_redist_x64", "dotnet_runtime_8_0", "directx_runtime")])
        self.assertEqual(pt.prereq_statuses(r.events), [
            ("vc_redist_x64", "missing", None), ("dotnet_runtime_8_0", "missing", None),
            ("directx_runtime", "missing", None),
            ("vc_redist_x64", "installed", "14.40.33810"), ("dotnet_runtime_8_0", "installed", "8.0.11"),
            ("directx_runtime", "installed", "4.09.00.0904")])
        completions = [e for e in r.events if e.get("event_type") == "completion"
                       and e.get("operation") == "install_prerequisites"]
        self.assertEqual(len(completions), 1)
        self.assertEqual(pt.fixture("show"), {"vc": "14.40.33810", "dotnet": "8.0.11", "directx": "4.09.00.0904"})
        self.assert_folder_gone()

    def test_installers_get_an_environment_of_the_systems_own(self):
        env_log = self.scratch.path("environment.log")
        planted = {"COR_ENABLE_PROFILING": "1", "COR_PROFILER_PATH": self.scratch.winpath("planted.dll"),
                   "DOTNET_STARTUP_HOOKS": self.scratch.winpath("planted.dll"), "KORVEL_PLANTED": "1",
                   "WINEPATH": self.scratch.winpath("onpath")}
        with NginxServer() as ng:
            pt.publish(ng)
            r = self.run_helper(ng.url("/"), env=dict(planted, KORVEL_TEST_ENV_LOG=self.scratch.winpath(
                "environment.log")))
        self.assertEqual(r.returncode, 0, r.stdout_text)
        seen = {}
        with open(env_log, encoding="utf-8") as f:
            for line in f:
                row, variable = line.rstrip("\n").split("\t", 1)
                name, value = variable.split("=", 1) if not variable.startswith("=") else (variable, "")
                seen.setdefault(row, {})[name.upper()] = value
        self.assertEqual(sorted(seen), ["dotnet_runtime_8_0", "vc_redist_x64"])
        folder = pt.download_dir_win()
        for row, variables in seen.items():
            with self.subTest(row=row):
                for name in planted:
                    self.assertNotIn(name, variables)
                self.assertEqual(variables["TEMP"], folder)
                self.assertEqual(variables["TMP"], folder)
                self.assertEqual(variables["COMSPEC"].lower(), "c:\\windows\\system32\\cmd.exe")
                self.assertEqual(variables["PATH"].lower(),
                                 "c:\\windows\\system32;c:\\windows;c:\\windows\\system32\\wbem;"
                                 "c:\\windows\\system32\\windowspowershell\\v1.0\\")

    def test_installer_that_installs_nothing_fails_the_post_installation_check(self):
        with NginxServer() as ng:
            pt.publish(ng)
            r = self.run_helper(ng.url("/"), env={"KORVEL_TEST_INSTALLER_NOREG": "1"})
        self.assertEqual(r.returncode, 103, r.stdout_text)
        self.assertIn("Post-installation verification failed", pt.messages(r.events, "WARNING"))
        self.assertEqual(len(pt.install_log(self.log)), 2)
        self.assert_folder_gone()


class Downloads(PrereqTestBase):
    def test_wrong_digest_three_downloads_two_pauses_161_nothing_run(self):
        with NginxServer() as ng:
            pt.publish(ng, {"vc_redist_x64": pt.installer_bytes("dotnet_runtime_8_0")})
            r = self.run_helper(ng.url("/"))
            requests = ng.requests()
        self.assertEqual(r.returncode, 161, r.stdout_text)
        self.assertEqual([(q["uri"], q["range"]) for q in requests],
                         [("/prerequisites/VC_redist.x64.exe", "")] * 3)
        self.assertEqual(pt.install_log(self.log), [])
        errors = pt.messages(r.events, "ERROR")
        self.assertEqual(sum(m.startswith("Hash mismatch. Expected: ") for m in errors), 3, errors)
        self.assertIn("Download failed after 3 attempts", errors)
        self.assertIn("Failed to download: Visual C++ Redistributable (x64)", errors)
        # Each pause: from "Waiting before retry..." to the next request.
        waits = [i for i, e in enumerate(r.events) if e.get("message") == "Waiting before retry..."]
        self.assertEqual(len(waits), 2)
        for i in waits:
            following = next(e for e in r.events[i + 1:]
                             if e.get("operation") == "download" and e.get("status") == "starting")
            self.assertGreaterEqual((pt.timestamp(following) - pt.timestamp(r.events[i])).total_seconds(), 4.99)
        self.assert_folder_gone()

    def test_resumed_request_answered_416_accepts_a_complete_matching_file(self):
        vc = pt.installer_bytes("vc_redist_x64")
        path = "/prerequisites/VC_redist.x64.exe"
        with FaultServer() as fs:
            # The whole file arrives, but a longer body was announced: the
            # first attempt fails as interrupted. The second, resumed, finds
            # the server busy: only a 416 has the file on disk judged, so the
            # complete file is kept, and the third, resumed again, gets 416.
            fs.set_sequence(path, [Reply(vc, content_length=len(vc) + 100), Reply(b"busy", status=503), Reply(vc)])
            fs.set("/prerequisites/" + pt.FILES["dotnet_runtime_8_0"], Reply(pt.installer_bytes("dotnet_runtime_8_0")))
            r = self.run_helper(fs.url("/"))
            vc_requests = fs.requests_for(path)
        self.assertEqual(r.returncode, 0, r.stdout_text)
        self.assertEqual([q.range for q in vc_requests], [None, "bytes=%d-" % len(vc), "bytes=%d-" % len(vc)])
        warnings = pt.messages(r.events, "WARNING")
        self.assertEqual([w for w in warnings if w.startswith("Download failed: ")],
                         ["Download failed: 167", "Download failed: 163", "Download failed: 163"])
        self.assertFalse([m for m in pt.messages(r.events, "ERROR") if m.startswith("Hash mismatch")])
        self.assertEqual([row for row, _pid, _cmd in pt.install_log(self.log)],
                         ["vc_redist_x64", "dotnet_runtime_8_0"])

    def test_resumed_attempt_answered_503_keeps_the_file_and_the_next_continues_from_its_offset(self):
        vc = pt.installer_bytes("vc_redist_x64")
        path = "/prerequisites/VC_redist.x64.exe"
        cut = len(vc) // 3
        with FaultServer() as fs:
            fs.set_sequence(path, [Reply(vc, drop_after=cut), Reply(b"busy", status=503), Reply(vc)])
            fs.set("/prerequisites/" + pt.FILES["dotnet_runtime_8_0"], Reply(pt.installer_bytes("dotnet_runtime_8_0")))
            r = self.run_helper(fs.url("/"))
            vc_requests = fs.requests_for(path)
        self.assertEqual(r.returncode, 0, r.stdout_text)
        self.assertEqual([q.range for q in vc_requests], [None, "bytes=%d-" % cut, "bytes=%d-" % cut])
        resumed = [e for e in r.events if e.get("operation") == "download" and e.get("status") == "resuming"]
        self.assertEqual(len(resumed), 1)
        self.assertFalse([m for m in pt.messages(r.events, "ERROR") if m.startswith("Hash mismatch")])
        self.assertEqual([row for row, _pid, _cmd in pt.install_log(self.log)],
                         ["vc_redist_x64", "dotnet_runtime_8_0"])


class ExitCodes(PrereqTestBase):
    CASES = [
        # (row, exit code, result, ERROR line expected)
        ("vc_redist_x64", "3010", 0, None),
        ("vc_redist_x64", "1618", 102, None),
        ("vc_redist_x64", "1603", 102, "Installer failed with exit code: 1603"),
        ("dotnet_runtime_8_0", "0x80070005", 2, None),
    ]

    def test_exit_codes_by_kind(self):
        for row, code, result, line in self.CASES:
            with self.subTest(row=row, code=code):
                pt.fixture("clear")
                with NginxServer() as ng:
                    pt.publish(ng)
                    r = self.run_helper(ng.url("/"), env={pt.EXIT_VARIABLE[row]: code})
                self.assertEqual(r.returncode, result, r.stdout_text)
                errors = pt.messages(r.events, "ERROR")
                failed = [m for m in errors if m.startswith("Installer failed with exit code")]
                self.assertEqual(failed, [line] if line else [])
                if result:
                    self.assertIn("Failed to install: " + pt.NAMES[row], errors)
                self.assert_folder_gone()


class Attacks(PrereqTestBase):
    def outside(self):
        root = self.scratch.path("outside")
        write(os.path.join(root, "VC_redist.x64.exe"), b"outside, not an installer\n")
        write(os.path.join(root, "keep", "data.txt"), b"keep me\n")
        return root

    def test_link_at_the_download_folder_touches_nothing_outside(self):
        outside = self.outside()
        before = snapshot(outside)
        for target in (outside, os.path.join(outside, "VC_redist.x64.exe")):
            with self.subTest(target=target):
                pt.remove_download_dir()
                os.symlink(target, pt.download_dir())
                with NginxServer() as ng:
                    pt.publish(ng)
                    r = self.run_helper(ng.url("/"))
                    self.assertEqual(ng.requests(), [])
                self.assertEqual(r.returncode, 146, r.stdout_text)
                self.assertTrue(any(m.startswith("Failed to create download directory: ")
                                    for m in pt.messages(r.events, "ERROR")))
                self.assertEqual(snapshot(outside), before)
                self.assertEqual(pt.install_log(self.log), [])

    def test_links_inside_an_existing_download_folder_touch_nothing_outside(self):
        outside = self.outside()
        before = snapshot(outside)
        folder = pt.download_dir()
        os.makedirs(folder)
        os.symlink(os.path.join(outside, "VC_redist.x64.exe"), os.path.join(folder, "VC_redist.x64.exe"))
        os.symlink(os.path.join(outside, "keep"), os.path.join(folder, "keep"))
        with NginxServer() as ng:
            pt.publish(ng)
            r = self.run_helper(ng.url("/"))
            self.assertEqual(ng.requests(), [])
        self.assertEqual(r.returncode, 146, r.stdout_text)
        self.assertEqual(snapshot(outside), before)
        self.assertEqual(pt.install_log(self.log), [])

    def test_dotnet_cmd_in_the_current_folder_or_on_path_never_runs(self):
        marker = self.scratch.path("planted-ran.txt")
        script = ("@echo 8.0.999\r\n@echo ran> %s\r\n" % self.scratch.winpath("planted-ran.txt")).encode()
        cwd = self.scratch.path("cwd")
        on_path = self.scratch.path("onpath")
        for folder in (cwd, on_path):
            write(os.path.join(folder, "dotnet.cmd"), script)
            write(os.path.join(folder, "dotnet.bat"), script)
        with NginxServer() as ng:
            pt.publish(ng)
            r = self.run_helper(ng.url("/"), cwd=cwd, env={"WINEPATH": self.scratch.winpath("onpath")})
        self.assertEqual(r.returncode, 0, r.stdout_text)
        self.assertFalse(os.path.exists(marker))
        self.assertIn(".NET Runtime not detected or insufficient version", pt.messages(r.events, "INFO"))
        self.assertEqual([row for row, _pid, _cmd in pt.install_log(self.log)],
                         ["vc_redist_x64", "dotnet_runtime_8_0"])

    def test_machine_wide_dotnet_is_asked_by_its_full_path(self):
        write(os.path.join(DOTNET_DIR, "dotnet.exe"), read(os.path.join(harness.BIN_DIR, "fake_dotnet.exe")))
        with NginxServer() as ng:
            pt.publish(ng)
            r = self.run_helper(ng.url("/"))
        self.assertEqual(r.returncode, 0, r.stdout_text)
        self.assertIn(".NET Runtime detected via command: 8.0.404", pt.messages(r.events, "INFO"))
        self.assertEqual([row for row, _pid, _cmd in pt.install_log(self.log)], ["dotnet", "vc_redist_x64", "dotnet"])

    def hold(self, on, *options):
        """Starts the pipe server that holds the helper at the first event
        holding `on`; returns (process, pipe name, lines file)."""
        name = "\\\\.\\pipe\\korvel-e2e-prereqs-%s" % uuid.uuid4().hex[:12]
        lines = self.scratch.path("lines.txt")
        out = tempfile.TemporaryFile()
        env = dict(os.environ, KORVEL_BUILD_DIR=harness.BUILD_DIR)
        proc = subprocess.Popen([harness.WINERUN, os.path.join(harness.BIN_DIR, "prereq_pipe_hold.exe"),
                                 "--name", name, "--out", self.scratch.winpath("lines.txt"), "--on", on] +
                                list(options), stdin=subprocess.DEVNULL, stdout=out, stderr=out, env=env,
                                cwd=harness.BIN_DIR)
        self.addCleanup(out.close)
        deadline = time.monotonic() + 60
        while not os.path.exists(lines) and time.monotonic() < deadline:
            time.sleep(0.05)
        return proc, name, lines

    def run_held(self, on, act):
        """Runs --install-prereqs held at the first event holding `on`, does
        act() while it waits there, lets it go on; returns (exit code, the
        events the pipe received)."""
        ready = self.scratch.path("ready")
        go = self.scratch.path("go")
        with NginxServer() as ng:
            pt.publish(ng)
            proc, name, lines = self.hold(on, "--ready", self.scratch.winpath("ready"), "--go",
                                          self.scratch.winpath("go"))
            pt.write_settings({"KORVEL_TEST_INSTALLER_LOG": self.log_win})
            with tempfile.TemporaryFile() as out:
                helper = subprocess.Popen(
                    [harness.WINERUN, os.path.join(harness.BIN_DIR, "KorvelElevated.exe"), "--install-prereqs",
                     "--cdn", ng.url("/"), "--progress-pipe", name],
                    stdin=subprocess.DEVNULL, stdout=out, stderr=out, cwd=harness.BIN_DIR,
                    env=dict(os.environ, KORVEL_BUILD_DIR=harness.BUILD_DIR))
                deadline = time.monotonic() + 120
                while not os.path.exists(ready) and time.monotonic() < deadline:
                    time.sleep(0.05)
                if not os.path.exists(ready):
                    # What the helper and the pipe saw, to tell where it stopped.
                    helper.kill()
                    helper.wait(60)
                    proc.kill()
                    proc.wait(60)
                    out.seek(0)
                    self.fail("the helper never reached %s (exit %r)\n--- helper ---\n%s\n--- pipe ---\n%s" % (
                        on, helper.returncode, out.read()[-4000:].decode(errors="replace"),
                        read(lines)[-4000:].decode(errors="replace") if os.path.exists(lines) else "(no lines file)"))
                act()
                write(go, b"")
                rc = helper.wait(300)
            self.assertEqual(proc.wait(60), 0)
        return rc, harness.parse_events(read(lines))

    def test_installer_replaced_after_its_check_is_never_the_one_run(self):
        rogue = self.scratch.path("rogue.exe")
        write(rogue, pt.installer_bytes("directx_runtime"))
        report = self.scratch.path("swap.txt")
        target = pt.download_dir_win() + "\\VC_redist.x64.exe"
        with NginxServer() as ng:
            pt.publish(ng)
            proc, name, lines = self.hold("install:Visual C++ Redistributable (x64)", "--swap", target, "--with",
                                          self.scratch.winpath("rogue.exe"), "--report",
                                          self.scratch.winpath("swap.txt"))
            r = self.run_helper(ng.url("/"), extra=["--progress-pipe", name])
            self.assertEqual(proc.wait(60), 0)
        self.assertEqual(r.returncode, 0, r.stdout_text + read(lines).decode(errors="replace"))
        with open(report) as f:
            attempts = [line.rstrip("\n").split("\t") for line in f if line.strip()]
        self.assertEqual([a[0] for a in attempts],
                         ["copy_over", "move_over", "delete", "open_for_write", "rename_folder"])
        self.assertEqual([a for a in attempts if a[1] != "0"], [])
        self.assertEqual([row for row, _pid, _cmd in pt.install_log(self.log)],
                         ["vc_redist_x64", "dotnet_runtime_8_0"])
        self.assertEqual(read(rogue), pt.installer_bytes("directx_runtime"))
        self.assert_folder_gone()

    def test_link_planted_in_place_of_a_downloaded_installer_is_refused(self):
        # The genuine bytes, but outside the folder: a link to them is no
        # plain file of the folder, so it is neither run nor deleted through.
        outside = self.scratch.path("outside", "VC_redist.x64.exe")
        write(outside, pt.installer_bytes("vc_redist_x64"))
        downloaded = os.path.join(pt.download_dir(), "VC_redist.x64.exe")

        def plant():
            os.unlink(downloaded)
            os.symlink(outside, downloaded)

        # Held at the download's completion event: the file is complete and
        # not yet checked.
        rc, events = self.run_held('"event_type":"completion","operation":"download"', plant)
        # Refused, and not deleted through either: under Wine the link opens
        # as its target, so it cannot be proven to be the folder's own entry
        # and the run ends (as a failed deletion does) with nothing run.
        self.assertEqual(rc, 4, pt.messages(events))
        errors = pt.messages(events, "ERROR")
        self.assertIn("Installer is not a plain file at its own path: " + pt.download_dir_win() +
                      "\\VC_redist.x64.exe", errors)
        self.assertEqual(read(outside), pt.installer_bytes("vc_redist_x64"))
        self.assertEqual(pt.install_log(self.log), [])

    def test_link_planted_in_the_folder_before_the_download_is_not_written_through(self):
        # The folder is the run's own; a link that appears in it before the
        # download (Windows' access list would refuse it; Wine does not
        # enforce one) must not carry the download out of the folder.
        outside = self.scratch.path("outside", "precious.bin")
        write(outside, b"the user's own file\n")
        # Held once the folder exists, before the first download opens its file.
        rc, events = self.run_held('"operation":"file:mkdir"', lambda: os.symlink(
            outside, os.path.join(pt.download_dir(), "VC_redist.x64.exe")))
        self.assertEqual(read(outside), b"the user's own file\n")
        self.assertEqual(pt.install_log(self.log), [])
        self.assertNotEqual(rc, 0, pt.messages(events))
        self.assertIn("Refusing to download into an entry that is not a plain file: " + pt.download_dir_win() +
                      "\\VC_redist.x64.exe", pt.messages(events, "ERROR"))


if __name__ == "__main__":
    unittest.main()
