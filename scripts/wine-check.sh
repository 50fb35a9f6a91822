#!/usr/bin/env bash
# Wine check of the Windows build: starts the programs under Wine on a
# virtual display and checks them from outside with tools/wincheck, one
# section per check:
#   startup   KT4790CAP.exe on the Windows XP setting and KT4790MCAP.exe on
#             the Windows 98 setting: each shows the password-check window as
#             its one visible window, with no message box on the way (under
#             Wine there are no devices: the list is empty, which is no error),
#             and its notification-area icon "SECURITY"; a second start ends
#             at once with exit code 0, with no window and no message box;
#             closing the window ends the program with 0 and the icon goes.
#   refusal   each program on the other's system shows its own message with
#             the caption "ERROR", makes no window, and ends with 0.
#   forms     formcheck.exe and mformcheck.exe: every form of each build made
#             with real windows has the geometry of its control model, and
#             no caption, measured in the font its window has, is wider than
#             its control leaves it room for.
#   monitor   KT4790Mon.exe started twice: both end with exit code 0, the
#             first within a few passes of the second start.
# With the emulated variant of the build (the folder "emulated" beside bin/:
# the same programs over emulated disks, image files named by KT4790_DISKS),
# on a disk with a password:
#   password  KT4790CAP.exe (through KT4790DLL) and KT4790MCAP.exe (through
#             KT4790mDLL) list the disk; a wrong password gives "Password
#             Incorrect!", the right one "Password Correct." ("Password
#             Correct!" in KT4790MCAP) and the utility window in place of the
#             password check.
#   popup     KT4790Mon.exe starts KT4790CAP.exe when "Pop" is 1, and not
#             when it is 0; KT4790mMon.exe (ASPI) starts KT4790MCAP.exe.
#   copy      KT4790MCAP.exe on the Windows 98 setting: "COPY SYSTEM FILES"
#             copies stand-ins of COMMAND.COM and IO.SYS (from the Windows
#             directory's COMMAND\EBD) and of MSDOS.SYS (from C:\) to a drive
#             letter that the prefix maps to build/wine-copy; KT4790CAP.exe on
#             the Windows XP setting refuses with its message.
#   format    each program, on a disk with a password: FORMAT through its
#             gate, the single-disk format dialog with a label typed, then
#             PARTITION through its gate with a security area of 5 MB typed
#             key by key. At both gates a wrong password and Enter are typed
#             first, and a letter in the size field: after each message box
#             the keys typed next, without a click, must reach the same
#             field (the right password and Enter, the 5). Then a file put into the standard area from outside
#             (exported, mcopy, imported); then FORMAT through its gate
#             again, now the two-area dialog (same caption as the single-disk
#             one), "Security Disk" with a label typed, and how long that
#             format took from "Start" to its success message. After each, every area
#             exported (kt4790-emu.exe export) passes fsck.fat -n and mtools
#             (tests/format/fat-checks.sh); after the last, the standard area
#             is byte for byte what was imported and gives the file back.
# Screenshots go to build/wine-shots/.
#
# Each check is a function check_NAME below, named in the list of sections
# at the end.
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
main_title="USB Flash Disk Password Check"
tray_tip=SECURITY
utility_title="USB Flash Disk Utility Menu"
# The files every section needs.
programs=(KT4790CAP.exe KT4790MCAP.exe KT4790DLL.dll KT4790mDLL.dll KT4790Mon.exe wincheck.exe formcheck.exe
    mformcheck.exe)

fail() {
    echo "wine-check: $*" >&2
    exit 1
}

# shellcheck source=scripts/wine-env.sh
source "$root/scripts/wine-env.sh"

if [[ "${1:-}" != --inside ]]; then
    for command in wineboot wineserver xvfb-run import od mcopy cmp; do
        command -v "$command" >/dev/null || fail "$command is missing (scripts/install-deps.sh installs it)"
    done
    if ! wine_choose; then
        echo "wine-check: SKIPPED: no Wine runs here: $wine_unavailable" >&2
        exit 77
    fi
    arch=$wine_arch machine=$wine_machine preset=$wine_preset
    if [[ $arch == win32 ]]; then
        bin_arg=${1:-$root/build/win32/bin}
        echo "wine-check: checking the i686 deliverables in $bin_arg with 32-bit Wine"
    else
        bin_arg=${2:-$root/build/win64-check/bin}
        echo "wine-check: 32-bit Wine cannot run here: $wine_why_not_32"
        echo "wine-check: checking the 64-bit stand-in in $bin_arg (x86-64 build of the same sources," \
            "not the i686 deliverables) with 64-bit Wine"
    fi
    bin=$(cd "$bin_arg" 2>/dev/null && pwd) || fail "no folder $bin_arg (build the $preset preset first)"
    for file in "${programs[@]}"; do
        [[ -f $bin/$file ]] || fail "$bin/$file is missing (build the $preset preset first)"
        found=$(pe_machine "$bin/$file")
        [[ $found == "$machine" ]] || fail "$bin/$file is not built for this Wine (PE machine ${found:-unreadable}, want $machine)"
    done
    # Everything runs inside one virtual display, bounded in time.
    timeout $((900 + wine_first_start_limit)) xvfb-run -a -s "-screen 0 1024x768x24" bash "${BASH_SOURCE[0]}" --inside "$arch" "$bin"
    status=$?
    ((status == 124)) && echo "wine-check: timed out" >&2
    exit "$status"
