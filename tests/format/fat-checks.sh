# shellcheck shell=bash
# The checks of one exported FAT area by tools nobody here wrote: fsck.fat -n
# (dosfstools) and mtools (minfo, mdir), with the numbers the layout gives.
# Sourced by the scripts that export areas (external-check.sh, the format
# journey check, the Wine check); not run on its own.
#
#   fat_check_begin CASE PROGRAM...
#       Names the check CASE in its messages, makes the scratch folder $work
#       (removed at the end) and dies when a FAT tool is missing or a
#       PROGRAM is not executable.
#   fail TEXT / die TEXT
#       One failure: fail goes on, die ends the check.
#   check_area WHAT IMAGE LAYOUT N LABEL BUILD [FILE...]
#       IMAGE holds one exported area of N sectors, formatted in LAYOUT (hdd,
#       zip or fdd) by BUILD (cap or aspi), with the volume label LABEL
#       ("" for none), and in its root directory exactly the FILEs (copied
#       there by mcopy under their own names; none: an empty root directory
#       and free FATs). Expected: no finding of fsck.fat but the ones about
#       volume labels (the volume label field of the boot sector holds zero
#       bytes and a label in the root directory is padded with zero bytes;
#       fsck.fat wants blanks). With those two fields given blanks on a copy,
#       fsck.fat must find nothing at all. The geometry minfo shows, the
#       partition entry and the cluster count are the layout's; the label is
#       present exactly when it was given; every FILE reads back identical.
#   disk_split EMU DISK
#       Sets logical, spb and standard: the logical blocks, sectors per block
#       and PartitionWord of the emulated disk DISK as `EMU show` reports them.
#   export_area EMU DISK OUT [AREA]
#       Exports the medium, or AREA (standard or security), to the file OUT.
#   check_disk_areas EMU DISK LAYOUT BUILD LABEL0 LABEL1 LABEL2 [FILE...]
#       Exports the areas of the emulated disk image DISK as the host reads
#       them (EMU: kt4790-emu) and checks each: the whole medium with LABEL0
#       when its PartitionWord makes one area (0, or the whole medium), else
#       the standard area with LABEL1 and the security area with LABEL2. The
#       FILEs are those of the standard area (or the whole medium).
#   fat_check_end
#       Exits 1 after any failure, else says PASS.

export MTOOLS_SKIP_CHECK=1 MTOOLS_NO_VFAT=1

fat_check_begin() {
    case_name=$1
    shift
    failures=0
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    local tool program
    for tool in fsck.fat minfo mdir mcopy dd od truncate; do
        command -v "$tool" >/dev/null || die "$tool not found (packages dosfstools, mtools, coreutils)"
    done
    for program in "$@"; do
        [[ -x $program ]] || die "no $program"
    done
}

fail() {
    echo "FAIL ($case_name): $*"
    failures=$((failures + 1))
}
die() {
    echo "FAIL ($case_name): $*"
    exit 1
}

fat_check_end() {
    ((failures == 0)) || exit 1
    echo "PASS ($case_name)"
}

# --- the layout's numbers, from the formulas of the layout ---------------------

fat_sectors() {  # fat_sectors N
    local n=$1 bytes
    ((n >= 2048000)) && n=$((n / 2))
    if ((n < 131072)); then bytes=$((3 * n / 64)); else bytes=$((n / 32 * 2)); fi
    echo $(((bytes + 511) / 512))
}
hdd_gap() { echo $((32 * ((2 * $1 + 49) / 32 + 1) - (2 * $1 + 18))); }
root_sectors() { local t=$((2 * $1 + 17)); echo $((32 * (t / 32 + 1) - t + 16)); }  # root_sectors F
heads_for() {  # heads_for N BUILD
    if (($1 < 256000)); then echo 8
    elif (($1 < 512000)); then echo 16
    elif (($1 < 1024000)); then echo 31
    elif [[ $2 == aspi ]]; then echo 63
    else echo 255
    fi
}

# --- one area ------------------------------------------------------------------------

le16() { od -An -tu2 -j "$2" -N 2 "$1" | tr -d ' '; }  # le16 FILE OFFSET
le32() { od -An -tu4 -j "$2" -N 4 "$1" | tr -d ' '; }  # le32 FILE OFFSET
byte() { od -An -tu1 -j "$2" -N 1 "$1" | tr -d ' '; }  # byte FILE OFFSET

# The first value of a "name: value" line of minfo's boot sector section.
boot_field() {
    awk -v key="$1" '/^bootsector information/ { on = 1 } on && index($0, key ": ") == 1 {
        print substr($0, length(key) + 3); exit }' "$work/minfo.txt"
}

expect_field() {  # expect_field WHAT NAME EXPECTED
    local got
    got=$(boot_field "$2")
    [[ $got == "$3" ]] || fail "$1: minfo $2 is \"$got\", expected \"$3\""
}

