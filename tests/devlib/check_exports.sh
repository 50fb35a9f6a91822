#!/bin/sh
# Checks the export tables of the Windows device libraries: every export
# under its plain and its decorated standard-call name at one address,
# nothing more, and KT4790mDLL importing WNASPI32 by ordinals 1 and 2.
# Usage: check_exports.sh [folder of KT4790DLL.dll and KT4790mDLL.dll]
set -u
dir=${1:-$(dirname "$0")/../../build/win32/bin}
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
status=0

fail() {
    echo "FAIL: $*"
    status=1
}

# check_dll <file> <name@bytes>...
check_dll() {
    dll=$1
    shift
    if [ ! -f "$dll" ]; then
        fail "$dll is missing (build the win32 preset first)"
        return
    fi
    dump=$("$objdump" -p "$dll") || { fail "$objdump cannot read $dll"; return; }

    # "name address" for every exported name, from the export address table
    # and the name pointer table.
    exports=$(printf '%s\n' "$dump" | awk '
        /^Export Address Table -- Ordinal Base/ { inEat = 1; next }
        /^\[Ordinal\/Name Pointer\] Table/ { inEat = 0; inNames = 1; next }
        inEat && /^\t\[/ { gsub(/[\[\]]/, " "); address[$1] = $4 }
        inNames && /^\t\[/ { line = $0; gsub(/[\[\]]/, " ", line); split(line, f, " "); print f[2], address[f[1]] }
        inNames && /^$/ { inNames = 0 }')

    expected=""
    for export in "$@"; do
        plain=${export%@*}
        plainAddress=$(printf '%s\n' "$exports" | awk -v n="$plain" '$1 == n { print $2 }')
        decoratedAddress=$(printf '%s\n' "$exports" | awk -v n="_$export" '$1 == n { print $2 }')
        [ -n "$plainAddress" ] || fail "$dll: no export $plain"
        [ -n "$decoratedAddress" ] || fail "$dll: no export _$export"
        if [ -n "$plainAddress" ] && [ "$plainAddress" != "$decoratedAddress" ]; then
            fail "$dll: $plain and _$export are not one entry"
        fi
        expected="$expected $plain _$export"
    done
    extra=$(printf '%s\n' "$exports" | awk '{ print $1 }' | while read -r name; do
        case " $expected " in *" $name "*) ;; *) echo "$name" ;; esac
    done)
    [ -z "$extra" ] || fail "$dll: unexpected exports:" $extra
    echo "$dll: $# exports checked"
}

check_dll "$dir/KT4790DLL.dll" \
    CheckPwd@8 ChangePwd@8 ClearPwd@8 SetEString@8 EraseBlock@16 VSCWriteSector@20 VSCReadSector@20 \
    GetPhyBlock@24 GetChipVersion@12 GetMediaSize@12 PwdExist@12 SenseCommand@12 WriteProtect@4 \
    InquiryCommand@8 GetCapacity@8 ReadSector@16 WriteSector@16 GetDeviceName@12 GetAllDeviceName@12 \
    GetHandle@8

check_dll "$dir/KT4790mDLL.dll" \
    CheckPwd@12 ChangePwd@12 SetEString@12 EraseBlock@20 VSCWriteSector@24 VSCReadSector@24 GetPhyBlock@24 \
    GetChipVersion@12 GetMediaSize@12 PwdExist@12 WriteProtect@8 GetDeviceName@16 GetAllDeviceName@12 \
    GetDeviceID@16

# KT4790mDLL binds WNASPI32 by ordinal: 1 GetASPI32SupportInfo, 2 SendASPI32Command.
if [ -f "$dir/KT4790mDLL.dll" ]; then
    ordinals=$("$objdump" -p "$dir/KT4790mDLL.dll" | awk '
        /DLL Name:/ { inAspi = ($3 == "WNASPI32.dll") ; next }
        inAspi && /<none>/ { print $2 }
        inAspi && /^$/ { inAspi = 0 }' | sort | tr '\n' ' ')
    [ "$ordinals" = "1 2 " ] || fail "KT4790mDLL.dll: WNASPI32.dll ordinals are '$ordinals', not '1 2'"
    echo "$dir/KT4790mDLL.dll: WNASPI32.dll imported by ordinals $ordinals"
fi
if [ -f "$dir/KT4790DLL.dll" ] && "$objdump" -p "$dir/KT4790DLL.dll" | grep -q "DLL Name: WNASPI32.dll"; then
    fail "KT4790DLL.dll imports WNASPI32.dll"
fi

exit $status
