# Sourced by the scripts that run the Windows build under Wine
# (wine-check.sh, run-main.sh): which Wine can run here, which build it
# runs, and the Wine prefix. The caller defines fail MESSAGE (exits).
#
# wine_choose: the i686 deliverables (preset win32) under 32-bit Wine where
# this host runs 32-bit programs; otherwise the 64-bit stand-in (preset
# win64-check, the same sources built for x86-64) under 64-bit Wine. Sets
# wine_arch (win32 or win64), wine_preset, wine_machine (the PE machine
# field of that build) and wine_why_not_32 (empty when 32-bit Wine runs).
# Returns 1, with the reasons in wine_unavailable, when no Wine runs at all.
#
# wine_use ARCH sets wine (the loader) and the prefix, and exports them;
# wine_prefix_ready tells whether the prefix is made as below;
# wine_prepare_prefix makes it on first use; start_wine starts the Wine
# session in which the programs run; set_windows_version VERSION sets what
# GetVersionExA reports to programs started afterwards; stop_wine ends the
# Wine session.

wine32_loader=/usr/lib/wine/wine
wine64_loader=/usr/lib/wine/wine64
wine_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

export WINEDEBUG=-all
# No Mono or Gecko installers, and no menu entries in $HOME.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

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
# too slow to use.
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

wine_choose() {
    local no64
    wine_why_not_32=$(why_no_wine32)
    if [[ -z $wine_why_not_32 ]]; then
        wine_arch=win32 wine_preset=win32 wine_machine=014c
        return 0
    fi
    no64=$(why_no_wine64)
    if [[ -n $no64 ]]; then
        wine_unavailable="$wine_why_not_32; $no64"
        return 1
    fi
    wine_arch=win64 wine_preset=win64-check wine_machine=8664
}

wine_use() {
    if [[ $1 == win64 ]]; then
        prefix=$wine_root/build/wine64-prefix
        wine=$wine64_loader
    else
        prefix=$wine_root/build/wine-prefix
        wine=$wine32_loader
    fi
    # Wine starts its own helper programs through WINELOADER.
    export WINEPREFIX=$prefix WINEARCH=$1 WINELOADER=$wine
}

# What wine_prepare_prefix puts into a prefix. Raise it when that changes:
# a prefix made by an older set-up is then made again.
wine_prefix_setup=2
# The free face that stands in for "Comic Sans MS", which the captions of
# the utility window and its dialogs ask for and no Linux system has. Left
# to itself Wine takes a wider face, and the captions no longer fit their
# controls. Comic Neue (package fonts-comic-neue) has close metrics.
comic_sans_stand_in="Comic Neue"
comic_sans_stand_in_files=(/usr/share/fonts/opentype/comic-neue/ComicNeue-{Regular,Bold}.otf)

wine_prefix_ready() {
    [[ $(cat "$prefix/.kt4790-ready" 2>/dev/null) == "$wine_prefix_setup" ]]
}

