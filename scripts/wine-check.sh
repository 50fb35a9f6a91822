#!/usr/bin/env bash
# Wine check of the Windows build: starts KT4790CAP.exe under Wine on a
# virtual display and checks it from outside with tools/wincheck:
#   - a window titled "KT4790CAP" exists and the password-check window is
#     the one visible window of the program, with no message box on the way
#     (under Wine there are no devices: the list is empty, which is no error);
#   - a second start ends at once with exit code 0 and leaves one instance;
#   - closing the password-check window ends the program with exit code 0;
#   - KT4790Mon.exe started twice: both end with exit code 0, the first within
#     a few passes of the second start.
# A screenshot of the start-up goes to build/wine-shots/startup.png.
#
# Which binaries: the i686 deliverables (WIN32_BIN, default build/win32/bin)
# under 32-bit Wine when this host runs 32-bit programs. Otherwise the
# 64-bit stand-in (WIN64_BIN, default build/win64-check/bin: the same sources
# built by the win64-check preset) under 64-bit Wine: it runs the same
# Windows code paths, but it is not what ships. The script says which.
#
# Usage: scripts/wine-check.sh [WIN32_BIN [WIN64_BIN]]
# The Wine prefixes live in build/wine-prefix (32-bit) and
# build/wine64-prefix (64-bit) and are made on first use.
# Exit code 0: passed; 77: no Wine can run here (skipped, with the reason);
# anything else: failed.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
shots=$root/build/wine-shots
app_title=KT4790CAP
main_title="USB Flash Disk Password Check"
wine32_loader=/usr/lib/wine/wine
wine64_loader=/usr/lib/wine/wine64

export WINEDEBUG=-all
# No Mono or Gecko installers, and no menu entries in $HOME.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

fail() {
    echo "wine-check: $*" >&2
    exit 1
}

# The machine field of a PE file's header: 14c (i386) or 8664 (x86-64).
pe_machine() {
    local header
    header=$(od -An -tu4 -j 60 -N 4 "$1" 2>/dev/null | tr -d ' ')
    [[ -n $header ]] || return 1
    od -An -tx2 -j $((header + 4)) -N 2 "$1" 2>/dev/null | tr -d ' '
}

# Why this host cannot run 32-bit Wine; empty when it can. Wine runs a 32-bit
# Windows program in a 32-bit Linux process, so the kernel must run 32-bit
# programs itself. Under qemu-i386 emulation Wine takes minutes per start,
# too slow to check anything.
why_no_wine32() {
    if [[ ! -x $wine32_loader ]]; then
        echo "the 32-bit Wine loader is missing (package wine32:i386)"
    elif grep -qs '^enabled' /proc/sys/fs/binfmt_misc/qemu-i386; then
        echo "32-bit programs run here only through qemu-i386 emulation"
    elif ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
        echo "this kernel runs no 32-bit programs (ia32 emulation is off)"
    fi
}

why_no_wine64() {
    if [[ ! -x $wine64_loader ]]; then
        echo "the 64-bit Wine loader is missing (package wine64)"
    elif ! "$wine64_loader" --version >/dev/null 2>&1; then
        echo "$wine64_loader does not run"
    fi
}

if [[ "${1:-}" != --inside ]]; then
    for command in wineboot wineserver xvfb-run import od; do
        command -v "$command" >/dev/null || fail "$command is missing (scripts/install-deps.sh installs it)"
    done
    no32=$(why_no_wine32)
    if [[ -z $no32 ]]; then
        arch=win32
        bin_arg=${1:-$root/build/win32/bin}
        machine=014c
        preset=win32
        echo "wine-check: checking the i686 deliverables in $bin_arg with 32-bit Wine"
    else
        no64=$(why_no_wine64)
        if [[ -n $no64 ]]; then
            echo "wine-check: SKIPPED: no Wine runs here: $no32; $no64" >&2
            exit 77
        fi
        arch=win64
        bin_arg=${2:-$root/build/win64-check/bin}
        machine=8664
        preset=win64-check
        echo "wine-check: 32-bit Wine cannot run here: $no32"
        echo "wine-check: checking the 64-bit stand-in in $bin_arg (x86-64 build of the same sources," \
            "not the i686 deliverables) with 64-bit Wine"
    fi
    bin=$(cd "$bin_arg" 2>/dev/null && pwd) || fail "no folder $bin_arg (build the $preset preset first)"
    for file in KT4790CAP.exe KT4790DLL.dll wincheck.exe KT4790Mon.exe; do
        [[ -f $bin/$file ]] || fail "$bin/$file is missing (build the $preset preset first)"
        found=$(pe_machine "$bin/$file")
        [[ $found == "$machine" ]] || fail "$bin/$file is not built for this Wine (PE machine ${found:-unreadable}, want $machine)"
    done
    # Everything runs inside one virtual display, bounded in time.
    timeout 600 xvfb-run -a -s "-screen 0 1024x768x24" bash "${BASH_SOURCE[0]}" --inside "$arch" "$bin"
    status=$?
    ((status == 124)) && echo "wine-check: timed out" >&2
    exit "$status"
