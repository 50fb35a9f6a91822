#!/usr/bin/env bash
# Times commands through the emulated device stack the way the Windows
# emulated variant uses it: KT4790DLL's code over the emulated stack over an
# image file (emulated_bench, built on Linux with the variant's redirection
# of the device-stack calls).
#
#   scripts/bench-emulated.sh [BUILD_DIR] [SAMPLES]
#
# BUILD_DIR defaults to build/linux (configured and built as needed);
# SAMPLES (default 2000) commands of each kind per pass, the median of three
# passes. Media: chip 0x30, small blocks, 1 zone (15.6 MB) and 65 zones
# (1 GB, the largest the format dialog takes), each with 0 % and 90 % of its
# physical sectors written. For each it prints the microseconds per
# VSCReadSector, VSCWriteSector and EraseBlock and their ratio to the
# smallest of the four media. Then the erase and format of the 1 GB medium
# (90 % written) with the commands the single-disk format of KT4790CAP sends
# there (the counts scripts/bench-erase.sh reports, taken from
# format_journey_cap in winsim): GetPhyBlock for every physical block number,
# EraseBlock for each block behind one, the formatter's sector writes and the
# rest, through the emulated stack; and the same press in winsim for
# comparison.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build/linux}
samples=${2:-2000}

if [[ ! -f $build/CMakeCache.txt ]]; then
    cmake --preset linux -B "$build" >/dev/null
fi
cmake --build "$build" --target emulated_bench format_journey_cap kt4790-emu >/dev/null
bench=$build/bin/emulated_bench

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

declare -A micro
media=("1 0" "1 90" "65 0" "65 90")
for medium in "${media[@]}"; do
    read -r zones percent <<<"$medium"
    image=$work/disk-$zones-$percent.img
    "$bench" make "$image" "$zones" "$percent"
    sync "$image"  # the made image on disk, so that its writing-back does not stall the timed writes
    while read -r name us; do
        micro[$zones,$percent,$name]=$us
    done < <("$bench" time "$image" "$samples")
done

commands=(VSCReadSector VSCWriteSector EraseBlock)
declare -A smallest
for name in "${commands[@]}"; do
    smallest[$name]=$(for medium in "${media[@]}"; do
        read -r zones percent <<<"$medium"
        echo "${micro[$zones,$percent,$name]}"
    done | sort -g | head -n 1)
done

echo "emulated stack, chip 0x30 small blocks, $samples commands each, median of 3 passes"
printf '%-8s %8s %8s  %22s %22s %22s\n' medium size written "VSCReadSector us (x)" "VSCWriteSector us (x)" \
    "EraseBlock us (x)"
for medium in "${media[@]}"; do
    read -r zones percent <<<"$medium"
    size=$(awk -v z="$zones" 'BEGIN { printf "%.1f MB", z * 1000 * 32 * 512 / 1048576 }')
    printf '%-8s %8s %7s%%' "$zones zone" "$size" "$percent"
    for name in "${commands[@]}"; do
        us=${micro[$zones,$percent,$name]}
        printf '  %14.2f (%4.2fx)' "$us" "$(awk -v a="$us" -v b="${smallest[$name]}" 'BEGIN { print a / b }')"
    done
    echo
done

# The single-disk format of the 1 GB medium: its commands counted in winsim.
"$build/bin/kt4790-emu" create "$work/counted.img" --zones 65 --name "BENCH DISK" >/dev/null
report=$("$build/bin/format_journey_cap" "$work/counted.img" format hdd BENCH)
count() { sed -n 's/^commands:.* '"$1"'=\([0-9]*\).*/\1/p' <<<"$report" | grep . || echo 0; }
total=$(sed -n 's/^start: [0-9.]* ms, \([0-9]*\) commands.*/\1/p' <<<"$report")
winsim_ms=$(sed -n 's/^start: \([0-9.]*\) ms.*/\1/p' <<<"$report")
gets=$(count F9) erases=$(count F3) writes=$(count F4)
echo
echo "erase and format of the 65-zone medium (90 % written), KT4790CAP's single-disk format:"
echo "winsim (in memory): $winsim_ms ms, $total commands (GetPhyBlock $gets, EraseBlock $erases, writes $writes)"
printf 'emulated stack:     '
"$bench" replay "$work/disk-65-90.img" "$gets" "$erases" "$writes" $((total - gets - erases - writes))