fi

arch=$2
bin=$3
wine_use "$arch"
started=$SECONDS
# Every run ends the Wine session, also on failure.
trap stop_wine EXIT

elapsed() { echo "$((SECONDS - started))s"; }

# wincheck_for SECONDS ARGS...: wincheck.exe, ended after SECONDS at most;
# wincheck: the same within a minute.
wincheck_for() { timeout "$1" "$wine" wincheck.exe "${@:2}"; }
wincheck() { wincheck_for 60 "$@"; }

shot() {  # shot NAME: a screenshot of the whole virtual display
    import -window root "$shots/$1.png" || fail "no screenshot $1"
    echo "wine-check: screenshot $shots/$1.png"
}

started_prefix=$SECONDS
if ! wine_prefix_ready; then
    wine_prepare_prefix
    echo "wine-check: prefix ready after $((SECONDS - started_prefix))s"
fi
# One Wine server for the whole check; the exit trap ends it.
start_wine

cd "$bin" || fail "cannot enter $bin"
mkdir -p "$shots"
echo "wine-check: running the programs in $bin ($arch)"

# --- startup: one program on its own system ------------------------------------
# check_startup PROGRAM APP_TITLE WINDOWS_VERSION
check_startup() {
    local program=$1 app_title=$2 status pid log=$root/build/logs/wine-check-${1%.exe}.log
    set_windows_version "$3"
    mkdir -p "$(dirname "$log")"
    # The first program started may meet a first start of Wine on this
    # machine; what Wine prints goes to a log.
    WINEDEBUG=fixme-all timeout $((wine_first_start_limit + 120)) "$wine" "$program" >"$log" 2>&1 &
    pid=$!
    wine_await_start "$pid" "$log" "$app_title" "$main_title" "$wine" wincheck.exe ||
        fail "$program: start-up check failed ($(elapsed))"
    wincheck tray "$tray_tip" present 10000 || fail "$program: no notification-area icon \"$tray_tip\""
    echo "wine-check: $program started on $3: main window and icon shown ($(elapsed))"
    shot "startup-${program%.exe}"

    # A second start ends at once with 0 and shows nothing.
    timeout 30 "$wine" "$program"
    status=$?
    ((status == 0)) || fail "$program: second start ended with $status"
    wincheck noboxes || fail "$program: the second start showed a message box"
    wincheck count "$app_title" 1 || fail "$program: not exactly one instance after the second start"
    wincheck count "$main_title" 1 || fail "$program: the second start made a window"
    echo "wine-check: $program: second start ended with 0, silently"

    # Closing the main window ends the program with 0; its icon goes.
    wincheck close "$main_title" 15000 || fail "$program: the main window did not close"
    wait "$pid"
    status=$?
    ((status == 0)) || fail "$program ended with $status"
    wincheck tray "$tray_tip" absent 10000 || fail "$program: the icon stayed after the program ended"
    echo "wine-check: $program closed, ended with 0, icon gone ($(elapsed))"
}

# --- refusal: one program on the other's system ---------------------------------
# check_refusal PROGRAM APP_TITLE WINDOWS_VERSION TEXT
check_refusal() {
    local program=$1 app_title=$2 status pid
    set_windows_version "$3"
    timeout 60 "$wine" "$program" &
    pid=$!
    wincheck box ERROR "$4" 30000 keep || fail "$program on $3: not the refusal expected"
    # It refused before making any window.
    wincheck count "$app_title" 0 || fail "$program on $3 made its window"
    shot "refusal-${program%.exe}"
    wincheck answer ERROR || fail "$program on $3: cannot answer the message box"
    wait "$pid"
    status=$?
    ((status == 0)) || fail "$program on $3 ended with $status"
    echo "wine-check: $program refused $3 with its message and ended with 0 ($(elapsed))"
}

# --- forms: the real windows have the model's geometry ----------------------------
check_forms() {
    local checker
    for checker in formcheck.exe mformcheck.exe; do
        timeout 120 "$wine" "$checker" || fail "$checker: the windows differ from the forms' model or cut a caption"
    done
    echo "wine-check: the forms of both builds have their model's geometry and no caption cut ($(elapsed))"
}

# --- monitor: a second start stops the running one --------------------------------
# Under Wine there are no devices, so the monitor only polls the drives every
# 2 seconds. The second start holds the stop request for 2 seconds; the first
# ends at an end-of-pass test inside that time.
check_monitor() {
    local status pid second_started stop
    timeout 60 "$wine" KT4790Mon.exe &
    pid=$!
    sleep 3
    kill -0 "$pid" 2>/dev/null || fail "KT4790Mon.exe ended by itself"
    second_started=$SECONDS
    timeout 30 "$wine" KT4790Mon.exe
    status=$?
    ((status == 0)) || fail "second KT4790Mon.exe ended with $status"
    wait "$pid"
    status=$?
    ((status == 0)) || fail "KT4790Mon.exe ended with $status"
    stop=$((SECONDS - second_started))
    ((stop <= 10)) || fail "KT4790Mon.exe ended only ${stop}s after the second start"
    echo "wine-check: KT4790Mon.exe started twice, both ended with 0 within ${stop}s ($(elapsed))"
}

# --- emulated disks ------------------------------------------------------------
emulated=$(cd "$bin/../emulated" 2>/dev/null && pwd)
disks=$root/build/wine-disks
disk_name="WINE DISK"
disk_password=secret

