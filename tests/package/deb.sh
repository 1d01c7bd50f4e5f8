#!/bin/sh
# The Debian package of a Linux build: CPack makes ombrix_<version>_amd64.deb
# with the host, the plug-in and its sample, and the README; apt would take it;
# unpacked into a scratch root, its host loads the packaged plug-in with
# --plugin (the module a file manager loads), copies the sample from
# ../lib/ombrix, and lists and extracts the sample image byte for byte; the
# host's built-in plug-in lists it alike and finds the same sample.
# Usage: deb.sh LINUX_BUILD_DIR SOURCE_DIR
set -eu

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

[ $# -eq 2 ] || fail "usage: $0 LINUX_BUILD_DIR SOURCE_DIR"
BUILD=$(cd "$1" && pwd)
DEMO=$2/samples/demo.d64
for tool in cpack dpkg-deb apt-get dd cmp lintian; do
    command -v "$tool" >/dev/null 2>&1 || fail "tool '$tool' is missing"
done
[ -f "$BUILD/CPackConfig.cmake" ] || fail "no CPackConfig.cmake in $BUILD"
WORK=$(mktemp -d "${TMPDIR:-/tmp}/ombrix-deb.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

cpack --config "$BUILD/CPackConfig.cmake" -G DEB -B "$WORK/pkg" >"$WORK/cpack.log" 2>&1 ||
    { cat "$WORK/cpack.log" >&2; fail "cpack failed"; }
VERSION=$(dpkg-deb -f "$WORK/pkg"/ombrix_*.deb Version) || fail "no ombrix_*.deb: $(ls "$WORK/pkg")"
DEB=$WORK/pkg/ombrix_${VERSION}_amd64.deb
[ -f "$DEB" ] || fail "package not named ombrix_${VERSION}_amd64.deb: $(ls "$WORK/pkg")"
[ "$(dpkg-deb -f "$DEB" Package Architecture | tr '\n' ' ')" = "Package: ombrix Architecture: amd64 " ] ||
    fail "control fields: $(dpkg-deb -f "$DEB")"

dpkg-deb -c "$DEB" | awk '$1 !~ /^d/ { print $6 }' | sort >"$WORK/files"
# A static host comes with its dynamic helper for --plugin.
HELPER=
[ -x "$BUILD/ombrix-plugin-host" ] && HELPER=./usr/lib/ombrix/ombrix-plugin-host
printf '%s\n' ./usr/bin/ombrix $HELPER ./usr/lib/ombrix/ombrix.sample ./usr/lib/ombrix/ombrix.wcx \
    ./usr/share/doc/ombrix/README.md ./usr/share/doc/ombrix/changelog.gz ./usr/share/doc/ombrix/copyright \
    ./usr/share/man/man1/ombrix.1.gz ./usr/share/lintian/overrides/ombrix \
    ./usr/share/bash-completion/completions/ombrix | sort >"$WORK/expected"
cmp -s "$WORK/files" "$WORK/expected" || fail "package files:
$(cat "$WORK/files")"

dpkg-deb -f "$DEB" Depends | grep -q 'fuse3' || fail "the package does not depend on fuse3: $(dpkg-deb -f "$DEB" Depends)"

# Debian's own checks find no error in it (warnings are allowed).
lintian --fail-on error "$DEB" >"$WORK/lintian.log" 2>&1 || { cat "$WORK/lintian.log" >&2; fail "lintian reports errors"; }

# Its dependencies are met here, so `apt install ./ombrix_*.deb` would install it.
apt-get install -s "$DEB" >"$WORK/apt.log" 2>&1 || { cat "$WORK/apt.log" >&2; fail "apt would not install $DEB"; }

ROOT=$WORK/root
dpkg-deb -x "$DEB" "$ROOT"
HOST="$ROOT/usr/bin/ombrix --plugin $ROOT/usr/lib/ombrix/ombrix.wcx --ini $WORK/config/wcx.ini"
$HOST list "$DEMO" >"$WORK/list" 2>"$WORK/err" || fail "ombrix list exited $?: $(cat "$WORK/err")"
printf '%s\n' 'blocks    bytes  name' '     1       35  hello.prg' '     1       82  readme.seq' >"$WORK/expected"
cmp -s "$WORK/list" "$WORK/expected" || fail "ombrix list:
$(cat "$WORK/list")"
cmp -s "$WORK/config/ombrix.ini" "$ROOT/usr/lib/ombrix/ombrix.sample" ||
    fail "ombrix.ini was not made from the packaged sample"

"$ROOT/usr/bin/ombrix" --ini "$WORK/config2/wcx.ini" list "$DEMO" >"$WORK/list2" 2>"$WORK/err" ||
    fail "ombrix list (built-in plug-in) exited $?: $(cat "$WORK/err")"
cmp -s "$WORK/list" "$WORK/list2" || fail "the built-in plug-in lists otherwise:
$(cat "$WORK/list2")"
cmp -s "$WORK/config2/ombrix.ini" "$ROOT/usr/lib/ombrix/ombrix.sample" ||
    fail "the built-in plug-in did not copy the packaged sample"

mkdir "$WORK/out"
$HOST extract "$DEMO" -C "$WORK/out" >"$WORK/x" 2>"$WORK/err" || fail "ombrix extract exited $?: $(cat "$WORK/err")"
# The files' bytes as they lie in the image: HELLO on 1/0, README on 1/10,
# behind each block's two link bytes.
dd if="$DEMO" of="$WORK/hello" bs=1 skip=2 count=35 status=none
dd if="$DEMO" of="$WORK/readme" bs=1 skip=$((10 * 256 + 2)) count=82 status=none
cmp "$WORK/out/hello.prg" "$WORK/hello" || fail "hello.prg differs from the image's bytes"
cmp "$WORK/out/readme.seq" "$WORK/readme" || fail "readme.seq differs from the image's bytes"

# The completion, as bash runs it for the packaged ombrix: commands, the
# options of a command, an option's values, the files inside an image.
command -v bash >/dev/null 2>&1 || fail "tool 'bash' is missing"
expect_completion() {
    expected=$1
    shift
    got=$(HOME=$WORK/home bash -c '. "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _ombrix
        printf "%s\n" "${COMPREPLY[@]}"' completion "$ROOT/usr/share/bash-completion/completions/ombrix" \
        "$ROOT/usr/bin/ombrix" "$@" | tr '\n' ' ' | sed 's/ $//')
    [ "$got" = "$expected" ] || fail "completion of 'ombrix $*': '$got', not '$expected'"
}
expect_completion "extract" ex
expect_completion "--repair" validate --re
expect_completion "usr" add x.d64 --type u
expect_completion "hello.prg" extract "$DEMO" h
expect_completion "hello.prg readme.seq" delete -q "$DEMO" ""
echo "$(basename "$DEB"): $(tr '\n' ' ' <"$WORK/files")"
