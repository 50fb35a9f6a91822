#!/usr/bin/env bash
# Times the erase and format of the largest medium each dialog takes, in
# erase commands (chip 0x30, small blocks): the single-disk format takes a
# 16-bit count of logical blocks, so 65 zones (65,000 logical and 66,560
# physical blocks); the partition dialog also needs the medium's size in its
# table of zone counts, so 64 zones (64,000 and 65,536). Through both
# libraries in one run: KT4790CAP over KT4790DLL and KT4790MCAP over
# KT4790mDLL, each dialog driven as a person would (format_journey_cap,
# format_journey_mcap) on a fresh emulated disk, the partition with half of
# the medium as security area.
#
# Then the three runs of the two-area format dialog ("Security Disk",
# "Standard Disk", "Security and Standard Disks") on the largest medium the
# partition dialog splits (the partition's zone count, split in half by that
# build's partition first), and on a chip-0x13 medium of as many zones over
# two chips (one for an odd count), 60 % of it the security area (600 MB of
# 64 zones, so the split lies inside the first chip), with replaced data
# positions: the first blocks of both areas, which the partition's formatter
# writes, so that their replacement blocks carry their positions, and one of
# the second chip.
#
#   scripts/bench-erase.sh [BUILD_DIR] [ZONES]
#
# BUILD_DIR defaults to build/linux (configured and built as needed). ZONES
# (default 65) is the format's medium; the partition takes the largest zone
# count of its table not above it. For each build and dialog it prints the
# commands the disk received
# during "Start": GetPhyBlock and EraseBlock against the counts the erase
# prescribes (one GetPhyBlock per number below the physical blocks, or below
# the logical ones in KT4790MCAP's format; one EraseBlock per block behind
# one), the sector writes (the formatter's) and the rest (opening checks,
# DescriptorSector, device searches); the wall time of the press and the
# time per command.
#
# The two-area counts prescribed, for a split at Sd logical blocks of L:
#   chip 0x30   security: GetPhyBlock and EraseBlock once per logical block
#               Sd .. L - 1; standard: once per logical block 0 .. Sd - 1;
#               both: GetPhyBlock for every number below the physical blocks
#               (the logical ones in KT4790MCAP), EraseBlock once per logical
#               block.
#   chip 0x13   (C chips of Pc physical blocks; spare reads: the sector reads
#               of spare areas) both: EraseBlock for C x Pc blocks, block 0
#               first on its own and written back before the others; no
#               spare reads.
#               Standard: block 0, the data positions 1 .. the last of the
#               area, the replacement blocks of the split chip that stand for
#               one of them. Security: the data positions from the area's
#               first to the chip's last, the replacement blocks of the split
#               chip that stand for one of them, every block of the later
#               chips. Standard and security read the spare area of every
#               replacement block of the split chip.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build/linux}
zones=${2:-65}

if [[ ! -f $build/CMakeCache.txt ]]; then
    cmake --preset linux -B "$build" >/dev/null
fi
cmake --build "$build" --target kt4790-emu format_journey_cap format_journey_mcap >/dev/null
emu=$build/bin/kt4790-emu

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

partition_zones=0
for known in 1 2 3 4 5 6 7 8 10 12 14 16 20 24 28 32 40 48 56 64; do
    ((known <= zones)) && partition_zones=$known
done
for dialog_zones in "$zones" "$partition_zones"; do
    [[ -f $work/new-$dialog_zones.img ]] && continue
    "$emu" create "$work/new-$dialog_zones.img" --chip 0x30 --zones "$dialog_zones" \
        --name "BENCH DISK" >/dev/null
done
echo "media: chip 0x30, small blocks: $zones zones for the format, $partition_zones for the partition"

# How many commands of one operation code the report lists.
count() { sed -n 's/^commands:.* '"$1"'=\([0-9]*\).*/\1/p' <<<"$report" | grep . || echo 0; }

# run_journey BUILD IMAGE STEP...: the journey's report in $report, and the
# numbers of its Start in total, ms, per, gets, erases, writes and spares.
run_journey() {
    local build_name=$1 image=$2
    shift 2
    report=$("$build/bin/format_journey_$build_name" "$image" "$@") || {
        echo "bench-erase: $build_name $* did not succeed: $report" >&2
        exit 1
    }
    total=$(sed -n 's/^start: [0-9.]* ms, \([0-9]*\) commands.*/\1/p' <<<"$report")
    ms=$(sed -n 's/^start: \([0-9.]*\) ms.*/\1/p' <<<"$report")
    per=$(sed -n 's/.* commands, \([0-9.]*\) us each$/\1/p' <<<"$report")
    gets=$(count F9)
    erases=$(count F3)
    writes=$(count F4)
    spares=$(sed -n 's/^spare reads: \([0-9]*\)$/\1/p' <<<"$report")
}

# row BUILD DIALOG ZONES MEASURED PRESCRIBED ERASES_PRESCRIBED: one line of a
# table; MEASURED is the count of the third column (GetPhyBlock or spare
# reads), PRESCRIBED its prescribed count.
row() {
    printf '%-5s %-10s %5d %9d %11d %10d %10d %10d %7d %7d %10.1f %10.2f\n' "$1" "$2" "$3" "$total" "$4" "$5" "$erases" \
        "$6" "$writes" $((total - $4 - erases - writes)) "$ms" "$per"
}

