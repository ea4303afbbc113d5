"""Shared pieces of the tests that attack the apply flow from outside, as an
unelevated program of the same user would: it can write the helper's cache
(%TEMP%\\KorvelCache), plant links in it and swap files while a run is on.

Each test gets a temporary folder of its own (the run_with_temp tool points
TEMP and TMP of the helper into its scratch folder), so test files run in
parallel without sharing a cache. A run can be held at a chosen event: the pipe_server tool
serves --progress-pipe and stops reading after the first line that holds a
given text; the helper's flush of its next line waits for the reader, so the
helper stands still while the test tampers with files through the
file_swapper tool, and goes on once released.
"""
import hashlib
import json
import os
import subprocess
import tempfile
import time
import unittest

import harness
import pipetools

MIB = 1024 * 1024


def sha(data):
    return hashlib.sha256(data).hexdigest()


def entry(rel, data, **extra):
    e = {"path": rel, "sha256": sha(data), "size": len(data)}
    e.update(extra)
    return e


def manifest(version, entries):
    """A legacy manifest signed with the test key."""
    return harness.signed({"version": version, "gameVersion": version, "component": "client", "files": entries})


def publish(ng, name, version, files):
    """Puts the files below files/<h8>/ and a manifest at /<name>; returns
    the manifest's URL."""
    entries = []
    for rel, data in files.items():
        ng.put("files/%s/%s" % (sha(data)[:8], rel), data)
        entries.append(entry(rel, data))
    ng.put(name, json.dumps(manifest(version, entries)).encode())
    return ng.url("/" + name)


read = harness.read
write = harness.write


def tree(root):
    """{relative path with '/': bytes} of every file below root (links to
    files are read through, links to folders are listed, not entered)."""
    out = {}
    if not os.path.isdir(root):
        return out
    for base, dirs, files in os.walk(root):
        for name in files:
            p = os.path.join(base, name)
            with open(p, "rb") as f:
                out[os.path.relpath(p, root).replace(os.sep, "/")] = f.read()
    return out


def snapshot(root):
    """Every entry below root with its content and modification time: what
    "nothing changed here" compares."""
    out = {}
    for base, dirs, files in os.walk(root):
        for name in dirs + files:
            p = os.path.join(base, name)
            rel = os.path.relpath(p, root).replace(os.sep, "/")
            st = os.lstat(p)
            out[rel] = (read(p) if os.path.isfile(p) else None, int(st.st_mtime))
    return out


def statuses(events):
    return [e["status"] for e in events if e.get("operation") == "manifest_processing"]


def messages(events, level=None):
    return [e.get("message", "") for e in events
            if e.get("event_type") == "diagnostic" and (level is None or e.get("level") == level)]


def set_old_mtime(path, days=3):
    past = time.time() - days * 86400
    if os.path.isdir(path):
        for base, _dirs, files in os.walk(path):
            for name in files:
                os.utime(os.path.join(base, name), (past, past))
    else:
        os.utime(path, (past, past))


class Run:
    """One KorvelElevated --apply-manifest run, its events read from the
    progress pipe, optionally held at the first line containing hold_at."""

    def __init__(self, case, args, hold_at=None, max_ms=600000, cwd=None):
        self.case = case
        tag = os.urandom(4).hex()
        self.held_host = case.scratch.path("held-" + tag)
        self.release_host = case.scratch.path("release-" + tag)
        self._options = ["--max-ms", str(max_ms)]
        if hold_at is not None:
            self._options += ["--hold-at", hold_at, "--held", harness.to_win(self.held_host),
                              "--release", harness.to_win(self.release_host)]
        self._args = list(args)
        self._max_ms = max_ms
        self._cwd = cwd or harness.BIN_DIR
        self._restarted = False
        self._launch()
        self.returncode = None

    def _launch(self):
        name = pipetools.pipe_name("trust")
        self.server = pipetools.PipeServer(self.case.scratch, name, *self._options, max_ms=self._max_ms)
        self._out = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(
            [harness.WINERUN, os.path.join(harness.BIN_DIR, "run_with_temp.exe"), self.case.temp_win,
             "K:\\KorvelElevated.exe"] + self._args + ["--progress-pipe", name, "--verbose"],
            stdin=subprocess.DEVNULL, stdout=self._out, stderr=self._out, env=self.case.env(), cwd=self._cwd)

    def _relaunched_after_wine_failed(self):
        """A run that Wine failed to start (see harness.wine_failed_to_start)
        has changed nothing: the helper says something on its pipe before it
        can do anything. It is started once more, on a fresh pipe."""
        if self._restarted:
            return False
        self._out.seek(0)
        if not harness.wine_failed_to_start(self.proc.poll(), b"", self._out.read(), not self.server.raw()):
            return False
        self._restarted = True
        self.server.stop()
        self._out.close()
        self._launch()
        return True

    def wait_held(self, timeout=180):
        """True once the helper stands at the hold point; False when it ended
        without reaching it."""
        deadline = time.monotonic() + timeout
        while not os.path.exists(self.held_host):
            if self.proc.poll() is not None and self._relaunched_after_wine_failed():
                continue
            if self.proc.poll() is not None or time.monotonic() > deadline:
                return os.path.exists(self.held_host)
            time.sleep(0.05)
        return True

    def release(self):
        with open(self.release_host, "wb"):
            pass

    def finish(self, timeout=600):
        if not os.path.exists(self.release_host):
            self.release()
        try:
            self.returncode = self.proc.wait(timeout=timeout)
            if self._relaunched_after_wine_failed():
                self.returncode = self.proc.wait(timeout=timeout)
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()
            # The server ends when its client closes the pipe.
            try:
                self.server.wait(timeout=60)
            except subprocess.TimeoutExpired:
                pass
            self.server.stop()
        self.events = self.server.lines()
        self._out.seek(0)
        self.output = self._out.read().decode("utf-8", "replace")
        self._out.close()
        return self

    def tail(self):
        return "\n".join(json.dumps(e) for e in self.events[-40:]) + "\n" + self.output[-2000:]


