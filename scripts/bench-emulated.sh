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
# smallest of the four media, and, taken on the medium just made, the wall
# time and the memory of `kt4790-emu show` and `kt4790-emu list` with their
# ratio to the smallest medium.
#
# Then what a large write leaves behind, on the smallest and the largest
# medium: the time per VSCReadSector in the program that has just written
# 120 sectors in one WRITE(10) (a 64 KB journal, kept in the file), in the
# next program (with the time it takes to open the disk, which takes the file
# up), and in a program after a write of 32,000 sectors (a 16 MB journal) that
# stopped before its journal was cut off; each with its ratio to the smallest
# plain VSCReadSector.
#
# Last, the erase and format of the 1 GB medium (90 % written) with the
# commands the single-disk format of KT4790CAP sends there (the counts
# scripts/bench-erase.sh reports, taken from format_journey_cap in winsim):
# GetPhyBlock for every physical block number, EraseBlock for each block
# behind one, the formatter's sector writes and the rest, through the
# emulated stack; and the same press in winsim for comparison.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build/linux}
samples=${2:-2000}

if [[ ! -f $build/CMakeCache.txt ]]; then
    cmake --preset linux -B "$build" >/dev/null
fi
cmake --build "$build" --target emulated_bench format_journey_cap kt4790-emu KT4790DLL KT4790mDLL >/dev/null
bench=$build/bin/emulated_bench

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
field() { sed -n "s/^$1 //p" <<<"$2"; }  # field NAME LINES: the value of the line "NAME value"

declare -A micro tool
media=("1 0" "1 90" "65 0" "65 90")
for medium in "${media[@]}"; do
    read -r zones percent <<<"$medium"
    image=$work/disk-$zones-$percent.img
    "$bench" make "$image" "$zones" "$percent"
    sync "$image"  # the made image on disk, so that its writing-back does not stall the timed writes
    # kt4790-emu show and list read the header and the state, not the medium.
    for verb in show list; do
        start=$(date +%s%N)
        /usr/bin/time -f '%M' -o "$work/rss" "$build/bin/kt4790-emu" "$verb" "$image" >/dev/null
        end=$(date +%s%N)
        tool[$zones,$percent,$verb]="$(awk -v n=$((end - start)) 'BEGIN { printf "%.1f", n / 1e6 }') $(tail -n 1 "$work/rss")"
    done
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

# What a large write leaves behind.
echo
echo "VSCReadSector after a large write (us per command, ratio to ${smallest[VSCReadSector]} us):"
printf '%-8s %8s %7s  %24s  %15s %18s  %15s %18s\n' medium size written "writer, 120 sectors" "next: open ms" \
    "next: read us" "killed: open ms" "killed: read us"
for medium in "1 0" "65 90"; do
    read -r zones percent <<<"$medium"
    image=$work/disk-$zones-$percent.img
    own=$("$bench" write "$image" 120 "$samples" | sed -n 's/^read //p')
    next=$("$bench" reads "$image" "$samples")
    "$bench" killed "$image" 32000
    killed=$("$bench" reads "$image" "$samples")
    size=$(awk -v z="$zones" 'BEGIN { printf "%.1f MB", z * 1000 * 32 * 512 / 1048576 }')
    printf '%-8s %8s %7s%%  %15.2f (%5sx)  %15.2f %10.2f (%5sx)  %15.2f %10.2f (%5sx)\n' "$zones zone" "$size" "$percent" \
        "$own" "$(ratio "$own" "${smallest[VSCReadSector]}")" \
        "$(field first "$next")" "$(field read "$next")" "$(ratio "$(field read "$next")" "${smallest[VSCReadSector]}")" \
        "$(field first "$killed")" "$(field read "$killed")" \
        "$(ratio "$(field read "$killed")" "${smallest[VSCReadSector]}")"
done

# kt4790-emu show and list, taken above on each medium just made.
echo
echo "kt4790-emu show and list (wall ms, maximum resident MB, ratio of the time to the smallest medium):"
printf '%-8s %8s %7s  %28s %28s\n' medium size written "show ms / MB (x)" "list ms / MB (x)"
for medium in "${media[@]}"; do
    read -r zones percent <<<"$medium"
    size=$(awk -v z="$zones" 'BEGIN { printf "%.1f MB", z * 1000 * 32 * 512 / 1048576 }')
    printf '%-8s %8s %7s%%' "$zones zone" "$size" "$percent"
    for verb in show list; do
        read -r ms kb <<<"${tool[$zones,$percent,$verb]}"
        least=$(for m in "${media[@]}"; do
            read -r z p <<<"$m"
            echo "${tool[$z,$p,$verb]%% *}"
        done | sort -g | head -n 1)
        printf '  %9s ms %6.1f MB (%5sx)' "$ms" "$(awk -v k="$kb" 'BEGIN { print k / 1024 }')" "$(ratio "$ms" "$least")"
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
