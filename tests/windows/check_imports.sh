#!/bin/sh
# Checks what the loader of an older Windows meets in the given programs and
# libraries: every DLL and entry their import tables name must stand in the
# list of the system they are for, no entry may be delay-loaded (those tables
# are not read here), and the PE header may ask for no Windows version above
# 4.0 (operating system and subsystem), which Windows 98 and 2000 both load.
# Usage: check_imports.sh LIST FILE...
set -u
list=$1
shift
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
status=0

for file in "$@"; do
    if [ ! -f "$file" ]; then
        echo "FAIL: $file is missing (build the win32 preset first)"
        status=1
        continue
    fi
    dump=$("$objdump" -p "$file") || { echo "FAIL: $objdump cannot read $file"; status=1; continue; }
    printf '%s\n' "$dump" | awk -v file="$file" -v list="$list" '
        # The list: "DLL entry" a line, # starts a comment.
        FILENAME != "-" {
            sub(/#.*/, "")
            if (NF == 0) next
            if (NF != 2) { printf "FAIL: %s: cannot read \"%s\"\n", list, $0; failed = 1; next }
            listed[toupper($1) " " $2] = 1
            listedDll[toupper($1)] = 1
            next
        }
        /^MajorOSystemVersion/ { osMajor = $2 }
        /^MinorOSystemVersion/ { osMinor = $2 }
        /^MajorSubsystemVersion/ { subsystemMajor = $2 }
        /^MinorSubsystemVersion/ { subsystemMinor = $2 }
        /^Entry d / && $4 != "00000000" { printf "FAIL: %s has delay-loaded imports\n", file; failed = 1 }
        /DLL Name:/ {
            dll = toupper($3)
            dlls++
            if (!(dll in listedDll)) { printf "FAIL: %s imports %s, which %s does not name\n", file, dll, list; failed = 1 }
            next
        }
        # In an import table: "vma hint name", or "vma ordinal <none>".
        dll != "" && /^\t[0-9a-f]+\t/ {
            entry = ($3 == "<none>") ? "@" $2 : $3
            entries++
            if ((dll in listedDll) && !((dll " " entry) in listed)) {
                printf "FAIL: %s imports %s %s, which %s does not list\n", file, dll, entry, list
                failed = 1
            }
            next
        }
        /^$/ { dll = "" }
        END {
            if (osMajor == "" || subsystemMajor == "") { printf "FAIL: %s: no PE header versions\n", file; exit 1 }
            if (osMajor > 4 || (osMajor == 4 && osMinor > 0))
                { printf "FAIL: %s asks for Windows %d.%d\n", file, osMajor, osMinor; failed = 1 }
            if (subsystemMajor > 4 || (subsystemMajor == 4 && subsystemMinor > 0))
                { printf "FAIL: %s asks for subsystem %d.%d\n", file, subsystemMajor, subsystemMinor; failed = 1 }
            if (entries == 0) { printf "FAIL: %s: no imports read\n", file; failed = 1 }
            printf "%s: %d entries from %d DLLs checked against %s; Windows %d.%d, subsystem %d.%d\n",
                file, entries, dlls, list, osMajor, osMinor, subsystemMajor, subsystemMinor
            exit failed
        }' "$list" - || status=1
done

exit $status
