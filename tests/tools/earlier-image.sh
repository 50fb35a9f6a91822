# Sourced by the checks that need an image of an earlier version
# (tests/tools/kt4790-emu.sh, scripts/wine-check.sh).
#
# earlier_image FILE FAILED [REPLACEMENTS]: an image of version 3, which the
# tools read but no longer write: chip 0x30, one zone, password "secret",
# name "AB", no sector written, FAILED failed password checks in a row,
# REPLACEMENTS (a little-endian count, none by default) replaced blocks.
earlier_image() {
    local le32='\x03\x00\x00\x00' zero32='\x00\x00\x00\x00'
    # shellcheck disable=SC2059
    printf "KT4790EM${le32}\\x$(printf %02x "$2")\\x00\\x30\\x00\\x01\\x01KVOR\\x02\\x00${zero32}\\x06secret\\x02\\x00A\\x00B\\x00\\x00\\x00${zero32}${3:-$zero32}${zero32}" >"$1"
}

# The version field of an image file.
version_of() { od -An -tu4 -j8 -N4 "$1" | tr -d ' '; }

# earlier_disk FILE IMAGE: the image of earlier_image FILE 0 with one sector
# written: physical sector 1, the descriptor sector (data and spare area)
# that the image IMAGE of version 4 holds, so that the device libraries find
# the disk it names.
earlier_disk() {
    local at
    at=$(LC_ALL=C grep -obaF "KT4790 CONFIG" "$2" | head -n 1 | cut -d: -f1)
    [[ -n $at ]] || return 1
    earlier_image "$1" 0
    # The sector count (the last 4 bytes) becomes 1, then sector 1 follows.
    truncate -s -4 "$1"
    printf '\x01\x00\x00\x00\x01\x00\x00\x00' >>"$1"
    dd if="$2" iflag=skip_bytes,count_bytes skip="$at" count=528 status=none >>"$1"
}
