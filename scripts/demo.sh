#!/usr/bin/env bash
# The main job, end to end: the road of one request as the product's
# launcher application takes it.
#
# Sets up and builds, starts nginx on 127.0.0.1 with a generated sample
# content root and, under Wine, a progress-pipe server (the test tree's
# recording pipe server) standing in for the caller that owns the pipe. It
# writes an execution plan (apply_manifest, write_uninstall,
# create_shortcuts, write_receipt) for a fresh installation folder and runs
#
#   KorvelElevatedLauncher --pipe <name> --execute-plan <plan>
#
# which starts KorvelElevated through "runas". Each event is shown as one
# line as the pipe owner receives it (the raw JSON stream is saved to a file
# it names), then the installed tree, the uninstall entry's values, the
# shortcuts and the install receipt, and checks that every path they name
# exists. Last, the uninstall is started the way the uninstall entry says
# (its UninstallString, answering the prompt) and removes it all.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export KORVEL_BUILD_DIR="${KORVEL_BUILD_DIR:-$ROOT/build}"

"$ROOT/scripts/build.sh"
"$ROOT/scripts/wine-prefix.sh" start
# Stop the wineserver this run started, however it ends.
trap '"$ROOT/scripts/wine-prefix.sh" stop' EXIT

cd "$ROOT/tests"
python3 - "$ROOT" <<'PY'
import json
import os
import shutil
import subprocess
import sys
import time
import uuid

root_dir = sys.argv[1]
sys.path.insert(0, os.path.join(root_dir, "scripts"))
sys.path.insert(0, os.path.join(root_dir, "tests", "e2e"))
import content_root  # noqa: E402
import harness  # noqa: E402
import install_support as inst  # noqa: E402
import pipetools  # noqa: E402
from servers import NginxServer  # noqa: E402
from servers import _paths  # noqa: E402

demo = os.path.join(_paths.SCRATCH_DIR, "demo")
content = os.path.join(demo, "content")
install = os.path.join(demo, "Korvel")
events_file = os.path.join(demo, "events.jsonl")
plan_file = os.path.join(demo, "plan.json")
VERSION = "1.0.0"


def rmtree(path):
    if os.path.isdir(path):
        for base, dirs, files in os.walk(path):
            for name in dirs + files:
                try:
                    os.chmod(os.path.join(base, name), 0o755)
                except OSError:
                    pass
        shutil.rmtree(path)


def show(event):
    """One readable line per event."""
    kind = event.get("event_type")
    op = event.get("operation", "")
    if kind == "diagnostic":
        who = event.get("component", "")
        text = "%-7s  %s%s" % (event.get("level", ""), who + ": " if who else "", event.get("message", ""))
    elif kind == "progress":
        text = "progress %-30s %3d%% %s" % (op, event.get("progress", 0), event.get("details", ""))
    elif kind == "status":
        extra = event.get("details") or event.get("file_path") or event.get("key_path") or ""
        if "shortcut_name" in event:
            extra = "%s -> %s" % (event["shortcut_name"], event.get("target_path", ""))
        if op == "manifest_processing" and "files_processed" in event:
            extra = "%d files" % event["files_processed"]
        state = event.get("status") or ("ok" if event.get("success") else "failed")
        text = "status   %-30s %s %s" % (op, state, extra)
    elif kind == "error":
        text = "ERROR    %-30s %s %s %s" % (op, event.get("error_code"), event.get("error_message", ""),
                                             event.get("details", ""))
    else:
        text = "%-8s %-30s %s" % (kind, op, "success" if event.get("success") else "failure")
    return "  " + event.get("timestamp", "")[11:23] + " " + text


def show_new_lines(state):
    """Prints the complete lines the pipe server has written since last time."""
    try:
        with open(events_file, "rb") as f:
            f.seek(state["offset"])
            data = f.read()
    except FileNotFoundError:
        return
    end = data.rfind(b"\n") + 1
    state["offset"] += end
    for line in data[:end].splitlines():
        try:
            print(show(json.loads(line.decode("utf-8"))), flush=True)
        except ValueError:
            print("  " + line.decode("utf-8", "replace"), flush=True)


# A fresh start: a new folder, no uninstall entry or shortcuts left over.
rmtree(demo)
os.makedirs(content)
# The product's programs travel with the content, below Launcher\ where the
# uninstall entry, the shortcuts and the receipt name them.
programs = {}
for name in ("KorvelUninstall.exe", "KorvelElevated.exe", "KorvelElevatedLauncher.exe"):
    with open(os.path.join(harness.BIN_DIR, name), "rb") as f:
        programs["Launcher/" + name] = f.read()
v1, _v2 = content_root.sample(content, programs)
inst.delete_key()
inst.clean_shell_folders()

target = harness.to_win(install)
launcher = target + "\\Launcher\\KorvelLauncher.exe"

