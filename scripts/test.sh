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
ctest --output-on-failure -j"${KORVEL_TEST_JOBS:-4}" "$@"
