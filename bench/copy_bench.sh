#!/usr/bin/env bash
# Copy benchmark: `tarvik download` of one 1 GiB recording against `dd bs=1M`
# of the same extent of the image, in one run with a warm page cache, and
# tarvik's peak memory.
#   bench/copy_bench.sh [BUILD_DIR] [WORK_DIR] [OUT_DIR]
# BUILD_DIR defaults to build (built when tarvik or kxmkdisk is missing);
# WORK_DIR (default: a fresh folder under /tmp, removed at the end) holds the
# 2 GiB sparse image. Both copies are written to a fresh folder in OUT_DIR,
# by default /dev/shm (RAM) when there is one, so that the disk's write-back
# does not time the copies. Name a folder on a real disk as OUT_DIR to time
# what a copy costs until its data are on that disk (tarvik syncs each copy
# before it takes its final name; dd is then run with conv=fdatasync).
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
dd_sync=
if [ -n "${3:-}" ]; then
  out=$(mktemp -d "$3/tarvik-bench.XXXXXX")
  dd_sync=conv=fdatasync
elif [ -d /dev/shm ] && [ -w /dev/shm ]; then
  out=$(mktemp -d /dev/shm/tarvik-bench.XXXXXX)
fi
cleanup() {
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

# Where the recording lies: its first cluster (from its name), the data area
# and cluster size (from the first diagnostic table), the partition start.
found=$("$tarvik" -q -D "$img" search --disk 1 --channel 1 --json \
        --start "2000-01-01 00:00:00" --end "2037-12-31 23:59:59" 2>/dev/null)
read -r clus size < <(python3 -c '
import json, re, sys
r = json.loads(sys.argv[1])[0]
print(int(re.search(r"\[@([0-9a-f]+)\]", r["name"]).group(1), 16), r["size"])' "$found")
read -r data_off spc < <("$tarvik" -q -D "$img" dump 2>/dev/null | awk -F'|' '/^\|0\.0 ->/ {print $7+0, $9+0; exit}')
part_start=$("$tarvik" -q -D "$img" disks --json 2>/dev/null |
             python3 -c 'import json,sys; print(json.load(sys.stdin)[0]["partitions"][0]["start_sector"])')
offset=$(( (part_start + data_off + clus * spc) * 512 ))

run_tarvik() {
  rm -rf "$out/out"
  "$tarvik" -q -D "$img" download --disk 1 --channel 1 --output "$out/out" \
    --start "2000-01-01 00:00:00" --end "2037-12-31 23:59:59" >/dev/null 2>&1
}
run_dd() {
  rm -f "$out/dd.out"
  dd if="$img" of="$out/dd.out" bs=1M iflag=skip_bytes,count_bytes skip="$offset" count="$size" status=none $dd_sync
}
# Nanoseconds one run takes.
elapsed() { local t0; t0=$(date +%s%N); "$@"; echo $(( $(date +%s%N) - t0 )); }

# The machine may be busy: the two copies take turns, five rounds, and the
# best time of each counts.
run_dd; run_tarvik  # warm the page cache with the image's extent
t_dd=0 t_tarvik=0
for _ in 1 2 3 4 5; do
  t=$(elapsed run_dd); if [ "$t_dd" = 0 ] || [ "$t" -lt "$t_dd" ]; then t_dd=$t; fi
  t=$(elapsed run_tarvik); if [ "$t_tarvik" = 0 ] || [ "$t" -lt "$t_tarvik" ]; then t_tarvik=$t; fi
done
rm -rf "$out/out"
peak_kib=$(/usr/bin/time -v "$tarvik" -q -D "$img" download --disk 1 --channel 1 --output "$out/out" \
           --start "2000-01-01 00:00:00" --end "2037-12-31 23:59:59" 2>&1 >/dev/null |
           awk -F': ' '/Maximum resident set size/ {print $2}')
cmp -s "$out/dd.out" "$(find "$out/out" -type f -name '*.mvr' | head -1)" && same="the same bytes" ||
  same="not byte-equal to the dd extent (the header offset differs)"

awk -v size="$size" -v dd="$t_dd" -v tv="$t_tarvik" -v peak="$peak_kib" -v same="$same" 'BEGIN {
  mib = size / 1048576
  printf "recording: %d bytes (%d MiB); the tarvik copy is %s\n", size, mib, same
  printf "dd bs=1M : %.3f s  (%.0f MiB/s)\n", dd / 1e9, mib / (dd / 1e9)
  printf "tarvik   : %.3f s  (%.0f MiB/s), start-up, mount and search included\n", tv / 1e9, mib / (tv / 1e9)
  printf "speed ratio tarvik/dd: %.3f (goal: at least 0.95)\n", dd / tv
  printf "tarvik peak memory: %d KiB\n", peak
}'
