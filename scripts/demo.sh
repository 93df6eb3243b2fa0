#!/usr/bin/env bash
# Demonstration: installs what is missing, builds, makes the bundled sample
# recorder disk, finds the recordings of channel 1 around a midnight and
# copies them into a folder tree. Every step says in one sentence what it
# shows and prints its command exactly as it runs, ready to paste; every
# disk is opened read-only.
#   scripts/demo.sh [WORK_DIR]     (default: /tmp/tarvik-demo)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
work=$(realpath -m "${1:-/tmp/tarvik-demo}")
build=$here/build

bold=$'\033[1m' plain=$'\033[0m'
[ -t 1 ] || bold='' plain=''
say() { printf '\n%s%s%s\n' "$bold" "$*" "$plain"; }

# A word as a shell reads it back: bare when it is safe, else in single quotes.
quote() {
  if [[ $1 =~ ^[A-Za-z0-9_./:=,@+%-]+$ ]]; then printf '%s' "$1"
  else printf "'%s'" "${1//\'/\'\\\'\'}"
  fi
}
# Prints a step's sentence and its command, then runs the command.
step() {
  local sentence=$1 line="" word
  shift
  for word in "$@"; do line+="${line:+ }$(quote "$word")"; done
  say "$sentence"
  printf '$ %s\n' "$line"
  "$@"
}

say "Installing what is missing (nothing when it is all there)."
bash "$here/scripts/setup.sh"
say "Building tarvik and the sample-disk maker (a few minutes the first time)."
cmake -S "$here" -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j "$(nproc)" --target tarvik kxmkdisk

rm -rf "$work"
mkdir -p "$work"
img=$work/sample.img
tarvik=$build/tarvik
# The sample's recorder clock ran in UTC.
export TZ=UTC
window=(--start "2024-06-03 18:00:00" --end "2024-06-04 09:00:00")

step "Make a sample recorder disk image: two partitions of recordings on four channels, days of them." \
  "$build/tools/kxmkdisk" --preset sample "$img"
step "List its disks and partitions with the span each one has recordings for." \
  env TZ=UTC "$tarvik" -q -D "$img" disks
step "Find channel 1's recordings from 18:00 to 09:00 the next morning; one of them runs past midnight." \
  env TZ=UTC "$tarvik" -q -D "$img" search --disk 1 --channel 1 "${window[@]}"
step "Copy them into a folder tree; the disk is opened read-only and never written to." \
  env TZ=UTC "$tarvik" -q -D "$img" download --disk 1 --channel 1 "${window[@]}" --output "$work/copies"
step "List the copies with their sizes: one folder per disk and partition, day and channel." \
  find "$work/copies" -type f -printf '%10s  %P\n'

video=$work/video.img
step "Make a second disk whose recordings are real H.264 footage that shows its own date and time." \
  "$build/tools/kxmkdisk" --preset video "$video"
step "Name the streams of channel 1's recordings on it (this reads the first MiB of each)." \
  env TZ=UTC "$tarvik" -q --read-only -D "$video" search --disk 1 --channel 1 \
  --start "2024-06-03 18:00:00" --end "2024-06-03 19:00:00" --probe
step "Copy them, and beside each exact copy an MP4 that any player opens (remuxed, not re-encoded)." \
  env TZ=UTC "$tarvik" -q --read-only -D "$video" download --disk 1 --channel 1 \
  --start "2024-06-03 18:00:00" --end "2024-06-03 19:00:00" --output "$work/video-copies" --mp4

first=$(find "$work/copies" -name '*.mvr' -type f | sort | head -n 1)
mp4=$(find "$work/video-copies" -name '*.mp4' -type f | sort | head -n 1)
say "The copies are in $work/copies and $work/video-copies."
echo "Each .mvr is the recording's stream exactly as the recorder wrote it. The sample disk's"
echo "recordings hold test patterns instead of pictures; look into one with:"
echo "  od -A d -t x1 $(quote "$first") | head"
if [ -n "$mp4" ]; then
  echo "The video disk's footage plays from its MP4; it shows the time it was recorded:"
  echo "  xdg-open $(quote "$mp4")"
fi
