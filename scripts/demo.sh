#!/usr/bin/env bash
# The main job, end to end: an update server and a real update.
#
# Sets up and builds, starts nginx on 127.0.0.1 with a generated sample
# content root (a few files, one over 10 MiB, in two versions), applies
# version 1.0.0 with `KorvelElevated --apply-manifest` under Wine into a fresh
# target, showing the events as they arrive and then the installed tree, and
# applies version 1.1.0, which changes, adds and keeps files.
#
#   scripts/demo.sh            compact event lines
#   scripts/demo.sh --json     the raw JSON event lines
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export KORVEL_BUILD_DIR="${KORVEL_BUILD_DIR:-$ROOT/build}"
RAW="${1:-}"

"$ROOT/scripts/build.sh"
"$ROOT/scripts/wine-prefix.sh" start
# Stop the wineserver this run started, however it ends.
trap '"$ROOT/scripts/wine-prefix.sh" stop' EXIT

cd "$ROOT/tests"
python3 - "$ROOT" "$RAW" <<'PY'
import hashlib
import json
import os
import shutil
import subprocess
import sys

root_dir, raw = sys.argv[1], sys.argv[2] == "--json"
sys.path.insert(0, os.path.join(root_dir, "scripts"))
sys.path.insert(0, os.path.join(root_dir, "tests", "e2e"))
import content_root  # noqa: E402
import harness  # noqa: E402
from servers import NginxServer  # noqa: E402
from servers import _paths  # noqa: E402

demo = os.path.join(_paths.SCRATCH_DIR, "demo")
content = os.path.join(demo, "content")
target = os.path.join(demo, "Korvel")


def rmtree(path):
    if os.path.isdir(path):
        for base, dirs, files in os.walk(path):
            for name in dirs + files:
                try:
                    os.chmod(os.path.join(base, name), 0o755)
                except OSError:
                    pass
        shutil.rmtree(path)


def prefix_cache():
    temp = "C:\\users\\root\\Temp"
    try:
        with open(os.path.join(harness.WINEPREFIX, "user.reg"), encoding="utf-8", errors="replace") as f:
            section = f.read().split("[Environment]", 1)[1].split("\n[", 1)[0]
        for line in section.splitlines():
            if line.startswith('"TEMP"="'):
                temp = line[len('"TEMP"="'):-1].replace("\\\\", "\\")
    except (OSError, IndexError):
        pass
    return harness.prefix_path(temp.rstrip("\\") + "\\KorvelCache")


def show(event):
    """One compact line per event."""
    kind = event.get("event_type")
    op = event.get("operation", "")
    if kind == "diagnostic":
        who = event.get("component", "")
        text = "%-7s %s%s" % (event.get("level", ""), who + ": " if who else "", event.get("message", ""))
    elif kind == "progress":
        text = "progress %-40s %3d%% %s" % (op, event.get("progress", 0), event.get("details", ""))
    elif kind == "status":
        extra = event.get("details") or event.get("file_path") or ""
        if op == "manifest_processing" and "files_processed" in event:
            extra = "%d files" % event["files_processed"]
        text = "status   %-40s %s %s" % (op, event.get("status", "ok" if event.get("success") else "failed"), extra)
    elif kind == "error":
        text = "ERROR    %-40s %s %s %s" % (op, event.get("error_code"), event.get("error_message", ""),
                                             event.get("details", ""))
    else:
        text = "%-8s %-40s %s" % (kind, op, "success" if event.get("success") else "failure")
    return "  " + event.get("timestamp", "")[11:23] + " " + text


def apply(url, cdn):
    argv = [harness.WINERUN, os.path.join(harness.BIN_DIR, "KorvelElevated.exe"), "--apply-manifest", url,
            "--target", harness.to_win(target), "--cdn", cdn]
    print("$ KorvelElevated.exe --apply-manifest %s --target %s --cdn %s" % (url, harness.to_win(target), cdn),
          flush=True)
    proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    for line in proc.stdout:
        text = line.decode("utf-8", "replace").rstrip("\r\n")
        if raw or not text.startswith("{"):
            print("  " + text, flush=True)
            continue
        try:
            print(show(json.loads(text)), flush=True)
        except ValueError:
            print("  " + text, flush=True)
    err = proc.stderr.read().decode("utf-8", "replace")
    code = proc.wait()
    if err.strip():
        print(err, end="")
    print("exit code %d" % code, flush=True)
    if code != 0:
        sys.exit(code)


def snapshot():
    out = {}
    for base, _dirs, files in os.walk(target):
        for name in files:
            p = os.path.join(base, name)
            with open(p, "rb") as f:
                out[os.path.relpath(p, target).replace(os.sep, "/")] = hashlib.sha256(f.read()).hexdigest()
    return out


def show_tree(before=None):
    now = snapshot()
    print("installed tree %s:" % harness.to_win(target))
    for rel in sorted(now):
        size = os.path.getsize(os.path.join(target, *rel.split("/")))
        mark = ""
        if before is not None:
            mark = "added" if rel not in before else ("changed" if before[rel] != now[rel] else "kept")
        print("  %10d  %s  %-28s %s" % (size, now[rel][:12], rel, mark))
    print(flush=True)
    return now


rmtree(demo)
os.makedirs(content)
v1, v2 = content_root.sample(content)
# A fresh start: nothing cached from an earlier demo.
rmtree(prefix_cache())

with NginxServer(root=content) as ng:
    cdn = ng.url("/")
    print("content server: nginx at %s serving %s\n" % (cdn, content), flush=True)

    print("== version 1.0.0 into an empty folder")
    apply(ng.url("/" + v1), cdn)
    print()
    first = show_tree()

    print("== version 1.1.0 over it: two files changed, one added, the rest kept")
    apply(ng.url("/" + v2), cdn)
    print()
    show_tree(first)

    files = [r["uri"] for r in ng.requests() if r["uri"].startswith("/files/")]
    print("files fetched from the server over both runs: %d (unchanged files came from the cache)" % len(files))
PY
