#!/usr/bin/env bash
# A monitor program started twice on one machine (a shared KT4790_MACHINE
# folder): the first finds the attached disk with a password and starts the
# application; the second start asks it to stop. Both end with exit code 0,
# the first within a few passes of the second start.
#
# Usage: second_start.sh PROGRAM KT4790-EMU
set -u

program=$1
emu=$2
case $(basename "$program") in
    KT4790mMon*) app=KT4790MCAP.exe ;;
    *) app=KT4790CAP.exe ;;
esac

work=$(mktemp -d)
first=
cleanup() {
    [[ -n $first ]] && kill "$first" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "second_start: $(basename "$program"): $*" >&2
    for f in "$work"/*.out "$work"/*.err; do
        [[ -s $f ]] && { echo "--- $(basename "$f")"; cat "$f"; } >&2
    done
    exit 1
}

now_ms() { echo $(($(date +%s%N) / 1000000)); }

"$emu" create "$work/disk.img" --password secret >/dev/null || fail "cannot create the disk image"
mkdir "$work/machine"
export KT4790_DISKS=$work/disk.img KT4790_MACHINE=$work/machine

timeout 60 "$program" >"$work/first.out" 2>"$work/first.err" &
first=$!

# The first start runs once it has started the application (after its first pass).
for _ in $(seq 300); do
    grep -q WinExec "$work/first.out" && break
    kill -0 "$first" 2>/dev/null || fail "the first start ended by itself"
    sleep 0.05
done
[[ $(cat "$work/first.out") == "WinExec \"$app\" 1" ]] || fail "the first start did not start $app"
[[ -f $work/machine/KT4790C ]] || fail "the first start does not hold the monitor mutex"

begin=$(now_ms)
timeout 60 "$program" >"$work/second.out" 2>"$work/second.err"
second_status=$?
wait "$first"
first_status=$?
first=
elapsed=$(($(now_ms) - begin))

((second_status == 0)) || fail "the second start ended with $second_status"
((first_status == 0)) || fail "the first start ended with $first_status"
[[ ! -s $work/second.out ]] || fail "the second start started a program"
# Passes of 2 seconds; the second start holds its request for 2 (4) seconds.
# A first start that missed the request would run on until its 60 s limit;
# the bound leaves a busy machine room for several slow passes.
((elapsed < 30000)) || fail "both ended only after $elapsed ms"
[[ -z $(ls -A "$work/machine") ]] || fail "mutexes left behind: $(ls "$work/machine")"
echo "second_start: $(basename "$program"): both ended with 0 within $elapsed ms"
