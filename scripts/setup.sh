#!/usr/bin/env bash
# Installs what the build needs on a fresh Debian machine and unpacks the
# third-party sources into .deps/. Safe to run again: each step is skipped
# when its result is already there.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
DEPS="$ROOT/.deps"
mkdir -p "$DEPS"

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

need_pkgs=()
have() { command -v "$1" >/dev/null 2>&1; }
have x86_64-w64-mingw32-g++-posix || need_pkgs+=(g++-mingw-w64-x86-64-posix)
have x86_64-w64-mingw32-gcc-posix || need_pkgs+=(gcc-mingw-w64-x86-64-posix)
[ -x /usr/lib/wine/wine64 ] || need_pkgs+=(wine64)
have cmake || need_pkgs+=(cmake)
[ -f /usr/src/googletest/CMakeLists.txt ] || need_pkgs+=(googletest)
have python3 || need_pkgs+=(python3)
have nginx || [ -x /usr/sbin/nginx ] || need_pkgs+=(nginx-light)
have openssl || need_pkgs+=(openssl)
have curl || need_pkgs+=(curl)
have dpkg-source || need_pkgs+=(dpkg-dev)
have xz || need_pkgs+=(xz-utils)
have make || need_pkgs+=(make)
have autoreconf || need_pkgs+=(autoconf)
have automake || need_pkgs+=(automake)
have libtoolize || need_pkgs+=(libtool)
python3 -c 'import cryptography' 2>/dev/null || need_pkgs+=(python3-cryptography)

apt_updated=0
apt_update() {
    if [ "$apt_updated" -eq 0 ]; then
        $SUDO apt-get update -qq
        apt_updated=1
    fi
}

if [ "${#need_pkgs[@]}" -gt 0 ]; then
    echo "setup: installing ${need_pkgs[*]}"
    apt_update
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${need_pkgs[@]}" >/dev/null
fi

JSONCPP_DIR="$DEPS/jsoncpp"
if [ ! -f "$JSONCPP_DIR/src/lib_json/json_value.cpp" ]; then
    if ! grep -rqs '^Types:.*deb-src\|^deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
        echo "setup: adding a deb-src entry for the JsonCpp source package"
        codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
        if [ -z "$codename" ]; then
            echo "setup: cannot tell the Debian release from /etc/os-release" >&2
            exit 1
        fi
        $SUDO tee /etc/apt/sources.list.d/korvel-deb-src.sources >/dev/null <<SRC
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $codename $codename-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
        apt_updated=0
    fi
    apt_update
    work="$DEPS/jsoncpp-src"
    rm -rf "$work" && mkdir -p "$work"
    (cd "$work" && apt-get source -qq libjsoncpp >/dev/null 2>&1)
    src="$(find "$work" -maxdepth 1 -type d -name 'libjsoncpp-*' | head -n1)"
    if [ -z "$src" ] || ! grep -q '1.9.5' "$src/include/json/version.h"; then
        echo "setup: JsonCpp 1.9.5 source not found" >&2
        exit 1
    fi
    rm -rf "$JSONCPP_DIR"
    mv "$src" "$JSONCPP_DIR"
    rm -rf "$work"
fi

# libsodium (Ed25519 for the manifest signature), from Debian's source
# package, cross-built as a static library for Windows x64 under .deps/.
SODIUM_DIR="$DEPS/libsodium"
if [ ! -f "$SODIUM_DIR/lib/libsodium.a" ] || [ ! -f "$SODIUM_DIR/include/sodium.h" ]; then
    apt_update
    work="$DEPS/libsodium-src"
    rm -rf "$work" && mkdir -p "$work"
    (cd "$work" && apt-get source -qq libsodium >/dev/null 2>&1)
    src="$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'libsodium-*' | head -n1)"
    if [ -z "$src" ] || [ ! -f "$src/configure.ac" ]; then
        echo "setup: libsodium source not found" >&2
        exit 1
    fi
    echo "setup: cross-building libsodium"
    rm -rf "$SODIUM_DIR"
    # The source package carries no generated configure script.
    (cd "$src" && autoreconf -if >/dev/null 2>&1 && CC=x86_64-w64-mingw32-gcc-posix AR=x86_64-w64-mingw32-ar RANLIB=x86_64-w64-mingw32-ranlib \
        ./configure -q --host=x86_64-w64-mingw32 --prefix="$SODIUM_DIR" \
            --disable-shared --enable-static --disable-ssp --with-pic=no >/dev/null \
        && make -s -j"$(nproc)" >/dev/null 2>&1 && make -s install >/dev/null)
    rm -rf "$work"
    if [ ! -f "$SODIUM_DIR/lib/libsodium.a" ]; then
        echo "setup: libsodium build failed" >&2
        exit 1
    fi
fi
echo "setup: ok"
