#!/usr/bin/env bash
# Times the erase and format of the largest medium the single-disk format and
# partition dialogs take (a 16-bit count of logical blocks: 65 zones of small
# blocks, 65,000 logical and 66,560 physical blocks, chip 0x30), through both
# libraries in one run: KT4790CAP over KT4790DLL and KT4790MCAP over
# KT4790mDLL, each dialog driven as a person would (format_journey_cap,
# format_journey_mcap) on a fresh emulated disk.
#
#   scripts/bench-erase.sh [BUILD_DIR] [ZONES]
#
# BUILD_DIR defaults to build/linux (configured and built as needed); ZONES
# to 65. For each build and dialog it prints the commands the disk received
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
"$build/bin/kt4790-emu" create "$work/new.img" --chip 0x30 --zones "$zones" --name "BENCH DISK" >/dev/null

logical=$((zones * 1000))
physical=$((zones * 1024))
echo "medium: chip 0x30, $zones zones of small blocks: $logical logical, $physical physical blocks"
# How many commands of one operation code the report lists.
count() { sed -n 's/^commands:.* '"$1"'=\([0-9]*\).*/\1/p' <<<"$report" | grep . || echo 0; }

printf '%-5s %-10s %9s %11s %9s %10s %9s %7s %7s %10s %10s\n' build dialog commands GetPhyBlock "(Parts)" EraseBlock \
    "(Parts)" writes other "wall ms" "us/command"
for build_name in cap mcap; do
    for dialog in format partition; do
        cp "$work/new.img" "$work/disk.img"
        if [[ $dialog == format ]]; then
            steps=(format hdd BENCH)
        else
            steps=(partition hdd $((zones * 15625 / 2000)))  # half of the medium, in MB
        fi
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
        printf '%-5s %-10s %9d %11d %9d %10d %9d %7d %7d %10.1f %10.2f\n' "$build_name" "$dialog" "$total" "$gets" \
            "$prescribed_gets" "$erases" "$logical" "$writes" $((total - gets - erases - writes)) "$ms" "$per"
    done
done
