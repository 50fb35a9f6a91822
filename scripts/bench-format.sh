#!/usr/bin/env bash
# Times the formatter on the largest medium the single-disk format dialog
# hands it (a 16-bit count of logical blocks: 65 zones of small blocks,
# 65,000 logical blocks, 2,080,000 sectors), through the device library,
# winsim and the emulator, against mkfs.fat making a FAT16 volume of the same
# size on an image file, in the same run.
#
#   scripts/bench-format.sh [BUILD_DIR] [RUNS]
#
# BUILD_DIR defaults to build/linux (configured and built as needed); RUNS
# to 5. Prints the median wall time of each, as whole processes, and their
# ratio; also the median time of the driver call alone.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build/linux}
runs=${2:-5}
zones=65
sectors=$((zones * 1000 * 32))

for tool in mkfs.fat truncate; do
    if ! command -v "$tool" >/dev/null; then
        echo "bench-format: $tool not found (packages dosfstools, coreutils)" >&2
        exit 1
    fi
done
if [[ ! -f $build/CMakeCache.txt ]]; then
    cmake --preset linux -B "$build" >/dev/null
fi
cmake --build "$build" --target kt4790-emu format_medium >/dev/null
emu=$build/bin/kt4790-emu
format=$build/bin/format_medium

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

now_ns() { date +%s%N; }
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

"$emu" create "$work/new.img" --chip 0x30 --zones "$zones" --name "BENCH DISK" >/dev/null

formatter_ms=()
driver_ms=()
mkfs_ms=()
for ((i = 0; i < runs; i++)); do
    cp "$work/new.img" "$work/medium.img"
    start=$(now_ns)
    report=$("$format" "$work/medium.img" hdd --label0 "BENCH")
    end=$(now_ns)
    formatter_ms+=("$(((end - start) / 1000))")
    driver_ms+=("$(sed -n 's/.* sector writes, \([0-9.]*\) ms$/\1/p' <<<"$report")")
    writes=$(sed -n 's/^result 1, \([0-9]*\) sector writes.*/\1/p' <<<"$report")
    [[ -n $writes ]] || { echo "bench-format: the formatter failed: $report" >&2; exit 1; }

    rm -f "$work/mkfs.img"
    truncate -s $((sectors * 512)) "$work/mkfs.img"
    start=$(now_ns)
    mkfs.fat -F 16 -s 64 -S 512 -n BENCH "$work/mkfs.img" >/dev/null
    end=$(now_ns)
    mkfs_ms+=("$(((end - start) / 1000))")
done

formatter=$(printf '%s\n' "${formatter_ms[@]}" | median)
driver=$(printf '%s\n' "${driver_ms[@]}" | median)
mkfs=$(printf '%s\n' "${mkfs_ms[@]}" | median)
echo "medium: $zones zones of small blocks, $sectors sectors (FAT16, 64-sector clusters), $runs runs"
awk -v f="$formatter" -v d="$driver" -v m="$mkfs" -v w="$writes" 'BEGIN {
    printf "formatter (format_medium process, %d sector writes): %8.2f ms\n", w, f / 1000
    printf "  of which the driver call:                         %8.2f ms\n", d
    printf "mkfs.fat on an image file of the same size:         %8.2f ms\n", m / 1000
    printf "ratio formatter / mkfs.fat:                         %8.2f\n", f / m
}'
