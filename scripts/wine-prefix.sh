#!/usr/bin/env bash
# Creates (once) and starts the private Wine sandbox.
#   wine-prefix.sh start   create the prefix if needed, start a persistent wineserver
#   wine-prefix.sh stop    stop that wineserver
set -euo pipefail
: "${KORVEL_BUILD_DIR:?}"
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
PIDFILE="$KORVEL_BUILD_DIR/wine/wineserver.pid"

stop_server() {
    # -k reaches only the server of this prefix (WINEPREFIX), also one that
    # an older script left running without a pid file.
    timeout 30 "$KORVEL_WINESERVER" -k >/dev/null 2>&1 || true
    if [ -f "$PIDFILE" ]; then
        pid="$(cat "$PIDFILE")"
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill "$pid" 2>/dev/null || true
        rm -f "$PIDFILE"
    fi
    local keeper_pid="$KORVEL_BUILD_DIR/wine/desktop_keeper.pid"
    if [ -f "$keeper_pid" ]; then
        kill "$(cat "$keeper_pid")" 2>/dev/null || true
        rm -f "$keeper_pid"
    fi
}

start_server() {
    if [ -f "$PIDFILE" ] && kill -0 "$(cat "$PIDFILE")" 2>/dev/null; then
        return 0
    fi
    # In the foreground (-f), so that $! is the server itself and stop can
    # find it, and in a session of its own, so that an interrupted caller's
    # process group does not take it down under running programs. All output
    # goes to /dev/null: an inherited stdout would keep callers waiting.
    setsid "$KORVEL_WINESERVER" -f -p </dev/null >/dev/null 2>&1 &
    echo $! > "$PIDFILE"
    sleep 0.3
}

make_sandbox() {
    local dd="$WINEPREFIX/dosdevices"
    rm -f "$dd/z:" "$dd/y:" "$dd/x:"
    mkdir -p "$KORVEL_BIN_DIR" "$KORVEL_SCRATCH_DIR"
    ln -sfn "$KORVEL_BIN_DIR" "$dd/k:"
    ln -sfn "$KORVEL_SCRATCH_DIR" "$dd/t:"
    # User shell folders must be real folders inside the prefix, never links
    # into a home directory.
    local users="$WINEPREFIX/drive_c/users"
    local u
    for u in "$users"/*; do
        [ -d "$u" ] || continue
        local f
        for f in "$u"/* "$u"/AppData/Roaming/Microsoft/Windows/Templates; do
            if [ -L "$f" ]; then rm -f "$f"; mkdir -p "$f"; fi
        done
    done
    # Never let Wine rewrite the prefix (and recreate z:) on a version change.
    echo disable > "$WINEPREFIX/.update-timestamp"
}

# Wine starts its own services (rpcss, explorer) on first demand, as children
# that inherit the output pipes of whichever program asked: a test capturing
# that program's output would then wait until the server exits. Start them
# here, detached from every caller.
warm_up() {
    timeout 60 "$KORVEL_WINE64" net start RpcSs </dev/null >/dev/null 2>&1 || true
    timeout 60 "$KORVEL_WINE64" cmd /c exit </dev/null >/dev/null 2>&1 || true
    keep_desktop
}

# Wine's desktop process exits when no program holds the desktop, and the
# next COM initialisation waits for it to start again: one idle program holds
# it for the life of the server (stopping the server ends it).
keep_desktop() {
    local keeper="$KORVEL_BIN_DIR/desktop_keeper.exe"
    local pidfile="$KORVEL_BUILD_DIR/wine/desktop_keeper.pid"
    [ -f "$keeper" ] || return 0
    if [ -f "$pidfile" ] && kill -0 "$(cat "$pidfile")" 2>/dev/null; then
        return 0
    fi
    setsid timeout 86400 "$KORVEL_WINE64" 'K:\desktop_keeper.exe' </dev/null >/dev/null 2>&1 &
    echo $! > "$pidfile"
}

case "${1:-start}" in
start)
    mkdir -p "$HOME" "$KORVEL_BUILD_DIR/wine"
    if [ ! -f "$WINEPREFIX/.korvel-ready" ]; then
        stop_server
        rm -rf "$WINEPREFIX"
        mkdir -p "$WINEPREFIX"
        start_server
        # The prefix counts as ready only when wineboot built it; otherwise
        # the next start builds it again instead of testing in a broken one.
        if ! timeout 300 "$KORVEL_WINE64" wineboot --init </dev/null >/dev/null 2>&1; then
            echo "wine-prefix: wineboot failed to create $WINEPREFIX" >&2
            stop_server
            exit 1
        fi
        make_sandbox
        touch "$WINEPREFIX/.korvel-ready"
    fi
    make_sandbox
    start_server
    warm_up
    ;;
stop)
    stop_server
    ;;
*)
    echo "usage: $0 start|stop" >&2; exit 2 ;;
esac
