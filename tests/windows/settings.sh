#!/bin/sh
# The settings file under Wine: created from the sample beside the DLL in the
# folder the host recommends, never overwritten, and its logLevel decides
# which lines reach the debugger output (OutputDebugStringA).
# Usage: settings.sh WINDOWS_BUILD_DIR
set -eu
. "$(dirname "$0")/common.sh"

[ $# -eq 1 ] || fail "usage: $0 WINDOWS_BUILD_DIR"
need_tools cc1541
wine_setup "$1"

# The plug-in is run from a copy in a folder with a space in its name, so the
# sample must be found through the module's own path, not the working folder.
PLUGDIR="$WORK/Plug Ins/ombrix"
mkdir -p "$PLUGDIR"
cp "$WINBUILD/ombrix.exe" "$WINBUILD/$PLUGIN_NAME" "$WINBUILD/ombrix.sample" "$PLUGDIR/"
WINE_HOST="$PLUGDIR/ombrix.exe"
WINE_PLUGIN="$PLUGDIR/$PLUGIN_NAME"

head -c 600 /dev/urandom >"$WORK/data"
cc1541 -q -f "FIRST" -w "$WORK/data" "$WORK/disk.d64" >/dev/null
DISK=$(winpath "$WORK/disk.d64")
cd "$WORK"

# 1. No --ini: the host recommends %APPDATA%\ombrix\wcx.ini.
run_wine out err list "$DISK"
[ "$RC" -eq 0 ] || fail "first listing exited $RC: $(cat err)"
INI=$(find "$WINEPREFIX/drive_c/users" -path '*/AppData/Roaming/ombrix/ombrix.ini' | head -n 1)
[ -n "$INI" ] || fail "ombrix.ini was not created under %APPDATA%\\ombrix"
cmp -s "$INI" "$PLUGDIR/ombrix.sample" || fail "$INI is not a copy of ombrix.sample"
echo "created from the sample: ${INI#"$WINEPREFIX"/}"

# 2. A second run keeps the user's file as it is.
printf '[common]\r\n; edited by the user\r\nlogLevel=0\r\n' >"$INI"
cp "$INI" "$WORK/edited.ini"
run_wine out err list "$DISK"
[ "$RC" -eq 0 ] || fail "second listing exited $RC"
cmp -s "$INI" "$WORK/edited.ini" || fail "the existing ombrix.ini was overwritten"
echo "an existing ombrix.ini is kept"

# 3. logLevel decides what reaches OutputDebugStringA.
export WINEDEBUG=-all,+debugstr
debug_lines() {
    grep 'OutputDebugStringA "OMBRIX: ' "$1" || true
}
run_wine out err list "$DISK"
[ -z "$(debug_lines err)" ] || fail "logLevel 0 still writes: $(debug_lines err | head -n 3)"

printf '[common]\r\nlogLevel=4\r\n' >"$INI"
run_wine out err list "$DISK"
[ "$RC" -eq 0 ] || fail "listing with logLevel 4 exited $RC"
for text in 'OMBRIX: Open Z:\\\\' 'OMBRIX: disk type = D64\\n' 'OMBRIX: CloseArchive '; do
    grep -q "OutputDebugStringA \"$text" err || fail "logLevel 4: no line '$text' in the debugger output"
done
echo "logLevel 4: $(debug_lines err | wc -l) debugger lines"

# Level 1 is errors only: a missing image logs its CreateFile error, no trace.
printf '[common]\r\nlogLevel=1\r\n' >"$INI"
run_wine out err list "$(winpath "$WORK/absent.d64")"
[ "$RC" -eq 15 ] || fail "missing image: exit $RC, expected 15"
grep -q 'OutputDebugStringA "OMBRIX: error CreateFile 2\\n"' err || fail "logLevel 1: no CreateFile error line"
[ "$(debug_lines err | wc -l)" -eq 1 ] || fail "logLevel 1 wrote more than the error: $(debug_lines err)"

# The host's --log shows every category on stderr whatever the file says.
printf '[common]\r\nlogLevel=0\r\n' >"$INI"
export WINEDEBUG=-all
run_wine out err --log list "$DISK"
[ "$RC" -eq 0 ] || fail "--log listing exited $RC"
grep -q '^OMBRIX: Open ' err || fail "--log: no 'OMBRIX: Open' line on stderr"

# An image whose path has spaces opens and lists like any other.
mkdir -p "$WORK/My Images"
cp "$WORK/disk.d64" "$WORK/My Images/disk one.d64"
run_wine out err list --json "$(winpath "$WORK/My Images/disk one.d64")"
[ "$RC" -eq 0 ] && grep -q '"FIRST.prg"' out || fail "image path with spaces: exit $RC, $(cat out err)"

# A read-only image is not written: the add fails with 19 and the bytes stay.
export WINEDEBUG=-all
cp "$WORK/disk.d64" "$WORK/readonly.d64"
chmod 444 "$WORK/readonly.d64"
before=$(md5sum <"$WORK/readonly.d64")
printf 'x' >"$WORK/x.seq"
run_wine out err add "$(winpath "$WORK/readonly.d64")" -C "$(winpath "$WORK")" x.seq
[ "$RC" -eq 19 ] || fail "adding to a read-only image exited $RC, not 19"
[ "$(md5sum <"$WORK/readonly.d64")" = "$before" ] || fail "a read-only image was changed"
chmod 644 "$WORK/readonly.d64"

# 4. --ini: the settings file goes beside the named file, in a folder the
# host creates.
run_wine out err --ini "$(winpath "$WORK/cfg/sub/host.ini")" list "$DISK"
[ "$RC" -eq 0 ] || fail "listing with --ini exited $RC"
cmp -s "$WORK/cfg/sub/ombrix.ini" "$PLUGDIR/ombrix.sample" || fail "--ini: ombrix.ini not created from the sample"
[ ! -e "$WORK/cfg/sub/host.ini" ] || fail "the plug-in created the host's own ini file"

# 5. Without a sample nothing is created, a warning is logged and the plug-in
# still works with every key at its default.
rm "$PLUGDIR/ombrix.sample"
export WINEDEBUG=-all,+debugstr
run_wine out err --ini "$(winpath "$WORK/nosample/host.ini")" list "$DISK"
[ "$RC" -eq 0 ] || fail "listing without a sample exited $RC"
grep -q 'FIRST.prg' out || fail "listing without a sample lacks FIRST.prg"
[ ! -e "$WORK/nosample/ombrix.ini" ] || fail "ombrix.ini created without a sample"
grep -q "OMBRIX: can't create settings file" err || fail "no warning about the missing settings file"
echo "settings file checks passed"
