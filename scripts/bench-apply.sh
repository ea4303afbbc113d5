#!/usr/bin/env bash
# Applying an update manifest with KorvelElevated under Wine, against the same
# work done with host tools. A content root of mixed file sizes is generated
# (once; kept for later runs), served by nginx on 127.0.0.1, and then:
#
#   cold      --apply-manifest into an empty target with an empty cache
#   warm      --apply-manifest again into the same target, cache filled
#   warm/new  --apply-manifest into an empty target, cache filled
#   baseline  curl of every file, sha256sum of them, cp into a target
#   floor     the platform under Wine (tests/tools/bench_floor): a bare WinHTTP
#             download of every file, one CNG SHA-256 pass, one CopyFileW each
#
#   scripts/bench-apply.sh [total MiB (default 1024)] [files (default 1000)]
#
# Prints each time and the ratios: cold against the baseline and against the
# Wine floor (download + hash + copy), warm against the baseline's one
# sha256sum pass and against the floor's 2.5 hash passes plus one copy.
# Apply times include Wine's start-up, which is printed as well.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export KORVEL_BUILD_DIR="${KORVEL_BUILD_DIR:-$ROOT/build}"
TOTAL_MIB="${1:-1024}"
FILES="${2:-1000}"

"$ROOT/scripts/build.sh" >/dev/null
"$ROOT/scripts/wine-prefix.sh" start
# Stop the wineserver this run started, however it ends.
trap '"$ROOT/scripts/wine-prefix.sh" stop' EXIT

cd "$ROOT/tests"
python3 - "$ROOT" "$TOTAL_MIB" "$FILES" <<'PY'
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

root_dir, total_mib, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
sys.path.insert(0, os.path.join(root_dir, "scripts"))
sys.path.insert(0, os.path.join(root_dir, "tests", "e2e"))
import content_root  # noqa: E402
import harness  # noqa: E402
from servers import NginxServer  # noqa: E402
from servers import _paths  # noqa: E402

bench = os.path.join(_paths.SCRATCH_DIR, "bench-apply")
content = os.path.join(bench, "root-%dMiB-%d" % (total_mib, count))
target = os.path.join(bench, "target")
target_new = os.path.join(bench, "target-new")
host = os.path.join(bench, "host")


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


stamp = os.path.join(content, "manifest.json")
if not os.path.exists(stamp):
    print("bench: generating %d MiB in %d files" % (total_mib, count), flush=True)
    rmtree(content)
    os.makedirs(content)
    content_root.bench(content, total_mib, count)
with open(stamp) as f:
    entries = json.load(f)["files"]
total = sum(e["size"] for e in entries)
print("content: %d files, %.1f MiB (largest %.1f MiB, %d over 10 MiB)" % (
    len(entries), total / 1048576.0, max(e["size"] for e in entries) / 1048576.0,
    sum(1 for e in entries if e["size"] > 10 * 1048576)), flush=True)

cache = prefix_cache()
for p in (target, target_new, host):
    rmtree(p)
rmtree(cache)


def timed(argv, timeout=7200, cwd=None):
    """Runs a command with its output captured in files (a Wine service
    started on demand may inherit the handles and outlive the program). The
    files lie in memory where the host has such a folder: the helper flushes
    every event line, which on a disk file is a write to the disk each time,
    a cost of the host's file system rather than of the apply."""
    where = "/dev/shm" if os.path.isdir("/dev/shm") else None
    with tempfile.TemporaryFile(dir=where) as out, tempfile.TemporaryFile(dir=where) as err:
        t = time.monotonic()
        proc = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=err, timeout=timeout, cwd=cwd)
        secs = time.monotonic() - t
        out.seek(0)
        err.seek(0)
        proc.stdout, proc.stderr = out.read(), err.read()
    return secs, proc


def apply(url, cdn, dest):
    secs, proc = timed([harness.WINERUN, os.path.join(harness.BIN_DIR, "KorvelElevated.exe"), "--apply-manifest",
                        url, "--target", harness.to_win(dest), "--cdn", cdn])
    if proc.returncode != 0:
        sys.stdout.write(proc.stdout.decode("utf-8", "replace")[-3000:])
        sys.exit("bench: apply failed with %d" % proc.returncode)
    return secs


def same_tree(dest):
    for e in entries:
        p = os.path.join(dest, *e["path"].split("/"))
        if os.path.getsize(p) != e["size"]:
            sys.exit("bench: %s has the wrong size" % p)


