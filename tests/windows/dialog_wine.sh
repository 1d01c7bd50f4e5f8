#!/bin/sh
# The real settings dialog of the Windows DLL under Wine, on a private X
# server: dialog_driver.exe opens it through ConfigurePacker, checks its
# layout, enters values, confirms, and packs an image that must carry them;
# a second opening is cancelled. Screenshots of the dialog are kept.
#
# usage: dialog_wine.sh WINBUILD [ARTEFACTS]
#   WINBUILD   mingw build folder with ombrix.wcx (or ombrix.wcx64), ombrix.exe,
#              ombrix.sample and dialog_driver.exe
#   ARTEFACTS  where the screenshots go (default WINBUILD/test-artefacts/dialog_wine)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"

winbuild=$(cd "$1" && pwd)
artefacts=${2:-$winbuild/test-artefacts/dialog_wine}
need_tools Xvfb import xdotool
need_files "$winbuild/dialog_driver.exe"

XVFB_PID=
WM_PID=
DRIVER_PID=
stop_display() {
    # Only the processes this script started, by their id.
    for pid in $DRIVER_PID $WM_PID $XVFB_PID; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in $DRIVER_PID $WM_PID $XVFB_PID; do
        wait "$pid" 2>/dev/null || true
    done
    cleanup_work
}

wine_setup "$winbuild"
trap stop_display EXIT
# The prefix was made without a display, and the server kept from then would
# hand the driver a desktop without one: start afresh once the display is up.
timeout 30 wineserver -k >/dev/null 2>&1 || true
mkdir -p "$artefacts"
rm -f "$artefacts"/*.png

# A display of our own; Xvfb names the free display it took.
mkfifo "$WORK/displayfd"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$WORK/displayfd" >"$WORK/xvfb.log" 2>&1 &
XVFB_PID=$!
read -r display <"$WORK/displayfd" || fail "Xvfb did not start: $(cat "$WORK/xvfb.log")"
export DISPLAY=":$display"
if command -v openbox >/dev/null 2>&1; then
    openbox >"$WORK/openbox.log" 2>&1 &
    WM_PID=$!
fi

work="$WORK/dialog"
mkdir -p "$work"
export WINEDEBUG=-all,+debugstr
timeout 300 "$WINE_RUN" "$winbuild/dialog_driver.exe" "$(winpath "$winbuild/$PLUGIN_NAME")" "$(winpath "$work")" \
    >"$WORK/driver.out" 2>"$WORK/driver.err" &
DRIVER_PID=$!

# Screenshots and keystrokes on request, until the driver ends.
while kill -0 "$DRIVER_PID" 2>/dev/null; do
    for request in "$work"/*.shot "$work"/*.type; do
        [ -e "$request" ] || continue
        name=${request##*/}
        name=${name%.*}
        case "$request" in
        *.shot)
            import -window root "$artefacts/$name.png" 2>>"$WORK/import.log" || echo "no screenshot $name" >&2
            ;;
        *.type)
            window=$(xdotool search --name '^OMBRIX settings$' | head -n 1)
            [ -n "$window" ] && xdotool windowactivate --sync "$window" >>"$WORK/xdotool.log" 2>&1 || true
            xdotool type --delay 40 "$(cat "$request")" >>"$WORK/xdotool.log" 2>&1 || echo "xdotool failed" >&2
            ;;
        esac
        rm -f "$request"
        : >"$work/$name.done"
    done
    sleep 0.1
done
status=0
wait "$DRIVER_PID" || status=$?
DRIVER_PID=
tr -d '\r' <"$WORK/driver.out"
[ "$status" -eq 0 ] || {
    grep -a 'OMBRIX' "$WORK/driver.err" >&2 || true
    fail "dialog_driver.exe exited $status"
}

# The dialog's own trace, through the debug output.
log=$(grep -a -o 'OMBRIX: [^"]*' "$WORK/driver.err" | sed 's/\\n$//' | tr -d '\r')
expected='OMBRIX: >ConfigurePacker<
OMBRIX: dialog INIT
OMBRIX: dialog 40 tracks toogle
OMBRIX: dialog OK
OMBRIX: dialog OK
OMBRIX: >ConfigurePacker<
OMBRIX: dialog INIT
OMBRIX: dialog RESET IL
OMBRIX: dialog RESET DV
OMBRIX: dialog 40 tracks toogle
OMBRIX: dialog CANCEL
OMBRIX: dialog CANCEL'
dialog_log=$(printf '%s\n' "$log" | grep -E '^OMBRIX: (>ConfigurePacker<|dialog )')
[ "$dialog_log" = "$expected" ] || fail "dialog trace:
$dialog_log"

for shot in settings-dialog settings-dialog-filled; do
    [ -s "$artefacts/$shot.png" ] || fail "screenshot $shot.png missing"
done

# A peer tool reads the image made after OK.
if command -v cc1541 >/dev/null 2>&1; then
    listing=$(cc1541 "$work/confirmed.d64" 2>&1) || fail "cc1541 cannot list the image: $listing"
    printf '%s\n' "$listing" | grep -q '"wine dialog disk" wd 2b' || fail "cc1541 listing: $listing"
fi
# The Windows host reaches the same logic through ConfigurePackerText.
mkdir -p "$WORK/host"
cp "$work/FILE" "$WORK/host/FILE"
status=0
timeout 120 "$WINE_RUN" "$winbuild/ombrix.exe" --plugin "$(winpath "$winbuild/$PLUGIN_NAME")" \
    --ini "$(winpath "$WORK/host/ini/wcx.ini")" add -C "$(winpath "$WORK/host")" \
    --title "HOST DISK" --id HD --interleave d64=3,1 --forty dolphindos "$(winpath "$WORK/host/new.d64")" FILE \
    >"$WORK/host.out" 2>"$WORK/host.err" || status=$?
[ "$status" -eq 0 ] || fail "ombrix.exe add with new-image options exited $status"
[ "$(wc -c <"$WORK/host/new.d64")" -eq 196608 ] || fail "ombrix.exe made no forty-track image"
header=$(($(d64_block_index 18 0) * 256))
[ "$(bytes_at "$WORK/host/new.d64" $((header + 144)) 9)" = "72 79 83 84 32 68 73 83 75" ] ||
    fail "ombrix.exe image title: $(bytes_at "$WORK/host/new.d64" $((header + 144)) 16)"
[ "$(bytes_at "$WORK/host/new.d64" $((header + 162)) 2)" = "72 68" ] || fail "ombrix.exe image ID"
[ "$(bytes_at "$WORK/host/new.d64" $((header + 172)) 1)" = "17" ] || fail "ombrix.exe image is not DolphinDOS"
echo "screenshots in $artefacts"
