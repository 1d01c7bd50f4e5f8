#!/bin/sh
# Today's Windows hosts: the Unicode exports from a folder whose name no ANSI
# code page holds give the same listing, files, exit codes and image bytes as
# the ANSI exports from a plain folder. Also: every listed name is one Windows
# can create (device names, trailing dots and blanks, names equal but for
# letter case), and an image at a drive's root is written beside itself.
# Usage: unicode.sh WINDOWS_BUILD_DIR
set -eu
. "$(dirname "$0")/common.sh"

[ $# -eq 1 ] || fail "usage: $0 WINDOWS_BUILD_DIR"
need_tools cc1541 diff
wine_setup "$1"

ASCII=$WORK/plain
UNI="$WORK/Дискеты 日本"
mkdir -p "$ASCII/src" "$UNI/src"
for size in 1 254 255 3000 20000; do head -c "$size" /dev/urandom >"$ASCII/src/r$size"; done
# (cc1541 takes lower-case letters as unshifted PETSCII, listed in lower case.)
cc1541 -q -m -n "UNICODE TEST" -i "42" \
    -f "game" -w "$ASCII/src/r3000" \
    -f "shift#a0space" -w "$ASCII/src/r254" \
    -f "twin" -w "$ASCII/src/r255" -N -f "twin" -w "$ASCII/src/r1" \
    -T SEQ -f "notes" -w "$ASCII/src/r20000" \
    "$ASCII/img.d64" >/dev/null
cc1541 -q -n "UNICODE D81" -i "81" -f "big" -w "$ASCII/src/r20000" "$ASCII/img.d81" >/dev/null
head -c 700 /dev/urandom >"$ASCII/src/new.prg"
head -c 300 /dev/urandom >"$ASCII/src/notes2.seq"
cp "$ASCII"/src/* "$UNI/src/"
cp "$ASCII"/img.* "$UNI/"

# Every command on every image, in one folder; the results go to FOLDER/results.
run_all() {
    folder=$1
    mkdir -p "$folder/results"
    for image in img.d64 img.d81; do
        r="$folder/results/$image"
        run_wine "$r.list" "$r.list.err" list --json "$(winpath "$folder/$image")"
        echo "list $RC" >"$r.rc"
        run_wine "$r.extract" "$r.extract.err" extract "$(winpath "$folder/$image")" -C "$(winpath "$folder/out-$image")"
        echo "extract $RC" >>"$r.rc"
        run_wine "$r.test" "$r.test.err" test "$(winpath "$folder/$image")"
        echo "test $RC" >>"$r.rc"
        run_wine "$r.add" "$r.add.err" add "$(winpath "$folder/$image")" -C "$(winpath "$folder/src")" new.prg notes2.seq
        echo "add $RC" >>"$r.rc"
        # Names that match nothing fail the whole delete: each image gets its own.
        if [ "$image" = img.d64 ]; then names="twin~2.prg game.prg"; else names=big.prg; fi
        # shellcheck disable=SC2086
        run_wine "$r.delete" "$r.delete.err" delete "$(winpath "$folder/$image")" $names
        echo "delete $RC" >>"$r.rc"
        run_wine "$r.after" "$r.after.err" list --json "$(winpath "$folder/$image")"
        echo "list after $RC" >>"$r.rc"
    done
}
OMBRIX_ANSI_EXPORTS=1 run_all "$ASCII"
run_all "$UNI"
for image in img.d64 img.d81; do
    for part in rc list after; do
        # The listings name the image by its folder, which differs.
        for folder in "$ASCII" "$UNI"; do
            [ "$part" = rc ] || sed -i 's/^  {"image": "[^"]*", /  {/' "$folder/results/$image.$part"
        done
        cmp -s "$ASCII/results/$image.$part" "$UNI/results/$image.$part" ||
            fail "$image: $part differs between the ANSI and the Unicode exports:
$(diff "$ASCII/results/$image.$part" "$UNI/results/$image.$part")"
    done
    diff -r "$ASCII/out-$image" "$UNI/out-$image" >/dev/null ||
        fail "$image: extracted files differ between the ANSI and the Unicode exports"
    cmp -s "$ASCII/$image" "$UNI/$image" || fail "$image: the images differ after adding and deleting"
done
grep -q 'list 0' "$UNI/results/img.d64.rc" && grep -q 'delete 0' "$UNI/results/img.d64.rc" ||
    fail "the Unicode run did not succeed: $(cat "$UNI/results/img.d64.rc")"
grep -q '"twin~2.prg"' "$UNI/results/img.d64.list" || fail "the second TWIN is not listed as twin~2.prg"
[ -f "$UNI/out-img.d64/$(printf 'shift\302\240space.prg')" ] || fail "shift<U+00A0>space.prg was not extracted"
grep -q '"twin~2.prg"\|"game.prg"' "$UNI/results/img.d64.after" && fail "twin~2.prg or game.prg was not deleted"

# Names Windows cannot create as they stand, and two names equal but for case.
NAMES=$WORK/names
mkdir -p "$NAMES"
cc1541 -q -n "NAMES" -i "00" \
    -P -f "nul" -w "$ASCII/src/r1" -P -f "lpt1.txt" -w "$ASCII/src/r254" -P -f "a." -w "$ASCII/src/r255" \
    -P -f "b " -w "$ASCII/src/r3000" -f "aux" -w "$ASCII/src/r1" \
    -f "game" -w "$ASCII/src/r254" -f "GAME" -w "$ASCII/src/r255" \
    "$NAMES/n.d64" >/dev/null
run_wine "$NAMES/list" "$NAMES/list.err" list --json "$(winpath "$NAMES/n.d64")"
run_wine "$NAMES/extract" "$NAMES/extract.err" extract "$(winpath "$NAMES/n.d64")" -C "$(winpath "$NAMES/out")"
[ "$RC" -eq 0 ] || fail "extracting the awkward names exited $RC: $(cat "$NAMES/extract.err")"
for pair in "nul_:1" "lpt1_.txt:254" "a._:255" "b _:3000" "aux_.prg:1" "game.prg:254" "GAME~2.prg:255"; do
    file=${pair%:*}
    [ -f "$NAMES/out/$file" ] || fail "'$file' was not extracted as a file (listing: $(cat "$NAMES/list"))"
    [ "$(wc -c <"$NAMES/out/$file")" -eq "${pair##*:}" ] || fail "'$file' has the wrong size"
done
run_wine "$NAMES/delete" "$NAMES/delete.err" delete "$(winpath "$NAMES/n.d64")" aux_.prg GAME~2.prg
run_wine "$NAMES/after" "$NAMES/after.err" list --json "$(winpath "$NAMES/n.d64")"
grep -q '"aux_.prg"\|"GAME~2.prg"' "$NAMES/after" && fail "aux_.prg or GAME~2.prg was not deleted by its listed name"

# An image at the root of a drive: its temporary file goes beside it.
ROOT=$WORK/root
mkdir -p "$ROOT"
ln -s "$ROOT" "$WINEPREFIX/dosdevices/y:"
run_wine "$WORK/root.out" "$WORK/root.err" add 'Y:\root.d64' -C "$(winpath "$ASCII/src")" new.prg
[ "$RC" -eq 0 ] || fail "adding to Y:\\root.d64 exited $RC: $(cat "$WORK/root.err")"
run_wine "$WORK/root.out" "$WORK/root.err" add 'Y:\root.d64' -C "$(winpath "$ASCII/src")" notes2.seq
[ "$RC" -eq 0 ] || fail "adding again to Y:\\root.d64 exited $RC: $(cat "$WORK/root.err")"
[ "$(ls "$ROOT")" = "root.d64" ] || fail "the drive root holds more than the image: $(ls "$ROOT")"
echo "unicode: ANSI and Unicode exports agree; awkward names extract as files; drive roots work"