with NginxServer(root=content) as ng:
    url, cdn = ng.url("/manifest.json"), ng.url("/")
    wine_start, _ = timed([harness.WINERUN, os.path.join(harness.BIN_DIR, "KorvelElevated.exe"), "--help"])

    cold = apply(url, cdn, target)
    same_tree(target)
    print("cold apply (empty target, empty cache):   %7.2f s" % cold, flush=True)
    warm = apply(url, cdn, target)
    same_tree(target)
    print("warm apply (same target, filled cache):   %7.2f s" % warm, flush=True)
    warm_new = apply(url, cdn, target_new)
    same_tree(target_new)
    print("warm apply (empty target, filled cache):  %7.2f s" % warm_new, flush=True)

    # The same work with host tools: one curl for every file, one
    # sha256sum over them, one cp into a target.
    downloads = os.path.join(host, "download")
    os.makedirs(downloads)
    config = os.path.join(host, "curl.cfg")
    with open(config, "w") as f:
        for e in entries:
            rel = e["path"]
            f.write('url = "%s"\noutput = "%s"\n' % (
                ng.url("/files/%s/%s" % (e["sha256"][:8], rel)), os.path.join(downloads, *rel.split("/"))))
    t_curl, proc = timed(["curl", "-s", "-S", "-f", "--noproxy", "*", "--create-dirs", "-K", config])
    if proc.returncode != 0:
        sys.exit("bench: curl failed")
    sums = os.path.join(host, "SHA256SUMS")
    with open(sums, "w") as f:
        for e in entries:
            f.write("%s  %s\n" % (e["sha256"], e["path"]))
    t_sum, proc = timed(["sha256sum", "--quiet", "-c", sums], cwd=downloads)
    if proc.returncode != 0:
        sys.exit("bench: sha256sum found a difference")
    t_cp, proc = timed(["cp", "-r", downloads, os.path.join(host, "target")])
    if proc.returncode != 0:
        sys.exit("bench: cp failed")
    baseline = t_curl + t_sum + t_cp
    print("baseline: curl %.2f s + sha256sum %.2f s + cp %.2f s = %.2f s" % (t_curl, t_sum, t_cp, baseline))

    # The same work done by Windows' own interfaces under Wine, nothing else.
    floor_dir = os.path.join(host, "floor")
    listing = os.path.join(host, "floor.lst")
    with open(listing, "w", encoding="utf-8", newline="\n") as f:
        for e in entries:
            parts = e["path"].split("/")
            f.write("%s\t%s\t%s\n" % (ng.url("/files/%s/%s" % (e["sha256"][:8], e["path"])),
                                      harness.to_win(os.path.join(floor_dir, "download", *parts)),
                                      harness.to_win(os.path.join(floor_dir, "copy", *parts))))
    _, proc = timed([harness.WINERUN, os.path.join(harness.BIN_DIR, "bench_floor.exe"), harness.to_win(listing)])
    figures = {}
    for line in proc.stdout.decode("utf-8", "replace").splitlines():
        words = line.split()
        if len(words) == 3 and words[0] == "floor:":
            figures[words[1]] = float(words[2])
    if proc.returncode != 0 or set(figures) != {"download", "hash", "copy"}:
        sys.exit("bench: bench_floor failed with %d" % proc.returncode)
    floor = figures["download"] + figures["hash"] + figures["copy"]
    warm_floor = 2.5 * figures["hash"] + figures["copy"]
    print("floor (Wine): WinHTTP %.2f s + CNG hash %.2f s + copy %.2f s = %.2f s" % (
        figures["download"], figures["hash"], figures["copy"], floor))

print("Wine start-up of one program (included above): %.2f s" % wine_start)
print("ratio cold / baseline:                 %.2f" % (cold / baseline))
print("ratio warm (same target) / sha256sum:  %.2f" % (warm / t_sum))
print("ratio warm (empty target) / sha256sum: %.2f" % (warm_new / t_sum))
print("ratio cold / floor:                    %.2f  (aim 1.3)" % (cold / floor))
print("ratio warm (same target) / (2.5 hash + copy):  %.2f  (aim 1.0)" % (warm / warm_floor))
print("ratio warm (empty target) / (2.5 hash + copy): %.2f" % (warm_new / warm_floor))
for p in (target, target_new, host, cache):
    rmtree(p)
PY
