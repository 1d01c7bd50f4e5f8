#!/bin/sh
# Double Commander loads the Linux plug-in for .d64, opens a disk image made
# by cc1541 in the left panel and copies files out of it with F5 to the right
# panel; the copied bytes must be the ones written into the image. Leaves a
# screenshot in ARTEFACT_DIR.
# Usage: copy_out.sh PLUGIN ARTEFACT_DIR
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"

[ $# -eq 2 ] || fail "usage: $0 PLUGIN ARTEFACT_DIR"
PLUGIN=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
ART=$2
dc_setup cc1541 cmp

# The image: a several-block file and one with a shifted space (0xA0) in its
# name, which Linux hosts see as U+00A0.
head -c 3000 /dev/urandom >"$WORK/hello.bin"
head -c 600 /dev/urandom >"$WORK/shift.bin"
cc1541 -q -n "DOUBLE COMMANDER" -i "dc" -f "HELLO" -w "$WORK/hello.bin" -f "SHIFT#a0SPACE" -w "$WORK/shift.bin" \
    "$WORK/left/disk.d64" >/dev/null || fail "cc1541 could not make the image"
SHIFT_NAME="SHIFT$(printf '\302\240')SPACE.prg"

dc_start d64
dc_open_image 1 left/disk.d64

# copy_out DOWNS NAME SOURCE: selects the DOWNS-th entry under "..", copies
# it with F5 and Return, and compares the copy with SOURCE.
copy_out() {
    before=$(close_count)
    # shellcheck disable=SC2046
    keys_until '^Copy file' Home $(seq "$1" | sed 's/.*/Down/') F5
    key Return
    poll 200 test -f "$WORK/right/$2" || fail "$2 did not arrive in the right panel"
    poll 100 more_log CloseArchive "$before" || fail "the extraction of $2 did not finish"
    cmp -s "$WORK/right/$2" "$3" || fail "$2 copied by Double Commander differs from the file in the image"
    echo "copied $2: $(wc -c <"$WORK/right/$2") bytes, as written into the image"
}

copy_out 1 HELLO.prg "$WORK/hello.bin"
copy_out 2 "$SHIFT_NAME" "$WORK/shift.bin"
grep -q 'EXTRACT' "$OMBRIX_LOG" || fail "no extraction in the plug-in's trace"

# Let the right panel show the copies, then keep a picture of both panels.
wait_idle
screenshot doublecmd-copy.png

# DC handed the plug-in its configuration folder: the settings file is there,
# made from the sample beside the plug-in.
cmp -s "$WORK/config/ombrix.ini" "$(dirname "$PLUGIN")/ombrix.sample" ||
    fail "ombrix.ini in DC's configuration folder is not a copy of the sample"

dc_quit
echo "Double Commander test passed"
