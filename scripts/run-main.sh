#!/usr/bin/env bash
# The main job: installs what is missing, builds, makes the emulated demo
# disk when there is none ("DEMO DISK", no password) and starts the real
# KT4790CAP.exe under Wine against it: on the person's display when there is
# one (the program stays open until it is closed), otherwise on a virtual
# display (it is closed after the screenshot). A screenshot of the main
# window is saved, and the script prints where.
#
# The Windows programs come from the build's "emulated" folder: the same
# application over the emulated device stack, which reads the disk from
# kt4790-disk.img beside the programs (or from the images KT4790_DISKS
# names). Where this host runs no 32-bit programs, 32-bit Wine cannot start
# the i686 build; the 64-bit stand-in (preset win64-check, the same sources
# built for x86-64) runs in its place, and the script says so.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
jobs=$(nproc)
main_title="USB Flash Disk Password Check"

fail() {
    echo "run-main: $*" >&2
    exit 1
}

# shellcheck source=scripts/wine-env.sh
source scripts/wine-env.sh

# The second half runs on the display: the Wine prefix, then the program.
# on_display stay|close
on_display() {
    local pid geometry wincheck_exe log
    wine_choose || fail "no Wine runs here: $wine_unavailable"
    wine_use "$wine_arch"
    trap stop_wine EXIT
    wine_prepare_prefix
    start_wine
    set_windows_version winxp
    emulated=$root/build/$wine_preset/emulated
    wincheck_exe=$root/build/$wine_preset/bin/wincheck.exe
    shot=$root/build/wine-shots/main-window.png
    mkdir -p "$(dirname "$shot")"

    # The disk is the default image beside the programs. What Wine prints
    # (its errors) goes to a log.
    log=$root/build/logs/run-main-wine.log
    mkdir -p "$(dirname "$log")"
    echo "=== starting KT4790CAP.exe (Wine's output: $log)"
    (cd "$emulated" && env -u KT4790_DISKS WINEDEBUG=fixme-all "$wine" KT4790CAP.exe) >"$log" 2>&1 &
    pid=$!
    wine_await_start "$pid" "$log" KT4790CAP "$main_title" "$wine" "$wincheck_exe" ||
        fail "the main window of KT4790CAP.exe did not appear"
    geometry=$(timeout 30 "$wine" "$wincheck_exe" rect "$main_title") || fail "no main window to photograph"
    import -window root -crop "$geometry" +repage "$shot" || fail "no screenshot"
    echo "=== screenshot of the main window: $shot"
    if [[ $1 == stay ]]; then
        echo "=== KT4790CAP.exe runs on display $DISPLAY; close it to end"
        wait "$pid" || true
    else
        timeout 30 "$wine" "$wincheck_exe" close "$main_title" 15000 >/dev/null || fail "KT4790CAP.exe did not close"
        wait "$pid" || fail "KT4790CAP.exe ended with an error"
    fi
}

if [[ ${1:-} == --on-display ]]; then
    on_display "$2"
    exit 0
fi

bash scripts/install-deps.sh
wine_choose || fail "no Wine runs here: $wine_unavailable"

presets=(linux win32)
[[ $wine_preset == win32 ]] || presets+=("$wine_preset")
for preset in "${presets[@]}"; do
    echo "=== build $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
done

echo "=== Windows deliverables (build/win32/bin)"
ls build/win32/bin

emulated=$root/build/$wine_preset/emulated
if [[ $wine_preset != win32 ]]; then
    echo "=== 32-bit Wine cannot run here ($wine_why_not_32): running the x86-64 stand-in in $emulated"
fi
image=$emulated/kt4790-disk.img
if [[ ! -e $image ]]; then
    echo "=== creating the demo disk $image"
    build/linux/bin/kt4790-emu create "$image" --name "DEMO DISK"
fi
echo "=== $image"
build/linux/bin/kt4790-emu show "$image"

# A display that answers: the person's. Otherwise a virtual one.
if [[ -n ${DISPLAY:-} ]] && timeout 10 xdotool getdisplaygeometry >/dev/null 2>&1; then
    bash "${BASH_SOURCE[0]}" --on-display stay
else
    echo "=== no display: KT4790CAP.exe runs on a virtual display"
    timeout $((wine_first_start_limit + 600)) xvfb-run -a -s "-screen 0 1024x768x24" \
        bash "${BASH_SOURCE[0]}" --on-display close
fi
