#!/usr/bin/env bash
# Benchmark of FileOperations under Wine against the host's own tools.
#   KORVEL_BUILD_DIR=... scripts/bench-fileops.sh [size in MiB, default 1024] [runs, default 3]
# Generates a file of random bytes in the build's scratch folder, then times
# hashing, copying and copying with verification through FileOperations
# (bench_fileops.exe) and the same work with sha256sum and cp on the host,
# all with the source in the page cache and every copy synced to disk. Each
# figure is the best of `runs` runs. Prints throughput and the ratios.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
: "${KORVEL_BUILD_DIR:?set KORVEL_BUILD_DIR to the build tree}"
SIZE_MIB="${1:-1024}"
RUNS="${2:-3}"
case "$SIZE_MIB" in ''|*[!0-9]*) echo "size must be a number of MiB" >&2; exit 2 ;; esac
case "$RUNS" in ''|0|*[!0-9]*) echo "runs must be a positive number" >&2; exit 2 ;; esac
TOOL="$KORVEL_BUILD_DIR/bin/bench_fileops.exe"
[ -f "$TOOL" ] || { echo "missing $TOOL: build first" >&2; exit 2; }

BENCH="$KORVEL_BUILD_DIR/scratch/bench"
rm -rf "$BENCH"
mkdir -p "$BENCH"
trap 'rm -rf "$BENCH"' EXIT
SRC="$BENCH/source.bin"
echo "generating ${SIZE_MIB} MiB of random data..."
head -c "$((SIZE_MIB * 1048576))" /dev/urandom > "$SRC"
BYTES=$(stat -c %s "$SRC")

"$ROOT/scripts/wine-prefix.sh" start
# Stop the wineserver this run started, however it ends.
trap 'rm -rf "$BENCH"; "$ROOT/scripts/wine-prefix.sh" stop' EXIT

secs() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.6f", b - a }'; }

# Host tools, file in the page cache.
best() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b < a) ? b : a }'; }
cat "$SRC" > /dev/null
HOST_HASH=""; HOST_COPY=""; HOST_COPY_VERIFY=""
for _ in $(seq "$RUNS"); do
    t0=$(secs); HOST_DIGEST=$(sha256sum "$SRC" | cut -d' ' -f1); t1=$(secs)
    HOST_HASH=$(best "$HOST_HASH" "$(elapsed "$t0" "$t1")")
    rm -f "$BENCH/host-copy.bin"
    t0=$(secs); cp "$SRC" "$BENCH/host-copy.bin"; sync "$BENCH/host-copy.bin"; t1=$(secs)
    HOST_COPY=$(best "$HOST_COPY" "$(elapsed "$t0" "$t1")")
    rm -f "$BENCH/host-copy.bin"
    t0=$(secs)
    cp "$SRC" "$BENCH/host-copy.bin"; sync "$BENCH/host-copy.bin"
    sha256sum "$SRC" "$BENCH/host-copy.bin" > "$BENCH/host-sums.txt"
    t1=$(secs)
    HOST_COPY_VERIFY=$(best "$HOST_COPY_VERIFY" "$(elapsed "$t0" "$t1")")
    [ "$(cut -d' ' -f1 "$BENCH/host-sums.txt" | sort -u | wc -l)" = 1 ] || { echo "host copy differs" >&2; exit 1; }
done
rm -f "$BENCH/host-copy.bin"

# FileOperations under Wine (times taken inside the program: no Wine start-up).
OUT="$BENCH/wine-out.txt"
"$KORVEL_BUILD_DIR/winerun" "$TOOL" 'T:\bench\source.bin' 'T:\bench\copy.bin' "$RUNS" > "$OUT" || {
    echo "bench_fileops failed with $?" >&2; grep -v '^{' "$OUT" >&2 || true; exit 1; }
field() { awk -v n="$1" '$1 == "bench:" && $2 == n { print $4 }' "$OUT"; }
OUR_HASH=$(field hash); OUR_COPY=$(field copy); OUR_COPY_VERIFY=$(field copy_verify)
OUR_DIGEST=$(awk '$1 == "bench:" && $2 == "sha256" { print $3 }' "$OUT")
[ "$OUR_DIGEST" = "$HOST_DIGEST" ] || { echo "digest mismatch: $OUR_DIGEST vs $HOST_DIGEST" >&2; exit 1; }

awk -v bytes="$BYTES" -v runs="$RUNS" -v oh="$OUR_HASH" -v oc="$OUR_COPY" -v ov="$OUR_COPY_VERIFY" \
    -v hh="$HOST_HASH" -v hc="$HOST_COPY" -v hv="$HOST_COPY_VERIFY" 'BEGIN {
    mb = bytes / 1e6
    printf "file: %d bytes (%.0f MiB), best of %d runs each\n\n", bytes, bytes / 1048576, runs
    printf "%-22s %12s %12s %12s %12s %8s\n", "operation", "ours s", "ours MB/s", "host s", "host MB/s", "ratio"
    printf "%-22s %12.3f %12.1f %12.3f %12.1f %8.2f\n", "sha256 (vs sha256sum)", oh, mb / oh, hh, mb / hh, (mb / oh) / (mb / hh)
    printf "%-22s %12.3f %12.1f %12.3f %12.1f %8.2f\n", "copy (vs cp+sync)", oc, mb / oc, hc, mb / hc, (mb / oc) / (mb / hc)
    printf "%-22s %12.3f %12.1f %12.3f %12.1f %8.2f\n", "copy+verify (vs cp+2x)", ov, mb / ov, hv, mb / hv, (mb / ov) / (mb / hv)
    printf "\nratio = our throughput / host throughput\n"
    # One copy, one hash of the source (folded into the copy read) and one
    # read and hash of the target: about copy + 2 hashes, no more.
    printf "copy+verify / (copy + 2 x hash) = %.2f (1.00 or less: no extra pass)\n", ov / (oc + 2 * oh)
    printf "verification cost = %.3f s = %.2f x one hash\n", ov - oc, (ov - oc) / oh
}'
