#!/usr/bin/env bash
# Installs what the builds and every test need on Debian 12: compilers and
# test libraries, clang with its libFuzzer runtime, the mingw cross compilers
# (32- and 64-bit), the peer tools cc1541 and cbmconvert, Wine (32- and
# 64-bit) for the Windows DLLs, and Double Commander with a private X display
# for the file-manager test; strace for the system-call counts of scripts/bench.sh;
# dpkg-dev and file, which CPack's Debian package needs for its dependencies.
# Idempotent and non-interactive; when everything is present it changes
# nothing and does not touch the network.
set -euo pipefail

PACKAGES=(
    build-essential cmake libgtest-dev libbenchmark-dev
    dpkg-dev file help2man man-db
    hyperfine jq bc strace
    clang libclang-rt-14-dev
    g++-mingw-w64-i686 binutils-mingw-w64-i686
    g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
    cc1541 cbmconvert
    doublecmd-gtk xvfb openbox xdotool imagemagick x11-utils
)
# Wine without its recommendations (no Mono, Gecko, fonts for a desktop).
WINE_PACKAGES=(wine wine32:i386 wine64)

installed() {
    dpkg -s "$1" 2>/dev/null | grep -q '^Status: install ok installed$'
}

missing=()
missing_wine=()
for p in "${PACKAGES[@]}"; do
    installed "$p" || missing+=("$p")
done
for p in "${WINE_PACKAGES[@]}"; do
    installed "$p" || missing_wine+=("$p")
done
need_i386=0
dpkg --print-foreign-architectures | grep -qx i386 || need_i386=1

if [ ${#missing[@]} -eq 0 ] && [ ${#missing_wine[@]} -eq 0 ] && [ "$need_i386" -eq 0 ]; then
    echo "setup-deps: every package is installed"
    exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
    as_root=()
elif command -v sudo >/dev/null 2>&1; then
    as_root=(sudo)
else
    echo "setup-deps: run as root (or install sudo) to install: ${missing[*]} ${missing_wine[*]}" >&2
    exit 1
fi
apt=("${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -y -q -o Dpkg::Use-Pty=0)

if [ "$need_i386" -eq 1 ]; then
    echo "setup-deps: adding the i386 architecture (32-bit Wine)"
    "${as_root[@]}" dpkg --add-architecture i386
fi
echo "setup-deps: installing ${missing[*]} ${missing_wine[*]}"
"${apt[@]}" update
if [ ${#missing[@]} -gt 0 ]; then
    "${apt[@]}" install "${missing[@]}"
fi
if [ ${#missing_wine[@]} -gt 0 ]; then
    "${apt[@]}" install --no-install-recommends "${missing_wine[@]}"
fi

for p in "${PACKAGES[@]}" "${WINE_PACKAGES[@]}"; do
    installed "$p" || { echo "setup-deps: $p did not install" >&2; exit 1; }
done
echo "setup-deps: done"
