# Sourced by the build and test scripts. Describes the private Wine sandbox
# that lives inside the build tree: its own prefix, its own HOME, no z: drive.
: "${KORVEL_BUILD_DIR:?KORVEL_BUILD_DIR must name the build tree}"
# KORVEL_WINEPREFIX names another prefix of the build tree (a test that
# needs a different Windows version).
export WINEPREFIX="${KORVEL_WINEPREFIX:-$KORVEL_BUILD_DIR/wine/prefix}"
export HOME="$KORVEL_BUILD_DIR/wine/home"
export WINEDEBUG="${WINEDEBUG:--all}"
# A test may ask for more (KORVEL_EXTRA_DLLOVERRIDES), e.g. a stand-in of a
# system program run as the native file it is.
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d${KORVEL_EXTRA_DLLOVERRIDES:+;$KORVEL_EXTRA_DLLOVERRIDES}"
export WINEARCH=win64
# WinHTTP must reach the test servers on loopback directly.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY
export KORVEL_WINE64="${KORVEL_WINE64:-/usr/lib/wine/wine64}"
export KORVEL_WINESERVER="${KORVEL_WINESERVER:-/usr/lib/wine/wineserver}"
# Drive letters: K: is the build tree's program folder, T: the scratch folder.
export KORVEL_BIN_DIR="$KORVEL_BUILD_DIR/bin"
export KORVEL_SCRATCH_DIR="$KORVEL_BUILD_DIR/scratch"
