#!/usr/bin/env bash
# kt4790-emu export: the medium (or one area) as the host reads it, and its
# refusals.
#
#   export-check.sh KT4790_EMU FORMAT_MEDIUM
set -u

emu=${1:?kt4790-emu}
format_cap=${2:?format_medium}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=0
rc=0
check() {  # check DESCRIPTION CONDITION...
    local what=$1
    shift
    if ! "$@"; then
        failures=$((failures + 1))
        echo "FAIL: $what (exit code $rc, stderr: $(cat "$work/stderr" 2>/dev/null))"
    fi
}
run() {
    "$@" >"$work/stdout" 2>"$work/stderr"
    rc=$?
}
refused_with() {  # one line on stderr naming the tool, the given exit code
    [[ $rc -eq $1 && $(wc -l <"$work/stderr") -eq 1 ]] && grep -q '^kt4790-emu: ' "$work/stderr"
}
sectors_of() { echo $(($(stat -c %s "$1") / 512)); }
bytes_at() { od -An -tx1 -j "$2" -N "$3" "$1" | tr -d ' \n'; }

image=$work/disk.img
run "$emu" create "$image" --chip 0x13 --zones 2 --name "FORMAT TEST"
check "create" test "$rc" -eq 0

# A new medium: 2000 logical blocks, every sector erased.
run "$emu" export "$image" "$work/whole.img"
check "export of the whole medium" test "$rc" -eq 0
check "whole medium size" test "$(sectors_of "$work/whole.img")" -eq 64000
check "erased sectors read 0xFF" test "$(bytes_at "$work/whole.img" $((12345 * 512)) 4)" = ffffffff
run "$emu" export "$image" "$work/security.img" --area security
check "no security area on a medium without a split" refused_with 1
check "nothing written when refused" test ! -e "$work/security.img"
run "$emu" export "$image" "$work/standard.img" --area standard
check "the standard area of an unsplit medium is the whole medium" test "$(sectors_of "$work/standard.img")" -eq 64000

# Split at 500 blocks and formatted: each area starts with its boot sector.
run "$format_cap" "$image" fdd --standard-blocks 500
check "format" test "$rc" -eq 0
rm -f "$work/standard.img" "$work/whole.img"
run "$emu" export "$image" "$work/standard.img" --area standard
check "standard area size" test "$(sectors_of "$work/standard.img")" -eq 16000
check "standard area boot sector" test "$(bytes_at "$work/standard.img" 510 2)" = 55aa
run "$emu" export "$image" "$work/security.img" --area security
check "security area size" test "$(sectors_of "$work/security.img")" -eq 48000
check "security area boot sector" test "$(bytes_at "$work/security.img" 0 3)$(bytes_at "$work/security.img" 510 2)" \
    = eb3c9055aa
run "$emu" export "$image" "$work/whole.img"
check "the security area follows the standard area in the host's view" \
    test "$(bytes_at "$work/whole.img" $((16000 * 512)) 512)" = "$(bytes_at "$work/security.img" 0 512)"

# Refusals.
run "$emu" export "$image" "$work/whole.img"
check "an existing file is not overwritten" refused_with 1
run "$emu" export "$image" "$work/other.img" --area boot
check "unknown area" refused_with 2
run "$emu" export "$image"
check "no output named" refused_with 2
run "$emu" export "$work/missing.img" "$work/other.img"
check "missing image" refused_with 1

((failures == 0)) || exit 1
echo "PASS"
