#!/usr/bin/env bash
# ombrix mount as users use it: every program sees the image as a folder.
# Usage: mount.sh OMBRIX SOURCE_DIR
set -euo pipefail

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
[ $# -eq 2 ] || fail "usage: $0 OMBRIX SOURCE_DIR"
[ -c /dev/fuse ] || fail "/dev/fuse is missing: FUSE mounts cannot be tested here"
for tool in fusermount3 rsync cc1541 cbmconvert cmp diff df du timeout; do
    command -v "$tool" >/dev/null 2>&1 || fail "tool '$tool' is missing (scripts/setup-deps.sh test installs it)"
done
WORK=$(mktemp -d "${TMPDIR:-/tmp}/ombrix-mount.XXXXXX")
OMBRIX="$(realpath "$1") --ini $WORK/config/wcx.ini"
MNT=$WORK/mnt
mkdir "$MNT"
cleanup() {
    for _ in 1 2 3; do fusermount3 -uz "$MNT" 2>/dev/null || break; done
    fusermount3 -uz "$WORK/rel" 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT

mounted() { grep -q " $MNT fuse" /proc/mounts; }
mount_image() {  # mount_image IMAGE [options]: detaches once mounted
    timeout 20 $OMBRIX mount "$@" "$MNT" || fail "ombrix mount $* exited $?"
    mounted || fail "ombrix mount returned, but $MNT is not mounted"
}
unmount() {
    timeout 20 $OMBRIX unmount "$MNT" || fail "ombrix unmount failed"
    for _ in $(seq 50); do mounted || return 0; sleep 0.1; done
    fail "still mounted"
}

# Files to copy in: a program, a text, one of several blocks.
SRC=$WORK/src
mkdir "$SRC"
printf '\001\010\013\010\012\000\231"HI"\000\000\000' >"$SRC/prog.prg"
printf 'some text\r' >"$SRC/notes.seq"
head -c 3000 /dev/urandom >"$SRC/blob.prg"

# 1. Reading: cp -r out of the mount gives what extraction gives.
cp "$2/samples/demo.d64" "$WORK/demo.d64"
mount_image "$WORK/demo.d64"
[ "$(stat -c %a "$MNT/hello.prg")" = 644 ] || fail "mode of hello.prg: $(stat -c %a "$MNT/hello.prg")"
[ "$(stat -c %s "$MNT/readme.seq")" = 82 ] || fail "size of readme.seq"
cp -r "$MNT/." "$WORK/copied"
$OMBRIX extract "$WORK/demo.d64" -C "$WORK/extracted" >/dev/null
diff -r "$WORK/copied" "$WORK/extracted" || fail "cp -r out of the mount differs from ombrix extract"
# Random offsets and a read past the end.
[ "$(dd if="$MNT/readme.seq" bs=1 skip=5 count=4 status=none)" = "DISK" ] || fail "read at an offset"
[ "$(dd if="$MNT/readme.seq" bs=1 skip=200 count=4 status=none | wc -c)" = 0 ] || fail "read past the end"
# df: the disk's blocks of 254 bytes, free as the BAM says.
free=$($OMBRIX info "$WORK/demo.d64" | sed -n 's/^blocks free: *//p')
[ "$(stat -f -c '%S %a %b' "$MNT")" = "254 $free 664" ] || fail "statfs: $(stat -f -c '%S %a %b' "$MNT")"

# 2. Writing: cp in, mv, rm; the peers read the result.
cp "$SRC/prog.prg" "$SRC/notes.seq" "$SRC/blob.prg" "$MNT/"
mv "$MNT/notes.seq" "$MNT/letter.seq"
rm "$MNT/hello.prg"
ls "$MNT" | sort | tr '\n' ' ' | grep -qx 'blob.prg letter.seq prog.prg readme.seq ' || fail "after cp, mv, rm: $(ls "$MNT")"
mkdir "$MNT/sub" 2>/dev/null && fail "mkdir was taken"
ln -s x "$MNT/link" 2>/dev/null && fail "a symbolic link was taken"
chmod 600 "$MNT/prog.prg" 2>/dev/null && fail "chmod was taken"
unmount
mkdir "$WORK/peer" && (cd "$WORK/peer" && cbmconvert -d "$WORK/demo.d64" >/dev/null 2>&1) || fail "cbmconvert -d"
cmp "$WORK/peer/prog.prg" "$SRC/prog.prg" || fail "cbmconvert reads prog.prg otherwise"
cmp "$WORK/peer/blob.prg" "$SRC/blob.prg" || fail "cbmconvert reads blob.prg otherwise"
cmp "$WORK/peer/letter.seq" "$SRC/notes.seq" || fail "cbmconvert reads letter.seq otherwise"
cc1541 "$WORK/demo.d64" 2>&1 | grep -qi '"letter"' || fail "cc1541 does not list LETTER"

# 3. rsync -a both ways.
rm -f "$WORK/demo.d64"
cp "$2/samples/demo.d64" "$WORK/demo.d64"
mount_image "$WORK/demo.d64"
rsync -a "$SRC/" "$MNT/" || fail "rsync -a into the mount"
rsync -a "$MNT/" "$WORK/back/" || fail "rsync -a out of the mount"
for f in prog.prg notes.seq blob.prg; do cmp "$WORK/back/$f" "$SRC/$f" || fail "rsync round trip of $f"; done
# Overwriting, appending, truncating.
printf 'short' >"$MNT/notes.seq"
printf '+more' >>"$MNT/notes.seq"
[ "$(cat "$MNT/notes.seq")" = "short+more" ] || fail "overwrite and append: $(cat "$MNT/notes.seq")"
truncate -s 3 "$MNT/notes.seq"
[ "$(cat "$MNT/notes.seq")" = "sho" ] || fail "truncate: $(cat "$MNT/notes.seq")"

# 4. Another program changes the image behind the mount: it is listed anew.
cp "$SRC/prog.prg" "$WORK/late.prg"
$OMBRIX add "$WORK/demo.d64" -C "$WORK" late.prg >/dev/null
[ -f "$MNT/late.prg" ] || fail "a file added behind the mount is not seen"

# 5. No room: the copy fails with ENOSPC and the image is as it was.
head -c 200000 /dev/urandom >"$WORK/huge.prg"
cp "$WORK/demo.d64" "$WORK/before.d64"
err=$(cp "$WORK/huge.prg" "$MNT/" 2>&1) && fail "a copy larger than the disk succeeded"
echo "$err" | grep -q "No space left on device" || fail "a full disk gave: $err"
cmp "$WORK/demo.d64" "$WORK/before.d64" || fail "a failed copy changed the image"
unmount

# 6. Read-only: a mount with --read-only, and a tape, take no write.
mount_image "$WORK/demo.d64" --read-only
[ "$(stat -c %a "$MNT/prog.prg")" = 444 ] || fail "mode on a read-only mount"
err=$(cp "$SRC/prog.prg" "$MNT/new.prg" 2>&1) && fail "a read-only mount took a file"
echo "$err" | grep -q "Read-only file system" || fail "read-only mount gave: $err"
unmount

# 7. The mount killed with SIGKILL while a file is being written: the image
# is as before or as after the write, never in between.
cp "$WORK/demo.d64" "$WORK/before.d64"
timeout 60 $OMBRIX mount -f "$WORK/demo.d64" "$MNT" &
pid=$!
for _ in $(seq 100); do mounted && break; sleep 0.1; done
mounted || fail "ombrix mount -f did not mount"
# The writer is halfway through when the mount dies.
({ cat "$SRC/blob.prg"; sleep 1; cat "$SRC/blob.prg"; } >"$MNT/killed.prg") 2>/dev/null &
writer=$!
sleep 0.3
kill -9 "$pid"
{ wait "$pid"; } 2>/dev/null || true
wait "$writer" 2>/dev/null || true
fusermount3 -uz "$MNT" 2>/dev/null || true
cp "$WORK/before.d64" "$WORK/after.d64"
cat "$SRC/blob.prg" "$SRC/blob.prg" >"$WORK/killed.prg"
$OMBRIX add "$WORK/after.d64" -C "$WORK" killed.prg >/dev/null
cmp -s "$WORK/demo.d64" "$WORK/before.d64" || cmp -s "$WORK/demo.d64" "$WORK/after.d64" ||
    fail "the image is neither as before nor as after the write the killed mount was serving"
ls "$WORK"/.demo.d64* 2>/dev/null && fail "a temporary file was left beside the image"

# The drive's view of an image, without its header and blocks-free lines.
cbm_dir() { $OMBRIX dir "$1" | sed '1d;$d' | tr -s ' ' | tr '\n' '|'; }
refused() {  # refused ERRNO-TEXT COMMAND...: the command fails with that error
    local err
    err=$("${@:2}" 2>&1) && fail "$* was taken"
    echo "$err" | grep -q "$1" || fail "${*:2} gave: $err"
}

# 8. One write is one file, in its own entry under its exact name and type;
# a name shown keeps naming its file (rm of game~2 and game~3 takes the 2nd
# and 3rd GAME); a locked file is read only.
printf 'AB' >"$WORK/two"
printf 'CDEF' >"$WORK/four"
(cd "$WORK" && cc1541 -q -m -n test -f game -w two -N -f game -w four -N -f game -w two -N -f game -w four \
    -f "part 1/2" -w two -T USR -f ufile -w two -T DEL -f dfile -w two -O -f open -w two -P -f locked -w four \
    kinds.d64) || fail "cc1541 cannot build kinds.d64"
mount_image "$WORK/kinds.d64"
echo text >"$MNT/notes.txt"
printf 'fsynced' | dd of="$MNT/dd.seq" conv=fsync status=none
printf '+' >>"$MNT/part 1_2.prg"
for f in ufile.usr dfile.del open; do printf 'new' >"$MNT/$f"; done
rm "$MNT/game~2.prg" "$MNT/game~3.prg"
[ "$(cat "$MNT/game~4.prg")" = CDEF ] || fail "game~4.prg no longer names the 4th GAME file"
[ "$(stat -c %a "$MNT/locked")" = 444 ] || fail "a locked file shows as $(stat -c %a "$MNT/locked")"
refused "Operation not permitted" sh -c "printf x >'$MNT/locked'"
refused "Operation not permitted" rm "$MNT/locked"
refused "Operation not permitted" mv "$MNT/locked" "$MNT/other"
refused "Invalid argument" touch "$MNT/$(printf 'x\ndelete\t')"  # no second line of changes
unmount
[ "$(cbm_dir "$WORK/kinds.d64")" = '1 "game" PRG|1 "game" PRG|1 "part 1/2" PRG|1 "ufile" USR|1 "dfile" DEL|1 "open" PRG|1 "locked" PRG<|1 "notes.txt" SEQ|1 "dd" SEQ|' ] ||
    fail "the entries after the writes: $(cbm_dir "$WORK/kinds.d64")"
$OMBRIX extract "$WORK/kinds.d64" -C "$WORK/kinds" >/dev/null
[ "$(cd "$WORK/kinds" && cat game~2.prg 'part 1_2.prg' ufile.usr dfile.del open.prg notes.txt.seq dd.seq)" = \
    "CDEFAB+newnewnewtext
fsynced" ] || fail "the files' bytes after the writes"

# 9. Renames as rename(2), never a second file of one CBM name and type:
# rsync twice (and again after a new mount, where NOTES.TXT shows as
# notes.txt.seq), mv onto a name that packing makes the same; rm of
# open files; mv of a file still being written.
RS=$WORK/rsync
mkdir "$RS"
printf 'rsynced\r' >"$RS/notes.txt"
cp "$2/samples/demo.d64" "$WORK/ren.d64"
mount_image "$WORK/ren.d64"
rsync -a "$RS/" "$MNT/" && touch -d 2001-01-01 "$RS/notes.txt" && rsync -a "$RS/" "$MNT/" || fail "rsync twice"
[ "$(ls "$MNT" | grep -c notes)" = 1 ] || fail "rsync twice shows: $(ls "$MNT")"
unmount
mount_image "$WORK/ren.d64"
rsync -a "$RS/" "$MNT/" || fail "rsync after a new mount"
printf 'A' >"$MNT/a.prg"
printf 'B' >"$MNT/b.prg"
printf 'C' >"$MNT/c.seq"
mv "$MNT/a.prg" "$MNT/b"
mv -n "$MNT/c.seq" "$MNT/b" && [ -f "$MNT/c.seq" ] || fail "mv -n replaced b"
mv "$MNT/c.seq" "$MNT/b"  # b is the PRG file B: the name shown goes, whatever its type
exec 3<"$MNT/hello.prg"
rm "$MNT/hello.prg"
cat <&3 | cmp - "$WORK/extracted/hello.prg" || fail "a file held open no longer reads after rm"
ls -a "$MNT" | grep -q 'hello\|fuse' && fail "rm of an open file left: $(ls -a "$MNT")"
exec 3<&-
exec 4>"$MNT/w.prg"
echo one >&4
mv "$MNT/w.prg" "$MNT/v.prg"
echo two >&4
exec 4>&-
exec 5>"$MNT/gone.prg"
rm "$MNT/gone.prg"
echo late >&5
exec 5>&-
[ "$(cat "$MNT/v.prg" "$MNT/b")" = "one
two
C" ] || fail "v.prg and b hold: $(cat "$MNT/v.prg" "$MNT/b")"
unmount
[ "$(cbm_dir "$WORK/ren.d64")" = '1 "v" PRG|1 "readme" SEQ|1 "notes.txt" SEQ|1 "b" SEQ|' ] ||
    fail "the entries after the renames: $(cbm_dir "$WORK/ren.d64")"
[ "$($OMBRIX extract "$WORK/ren.d64" -C "$WORK/ren" notes.txt.seq >/dev/null && cat "$WORK/ren/notes.txt.seq")" = \
    "$(cat "$RS/notes.txt")" ] || fail "NOTES.TXT does not hold what rsync wrote"

# 10. Another program changes the image under an open file: the key no
# longer matches, and the writer's bytes never go into another file.
cp "$2/samples/demo.d64" "$WORK/both.d64"
mount_image "$WORK/both.d64"
exec 3>"$MNT/hello.prg"
$OMBRIX delete "$WORK/both.d64" hello.prg >/dev/null
cp "$SRC/notes.seq" "$WORK/other.seq"
$OMBRIX add "$WORK/both.d64" -C "$WORK" other.seq >/dev/null
echo stray >&3
exec 3>&- || true
[ "$(ls "$MNT" | tr '\n' ' ')" = "other.seq readme.seq " ] || fail "after the change behind the mount: $(ls "$MNT")"
cmp "$MNT/other.seq" "$SRC/notes.seq" || fail "a writer of a file gone wrote into another file"
unmount

# 11. An X64 (under a name FUSE's option list would split) renames and
# writes; du counts a small file's 512-byte block.
{ printf '\103\025\101\144\001\002\001\043\001\000'; head -c 54 /dev/zero; cat "$WORK/before.d64"; } >"$WORK/disk,1.x64"
mount_image "$WORK/disk,1.x64"
printf 'x64' >"$MNT/small.prg"
mv "$MNT/small.prg" "$MNT/moved.prg"
[ "$(du -B1 "$MNT/moved.prg" | cut -f1)" = 512 ] || fail "du of a 3-byte file: $(du -B1 "$MNT/moved.prg")"
unmount
$OMBRIX list "$WORK/disk,1.x64" | grep -q ' 3  moved.prg$' || fail "the X64 after mv: $($OMBRIX list "$WORK/disk,1.x64")"

# 12. The image moved away: writes fail, and no image appears at its path;
# a second mount on one folder is refused.
cp "$2/samples/demo.d64" "$WORK/away.d64"
mount_image "$WORK/away.d64"
refused "mount point already" $OMBRIX mount "$WORK/away.d64" "$MNT"
mv "$WORK/away.d64" "$WORK/moved.d64"
refused "cannot create.*Stale file handle" cp "$SRC/prog.prg" "$MNT/"
[ -e "$WORK/away.d64" ] && fail "a write made a new image where the moved one was"
unmount

# 13. SIGTERM to a detached mount given a relative folder: unmounted, no dead
# mount left ("Transport endpoint is not connected").
mkdir "$WORK/rel"
(cd "$WORK" && timeout 20 $OMBRIX mount moved.d64 rel) || fail "mount on a relative folder"
for p in /proc/[0-9]*; do
    tr '\0' ' ' 2>/dev/null <"$p/cmdline" | grep -q "$WORK/config/wcx.ini mount moved.d64 rel" && pid=${p#/proc/}
done
[ -n "${pid:-}" ] || fail "the detached mount's process is not found"
kill -TERM "$pid"
for _ in $(seq 50); do [ -d "/proc/$pid" ] || break; sleep 0.1; done
ls "$WORK/rel" >/dev/null || fail "SIGTERM left a dead mount"
grep -q " $WORK/rel " /proc/mounts && fail "SIGTERM left the mount"

# 14. Writers at once: six copies into the mount and six ombrix add beside
# it, all started together; every file each reported stored is there whole.
cp "$2/samples/demo.d64" "$WORK/many.d64"
mount_image "$WORK/many.d64"
mkdir "$WORK/many"
for i in 1 2 3 4 5 6 7 8 9 10 11 12; do head -c $((i * 300)) /dev/urandom >"$WORK/many/w$i.prg"; done
pids=()
for i in 1 2 3 4 5 6; do cp "$WORK/many/w$i.prg" "$MNT/" & pids+=($!); done
for i in 7 8 9 10 11 12; do $OMBRIX add "$WORK/many.d64" -C "$WORK/many" "w$i.prg" >/dev/null & pids+=($!); done
for p in "${pids[@]}"; do wait "$p" || fail "a writer beside the others failed"; done
unmount
for i in 1 2 3 4 5 6 7 8 9 10 11 12; do
    $OMBRIX extract "$WORK/many.d64" -C "$WORK/many/out" "w$i.prg" >/dev/null || fail "w$i.prg is not in the image"
    cmp "$WORK/many/out/w$i.prg" "$WORK/many/w$i.prg" || fail "w$i.prg holds other bytes"
done

# 15. Folders: a CMD image's partitions and subdirectories are directories.
# cp -r out gives what extraction gives (on the peer's D1M when it is there);
# cp -r into a DNP, mkdir -p, mv between folders, rmdir of emptied ones; a
# partition is never made or removed, nor a folder that holds files.
peer=${OMBRIX_SHARED:-/work/shared}/peerimages/native_c1541.d1m
if [ -f "$peer" ]; then cp "$peer" "$WORK/cmd.d1m"; else $OMBRIX add "$WORK/cmd.d1m" -C "$SRC" prog.prg >/dev/null; fi
mount_image "$WORK/cmd.d1m"
cp -r "$MNT/." "$WORK/cmd-copied" || fail "cp -r out of a D1M mount"
$OMBRIX extract "$WORK/cmd.d1m" -C "$WORK/cmd-extracted" >/dev/null
diff -r "$WORK/cmd-copied" "$WORK/cmd-extracted" || fail "cp -r out of a D1M mount differs from ombrix extract"
mkdir "$MNT/partition 2" 2>/dev/null && fail "mkdir made a partition"
rmdir "$MNT/partition 1" 2>/dev/null && fail "rmdir removed a partition"
unmount
# A D81's sub-disk is a folder, but one no program makes folders in.
$OMBRIX add "$WORK/sub.d81" -C "$SRC" prog.prg >/dev/null
printf '\205\062\000SUB\240\240\240\240\240\240\240\240\240\240\240\240\240' |
    dd of="$WORK/sub.d81" bs=1 seek=$(((39 * 40 + 3) * 256 + 34)) conv=notrunc status=none
printf '\170\000' | dd of="$WORK/sub.d81" bs=1 seek=$(((39 * 40 + 3) * 256 + 62)) conv=notrunc status=none
printf '\062\003D\000SUB' | dd of="$WORK/sub.d81" bs=1 seek=$(((49 * 40) * 256)) conv=notrunc status=none
printf '3D' | dd of="$WORK/sub.d81" bs=1 seek=$(((49 * 40) * 256 + 25)) conv=notrunc status=none
mount_image "$WORK/sub.d81"
[ -d "$MNT/sub" ] || fail "the sub-disk is no folder: $(ls -l "$MNT")"
mkdir "$MNT/sub/new" 2>/dev/null && fail "mkdir made a folder in a sub-disk"
unmount
$OMBRIX add "$WORK/cmd.dnp" -C "$SRC" prog.prg >/dev/null || fail "a new DNP"
mount_image "$WORK/cmd.dnp"
mkdir -p "$MNT/a/b" || fail "mkdir -p in a DNP"
cp -r "$SRC" "$MNT/a/b/" || fail "cp -r into a DNP"
mv "$MNT/prog.prg" "$MNT/a/" || fail "mv into a folder"
ls -R "$MNT" | grep -qx "$MNT/a/b/src:" || fail "ls -R: $(ls -R "$MNT")"
for f in prog.prg notes.seq blob.prg; do cmp "$MNT/a/b/src/$f" "$SRC/$f" || fail "a/b/src/$f through the mount"; done
rmdir "$MNT/a/b/src" 2>/dev/null && fail "rmdir removed a folder holding files"
rm "$MNT/a/b/src/"* && rmdir "$MNT/a/b/src" || fail "rmdir of an emptied folder"
unmount
$OMBRIX list "$WORK/cmd.dnp" | tail -n +2 | sed 's/^ *[0-9]* *[0-9]*  //' | tr '\n' ' ' | grep -qx 'a a/b a/prog.prg ' ||
    fail "the DNP after the mount: $($OMBRIX list "$WORK/cmd.dnp")"
cmp <($OMBRIX extract "$WORK/cmd.dnp" -C "$WORK/dnp-out" >/dev/null && cat "$WORK/dnp-out/a/prog.prg") "$SRC/prog.prg" ||
    fail "a/prog.prg extracted"
$OMBRIX validate --strict "$WORK/cmd.dnp" >/dev/null || fail "the DNP does not validate clean"

echo "mount: every check passed"
