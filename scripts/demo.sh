#!/usr/bin/env bash
# Demonstration: installs what is missing, builds, makes the bundled sample
# recorder disk, finds the recordings of channel 1 around a midnight and
# copies them into a folder tree.
#   scripts/demo.sh [WORK_DIR]     (default: /tmp/tarvik-demo)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-/tmp/tarvik-demo}
bash "$here/scripts/setup.sh"
# Only the two programs the demonstration runs, in the build folder that
# scripts/build.sh and scripts/test.sh use.
cmake -S "$here" -B "$here/build" -G Ninja >/dev/null
cmake --build "$here/build" -j "$(nproc)" --target tarvik kxmkdisk >/dev/null
tarvik=$here/build/tarvik
rm -rf "$work"
mkdir -p "$work"
img=$work/sample.img
say() { printf '\n\033[1m$ %s\033[0m\n' "$*"; }

say kxmkdisk --preset sample "$img"
"$here/build/tools/kxmkdisk" --preset sample "$img"

# The sample's recorder clock ran in UTC.
export TZ=UTC
say tarvik -q -D "$img" disks
"$tarvik" -q -D "$img" disks

window=(--start "2024-06-03 18:00:00" --end "2024-06-04 09:00:00")
say tarvik -q -D "$img" search --disk 1 --channel 1 --start "2024-06-03 18:00:00" --end "2024-06-04 09:00:00"
"$tarvik" -q -D "$img" search --disk 1 --channel 1 "${window[@]}"

say tarvik -q --read-only -D "$img" download --disk 1 --channel 1 ... --output "$work/copies"
"$tarvik" -q --read-only -D "$img" download --disk 1 --channel 1 "${window[@]}" --output "$work/copies"

say "find $work/copies -type f (with sizes)"
(cd "$work/copies" && find . -type f -printf '%10s  %p\n' | sort -k2)