# The prefix: made once (again when the set-up has changed), with fonts, the
# stand-in for "Comic Sans MS" and unmanaged windows.
wine_prepare_prefix() {
    wine_prefix_ready && return 0
    echo "making the Wine prefix in $prefix (the first time on a new machine this can take minutes)"
    rm -rf "$prefix"
    mkdir -p "$(dirname "$prefix")"
    timeout "$wine_first_start_limit" "$wine" wineboot --init >/dev/null 2>&1 || fail "wineboot --init failed"
    # wineboot returns before the prefix update has ended; a program started
    # earlier may find the window classes missing.
    timeout "$wine_first_start_limit" wineserver -w || fail "the prefix update did not end"
    # Debian's Wine does not load its own fonts by itself.
    mkdir -p "$prefix/drive_c/windows/Fonts"
    cp /usr/share/wine/fonts/* "$prefix/drive_c/windows/Fonts/" 2>/dev/null
    cp "${comic_sans_stand_in_files[@]}" "$prefix/drive_c/windows/Fonts/" ||
        fail "no $comic_sans_stand_in font files (scripts/install-deps.sh installs fonts-comic-neue)"
    start_wine
    timeout 60 "$wine" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "Comic Sans MS" \
        /d "$comic_sans_stand_in" /f >/dev/null 2>&1 || fail "cannot map Comic Sans MS to $comic_sans_stand_in"
    # Without Managed=N every window close waits two seconds.
    timeout 60 "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 ||
        fail "cannot set Managed=N"
    stop_wine
    echo "$wine_prefix_setup" >"$prefix/.kt4790-ready"
}

# The Windows version that GetVersionExA reports to the programs started
# from now on (win98, winxp, ...). New processes read it at their start, so
# the running session needs no restart. A failure shows what reg said.
set_windows_version() {
    local output
    output=$(timeout 60 "$wine" reg add 'HKCU\Software\Wine' /v Version /d "$1" /f 2>&1) ||
        fail "cannot set the Windows version $1: $output"
}

# How long a program's first start may take, in seconds. The first start of
# Wine on a new machine reads its libraries and the new prefix from a cold
# disk and can take minutes where a later one takes a second or two.
wine_first_start_limit=300

# wine_await_start PID LOG APP_TITLE MAIN_TITLE WINCHECK...: waits until the
# program started as PID (its output going to LOG) shows its main window
# MAIN_TITLE as the only window of its process (wincheck startup), for as
# long as wine_first_start_limit allows, saying every 30 s that it waits.
# WINCHECK is the command that runs wincheck.exe under Wine. On failure it
# prints why, the end of what Wine printed and the windows that exist, and
# returns 1.
wine_await_start() {
    local pid=$1 log=$2 app_title=$3 main_title=$4 begin=$SECONDS output reason
    shift 4
    echo "waiting for the main window of $app_title (a first start of Wine on a new machine can take minutes)"
    while :; do
        if output=$(timeout 120 "$@" startup "$app_title" "$main_title" 30000); then
            echo "$output"
            return 0
        fi
        if [[ $output != *"no window titled"* && $output != *"not visible after"* ]]; then
            reason=$output  # it showed something else: a message box, a second window
            break
        fi
        if ! kill -0 "$pid" 2>/dev/null; then
            reason="the program ended without showing its main window"
            break
        fi
        if ((SECONDS - begin >= wine_first_start_limit)); then
            reason="no main window after $((SECONDS - begin)) s"
            break
        fi
        echo "still waiting for the main window of $app_title ($((SECONDS - begin)) s)"
    done
    echo "$reason" >&2
    echo "--- the last lines Wine printed (all of them in $log):" >&2
    tail -n 30 "$log" >&2
    echo "--- the windows that exist:" >&2
    timeout 60 "$@" windows >&2
    return 1
}

# Starts a new Wine session in the prefix (made already): a running one is
# ended, then one persistent Wine server serves every program started until
# stop_wine. The server that a program starts by itself ends as soon as its
# last program has ended, and a program that starts while it ends cannot
# reach it; with one server for the whole session, no step depends on when
# a server ends.
# The session's first program starts its system processes (services.exe and
# the services it starts); they live as long as the server and hold the
# output they were given. wineboot starts them here with none, so that no
# later command whose output is read stays open until the session ends.
# The server itself keeps the error output of whoever started it: it gets
# none, so that no pipe of the caller's stays open as long as it runs.
start_wine() {
    stop_wine
    timeout 60 wineserver -p </dev/null >/dev/null 2>&1 || fail "cannot start the Wine server"
    timeout "$wine_first_start_limit" "$wine" wineboot </dev/null >/dev/null 2>&1 ||
        fail "wineboot cannot start the Wine session"
}

# Ends the Wine session: no program outlives it.
# wineserver -k fails when no server runs: then there is nothing to end.
stop_wine() {
    timeout 30 wineserver -k 2>/dev/null || true
    timeout 30 wineserver -w 2>/dev/null
}

# A Linux path as the Windows programs see it: Wine shows the root as Z:.
windows_path() {
    local path=$1
    echo "Z:${path//\//\\}"
}
