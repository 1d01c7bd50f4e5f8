#!/bin/sh
# Double Commander loads the Linux plug-in for .d64, opens a disk image made
# by cc1541 in the left panel and copies files out of it with F5 to the right
# panel; the copied bytes must be the ones written into the image. Runs DC on
# a display of its own (Xvfb + openbox) with a fresh configuration, and
# leaves a screenshot in ARTEFACT_DIR.
# Usage: copy_out.sh PLUGIN ARTEFACT_DIR
set -eu

fail() {
    echo "FAIL: $*" >&2
    if [ -n "${DISPLAY:-}" ] && [ -n "${ART:-}" ]; then
        timeout 10 import -window root "$ART/doublecmd-failure.png" 2>/dev/null &&
            echo "screenshot of the failure: $ART/doublecmd-failure.png" >&2
    fi
    [ -f "${WORK:-/nonexistent}/plugin.log" ] && cp "$WORK/plugin.log" "$ART/doublecmd-plugin.log"
    exit 1
}

[ $# -eq 2 ] || fail "usage: $0 PLUGIN ARTEFACT_DIR"
PLUGIN=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
ART=$2
[ -f "$PLUGIN" ] || fail "missing plug-in $PLUGIN"
[ -f "$(dirname "$PLUGIN")/ombrix.sample" ] || fail "missing ombrix.sample beside $PLUGIN"
for tool in doublecmd Xvfb openbox xdotool import xprop cc1541 timeout cmp; do
    command -v "$tool" >/dev/null 2>&1 ||
        fail "tool '$tool' is missing (scripts/setup-deps.sh installs doublecmd-gtk xvfb openbox xdotool imagemagick x11-utils cc1541)"
done
mkdir -p "$ART"
rm -f "$ART"/doublecmd-*.png "$ART/doublecmd-plugin.log"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/ombrix-dc.XXXXXX")
XVFB_PID=
WM_PID=
DC_PID=

running() {
    [ -n "$1" ] && kill -0 "$1" 2>/dev/null
}

# Waits up to $1 tenths of a second for process $2 to end.
wait_gone() {
    n=0
    while running "$2" && [ "$n" -lt "$1" ]; do
        sleep 0.1
        n=$((n + 1))
    done
    ! running "$2"
}

cleanup() {
    if running "$DC_PID"; then
        # DC may hang on SIGTERM; its own exit key first.
        timeout 5 xdotool key --clearmodifiers alt+x 2>/dev/null || true
        wait_gone 50 "$DC_PID" || kill -TERM "$DC_PID" 2>/dev/null || true
        wait_gone 20 "$DC_PID" || kill -KILL "$DC_PID" 2>/dev/null || true
    fi
    for pid in "$WM_PID" "$XVFB_PID"; do
        if running "$pid"; then
            kill -TERM "$pid" 2>/dev/null || true
            wait_gone 20 "$pid" || kill -KILL "$pid" 2>/dev/null || true
        fi
    done
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# A private home and configuration: nothing of the user's is read or written.
export HOME="$WORK/home" XDG_CONFIG_HOME="$WORK/home/.config" XDG_CACHE_HOME="$WORK/home/.cache"
export XDG_DATA_HOME="$WORK/home/.local/share" XDG_RUNTIME_DIR="$WORK/runtime" NO_AT_BRIDGE=1
unset DBUS_SESSION_BUS_ADDRESS SESSION_MANAGER
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" "$WORK/config" "$WORK/left" "$WORK/right"
chmod 700 "$XDG_RUNTIME_DIR"

# The image: a several-block file and one with a shifted space (0xA0) in its
# name, which Linux hosts see as U+00A0.
head -c 3000 /dev/urandom >"$WORK/hello.bin"
head -c 600 /dev/urandom >"$WORK/shift.bin"
cc1541 -q -n "DOUBLE COMMANDER" -i "dc" -f "HELLO" -w "$WORK/hello.bin" -f "SHIFT#a0SPACE" -w "$WORK/shift.bin" \
    "$WORK/left/disk.d64" >/dev/null || fail "cc1541 could not make the image"
SHIFT_NAME="SHIFT$(printf '\302\240')SPACE.prg"

cat >"$WORK/config/doublecmd.xml" <<EOF
<?xml version="1.0" encoding="UTF-8"?>
<doublecmd DCVersion="1.0.10" ConfigVersion="13">
  <Plugins><WcxPlugins>
    <WcxPlugin Enabled="True"><ArchiveExt>d64</ArchiveExt><Path>$PLUGIN</Path><Flags>31</Flags></WcxPlugin>
  </WcxPlugins></Plugins>
</doublecmd>
EOF

# The plug-in's trace tells when DC has finished a listing or an extraction.
export OMBRIX_LOG="$WORK/plugin.log" OMBRIX_LOGLEVEL=3
: >"$OMBRIX_LOG"
close_count() {
    grep -c '^OMBRIX: CloseArchive' "$OMBRIX_LOG" || true
}
# poll TENTHS COMMAND...: runs COMMAND until it succeeds, at most TENTHS/10 s.
poll() {
    limit=$1
    shift
    n=0
    until "$@"; do
        [ "$n" -ge "$limit" ] && return 1
        sleep 0.1
        n=$((n + 1))
    done
}

Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset 3>"$WORK/display" >"$WORK/xvfb.log" 2>&1 &
XVFB_PID=$!
poll 100 test -s "$WORK/display" || fail "Xvfb did not start: $(cat "$WORK/xvfb.log")"
DISPLAY=:$(head -n 1 "$WORK/display")
export DISPLAY

openbox >"$WORK/openbox.log" 2>&1 &
WM_PID=$!
wm_ready() {
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'
}
poll 100 wm_ready || fail "openbox did not start: $(cat "$WORK/openbox.log")"

doublecmd --config-dir="$WORK/config" --no-splash -L "$WORK/left" -R "$WORK/right" >"$WORK/dc.log" 2>&1 &
DC_PID=$!
WID=$(timeout 60 xdotool search --sync --onlyvisible --name '^Double Commander' | head -n 1)
[ -n "$WID" ] || fail "no Double Commander window within 60 s: $(tail -n 5 "$WORK/dc.log")"
timeout 10 xdotool windowactivate --sync "$WID" || fail "cannot activate the Double Commander window"

key() {
    timeout 10 xdotool key --clearmodifiers --delay 50 "$@" || fail "xdotool key $* failed"
}

# DC fills its panels in the background after the window shows, and keys
# that come before act on a panel still empty. Idle = no CPU time used for
# three samples in a row; past 30 s the keys are sent anyway.
cpu_time() {
    awk '{ print $14 + $15 }' "/proc/$DC_PID/stat" 2>/dev/null || echo gone
}
wait_idle() {
    last=
    same=0
    n=0
    while [ "$n" -lt 150 ]; do
        now=$(cpu_time)
        if [ "$now" = "$last" ]; then
            same=$((same + 1))
            [ "$same" -ge 3 ] && return 0
        else
            same=0
            last=$now
        fi
        sleep 0.2
        n=$((n + 1))
    done
}

# Open the image: its listing is one OpenArchive ... CloseArchive.
opened() {
    grep -q '^OMBRIX: Open ' "$OMBRIX_LOG"
}
attempt=0
until opened; do
    [ "$attempt" -ge 3 ] && fail "the image was not opened (no listing by the plug-in)"
    attempt=$((attempt + 1))
    wait_idle
    key Home Down Return
    poll 50 opened || true
done
poll 100 test "$(close_count)" -ge 1 || fail "the listing of the image did not finish"
grep -q '^OMBRIX: Open .*/left/disk.d64' "$OMBRIX_LOG" || fail "the plug-in did not open left/disk.d64"

copy_dialog() {
    xdotool search --onlyvisible --name '^Copy file' >/dev/null 2>&1
}

# copy_out DOWNS NAME SOURCE: selects the DOWNS-th entry under "..", copies
# it with F5 and Return, and compares the copy with SOURCE.
copy_out() {
    before=$(close_count)
    attempt=0
    # The panel may still be filling after the listing: select again until
    # F5 brings up the copy dialog.
    until copy_dialog; do
        [ "$attempt" -ge 3 ] && fail "no copy dialog for $2"
        attempt=$((attempt + 1))
        wait_idle
        # shellcheck disable=SC2046
        key Home $(seq "$1" | sed 's/.*/Down/') F5
        poll 30 copy_dialog || true
    done
    key Return
    poll 200 test -f "$WORK/right/$2" || fail "$2 did not arrive in the right panel"
    poll 100 test "$(close_count)" -gt "$before" || fail "the extraction of $2 did not finish"
    cmp -s "$WORK/right/$2" "$3" || fail "$2 copied by Double Commander differs from the file in the image"
    echo "copied $2: $(wc -c <"$WORK/right/$2") bytes, as written into the image"
}

copy_out 1 HELLO.prg "$WORK/hello.bin"
copy_out 2 "$SHIFT_NAME" "$WORK/shift.bin"
grep -q 'EXTRACT' "$OMBRIX_LOG" || fail "no extraction in the plug-in's trace"

# Let the right panel show the copies, then keep a picture of both panels.
wait_idle
timeout 20 import -window root "$ART/doublecmd-copy.png" || fail "screenshot failed"
echo "screenshot: $ART/doublecmd-copy.png"

# DC handed the plug-in its configuration folder: the settings file is there,
# made from the sample beside the plug-in.
cmp -s "$WORK/config/ombrix.ini" "$(dirname "$PLUGIN")/ombrix.sample" ||
    fail "ombrix.ini in DC's configuration folder is not a copy of the sample"

# A key can get lost while DC is busy; alt+x again does no harm.
attempt=0
until ! running "$DC_PID"; do
    [ "$attempt" -ge 3 ] && fail "Double Commander did not quit on alt+x"
    attempt=$((attempt + 1))
    wait_idle
    key alt+x
    wait_gone 50 "$DC_PID" || true
done
DC_PID=
cp "$OMBRIX_LOG" "$ART/doublecmd-plugin.log"
echo "Double Commander test passed"
