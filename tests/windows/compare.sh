#!/bin/sh
# The Windows build under Wine and the Linux build give the same listing, the
# same extracted files and the same exit codes for the same images, under
# several settings, and the same image bytes when they add and delete files. Images are made here by cc1541 and cbmconvert; real tape
# images are read from REALIMAGES_DIR when it exists.
# Usage: compare.sh WINDOWS_BUILD_DIR LINUX_HOST LINUX_PLUGIN [REALIMAGES_DIR]
set -eu
. "$(dirname "$0")/common.sh"

[ $# -ge 3 ] || fail "usage: $0 WINDOWS_BUILD_DIR LINUX_HOST LINUX_PLUGIN [REALIMAGES_DIR]"
LINUX_HOST=$2
LINUX_PLUGIN=$3
REAL=${4:-}
need_files "$LINUX_HOST" "$LINUX_PLUGIN"
need_tools cc1541 cbmconvert diff
wine_setup "$1"

IMG=$WORK/img
SRC=$WORK/src
mkdir -p "$IMG" "$SRC"

# Source files: random bytes around the block boundaries (254 data bytes per
# block) and a few larger ones.
for size in 1 100 253 254 255 508 3000 20000 100000 175000 200000; do
    head -c "$size" /dev/urandom >"$SRC/r$size"
done
printf 'hello from a sequential file\r\n' >"$SRC/text"

# D64, 35 tracks, two directory blocks' worth of files: every file type, a
# locked file, a scratched one, a shifted space (0xA0) inside a name, a name
# with characters a host cannot take, and two entries of the same name.
cc1541 -q -m -n "OMBRIX TEST" -i "42" \
    -f "ALPHA" -w "$SRC/r3000" \
    -f "ONE" -w "$SRC/r1" \
    -f "EXACT" -w "$SRC/r254" \
    -f "EXACT PLUS ONE" -w "$SRC/r255" \
    -T SEQ -f "TWO BLOCKS" -w "$SRC/r508" \
    -T USR -f "USR FILE" -w "$SRC/r253" \
    -P -f "LOCKED" -w "$SRC/r100" \
    -f "SHIFT#a0SPACE" -w "$SRC/r100" \
    -T REL -f "REL FILE" -w "$SRC/r255" \
    -T DEL -f "DEL FILE" -w "$SRC/r100" \
    -T 0 -f "GONE" -w "$SRC/r508" \
    -f "A*B?C:D/E" -w "$SRC/r100" \
    -f "MiXed case" -w "$SRC/r20000" \
    -f "TWIN" -w "$SRC/r100" \
    -N -f "TWIN" -w "$SRC/r253" \
    "$IMG/std.d64" >/dev/null

# Forty tracks: a file too large for 35 tracks spills onto tracks 36-40.
cc1541 -q -4 -n "SPEEDDOS" -i "40" -f "BIG" -w "$SRC/r175000" -f "SMALL" -w "$SRC/r508" \
    "$IMG/speed40.d64" >/dev/null
cc1541 -q -5 -n "DOLPHINDOS" -i "40" -f "BIG" -w "$SRC/r175000" -T SEQ -f "SMALL" -w "$SRC/text" \
    "$IMG/dolphin40.d64" >/dev/null
# D71 with a file on the second side; D81.
cc1541 -q -n "DOUBLE SIDED" -i "71" -f "BIG" -w "$SRC/r200000" -f "AFTER" -w "$SRC/r3000" \
    "$IMG/cc.d71" >/dev/null
cc1541 -q -n "THREE AND A HALF" -i "81" -f "BIG" -w "$SRC/r200000" -T SEQ -f "TEXT" -w "$SRC/text" \
    -f "LAST" -w "$SRC/r255" "$IMG/cc.d81" >/dev/null

# cbmconvert takes native files named NAME.TYPE.
mkdir -p "$WORK/native"
cp "$SRC/r3000" "$WORK/native/program.prg"
cp "$SRC/text" "$WORK/native/notes.seq"
cp "$SRC/r20000" "$WORK/native/data.usr"
(cd "$WORK/native" && cbmconvert -v0 -n -D4 "$IMG/cbm.d64" program.prg notes.seq data.usr &&
    cbmconvert -v0 -n -D7 "$IMG/cbm.d71" program.prg notes.seq data.usr &&
    cbmconvert -v0 -n -D8 "$IMG/cbm.d81" program.prg notes.seq data.usr) >/dev/null ||
    fail "cbmconvert could not write its images"

# Error bytes: 683 good ones (0) appended.
cp "$IMG/std.d64" "$IMG/errbytes.d64"
head -c 683 /dev/zero >>"$IMG/errbytes.d64"

# A bad error byte on the second block of ALPHA (the first directory entry)
# and on the only block of ONE: their extraction fails with 18.
DIR_BLOCK=$((256 * $(d64_block_index 18 1)))
set -- $(bytes_at "$IMG/std.d64" $((DIR_BLOCK + 3)) 2)
FIRST=$((256 * $(d64_block_index "$1" "$2")))
set -- $(bytes_at "$IMG/std.d64" "$FIRST" 2)
[ "$1" -ne 0 ] || fail "ALPHA should span several blocks"
cp "$IMG/errbytes.d64" "$IMG/badblock.d64"
poke_byte "$IMG/badblock.d64" $((174848 + $(d64_block_index "$1" "$2"))) 5
set -- $(bytes_at "$IMG/std.d64" $((DIR_BLOCK + 32 + 3)) 2)
poke_byte "$IMG/badblock.d64" $((174848 + $(d64_block_index "$1" "$2"))) 23
# A bad first directory block: the listing itself fails.
cp "$IMG/errbytes.d64" "$IMG/baddir.d64"
poke_byte "$IMG/baddir.d64" $((174848 + $(d64_block_index 18 1))) 20

# Images that do not open: missing, empty, too small, unknown extension.
: >"$IMG/empty.d64"
head -c 1000 "$IMG/std.d64" >"$IMG/short.d64"
cp "$IMG/std.d64" "$IMG/std.xyz"

IMAGES="std.d64 speed40.d64 dolphin40.d64 cc.d71 cc.d81 cbm.d64 cbm.d71 cbm.d81 errbytes.d64
badblock.d64 baddir.d64 empty.d64 short.d64 std.xyz missing.d64"
if [ -n "$REAL" ] && [ -d "$REAL" ]; then
    for tape in "$REAL"/*.t64; do
        [ -f "$tape" ] || continue
        ln -s "$tape" "$IMG/$(basename "$tape")"
        IMAGES="$IMAGES $(basename "$tape")"
    done
else
    echo "note: no real tape images at '${REAL}', T64 part skipped"
fi

FAILURES=0
CHECKS=0
mismatch() {
    echo "MISMATCH: $*" >&2
    FAILURES=$((FAILURES + 1))
}

# compare_rc LABEL: compares the exit codes of the last Linux and Wine runs.
compare_rc() {
    CHECKS=$((CHECKS + 1))
    [ "$LRC" -eq "$WRC" ] || mismatch "$1: exit code $LRC (Linux) vs $WRC (Wine)"
}

# A settings variant is an ombrix.ini in a folder of its own.
write_ini() {
    name=$1
    shift
    mkdir -p "$WORK/cfg-$name"
    {
        echo "[common]"
        echo "logLevel=0"
        for line in "$@"; do echo "$line"; done
    } >"$WORK/cfg-$name/ombrix.ini"
}

for VARIANT in default scratched errors; do
    case $VARIANT in
    default) write_ini "$VARIANT" ;;
    scratched) write_ini "$VARIANT" showScratchedFiles=1 appendPrgExtension=1 ;;
    errors) write_ini "$VARIANT" ignoreErrorTable=1 ;;
    esac
    LINI="$WORK/cfg-$VARIANT/wcx.ini"
    WINI=$(winpath "$LINI")
    for image in $IMAGES; do
        label="$VARIANT/$image"
        L=$WORK/out/$VARIANT/$image/linux
        W=$WORK/out/$VARIANT/$image/wine
        mkdir -p "$L" "$W"

        run_linux "$L.list" "$L.list.err" --ini "$LINI" list --json "$IMG/$image"
        LRC=$RC
        run_wine "$W.list" "$W.list.err" --ini "$WINI" list --json "$(winpath "$IMG/$image")"
        WRC=$RC
        compare_rc "$label list"
        CHECKS=$((CHECKS + 1))
        # The listings name the image as each system writes its path.
        for side in "$L" "$W"; do sed 's/^  {"image": "[^"]*", /  {/' "$side.list" >"$side.list.files"; done
        cmp -s "$L.list.files" "$W.list.files" || {
            mismatch "$label: listings differ"
            diff "$L.list.files" "$W.list.files" >&2 || true
        }
        # A tape may hold no file slot at all; every disk image here holds files.
        if [ "$LRC" -eq 0 ] && [ "${image%.t64}" = "$image" ] && ! grep -q '"name"' "$L.list"; then
            mismatch "$label: empty listing"
        fi

        run_linux "$L.x" "$L.x.err" --ini "$LINI" extract "$IMG/$image" -C "$L"
        LRC=$RC
        run_wine "$W.x" "$W.x.err" --ini "$WINI" extract "$(winpath "$IMG/$image")" -C "$(winpath "$W")"
        WRC=$RC
        compare_rc "$label extract"
        XRC=$LRC
        CHECKS=$((CHECKS + 1))
        diff -r "$L" "$W" >"$W.diff" 2>&1 || {
            mismatch "$label: extracted files differ"
            cat "$W.diff" >&2
        }

        run_linux "$L.t" "$L.t.err" --ini "$LINI" test "$IMG/$image"
        LRC=$RC
        run_wine "$W.t" "$W.t.err" --ini "$WINI" test "$(winpath "$IMG/$image")"
        WRC=$RC
        compare_rc "$label test"
        printf '%-28s list %s  extract %s  files %s\n' "$label" "$(grep -c '"name"' "$L.list" || true)" \
            "$XRC" "$(ls "$L" | wc -l)"
    done
done

# Extraction by name, a missing name included (22 on both).
L=$WORK/out/named/linux
W=$WORK/out/named/wine
mkdir -p "$L" "$W"
run_linux "$L.x" "$L.x.err" --ini "$WORK/cfg-default/wcx.ini" extract "$IMG/std.d64" -C "$L" \
    ONE.prg "MiXed case.prg" nothere.prg
LRC=$RC
run_wine "$W.x" "$W.x.err" --ini "$(winpath "$WORK/cfg-default/wcx.ini")" extract "$(winpath "$IMG/std.d64")" \
    -C "$(winpath "$W")" ONE.prg "MiXed case.prg" nothere.prg
WRC=$RC
compare_rc "named extract"
[ "$LRC" -eq 22 ] || mismatch "named extract: exit $LRC, expected 22 for the missing name"
diff -r "$L" "$W" >&2 || mismatch "named extract: files differ"

# The files themselves: what cc1541 and cbmconvert were given comes back.
D=$WORK/out/default
for pair in "std.d64/ALPHA.prg r3000" "std.d64/EXACT.prg r254" "std.d64/EXACT PLUS ONE.prg r255" \
    "std.d64/TWO BLOCKS.seq r508" "std.d64/USR FILE.usr r253" "std.d64/LOCKED r100" \
    "std.d64/MiXed case.prg r20000" "std.d64/TWIN.prg r100" "speed40.d64/BIG.prg r175000" \
    "dolphin40.d64/BIG.prg r175000" "cc.d71/BIG.prg r200000" "cc.d81/BIG.prg r200000" \
    "cbm.d64/program.prg r3000" "cbm.d81/data.usr r20000"; do
    file=${pair% *}
    source=${pair##* }
    CHECKS=$((CHECKS + 1))
    cmp -s "$D/${file%%/*}/wine/${file#*/}" "$SRC/$source" ||
        mismatch "$file under Wine is not the source file $source"
