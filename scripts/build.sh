#!/usr/bin/env bash
# Sets up the machine (idempotent), then configures and builds into build/.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${KORVEL_BUILD_DIR:-$ROOT/build}"
"$ROOT/scripts/setup.sh"
# The build verifies manifest signatures against the tests' public key
# (tests/keys/), which signs everything the tests, benchmarks and demo serve.
KEY="$(tr -d ' \n' <"$ROOT/tests/keys/manifest-test-key.pub.hex")"
if [ ! -f "$BUILD/CMakeCache.txt" ] || ! grep -q "^KORVEL_MANIFEST_PUBLIC_KEY:STRING=$KEY\$" "$BUILD/CMakeCache.txt"; then
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DKORVEL_MANIFEST_PUBLIC_KEY="$KEY" >/dev/null
fi
cmake --build "$BUILD" -j"$(nproc)" -- --no-print-directory
