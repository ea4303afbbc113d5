#!/usr/bin/env python3
"""Last step of the demo: uninstalls what the demo installed the way the
uninstall entry says (its UninstallString, through the real
KorvelUninstall.exe in the build tree's Wine sandbox, answering its prompt),
and shows what it reports, that the installation is gone and what is left
for the next restart.
    demo-uninstall.py
The sandbox must be running (scripts/wine-prefix.sh start)."""
import json
import os
import shlex
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import harness  # noqa: E402
import install_support as inst  # noqa: E402


def main():
    if len(sys.argv) != 1:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    reg = inst.registry()
    command = reg["values"].get("UninstallString", {}).get("data", "") if reg["exists"] else ""
    if not command:
        print("no UninstallString in the uninstall entry", file=sys.stderr)
        return 1
    args = shlex.split(command.replace("\\", "\\\\"))
    program = args[0]
    location = reg["values"].get("InstallLocation", {}).get("data", "")
    print("$ %s    (the entry's UninstallString; the prompt is answered with y)" % command, flush=True)
    script = 'source "$1/scripts/wine-env.sh"; shift; exec timeout --kill-after=10 300 "$KORVEL_WINE64" "$@"'
    env = dict(os.environ, KORVEL_BUILD_DIR=harness.BUILD_DIR)
    with tempfile.TemporaryFile() as answer, tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        answer.write(b"y\n")
        answer.seek(0)
        # Started from its own folder, as the shell starts it.
        proc = subprocess.run(["bash", "-c", script, "bash", harness.SOURCE_DIR, program] + args[1:],
                              cwd=os.path.dirname(inst.host(program)), stdin=answer, stdout=out, stderr=err,
                              env=env, timeout=400)
        out.seek(0)
        err.seek(0)
        result = harness.Result(subprocess.CompletedProcess(proc.args, proc.returncode, out.read(), err.read()))
    sys.stdout.write(result.stdout_text)
    sys.stderr.write(result.stderr_text)
    gone = location and not os.path.exists(inst.host(location))
    print("exit code %d; %s %s" % (result.returncode, location, "is gone" if gone else "still exists"))
    pending = harness.run("pending_renames.exe", ["show"])
    if pending.returncode == 0:
        data = json.loads(pending.stdout_text.strip() or "[]")
        print("left for the next restart (PendingFileRenameOperations):")
        for path in data[0::2]:
            print("  delete " + path)
    return 0 if result.returncode == 0 and gone else 1


if __name__ == "__main__":
    sys.exit(main())