done
# The name with a shifted space arrives as U+00A0 on both sides.
[ -f "$D/std.d64/wine/SHIFT$(printf '\302\240')SPACE.prg" ] || mismatch "shifted-space name not extracted as U+00A0"
# The bad blocks fail extraction with 18; ignoring the error bytes reads them.
grep -q 'E_EREAD (18)' "$D/badblock.d64/wine.x.err" || mismatch "badblock.d64: no read error under Wine"
[ "$(grep -c '(18)' "$D/badblock.d64/wine.x.err")" -eq 2 ] || mismatch "badblock.d64: expected two failed files"
cmp -s "$WORK/out/errors/badblock.d64/wine/ALPHA.prg" "$SRC/r3000" ||
    mismatch "badblock.d64 with ignoreErrorTable: ALPHA not read whole"

# Writing: the same adds and deletes give the same image bytes and exit
# codes on both, and the Windows write-back leaves no temporary file behind.
WL=$WORK/write/linux
WW=$WORK/write/wine
mkdir -p "$WL" "$WW" "$SRC/sub"
cp "$SRC/r3000" "$SRC/game.prg"
cp "$SRC/text" "$SRC/notes.seq"
cp "$SRC/r508" "$SRC/Other File.txt"
cp "$SRC/r255" "$SRC/sub/deep.prg"
cp "$SRC/r175000" "$SRC/huge.prg"
for image in std.d64 speed40.d64 cc.d81 compunet.t64; do
    if [ "$image" = compunet.t64 ]; then
        [ -e "$IMG/t64fix-compunet.t64" ] || continue
        cp "$IMG/t64fix-compunet.t64" "$WL/$image"
    else
        cp "$IMG/$image" "$WL/$image"
    fi
    cp "$WL/$image" "$WW/$image"
