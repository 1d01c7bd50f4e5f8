#!/bin/sh
# The settings dialog inside Double Commander: the pack dialog's "Configure"
# (Alt+F5, Alt+F) opens it through DC's form dialogs. Every control must show
# the caption, text, check and enabled state of dialog 1001 in
# resources/ombrix.rc (as the plug-in's trace reports what DC gives back);
# values typed and clicked there, confirmed with OK, must be in the header of
# the image packed next; a second opening shows them, and what is changed
# there and cancelled must not reach the next image. Screenshots of the
# dialog stay in ARTEFACT_DIR.
# Usage: settings_dialog.sh PLUGIN ARTEFACT_DIR
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"

[ $# -eq 2 ] || fail "usage: $0 PLUGIN ARTEFACT_DIR"
PLUGIN=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
ART=$2
TEMPLATE=$here/../../resources/ombrix.rc
[ -f "$TEMPLATE" ] || fail "missing $TEMPLATE"
dc_setup awk od

# Three blocks, so that the chain shows the files interleave.
head -c 700 /dev/urandom >"$WORK/left/file.prg"
dc_start d64

# The trace of the latest opening of the dialog.
latest_dialog() {
    awk '/^OMBRIX: dialog INIT$/ { n = 0 } { line[++n] = $0 } END { for (i = 1; i <= n; i++) print line[i] }' \
        "$OMBRIX_LOG"
}
# The line of control ID there: dialog item ID NAME shows|form "TEXT" checked C enabled E
item() {
    latest_dialog | grep -a "^OMBRIX: dialog item $1 " | head -n 1
}
# expect_item ID TEXT CHECKED ENABLED
expect_item() {
    line=$(item "$1")
    [ -n "$line" ] || fail "control $1 is not in the dialog's trace"
    case "$line" in
    *" \"$2\" checked $3 enabled $4") ;;
    *) fail "control $1: expected \"$2\" checked $3 enabled $4, the dialog has: ${line#OMBRIX: dialog item }" ;;
    esac
}

# alt+F5 on the selected file, the new image's path typed, and alt+F (the
# "Configure" button) until the dialog has shown every control.
open_settings() {
    keys_until '^Pack files$' Home Down alt+F5
    key ctrl+a
    timeout 20 xdotool type --delay 20 "$WORK/right/$1" || fail "cannot type the image's path"
    before=$(log_count 'dialog item 4038 ')
    until_log '>ConfigurePacker<' alt+f
    poll 100 more_log 'dialog item 4038 ' "$before" || fail "the settings dialog did not show its controls"
    DIALOG=$(window_named '^OMBRIX settings$')
    [ -n "$DIALOG" ] || fail "no window 'OMBRIX settings'"
    eval "$(xdotool getwindowgeometry --shell "$DIALOG")"
}

# click X Y W H: the middle of a control given in the template's dialog units,
# on the dialog as DC scaled it (the form is 519 x 289 pixels at 96 dpi).
click() {
    set -- $(awk -v x="$1" -v y="$2" -v w="$3" -v h="$4" -v W="$WIDTH" -v H="$HEIGHT" \
        'BEGIN { printf "%d %d", (x + w / 2) * 1.5 * W / 519, (y + h / 2) * 1.625 * H / 289 }')
    timeout 10 xdotool mousemove --window "$DIALOG" "$1" "$2" click 1 || fail "click at $1,$2 failed"
}
# type_into X Y W H TEXT: replaces the text of an edit.
type_into() {
    click "$1" "$2" "$3" "$4"
    key ctrl+a
    timeout 20 xdotool type --delay 20 "$5" || fail "cannot type $5"
}

# pack IMAGE: OK in the pack dialog, and the new image in the right panel.
pack() {
    key alt+o
    poll 200 test -f "$WORK/right/$1" || fail "$1 was not made"
    poll 100 sh -c '! xdotool search --onlyvisible --name "^Pack files\$" >/dev/null 2>&1' ||
        fail "the pack dialog did not close"
}

open_settings confirmed.d64

# The window: its title, and the template's proportions.
[ "$(xdotool getwindowname "$DIALOG")" = "OMBRIX settings" ] || fail "dialog title: $(xdotool getwindowname "$DIALOG")"
[ $((WIDTH * 289 * 100 / (HEIGHT * 519))) -ge 97 ] && [ $((WIDTH * 289 * 100 / (HEIGHT * 519))) -le 103 ] ||
    fail "dialog of ${WIDTH}x$HEIGHT pixels, not in the template's proportions 519x289"
echo "dialog 'OMBRIX settings', ${WIDTH}x$HEIGHT pixels"
timeout 20 import -frame -window "$DIALOG" "$ART/doublecmd-settings-dialog.png" || fail "screenshot failed"

