"""Shared pieces of the execution-plan end-to-end tests: writing plans,
publishing manifests on nginx, and events reduced to what a test compares."""
import hashlib
import json
import os

import harness


def write_plan(scratch, operations, name="plan.json"):
    """Writes {"operations": [...]} and returns the plan's Windows path."""
    with open(scratch.path(name), "w", encoding="utf-8") as f:
        json.dump({"operations": operations}, f)
    return scratch.winpath(name)


def sha(data):
    return hashlib.sha256(data).hexdigest()


def publish(ng, name, version, files):
    """Serves the files below files/<first 8 digits>/ and a legacy manifest at
    /<name>; returns the manifest's URL."""
    entries = []
    for rel, data in files.items():
        ng.put("files/%s/%s" % (sha(data)[:8], rel), data)
        entries.append({"path": rel, "sha256": sha(data), "size": len(data)})
    doc = harness.signed({"version": version, "gameVersion": version, "component": "client", "files": entries})
    ng.put(name, json.dumps(doc).encode())
    return ng.url("/" + name)


def brief(event):
    """One event as a tuple of the fields that tell it apart."""
    kind = event.get("event_type")
    op = event.get("operation")
    if kind == "status":
        return ("status", op, event.get("status")) + ((event["details"],) if event.get("details") else ())
    if kind == "error":
        return ("error", op, event.get("error_code"), event.get("details"))
    if kind == "progress":
        return ("progress", op, event.get("progress"))
    if kind == "completion":
        return ("completion", op, event.get("success"))
    return ("log", event.get("level"), event.get("message"))


def briefs(events, operations=None, levels=("INFO", "WARNING", "ERROR", "FATAL")):
    """The events as tuples; only those of the named operations (and log
    lines without a component) when operations is given."""
    out = []
    for e in events:
        if e.get("event_type") == "diagnostic":
            if e.get("level") not in levels or (operations is not None and e.get("component")):
                continue
        elif operations is not None and e.get("operation") not in operations:
            continue
        out.append(brief(e))
    return out


STARTUP = [("log", "INFO", "KorvelElevated starting"), ("status", "startup", "checking_environment")]


def success_tail():
    return [("completion", "main_operation", True), ("log", "INFO", "KorvelElevated completed successfully")]


def failure_tail(code):
    return [("error", "main_operation", code, None), ("log", "FATAL", "KorvelElevated failed with error: %d" % code)]


def plan_head(count):
    """From the command's start to the first operation."""
    return [("status", "execute_plan", "starting"), ("status", "execution_plan", "loading_plan"),
            ("log", "INFO", "Loaded execution plan with %d operations" % count),
            ("log", "INFO", "Executing plan with %d operations" % count),
            ("status", "execution_plan", "executing"),
            ("log", "INFO", "Executing plan with %d operations" % count)]


def tree(root):
    """{relative path with '/': bytes} of every file below root."""
    out = {}
    for base, _dirs, files in os.walk(root):
        for name in files:
            p = os.path.join(base, name)
            with open(p, "rb") as f:
                out[os.path.relpath(p, root).replace(os.sep, "/")] = f.read()
    return out