done
printf '[common]\nlogLevel=0\neraseDeletedSectors=1\n' >"$WORK/cfg-default/erase.ini"

# write_step CONFIG COMMAND IMAGE ARGS...: names in ARGS use '/', which the
# Windows side gets as '\'; "add" takes its files from $SRC.
write_step() {
    config=$1
    command=$2
    image=$3
    shift 3
    label="$command $image $*"
    if [ "$command" = add ]; then
        set -- -C "$SRC" "$@"
    fi
    run_linux "$WL/out" "$WL/err" --ini "$WORK/$config" "$command" "$WL/$image" "$@"
    LRC=$RC
    wine_args=
    for arg in "$@"; do
        if [ "$arg" = "$SRC" ]; then arg=$(winpath "$SRC"); else arg=$(printf '%s' "$arg" | tr / '\\'); fi
        wine_args="$wine_args$(printf '%s' "$arg" | sed "s/'/'\\\\''/g; s/^/'/; s/\$/'/") "
    done
    eval "run_wine \"\$WW/out\" \"\$WW/err\" --ini \"\$(winpath \"\$WORK/\$config\")\" \
        \"\$command\" \"\$(winpath \"\$WW/\$image\")\" $wine_args"
    WRC=$RC
    compare_rc "$label"
    CHECKS=$((CHECKS + 1))
    if [ -e "$WL/$image" ] || [ -e "$WW/$image" ]; then
        cmp -s "$WL/$image" "$WW/$image" || mismatch "$label: images differ"
    fi
    printf '%-60s exit %s\n' "$label" "$LRC"
}

