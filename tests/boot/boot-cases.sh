#!/usr/bin/env bash
# Boots the formatter's boot programs in qemu. Each case builds a disk image
# with mkfs.fat and mtools, puts the boot-code tables into it (the master
# boot program into bytes 0-445 of the master boot record, a FAT boot
# program into bytes 62-509 of the volume's boot sector with its jump in
# bytes 0-2, keeping the BPB that mkfs.fat wrote), adds a stand-in IO.SYS
# and checks what the machine shows.
#
#   boot-cases.sh CASE DUMP_BOOTCODE NASM
#
# Missing tools make the case fail, never pass.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
case_name=${1:?case}
dump_bootcode=${2:?dump_bootcode}
nasm=${3:?nasm}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export MTOOLS_SKIP_CHECK=1 MTOOLS_NO_VFAT=1

image=$work/disk.img
volume=""                # mtools image spec of the FAT volume
volume_start=0           # its first sector
partition_type=0

fail() {
    echo "FAIL ($case_name): $*"
    for file in "$work/out/debugcon.txt" "$work/out/screen.txt"; do
        [[ -s $file ]] || continue
        echo "--- ${file##*/}"
        grep -v '^$' "$file"
    done
    exit 1
}

run() {  # run COMMAND...: runs a setup step, failing the case when it fails
    "$@" >"$work/step.log" 2>&1 || fail "$* => $(cat "$work/step.log")"
}

for tool in mkfs.fat mcopy mdel mmd mren mshowfat dd truncate od; do
    command -v "$tool" >/dev/null || fail "$tool not found (packages dosfstools, mtools, coreutils)"
done
[[ -x $dump_bootcode ]] || fail "no $dump_bootcode"
run "$dump_bootcode" "$work"

put_bytes() {  # put_bytes OFFSET FILE: writes FILE into the image at OFFSET
    run dd if="$2" of="$image" bs=1 seek="$1" conv=notrunc status=none
}

put_hex() {  # put_hex OFFSET HEXBYTES...: writes the bytes into the image at OFFSET
    local offset=$1 text=""
    shift
    for byte in "$@"; do text+="\\x$byte"; done
    printf "$text" >"$work/bytes"
    put_bytes "$offset" "$work/bytes"
}

le32() {  # le32 VALUE: the four little-endian bytes of VALUE
    printf '%02x %02x %02x %02x' $(($1 & 255)) $((($1 >> 8) & 255)) $((($1 >> 16) & 255)) $((($1 >> 24) & 255))
}

chs() {  # chs LBA HEADS SECTORS: head, sector and cylinder bytes of a partition entry
    local lba=$1 heads=$2 sectors=$3 cylinder head sector
    cylinder=$((lba / (heads * sectors)))
    head=$(((lba / sectors) % heads))
    sector=$((lba % sectors + 1))
    if ((cylinder > 1023)); then
        cylinder=1023 head=$((heads - 1)) sector=$sectors
    fi
    printf '%02x %02x %02x' $head $((sector | ((cylinder >> 2) & 0xC0))) $((cylinder & 255))
}

bpb() {  # bpb OFFSET WIDTH: a field of the volume's BPB
    od -An -tu"$2" -j $((volume_start * 512 + $1)) -N "$2" "$image" | tr -d ' '
}

new_disk() {  # new_disk SECTORS
    rm -f "$image"
    run truncate -s $(($1 * 512)) "$image"
}

# new_volume FAT START SECTORS [mkfs.fat options...]: a FAT12 or FAT16 volume
# at sector START carrying our boot program. The BPB says drive 0x80 and
# START hidden sectors, as the formatter writes them.
new_volume() {
    local fat=$1 start=$2 sectors=$3
    shift 3
    run mkfs.fat -F "$fat" -D 0x80 -h "$start" --offset "$start" --invariant "$@" "$image" $((sectors / 2))
    local boot=$((start * 512))
    put_bytes $((boot + 62)) "$work/fat$fat.bin"
    if ((fat == 12)); then
        put_hex "$boot" eb 3c 90
        partition_type=01
    else
        put_hex "$boot" eb 3e 90
        partition_type=06
    fi
    volume_start=$start
    volume=$image@@$boot
}

# put_mbr SECTOR BOOT_FLAG HEADS SECTORS_PER_TRACK [LBA]: our master boot program
# with one partition entry for the volume, written at SECTOR of the disk.
put_mbr() {
    local at=$(($1 * 512)) flag=$2 heads=$3 spt=$4 lba=${5:-$volume_start}
    local size=$(($(stat -c %s "$image") / 512 - volume_start))
    put_bytes "$at" "$work/mbr.bin"
    put_hex $((at + 446)) "$flag" $(chs "$lba" "$heads" "$spt") "$partition_type" \
        $(chs $((lba + size - 1)) "$heads" "$spt") $(le32 "$lba") $(le32 "$size")
    put_hex $((at + 510)) 55 aa
}

