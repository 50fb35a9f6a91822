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

# A failed index download (a mirror in sync) is retried; if it keeps failing,
# the install goes on with the indexes apt has, and fails only if they lack
# a package the build needs.
update_indexes() {  # update_indexes ATTEMPTS
    local attempt
    for ((attempt = 1; attempt <= $1; attempt++)); do
        "${sudo[@]}" apt-get update -qq && return 0
        echo "install-deps: apt-get update failed (attempt $attempt)" >&2
        ((attempt < $1)) && sleep $((attempt * 5))
    done
    return 0
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

if ((${#missing_optional[@]} > 0)); then
    echo "install-deps: trying ${missing_optional[*]} (optional)"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        "${sudo[@]}" dpkg --add-architecture i386
        updated=0
    fi
    ((updated)) || update_indexes 1
    if ! "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing_optional[@]}" </dev/null; then
        echo "install-deps: ${missing_optional[*]} could not be installed; the Wine check uses the 64-bit stand-in" >&2
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
