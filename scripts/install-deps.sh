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
packages+=(wine wine32:i386 wine64 fonts-wine xvfb xauth xdotool imagemagick)
packages+=(g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64)
commands+=(wine wineserver xvfb-run xauth xdotool import x86_64-w64-mingw32-g++ x86_64-w64-mingw32-dlltool)
# ----------------------------------------------------------------------------

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
    if [[ "$status" != installed ]]; then
        missing+=("$package")
    fi
done

if ((${#missing[@]} > 0)); then
    echo "install-deps: installing ${missing[*]}"
    sudo=()
    if [[ $(id -u) -ne 0 ]]; then
        if command -v sudo >/dev/null; then
            sudo=(sudo)
        else
            echo "install-deps: missing packages (${missing[*]}) and not root" >&2
            exit 1
        fi
    fi
    export DEBIAN_FRONTEND=noninteractive
    if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        "${sudo[@]}" dpkg --add-architecture i386
    fi
    "${sudo[@]}" apt-get update -qq
    "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
else
    echo "install-deps: all ${#packages[@]} packages present"
fi

absent=()
for command in "${commands[@]}"; do
    command -v "$command" >/dev/null || absent+=("$command")
done
if ((${#absent[@]} > 0)); then
    echo "install-deps: still missing after install: ${absent[*]}" >&2
    exit 1
fi