for ext in d64 d71 d80 d81 d82; do
    write_step cfg-default/wcx.ini add "new.$ext" game.prg notes.seq "Other File.txt" sub/deep.prg
    write_step cfg-default/erase.ini delete "new.$ext" notes.seq
done
write_step cfg-default/wcx.ini add speed.d64 --title "FORTY TRACKS" --id 40 --forty speeddos --error-bytes \
    game.prg huge.prg
write_step cfg-default/wcx.ini add dolphin.d64 --forty dolphindos --interleave d64=3,7 --from-track1 game.prg
write_step cfg-default/wcx.ini add d81opts.d81 --dos d81=3D --interleave d81=1,2 --use-dir-track notes.seq
write_step cfg-default/wcx.ini add std.d64 game.prg notes.seq
write_step cfg-default/wcx.ini delete std.d64 ALPHA.prg "TWO BLOCKS.seq" nothere.prg
write_step cfg-default/erase.ini delete std.d64 EXACT.prg
write_step cfg-default/wcx.ini add std.d64 huge.prg
[ "$LRC" -eq 11 ] || mismatch "adding 175,000 bytes to a full D64: exit $LRC, expected 11"
write_step cfg-default/wcx.ini add speed40.d64 game.prg
write_step cfg-default/wcx.ini add cc.d81 game.prg sub/deep.prg
write_step cfg-default/wcx.ini delete cc.d81 BIG.prg
if [ -e "$WL/compunet.t64" ]; then
    write_step cfg-default/wcx.ini add compunet.t64 game.prg
    [ "$LRC" -eq 24 ] || mismatch "adding to a tape: exit $LRC, expected 24"
fi
# The writes did happen: the new image holds what was added and not what was deleted.
run_linux "$WL/out" "$WL/err" --ini "$WORK/cfg-default/wcx.ini" list "$WW/new.d81"
# (A source is stored under its base name: sub/deep.prg as "deep".)
grep -q ' game.prg$' "$WL/out" && grep -q ' deep.prg$' "$WL/out" && ! grep -q 'notes' "$WL/out" ||
    mismatch "new.d81 written under Wine does not list as expected: $(cat "$WL/out")"
# Writers of one image at once under Wine (a new image, then the same one
# again): each lands, none undoes another.
for round in 1 2; do
    for i in 1 2 3 4 5 6; do
        cp "$SRC/r508" "$SRC/w$round$i.prg"
        (run_wine "$WW/at$i" "$WW/at$i.err" --ini "$(winpath "$WORK/cfg-default/wcx.ini")" add \
            "$(winpath "$WW/together.d64")" -C "$(winpath "$SRC")" "w$round$i.prg"
        echo "$RC" >"$WW/at$i.rc") &
    done
    wait
    for i in 1 2 3 4 5 6; do
        CHECKS=$((CHECKS + 1))
        [ "$(cat "$WW/at$i.rc")" -eq 0 ] || mismatch "writer $round.$i under Wine: exit $(cat "$WW/at$i.rc")"
        rm -f "$WW/at$i" "$WW/at$i.err" "$WW/at$i.rc"
    done
done
run_linux "$WL/out" "$WL/err" --ini "$WORK/cfg-default/wcx.ini" list "$WW/together.d64"
CHECKS=$((CHECKS + 1))
[ "$(grep -c ' w[12][1-6].prg$' "$WL/out")" -eq 12 ] ||
    mismatch "12 writers at once under Wine left: $(cat "$WL/out")"
leftovers=$(ls "$WW" | grep -v -e '\.d[0-9][0-9]$' -e '\.t64$' -e '^out$' -e '^err$' || true)
[ -z "$leftovers" ] || mismatch "files left beside the images under Wine: $leftovers"

echo "$CHECKS checks, $FAILURES mismatches"
[ "$FAILURES" -eq 0 ] || fail "Wine and Linux builds disagree"
