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
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build/linux}
zones=${2:-65}

if [[ ! -f $build/CMakeCache.txt ]]; then
    cmake --preset linux -B "$build" >/dev/null
fi
cmake --build "$build" --target kt4790-emu format_journey_cap format_journey_mcap >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

partition_zones=0
for known in 1 2 3 4 5 6 7 8 10 12 14 16 20 24 28 32 40 48 56 64; do
    ((known <= zones)) && partition_zones=$known
done
for dialog_zones in "$zones" "$partition_zones"; do
    [[ -f $work/new-$dialog_zones.img ]] && continue
    "$build/bin/kt4790-emu" create "$work/new-$dialog_zones.img" --chip 0x30 --zones "$dialog_zones" \
        --name "BENCH DISK" >/dev/null
done
echo "media: chip 0x30, small blocks: $zones zones for the format, $partition_zones for the partition"

# How many commands of one operation code the report lists.
count() { sed -n 's/^commands:.* '"$1"'=\([0-9]*\).*/\1/p' <<<"$report" | grep . || echo 0; }

printf '%-5s %-10s %5s %9s %11s %9s %10s %9s %7s %7s %10s %10s\n' build dialog zones commands GetPhyBlock "(Parts)" EraseBlock \
    "(Parts)" writes other "wall ms" "us/command"
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
        report=$("$build/bin/format_journey_$build_name" "$work/disk.img" "${steps[@]}") || {
            echo "bench-erase: the $dialog did not succeed: $report" >&2
            exit 1
        }
        total=$(sed -n 's/^start: [0-9.]* ms, \([0-9]*\) commands.*/\1/p' <<<"$report")
        ms=$(sed -n 's/^start: \([0-9.]*\) ms.*/\1/p' <<<"$report")
        per=$(sed -n 's/.* commands, \([0-9.]*\) us each$/\1/p' <<<"$report")
        gets=$(count F9)
        erases=$(count F3)
        writes=$(count F4)
        prescribed_gets=$physical
        [[ $build_name == mcap && $dialog == format ]] && prescribed_gets=$logical
        printf '%-5s %-10s %5d %9d %11d %9d %10d %9d %7d %7d %10.1f %10.2f\n' "$build_name" "$dialog" "$dialog_zones" "$total" "$gets" \
            "$prescribed_gets" "$erases" "$logical" "$writes" $((total - gets - erases - writes)) "$ms" "$per"
    done
done
