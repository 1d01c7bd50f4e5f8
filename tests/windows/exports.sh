#!/bin/sh
# The Windows DLL exports exactly the packer interface, undecorated, and
# imports nothing but system DLLs, so it loads into any file manager of its
# bitness as it is. The 32-bit DLL is a PE32 image whose entry points remove
# their own arguments (__stdcall); the 64-bit one a PE32+ image (x64 has a
# single calling convention, with nothing to check).
# Usage: exports.sh WINDOWS_BUILD_DIR
set -eu
. "$(dirname "$0")/common.sh"

[ $# -eq 1 ] || fail "usage: $0 WINDOWS_BUILD_DIR"
build_flavour "$1"
DLL=$1/$PLUGIN_NAME
need_files "$DLL"
if [ "$BITS" = 64 ]; then
    TOOLS=x86_64-w64-mingw32
    MAGIC='20b.*PE32[+]'
else
    TOOLS=i686-w64-mingw32
    MAGIC='10b'
fi
OBJDUMP=$TOOLS-objdump
NM=$TOOLS-nm
need_tools "$OBJDUMP" "$NM" awk sort

# name and bytes of arguments; ConfigurePackerText is the optional extra
# export for hosts without a window system; the Unicode and large-header forms
# are what today's hosts call when they find them.
REQUIRED="OpenArchive:4 ReadHeader:8 ProcessFile:16 CloseArchive:4 PackFiles:20 DeleteFiles:8
GetPackerCaps:0 ConfigurePacker:8 SetChangeVolProc:8 SetProcessDataProc:8 PackSetDefaultParams:4"
OPTIONAL="ConfigurePackerText:4 GetBackgroundFlags:0 OpenArchiveW:4 ReadHeaderEx:8 ReadHeaderExW:8 ProcessFileW:16
PackFilesW:20 DeleteFilesW:8 SetChangeVolProcW:8 SetProcessDataProcW:8 ImageInfoText:12 ValidateImageText:16
RenameFile:12 CanYouHandleThisFile:4 CanYouHandleThisFileW:4 SetPackerSwitch:8 ListEntriesText:12 WriteEntriesText:24 LastErrorText:8"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/ombrix-exports.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

"$OBJDUMP" -p "$DLL" >"$WORK/headers" || fail "objdump cannot read $DLL"
grep -q "Magic.*$MAGIC" "$WORK/headers" || fail "$DLL is not a $BITS-bit PE image: $(grep Magic "$WORK/headers")"

# Export names with their addresses (the name table and the address table
# are joined through the ordinal table).
awk '
    /^Export Address Table -- Ordinal Base/ { table = "addr"; next }
    /^\[Ordinal\/Name Pointer\] Table/ { table = "names"; next }
    /^$/ { table = "" }
    table == "addr" && /Export RVA/ { gsub(/[][+]/, " "); rva[$1] = $4 }
    table == "names" && /^\t\[/ { gsub(/[][]/, " "); print $2, rva[$1 + 0] }
' "$WORK/headers" >"$WORK/exports"
[ -s "$WORK/exports" ] || fail "$DLL exports nothing"
IMAGE_BASE=$(awk '$1 == "ImageBase" { print $2 }' "$WORK/headers")

cut -d' ' -f1 "$WORK/exports" | sort >"$WORK/names"
for entry in $REQUIRED; do
    grep -qx "${entry%%:*}" "$WORK/names" || fail "export ${entry%%:*} is missing"
done
# Both DLLs export what plugin/ombrix.def names, so the plain-name list of the
# 64-bit build cannot fall behind it.
sed -n 's/^ *\([A-Za-z]*\) = .*/\1/p' "$(dirname "$0")/../../plugin/ombrix.def" | sort >"$WORK/def"
cmp -s "$WORK/names" "$WORK/def" || fail "exports differ from plugin/ombrix.def:
$(diff "$WORK/def" "$WORK/names")"
ALL=" $(echo $REQUIRED $OPTIONAL) "
for name in $(cat "$WORK/names"); do
    case $ALL in
    *" $name:"*) ;;
    *) fail "unexpected export '$name' (decorated or not part of the interface)" ;;
    esac
done

# 32-bit: the symbol at each export's address is the __stdcall decoration
# _Name@bytes, and every return in it pops those bytes.
if [ "$BITS" = 32 ]; then
    "$NM" "$DLL" >"$WORK/symbols" 2>/dev/null || true
    grep -q ' T _OpenArchive@' "$WORK/symbols" ||
        fail "$DLL has no symbol table; build it unstripped to check the calling convention"
    for entry in $REQUIRED $OPTIONAL; do
        name=${entry%%:*}
        bytes=${entry#*:}
        rva=$(awk -v n="$name" '$1 == n { print $2 }' "$WORK/exports")
        [ -n "$rva" ] || continue
        address=$(printf '%08x' $((0x$IMAGE_BASE + 0x$rva)))
        symbol=$(awk -v a="$address" '$1 == a && $2 == "T" { print $3 }' "$WORK/symbols" | grep "^_$name@" || true)
        [ "$symbol" = "_$name@$bytes" ] ||
            fail "export $name points at '$(awk -v a="$address" '$1 == a { print $3 }' "$WORK/symbols" | tr '\n' ' ')', expected _$name@$bytes (__stdcall)"
        # objdump may run on into the functions that follow; keep only this one.
        "$OBJDUMP" -d --no-show-raw-insn --disassemble="$symbol" "$DLL" |
            awk -v s="<$symbol>:" 'index($0, s) { on = 1; next } on && /^[0-9a-f]+ <.*>:$/ { exit } on' >"$WORK/code"
        grep -q 'ret' "$WORK/code" || fail "no return found in $symbol"
        if [ "$bytes" -gt 0 ]; then
            bad=$(grep -E '\s(ret|retl)\s*$' "$WORK/code" || true)
            [ -z "$bad" ] || fail "$symbol returns without removing its arguments: $bad"
            grep -Eq "\sret[l]?\s+\\\$0x$(printf '%x' "$bytes")\b" "$WORK/code" ||
                fail "$symbol does not return with ret \$$bytes"
        fi
    done
fi

# Imports: system DLLs only (a static C++ runtime, no libstdc++/libgcc DLLs).
awk '/DLL Name:/ { print $3 }' "$WORK/headers" >"$WORK/imports"
[ -s "$WORK/imports" ] || fail "no import table found"
for dll in $(cat "$WORK/imports"); do
    case $(printf '%s' "$dll" | tr 'A-Z' 'a-z') in
    kernel32.dll | user32.dll | gdi32.dll | shlwapi.dll | msvcrt.dll | comctl32.dll | comdlg32.dll | \
        advapi32.dll | shell32.dll) ;;
    *) fail "$DLL imports $dll, which is not a system DLL" ;;
    esac
done

echo "exports: $(tr '\n' ' ' <"$WORK/names")"
echo "imports: $(tr '\n' ' ' <"$WORK/imports")"