# make_iosys SECTORS [SHORT_BY]: the stand-in IO.SYS of SECTORS sectors, its
# last sector SHORT_BY bytes short.
make_iosys() {
    run "$nasm" -f bin -DSECTORS="$1" -o "$work/IO.SYS" "$here/iosys.asm"
    if ((${2:-0} > 0)); then
        run truncate -s -"$2" "$work/IO.SYS"
    fi
}

# add_files COUNT BYTES: files F001.DAT... of BYTES bytes each.
add_files() {
    local i
    head -c "$2" /dev/zero >"$work/filler"
    for ((i = 1; i <= $1; i++)); do
        printf -v name 'F%03d.DAT' "$i"
        run mcopy -i "$volume" "$work/filler" "::$name"
    done
}

# fragment: frees the clusters of F002.DAT and F004.DAT and gives their
# directory slots to empty files, so the next file starts in those holes
# and gets the next free directory slot.
fragment() {
    run mdel -i "$volume" ::F002.DAT ::F004.DAT
    : >"$work/empty"
    run mcopy -i "$volume" "$work/empty" ::E002.DAT
    run mcopy -i "$volume" "$work/empty" ::E004.DAT
}

copy_iosys() {
    run mcopy -i "$volume" "$work/IO.SYS" ::IO.SYS
}

set_iosys_size() {  # set_iosys_size BYTES: rewrites the size in IO.SYS's root entry
    local root entry
    root=$(((volume_start + $(bpb 14 2) + $(bpb 16 1) * $(bpb 22 2)) * 512))
    entry=$(dd if="$image" bs=1 skip="$root" count=$(($(bpb 17 2) * 32)) status=none |
        grep -obaF "IO      SYS" | head -n 1 | cut -d: -f1)
    [[ -n $entry ]] || fail "no IO.SYS entry in the root directory"
    put_hex $((root + entry + 28)) $(le32 "$1")
}

expect_fragmented() {
    local chain
    chain=$(mshowfat -i "$volume" ::IO.SYS)
    [[ $chain == *">"*"<"*">"*"<"* ]] || fail "IO.SYS is not in three or more pieces: $chain"
}

# boot EXPECTED [boot-image options...]: boots the image and checks that the
# machine showed EXPECTED, on the debug console or on the screen.
boot() {
    local expected=$1 status
    shift
    "$here/boot-image.sh" "$image" "$work/out" --timeout 60 --until "Press a key" "$@" >"$work/boot.log" 2>&1
    status=$?
    if ((status == 2)); then
        fail "could not boot: $(cat "$work/boot.log")"
    fi
    grep -qxF -- "$expected" "$work/out/debugcon.txt" && return 0
    grep -qF -- "$expected" "$work/out/screen.txt" && return 0
    fail "expected \"$expected\"; $(tail -n 1 "$work/boot.log")"
}

expect_message() {  # expect_message TEXT: a boot program's message and its prompt
    boot "Press a key"
    grep -qF -- "$1" "$work/out/screen.txt" || fail "expected \"$1\" on the screen"
    [[ ! -s $work/out/debugcon.txt ]] || fail "IO.SYS ran"
}

loaded() {  # loaded SECTORS: the line the stand-in IO.SYS writes when all is well
    echo "IO.SYS loaded: $1 sectors, drive 80"
}

# The partition starts at sector 63 (HDD-like, hidden sectors 63), 20 files
# fill the first root sector, IO.SYS lies in three pieces and its FAT12
# entries run over both FAT sector boundaries.
hdd_fat12_volume() {
    new_disk $((63 + 4000))
    new_volume 12 63 4000 -s 1 -g 16/63 -n BOOTTEST
    add_files 20 3000
    fragment
}

case $case_name in
fat12-partition)
    hdd_fat12_volume
    make_iosys 700 100
    copy_iosys
    expect_fragmented
    put_mbr 0 80 16 63
    boot "$(loaded 700)"
    ;;
fat16-partition)
    # The largest IO.SYS there is room for, loaded over where the boot
    # sector was and across 64 KiB boundaries.
    new_disk $((35 + 40000))
    new_volume 16 35 40000 -s 1 -g 8/63
    add_files 20 3000
    fragment
    make_iosys 1020 1
    copy_iosys
    expect_fragmented
    put_mbr 0 80 8 63
    boot "$(loaded 1020)"
    ;;
fat12-floppy)
    # Volume at sector 0 with 32-sector clusters; the last one partly used.
    # The BPB names drive 0: reads go to the drive the BIOS started, and
    # IO.SYS finds that one in the BPB.
    new_disk 8000
    new_volume 12 0 8000 -s 32 -g 8/63
    put_hex 36 00
    make_iosys 100 300
    copy_iosys
    boot "$(loaded 100)"
    ;;
