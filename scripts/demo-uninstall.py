#!/usr/bin/env python3
"""Last step of the demo: uninstalls what the demo installed, through the
real KorvelUninstall.exe in the build tree's Wine sandbox, and shows what
it reports and that the folder is gone.
    demo-uninstall.py <host folder of the installation>
The sandbox must be running (scripts/wine-prefix.sh start)."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import harness  # noqa: E402


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    target = os.path.abspath(sys.argv[1])
    win = harness.to_win(target)
    print("$ KorvelUninstall.exe --force --install-path %s" % win, flush=True)
    r = harness.run("KorvelUninstall.exe", ["--force", "--install-path", win])
    sys.stdout.write(r.stdout_text)
    sys.stderr.write(r.stderr_text)
    print("exit code %d; %s %s" % (r.returncode, win, "still exists" if os.path.exists(target) else "is gone"))
    return 0 if r.returncode == 0 and not os.path.exists(target) else 1


if __name__ == "__main__":
    sys.exit(main())
