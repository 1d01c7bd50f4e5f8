#!/bin/sh
# Every write a Double Commander user has, with the left panel a folder of
# host files and the right one the images: a new image (Alt+F5), a move into
# a new image (Alt+F5 with "Move to archive": DC leaves deleting the sources
# to the plug-in), a copy into an open image (F5), an overwrite of that file
# (F5 again, DC asks, "Overwrite": PackFiles alone) and a delete (F8). Each
# image is read back by cbmconvert; moved sources must be gone, copied ones
# still there. Leaves a screenshot in ARTEFACT_DIR.
# Usage: write.sh PLUGIN ARTEFACT_DIR
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"

[ $# -eq 2 ] || fail "usage: $0 PLUGIN ARTEFACT_DIR"
PLUGIN=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
ART=$2
dc_setup cc1541 cbmconvert cmp

# Sources in the left panel, in DC's order: a.prg, game.prg, m.prg.
head -c 1000 /dev/urandom >"$WORK/left/a.prg"
head -c 700 /dev/urandom >"$WORK/left/game.prg"
head -c 300 /dev/urandom >"$WORK/left/m.prg"
cp "$WORK/left/m.prg" "$WORK/m.orig"
head -c 2000 /dev/urandom >"$WORK/hello.bin"
cc1541 -q -n "WRITE TEST" -i "wt" -f "HELLO" -w "$WORK/hello.bin" "$WORK/right/disk.d64" >/dev/null ||
    fail "cc1541 could not make the image"

# has_file IMAGE NAME [SOURCE]: cbmconvert extracts NAME from IMAGE (with
# the bytes of SOURCE when given).
has_file() {
    out=$WORK/out
    rm -rf "$out"
    mkdir "$out"
    (cd "$out" && cbmconvert -d "$1" >"$WORK/cbmconvert.log" 2>&1) ||
        fail "cbmconvert cannot read $1: $(cat "$WORK/cbmconvert.log")"
    [ -f "$out/$2" ] || return 1
    [ $# -lt 3 ] || cmp -s "$out/$2" "$3" || fail "$2 in $1 differs from $3"
}

pack_calls() {
    log_count 'PackFiles: PackedFile='
}
# The write finished: one more PackFiles (or DeleteFiles) and its end.
wait_write() {
    poll 200 more_log "$1" "$2" || fail "no $1 in the plug-in's trace"
    poll 100 more_log "$3" "$4" || fail "$1 did not finish"
}

dc_start d64

# new_image DOWNS NAME [move]: Alt+F5 on the DOWNS-th source into right/NAME.
new_image() {
    calls=$(pack_calls)
    done_count=$(log_count 'packing done')
    # shellcheck disable=SC2046
    keys_until '^Pack files$' Home $(seq "$1" | sed 's/.*/Down/') alt+F5
    key ctrl+a
    timeout 20 xdotool type --delay 20 "$WORK/right/$2" || fail "cannot type the image's path"
    [ $# -lt 3 ] || key alt+v
    key alt+o
    wait_write 'PackFiles: PackedFile=' "$calls" 'packing done' "$done_count"
    poll 100 test -f "$WORK/right/$2" || fail "$2 was not made"
}

new_image 1 new.d64
has_file "$WORK/right/new.d64" a.prg "$WORK/left/a.prg" || fail "a.prg is not in new.d64"
grep -aq "^OMBRIX: PackFiles: PackedFile=$WORK/right/new.d64, SrcPath=$WORK/left/" "$OMBRIX_LOG" ||
    fail "PackFiles was not called for new.d64 from the left folder"
echo "new image: new.d64 holds a.prg, which is still in the folder"

new_image 3 moved.d64 move
has_file "$WORK/right/moved.d64" m.prg "$WORK/m.orig" || fail "m.prg is not in moved.d64"
poll 50 test ! -e "$WORK/left/m.prg" || fail "the moved source m.prg is still there"
echo "move: moved.d64 holds m.prg, and the source is gone"

# The image in the right panel (disk.d64 comes first there).
focus_panel right
dc_open_image 1 right/disk.d64

# F5 from the folder into the open image, then the same again: DC asks, and
# "Overwrite" (alt+O) calls PackFiles alone.
copy_in() {
    calls=$(pack_calls)
    done_count=$(log_count 'packing done')
    keys_until '^Copy file' Home Down Down F5
    key Return
}
focus_panel left
copy_in
wait_write 'PackFiles: PackedFile=' "$calls" 'packing done' "$done_count"
has_file "$WORK/right/disk.d64" game.prg "$WORK/left/game.prg" || fail "game.prg is not in disk.d64"
has_file "$WORK/right/disk.d64" HELLO.prg "$WORK/hello.bin" || fail "HELLO is gone from disk.d64"
[ -f "$WORK/left/game.prg" ] || fail "the copied source game.prg is gone"
echo "copy in: disk.d64 holds game.prg beside HELLO, the source is still there"

head -c 900 /dev/urandom >"$WORK/left/game.prg"
copy_in
poll 100 has_window '^Double Commander$' || fail "DC did not ask before overwriting game.prg"
wait_idle
screenshot doublecmd-overwrite.png
key alt+o
wait_write 'PackFiles: PackedFile=' "$calls" 'packing done' "$done_count"
has_file "$WORK/right/disk.d64" game.prg "$WORK/left/game.prg" || fail "game.prg is not in disk.d64"
[ "$(log_count DeleteFiles)" -eq 0 ] || fail "DC deleted before overwriting"
echo "overwrite: game.prg in disk.d64 has the new bytes, through PackFiles alone"

# F8 on game.prg, the first entry of the image, and OK.
deletes=$(log_count 'DeleteFiles: PackedFile=')
written=$(log_count 'image written')
focus_panel right
keys_until '^Double Commander$' Home Down F8
key Return
wait_write 'DeleteFiles: PackedFile=' "$deletes" 'image written' "$written"
! has_file "$WORK/right/disk.d64" game.prg || fail "game.prg is still in disk.d64 after F8"
has_file "$WORK/right/disk.d64" HELLO.prg "$WORK/hello.bin" || fail "F8 took HELLO as well"
echo "delete: game.prg is gone from disk.d64, HELLO is still there"

wait_idle
screenshot doublecmd-write.png
dc_quit
echo "Double Commander write test passed"
