#!/usr/bin/env bash
# Boots what the formatter wrote: an emulated disk is formatted through
# library, winsim and emulator (format_medium), exported as the host reads
# it (kt4790-emu export), given a stand-in IO.SYS (tests/boot/iosys.asm,
# copied in with mcopy) and booted in qemu as the first hard disk
# (tests/boot/boot-image.sh).
#
#   boot-formatted.sh CASE KT4790_EMU FORMAT_MEDIUM FORMAT_MEDIUM_ASPI NASM
#
# CASE: hdd, zip, fdd (IO.SYS starts and reports), hdd-no-iosys (the boot
# program's message). A missing tool fails the case.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
boot_dir=$here/../boot
case_name=${1:?case}
emu=${2:?kt4790-emu}
format_cap=${3:?format_medium}
nasm=${5:?nasm}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export MTOOLS_SKIP_CHECK=1 MTOOLS_NO_VFAT=1

fail() {
    echo "FAIL ($case_name): $*"
    for file in "$work/out/debugcon.txt" "$work/out/screen.txt"; do
        [[ -s $file ]] || continue
        echo "--- ${file##*/}"
        grep -v '^$' "$file"
    done
    exit 1
}

run() {  # run COMMAND...: a setup step; its failure fails the case
    "$@" >"$work/step.log" 2>&1 || fail "$* => $(cat "$work/step.log")"
}

for tool in mcopy od qemu-system-i386; do
    command -v "$tool" >/dev/null || fail "$tool not found (packages mtools, coreutils, qemu-system-x86)"
done
[[ -x $nasm ]] || command -v "$nasm" >/dev/null || fail "no $nasm"

image=$work/medium.img
disk=$work/disk.img

# format LAYOUT CHIP ZONES [--large]: a formatted disk, exported whole.
format() {
    local layout=$1 chip=$2 zones=$3
    shift 3
    run "$emu" create "$image" --chip "$chip" --zones "$zones" --name "BOOT TEST" "$@"
    run "$format_cap" "$image" "$layout" --label0 "BOOT TEST"
    run "$emu" export "$image" "$disk"
    volume_start=0
    if [[ $layout != fdd ]]; then
        volume_start=$(od -An -tu4 -j 454 -N 4 "$disk" | tr -d ' ')
    fi
}

add_iosys() {  # add_iosys SECTORS
    run "$nasm" -f bin -DSECTORS="$1" -o "$work/IO.SYS" "$boot_dir/iosys.asm"
    run mcopy -i "$disk@@$((volume_start * 512))" "$work/IO.SYS" ::IO.SYS
}

# boot EXPECTED: the machine showed EXPECTED on the debug console or screen.
boot() {
    local status
    "$boot_dir/boot-image.sh" "$disk" "$work/out" --timeout 60 --until "Press a key" >"$work/boot.log" 2>&1
    status=$?
    ((status == 2)) && fail "could not boot: $(cat "$work/boot.log")"
    grep -qxF -- "$1" "$work/out/debugcon.txt" && return 0
    grep -qF -- "$1" "$work/out/screen.txt" && return 0
    fail "expected \"$1\"; $(tail -n 1 "$work/boot.log")"
}

loaded() { echo "IO.SYS loaded: $1 sectors, drive 80"; }

case $case_name in
hdd)
    # FAT16 behind the master boot record and the alignment gap.
    format hdd 0x30 5
    add_iosys 300
    boot "$(loaded 300)"
    ;;
zip)
    # FAT12 from sector 32, large blocks on chip 0x13.
    format zip 0x13 1 --large
    add_iosys 150
    boot "$(loaded 150)"
    ;;
fdd)
    # FAT12 from sector 0, booted as the first hard disk (drive 0x80).
    format fdd 0x13 2
    add_iosys 70
    boot "$(loaded 70)"
    ;;
hdd-no-iosys)
    format hdd 0x13 1
    boot "Press a key"
    grep -qF "No IO.SYS" "$work/out/screen.txt" || fail "expected \"No IO.SYS\" on the screen"
    [[ ! -s $work/out/debugcon.txt ]] || fail "something ran"
    ;;
*)
    fail "unknown case"
    ;;
esac
echo "PASS ($case_name)"
