#!/usr/bin/env bash
# Boots a raw disk image in qemu as the first hard disk and records what the
# machine showed.
#
#   boot-image.sh IMAGE OUTDIR [--timeout SECONDS] [--until TEXT] [--chs C/H/S]
#
#   --timeout  give up after this many seconds (default 60)
#   --until    stop as soon as TEXT is on the screen or the debug console
#   --chs      the BIOS geometry of the disk (cylinders/heads/sectors),
#              without translation; by default qemu chooses
#
# The image is not modified (the disk runs in snapshot mode). Writes
#   OUTDIR/debugcon.txt  everything written to I/O port 0xE9
#   OUTDIR/screen.txt    the VGA text screen (80x25) at the end
# A program in the image ends the machine by writing a byte to port 0xF4.
#
# Exit status: 0 when the machine ended that way or TEXT appeared;
# 1 when the time ran out; 2 when qemu is missing, failed, or stopped for
# another reason. The last line on stdout says which.
set -u

usage() {
    echo "usage: boot-image.sh IMAGE OUTDIR [--timeout SECONDS] [--until TEXT] [--chs C/H/S]" >&2
    exit 2
}

(($# >= 2)) || usage
image=$1
out=$2
shift 2
timeout=60
until_text=""
chs=""
while (($# > 0)); do
    case $1 in
        --timeout) timeout=${2:?}; shift 2 ;;
        --until) until_text=${2:?}; shift 2 ;;
        --chs) chs=${2:?}; shift 2 ;;
        *) usage ;;
    esac
done

qemu=${QEMU_SYSTEM_I386:-qemu-system-i386}
if ! command -v "$qemu" >/dev/null; then
    echo "boot-image: $qemu not found (Debian package qemu-system-x86)"
    exit 2
fi
[[ -f $image ]] || { echo "boot-image: no image $image"; exit 2; }

mkdir -p "$out"
rm -f "$out/debugcon.txt" "$out/screen.txt" "$out/screen.bin" "$out/monitor.in" "$out/monitor.out"
mkfifo "$out/monitor.in" "$out/monitor.out"

disk="ide-hd,drive=disk"
if [[ -n $chs ]]; then
    IFS=/ read -r cylinders heads sectors <<<"$chs"
    disk+=",lcyls=$cylinders,lheads=$heads,lsecs=$sectors,bios-chs-trans=none"
fi

"$qemu" -machine pc -m 16 -nodefaults -vga std -display none -no-reboot \
    -drive "if=none,id=disk,file=$image,format=raw,snapshot=on" -device "$disk" \
    -debugcon "file:$out/debugcon.txt" -device isa-debug-exit,iobase=0xf4,iosize=1 \
    -chardev "pipe,id=monitor,path=$out/monitor" -mon chardev=monitor,mode=readline \
    >"$out/qemu.log" 2>&1 &
qemu_pid=$!

# Both ends of the monitor pipes are opened read-write, so no open blocks
# whether qemu is up or not.
exec 3<>"$out/monitor.in"
cat <>"$out/monitor.out" >"$out/monitor.log" &
drain_pid=$!

cleanup() {
    kill "$drain_pid" 2>/dev/null
    wait "$drain_pid" 2>/dev/null
    exec 3>&-
    rm -f "$out/monitor.in" "$out/monitor.out"
}

running() { kill -0 "$qemu_pid" 2>/dev/null; }

# Saves the VGA text memory and turns it into 25 lines of text.
dump_screen() {
    local dump=$out/screen.bin tries=0
    rm -f "$dump"
    echo "pmemsave 0xb8000 4000 \"$dump\"" >&3
    while running && [[ $(stat -c %s "$dump" 2>/dev/null || echo 0) -lt 4000 ]] && ((tries < 40)); do
        sleep 0.05
        tries=$((tries + 1))
    done
    [[ -f $dump ]] || return 1
    od -An -v -tu1 -w160 "$dump" | awk '{
        line = ""
        for (i = 1; i <= NF; i += 2) line = line sprintf("%c", ($i >= 32 && $i < 127) ? $i : 32)
        sub(/ +$/, "", line)
        print line
    }' >"$out/screen.txt"
}

seen() {
    [[ -n $until_text ]] || return 1
    grep -qF -- "$until_text" "$out/debugcon.txt" 2>/dev/null && return 0
    dump_screen && grep -qF -- "$until_text" "$out/screen.txt"
}

stop_qemu() {
    echo "quit" >&3
    for _ in $(seq 50); do
        running || break
        sleep 0.1
    done
    running && kill "$qemu_pid"
    wait "$qemu_pid" 2>/dev/null
}

deadline=$((SECONDS + timeout))
result=""
while :; do
    if ! running; then
        wait "$qemu_pid"
        status=$?
        if ((status % 2 == 1)); then
            result="ended by the guest with code $((status >> 1))"
            code=0
        else
            result="qemu stopped with status $status: $(head -c 500 "$out/qemu.log")"
            code=2
        fi
        break
    fi
    if seen; then
        result="\"$until_text\" seen"
        code=0
        stop_qemu
        break
    fi
    if ((SECONDS >= deadline)); then
        dump_screen
        result="timed out after $timeout s"
        code=1
        stop_qemu
        break
    fi
    sleep 0.2
done

cleanup
touch "$out/debugcon.txt" "$out/screen.txt"
echo "boot-image: $result"
exit "$code"
