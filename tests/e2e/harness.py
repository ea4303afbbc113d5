"""Shared helpers of the host-side end-to-end tests.

The programs run under the private Wine sandbox of the build tree (see
scripts/wine-env.sh): K: is the build's bin folder, T: its scratch folder.
"""
import json
import os
import re
import shutil
import subprocess
import tempfile
import uuid

BUILD_DIR = os.environ.get("KORVEL_BUILD_DIR") or os.path.abspath(
    os.path.join(os.path.dirname(__file__), "..", "..", "build"))
SOURCE_DIR = os.environ.get("KORVEL_SOURCE_DIR") or os.path.abspath(
    os.path.join(os.path.dirname(__file__), "..", ".."))
BIN_DIR = os.path.join(BUILD_DIR, "bin")
SCRATCH_DIR = os.path.join(BUILD_DIR, "scratch")
WINERUN = os.path.join(BUILD_DIR, "winerun")
WINEPREFIX = os.path.join(BUILD_DIR, "wine", "prefix")
TEST_KEY = os.path.join(SOURCE_DIR, "tests", "keys", "manifest-test-key.pem")
TEST_PUBLIC_KEY = os.path.join(SOURCE_DIR, "tests", "keys", "manifest-test-key.pub.hex")

_signer = None


def signer():
    """scripts/sign-manifest.py as a module: the one tool that signs what the
    tests serve."""
    global _signer
    if _signer is None:
        import importlib.util
        spec = importlib.util.spec_from_file_location(
            "sign_manifest", os.path.join(SOURCE_DIR, "scripts", "sign-manifest.py"))
        _signer = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(_signer)
    return _signer


def signed(doc, key=TEST_KEY):
    """doc with its signature made by the test key (or another key file)."""
    tool = signer()
    return tool.sign_document(doc, tool.load_key(key))


def to_win(host_path):
    """Windows form of a host path below the bin or scratch folder."""
    p = os.path.abspath(host_path)
    for root, drive in ((SCRATCH_DIR, "T:"), (BIN_DIR, "K:")):
        if p == root:
            return drive + "\\"
        if p.startswith(root + os.sep):
            return drive + "\\" + p[len(root) + 1:].replace("/", "\\")
    raise ValueError("%s is outside the sandbox's drives" % host_path)


def prefix_path(win_path, prefix=None):
    """Host path of a C:\\ path inside the Wine prefix."""
    assert win_path[:3].upper() == "C:\\", win_path
    return os.path.join(prefix or WINEPREFIX, "drive_c", *win_path[3:].split("\\"))


