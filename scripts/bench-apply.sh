#!/usr/bin/env bash
# Applying an update manifest with KorvelElevated under Wine, against the same
# work done with host tools, for two shapes of content in one run: 1 GiB in
# 1,000 files and 100 MiB in 10,000 files (the most a manifest may list).
# Each content root of mixed file sizes is generated once (kept for later
# runs) and served by nginx on 127.0.0.1; then, per shape:
#
#   cold      --apply-manifest into an empty target with an empty cache
#   warm      --apply-manifest again into the same target, cache filled
#   warm/new  --apply-manifest into an empty target, cache filled
#   rollback  --apply-manifest of the same files with one wrong digest near
#             the end of the list into the warm target: everything is backed
#             up, the download fails, everything is put back
#   baseline  curl of every file, sha256sum of them, cp into a target
#   floor     the platform under Wine (tests/tools/bench_floor): a bare WinHTTP
#             download of every file, one CNG SHA-256 pass, one CopyFileW each
#
#   scripts/bench-apply.sh [SHAPE...]   SHAPE is MIB:FILES (default 1024:1000 100:10000)
#
# A smaller shape (for example 10:1000) is quicker to iterate with; the
# figures that count are those of the two default shapes.
#
# Prints each time and the ratios, and for each apply the time of each of
# its steps, in all and per file, beside the floor's per-file cost: cold against the baseline and against the
# Wine floor (download + hash + copy), warm against the baseline's one
# sha256sum pass and against the floor's 2.5 hash passes plus one copy.
# Program output goes to files on disk, as a caller would capture it. While
# each apply runs, the open file descriptors of its Wine process are counted
# (sampled from /proc) and the largest count is printed. Apply times include
# Wine's start-up, which is printed as well.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export KORVEL_BUILD_DIR="${KORVEL_BUILD_DIR:-$ROOT/build}"
if [ "$#" -eq 0 ]; then set -- 1024:1000 100:10000; fi

"$ROOT/scripts/build.sh" >/dev/null
"$ROOT/scripts/wine-prefix.sh" start
# Stop the wineserver this run started, however it ends.
trap '"$ROOT/scripts/wine-prefix.sh" stop' EXIT

cd "$ROOT/tests"
python3 - "$ROOT" "$@" <<'PY'
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

root_dir, shapes = sys.argv[1], sys.argv[2:]
# Stopped from outside, it still clears what it made (see run_shape).
signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
sys.path.insert(0, os.path.join(root_dir, "scripts"))
sys.path.insert(0, os.path.join(root_dir, "tests", "e2e"))
import content_root  # noqa: E402
import harness  # noqa: E402
from servers import NginxServer  # noqa: E402
from servers import _paths  # noqa: E402

bench = os.path.join(_paths.SCRATCH_DIR, "bench-apply")
target = os.path.join(bench, "target")
target_new = os.path.join(bench, "target-new")
host = os.path.join(bench, "host")
# Program output lands here, on the disk, as a caller would capture it.
output_dir = os.path.join(bench, "output")


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


def descendants(pid):
    """pid and every process below it."""
    children = {}
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % name) as f:
                ppid = int(f.read().rsplit(")", 1)[1].split()[1])
        except (OSError, IndexError, ValueError):
            continue
        children.setdefault(ppid, []).append(int(name))
    out, todo = [], [pid]
    while todo:
        p = todo.pop()
        out.append(p)
        todo.extend(children.get(p, []))
    return out


class FdSampler(threading.Thread):
    """The largest number of open descriptors that a Wine process below pid
    running the program had, counted every few milliseconds."""

    def __init__(self, pid, program):
        super().__init__(daemon=True)
        self.pid, self.program, self.peak, self.done = pid, program.encode(), 0, threading.Event()

    def run(self):
        watched = []
        last_scan = 0.0
        while not self.done.is_set():
            now = time.monotonic()
            if not watched or now - last_scan > 1.0:
                last_scan = now
                watched = []
                for p in descendants(self.pid):
                    try:
                        with open("/proc/%d/cmdline" % p, "rb") as f:
                            if self.program in f.read():
                                watched.append(p)
                    except OSError:
                        pass
            for p in watched:
                try:
                    self.peak = max(self.peak, len(os.listdir("/proc/%d/fd" % p)))
                except OSError:
                    pass
            self.done.wait(0.02)