header() {
    printf '%-5s %-10s %5s %9s %11s %10s %10s %10s %7s %7s %10s %10s\n' build dialog zones commands "$1" prescribed \
        EraseBlock prescribed writes other "wall ms" "us/command"
}

# The standard area's logical blocks an image records.
standard_blocks() { "$emu" show "$1" | sed -n 's/^standard area: *\([0-9]*\) logical blocks$/\1/p'; }

header GetPhyBlock
for build_name in cap mcap; do
    for dialog in format partition; do
        dialog_zones=$zones
        steps=(format hdd BENCH)
        if [[ $dialog == partition ]]; then
            dialog_zones=$partition_zones
            steps=(partition hdd $((dialog_zones * 15625 / 2000)))  # half of the medium, in MB
        fi
        logical=$((dialog_zones * 1000))
        physical=$((dialog_zones * 1024))
        cp "$work/new-$dialog_zones.img" "$work/disk.img"
        run_journey "$build_name" "$work/disk.img" "${steps[@]}"
        prescribed_gets=$physical
        [[ $build_name == mcap && $dialog == format ]] && prescribed_gets=$logical
        row "$build_name" "$dialog" "$dialog_zones" "$gets" "$prescribed_gets" "$logical"
    done
done

# --- the two-area format dialog ----------------------------------------------------
# The steps of the three runs, in the journey's words.
area_steps=("security hdd SEC" "standard hdd STD" "both hdd SEC|STD")

# Chip 0x30: the partition's medium, split in half by each build.
zones=$partition_zones
logical=$((zones * 1000))
physical=$((zones * 1024))
echo
echo "two-area media: chip 0x30, small blocks, $zones zones, split in half by each build's partition"
header GetPhyBlock
for build_name in cap mcap; do
    cp "$work/new-$zones.img" "$work/split.img"
    run_journey "$build_name" "$work/split.img" partition hdd $((zones * 15625 / 2000))
    sd=$(standard_blocks "$work/split.img")
    for step in "${area_steps[@]}"; do
        read -r dialog layout labels <<<"$step"
        cp "$work/split.img" "$work/disk.img"
        run_journey "$build_name" "$work/disk.img" "$dialog" "$layout" "$labels"
        case $dialog in
        security) prescribed_gets=$((logical - sd)) prescribed_erases=$((logical - sd)) ;;
        standard) prescribed_gets=$sd prescribed_erases=$sd ;;
        both)
            prescribed_gets=$physical prescribed_erases=$logical
            [[ $build_name == mcap ]] && prescribed_gets=$logical
            ;;
        esac
        row "$build_name" "$dialog" "$zones" "$gets" "$prescribed_gets" "$prescribed_erases"
    done
done

# Chip 0x13: two chips of Pc physical and Lc logical blocks; data positions
# 1 .. Lc of chip 0 hold logical blocks 0 .. Lc - 1, blocks Lc + 1 .. Pc - 1
# are its replacement blocks.
chips=$((zones % 2 == 0 ? 2 : 1))
security_mb=$((zones * 15625 * 6 / 10000))
pc=$((physical / chips)) lc=$((logical / chips))
sd=$((logical - security_mb * 64))
replaced=(1 $((sd + 1)))
((chips == 1)) || replaced+=($((pc + lc / 2)))
"$emu" create "$work/split13.img" --chip 0x13 --zones "$zones" --chips "$chips" --name "BENCH DISK" \
    --replace "$(IFS=,; echo "${replaced[*]}")" >/dev/null
echo
echo "two-area media: chip 0x13, small blocks, $zones zones over $chips chips, $security_mb MB security area" \
    "(standard area $sd logical blocks), data positions ${replaced[*]} replaced"
header "spare reads"
# The replaced positions of chip 0 in FIRST .. LAST.
replaced_in() {
    local position n=0
    for position in "${replaced[@]}"; do
        ((position >= $1 && position <= $2)) && n=$((n + 1))
    done
    echo "$n"
}
spare_blocks=$((pc - lc - 1))
for build_name in cap mcap; do
    cp "$work/split13.img" "$work/split.img"
    run_journey "$build_name" "$work/split.img" partition hdd "$security_mb"
    [[ $(standard_blocks "$work/split.img") == "$sd" ]] || {
        echo "bench-erase: the chip-0x13 partition did not split at $sd" >&2
        exit 1
    }
    for step in "${area_steps[@]}"; do
        read -r dialog layout labels <<<"$step"
        cp "$work/split.img" "$work/disk.img"
        run_journey "$build_name" "$work/disk.img" "$dialog" "$layout" "$labels"
        case $dialog in
        security)
            prescribed_spares=$spare_blocks
            prescribed_erases=$((lc - sd + $(replaced_in $((sd + 1)) "$lc") + physical - pc))
            ;;
        standard)
            prescribed_spares=$spare_blocks
            prescribed_erases=$((1 + sd + $(replaced_in 1 "$sd")))
            ;;
        both) prescribed_spares=0 prescribed_erases=$physical ;;  # block 0 once, written back before the rest
        esac
        row "$build_name" "$dialog" "$zones" "$spares" "$prescribed_spares" "$prescribed_erases"
    done
done
