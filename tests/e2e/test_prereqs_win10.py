"""KorvelElevated --install-prereqs on Windows 10: the table has two rows, so
DirectX is neither detected nor downloaded.

Runs in a second prefix of the build tree, a copy of the sandbox's prefix
set to Windows 10 with winecfg (made once; its own wineserver is stopped at
the end)."""
import os
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

import harness  # noqa: E402
import prereqtools as pt  # noqa: E402
from servers import NginxServer  # noqa: E402

PREFIX = os.path.join(harness.BUILD_DIR, "wine", "prefix-win10")
READY = os.path.join(PREFIX, ".korvel-win10-ready")


def wine_env():
    env = dict(os.environ, KORVEL_BUILD_DIR=harness.BUILD_DIR, KORVEL_WINEPREFIX=PREFIX, WINEPREFIX=PREFIX,
               WINEDEBUG="-all")
    return env


def _skip_volatile(folder, names):
    """The copy is made while other tests run in the sandbox: the temporary
    folders' contents and the registry's temporary saves come and go."""
    rel = os.path.relpath(folder, harness.WINEPREFIX).replace(os.sep, "/").lower()
    parts = rel.split("/")
    if rel == "drive_c/windows/temp" or (len(parts) == 4 and parts[:2] == ["drive_c", "users"] and parts[3] == "temp"):
        return names
    if rel == ".":
        return [n for n in names if n.startswith("reg") and n.endswith(".tmp")]
    return []


def _copy_unless_gone(src, dst):
    # A file that another test's program removed between the listing and
    # the copy was one of its temporary files.
    try:
        shutil.copy2(src, dst, follow_symlinks=False)
    except FileNotFoundError:
        pass