def prefix_temp_dir(prefix=None):
    """The prefix user's temporary folder, as Windows sees it."""
    try:
        with open(os.path.join(prefix or WINEPREFIX, "user.reg"), encoding="utf-8", errors="replace") as f:
            text = f.read()
        section = text.split("[Environment]", 1)[1].split("\n[", 1)[0]
        m = re.search(r'^"TEMP"="([^"]*)"', section, re.M)
        if m:
            return m.group(1).replace("\\\\", "\\")
    except (OSError, IndexError):
        pass
    return "C:\\users\\root\\Temp"


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    """Writes data to path, making the folders above it first."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


class Scratch:
    """A fresh folder below T:\\e2e, removed by cleanup()."""

    def __init__(self, name):
        self.host = os.path.join(SCRATCH_DIR, "e2e", "%s-%s" % (name, uuid.uuid4().hex[:8]))
        os.makedirs(self.host)
        self.win = to_win(self.host)

    def path(self, *parts):
        return os.path.join(self.host, *parts)

    def winpath(self, *parts):
        return "\\".join([self.win.rstrip("\\")] + list(parts))

    def cleanup(self):
        for root, dirs, files in os.walk(self.host):
            for d in dirs:
                os.chmod(os.path.join(root, d), 0o755)
        shutil.rmtree(self.host, ignore_errors=True)


class Result:
    def __init__(self, proc):
        self.returncode = proc.returncode
        self.stdout = proc.stdout
        self.stderr = proc.stderr

    def __repr__(self):
        # What an assertion failure shows of a run.
        return "exit %r\n--- stdout ---\n%s\n--- stderr ---\n%s" % (
            self.returncode, self.stdout[-4000:].decode("utf-8", "replace"),
            self.stderr[-4000:].decode("utf-8", "replace"))

    @property
    def stdout_text(self):
        return self.stdout.decode("utf-8", "replace")

    @property
    def stderr_text(self):
        return self.stderr.decode("utf-8", "replace")

    @property
    def events(self):
        return parse_events(self.stdout)


def parse_events(data):
    """The JSON event lines of a stream; other lines are skipped."""
    out = []
    for line in data.split(b"\n"):
        line = line.strip(b"\r")
        if line.startswith(b"{"):
            try:
                out.append(json.loads(line.decode("utf-8")))
            except ValueError:
                pass
    return out


PIPE_OPTIONS = ("--progress-pipe", "--pipe")


def wine_failed_to_start(returncode, stdout, stderr, said_nothing_elsewhere=True):
    """Wine's own start-up failures end the process with 1 before any
    program code runs: with a "wine" line on standard error (no server
    connection, a protocol error), or, with WINEDEBUG=-all, with nothing at
    all (seen about once in a few full runs, never reproduced alone). None of
    the programs ends with 1 without saying why; said_nothing_elsewhere is
    False where it may have said so somewhere else (a pipe)."""
    if returncode != 1:
        return False
    if any(line.startswith((b"wine: ", b"wine client error")) for line in stderr.split(b"\n")):
        return True
    return not stdout and not stderr and said_nothing_elsewhere


def _wine_failed_to_start(proc, args):
    # A program whose events go to a pipe may have said why there.
    return wine_failed_to_start(proc.returncode, proc.stdout, proc.stderr,
                                not any(a in PIPE_OPTIONS for a in args))


def run(exe, args, timeout=300, env=None, stdin=None, cwd=None, temp=None):
    """Start a program of the bin folder under Wine and wait for it; cwd is
    a host folder below the sandbox's drives (its Windows form becomes the
    program's current folder); temp, a Windows folder, becomes the
    program's TEMP and TMP (through the run_with_temp tool), as a caller
    gives a program its own temporary folder. A run that Wine itself failed
    to start is started once more."""
    full_env = dict(os.environ)
    full_env["KORVEL_BUILD_DIR"] = BUILD_DIR
    if env:
        full_env.update(env)
    command = [WINERUN, os.path.join(BIN_DIR, exe)] + list(args)
    if temp is not None:
        command = [WINERUN, os.path.join(BIN_DIR, "run_with_temp.exe"), temp,
                   "K:\\" + exe.replace("/", "\\")] + list(args)
    for attempt in (1, 2):
        # Output goes to files, not pipes: a Wine service process started on
        # demand may inherit the handles and outlive the program.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            if hasattr(stdin, "seek"):
                stdin.seek(0)
            proc = subprocess.run(command,
                                  stdin=subprocess.DEVNULL if stdin is None else stdin,
                                  stdout=out, stderr=err, timeout=timeout, env=full_env, cwd=cwd)
            out.seek(0)
            err.seek(0)
            proc.stdout = out.read()
            proc.stderr = err.read()
        if not _wine_failed_to_start(proc, args):
            break
    return Result(proc)


def run_elevated(args, **kw):
    return run("KorvelElevated.exe", args, **kw)


def run_all(runs, workers=6, **kw):
    """Runs several programs of the bin folder at once, each (exe, args) as
    run() would; returns their results in the order given. For runs that
    share nothing a test checks between them: Wine's start-up is most of
    such a run's time, and it overlaps."""
    from concurrent.futures import ThreadPoolExecutor
    with ThreadPoolExecutor(max_workers=workers) as pool:
        futures = [pool.submit(run, exe, args, **kw) for exe, args in runs]
        return [f.result() for f in futures]