def timed(argv, timeout=7200, cwd=None, sample=None):
    """Runs a command with its output captured in files on the disk (a Wine
    service started on demand may inherit the handles and outlive the
    program). With sample, the peak of open descriptors of that program's
    process is measured too."""
    os.makedirs(output_dir, exist_ok=True)
    with tempfile.TemporaryFile(dir=output_dir) as out, tempfile.TemporaryFile(dir=output_dir) as err:
        t = time.monotonic()
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=err, cwd=cwd)
        sampler = None
        if sample:
            sampler = FdSampler(proc.pid, sample)
            sampler.start()
        try:
            proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        secs = time.monotonic() - t
        if sampler:
            sampler.done.set()
            sampler.join()
        out.seek(0)
        err.seek(0)
        proc.stdout, proc.stderr = out.read(), err.read()
        proc.peak_fds = sampler.peak if sampler else 0
    return secs, proc


# Where an apply's time goes: the INFO lines that open and close its steps.
PHASES = (("backup", "Applying manifest from: ", "Backup created with ID: "),
          ("download pass", "Downloading all files from manifest", "All files downloaded successfully"),
          ("verify pass", "Verifying all downloaded files", "All files verified successfully"),
          ("install pass", "Installing all files to target directory", "All files installed successfully"),
          ("rollback", "Attempting rollback...", "Backup restored successfully"))


def seconds(stamp):
    h, m, s = stamp[11:23].split(":")
    return int(h) * 3600 + int(m) * 60 + float(s)


def phase_times(stdout):
    """(name, seconds) of each step of PHASES that the output opens and closes."""
    stamps = {}
    for event in harness.parse_events(stdout):
        message, stamp = event.get("message", ""), event.get("timestamp", "")
        for name, first, last in PHASES:
            for key, text in (("start", first), ("end", last)):
                if message.startswith(text) and (name, key) not in stamps and len(stamp) >= 23:
                    stamps[(name, key)] = seconds(stamp)
    times = []
    for name, _, _ in PHASES:
        if (name, "start") in stamps and (name, "end") in stamps:
            times.append((name, stamps[(name, "end")] - stamps[(name, "start")]))
    # The backup's removal after a successful apply has no line of its own:
    # it runs from the first to the last deletion in the backup folder.
    removal = [seconds(e["timestamp"]) for e in harness.parse_events(stdout)
               if e.get("operation") == "file:delete" and "\\backups\\" in e.get("file_path", "")
               and len(e.get("timestamp", "")) >= 23]
    if removal and not any(name == "rollback" for name, _ in times):
        times.append(("backup removal", removal[-1] - removal[0]))
    return times


def phases(times, secs, count):
    """The steps, in all and per file; the rest is Wine's start-up, the
    manifest and the cache's sweep."""
    parts = ["%s %.2f s (%.2f ms/file)" % (name, t, 1000.0 * t / count) for name, t in times]
    rest = secs - sum(t for _, t in times)
    parts.append("rest %.2f s (%.2f ms/file)" % (rest, 1000.0 * rest / count))
    return ", ".join(parts)


def apply(url, cdn, dest, count, expect_failure=False):
    secs, proc = timed([harness.WINERUN, os.path.join(harness.BIN_DIR, "KorvelElevated.exe"), "--apply-manifest",
                        url, "--target", harness.to_win(dest), "--cdn", cdn], sample="KorvelElevated.exe")
    if (proc.returncode != 0) != expect_failure:
        sys.stdout.write(proc.stdout.decode("utf-8", "replace")[-3000:])
        print("bench: apply ended with %d (peak %d open descriptors)" % (proc.returncode, proc.peak_fds), flush=True)
        return None, proc.peak_fds
    print("    steps: %s" % phases(phase_times(proc.stdout), secs, count), flush=True)
    return secs, proc.peak_fds


def show(seconds):
    return "%7.2f s" % seconds if seconds is not None else " failed"


def ratio(a, b):
    return "%.2f" % (a / b) if a is not None and b else "-"