def make_prefix():
    if os.path.exists(READY):
        return
    shutil.rmtree(PREFIX, ignore_errors=True)
    shutil.copytree(harness.WINEPREFIX, PREFIX, symlinks=True, ignore=_skip_volatile, copy_function=_copy_unless_gone)
    subprocess.run(["timeout", "120", "/usr/lib/wine/wine64", "winecfg", "-v", "win10"], env=wine_env(),
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    subprocess.run(["timeout", "60", "/usr/lib/wine/wineserver", "-w"], env=wine_env(), check=False)
    open(READY, "w").close()


def stop_prefix():
    subprocess.run(["timeout", "30", "/usr/lib/wine/wineserver", "-k"], env=wine_env(),
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)


class Windows10(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        make_prefix()

    @classmethod
    def tearDownClass(cls):
        stop_prefix()

    def setUp(self):
        self.scratch = harness.Scratch("prereqs-win10")
        pt.remove_download_dir(PREFIX)
        pt.fixture("clear", prefix=PREFIX)
        # A machine-wide dotnet.exe would answer for .NET: none in this copy.
        stray = harness.prefix_path("C:\\Program Files\\dotnet\\dotnet.exe", PREFIX)
        if os.path.lexists(stray):
            os.unlink(stray)

    def tearDown(self):
        pt.remove_download_dir(PREFIX)
        pt.clear_settings(PREFIX)
        pt.fixture("clear", prefix=PREFIX)
        self.scratch.cleanup()

    def test_two_rows_and_no_directx(self):
        log_win = self.scratch.winpath("installers.log")
        with NginxServer() as ng:
            pt.publish(ng)
            pt.write_settings({"KORVEL_TEST_INSTALLER_LOG": log_win}, PREFIX)
            r = harness.run_elevated(["--install-prereqs", "--cdn", ng.url("/")], timeout=600,
                                     env={"KORVEL_WINEPREFIX": PREFIX})
            uris = sorted(q["uri"] for q in ng.requests())
        self.assertEqual(r.returncode, 0, r.stdout_text)
        self.assertEqual(uris, sorted("/prerequisites/" + pt.FILES[row]
                                      for row in ("vc_redist_x64", "dotnet_runtime_8_0")))
        self.assertEqual(pt.prereq_statuses(r.events), [
            ("vc_redist_x64", "missing", None), ("dotnet_runtime_8_0", "missing", None),
            ("vc_redist_x64", "installed", "14.40.33810"), ("dotnet_runtime_8_0", "installed", "8.0.11")])
        self.assertEqual([row for row, _pid, _cmd in pt.install_log(self.scratch.path("installers.log"))],
                         ["vc_redist_x64", "dotnet_runtime_8_0"])
        self.assertFalse(os.path.lexists(pt.download_dir(PREFIX)))


    def test_dotnet_check_starts_cmd_with_D_an_environment_of_the_systems_own_and_no_autorun(self):
        """A stand-in cmd.exe in this copy records how the helper started it
        and, like the real one, runs the user's AutoRun command unless /D
        is given; the .NET check asks the machine-wide dotnet through it."""
        cmd = harness.prefix_path("C:\\windows\\system32\\cmd.exe", PREFIX)
        saved = cmd + ".korvel-real"
        if not os.path.exists(saved):
            shutil.copy2(cmd, saved)

        def restore():
            shutil.copy2(saved, cmd)
            os.unlink(saved)
            pt.fixture("autorun", "", prefix=PREFIX)

        self.addCleanup(restore)
        shutil.copyfile(os.path.join(harness.BIN_DIR, "stand_in_cmd.exe"), cmd)
        dotnet = harness.prefix_path("C:\\Program Files\\dotnet\\dotnet.exe", PREFIX)
        os.makedirs(os.path.dirname(dotnet), exist_ok=True)
        shutil.copyfile(os.path.join(harness.BIN_DIR, "fake_dotnet.exe"), dotnet)
        pt.fixture("autorun", "K:\\planted-autorun.exe", prefix=PREFIX)
        log_win = self.scratch.winpath("installers.log")
        cmd_log = self.scratch.path("cmd.log")
        planted = {"COR_ENABLE_PROFILING": "1", "COR_PROFILER_PATH": self.scratch.winpath("planted.dll"),
                   "KORVEL_PLANTED": "1"}
        with NginxServer() as ng:
            pt.publish(ng)
            pt.write_settings({"KORVEL_TEST_INSTALLER_LOG": log_win,
                               "KORVEL_TEST_CMD_LOG": self.scratch.winpath("cmd.log")}, PREFIX)
            r = harness.run_elevated(["--install-prereqs", "--cdn", ng.url("/")], timeout=600,
                                     env=dict(planted, KORVEL_WINEPREFIX=PREFIX, KORVEL_EXTRA_DLLOVERRIDES="cmd.exe=n"))
        self.assertEqual(r.returncode, 0, r.stdout_text)
        self.assertIn(".NET Runtime detected via command: 8.0.404", pt.messages(r.events, "INFO"))
        with open(cmd_log, encoding="utf-8") as f:
            records = [line.rstrip("\n").split("\t", 1) for line in f if line.strip()]
        starts = [value for kind, value in records if kind == "cmdline"]
        # Asked at the first check and again after the installation.
        self.assertEqual(starts, ['"C:\\windows\\system32\\cmd.exe" /D /c '
                                  '"C:\\Program Files\\dotnet\\dotnet.exe" --version'] * 2)
        self.assertEqual([value for kind, value in records if kind == "autorun"], [])
        variables = {}
        for kind, value in records:
            if kind == "env" and not value.startswith("="):
                name, _, text = value.partition("=")
                variables[name.upper()] = text
        for name in planted:
            self.assertNotIn(name, variables)
        self.assertEqual(variables["TEMP"], pt.download_dir_win(PREFIX))
        self.assertEqual(variables["TMP"], pt.download_dir_win(PREFIX))
        self.assertEqual(variables["PATH"].lower(),
                         "c:\\windows\\system32;c:\\windows;c:\\windows\\system32\\wbem;"
                         "c:\\windows\\system32\\windowspowershell\\v1.0\\")
        self.assertEqual([row for row, _pid, _cmd in pt.install_log(self.scratch.path("installers.log"))],
                         ["dotnet", "vc_redist_x64", "dotnet"])


if __name__ == "__main__":
    unittest.main()