# Whether the emulated variant is there, built for this Wine.
emulated_ready() {
    local file
    [[ -n $emulated ]] || return 1
    for file in KT4790CAP.exe KT4790MCAP.exe KT4790DLL.dll KT4790mDLL.dll KT4790Mon.exe KT4790mMon.exe kt4790-emu.exe; do
        [[ $(pe_machine "$emulated/$file") == "$(pe_machine "$bin/wincheck.exe")" ]] || return 1
    done
}

# A fresh disk with a name and a password, the one disk of KT4790_DISKS;
# further options of kt4790-emu's create may follow.
make_disk() {
    local image=$disks/disk.img
    mkdir -p "$disks"
    rm -f "$image"
    (cd "$emulated" && timeout 60 "$wine" kt4790-emu.exe create "$(windows_path "$image")" --name "$disk_name" \
        --password "$disk_password" "$@") || fail "kt4790-emu.exe cannot make $image"
    export KT4790_DISKS=$(windows_path "$image")
}

# --- password: the password check of the main window on an emulated disk -----------
# check_password PROGRAM APP_TITLE WINDOWS_VERSION CORRECT_TEXT
# KT4790CAP.exe reaches the disk through KT4790DLL (pass-through), and
# KT4790MCAP.exe through KT4790mDLL (ASPI).
check_password() {
    local program=$1 app_title=$2 status pid
    make_disk
    set_windows_version "$3"
    timeout 120 "$wine" "$emulated/$program" &
    pid=$!
    wincheck startup "$app_title" "$main_title" 30000 || fail "emulated $program: start-up check failed"
    wincheck selected "$main_title" "$disk_name" || fail "$program: the disk \"$disk_name\" is not the selected device"
    wincheck settext "$main_title" wrong && wincheck click "$main_title" OK || fail "cannot enter a password"
    wincheck box WARNING "Password Incorrect!" 10000 || fail "$program: a wrong password was not refused as expected"
    wincheck settext "$main_title" "$disk_password" && wincheck click "$main_title" OK || fail "cannot enter a password"
    wincheck box OK "$4" 10000 keep || fail "$program: the right password was not accepted as expected"
    shot "password-correct-${program%.exe}"
    wincheck answer OK || fail "cannot answer the message box"
    wincheck shown "$utility_title" yes 10000 || fail "$program: no utility window after the right password"
    wincheck shown "$main_title" no 10000 || fail "$program: the password check stayed visible"
    shot "password-utility-${program%.exe}"
    # The hidden main window's close ends the program.
    wincheck close "$main_title" 15000 || fail "$program: the main window did not close"
    wait "$pid"
    status=$?
    ((status == 0)) || fail "emulated $program ended with $status"
    echo "wine-check: $program on an emulated disk: wrong password refused, right one accepted ($(elapsed))"
}

# --- popup: the monitor starts the application only when "Pop" is 1 -----------------
# KT4790Mon.exe searches in its first pass (after 2 s) and starts KT4790CAP.exe
# 3 s later: about 6 s measured. With "Pop" = 0 nothing may come within 10 s.
# check_popup MONITOR APP_TITLE WINDOWS_VERSION "POP..."
check_popup() {
    local monitor=$1 app=$2 pop status pid found
    make_disk
    set_windows_version "$3"
    for pop in $4; do
        timeout 60 "$wine" reg add 'HKLM\Software\KT4790C\V2.0' /v Pop /t REG_DWORD /d "$pop" /f >/dev/null 2>&1 ||
            fail "cannot set Pop"
        timeout 60 "$wine" "$emulated/$monitor" &
        pid=$!
        wincheck startup "$app" "$main_title" 10000 >/dev/null
        found=$?
        if ((pop == 1)); then
            ((found == 0)) || fail "$monitor did not start $app.exe with Pop = 1"
        else
            wincheck count "$app" 0 || fail "$monitor started $app.exe with Pop = 0"
        fi
        # A second start stops the monitor; both end with 0.
        timeout 30 "$wine" "$emulated/$monitor"
        status=$?
        ((status == 0)) || fail "the second emulated $monitor ended with $status"
        wait "$pid"
        status=$?
        ((status == 0)) || fail "emulated $monitor ended with $status"
        if ((pop == 1)); then
            wincheck close "$main_title" 15000 >/dev/null || fail "the started $app.exe did not close"
        fi
        echo "wine-check: $monitor with Pop = $pop: $app.exe $( ((pop == 1)) && echo started || echo "not started") ($(elapsed))"
    done
}

# --- copy: the system files copied to a drive of the Wine prefix ----------------------
copy_title="Copy System Files"
copy_letter=t
copy_files=(COMMAND.COM IO.SYS MSDOS.SYS)

# The emulated PROGRAM started on WINDOWS_VERSION and the disk's password
# given, so that its utility window is shown; its process id in app_pid.
# Options of kt4790-emu's create for the disk may follow.
# start_at_utility PROGRAM APP_TITLE WINDOWS_VERSION CORRECT_TEXT [OPTION...]
start_at_utility() {
    make_disk "${@:5}"
    open_utility "$@"
}

