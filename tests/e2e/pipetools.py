"""Helpers of the end-to-end tests that need a progress-pipe server or a
restricted token: both are Windows test tools (tests/tools) run under the
same Wine sandbox as KorvelElevated."""
import os
import signal
import subprocess
import tempfile
import time
import uuid

import harness

# Wine turns the host's arguments into UTF-16 by the host locale.
UTF8_ENV = {"LANG": "C.UTF-8", "LC_ALL": "C.UTF-8"}


def _env(extra=None):
    env = dict(os.environ)
    env["KORVEL_BUILD_DIR"] = harness.BUILD_DIR
    env.update(UTF8_ENV)
    if extra:
        env.update(extra)
    return env


def pipe_name(tag):
    return "\\\\.\\pipe\\korvel-e2e-%s-%s" % (tag, uuid.uuid4().hex[:12])


def run(exe, args, timeout=300, temp=None):
    """Runs a program of the bin folder from K:\\ (a child process started
    from a folder Wine cannot map prints a warning on standard error)."""
    return harness.run(exe, args, timeout=timeout, env=UTF8_ENV, cwd=harness.BIN_DIR, temp=temp)


def run_elevated(args, timeout=300, temp=None):
    return run("KorvelElevated.exe", args, timeout=timeout, temp=temp)


def run_not_admin(args, timeout=300):
    """KorvelElevated with the Administrators group deny-only in its token."""
    return run("run_restricted.exe", ["K:\\KorvelElevated.exe"] + list(args), timeout=timeout)


class PipeServer:
    """The pipe_server tool: creates the pipe, records every line it reads.

    options are the tool's own (--exit-after N, --drop-after N,
    --delay-ms N, --never, --echo). Unless wait is False, the constructor
    returns once the pipe exists (or, with --never, once the tool runs)."""

    def __init__(self, scratch, name, *options, wait=True, max_ms=120000):
        tag = uuid.uuid4().hex[:8]
        self.name = name
        self.out_host = scratch.path("lines-%s.txt" % tag)
        self.ready_host = scratch.path("ready-%s" % tag)
        args = ["--name", name, "--out", harness.to_win(self.out_host),
                "--ready", harness.to_win(self.ready_host), "--max-ms", str(max_ms)] + list(options)
        self._args = args
        self._start()
        if wait:
            self.wait_ready()

    def _start(self):
        self._err = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(
            [harness.WINERUN, os.path.join(harness.BIN_DIR, "pipe_server.exe")] + self._args,
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self._err,
            env=_env(), cwd=harness.BIN_DIR)

    def wait_ready(self, timeout=60):
        deadline = time.monotonic() + timeout
        restarted = False
        while not os.path.exists(self.ready_host):
            if self.proc.poll() is not None:
                self._err.seek(0)
                err = self._err.read()
                # Wine failing to start the tool: it is started once more.
                if not restarted and harness.wine_failed_to_start(self.proc.returncode, b"", err):
                    restarted = True
                    self._err.close()
                    self._start()
                    continue
                raise AssertionError("pipe_server ended early (%s): %r" % (self.proc.returncode, err))
            if time.monotonic() > deadline:
                raise AssertionError("pipe_server did not come up")
            time.sleep(0.05)

    def raw(self):
        """Every byte the server received so far."""
        try:
            with open(self.out_host, "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""

    def lines(self):
        return harness.parse_events(self.raw())

    def wait(self, timeout=60):
        return self.proc.wait(timeout=timeout)

    def stop(self):
        if self.proc.poll() is None:
            # winerun ends in timeout(1), which passes the signal on to Wine.
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self._err.close()
