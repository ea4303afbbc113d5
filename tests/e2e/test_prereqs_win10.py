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
        pt.fixture("clear", prefix=PREFIX)
        self.scratch.cleanup()

    def test_two_rows_and_no_directx(self):
        log_win = self.scratch.winpath("installers.log")
        with NginxServer() as ng:
            pt.publish(ng)
            r = harness.run_elevated(["--install-prereqs", "--cdn", ng.url("/")], timeout=600,
                                     env={"KORVEL_WINEPREFIX": PREFIX, "KORVEL_TEST_INSTALLER_LOG": log_win})
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


if __name__ == "__main__":
    unittest.main()