# open_utility PROGRAM APP_TITLE WINDOWS_VERSION CORRECT_TEXT: the same on
# the disks KT4790_DISKS names.
open_utility() {
    set_windows_version "$3"
    timeout 120 "$wine" "$emulated/$1" &
    app_pid=$!
    wincheck startup "$2" "$main_title" 30000 || fail "emulated $1: start-up check failed"
    wincheck settext "$main_title" "$disk_password" && wincheck click "$main_title" OK || fail "cannot enter a password"
    wincheck box OK "$4" 10000 || fail "$1: the right password was not accepted as expected"
    wincheck shown "$utility_title" yes 10000 || fail "$1: no utility window after the right password"
}

# Closing the hidden password check ends PROGRAM with 0.
end_program() {
    local status
    wincheck close "$main_title" 15000 || fail "$1: the main window did not close"
    wait "$app_pid"
    status=$?
    ((status == 0)) || fail "emulated $1 ended with $status"
}

# Where the program takes FILE from: the Windows directory's COMMAND\EBD, or
# C:\ for MSDOS.SYS.
copy_source() {
    if [[ $1 == MSDOS.SYS ]]; then
        echo "$prefix/drive_c/$1"
    else
        echo "$prefix/drive_c/windows/command/ebd/$1"
    fi
}

check_copy() {
    local target=$root/build/wine-copy file
    # The stand-ins where Windows 98 keeps the files, and the drive, made
    # before the program starts: it lists the drives once.
    mkdir -p "$prefix/drive_c/windows/command/ebd"
    for file in "${copy_files[@]}"; do
        { echo "stand-in $file of the Wine check"; head -c 3000 /dev/urandom; } >"$(copy_source "$file")"
    done
    rm -rf "$target"
    mkdir -p "$target"
    ln -sfn "$target" "$prefix/dosdevices/$copy_letter:"
    # Wine learns its drive letters when its session starts.
    start_wine

    start_at_utility KT4790MCAP.exe KT4790MCAP win98 "Password Correct!"
    wincheck click "$utility_title" "COPY SYSTEM FILES" || fail "KT4790MCAP.exe: no button COPY SYSTEM FILES"
    wincheck shown "$copy_title" yes 10000 || fail "KT4790MCAP.exe: no copy dialog"
    wincheck choose "$copy_title" "$copy_letter:" || fail "KT4790MCAP.exe: the copy dialog does not list $copy_letter:"
    shot copy-files-KT4790MCAP
    wincheck click "$copy_title" OK || fail "KT4790MCAP.exe: no OK in the copy dialog"
    wincheck box OK "Copying system files finished." 10000 || fail "KT4790MCAP.exe: the copy did not finish"
    for file in "${copy_files[@]}"; do
        cmp -s "$(copy_source "$file")" "$target/$file" ||
            fail "KT4790MCAP.exe: $file was not copied to $copy_letter: ($target)"
    done
    wincheck click "$copy_title" Cancel && wincheck shown "$copy_title" no 10000 ||
        fail "KT4790MCAP.exe: the copy dialog did not go"
    end_program KT4790MCAP.exe
    rm -f "$prefix/dosdevices/$copy_letter:" "$prefix/drive_c/MSDOS.SYS"
    rm -rf "$prefix/drive_c/windows/command"
    echo "wine-check: KT4790MCAP.exe on win98 copied ${copy_files[*]} to $copy_letter: ($target) ($(elapsed))"

    # KT4790CAP.exe: its button lies below the visible part of its group box;
    # the click stands for the keyboard, which reaches it.
    start_at_utility KT4790CAP.exe KT4790CAP winxp "Password Correct."
    wincheck click "$utility_title" "COPY SYSTEM FILES" || fail "KT4790CAP.exe: no button COPY SYSTEM FILES"
    wincheck box WARNING "You can only copy system files under WIN98 or ME." 10000 keep ||
        fail "KT4790CAP.exe on winxp: not the refusal expected"
    shot copy-files-refused-KT4790CAP
    wincheck answer WARNING || fail "cannot answer the message box"
    wincheck shown "$copy_title" no 1000 || fail "KT4790CAP.exe on winxp opened the copy dialog"
    end_program KT4790CAP.exe
    echo "wine-check: KT4790CAP.exe on winxp refused to copy system files ($(elapsed))"
}

