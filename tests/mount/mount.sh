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
for tool in fusermount3 rsync cc1541 cbmconvert cmp diff df timeout; do
    command -v "$tool" >/dev/null 2>&1 || fail "tool '$tool' is missing (scripts/setup-deps.sh test installs it)"
done
WORK=$(mktemp -d "${TMPDIR:-/tmp}/ombrix-mount.XXXXXX")
OMBRIX="$1 --ini $WORK/config/wcx.ini"
MNT=$WORK/mnt
mkdir "$MNT"
cleanup() {
    fusermount3 -uz "$MNT" 2>/dev/null || true
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

echo "mount: every check passed"
