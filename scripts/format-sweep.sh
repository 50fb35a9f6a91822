#!/usr/bin/env bash
# The full sweep of the formatter over emulated media: every medium, boot
# layout and standard-area size that format_sweep knows (CI runs one case
# in 20 of them). About ten minutes on eight cores.
#
#   scripts/format-sweep.sh [BUILD_DIR]     (default build/linux)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build/linux}
sweep=$build/bin/format_sweep
if [[ ! -x $sweep ]]; then
    echo "format-sweep: no $sweep; build the linux preset first" >&2
    exit 1
fi
command -v fsck.fat >/dev/null || { echo "format-sweep: fsck.fat not found (package dosfstools)" >&2; exit 1; }
exec "$sweep" --every 1