class TrustCase(unittest.TestCase):
    """A scratch folder with a private temporary folder (so a private
    KorvelCache), a target folder and a folder outside both."""

    def setUp(self):
        self.scratch = harness.Scratch("trust")
        self.temp = self.scratch.path("temp")
        os.makedirs(self.temp)
        self.temp_win = self.scratch.winpath("temp")
        self.cache = os.path.join(self.temp, "KorvelCache")
        self.cache_win = self.temp_win + "\\KorvelCache"
        self.target = self.scratch.path("app")
        self.target_win = self.scratch.winpath("app")
        self.outside = self.scratch.path("outside")
        os.makedirs(self.outside)
        self.runs = []

    def tearDown(self):
        for r in self.runs:
            if r.proc.poll() is None:
                r.release()
                try:
                    r.proc.wait(timeout=120)
                except subprocess.TimeoutExpired:
                    r.proc.kill()
            r.server.stop()
        self.scratch.cleanup()

    def env(self):
        return pipetools._env()

    def cache_win_path(self, *parts):
        return "\\".join([self.cache_win] + list(parts))

    def apply_args(self, url, cdn, target_win=None):
        return ["--apply-manifest", url, "--target", target_win or self.target_win, "--cdn", cdn]

    def start(self, url, cdn, hold_at=None, target_win=None):
        r = Run(self, self.apply_args(url, cdn, target_win), hold_at=hold_at)
        self.runs.append(r)
        return r

    def apply(self, url, cdn, target_win=None):
        return self.start(url, cdn, target_win=target_win).finish()

    def store_path(self, data):
        return os.path.join(self.cache, sha(data)[:8], sha(data))

    def plant_store(self, data):
        """What an attacker can do without any network: put content of its
        own choosing into the store under its own hash."""
        write(self.store_path(data), data)

    def source_file(self, data):
        """A scratch file holding data, for file_swapper to copy from; its
        Windows path."""
        p = self.scratch.path("src-" + os.urandom(4).hex())
        write(p, data)
        return harness.to_win(p)

    def swap(self, *actions, wait_ms=0):
        """Runs file_swapper with (action, Windows target path, bytes)
        triples; returns (exit code, {target: how})."""
        args = ["--wait-ms", str(wait_ms)]
        for action, target, data in actions:
            args += [action, target, self.source_file(data)]
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            proc = subprocess.run([harness.WINERUN, os.path.join(harness.BIN_DIR, "file_swapper.exe")] + args,
                                  stdin=subprocess.DEVNULL, stdout=out, stderr=err, timeout=120, env=self.env(),
                                  cwd=harness.BIN_DIR)
            out.seek(0)
            text = out.read().decode("utf-8", "replace")
        how = {}
        for line in text.splitlines():
            parts = line.rstrip("\r").split(" ", 2)
            if len(parts) == 3:
                how[parts[1]] = parts[2]
        self.assertIn(proc.returncode, (0, 2), text)
        for target, outcome in how.items():
            # A target that is not there means the test lost its hold point.
            self.assertNotEqual(outcome, "missing", target)
        return proc.returncode, how

    def write_target(self, files):
        for rel, data in files.items():
            write(os.path.join(self.target, *rel.split("/")), data)


class NginxTrustCase(TrustCase):
    """A TrustCase with one nginx on 127.0.0.1 for the whole class: cls.ng
    serves the content, cls.cdn is its root URL."""

    @classmethod
    def setUpClass(cls):
        from servers import NginxServer
        cls.ng = NginxServer().start()
        cls.cdn = cls.ng.url("/")

    @classmethod
    def tearDownClass(cls):
        cls.ng.stop()
