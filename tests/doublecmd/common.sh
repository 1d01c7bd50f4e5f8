# Shared helpers of the Double Commander tests; sourced by the scripts beside
# it. Each script runs DC on a display of its own (Xvfb + openbox) with a
# fresh configuration in a temporary folder, and drives it by keys.
# The script sets PLUGIN (the plug-in, absolute) and ART (artefact folder)
# and calls dc_setup; WORK is the temporary folder, with left/ and right/.

fail() {
    echo "FAIL: $*" >&2
    if [ -n "${DISPLAY:-}" ] && [ -n "${ART:-}" ]; then
        timeout 10 import -window root "$ART/doublecmd-failure.png" 2>/dev/null &&
            echo "screenshot of the failure: $ART/doublecmd-failure.png" >&2
    fi
    [ -f "${WORK:-/nonexistent}/plugin.log" ] && cp "$WORK/plugin.log" "$ART/doublecmd-plugin.log"
    exit 1
}

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

dc_cleanup() {
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
    if [ -n "${OMBRIX_KEEP_WORK:-}" ]; then
        echo "work folder kept: $WORK" >&2
    else
        rm -rf "$WORK"
    fi
}

# dc_setup TOOL...: checks the plug-in and the tools, makes the work folder
# and a private home, and cleans up on exit.
dc_setup() {
    [ -f "$PLUGIN" ] || fail "missing plug-in $PLUGIN"
    [ -f "$(dirname "$PLUGIN")/ombrix.sample" ] || fail "missing ombrix.sample beside $PLUGIN"
    for tool in doublecmd Xvfb openbox xdotool import xprop timeout "$@"; do
        command -v "$tool" >/dev/null 2>&1 ||
            fail "tool '$tool' is missing (scripts/setup-deps.sh installs doublecmd-gtk xvfb openbox xdotool imagemagick x11-utils cc1541 cbmconvert)"
    done
    mkdir -p "$ART"
    rm -f "$ART"/doublecmd-*.png "$ART/doublecmd-plugin.log"

    WORK=$(mktemp -d "${TMPDIR:-/tmp}/ombrix-dc.XXXXXX")
    XVFB_PID=
    WM_PID=
    DC_PID=
    trap dc_cleanup EXIT
    trap 'exit 1' INT TERM

    # Nothing of the user's is read or written.
    export HOME="$WORK/home" XDG_CONFIG_HOME="$WORK/home/.config" XDG_CACHE_HOME="$WORK/home/.cache"
    export XDG_DATA_HOME="$WORK/home/.local/share" XDG_RUNTIME_DIR="$WORK/runtime" NO_AT_BRIDGE=1
    unset DBUS_SESSION_BUS_ADDRESS SESSION_MANAGER
    mkdir -p "$HOME" "$XDG_RUNTIME_DIR" "$WORK/config" "$WORK/left" "$WORK/right"
    chmod 700 "$XDG_RUNTIME_DIR"

    # The plug-in's trace tells when DC has finished a call.
    export OMBRIX_LOG="$WORK/plugin.log" OMBRIX_LOGLEVEL=3
    : >"$OMBRIX_LOG"
}

# Lines of the plug-in's trace matching the regular expression $1.
log_count() {
    grep -ac "^OMBRIX: $1" "$OMBRIX_LOG" || true
}
close_count() {
    log_count CloseArchive
}
# more_log PATTERN N: more than N lines of the trace match PATTERN.
more_log() {
    [ "$(log_count "$1")" -gt "$2" ]
}

