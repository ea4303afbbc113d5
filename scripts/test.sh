#!/usr/bin/env bash
# Sets up, builds and runs every test (unit tests under Wine, end-to-end
# tests through the real programs) with one CTest run.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export KORVEL_BUILD_DIR="${KORVEL_BUILD_DIR:-$ROOT/build}"
"$ROOT/scripts/build.sh"
"$ROOT/scripts/wine-prefix.sh" start
trap '"$ROOT/scripts/wine-prefix.sh" stop' EXIT
cd "$KORVEL_BUILD_DIR"
# Most of a test's time is Wine starting programs and the programs' own
# waits, not work of this machine's processors: as many at once as it has,
# from 4 to 8.
jobs="$(nproc 2>/dev/null || echo 4)"
if [ "$jobs" -lt 4 ]; then jobs=4; fi
if [ "$jobs" -gt 8 ]; then jobs=8; fi
ctest --output-on-failure -j"${KORVEL_TEST_JOBS:-$jobs}" "$@"