# Writes blanks into the volume where the layout leaves zero bytes in the
# two label fields: the boot sector's, and the root directory label's.
blank_label_fields() {  # blank_label_fields VOLUME ROOT_SECTOR LABEL
    local out=$1 root=$2 label=$3 padded
    if [[ -n $label ]]; then
        printf -v padded '%-11s' "$label"
        printf '%s' "$padded" | dd of="$out" bs=1 seek=$((root * 512)) conv=notrunc status=none
    else
        padded="NO NAME    "
    fi
    printf '%s' "$padded" | dd of="$out" bs=1 seek=43 conv=notrunc status=none
}

# check_area WHAT IMAGE LAYOUT N LABEL BUILD [FILE...]: one exported area of N sectors.
check_area() {
    local what=$1 image=$2 layout=$3 n=$4 label=$5 build=$6
    shift 6
    local f gap=0 r=16 start=0 size=$n roots spt heads hidden=0 spc=32 fat=FAT12
    f=$(fat_sectors "$n")
    [[ $(stat -c %s "$image") -eq $((n * 512)) ]] || { fail "$what: export is not $n sectors"; return; }
    ((n >= 2048000)) && spc=64
    ((n >= 131072)) && fat=FAT16
    heads=$(heads_for "$n" "$build")
    spt=63
    case $layout in
    hdd)
        gap=$(hdd_gap "$f")
        start=$((gap + 1)) hidden=$((gap + 1))
        ;;
    zip)
        r=$(root_sectors "$f")
        start=32 hidden=32 heads=64 spt=32
        ;;
    fdd)
        r=$(root_sectors "$f")
        ;;
    esac
    size=$((n - start))
    roots=$((r * 16))
    # The volume stops after the last cluster its FAT can number (and after
    # cluster 4,084 on FAT12); the partition keeps the whole area.
    local data=$((1 + 2 * f + r)) entries max volsize=$size
    if [[ $fat == FAT12 ]]; then entries=$((f * 512 * 2 / 3)); else entries=$((f * 256)); fi
    max=$((entries - 2))
    [[ $fat == FAT12 ]] && ((max > 4084)) && max=4084
    (((size - data) / spc > max)) && volsize=$((data + max * spc))

    # The partition entry of the partitioned layouts.
    if [[ $layout != fdd ]]; then
        [[ $(byte "$image" 446) -eq 128 ]] || fail "$what: partition not active"
        local type=6
        ((n <= 65536)) && type=1
        [[ $(byte "$image" 450) -eq $type ]] || fail "$what: partition type $(byte "$image" 450), expected $type"
        [[ $(le32 "$image" 454) -eq $start ]] || fail "$what: partition at $(le32 "$image" 454), expected $start"
        [[ $(le32 "$image" 458) -eq $size ]] || fail "$what: partition of $(le32 "$image" 458) sectors, expected $size"
    fi

    # Both FATs: the media byte and end-of-chain marks of the two reserved
    # entries, without files the rest free (fsck.fat does not compare the
    # media bytes).
    local marks="248 255 255" copy
    [[ $fat == FAT16 ]] && marks="248 255 255 255"
    (($# == 0)) && marks+=" 0"
    for copy in 0 1; do
        local at=$(((start + 1 + copy * f) * 512))
        local got
        got=$(od -An -tu1 -j "$at" -N 5 "$image" | xargs)
        [[ "$got" == "$marks"* ]] || fail "$what: FAT $((copy + 1)) starts $got, expected $marks"
        (($# == 0)) && od -An -tx1 -v -j "$((at + 5))" -N $((f * 512 - 5)) "$image" | tr -d ' \n' |
            grep -q '[1-9a-f]' && fail "$what: FAT $((copy + 1)) has used entries"
    done

    # mtools, at the partition's offset.
    local spec="$image@@$((start * 512))"
    minfo -i "$spec" :: >"$work/minfo.txt" 2>&1 || { fail "$what: minfo failed: $(cat "$work/minfo.txt")"; return; }
    expect_field "$what" "sector size" "512 bytes"
    expect_field "$what" "cluster size" "$spc sectors"
    expect_field "$what" "reserved (boot) sectors" 1
    expect_field "$what" "fats" 2
    expect_field "$what" "max available root directory slots" "$roots"
    expect_field "$what" "media descriptor byte" 0xf8
    expect_field "$what" "sectors per fat" "$f"
    expect_field "$what" "sectors per track" "$spt"
    expect_field "$what" "heads" "$heads"
    expect_field "$what" "hidden sectors" "$hidden"
    local total16=$((n <= 65536))
    [[ $layout == fdd ]] && total16=$((n <= 65535))
    if ((total16)); then
        expect_field "$what" "small size" "$volsize sectors"
    else
        expect_field "$what" "small size" "0 sectors"
        expect_field "$what" "big size" "$volsize sectors"
    fi
    grep -q "^disk type=\".*$fat" "$work/minfo.txt" || fail "$what: minfo shows no $fat type"

    mdir -i "$spec" :: >"$work/mdir.txt" 2>&1 || fail "$what: mdir failed: $(cat "$work/mdir.txt")"
    if [[ -n $label ]]; then
        grep -qxF " Volume in drive : is $label" "$work/mdir.txt" || fail "$what: mdir shows no label \"$label\""
    else
        grep -qxF " Volume in drive : has no label" "$work/mdir.txt" || fail "$what: mdir shows a label"
    fi
    local file used=0 cluster=$((spc * 512))
    if (($# == 0)); then
        grep -qxF "No files" "$work/mdir.txt" || fail "$what: the root directory is not empty"
    fi
    for file in "$@"; do
        rm -f "$work/readback"
        if ! mcopy -n -i "$spec" "::${file##*/}" "$work/readback" >"$work/mcopy.txt" 2>&1 ||
            ! cmp -s "$file" "$work/readback"; then
            fail "$what: ${file##*/} does not read back: $(cat "$work/mcopy.txt")"
        fi
        used=$((used + ($(stat -c %s "$file") + cluster - 1) / cluster))
    done

    # fsck.fat on the volume alone, then on the same copy with blank label
    # fields. Of the data region fsck.fat reads only the clusters of
    # directories (these volumes have none besides the root: its file count
    # says so) and the last sector, to see that the volume fits the device.
    # So the copy holds the volume up to the data region its boot sector
    # gives, and leaves the rest a hole of the volume's size: a 1 GB medium,
    # whose erased data region reads as FF bytes, then costs no more disk
    # writes than a small one.
    local volume=$work/volume.img boot=$((start * 512)) head
    head=$(($(le16 "$image" $((boot + 14))) + $(byte "$image" $((boot + 16))) * $(le16 "$image" $((boot + 22))) +
        ($(le16 "$image" $((boot + 17))) * 32 + 511) / 512))
    rm -f "$volume"
    dd if="$image" of="$volume" bs=512 skip="$start" count="$head" status=none
    truncate -s $(((n - start) * 512)) "$volume"
    local clusters=$(((volsize - data) / spc)) files=$# output rc findings
    [[ -n $label ]] && files=$((files + 1))
    local summary="$volume: $files files, $used/$clusters clusters"
    output=$(fsck.fat -n "$volume" 2>&1)
    rc=$?
    grep -qxF "$summary" <<<"$output" || fail "$what: fsck.fat did not end with \"$summary\": $output"
    findings=$(grep -vxF -e "$summary" -e "Leaving filesystem unchanged." -e "" <<<"$output" |
        grep -v '^fsck.fat [0-9]' | grep -v '^  Auto-' | grep -vi 'label')
    [[ -z $findings ]] || fail "$what: fsck.fat found more than the label fields (rc $rc): $output"
    blank_label_fields "$volume" $((1 + 2 * f)) "$label"
    output=$(fsck.fat -n "$volume" 2>&1)
    rc=$?
    ((rc == 0)) || fail "$what: fsck.fat with blank label fields: rc $rc: $output"
    findings=$(grep -v '^fsck.fat [0-9]' <<<"$output" | grep -v " files, $used/[0-9]* clusters$")
    [[ -z $findings ]] || fail "$what: fsck.fat with blank label fields found: $output"
    echo "checked $what: $layout, $n sectors, $fat, F $f, $clusters clusters, label \"$label\", $# files"
}

disk_split() {
    local shown
    shown=$("$1" show "$2") || die "show: $shown"
    logical=$(sed -n 's/^logical blocks: *\([0-9]*\)$/\1/p' <<<"$shown")
    spb=$(sed -n 's/^blocks: *[a-z]*, \([0-9]*\) sectors each$/\1/p' <<<"$shown")
    standard=$(sed -n 's/^standard area: *\([0-9]*\) logical blocks$/\1/p' <<<"$shown")
    [[ -n $logical && -n $spb && -n $standard ]] || die "show gave no geometry or split: $shown"
}

export_area() {
    "$1" export "$2" "$3" ${4:+--area "$4"} >"$work/step.log" 2>&1 || die "export: $(cat "$work/step.log")"
}

check_disk_areas() {
    local emu=$1 disk=$2 layout=$3 build=$4 label0=$5 label1=$6 label2=$7 files=("${@:8}") logical spb standard
    disk_split "$emu" "$disk"
    if ((standard == 0 || standard >= logical)); then
        export_area "$emu" "$disk" "$work/whole.img"
        check_area "medium" "$work/whole.img" "$layout" $((logical * spb)) "$label0" "$build" "${files[@]}"
        rm -f "$work/whole.img"
        return
    fi
    export_area "$emu" "$disk" "$work/standard.img" standard
    check_area "standard area" "$work/standard.img" "$layout" $((standard * spb)) "$label1" "$build" "${files[@]}"
    rm -f "$work/standard.img"
    export_area "$emu" "$disk" "$work/security.img" security
    check_area "security area" "$work/security.img" "$layout" $(((logical - standard) * spb)) "$label2" "$build"
    rm -f "$work/security.img"
}