# dc_start EXTENSION...: registers the plug-in for each extension, starts the
# display, the window manager and DC with left/ and right/ as its panels.
dc_start() {
    {
        echo '<?xml version="1.0" encoding="UTF-8"?>'
        echo '<doublecmd DCVersion="1.0.10" ConfigVersion="13">'
        echo '  <Plugins><WcxPlugins>'
        for ext in "$@"; do
            echo "    <WcxPlugin Enabled=\"True\"><ArchiveExt>$ext</ArchiveExt><Path>$PLUGIN</Path><Flags>31</Flags></WcxPlugin>"
        done
        echo '  </WcxPlugins></Plugins>'
        echo '</doublecmd>'
    } >"$WORK/config/doublecmd.xml"

    Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset 3>"$WORK/display" >"$WORK/xvfb.log" 2>&1 &
    XVFB_PID=$!
    poll 100 test -s "$WORK/display" || fail "Xvfb did not start: $(cat "$WORK/xvfb.log")"
    DISPLAY=:$(head -n 1 "$WORK/display")
    export DISPLAY

    openbox >"$WORK/openbox.log" 2>&1 &
    WM_PID=$!
    poll 100 wm_ready || fail "openbox did not start: $(cat "$WORK/openbox.log")"

    doublecmd --config-dir="$WORK/config" --no-splash -L "$WORK/left" -R "$WORK/right" >"$WORK/dc.log" 2>&1 &
    DC_PID=$!
    WID=$(timeout 60 xdotool search --sync --onlyvisible --name '^Double Commander' | head -n 1)
    [ -n "$WID" ] || fail "no Double Commander window within 60 s: $(tail -n 5 "$WORK/dc.log")"
    timeout 10 xdotool windowactivate --sync "$WID" || fail "cannot activate the Double Commander window"
}

wm_ready() {
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'
}

key() {
    timeout 10 xdotool key --clearmodifiers --delay 50 "$@" || fail "xdotool key $* failed"
}

# DC works in the background after a window shows, and keys that come before
# act on a panel still empty. Idle = no CPU time used for three samples in a
# row; past 30 s the keys are sent anyway.
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

# focus_panel left|right: a click on the empty lower part of a panel's file
# list makes it the active one (Tab can get lost while DC is busy, and a
# Return in the wrong panel opens a host file).
focus_panel() {
    wait_idle
    size=$(xdotool getwindowgeometry "$WID" | sed -n 's/^ *Geometry: *//p')
    case "$1" in
    left) x=$((${size%x*} / 4)) ;;
    *) x=$((${size%x*} * 3 / 4)) ;;
    esac
    timeout 10 xdotool mousemove --window "$WID" "$x" $((${size#*x} * 3 / 4)) click 1 ||
        fail "cannot click into the $1 panel"
}

# The visible window other than DC's main one whose title matches the
# regular expression $1 (DC's questions are titled "Double Commander" too).
window_named() {
    xdotool search --onlyvisible --name "$1" 2>/dev/null | grep -vx "${WID:-none}" | head -n 1
}
has_window() {
    [ -n "$(window_named "$1")" ]
}

# keys_until TITLE KEY...: sends the keys (when DC is idle) until a window
# titled TITLE shows, at most three times; a key can get lost while DC is busy.
keys_until() {
    title=$1
    shift
    attempt=0
    until has_window "$title"; do
        [ "$attempt" -ge 3 ] && fail "no window '$title' after keys $*"
        attempt=$((attempt + 1))
        wait_idle
        key "$@"
        poll 30 has_window "$title" || true
    done
}

# until_log PATTERN KEY...: as keys_until, until the trace holds one more
# line matching PATTERN than before.
until_log() {
    pattern=$1
    shift
    before=$(log_count "$pattern")
    attempt=0
    until more_log "$pattern" "$before"; do
        [ "$attempt" -ge 3 ] && fail "no '$pattern' in the plug-in's trace after keys $*"
        attempt=$((attempt + 1))
        wait_idle
        key "$@"
        poll 50 more_log "$pattern" "$before" || true
    done
}

# dc_open_image DOWNS NAME: opens the DOWNS-th entry under ".." of the active
# panel, an image whose path ends in NAME, and waits for its listing.
dc_open_image() {
    before=$(close_count)
    # shellcheck disable=SC2046
    until_log "Open .*/$2\$" Home $(seq "$1" | sed 's/.*/Down/') Return
    poll 100 more_log CloseArchive "$before" || fail "the listing of $2 did not finish"
}

# Leaves DC by its exit key; it may need more than one.
dc_quit() {
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
}

screenshot() {
    timeout 20 import -window root "$ART/$1" || fail "screenshot $1 failed"
    echo "screenshot: $ART/$1"
}

# Bytes of images: bytes_at, poke_byte, d64_block_index.
. "$(dirname "$0")/../image_bytes.sh"
