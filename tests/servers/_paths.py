"""Where the servers keep their runtime files: below the build tree only."""
import itertools
import os
import shutil
import threading

SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD_DIR = os.path.abspath(os.environ.get("KORVEL_BUILD_DIR") or os.path.join(SOURCE_DIR, "build"))
BIN_DIR = os.path.join(BUILD_DIR, "bin")
SCRATCH_DIR = os.path.join(BUILD_DIR, "scratch")
# Below T:\ so that the programs under Wine can read what the servers serve.
SERVERS_DIR = os.path.join(SCRATCH_DIR, "servers")
WINERUN = os.path.join(BUILD_DIR, "winerun")

_counter = itertools.count(1)
_counter_lock = threading.Lock()


def fresh_dir(kind):
    """A new, empty folder below the servers' runtime folder."""
    with _counter_lock:
        n = next(_counter)
    path = os.path.join(SERVERS_DIR, "%s-%d-%d" % (kind, os.getpid(), n))
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


def to_win(host_path):
    """Windows form (T:\\... or K:\\...) of a host path below scratch or bin."""
    p = os.path.abspath(host_path)
    for root, drive in ((SCRATCH_DIR, "T:"), (BIN_DIR, "K:")):
        if p == root:
            return drive + "\\"
        if p.startswith(root + os.sep):
            return drive + "\\" + p[len(root) + 1:].replace("/", "\\")
    raise ValueError("%s is outside the sandbox's drives" % host_path)
