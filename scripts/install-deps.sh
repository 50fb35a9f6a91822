#!/usr/bin/env bash
# Installs what building and testing the suite needs on Debian 12, and only
# what is missing: a machine that has everything installs nothing and needs
# no network. Run as root (or with sudo available).
set -euo pipefail

# Build tools, test frameworks, the mingw-w64 cross compiler for the Windows
# deliverables, and the external tools the formatter's output is checked with
# (FAT tools, an x86 machine for the boot test, an assembler for boot code).
packages=(
    cmake
    ninja-build
    g++
    pkg-config
    libgtest-dev
    libgmock-dev
    googletest
    libbenchmark-dev
    g++-mingw-w64-i686
    binutils-mingw-w64-i686
    nasm
    dosfstools
    mtools
    qemu-system-x86
)

# Commands that must exist once the packages are in place.
commands=(
    cmake
    ninja
    g++
    pkg-config
    i686-w64-mingw32-g++
    i686-w64-mingw32-dlltool
    nasm
    fsck.fat
    mcopy
    qemu-system-i386
)

# --- Wine (running the Windows deliverables) --------------------------------
# scripts/wine-check.sh starts the Windows build under 32-bit Wine on a
# virtual display and takes a screenshot; wine32 needs the i386 architecture.
# Where the kernel runs no 32-bit programs it runs the 64-bit stand-in of the
# win64-check preset (x86-64 cross compiler) under 64-bit Wine instead.
# fonts-comic-neue stands in for "Comic Sans MS" in the Wine prefix
# (scripts/wine-env.sh).
packages+=(wine wine64 fonts-wine fonts-comic-neue xvfb xauth xdotool imagemagick)
# 32-bit Wine is only of use where the kernel runs 32-bit programs, and its
# i386 packages come from a second architecture's indexes, which a mirror in
# the middle of a sync can leave inconsistent. So it is installed on its own,
# at best effort: without it the Wine check runs the 64-bit stand-in.
optional_packages=(wine32:i386)
packages+=(g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64)
commands+=(wine wineserver xvfb-run xauth xdotool import x86_64-w64-mingw32-g++ x86_64-w64-mingw32-dlltool)
# ----------------------------------------------------------------------------

not_installed() {  # prints the packages of "$@" that are not installed
    local package status
    for package in "$@"; do
        status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
        [[ "$status" == installed ]] || echo "$package"
    done
}
mapfile -t missing < <(not_installed "${packages[@]}")
mapfile -t missing_optional < <(not_installed "${optional_packages[@]}")