# --- format: FORMAT and PARTITION through their gates on an emulated disk ------------
# A disk of one zone of large blocks (15.6 MB), so that the erase is short.
# check_format_journey PROGRAM APP_TITLE WINDOWS_VERSION CORRECT_TEXT FORMATTED_TEXT BUILD
check_format_journey() {
    local program=$1 correct=$4 formatted=$5 build=$6
    local format_dialog="USB Flash Disk FORMAT  " partition_dialog="USB Flash Disk PARTITION" label="WINE DISK"
    # Typed key by key: lower case, as the keys give it without shift.
    local security_label="wine secure"
    start_at_utility "$program" "$2" "$3" "$correct" --large

    local partition_incorrect="Password Incorrect!"
    [[ $build == aspi ]] && partition_incorrect="Password Incorrect."

    # FORMAT: its gate ("FORMAT" and two blanks), then the single-disk dialog.
    # A wrong password and Enter typed into the gate's edit, which has the
    # focus; after the box the right one and Enter go on to the edit, with no
    # click between.
    wincheck click "$utility_title" FORMAT || fail "$program: no FORMAT button"
    wincheck shown "FORMAT  " yes 10000 || fail "$program: no format password gate"
    wincheck keys "FORMAT  " $'wrong\r' || fail "$program: the format gate's edit does not take the keys"
    wincheck box WARNING "Password Incorrect!" 10000 || fail "$program: the format gate did not refuse a wrong password"
    wincheck keys "FORMAT  " "$disk_password"$'\r' ||
        fail "$program: after \"Password Incorrect!\" the keys do not reach the format gate's edit"
    wincheck box OK "$correct" 10000 || fail "$program: the format gate refused the password"
    wincheck shown "$format_dialog" yes 10000 || fail "$program: no single-disk format dialog"
    wincheck settext "$format_dialog" "$label" && wincheck click "$format_dialog" "HDD Boot" ||
        fail "cannot fill in the format dialog"
    sleep 1
    shot "format-dialog-${program%.exe}"
    wincheck click "$format_dialog" Start || fail "no Start button"
    wincheck box OK "$formatted" 120000 || fail "$program: the format did not succeed"
    wincheck shown "$format_dialog" no 10000 || fail "$program: the format dialog stayed"
    check_exported_areas "$program, formatted" hdd "$build" "$label"

    # PARTITION: its gate as FORMAT's, then 5 MB typed as key strokes after a
    # letter the field refuses; the question is answered OK.
    wincheck click "$utility_title" PARTITION || fail "$program: no PARTITION button"
    wincheck shown PARTITION yes 10000 || fail "$program: no partition password gate"
    wincheck keys PARTITION $'wrong\r' || fail "$program: the partition gate's edit does not take the keys"
    wincheck box WARNING "$partition_incorrect" 10000 || fail "$program: the partition gate did not refuse a wrong password"
    wincheck keys PARTITION "$disk_password"$'\r' ||
        fail "$program: after \"$partition_incorrect\" the keys do not reach the partition gate's edit"
    wincheck box OK "$correct" 10000 || fail "$program: the partition gate refused the password"
    wincheck shown "$partition_dialog" yes 10000 || fail "$program: no partition dialog"
    wincheck type "$partition_dialog" a || fail "cannot type into the partition dialog"
    wincheck box WARNING "Please only enter numeric value!" 10000 || fail "$program: a letter in the size field was taken"
    wincheck keys "$partition_dialog" 5 ||
        fail "$program: after \"Please only enter numeric value!\" the keys do not reach the size field"
    wincheck click "$partition_dialog" "Zip Boot" || fail "cannot fill in the partition dialog"
    sleep 1
    shot "partition-dialog-${program%.exe}"
    wincheck click "$partition_dialog" Start || fail "no Start button"
    wincheck box WARNING "This will erase all data inside the disk. Do you want to continue?" 10000 ||
        fail "$program: no question before the partition"
    wincheck box OK "Partition was successful. You need to unplug and replug the device!" 120000 ||
        fail "$program: the partition did not succeed"
    wincheck shown "$partition_dialog" no 10000 || fail "$program: the partition dialog stayed"
    # 5 MB of 15.6: 40 of 125 blocks of 128 KB; the areas have no labels.
    [[ $(emu show "$disks/disk.img" | grep '^standard area:') == *" 85 logical blocks" ]] ||
        fail "$program: the partition did not record a standard area of 85 blocks"
    check_exported_areas "$program, partitioned" zip "$build" ""
    echo "wine-check: $program formatted and partitioned an emulated disk through both gates ($(elapsed))"

    # A file in the standard area, put there from outside while the program
    # waits at the utility window. That is safe: the import changes the image
    # file in one step under its lock, and the program's device stack takes
    # up the file as it is at each command.
    local standard=$disks/standard.img note=$disks/note.txt
    rm -f "$standard" "$disks/standard-after.img" "$disks/note-back.txt"
    emu export "$disks/disk.img" "$standard" --area standard >/dev/null || fail "cannot export the standard area"
    local at
    at=$(($(od -An -tu4 -j 454 -N 4 "$standard" | tr -d ' ') * 512))  # the partition's first byte
    printf 'Put into the standard area of an emulated disk by the Wine check of %s.\r\n' "$program" >"$note"
    MTOOLS_SKIP_CHECK=1 mcopy -i "$standard@@$at" "$note" ::NOTE.TXT || fail "mcopy cannot put a file into $standard"
    emu import "$disks/disk.img" "$standard" --area standard >/dev/null || fail "cannot import the standard area"

    # FORMAT on the split medium: its gate, then the two-area dialog. It has
    # the caption of the single-disk dialog, which stays hidden: wincheck
    # takes the window shown. "Security Disk" makes the security label's
    # edit (the first) the usable one and disables the boot group: the
    # security area gets the standard area's layout.
    wincheck click "$utility_title" FORMAT || fail "$program: no FORMAT button"
    wincheck shown "FORMAT  " yes 10000 || fail "$program: no format password gate"
    wincheck settext "FORMAT  " "$disk_password" && wincheck click "FORMAT  " OK || fail "cannot enter a password"
    wincheck box OK "$correct" 10000 || fail "$program: the format gate refused the password"
    wincheck shown "$format_dialog" yes 10000 || fail "$program: no format dialog on the split medium"
    wincheck count "$format_dialog" 2 >/dev/null || fail "$program: not two format dialogs"
    wincheck click "$format_dialog" "Security Disk" || fail "$program: the format dialog shown is not the two-area one"
    wincheck type "$format_dialog" "$security_label" 1 || fail "cannot type the security label"
    sleep 1
    shot "two-area-dialog-${program%.exe}"
    local format_started
    format_started=$(date +%s.%N)
    wincheck click "$format_dialog" Start || fail "no Start button"
    wincheck box WARNING "This will erase all data inside the disk. Do you want to continue?" 10000 ||
        fail "$program: no question before the two-area format"
    wincheck_for 300 box OK "Format was successful. You need to unplug and replug the device!" 290000 ||
        fail "$program: the security area format did not succeed"
    echo "wine-check: $program: the security area format took" \
        "$(awk -v a="$format_started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }') s from Start to its" \
        "success message, question answered included"
    wincheck shown "$format_dialog" no 10000 || fail "$program: the two-area format dialog stayed"
    end_program "$program"

    # The standard area is what was imported, and gives the file back; the
    # security area has the label typed and the standard area's layout.
    emu export "$disks/disk.img" "$disks/standard-after.img" --area standard >/dev/null ||
        fail "cannot export the standard area"
    cmp "$standard" "$disks/standard-after.img" || fail "$program: the security area format changed the standard area"
    MTOOLS_SKIP_CHECK=1 mcopy -i "$disks/standard-after.img@@$at" ::NOTE.TXT "$disks/note-back.txt" &&
        cmp "$note" "$disks/note-back.txt" || fail "$program: the file in the standard area is not the one put there"
    check_exported_areas "$program, security area formatted" zip "$build" "" "" "$security_label" "$note"
    rm -f "$standard" "$disks/standard-after.img" "$note" "$disks/note-back.txt"
    echo "wine-check: $program formatted the security area through the two-area dialog; the standard area" \
        "and its file stayed as they were ($(elapsed))"
}

