#!/usr/bin/env bash
# PARTITION, and FORMAT where the partition leaves one area, as a person does
# them at the utility window (format_journey_cap, format_journey_mcap) on a
# fresh emulated disk; then the split the descriptor sector records, and
# every area as the host reads it (kt4790-emu export) checked by fsck.fat and
# mtools (fat-checks.sh): two areas without labels after a partition into
# two, one volume with the label typed in the format dialog otherwise.
#
#   format-journey-check.sh CASE KT4790_EMU JOURNEY_CAP JOURNEY_MCAP
set -u
# shellcheck source=tests/format/fat-checks.sh
source "$(dirname "${BASH_SOURCE[0]}")/../format/fat-checks.sh"

case_name=${1:?case}
emu=${2:?kt4790-emu}
journey_cap=${3:?format_journey_cap}
journey_mcap=${4:?format_journey_mcap}

fat_check_begin "$case_name" "$emu" "$journey_cap" "$journey_mcap"

# run_case BUILD CHIP BLOCKS ZONES CHIPS PASSWORD LAYOUT SIZE STANDARD [LABEL]
# Partitions with SIZE MB of security area; STANDARD is the PartitionWord
# expected. Without a split (STANDARD 0 or the whole medium) the disk is then
# formatted with LABEL.
run_case() {
    local build=$1 chip=$2 blocks=$3 zones=$4 chips=$5 password=$6 layout=$7 size=$8 standard=$9 label=${10-}
    local image=$work/disk.img journey=$journey_cap logical=$((zones * 1000)) options=()
    [[ $build == aspi ]] && journey=$journey_mcap
    if [[ $blocks == large ]]; then
        logical=$((zones * 125))
        options+=(--large)
    fi
    [[ -n $password ]] && options+=(--password "$password")
    "$emu" create "$image" --chip "$chip" --zones "$zones" --chips "$chips" --name "JOURNEY" "${options[@]}" \
        >"$work/step.log" 2>&1 || die "create: $(cat "$work/step.log")"
    local steps=(partition "$layout" "$size")
    ((standard != 0 && standard != logical)) || steps+=(format "$layout" "$label")
    "$journey" "$image" --password "$password" "${steps[@]}" >"$work/journey.log" 2>&1 ||
        die "the journey did not end with success: $(cat "$work/journey.log")"
    grep '^\(sizes\|start\):' "$work/journey.log"
    local recorded
    recorded=$("$emu" show "$image" | sed -n 's/^standard area: *\([0-9]*\) logical blocks$/\1/p')
    [[ $recorded == "$standard" ]] || fail "PartitionWord $recorded, expected $standard"
    check_disk_areas "$emu" "$image" "$layout" "$build" "$label" "" ""
}

# Every layout on both chip codes and both block sizes; 125 MB media (8 zones
# of small blocks, or of large) with 100 or the whole 125 typed; security 0
# (the whole medium is the standard area); 15 typed on 15.6 MB; one, two and
# eight chips; with and without a password; KT4790MCAP's own cases.
case $case_name in
hdd-30-small) run_case cap 0x30 small 8 1 "" hdd 100 1600 ;;
hdd-30-large) run_case cap 0x30 large 8 2 secret hdd 100 200 ;;
hdd-13-small) run_case cap 0x13 small 2 1 "" hdd 0 2000 "lower case" ;;
hdd-13-large) run_case cap 0x13 large 8 8 secret hdd 50 600 ;;
zip-30-small) run_case cap 0x30 small 1 1 "" zip 15 0 "ZIP DISK" ;;
zip-30-large) run_case cap 0x30 large 8 1 "" zip 125 0 "ELEVEN CHRS" ;;
zip-13-small) run_case cap 0x13 small 2 2 secret zip 10 1360 ;;
zip-13-large) run_case cap 0x13 large 8 1 secret zip 100 200 ;;
fdd-30-small) run_case cap 0x30 small 1 1 secret fdd 5 680 ;;
fdd-30-large) run_case cap 0x30 large 4 1 "" fdd 0 500 "" ;;
fdd-13-small) run_case cap 0x13 small 8 2 "" fdd 100 1600 ;;
# 16 zones of large blocks: the security area starts in the second window.
fdd-13-large) run_case cap 0x13 large 16 1 secret fdd 200 400 ;;
aspi-hdd-30-large) run_case aspi 0x30 large 1 1 secret hdd 10 45 ;;
aspi-zip-13-large) run_case aspi 0x13 large 1 1 "" zip 15 0 "ASPI" ;;
aspi-fdd-13-small) run_case aspi 0x13 small 8 2 secret fdd 100 1600 ;;
aspi-hdd-30-small) run_case aspi 0x30 small 8 1 "" hdd 125 0 "ASPI HDD" ;;
*) die "unknown case" ;;
esac

fat_check_end
