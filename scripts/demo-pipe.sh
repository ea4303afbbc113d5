#!/usr/bin/env bash
# The event stream over a progress pipe, as the caller that owns the pipe
# sees it: sets up and builds, starts the Wine sandbox, starts the test pipe
# server (tests/tools/pipe_server.cpp) under Wine, runs KorvelElevated with
# --progress-pipe against it and prints each event line as the server
# receives it, then stops everything.
#
#   scripts/demo-pipe.sh [KorvelElevated arguments...]
# Without arguments it runs --remove on a folder that does not exist.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export KORVEL_BUILD_DIR="${KORVEL_BUILD_DIR:-$ROOT/build}"

"$ROOT/scripts/build.sh"
"$ROOT/scripts/wine-prefix.sh" start

BIN="$KORVEL_BUILD_DIR/bin"
WORK="$KORVEL_BUILD_DIR/scratch/demo-pipe"
rm -rf "$WORK"
mkdir -p "$WORK"
PIPE="\\\\.\\pipe\\korvel-demo-$$"
if [ "$#" -eq 0 ]; then
    set -- --remove --target 'T:\demo-pipe\Korvel'
fi

server_pid=""
cleanup() {
    if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    "$ROOT/scripts/wine-prefix.sh" stop
}
trap cleanup EXIT

echo "pipe server: $PIPE"
(cd "$BIN" && "$KORVEL_BUILD_DIR/winerun" "$BIN/pipe_server.exe" --name "$PIPE" \
    --out 'T:\demo-pipe\lines.txt' --ready 'T:\demo-pipe\ready' --echo </dev/null |
    sed -u 's/^/  pipe> /') &
server_pid=$!
for _ in $(seq 600); do
    [ -e "$WORK/ready" ] && break
    sleep 0.1
done
[ -e "$WORK/ready" ] || { echo "pipe server did not come up" >&2; exit 1; }

echo "\$ KorvelElevated.exe $* --progress-pipe $PIPE"
set +e
(cd "$BIN" && "$KORVEL_BUILD_DIR/winerun" "$BIN/KorvelElevated.exe" "$@" --progress-pipe "$PIPE" </dev/null)
code=$?
set -e
# The server ends once the helper has closed its end of the pipe.
wait "$server_pid" 2>/dev/null || true
server_pid=""
echo "exit code $code; $(wc -l <"$WORK/lines.txt") event lines came over the pipe"
