#!/usr/bin/env bash
# Checks what the formatter wrote with tools nobody here wrote: an emulated
# disk is formatted through library, winsim and emulator (format_medium),
# each area is exported as the host reads it (kt4790-emu export), and every
# volume is checked with fsck.fat -n (dosfstools) and mtools (minfo, mdir),
# the partitioned layouts at their partition's offset.
#
#   external-check.sh CASE KT4790_EMU FORMAT_MEDIUM FORMAT_MEDIUM_ASPI
#
# What each area must pass is in fat-checks.sh; the label is present exactly
# when its slot was set. A missing tool fails the check.
set -u
# shellcheck source=tests/format/fat-checks.sh
source "$(dirname "${BASH_SOURCE[0]}")/fat-checks.sh"

case_name=${1:?case}
emu=${2:?kt4790-emu}
format_cap=${3:?format_medium}
format_aspi=${4:?format_medium_aspi}

fat_check_begin "$case_name" "$emu" "$format_cap" "$format_aspi"

# --- the cases -----------------------------------------------------------------------

# run_case BUILD CHIP LARGE ZONES CHIPS LAYOUT SD LABEL0 LABEL1 LABEL2
run_case() {
    local build=$1 chip=$2 large=$3 zones=$4 chips=$5 layout=$6 sd=$7 label0=$8 label1=$9 label2=${10}
    local image=$work/disk.img program=$format_cap options=()
    [[ $build == aspi ]] && program=$format_aspi
    [[ $large == large ]] && options+=(--large)
    "$emu" create "$image" --chip "$chip" --zones "$zones" --chips "$chips" --name "FORMAT TEST" "${options[@]}" \
        >"$work/step.log" 2>&1 || die "create: $(cat "$work/step.log")"
    local args=("$image" "$layout" --label0 "$label0" --label1 "$label1" --label2 "$label2")
    ((sd > 0)) && args+=(--standard-blocks "$sd")
    "$program" "${args[@]}" >"$work/step.log" 2>&1 || die "format_medium: $(cat "$work/step.log")"
    check_disk_areas "$emu" "$image" "$layout" "$build" "$label0" "$label1" "$label2"
}

case $case_name in
# One area: FAT12 and FAT16, small and large blocks, both chip codes.
hdd-fat12-small) run_case cap 0x30 small 1 1 hdd 0 "SMALL HDD" "" "" ;;
zip-fat12-large) run_case cap 0x13 large 2 1 zip 0 "" "" "" ;;
fdd-fat12-small) run_case cap 0x13 small 3 1 fdd 0 "lower case" "" "" ;;
hdd-fat16-large) run_case cap 0x30 large 5 1 hdd 0 "ELEVEN CHRS" "" "" ;;
zip-fat16-small) run_case cap 0x13 small 5 1 zip 0 "ZIP16" "" "" ;;
fdd-fat16-large) run_case cap 0x13 large 8 1 fdd 0 "" "" "" ;;
# 2,048,000 sectors: 64-sector clusters, 63 heads in the ASPI build.
hdd-fat16-64-sector-clusters) run_case aspi 0x30 small 64 1 hdd 0 "BIG" "" "" ;;
# Two areas: a FAT16 standard area and a FAT12 security area, and back.
hdd-two-areas-chip13-small) run_case cap 0x13 small 6 1 hdd 4500 "NOT USED" "STANDARD" "" ;;
zip-two-areas-chip30-large) run_case cap 0x30 large 10 1 zip 500 "NOT USED" "" "SECURITY" ;;
# 16 zones of large blocks: the security area starts in the second window.
fdd-two-areas-chip13-large) run_case cap 0x13 large 16 1 fdd 1500 "" "STD" "SEC" ;;
# Two chips: the security area starts in the last data block of chip 1 and
# its later sectors lie in chip 2.
fdd-two-areas-aspi) run_case aspi 0x13 small 2 2 fdd 999 "" "ONE" "TWO" ;;
# Area sizes whose FAT has no entry for the last cluster (21,824 sectors in
# the floppy layout), and a FAT12 area of 131,040 sectors that would have
# more than 4,084 clusters: the volume stops at the last cluster it numbers.
fdd-fat-short) run_case cap 0x30 small 1 1 fdd 682 "" "SHORT" "" ;;
hdd-fat12-top) run_case cap 0x30 small 5 1 hdd 4095 "" "TOP" "" ;;
*) die "unknown case" ;;
esac

fat_check_end
