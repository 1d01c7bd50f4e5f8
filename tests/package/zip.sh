#!/bin/sh
# The Windows ZIP: the packaging project cmake/windows-zip, given the 32-bit
# and the 64-bit mingw build, makes ombrix-<version>-windows.zip holding
# exactly both DLLs, the sample and a pluginst.inf (CRLF lines) that lets a
# file manager install the plug-in from the archive.
# Usage: zip.sh WINDOWS_BUILD_DIR WINDOWS_BUILD64_DIR SOURCE_DIR
set -eu

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

[ $# -eq 3 ] || fail "usage: $0 WINDOWS_BUILD_DIR WINDOWS_BUILD64_DIR SOURCE_DIR"
WIN32_BUILD=$(cd "$1" && pwd)
WIN64_BUILD=$(cd "$2" && pwd)
SOURCE=$(cd "$3" && pwd)
for tool in cmake cpack cmp sort; do
    command -v "$tool" >/dev/null 2>&1 || fail "tool '$tool' is missing"
done
WORK=$(mktemp -d "${TMPDIR:-/tmp}/ombrix-zip.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

{
    cmake -S "$SOURCE/cmake/windows-zip" -B "$WORK/build" \
        -DOMBRIX_WINDOWS_BUILD="$WIN32_BUILD" -DOMBRIX_WINDOWS_BUILD64="$WIN64_BUILD" &&
        cmake --build "$WORK/build" --target package
} >"$WORK/cpack.log" 2>&1 || { cat "$WORK/cpack.log" >&2; fail "the packaging project failed"; }
set -- "$WORK/build"/ombrix-*-windows.zip
[ $# -eq 1 ] && [ -f "$1" ] || fail "no ombrix-<version>-windows.zip: $(ls "$WORK/build")"
ZIP=$1

cmake -E tar tf "$ZIP" | sort >"$WORK/members"
printf '%s\n' ombrix.sample ombrix.wcx ombrix.wcx64 pluginst.inf >"$WORK/expected"
cmp -s "$WORK/members" "$WORK/expected" || fail "ZIP members:
$(cat "$WORK/members")"

mkdir "$WORK/x"
(cd "$WORK/x" && cmake -E tar xf "$ZIP") || fail "cannot unpack $ZIP"
cmp "$WORK/x/ombrix.wcx" "$WIN32_BUILD/ombrix.wcx" || fail "ombrix.wcx is not the 32-bit build's"
cmp "$WORK/x/ombrix.wcx64" "$WIN64_BUILD/ombrix.wcx64" || fail "ombrix.wcx64 is not the 64-bit build's"
cmp "$WORK/x/ombrix.sample" "$SOURCE/resources/ombrix.sample" || fail "ombrix.sample differs"

INF=$WORK/x/pluginst.inf
[ "$(tr -cd '\r' <"$INF" | wc -c)" -eq "$(wc -l <"$INF")" ] || fail "pluginst.inf lines do not end in CRLF"
tr -d '\r' <"$INF" >"$WORK/inf"
[ "$(head -n 1 "$WORK/inf")" = "[plugininstall]" ] || fail "pluginst.inf does not start with [plugininstall]"
for line in 'description=..*' 'type=wcx' 'file=ombrix\.wcx' 'defaultdir=ombrix' 'defaultextension=d64'; do
    grep -qx "$line" "$WORK/inf" || fail "pluginst.inf has no line $line:
$(cat "$WORK/inf")"
done
echo "$(basename "$ZIP"): $(tr '\n' ' ' <"$WORK/members")"
