#!/usr/bin/env bash
# Installs what a command needs on Debian 12, and only that:
#   setup-deps.sh main    the main job: compilers, libfuse3, the mingw cross compilers
#                         (32- and 64-bit), packaging (dpkg-dev, file, help2man)
#   setup-deps.sh test    the test command: main's, plus the test libraries,
#                         the peer tools cc1541 and cbmconvert, lintian, clang
#                         with its libFuzzer runtime, Wine (32- and 64-bit) for
#                         the Windows DLLs, Double Commander with a private X
#                         display for the file-manager tests
#   setup-deps.sh fuzz    clang and its libFuzzer runtime
#   setup-deps.sh bench   the release build's, plus hyperfine, strace and the peers
# Several groups may be named; none means test. Idempotent and
# non-interactive: when everything is present it changes nothing and does not
# touch the network.
#
# A mirror is sometimes caught mid-sync: `apt-get update` then fails as a
# whole because one index (seen: the security suite's i386 list) does not
# match its size, although every other index arrived. We retry the update,
# go on with what arrived, and judge by what installs. While the security
# suite's i386 list is missing, the 32-bit Wine libraries cannot match the
# newer amd64 versions from that suite; the install is then retried with the
# security suite pinned below the main suite, so both architectures take the
# versions the main suite has for both.
set -euo pipefail

MAIN=(
    build-essential cmake dpkg-dev file help2man man-db gzip pkg-config libfuse3-dev fuse3
    g++-mingw-w64-i686 binutils-mingw-w64-i686
    g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
)
FUZZ=(clang libclang-rt-14-dev)
TEST=(
    "${MAIN[@]}" "${FUZZ[@]}"
    libgtest-dev libbenchmark-dev jq bc lintian rsync strace
    cc1541 cbmconvert
    doublecmd-gtk xvfb openbox xdotool imagemagick x11-utils
)
BENCH=(build-essential cmake libbenchmark-dev libgtest-dev hyperfine strace cc1541 cbmconvert)
# Wine without its recommendations (no Mono, Gecko, fonts for a desktop).
# 64-bit Wine is amd64 only and installs on its own; 32-bit Wine needs i386
# libraries that must match the amd64 versions, which a stale i386 index can
# make impossible. It is tried separately and may fail: the 32-bit Wine tests
# then skip, saying why, and nothing else is held up.
WINE=(wine wine64)
WINE32=(wine32:i386)

groups=("$@")
[ ${#groups[@]} -gt 0 ] || groups=(test)
wanted=()
wanted_wine=()
wanted_wine32=()
for g in "${groups[@]}"; do
    case "$g" in
        main) wanted+=("${MAIN[@]}") ;;
        test) wanted+=("${TEST[@]}"); wanted_wine=("${WINE[@]}"); wanted_wine32=("${WINE32[@]}") ;;
        fuzz) wanted+=(build-essential cmake "${FUZZ[@]}") ;;
        bench) wanted+=("${BENCH[@]}") ;;
        *) echo "setup-deps: unknown group '$g' (main, test, fuzz, bench)" >&2; exit 2 ;;
    esac
done

installed() {
    dpkg -s "$1" 2>/dev/null | grep -q '^Status: install ok installed$'
}

missing=()
missing_wine=()
missing_wine32=()
for p in "${wanted[@]}"; do
    installed "$p" || missing+=("$p")
done
for p in "${wanted_wine[@]}"; do
    installed "$p" || missing_wine+=("$p")
done
for p in "${wanted_wine32[@]}"; do
    installed "$p" || missing_wine32+=("$p")
done
# A machine that tried 32-bit Wine once and could not get it is not asked
# again on every run (the marker lives beside the package lists).
wine32_marker=/var/lib/apt/lists/.ombrix-wine32-unavailable
if [ ${#missing_wine32[@]} -gt 0 ] && [ -e "$wine32_marker" ] &&
   [ "$(find "$wine32_marker" -mmin -720 2>/dev/null)" ]; then
    echo "setup-deps: 32-bit Wine could not be installed earlier today; its tests will skip"
    missing_wine32=()
fi
need_i386=0
if [ ${#missing_wine32[@]} -gt 0 ]; then
    dpkg --print-foreign-architectures | grep -qx i386 || need_i386=1
fi

if [ ${#missing[@]} -eq 0 ] && [ ${#missing_wine[@]} -eq 0 ] && [ ${#missing_wine32[@]} -eq 0 ] &&
   [ "$need_i386" -eq 0 ]; then
    echo "setup-deps: every package for ${groups[*]} is installed"
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

echo "setup-deps: installing ${missing[*]} ${missing_wine[*]} ${missing_wine32[*]}"
updated=0
for attempt in 1 2 3; do
    if "${apt[@]}" update; then
        updated=1
        break
    fi
    echo "setup-deps: apt-get update failed (attempt $attempt of 3)" >&2
    [ "$attempt" -eq 3 ] || sleep $((attempt * 10))
done
[ "$updated" -eq 1 ] || echo "setup-deps: going on with the package lists that did arrive" >&2

# The security suite below the main suite, for this run of apt-get only.
pin=$(mktemp)
trap 'rm -f "$pin"' EXIT
printf 'Package: *\nPin: release l=Debian-Security\nPin-Priority: 100\n' >"$pin"

install_group() {  # install_group [apt options...] -- packages...
    local opts=()
    while [ "$1" != -- ]; do opts+=("$1"); shift; done
    shift
    [ $# -gt 0 ] || return 0
    "${apt[@]}" install "${opts[@]}" "$@" && return 0
    echo "setup-deps: retrying with the main suite's versions (an index may be missing)" >&2
    "${apt[@]}" -o Dir::Etc::Preferences="$pin" install "${opts[@]}" "$@"
}

status=0
install_group -- "${missing[@]}" || status=1
install_group --no-install-recommends -- "${missing_wine[@]}" || status=1
if [ ${#missing_wine32[@]} -gt 0 ]; then
    if install_group --no-install-recommends -- "${missing_wine32[@]}"; then
        "${as_root[@]}" rm -f "$wine32_marker"
    else
        echo "setup-deps: 32-bit Wine cannot be installed here (see above); the 32-bit Wine tests will skip" >&2
        "${as_root[@]}" touch "$wine32_marker" 2>/dev/null || true
    fi
fi

for p in "${wanted[@]}" "${wanted_wine[@]}"; do
    installed "$p" || { echo "setup-deps: $p did not install" >&2; status=1; }
done
[ "$status" -eq 0 ] || exit 1
echo "setup-deps: done"
