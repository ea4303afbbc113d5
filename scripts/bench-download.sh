#!/usr/bin/env bash
# Download throughput of HttpClient under Wine against curl, both fetching
# the same large file from the test nginx on 127.0.0.1 into files on the
# same disk (the build tree's scratch folder).
#
#   scripts/bench-download.sh [size-in-MiB (default 1024)] [runs (default 3)]
#
# Prints each run and the median figures with the ratio HttpClient / curl.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export KORVEL_BUILD_DIR="${KORVEL_BUILD_DIR:-$ROOT/build}"
SIZE_MIB="${1:-1024}"
RUNS="${2:-3}"

cmake --build "$KORVEL_BUILD_DIR" --target bench_download -- --no-print-directory >/dev/null
"$ROOT/scripts/wine-prefix.sh" start
# Stop the wineserver this run started, however it ends.
trap '"$ROOT/scripts/wine-prefix.sh" stop' EXIT

cd "$ROOT/tests"
python3 - "$SIZE_MIB" "$RUNS" <<'PY'
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

from servers import NginxServer
from servers import _paths

size = int(sys.argv[1]) * 1024 * 1024
runs = int(sys.argv[2])
bench = os.path.join(_paths.SCRATCH_DIR, "bench")
root = os.path.join(bench, "root")
os.makedirs(root, exist_ok=True)
name = "big-%d.bin" % size
source = os.path.join(root, name)
if not os.path.exists(source) or os.path.getsize(source) != size:
    print("bench: writing %d MiB of random data" % (size >> 20), flush=True)
    with open(source + ".part", "wb") as f:
        left = size
        while left:
            n = min(left, 16 << 20)
            f.write(os.urandom(n))
            left -= n
    os.replace(source + ".part", source)

ours_out = os.path.join(bench, "httpclient.bin")
curl_out = os.path.join(bench, "curl.bin")
env = dict(os.environ)
mib = size / (1024.0 * 1024.0)
ours, curls = [], []
with NginxServer(root=root) as ng:
    url = ng.url("/" + name)
    for run in range(1, runs + 1):
        for p in (ours_out, curl_out):
            if os.path.exists(p):
                os.remove(p)
        t0 = time.monotonic()
        # The program's output goes to a file, never a pipe: a Wine service
        # started on demand may inherit the handle and outlive the program.
        with tempfile.TemporaryFile() as err:
            proc = subprocess.run([_paths.WINERUN, os.path.join(_paths.BIN_DIR, "bench_download.exe"), url,
                                   _paths.to_win(ours_out)], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=err, env=env, timeout=3600)
            err.seek(0)
            proc.stderr = err.read()
        wall = time.monotonic() - t0
        m = re.search(r"result=(-?\d+) bytes=(\d+) ms=(\d+)", proc.stderr.decode("utf-8", "replace"))
        if proc.returncode != 0 or not m or int(m.group(2)) != size:
            sys.exit("bench: HttpClient download failed: rc=%d %s" % (proc.returncode, proc.stderr.decode()))
        ms = max(1, int(m.group(3)))
        ours.append(mib / (ms / 1000.0))

        proc = subprocess.run(["curl", "-s", "-S", "--noproxy", "*", "-o", curl_out, "-w",
                               "%{size_download} %{time_total}", url], stdout=subprocess.PIPE, timeout=3600)
        got, secs = proc.stdout.decode().split()
        if proc.returncode != 0 or int(got) != size:
            sys.exit("bench: curl download failed")
        curls.append(mib / max(float(secs), 0.001))
        same = subprocess.run(["cmp", "-s", ours_out, curl_out]).returncode == 0
        print("run %d: HttpClient %.1f MiB/s (%.2f s in the client, %.2f s with Wine start-up), "
              "curl %.1f MiB/s (%.2f s)%s" % (run, ours[-1], ms / 1000.0, wall, curls[-1], float(secs),
                                              "" if same else "  FILES DIFFER"), flush=True)
        if not same:
            sys.exit(1)
for p in (ours_out, curl_out):
    if os.path.exists(p):
        os.remove(p)
o, c = statistics.median(ours), statistics.median(curls)
print("median of %d runs, %d MiB from nginx on 127.0.0.1 to the same disk:" % (runs, size >> 20))
print("  HttpClient under Wine: %.1f MiB/s" % o)
print("  curl:                  %.1f MiB/s" % c)
print("  ratio HttpClient/curl: %.2f" % (o / c))
PY