with NginxServer(root=content) as ng:
    cdn = ng.url("/")
    print("content server: nginx at %s serving %s" % (cdn, content))
    plan = {"operations": [
        {"type": "apply_manifest", "manifestUrl": ng.url("/" + v1), "targetPath": target, "cdnUrl": cdn},
        {"type": "write_uninstall", "targetPath": target, "version": VERSION, "launcherExecutable": launcher,
         "uninstallerExecutable": target + "\\Launcher\\KorvelUninstall.exe"},
        {"type": "create_shortcuts", "targetPath": target, "launcherSubdir": "Launcher",
         "launcherExecutable": launcher},
        {"type": "write_receipt", "targetPath": target, "version": VERSION, "launcherExecutable": launcher},
    ]}
    with open(plan_file, "w") as f:
        json.dump(plan, f, indent=2)
    print("plan %s:" % harness.to_win(plan_file))
    for op in plan["operations"]:
        print("  " + json.dumps(op))

    # The caller serves the pipe before it starts the launcher.
    pipe = "\\\\.\\pipe\\korvel-demo-%s" % uuid.uuid4().hex[:8]
    ready = os.path.join(demo, "pipe-ready")
    server = subprocess.Popen(
        [harness.WINERUN, os.path.join(harness.BIN_DIR, "pipe_server.exe"), "--name", pipe,
         "--out", harness.to_win(events_file), "--ready", harness.to_win(ready), "--max-ms", "600000"],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        env=pipetools._env(), cwd=harness.BIN_DIR)
    deadline = time.monotonic() + 60
    while not os.path.exists(ready):
        if server.poll() is not None or time.monotonic() > deadline:
            sys.exit("the pipe server did not come up")
        time.sleep(0.05)
    print("\npipe server (the caller): %s\n" % pipe)

    args = ["--pipe", pipe, "--execute-plan", harness.to_win(plan_file)]
    print("$ KorvelElevatedLauncher.exe " + " ".join(args), flush=True)
    launcher_err = os.path.join(demo, "launcher-stderr.txt")
    with open(launcher_err, "wb") as err:
        proc = subprocess.Popen([harness.WINERUN, os.path.join(harness.BIN_DIR, "KorvelElevatedLauncher.exe")] + args,
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err,
                                env=pipetools._env(), cwd=harness.BIN_DIR)
        state = {"offset": 0}
        while proc.poll() is None:
            show_new_lines(state)
            time.sleep(0.1)
    # The server ends once the helper has closed its end of the pipe.
    try:
        server.wait(timeout=30)
    except subprocess.TimeoutExpired:
        server.terminate()
        server.wait()
    show_new_lines(state)
    code = proc.returncode
    with open(launcher_err, encoding="utf-8", errors="replace") as f:
        text = f.read().strip()
    if text:
        print("launcher: " + text)
    with open(events_file, "rb") as f:
        count = f.read().count(b"\n")
    print("\nlauncher exit code %d (the helper's); %d events came over the pipe, raw JSON lines saved in %s"
          % (code, count, events_file))

print("\ninstalled tree %s:" % target)
for base, _dirs, files in sorted(os.walk(install)):
    for name in sorted(files):
        p = os.path.join(base, name)
        print("  %10d  %s" % (os.path.getsize(p), os.path.relpath(p, install).replace(os.sep, "\\")))

reg = inst.registry()
print("\nuninstall entry HKEY_LOCAL_MACHINE\\%s:" % inst.UNINSTALL_KEY)
if not reg["exists"]:
    print("  (missing)")
for name in sorted(reg["values"]):
    value = reg["values"][name]
    print("  %-18s %-10s %s" % (name, value["type"], value["data"]))

print("\nshortcuts:")
found = []
for folder in (inst.COMMON_PROGRAMS + "\\Korvel", inst.COMMON_DESKTOP):
    host_folder = inst.host(folder)
    if os.path.isdir(host_folder):
        found += [folder + "\\" + n for n in sorted(os.listdir(host_folder)) if n.lower().endswith(".lnk")
                  and n.lower().startswith(("korvel", "uninstall korvel"))]
for link in inst.links(*found) if found else []:
    print("  %s\n      -> %s %s  (in %s)" % (link["file"], link.get("target", "?"), link.get("arguments", ""),
                                            link.get("working_dir", "")))
if not found:
    print("  (none)")

receipt = os.path.join(install, "InstallReceipt.json")
print("\ninstall receipt %s\\InstallReceipt.json:" % target)
named = []
if os.path.exists(receipt):
    with open(receipt, encoding="utf-8") as f:
        text = f.read()
    for line in text.splitlines():
        print("  " + line)
    doc = json.loads(text)
    named += [doc.get("launcherPath", "")]
    for part in (doc.get("components") or {}).values():
        named += part.get("files", [])
else:
    print("  (missing)")

# Every path the entry, the shortcuts and the receipt name exists.
uninstall_string = reg["values"].get("UninstallString", {}).get("data", "")
named += [uninstall_string.split('"')[1] if uninstall_string.startswith('"') else uninstall_string]
named += [link.get("target", "") for link in (inst.links(*found) if found else [])]
missing = [p for p in named if p and not os.path.exists(inst.host(p))]
print("\npaths named by the entry, the shortcuts and the receipt: %d, missing: %s"
      % (len(named), ", ".join(missing) if missing else "none"))
sys.exit(code or (1 if missing else 0))
PY

# Last, the uninstaller removes what the plan installed.
echo
python3 "$ROOT/scripts/demo-uninstall.py"