sudo=()
if [[ $(id -u) -ne 0 ]] && ((${#missing[@]} + ${#missing_optional[@]} > 0)); then
    if command -v sudo >/dev/null; then
        sudo=(sudo)
    elif ((${#missing[@]} > 0)); then
        echo "install-deps: missing packages (${missing[*]}) and not root" >&2
        exit 1
    else
        missing_optional=()
    fi
fi
export DEBIAN_FRONTEND=noninteractive

# Scratch files, none in the project: the last index update's messages, the
# source list of a second try at 32-bit Wine, a test program.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
update_log=$work/update.log
: >"$update_log"

# A failed index download (a mirror in sync) is retried; if it keeps failing,
# the install goes on with the indexes apt has, and fails only if they lack
# a package the build needs. The messages of the last attempt stay in
# $update_log.
update_indexes() {  # update_indexes ATTEMPTS
    local attempt status
    for ((attempt = 1; attempt <= $1; attempt++)); do
        status=0
        "${sudo[@]}" apt-get update -qq 2>"$update_log" || status=$?
        cat "$update_log" >&2
        ((status == 0)) && return 0
        echo "install-deps: apt-get update failed (attempt $attempt)" >&2
        ((attempt < $1)) && sleep $((attempt * 5))
    done
    return 0
}

# Whether the kernel itself runs 32-bit x86 programs: starts a static i386
# program of a few bytes that only exits, which needs no i386 package. Under
# qemu-i386 emulation it would start too, but 32-bit Wine is too slow there to
# be of use (scripts/wine-env.sh).
kernel_runs_i386() {
    local program=$work/exit-i386
    ! grep -qs '^enabled' /proc/sys/fs/binfmt_misc/qemu-i386 || return 1
    # ELF header; one loadable segment, the whole file at 0x08048000; at
    # 0x08048054: mov eax, 1; xor ebx, ebx; int 0x80 (exit with 0).
    printf '%b' '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' \
        '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00' \
        '\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00' \
        '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00' \
        '\x05\x00\x00\x00\x00\x10\x00\x00' \
        '\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' >"$program"
    chmod +x "$program"
    "$program" 2>/dev/null
}

# Writes to $work/sources.list and $work/sources.list.d/ a copy of the source
# list and parts apt is configured with, in both forms (one-line .list,
# deb822 .sources), without the suites whose i386 indexes the last update
# could not fetch. Prints those suites, one a line; prints nothing (and the
# copy is not to be used) when no i386 index failed.
sources_without_failed_i386() {
    local failed sourcelist='' sourceparts='' file
    # "E: Failed to fetch URI/dists/SUITE/COMPONENT/binary-i386/Packages.xz  File has ..."
    failed=$(sed -nE 's|^[EW]: Failed to fetch ([^ ]+/binary-i386/[^ ]+).*|\1|p' "$update_log")
    [[ -n $failed ]] || return 0
    eval "$(apt-config shell sourcelist Dir::Etc::sourcelist/f sourceparts Dir::Etc::sourceparts/d)"
    mkdir -p "$work/sources.list.d"
    : >"$work/sources.list"
    : >"$work/left-out"
    [[ -f $sourcelist ]] && without_suites list "$sourcelist" "$work/sources.list"
    for file in "$sourceparts"/*.list "$sourceparts"/*.sources; do
        [[ -f $file ]] && without_suites "${file##*.}" "$file" "$work/sources.list.d/${file##*/}"
    done
    sort -u "$work/left-out"
}

# Copies one source file (FORM list or sources), leaving out each suite of an
# entry one of whose URIs has URI/dists/SUITE/ beginning a URL of $failed. A
# one-line entry left out becomes a comment; a deb822 stanza loses the suite
# from its Suites field, and is dropped when none is left.
without_suites() {  # without_suites FORM FROM TO
    awk -v form="$1" -v failed="${failed//$'\n'/ }" -v left_out="$work/left-out" '
        function fails(uri, suite,   i, n, url) {
            sub(/\/+$/, "", uri)
            n = split(failed, url, " ")
            for (i = 1; i <= n; i++)
                if (index(url[i], uri "/dists/" suite "/") == 1) return 1
            return 0
        }
        BEGIN { if (form == "sources") { RS = ""; FS = "\n"; ORS = "\n\n" } }
        form == "list" {
            line = $0
            sub(/\[[^]]*\]/, "", line)
            if (split(line, word, " ") >= 3 && word[1] ~ /^deb(-src)?$/ && fails(word[2], word[3])) {
                print word[3] >>left_out
                print "# " $0
            } else print
            next
        }
        {   # a deb822 stanza: fields "Name: value", continued on lines that begin with a blank
            uris = suites = field = ""
            for (i = 1; i <= NF; i++) {
                if ($i ~ /^#/) continue
                if ($i ~ /^[ \t]/) value = $i
                else {
                    field = tolower(substr($i, 1, index($i, ":") - 1))
                    value = substr($i, index($i, ":") + 1)
                }
                if (field == "uris") uris = uris " " value
                if (field == "suites") suites = suites " " value
            }
            n_uri = split(uris, uri, " ")
            n_suite = split(suites, suite, " ")
            kept = ""
            for (s = 1; s <= n_suite; s++) {
                drop = 0
                for (u = 1; u <= n_uri; u++) drop = drop || fails(uri[u], suite[s])
                if (drop) printf "%s\n", suite[s] >>left_out
                else kept = kept " " suite[s]
            }
            if (kept == suites) { print; next }
            if (kept == "") next
            stanza = ""
            field = ""
            for (i = 1; i <= NF; i++) {
                if ($i !~ /^[ \t#]/) field = tolower(substr($i, 1, index($i, ":") - 1))
                if (field != "suites" || $i ~ /^#/) stanza = stanza $i "\n"
                else if ($i !~ /^[ \t]/) stanza = stanza "Suites:" kept "\n"
            }
            printf "%s\n", stanza
        }' "$2" >"$3"
}

updated=0
if ((${#missing[@]} > 0)); then
    echo "install-deps: installing ${missing[*]}"
    update_indexes 3
    updated=1
    "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
else
    echo "install-deps: all ${#packages[@]} packages present"
fi

# The second try at 32-bit Wine, for one apt-get install: the suites whose
# i386 indexes failed to download are left out (a suite whose i386 index is
# missing still offers its amd64 packages, and apt then pairs them with the
# i386 packages of another suite, which cannot be resolved). The i386
# libraries must have the very version of their amd64 twins, so for that
# command the remaining suites win over the installed versions. Where an
# amd64 library came from a left-out suite (a security update, say), that
# would take it back to the older version its i386 twin has: apt refuses
# such a plan, and nothing changes, unless KT4790_ALLOW_DOWNGRADES=1 asks for
# it. The amd64 Wine is named so that it stays, and nothing may be removed.
# Sets left_out to the suites left out (empty: no i386 index failed, nothing
# tried) and downgrade_refused to 1 when apt refused for the downgrade alone.
install_without_failed_i386_suites() {
    local preferenceparts='' reduced allow=() status=0
    downgrade_refused=0
    left_out=$(sources_without_failed_i386 | paste -sd ' ')
    [[ -n $left_out ]] || return 1
    reduced=(-o Dir::Etc::sourcelist="$work/sources.list" -o Dir::Etc::sourceparts="$work/sources.list.d")
    eval "$(apt-config shell preferenceparts Dir::Etc::preferencesparts/d)"
    mkdir -p "$work/preferences.d"
    if [[ -d $preferenceparts ]]; then cp -r "$preferenceparts"/. "$work/preferences.d/" || return 1; fi
    apt-cache "${reduced[@]}" policy | sed -nE 's/^ +origin (.+)$/\1/p' | sort -u |
        while read -r origin; do
            printf 'Package: *\nPin: origin "%s"\nPin-Priority: 1001\n\n' "$origin"
        done >"$work/preferences.d/zz-remaining-suites.pref" || return 1
    [[ ${KT4790_ALLOW_DOWNGRADES:-0} == 1 ]] && allow=(--allow-downgrades)
    "${sudo[@]}" apt-get install -y -qq --no-install-recommends --no-remove "${allow[@]}" \
        "${reduced[@]}" -o Dir::Etc::preferencesparts="$work/preferences.d" \
        wine wine64 "${missing_optional[@]}" </dev/null 2>"$work/second-try.log" || status=$?
    # "E: Packages were downgraded and -y was used without --allow-downgrades."
    if ((status != 0)) && grep -q -- '--allow-downgrades' "$work/second-try.log"; then
        downgrade_refused=1
    else
        cat "$work/second-try.log" >&2
    fi
    return "$status"
}

# 32-bit Wine: the plain install, and where the kernel runs 32-bit programs
# and that fails, the second try above, after which the package lists of the
# normal configuration are fetched again.
if ((${#missing_optional[@]} > 0)); then
    echo "install-deps: trying ${missing_optional[*]} (optional)"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        "${sudo[@]}" dpkg --add-architecture i386
        updated=0
    fi
    ((updated)) || update_indexes 1
    stand_in="the Wine check uses the 64-bit stand-in"
    left_out='' downgrade_refused=0
    if "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing_optional[@]}" </dev/null; then
        echo "install-deps: ${missing_optional[*]} installed"
    elif ! kernel_runs_i386; then
        echo "install-deps: ${missing_optional[*]} could not be installed; $stand_in" >&2
    elif install_without_failed_i386_suites; then
        update_indexes 1
        echo "install-deps: ${missing_optional[*]} installed with $left_out left out (i386 index not fetched)"
    elif ((downgrade_refused)); then
        update_indexes 1
        echo "install-deps: ${missing_optional[*]} could not be installed without taking installed packages" \
            "back to older versions ($left_out left out); $stand_in (KT4790_ALLOW_DOWNGRADES=1 allows it)" >&2
    elif [[ -n $left_out ]]; then
        update_indexes 1
        echo "install-deps: ${missing_optional[*]} could not be installed, nor with $left_out left out; $stand_in" >&2
    else
        echo "install-deps: ${missing_optional[*]} could not be installed; $stand_in" >&2
    fi
fi

absent=()
for command in "${commands[@]}"; do
    command -v "$command" >/dev/null || absent+=("$command")
done
if ((${#absent[@]} > 0)); then
    echo "install-deps: still missing after install: ${absent[*]}" >&2
    exit 1
fi