# kt4790-emu.exe with Linux paths, its output with Linux line ends.
emu() {
    local args=() arg
    for arg in "$@"; do
        [[ $arg == /* ]] && arg=$(windows_path "$arg")
        args+=("$arg")
    done
    (cd "$emulated" && timeout 60 "$wine" kt4790-emu.exe "${args[@]}") | tr -d '\r'
    return "${PIPESTATUS[0]}"
}

# check_exported_areas WHAT LAYOUT BUILD LABEL [STANDARD_LABEL SECURITY_LABEL
# FILE...]: every area of the disk, as the host reads it, checked by
# fsck.fat -n and mtools (in a subshell: the checks have failure functions of
# their own); the labels and the files in the standard area are
# check_disk_areas'.
check_exported_areas() {
    local what=$1
    (
        # shellcheck source=tests/format/fat-checks.sh
        source "$root/tests/format/fat-checks.sh"
        fat_check_begin "$what"
        check_disk_areas emu "$disks/disk.img" "$2" "$3" "$4" "${5-}" "${6-}" "${@:7}"
        fat_check_end
    ) || fail "$what: an exported area did not pass fsck.fat and mtools"
}

# --- image: what an image file promises, in the Windows build and beside the Linux one ---
# kt4790-emu.exe and KT4790CAP.exe of the emulated variant, and the Linux
# kt4790-emu (LINUX_EMU, default build/linux/bin/kt4790-emu) at the same time:
#   upgrade     kt4790-emu.exe replug of a locked image of version 3 and mode
#               600 writes it anew in version 4, clears the lock, leaves no
#               other file, and the new file has the mode emulator/README.md
#               says Wine gives it (750).
#   locks       a program of one build stopped while it holds the lock of the
#               image, the other build's program beside it: an export waits
#               for an import's lock and then reads what was imported, from
#               Linux to Wine and from Wine to Linux; a show goes on beside an
#               export, which holds the lock shared.
#   read-only   KT4790CAP.exe on a disk it may only read (of version 4, and of
#               version 3): three wrong passwords lock the right one out, for
#               as long as the program runs, and the file stays as it was.
#   full disk   kt4790-emu.exe import into an image on a small file system
#               (tmpfs, as root) with room for the write's journal but not for
#               its sectors' places: refused, the image as it was.
linux_emu=${LINUX_EMU:-$root/build/linux/bin/kt4790-emu}
images=$root/build/wine-images

# shellcheck source=tests/tools/earlier-image.sh
source "$root/tests/tools/earlier-image.sh"

# The locks of the file whose inode is $1 that /proc/locks lists as held
# (not waited for), of kind $2 (READ or WRITE): a Wine program's lock is
# wineserver's record lock.
locks_of() { awk -v at=":$1 " -v kind=" $2 " 'index($0, at) && index($0, kind) && !/->/' /proc/locks; }

# Stops the process $1 while it holds a lock of kind $3 of the file whose
# inode is $2; 1 when it ended (or let the lock go) first.
stop_while_locking() {
    local k
    for ((k = 0; k < 20000; ++k)); do
        if [[ -n $(locks_of "$2" "$3") ]]; then
            kill -STOP "$1" 2>/dev/null || return 1
            [[ -n $(locks_of "$2" "$3") ]] && return 0
            kill -CONT "$1"
            return 1
        fi
        kill -0 "$1" 2>/dev/null || return 1
    done
    return 1
}

# Waits for the background process $1 for at most $2 seconds (then kills
# it); its exit status.
await() {
    local k
    for ((k = 0; k < $2 * 10; ++k)); do
        kill -0 "$1" 2>/dev/null || break
        sleep 0.1
    done
    kill -CONT "$1" 2>/dev/null
    kill -0 "$1" 2>/dev/null && kill -KILL "$1"
    wait "$1"
}

# image_tool BUILD VERB ARG...: kt4790-emu of BUILD (linux or wine) with Linux
# paths, in the background; its pid in tool_pid, its output in $images/BUILD-VERB.out.
image_tool() {
    local build=$1 verb=$2 args=() arg
    shift 2
    if [[ $build == linux ]]; then
        "$linux_emu" "$verb" "$@" >"$images/$build-$verb.out" 2>&1 &
    else
        for arg in "$@"; do args+=("$(windows_path "$arg")"); done
        "$wine" "$emulated/kt4790-emu.exe" "$verb" "${args[@]}" >"$images/$build-$verb.out" 2>&1 &
    fi
    tool_pid=$!
}

check_image_upgrade() {
    local image=$images/upgrade/disk.img output
    rm -rf "$images/upgrade" && mkdir -p "$images/upgrade"
    earlier_image "$image" 3
    chmod 600 "$image"
    output=$(emu replug "$image") || fail "kt4790-emu.exe cannot upgrade an image of version 3: $output"
    [[ $output == *": failed password checks cleared" ]] || fail "kt4790-emu.exe replug said: $output"
    [[ $(version_of "$image") == 4 ]] || fail "kt4790-emu.exe replug left an image of version $(version_of "$image")"
    [[ $(ls "$images/upgrade") == disk.img ]] || fail "the upgrade left other files: $(ls "$images/upgrade")"
    [[ $(stat -c %a "$image") == 750 ]] || fail "the upgraded image has mode $(stat -c %a "$image"), not 750"
    "$linux_emu" show "$image" | grep -qx "password:          set" || fail "the upgraded image lost its password"
    output=$(emu replug "$image")
    [[ $output == "replugged Z:"*"disk.img" ]] || fail "the upgraded image still holds the lock: $output"
    echo "wine-check: kt4790-emu.exe upgraded an image of version 3 of mode 600 to version 4, mode 750 ($(elapsed))"
}

# check_image_lock HOLDER OTHER SHARED: HOLDER's program (linux or wine)
# stopped while it holds the lock: its import (exclusive), or with SHARED its
# export; OTHER's export (or show) beside it.
check_image_lock() (
    local holder=$1 other=$2 shared=$3 image=$images/locks/disk.img inode attempt what holder_pid='' tool_pid=''
    # No program stays stopped, whatever fails.
    trap 'for pid in $holder_pid $tool_pid; do kill -CONT "$pid"; kill -KILL "$pid"; done 2>/dev/null' EXIT
    rm -rf "$images/locks" && mkdir -p "$images/locks"
    "$linux_emu" create "$image" >/dev/null || fail "cannot make $image"
    head -c $((32000 * 512)) /dev/urandom >"$images/locks/old.raw"
    head -c $((32000 * 512)) /dev/urandom >"$images/locks/new.raw"
    "$linux_emu" import "$image" "$images/locks/old.raw" >/dev/null || fail "cannot import into $image"
    inode=$(stat -c %i "$image")
    for attempt in 1 2 3 4 5; do
        if [[ $shared == shared ]]; then
            what="$holder export holding the lock shared, $other show beside it"
            rm -f "$images/locks/held.raw"
            image_tool "$holder" export "$image" "$images/locks/held.raw"
            holder_pid=$tool_pid
            stop_while_locking "$holder_pid" "$inode" READ && break
        else
            what="$holder import holding the lock, $other export beside it"
            image_tool "$holder" import "$image" "$images/locks/new.raw"
            holder_pid=$tool_pid
            stop_while_locking "$holder_pid" "$inode" WRITE && break
        fi
        await "$holder_pid" 60
        holder_pid=''
    done
    [[ -n $holder_pid ]] || fail "$what: the $holder program could not be stopped while it held the lock"
    if [[ $shared == shared ]]; then
        image_tool "$other" show "$image"
        await "$tool_pid" 30 || fail "$what: the show did not end while the export held the lock shared"
    else
        image_tool "$other" export "$image" "$images/locks/out.raw"
        sleep 1
        kill -0 "$tool_pid" 2>/dev/null || fail "$what: the export ended while the import held the lock"
    fi
    kill -CONT "$holder_pid"
    await "$holder_pid" 60 || fail "$what: the $holder program failed: $(cat "$images/$holder-"*.out)"
    if [[ $shared != shared ]]; then
        await "$tool_pid" 60 || fail "$what: the export failed: $(cat "$images/$other-export.out")"
        cmp -s "$images/locks/new.raw" "$images/locks/out.raw" ||
            fail "$what: the export does not hold what was imported"
    fi
    echo "wine-check: $what: $( [[ $shared == shared ]] && echo "went on" || echo "waited, then read the import") ($(elapsed))"
)

# check_image_read_only VERSION: KT4790CAP.exe on a disk of VERSION (4 or 3)
# it may only read (as root, who may write any file, the file is made
# immutable: chattr +i): after the right password in the main window, the
# FORMAT gate, which takes any number of tries, refuses the right password
# after three wrong ones.
check_image_read_only() (
    local image=$images/read-only/disk.img attempt gate="FORMAT  "
    # An immutable file left behind would stay in the build folder for good.
    if [[ $(id -u) == 0 ]]; then
        trap 'chattr -i "$image" 2>/dev/null' EXIT
        chattr -i "$image" 2>/dev/null  # left by a run that was killed
    fi
    rm -rf "$images/read-only" && mkdir -p "$images/read-only"
    "$linux_emu" create "$image" --name "$disk_name" --password "$disk_password" >/dev/null || fail "cannot make $image"
    if [[ $1 == 3 ]]; then
        earlier_disk "$images/read-only/earlier.img" "$image" && mv "$images/read-only/earlier.img" "$image" ||
            fail "cannot make an image of version 3"
    fi
    cp "$image" "$images/read-only/before.img"
    if [[ $(id -u) == 0 ]]; then
        chattr +i "$image" || fail "cannot make $image immutable (chattr +i) for the read-only disk"
    else
        chmod 444 "$image"
    fi
    export KT4790_DISKS=$(windows_path "$image")
    open_utility KT4790CAP.exe KT4790CAP winxp "Password Correct."
    wincheck click "$utility_title" FORMAT && wincheck shown "$gate" yes 10000 || fail "no format password gate"
    for attempt in 1 2 3; do
        wincheck keys "$gate" $'wrong\r' || fail "the format gate's edit does not take the keys"
        wincheck box WARNING "Password Incorrect!" 10000 || fail "read-only disk: wrong password $attempt not refused"
    done
    wincheck keys "$gate" "$disk_password"$'\r' || fail "the format gate's edit does not take the keys"
    wincheck box WARNING "Password Incorrect!" 10000 ||
        fail "read-only disk of version $1: the right password was taken after three wrong ones"
    end_program KT4790CAP.exe
    [[ $(id -u) == 0 ]] && chattr -i "$image"
    cmp -s "$image" "$images/read-only/before.img" || fail "read-only disk of version $1: the file changed"
    echo "wine-check: KT4790CAP.exe on a read-only disk of version $1: the lock after three wrong passwords held ($(elapsed))"
)

# check_image_full_disk: a file system of 24 MB, where the journal of a
# write of a whole medium of one zone (17 MB) fits and its sectors' places
# (17 MB more) do not.
check_image_full_disk() (
    local mount=$images/full size output
    mkdir -p "$mount"
    if ! mount -t tmpfs -o size=24m kt4790-full "$mount" 2>/dev/null; then
        echo "wine-check: full disk: cannot mount a tmpfs here (it needs root); left out"
        exit 0
    fi
    trap 'umount "$mount"' EXIT
    rm -f "$images"/full*.raw
    "$linux_emu" create "$mount/disk.img" >/dev/null || fail "cannot make $mount/disk.img"
    head -c $((32000 * 512)) /dev/urandom >"$images/full.raw"
    "$linux_emu" export "$mount/disk.img" "$images/full-before.raw" >/dev/null || fail "cannot export $mount/disk.img"
    size=$(stat -c %s "$mount/disk.img")
    output=$(emu import "$mount/disk.img" "$images/full.raw" 2>&1) &&
        fail "full disk: kt4790-emu.exe import succeeded: $output"
    [[ $output == *"cannot write image file"* ]] || fail "full disk: kt4790-emu.exe import said: $output"
    [[ $(stat -c %s "$mount/disk.img") == "$size" ]] || fail "full disk: the refused import left a tail"
    "$linux_emu" export "$mount/disk.img" "$images/full-after.raw" >/dev/null &&
        cmp -s "$images/full-before.raw" "$images/full-after.raw" || fail "full disk: the refused import changed the image"
    echo "wine-check: kt4790-emu.exe import into a full file system: refused, the image as it was ($(elapsed))"
)

check_image() {
    [[ -x $linux_emu ]] || fail "no Linux kt4790-emu at $linux_emu (build the linux preset first)"
    mkdir -p "$images"
    check_image_upgrade
    check_image_lock linux wine exclusive || exit 1
    check_image_lock wine linux exclusive || exit 1
    check_image_lock linux wine shared || exit 1
    check_image_lock wine linux shared || exit 1
    check_image_read_only 4 || exit 1
    check_image_read_only 3 || exit 1
    check_image_full_disk || exit 1
    rm -rf "$images"
}

# --- the sections, in order --------------------------------------------------------
check_startup KT4790CAP.exe KT4790CAP winxp
check_startup KT4790MCAP.exe KT4790MCAP win98
check_refusal KT4790CAP.exe KT4790CAP win98 "This program is only for Windows 2000 and XP."
check_refusal KT4790MCAP.exe KT4790MCAP winxp "This program is only for Windows 98 and ME."
set_windows_version winxp
check_forms
check_monitor
emulated_ready || fail "no emulated variant of this build in $bin/../emulated (the Windows presets build it)"
check_password KT4790CAP.exe KT4790CAP winxp "Password Correct."
check_password KT4790MCAP.exe KT4790MCAP win98 "Password Correct!"
check_popup KT4790Mon.exe KT4790CAP winxp "1 0"
check_popup KT4790mMon.exe KT4790MCAP win98 1
check_copy
check_format_journey KT4790CAP.exe KT4790CAP winxp "Password Correct." \
    "Format was successful. You need to unplug and replug the device." cap
check_format_journey KT4790MCAP.exe KT4790MCAP win98 "Password Correct!" \
    "Format was successful. You need to unplug and replug the device!" aspi
check_image
echo "wine-check: passed ($arch: $bin) in $(elapsed)"