# Every control of the template, as the dialog shows it with the defaults:
# the template's caption (edits: the default value), unchecked, enabled
# unless the template disables it.
controls=$(awk '/^1001 DIALOGEX/ { dialog = 1 } dialog && /^BEGIN/ { on = 1; next } on && /^END/ { exit }
    on && match($0, /"[^"]*", *[0-9]+/) {
        split(substr($0, RSTART, RLENGTH), part, /", */)
        box = $1 ~ /^AUTO(CHECKBOX|RADIOBUTTON)$/ ? 0 : -1
        print part[2] "|" substr(part[1], 2) "|" box "|" ($0 ~ /WS_DISABLED/ ? 0 : 1)
    }' "$TEMPLATE")
[ "$(printf '%s\n' "$controls" | wc -l)" -eq 40 ] || fail "dialog 1001 of the template has not 40 controls"
printf '%s\n' "$controls" | while IFS='|' read -r id caption box enabled; do
    expect_item "$id" "$caption" "$box" "$enabled"
done || exit 1
echo "every control as in the template ($(latest_dialog | grep -ac ' shows ') reported by DC, the rest from the form)"

# Title (the field takes 16 characters), ID (2), the D64 files interleave,
# then 40 tracks, and DolphinDos with the arrow key in the radio group.
type_into 272 96 64 12 "DOUBLE COMMANDER DISK"
type_into 272 112 16 12 "DCX"
type_into 68 60 40 12 4
before=$(log_count 'dialog 40 tracks toogle')
click 240 28 84 10
poll 50 more_log 'dialog 40 tracks toogle' "$before" || fail "a click on '40 tracks image ?' did not reach the dialog"
key Tab Down
timeout 20 import -frame -window "$DIALOG" "$ART/doublecmd-settings-dialog-filled.png" || fail "screenshot failed"
# Enter presses OK, the dialog's default button.
before=$(log_count 'dialog OK')
key Return
poll 50 more_log 'dialog OK' "$before" || fail "Enter did not confirm the dialog"
pack confirmed.d64

image=$WORK/right/confirmed.d64
header=$(($(d64_block_index 18 0) * 256))
[ "$(wc -c <"$image")" -eq 196608 ] || fail "confirmed.d64 has $(wc -c <"$image") bytes, not 40 tracks"
# "DOUBLE COMMANDER" (16 characters), ID "DC".
[ "$(bytes_at "$image" $((header + 144)) 16)" = "68 79 85 66 76 69 32 67 79 77 77 65 78 68 69 82" ] ||
    fail "title of confirmed.d64: $(bytes_at "$image" $((header + 144)) 16)"
[ "$(bytes_at "$image" $((header + 162)) 2)" = "68 67" ] || fail "ID of confirmed.d64: $(bytes_at "$image" $((header + 162)) 2)"
# DolphinDOS keeps the BAM of tracks 36-40 at bytes 172-191 (17 free each).
[ "$(bytes_at "$image" $((header + 172)) 20)" = "$(printf '17 255 255 1 %.0s' 1 2 3 4 5 | sed 's/ $//')" ] ||
    fail "confirmed.d64 has no DolphinDOS BAM: $(bytes_at "$image" $((header + 172)) 20)"
# The file's second block lies 4 sectors after its first.
entry=$(($(d64_block_index 18 1) * 256 + 2))
set -- $(bytes_at "$image" $((entry + 1)) 2)
set -- "$1" "$2" $(bytes_at "$image" $(($(d64_block_index "$1" "$2") * 256)) 2)
[ "$3" -eq "$1" ] && [ "$4" -eq $(($2 + 4)) ] || fail "file chain $1:$2 -> $3:$4, not interleave 4"
echo "confirmed.d64: 40 tracks DolphinDOS, title and ID as typed, files interleave 4"

# Opened again: the confirmed values. A new title and 40 tracks off, then
# Cancel (Escape): the next image keeps the confirmed values.
open_settings cancelled.d64
expect_item 4022 "DOUBLE COMMANDER" -1 1
expect_item 4024 DC -1 1
expect_item 4007 4 -1 1
expect_item 4020 "40 tracks image ?" 1 1
expect_item 4034 SpeedDos 0 1
expect_item 4035 DolphinDos 1 1
type_into 272 96 64 12 CANCELLED
click 240 28 84 10
before=$(log_count 'dialog CANCEL')
key Escape
poll 50 more_log 'dialog CANCEL' "$before" || fail "Escape did not cancel the dialog"
pack cancelled.d64
image=$WORK/right/cancelled.d64
[ "$(wc -c <"$image")" -eq 196608 ] || fail "the cancelled dialog changed the tracks of new images"
[ "$(bytes_at "$image" $((header + 144)) 15)" = "68 79 85 66 76 69 32 67 79 77 77 65 78 68 69" ] ||
    fail "the cancelled title reached cancelled.d64: $(bytes_at "$image" $((header + 144)) 16)"
echo "cancelled.d64: the confirmed values, not the cancelled ones"

dc_quit
echo "Double Commander settings dialog test passed"
