"""Helpers of the download-client tests: run the http_fetch tool under Wine
and compare its event stream with what each path must report."""
import json
import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

import harness  # noqa: E402

# The client's table of WinHTTP errors; anything else is 161.
WINHTTP_MAP = {12002: 6, 12007: 165, 12029: 160, 12030: 166, 12031: 166, 12175: 164}


def mapped(winhttp_error):
    return WINHTTP_MAP.get(winhttp_error, 161)


class Fetch:
    def __init__(self, result):
        self.rc = result.returncode
        self.events = result.events
        self.stdout = result.stdout_text
        self.stderr = result.stderr_text
        self.callbacks = []
        self.results = []
        for line in self.stderr.splitlines():
            line = line.strip()
            if not line.startswith("{"):
                continue
            try:
                value = json.loads(line)
            except ValueError:
                continue
            if "callback" in value:
                self.callbacks.append(value)
            elif "result" in value:
                self.results.append(value["result"])

    def errors(self):
        return [e for e in self.events if e["event_type"] == "error"]

    def progress_events(self):
        return [e for e in self.events if e["event_type"] == "progress"]

    def describe(self):
        return "rc=%d\nstdout:\n%s\nstderr:\n%s" % (self.rc, self.stdout, self.stderr[-3000:])


def fetch(*args, timeout=240):
    return Fetch(harness.run("http_fetch.exe", [str(a) for a in args], timeout=timeout))


def summarize(events, diagnostics=False):
    """Each event as a tuple of the fields that identify it."""
    out = []
    for e in events:
        kind = e["event_type"]
        if kind == "status":
            out.append(("status", e["operation"], e["status"]))
        elif kind == "error":
            out.append(("error", e["operation"], e["error_code"], e.get("details")))
        elif kind == "completion":
            out.append(("completion", e["operation"], e["success"]))
        elif kind == "progress":
            out.append(("progress", e["operation"], e["progress"]))
        elif diagnostics:
            out.append(("diagnostic", e["level"], e["message"]))
    return out


def _matches(actual, expected):
    if len(actual) != len(expected):
        return False
    for a, x in zip(actual, expected):
        if isinstance(x, re.Pattern):
            if not isinstance(a, str) or not x.fullmatch(a):
                return False
        elif a != x:
            return False
    return True


class EventsMixin:
    def assertEvents(self, fetched, expected, diagnostics=False):
        """The whole event stream, in order; a compiled pattern in an
        expected tuple must match that field whole."""
        actual = summarize(fetched.events, diagnostics)
        ok = len(actual) == len(expected) and all(_matches(a, x) for a, x in zip(actual, expected))
        if not ok:
            self.fail("events differ\nexpected:\n  %s\nactual:\n  %s\n%s" % (
                "\n  ".join(map(repr, expected)), "\n  ".join(map(repr, actual)), fetched.describe()))


INIT = ("status", "http_client", "initialized")
START = ("status", "download", "starting")
FRESH = ("status", "download", "starting_fresh")
RESUMING = ("status", "download", "resuming")
DONE = [("completion", "download", True), ("status", "download", "completed")]
CLEANED = ("status", "http_client", "cleaned_up")
CANCELLED = ("status", "download", "cancelled_by_user")


def http_error(call, code, url=None):
    """The error event of a failed WinHTTP call, its code mapped."""
    text = "HTTP operation failed: " + call
    if url:
        text += " (URL: " + url + ")"
    text += " Error: %d - " % code
    return ("error", "http_client", mapped(code), re.compile(re.escape(text) + ".*", re.S))


def reported_winhttp_error(fetched):
    """(call, code) of the first failed WinHTTP call in the events."""
    for e in fetched.errors():
        m = re.match(r"HTTP operation failed: (\w+)(?: \(URL: .*\))? Error: (\d+) - ", e.get("details", ""))
        if m:
            return m.group(1), int(m.group(2))
    return None, None