fat16-floppy)
    # 64-sector clusters, as the formatter gives areas of 2,048,000 sectors
    # on. A large file pushes the end of IO.SYS beyond data sector 65,535.
    new_disk 300000
    new_volume 16 0 300000 -s 64 -g 8/63
    add_files 6 32768
    run truncate -s $((1100 * 32768)) "$work/large"
    run mcopy -i "$volume" "$work/large" ::LARGE.DAT
    fragment
    make_iosys 300
    copy_iosys
    expect_fragmented
    boot "$(loaded 300)"
    ;;
fat12-chs | fat16-chs)
    # A BIOS without the INT 13h extensions: sector 0 holds a shim that
    # hides them and starts sector 1, our master boot record. The partition
    # lies beyond cylinder 255: of a 16-head, 63-sector disk for FAT12, of
    # a disk with the ZIP layout's 64 heads and 32 sectors for FAT16.
    if [[ $case_name == fat12-chs ]]; then
        heads=16 spt=63 fat=12 cluster=8
    else
        heads=64 spt=32 fat=16 cluster=1
    fi
    cylinder=$((heads * spt))
    start=$((257 * cylinder + (heads - 1) * spt))
    sectors=20000
    cylinders=$(((start + sectors + cylinder - 1) / cylinder))
    new_disk $((cylinders * cylinder))
    new_volume "$fat" "$start" "$sectors" -s "$cluster" -g "$heads/$spt"
    add_files 6 5000
    fragment
    make_iosys 200 7
    copy_iosys
    expect_fragmented
    run "$nasm" -f bin -o "$work/shim.bin" "$here/hide-edd.asm"
    put_bytes 0 "$work/shim.bin"
    put_hex 510 55 aa
    put_mbr 1 80 "$heads" "$spt"
    boot "$(loaded 200)" --chs "$cylinders/$heads/$spt"
    ;;
mbr-no-active)
    hdd_fat12_volume
    make_iosys 10
    copy_iosys
    put_mbr 0 00 16 63
    expect_message "No active partition"
    ;;
mbr-no-signature)
    hdd_fat12_volume
    make_iosys 10
    copy_iosys
    put_mbr 0 80 16 63
    put_hex $((63 * 512 + 510)) 00 00
    expect_message "Missing operating system"
    ;;
mbr-read-error)
    hdd_fat12_volume
    put_mbr 0 80 16 63 100000
    expect_message "Disk error"
    ;;
fat12-missing)
    # A volume label and a directory both named IO.SYS, a deleted IO.SYS,
    # one in the directory and one of another name: none of them is the file.
    new_disk $((63 + 4000))
    new_volume 12 63 4000 -s 1 -g 16/63 -n "IO      SYS"
    make_iosys 10
    run mmd -i "$volume" ::IODIR
    run mcopy -i "$volume" "$work/IO.SYS" ::IODIR/IO.SYS
    run mcopy -i "$volume" "$work/IO.SYS" ::IO2.SYS
    copy_iosys
    add_files 3 100
    run mdel -i "$volume" ::IO.SYS
    run mren -i "$volume" ::IODIR ::IO.SYS
    put_mbr 0 80 16 63
    expect_message "No IO.SYS"
    ;;
fat16-missing)
    # Every root entry in use: the search ends with the root directory. The
    # first data cluster, right after it, holds entries named IO.SYS that
    # a search running past the end would take.
    new_disk 140000
    new_volume 16 0 140000 -s 32 -a -r 48
    add_files 47 0
    printf 'IO      SYS\x20%014d\x02\x00\x00\x02\x00\x00' 0 | tr 0 '\0' >"$work/entry"
    for _ in $(seq 16); do cat "$work/entry"; done >"$work/BAIT.BIN"
    run mcopy -i "$volume" "$work/BAIT.BIN" ::BAIT.BIN
    [[ $(mshowfat -i "$volume" ::BAIT.BIN) == *"<2>"* ]] || fail "BAIT.BIN is not in cluster 2"
    expect_message "No IO.SYS"
    ;;
fat16-too-big)
    # One sector more than there is room for below the boot program.
    new_disk 140000
    new_volume 16 0 140000 -s 32
    make_iosys 1021
    copy_iosys
    expect_message "Bad IO.SYS"
    ;;
fat16-zero-size)
    # Size 0 in the directory entry, but a cluster chain long enough to run
    # over the boot program if the size were not checked.
    new_disk 140000
    new_volume 16 0 140000 -s 32
    make_iosys 1100
    copy_iosys
    set_iosys_size 0
    expect_message "Bad IO.SYS"
    ;;
fat12-short-chain)
    # The directory entry claims more sectors than the cluster chain holds.
    hdd_fat12_volume
    make_iosys 30
    copy_iosys
    set_iosys_size $((40 * 512))
    put_mbr 0 80 16 63
    expect_message "Bad IO.SYS"
    ;;
fat16-read-error)
    # Hidden sectors pointing far beyond the end of the disk.
    new_disk 140000
    new_volume 16 0 140000 -s 32
    make_iosys 10
    copy_iosys
    put_hex 28 $(le32 0x7ff00000)
    expect_message "Disk error"
    ;;
*)
    fail "unknown case"
    ;;
esac
echo "PASS ($case_name)"
