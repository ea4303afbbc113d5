"""A Wine prefix made for one test class alone, for runs that a fault could
turn against the machine's own folders: whatever such a run removed could
only ever be this prefix. K: is the build's bin folder (a subclass may map
more); the host's drives are not mapped."""
import os
import shutil
import subprocess
import tempfile
import unittest

import harness

WINE64 = os.environ.get("KORVEL_WINE64", "/usr/lib/wine/wine64")
WINESERVER = os.environ.get("KORVEL_WINESERVER", "/usr/lib/wine/wineserver")


def snapshot(root):
    """Every path below root (links not followed), with file sizes."""
    out = {}
    for base, dirs, files in os.walk(root):
        for name in dirs + files:
            p = os.path.join(base, name)
            out[os.path.relpath(p, root)] = None if os.path.isdir(p) and not os.path.islink(p) else os.path.getsize(p) \
                if os.path.isfile(p) else "link"
    return out


class ThrowawayPrefix(unittest.TestCase):
    # A subclass may name its scratch folder, keep variables of the caller's
    # environment out of the prefix's programs and map further drives.
    SCRATCH_NAME = "throwaway-prefix"
    UNSET_VARIABLES = ()

    @classmethod
    def drives(cls):
        return {"k:": harness.BIN_DIR}

    @classmethod
    def setUpClass(cls):
        cls.scratch = harness.Scratch(cls.SCRATCH_NAME)
        cls.prefix = cls.scratch.path("prefix")
        cls.env = {k: v for k, v in os.environ.items() if k not in cls.UNSET_VARIABLES}
        cls.env.update({"WINEPREFIX": cls.prefix, "HOME": cls.scratch.path("home"), "WINEDEBUG": "-all",
                        "WINEARCH": "win64", "WINEDLLOVERRIDES": "winemenubuilder.exe=d;mscoree=d;mshtml=d"})
        os.makedirs(cls.env["HOME"])
        cls.wine([WINE64, "wineboot", "--init"], 600)
        dd = os.path.join(cls.prefix, "dosdevices")
        for letter in ("z:", "y:", "x:"):
            if os.path.lexists(os.path.join(dd, letter)):
                os.unlink(os.path.join(dd, letter))
        for letter, target in cls.drives().items():
            os.symlink(target, os.path.join(dd, letter))
        cls.drive_c = os.path.join(cls.prefix, "drive_c")

    @classmethod
    def tearDownClass(cls):
        # Only the server of this prefix (WINEPREFIX) is asked to stop.
        cls.wine([WINESERVER, "-k"], 60, check=False)
        subprocess.run(["timeout", "60", WINESERVER, "-w"], env=cls.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(cls.scratch.host, ignore_errors=True)

    @classmethod
    def wine(cls, argv, timeout, check=True):
        with tempfile.TemporaryFile() as out:
            proc = subprocess.run(["timeout", "--kill-after=10", str(timeout)] + argv, env=cls.env,
                                  stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
            out.seek(0)
            data = out.read()
        if check:
            assert proc.returncode == 0, (argv, proc.returncode, data[-2000:])
        return proc.returncode, data
