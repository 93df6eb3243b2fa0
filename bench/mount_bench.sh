#!/usr/bin/env bash
# Mount benchmark: `cat` of a 1 GiB recording through `tarvik mount`, against
# `tarvik download` of the same recording and `dd bs=1M` of the same bytes
# from the image, with a warm page cache; each copy is written to a file in
# /dev/shm (RAM) when there is one. Five rounds, the best time of each counts.
#   bench/mount_bench.sh [BUILD_DIR] [WORK_DIR]
# Needs /dev/fuse and fusermount3.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$here" && mkdir -p "${1:-build}" && cd "${1:-build}" && pwd)
work=${2:-}
own_work=0
if [ -z "$work" ]; then
  work=$(mktemp -d /tmp/tarvik-bench.XXXXXX)
  own_work=1
fi
out=$work
if [ -d /dev/shm ] && [ -w /dev/shm ]; then out=$(mktemp -d /dev/shm/tarvik-bench.XXXXXX); fi
mnt=$work/mnt
cleanup() {
  fusermount3 -u "$mnt" 2>/dev/null || true
  if [ "$out" != "$work" ]; then rm -rf "$out"; fi
  if [ "$own_work" = 1 ]; then rm -rf "$work"; fi
}
trap cleanup EXIT
tarvik=$build/tarvik
mkdisk=$build/tools/kxmkdisk
if [ ! -x "$tarvik" ] || [ ! -x "$mkdisk" ]; then
  cmake -S "$here" -B "$build" -G Ninja >/dev/null
  cmake --build "$build" --target tarvik kxmkdisk >/dev/null
fi
export TZ=UTC
img=$work/bench.img
"$mkdisk" --preset bench-copy "$img" >/dev/null
window=(--start "2000-01-01 00:00:00" --end "2037-12-31 23:59:59")

# Where the recording lies: its first cluster (from its name), the data area
# and cluster size (from the first diagnostic table), the partition start.
found=$("$tarvik" -q -D "$img" search --disk 1 --channel 1 --json "${window[@]}" 2>/dev/null)
read -r clus size < <(python3 -c '
import json, re, sys
r = json.loads(sys.argv[1])[0]
print(int(re.search(r"\[@([0-9a-f]+)\]", r["name"]).group(1), 16), r["size"])' "$found")
read -r data_off spc < <("$tarvik" -q -D "$img" dump 2>/dev/null | awk -F'|' '/^\|0\.0 ->/ {print $7+0, $9+0; exit}')
part_start=$("$tarvik" -q -D "$img" disks --json 2>/dev/null |
             python3 -c 'import json,sys; print(json.load(sys.stdin)[0]["partitions"][0]["start_sector"])')
offset=$(( (part_start + data_off + clus * spc) * 512 ))

mkdir -p "$mnt"
"$tarvik" -q -D "$img" mount "$mnt"
rec=$(find "$mnt" -name '*.mvr' | head -1)

run_cat() { cat "$rec" >"$out/cat.out"; }
run_tarvik() {
  rm -rf "$out/out"
  "$tarvik" -q --read-only -D "$img" download --disk 1 --channel 1 --output "$out/out" "${window[@]}" >/dev/null 2>&1
}
run_dd() {
  dd if="$img" of="$out/dd.out" bs=1M iflag=skip_bytes,count_bytes skip="$offset" count="$size" status=none
}
# Nanoseconds one run takes.
elapsed() { local t0; t0=$(date +%s%N); "$@"; echo $(( $(date +%s%N) - t0 )); }

run_dd; run_cat; run_tarvik  # warm the page cache
t_dd=0 t_cat=0 t_tarvik=0
for _ in 1 2 3 4 5; do
  t=$(elapsed run_dd); if [ "$t_dd" = 0 ] || [ "$t" -lt "$t_dd" ]; then t_dd=$t; fi
  t=$(elapsed run_cat); if [ "$t_cat" = 0 ] || [ "$t" -lt "$t_cat" ]; then t_cat=$t; fi
  t=$(elapsed run_tarvik); if [ "$t_tarvik" = 0 ] || [ "$t" -lt "$t_tarvik" ]; then t_tarvik=$t; fi
done
cmp -s "$out/cat.out" "$(find "$out/out" -type f -name '*.mvr' | head -1)" && same="the same bytes" || same="DIFFERENT bytes"

awk -v size="$size" -v dd="$t_dd" -v cat="$t_cat" -v tv="$t_tarvik" -v same="$same" 'BEGIN {
  mib = size / 1048576
  printf "recording: %d bytes (%d MiB); cat through the mount and the download give %s\n", size, mib, same
  printf "dd bs=1M from the image : %.3f s  (%.0f MiB/s)\n", dd / 1e9, mib / (dd / 1e9)
  printf "cat through the mount   : %.3f s  (%.0f MiB/s)\n", cat / 1e9, mib / (cat / 1e9)
  printf "tarvik download         : %.3f s  (%.0f MiB/s), start-up, mount and search included\n", tv / 1e9, mib / (tv / 1e9)
  printf "ratio mount/dd: %.3f (goal: at least 0.8); download/dd: %.3f\n", dd / cat, dd / tv
}'