fi

arch=$2
bin=$3
if [[ $arch == win64 ]]; then
    prefix=$root/build/wine64-prefix
    wine=$wine64_loader
    windows_version=winxp64
else
    prefix=$root/build/wine-prefix
    wine=$wine32_loader
    windows_version=winxp
fi
# Wine starts its own helper programs through WINELOADER.
export WINEPREFIX=$prefix WINEARCH=$arch WINELOADER=$wine
started=$SECONDS
app_pid=

stop_wine() {
    if [[ -n "$app_pid" ]] && kill -0 "$app_pid" 2>/dev/null; then kill "$app_pid" 2>/dev/null; fi
    timeout 30 wineserver -k 2>/dev/null
    timeout 30 wineserver -w 2>/dev/null
}
trap stop_wine EXIT

elapsed() { echo "$((SECONDS - started))s"; }

# --- the prefix: made once, with fonts, unmanaged windows and Windows XP ---
ready=$prefix/.kt4790-ready
if [[ ! -f $ready ]]; then
    echo "wine-check: making the Wine prefix in $prefix"
    rm -rf "$prefix"
    mkdir -p "$(dirname "$prefix")"
    timeout 180 "$wine" wineboot --init >/dev/null 2>&1 || fail "wineboot --init failed"
    # wineboot returns before the prefix update has ended; a program started
    # earlier may find the window classes missing.
    timeout 60 wineserver -w
    # Debian's Wine does not load its own fonts by itself.
    mkdir -p "$prefix/drive_c/windows/Fonts"
    cp /usr/share/wine/fonts/* "$prefix/drive_c/windows/Fonts/" 2>/dev/null
    # Without Managed=N every window close waits two seconds.
    timeout 60 "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 ||
        fail "cannot set Managed=N"
    timeout 60 "$wine" reg add 'HKCU\Software\Wine' /v Version /d "$windows_version" /f >/dev/null 2>&1 ||
        fail "cannot set the Windows version"
    timeout 30 wineserver -k
    timeout 30 wineserver -w
    touch "$ready"
    echo "wine-check: prefix ready after $(elapsed)"
fi

cd "$bin" || fail "cannot enter $bin"
echo "wine-check: running $bin/KT4790CAP.exe and $bin/KT4790Mon.exe ($arch)"

# --- start-up ---------------------------------------------------------------
timeout 120 "$wine" KT4790CAP.exe &
app_pid=$!
timeout 60 "$wine" wincheck.exe startup "$app_title" "$main_title" 30000 ||
    fail "start-up check failed ($(elapsed))"
echo "wine-check: started, main window visible ($(elapsed))"

mkdir -p "$shots"
import -window root "$shots/startup.png" || fail "no screenshot"
echo "wine-check: screenshot $shots/startup.png"

# --- a second start ends at once with 0 ---------------------------------------
second_started=$SECONDS
timeout 30 "$wine" KT4790CAP.exe
second=$?
((second == 0)) || fail "second start ended with $second"
echo "wine-check: second start ended with 0 after $((SECONDS - second_started))s"
timeout 30 "$wine" wincheck.exe count "$app_title" || fail "not exactly one instance after the second start"

# --- closing the main window ends the program with 0 ---------------------------
timeout 30 "$wine" wincheck.exe close "$main_title" 15000 || fail "the main window did not close"
wait "$app_pid"
first=$?
app_pid=
((first == 0)) || fail "the program ended with $first"
echo "wine-check: closed, program ended with 0 ($(elapsed) in all)"

# --- the monitor: a second start stops the running one --------------------------
# Under Wine there are no devices, so the monitor only polls the drives every
# 2 seconds. The second start holds the stop request for 2 seconds; the first
# ends at an end-of-pass test inside that time.
timeout 60 "$wine" KT4790Mon.exe &
app_pid=$!
sleep 3
kill -0 "$app_pid" 2>/dev/null || fail "KT4790Mon.exe ended by itself"
monitor_second_started=$SECONDS
timeout 30 "$wine" KT4790Mon.exe
second=$?
((second == 0)) || fail "second KT4790Mon.exe ended with $second"
wait "$app_pid"
first=$?
app_pid=
((first == 0)) || fail "KT4790Mon.exe ended with $first"
monitor_stop=$((SECONDS - monitor_second_started))
((monitor_stop <= 10)) || fail "KT4790Mon.exe ended only ${monitor_stop}s after the second start"
echo "wine-check: KT4790Mon.exe started twice, both ended with 0 within ${monitor_stop}s ($(elapsed) in all)"
echo "wine-check: passed ($arch: $bin)"
