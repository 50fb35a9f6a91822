#!/usr/bin/env bash
# The main job: installs what is missing, builds the Linux and the Windows
# presets, makes an emulated disk when there is none, and lists the attached
# emulated devices through both device libraries, loaded by bare name as the
# applications load them.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
jobs=$(nproc)

bash scripts/install-deps.sh

for preset in linux win32; do
    echo "=== build $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
done

echo "=== Windows deliverables (build/win32/bin)"
ls build/win32/bin

emu=build/linux/bin/kt4790-emu
image=build/demo/demo-disk.img
mkdir -p "$(dirname "$image")"
if [[ ! -e "$image" ]]; then
    echo "=== creating $image"
    "$emu" create "$image" --name "DEMO DISK"
fi

echo "=== $image"
"$emu" show "$image"

echo "=== devices listed by GetAllDeviceName"
"$emu" list "$image"
