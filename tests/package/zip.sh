#!/bin/sh
# The Windows ZIP: the packaging project cmake/windows-zip, given the 32-bit
# and the 64-bit mingw build, makes ombrix-<version>-windows.zip holding
# exactly both DLLs and both programs (stripped, of their bitness), the
# sample, a pluginst.inf (CRLF lines) that lets a file manager install the
# plug-in from the archive and names every kind it opens, a readme for
# Windows users that names every extension to assign, and the licence.
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
for tool in cmake cpack cmp sort objdump; do
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
printf '%s\n' copyright.txt ombrix.exe ombrix.sample ombrix.wcx ombrix.wcx64 ombrix64.exe pluginst.inf readme.txt \
    >"$WORK/expected"
cmp -s "$WORK/members" "$WORK/expected" || fail "ZIP members:
$(cat "$WORK/members")"

mkdir "$WORK/x"
(cd "$WORK/x" && cmake -E tar xf "$ZIP") || fail "cannot unpack $ZIP"
# Each binary is its build's, stripped: the same code and data, no symbols.
for pair in ombrix.wcx:$WIN32_BUILD/ombrix.wcx:i386, ombrix.wcx64:$WIN64_BUILD/ombrix.wcx64:i386:x86-64, \
    ombrix.exe:$WIN32_BUILD/ombrix.exe:i386, ombrix64.exe:$WIN64_BUILD/ombrix.exe:i386:x86-64,; do
    # member:built file:architecture as objdump names it, ended by a comma.
    member=${pair%%:*}
    rest=${pair#*:}
    built=${rest%%:*}
    arch=${rest#*:}
    objdump -f "$WORK/x/$member" | grep -q "architecture: $arch" || fail "$member is not $arch: $(objdump -f "$WORK/x/$member")"
    objdump -t "$WORK/x/$member" | grep -q 'no symbols' || fail "$member is not stripped"
    [ "$(objdump -s -j .text "$WORK/x/$member" | tail -n +4 | md5sum)" = "$(objdump -s -j .text "$built" | tail -n +4 | md5sum)" ] ||
        fail "$member does not hold the code of $built"
done
cmp "$WORK/x/ombrix.sample" "$SOURCE/resources/ombrix.sample" || fail "ombrix.sample differs"
tr -d '\r' <"$WORK/x/copyright.txt" | cmp -s - "$SOURCE/packaging/copyright" || fail "copyright.txt is not the licence"

# The readme: CRLF lines for Notepad, and every extension a user assigns.
README=$WORK/x/readme.txt
[ "$(tr -cd '\r' <"$README" | wc -c)" -eq "$(wc -l <"$README")" ] || fail "readme.txt lines do not end in CRLF"
for ext in d64 d71 d80 d81 d82 g64 g71 x64 t64 lnx p00; do
    grep -q "^ *$ext " "$README" || fail "readme.txt does not name the extension $ext"
done
grep -q "ombrix64.exe" "$README" && grep -q "pluginst.inf" "$README" || fail "readme.txt does not say what the ZIP holds"

INF=$WORK/x/pluginst.inf
[ "$(tr -cd '\r' <"$INF" | wc -c)" -eq "$(wc -l <"$INF")" ] || fail "pluginst.inf lines do not end in CRLF"
tr -d '\r' <"$INF" >"$WORK/inf"
[ "$(head -n 1 "$WORK/inf")" = "[plugininstall]" ] || fail "pluginst.inf does not start with [plugininstall]"
for kind in D64 D71 D80 D81 D82 G64 G71 X64 T64 LNX P00; do
    grep -q "^description=.*$kind" "$WORK/inf" || fail "pluginst.inf's description does not name $kind"
done
for line in 'description=..*' 'type=wcx' 'file=ombrix\.wcx' 'defaultdir=ombrix' 'defaultextension=d64'; do
    grep -qx "$line" "$WORK/inf" || fail "pluginst.inf has no line $line:
$(cat "$WORK/inf")"
done
echo "$(basename "$ZIP"): $(tr '\n' ' ' <"$WORK/members")"