def run_shape(total_mib, count, wine_start):
    content = os.path.join(bench, "root-%dMiB-%d" % (total_mib, count))
    stamp = os.path.join(content, "manifest.json")
    if not os.path.exists(stamp):
        print("bench: generating %d MiB in %d files" % (total_mib, count), flush=True)
        rmtree(content)
        os.makedirs(content)
        content_root.bench(content, total_mib, count)
    with open(stamp) as f:
        document = json.load(f)
    entries = document["files"]
    # The same files with one wrong digest near the end of the list (its
    # URL unchanged): the download fails after everything is backed up.
    wrong = dict(entries[-3])
    wrong["sha256"] = wrong["sha256"][:-1] + ("0" if wrong["sha256"][-1] != "0" else "1")
    document["files"] = entries[:-3] + [wrong] + entries[-2:]
    # Signed anew, so that the check passes and the download is what fails.
    content_root.sign(document)
    with open(os.path.join(content, "manifest-rollback.json"), "w") as f:
        json.dump(document, f, indent=2)
    total = sum(e["size"] for e in entries)
    print("\n== shape: %d files, %.1f MiB (largest %.1f MiB, %d over 10 MiB)" % (
        len(entries), total / 1048576.0, max(e["size"] for e in entries) / 1048576.0,
        sum(1 for e in entries if e["size"] > 10 * 1048576)), flush=True)

    cache = prefix_cache()
    for p in (target, target_new, host):
        rmtree(p)
    rmtree(cache)

    def same_tree(dest):
        for e in entries:
            p = os.path.join(dest, *e["path"].split("/"))
            if not os.path.isfile(p) or os.path.getsize(p) != e["size"]:
                print("bench: %s is missing or has the wrong size" % p)
                return False
        return True

    # The targets and the cache it filled go however the shape ends: the
    # cache is the sandbox's own, which the test suite's runs sweep.
    try:
        with NginxServer(root=content) as ng:
            url, cdn = ng.url("/manifest.json"), ng.url("/")
            n = len(entries)
            cold, peak_cold = apply(url, cdn, target, n)
            if cold is not None and not same_tree(target):
                cold = None
            print("cold apply (empty target, empty cache):   %s   peak open descriptors %d" % (show(cold), peak_cold),
                  flush=True)
            warm, peak_warm = apply(url, cdn, target, n)
            if warm is not None and not same_tree(target):
                warm = None
            print("warm apply (same target, filled cache):   %s   peak open descriptors %d" % (show(warm), peak_warm),
                  flush=True)
            warm_new, peak_new = apply(url, cdn, target_new, n)
            if warm_new is not None and not same_tree(target_new):
                warm_new = None
            print("warm apply (empty target, filled cache):  %s   peak open descriptors %d" % (show(warm_new), peak_new),
                  flush=True)
            back, peak_back = apply(ng.url("/manifest-rollback.json"), cdn, target, n, expect_failure=True)
            if back is not None and not same_tree(target):
                back = None
            print("rollback (wrong digest near the end):     %s   peak open descriptors %d" % (show(back), peak_back),
                  flush=True)

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
            print("floor per file: WinHTTP %.2f ms + CNG hash %.2f ms + copy %.2f ms = %.2f ms" % (
                1000.0 * figures["download"] / n, 1000.0 * figures["hash"] / n, 1000.0 * figures["copy"] / n,
                1000.0 * floor / n))

        print("ratio cold / baseline:                 %s" % ratio(cold, baseline))
        print("ratio warm (same target) / sha256sum:  %s" % ratio(warm, t_sum))
        print("ratio warm (empty target) / sha256sum: %s" % ratio(warm_new, t_sum))
        print("ratio cold / floor:                    %s  (aim 1.3)" % ratio(cold, floor))
        print("ratio warm (same target) / (2.5 hash + copy):  %s  (aim 1.0)" % ratio(warm, warm_floor))
        print("ratio warm (empty target) / (2.5 hash + copy): %s" % ratio(warm_new, warm_floor))
        print("ratio warm (empty target) / cold:      %s  (aim 1.0)" % ratio(warm_new, cold))
        print("ratio rollback / cold:                 %s  (aim 1.0)" % ratio(back, cold))
        print("peak open descriptors of the helper: cold %d, warm %d, warm/new %d, rollback %d" % (
            peak_cold, peak_warm, peak_new, peak_back), flush=True)
    finally:
        for p in (target, target_new, host, cache):
            rmtree(p)


wine_start, _ = timed([harness.WINERUN, os.path.join(harness.BIN_DIR, "KorvelElevated.exe"), "--help"])
print("Wine start-up of one program (included in every apply time): %.2f s" % wine_start, flush=True)
for shape in shapes:
    mib, _, files = shape.partition(":")
    run_shape(int(mib), int(files or 1000), wine_start)
rmtree(output_dir)
PY
