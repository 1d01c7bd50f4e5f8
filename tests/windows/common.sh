# Shared helpers of the Wine tests; sourced by the scripts beside it.
# Every script works in its own temporary folder with its own Wine prefix and
# removes both on exit, whatever happened.

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

need_tools() {
    for tool in "$@"; do
        command -v "$tool" >/dev/null 2>&1 ||
            fail "tool '$tool' is missing (scripts/setup-deps.sh installs every tool the tests need)"
    done
}

need_files() {
    for file in "$@"; do
        [ -f "$file" ] || fail "missing $file"
    done
}

# The Wine path of an absolute Unix path (drive Z: is the Unix root in a
# fresh prefix).
winpath() {
    printf 'Z:%s' "$(printf '%s' "$1" | tr / '\\')"
}

# Bytes of images: bytes_at, poke_byte, d64_block_index.
. "$(dirname "$0")/../image_bytes.sh"

cleanup_work() {
    if [ -n "${WINEPREFIX:-}" ] && [ -d "${WINEPREFIX}" ]; then
        # Ends the wineserver of this prefix and every Wine process in it.
        timeout 30 wineserver -k >/dev/null 2>&1 || true
    fi
    if [ -n "${OMBRIX_KEEP_WORK:-}" ]; then
        echo "work folder kept: ${WORK:-}" >&2
    elif [ -n "${WORK:-}" ]; then
        rm -rf "$WORK"
    fi
}

# The flavour of a mingw build folder: a 64-bit build holds ombrix.wcx64, a
# 32-bit one ombrix.wcx. Sets PLUGIN_NAME and BITS (32 or 64).
build_flavour() {
    if [ -f "$1/ombrix.wcx64" ]; then
        PLUGIN_NAME=ombrix.wcx64
        BITS=64
    else
        PLUGIN_NAME=ombrix.wcx
        BITS=32
    fi
}

# Wine of the build's bitness. Debian's `wine` is its 32-bit loader, which
# hands a 64-bit program over to a second process of the 64-bit loader; that
# loader (not on PATH in Debian 12) runs it directly. Sets WINE_RUN.
wine_loader() {
    if [ "$BITS" = 64 ]; then
        export WINEARCH=win64
        if command -v wine64 >/dev/null 2>&1; then WINE_RUN=wine64
        elif [ -x /usr/lib/wine/wine64 ]; then WINE_RUN=/usr/lib/wine/wine64
        else WINE_RUN=wine; fi
    else
        export WINEARCH=win32
        WINE_RUN=wine
        # 32-bit Wine may be missing (its i386 libraries cannot always be
        # installed: a stale i386 index), and `wine` then runs the 64-bit
        # loader, which cannot make a 32-bit prefix. Some kernels run no
        # 32-bit programs at all (no IA32 emulation, as on some virtual
        # machines). Either is the machine, not the DLL: the test says so and
        # is skipped.
        if [ ! -x /usr/lib/wine/wine ]; then
            echo "SKIP: 32-bit Wine (wine32:i386) is not installed on this machine: the 32-bit DLL cannot run here" >&2
            exit 77
        fi
        if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
            echo "SKIP: this kernel runs no 32-bit programs (no IA32 emulation): 32-bit Wine cannot start here" >&2
            exit 77
        fi
    fi
}

# Creates $WORK and a fresh prefix of the build's bitness in it; the first run
# of the host (without arguments: usage, exit 2) builds the prefix. Sets
# WINE_HOST, WINE_PLUGIN (the DLL every run loads with --plugin, not the code
# linked into ombrix.exe), PLUGIN_NAME, BITS and WINE_RUN.
wine_setup() {
    WINBUILD=$1
    build_flavour "$WINBUILD"
    need_tools wine wineserver timeout od dd cmp
    need_files "$WINBUILD/ombrix.exe" "$WINBUILD/$PLUGIN_NAME" "$WINBUILD/ombrix.sample"
    WORK=$(mktemp -d "${TMPDIR:-/tmp}/ombrix-wine.XXXXXX")
    trap cleanup_work EXIT
    trap 'exit 1' INT TERM
    export WINEPREFIX="$WORK/prefix"
    wine_loader
    export WINEDLLOVERRIDES="mscoree,mshtml="
    export WINEDEBUG=-all
    export LC_ALL=C.UTF-8
    unset DISPLAY WAYLAND_DISPLAY OMBRIX_LOG OMBRIX_LOGLEVEL
    WINE_HOST="$WINBUILD/ombrix.exe"
    WINE_PLUGIN="$WINBUILD/$PLUGIN_NAME"
    status=0
    timeout 300 "$WINE_RUN" "$WINE_HOST" >/dev/null 2>"$WORK/wineboot.log" || status=$?
    if [ "$status" -ne 2 ]; then
        cat "$WORK/wineboot.log" >&2
        fail "ombrix.exe under Wine without arguments exited $status, expected the usage exit 2"
    fi
    # A persistent server makes the many short runs that follow fast.
    timeout 10 wineserver -p 60 >/dev/null 2>&1 || true
}

# Runs the Windows host under Wine on the DLL $WINE_PLUGIN; its stdout has the
# CR of text mode removed. Usage: run_wine OUT ERR ARGS...; sets RC.
run_wine() {
    out=$1
    err=$2
    shift 2
    RC=0
    timeout 120 "$WINE_RUN" "$WINE_HOST" --plugin "$(winpath "$WINE_PLUGIN")" "$@" >"$out.raw" 2>"$err" || RC=$?
    [ "$RC" -eq 124 ] && fail "ombrix.exe $* did not finish within 120 s"
    tr -d '\r' <"$out.raw" >"$out"
    rm -f "$out.raw"
}

# Runs the Linux host. Usage: run_linux OUT ERR ARGS...; sets RC.
run_linux() {
    out=$1
    err=$2
    shift 2
    RC=0
    timeout 120 "$LINUX_HOST" --plugin "$LINUX_PLUGIN" "$@" >"$out" 2>"$err" || RC=$?
    [ "$RC" -eq 124 ] && fail "ombrix $* did not finish within 120 s"
    return 0
}
