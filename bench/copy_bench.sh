#!/usr/bin/env bash
# Copy benchmark: `tarvik download` of one 2 GiB recording against
# `dd bs=1M conv=fdatasync` of the same bytes of the image, five alternating
# rounds per case, medians compared, the copy checked byte for byte after
# every timed run, and tarvik's peak resident memory.
#   1. warm cache, no throttle: the image in RAM, both copies written to DEST
#      (default: a folder on the file system of /var/tmp, so that the data
#      sync before the rename costs what it costs on a disk);
#   2. the same copy with the manifest's hashing on and off (bench_copy_job);
#   3. throttled: the image and the destination behind bench_throttle_fs, a
#      FUSE passthrough pacing reads at READ_MIBS (default 150) and writes at
#      WRITE_MIBS (default 400) MiB/s.
#   bench/copy_bench.sh [BUILD_DIR]      (environment: DEST, READ_MIBS, WRITE_MIBS, ROUNDS)
# Needs root for the FUSE mount (or a user allowed to mount FUSE), and the
# programs fusermount3 (fuse3), /usr/bin/time (time), openssl and python3.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$here" && mkdir -p "${1:-build}" && cd "${1:-build}" && pwd)
read_rate=${READ_MIBS:-150}
write_rate=${WRITE_MIBS:-400}
rounds=${ROUNDS:-5}
for t in tarvik tools/kxmkdisk bench/bench_copy_job bench/bench_throttle_fs; do
  if [ ! -x "$build/$t" ]; then
    cmake -S "$here" -B "$build" -G Ninja >/dev/null
    cmake --build "$build" --target tarvik kxmkdisk bench_copy_job bench_throttle_fs >/dev/null
    break
  fi
done
tarvik=$build/tarvik
work=$(mktemp -d /dev/shm/tarvik-bench.XXXXXX)  # the image, in RAM: a warm cache
dest=${DEST:-$(mktemp -d /var/tmp/tarvik-bench-out.XXXXXX)}
mnt=$(mktemp -d /tmp/tarvik-bench-mnt.XXXXXX)
fuse_pid=
cleanup() {
  if [ -n "$fuse_pid" ]; then fusermount3 -u "$mnt" 2>/dev/null || umount "$mnt" 2>/dev/null || true; fi
  rmdir "$mnt" 2>/dev/null || true
  rm -rf "$work"
  if [ -z "${DEST:-}" ]; then rm -rf "$dest"; fi
}
trap cleanup EXIT
export TZ=UTC
window=(--start "2000-01-01 00:00:00" --end "2037-12-31 23:59:59")
"$build/tools/kxmkdisk" --preset bench-copy "$work/bench.img" >/dev/null

# Where the recording's bytes lie: its first cluster (from its name), the data
# area and cluster size (from the first diagnostic table), the partition
# start, and the header the copy leaves out.
found=$("$tarvik" -q --read-only -D "$work/bench.img" search --disk 1 --channel 1 --json "${window[@]}" 2>/dev/null)
read -r clus size < <(python3 -c '
import json, re, sys
r = json.loads(sys.argv[1])[0]
print(int(re.search(r"\[@([0-9a-f]+)\]", r["name"]).group(1), 16), r["size"])' "$found")
read -r data_off spc < <("$tarvik" -q --read-only -D "$work/bench.img" dump 2>/dev/null | awk -F'|' '/^\|0\.0 ->/ {print $8+0, $10+0; exit}')
part_start=$("$tarvik" -q --read-only -D "$work/bench.img" disks --json 2>/dev/null |
             python3 -c 'import json,sys; print(json.load(sys.stdin)[0]["partitions"][0]["start_sector"])')
offset=$(( (part_start + data_off + clus * spc) * 512 ))
offset=$(python3 -c '
import struct, sys
with open(sys.argv[1], "rb") as f:
    f.seek(int(sys.argv[2])); head = f.read(8)
print(int(sys.argv[2]) + (struct.unpack("<I", head[4:8])[0] if head[:4] == b"KXII" else 0))' "$work/bench.img" "$offset")
# The reference: the recording's bytes straight from the image, hashed with
# sha256sum, not the library tarvik hashes with.
ref_sum=$(dd if="$work/bench.img" bs=1M iflag=skip_bytes,count_bytes skip="$offset" count="$size" status=none | sha256sum | cut -d' ' -f1)

# tarvik IMAGE OUT: one download; its peak resident set is appended to $work/rss
# (a file: the runs are timed in subshells, which keep no variables).
run_tarvik() {
  rm -rf "$2"
  /usr/bin/time -a -o "$work/rss" -f '%M' "$tarvik" -q --read-only -D "$1" download --disk 1 --channel 1 --output "$2" \
    "${window[@]}" >/dev/null 2>"$work/err" || { cat "$work/err" >&2; exit 1; }
}
run_dd() {
  rm -f "$2"
  dd if="$1" of="$2" bs=1M iflag=skip_bytes,count_bytes skip="$offset" count="$size" conv=fdatasync status=none
}
# The copies are hashed with openssl: several times faster than sha256sum
# here (it uses the CPU's SHA instructions), so that the checks do not make
# up most of the benchmark's time.
same_bytes() { [ "$(openssl dgst -sha256 -r < "$1" | cut -d' ' -f1)" = "$ref_sum" ]; }
# FOLDER's one copy holds the recording's bytes.
check_copy() {
  local copy
  copy=$(find "$1" -type f -name '*.mvr')
  same_bytes "$copy" || { echo "tarvik's copy differs from the image" >&2; exit 1; }
}
# And the manifest's one line names it with the reference's hash: what
# `sha256sum -c` of the manifest checks, without reading the copy again.
check_tarvik() {
  check_copy "$1"
  local copy
  copy=$(cd "$1" && find . -type f -name '*.mvr')
  [ "$(cat "$1/tarvik-manifest.sha256")" = "$ref_sum  ${copy#./}" ] || { echo "manifest check failed" >&2; exit 1; }
}
check_dd() {
  same_bytes "$1" || { echo "dd's copy differs from the image" >&2; exit 1; }
}
elapsed() { local t0; t0=$(date +%s%N); "$@"; echo $(( $(date +%s%N) - t0 )); }
median() { printf '%s\n' "$@" | sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
mibs() { awk -v b="$size" -v ns="$1" 'BEGIN {printf "%.1f", b / 1048576 / (ns / 1e9)}'; }

# Alternating rounds of dd and tarvik from IMAGE into FOLDER; each copy is
# checked in CHECKED, the folder that holds FOLDER's files (FOLDER itself, or
# the folder behind the throttle: the check is not paced). Prints both
# medians in nanoseconds.
compare() {
  local img=$1 folder=$2 checked=$3 td=() tt=() t
  for _ in $(seq "$rounds"); do
    t=$(elapsed run_dd "$img" "$folder/dd.out"); check_dd "$checked/dd.out"; td+=("$t"); rm -f "$checked/dd.out"
    t=$(elapsed run_tarvik "$img" "$folder/out"); check_tarvik "$checked/out"; tt+=("$t"); rm -rf "$checked/out"
    echo "  round: dd $(mibs "${td[-1]}") MiB/s, tarvik $(mibs "${tt[-1]}") MiB/s" >&2
  done
  echo "$(median "${td[@]}") $(median "${tt[@]}")"
}

printf 'recording: %d bytes (%d MiB), %d rounds each; load average at the start: %s\n' \
  "$size" $((size / 1048576)) "$rounds" "$(cut -d' ' -f1-3 /proc/loadavg)"
echo "1. warm cache, no throttle (image in RAM, copies to $dest):"
dd if="$work/bench.img" of=/dev/null bs=1M status=none  # warm
read -r d t < <(compare "$work/bench.img" "$dest" "$dest")
printf '   dd bs=1M conv=fdatasync %s MiB/s, tarvik %s MiB/s, tarvik/dd %.3f (goal: at least 1.0)\n' \
  "$(mibs "$d")" "$(mibs "$t")" "$(awk -v d="$d" -v t="$t" 'BEGIN {print d / t}')"

echo "2. hashing on and off (bench_copy_job, to $dest):"
ton=() toff=()
for _ in $(seq "$rounds"); do
  rm -rf "$dest/job"; read -r s _ < <("$build/bench/bench_copy_job" "$work/bench.img" "$dest/job" nohash | tail -1); toff+=("$s")
  check_copy "$dest/job"
  rm -rf "$dest/job"; read -r s _ < <("$build/bench/bench_copy_job" "$work/bench.img" "$dest/job" hash | tail -1); ton+=("$s")
  check_tarvik "$dest/job"
done
rm -rf "$dest/job"
awk -v on="$(median "${ton[@]}")" -v off="$(median "${toff[@]}")" -v b="$size" 'BEGIN {
  r_on = b / 1048576 / on; r_off = b / 1048576 / off
  printf "   without hashing %.1f MiB/s, with hashing %.1f MiB/s: hashing costs %.1f %% of the rate (goal: under 15 %%)\n",
         r_off, r_on, (1 - r_on / r_off) * 100 }'

echo "3. throttled: reads ${read_rate} MiB/s, writes ${write_rate} MiB/s (bench_throttle_fs):"
"$build/bench/bench_throttle_fs" "$work" "$mnt" "$read_rate" "$write_rate" -f &
fuse_pid=$!
for _ in $(seq 50); do mountpoint -q "$mnt" && break; sleep 0.1; done
mountpoint -q "$mnt" || { echo "the FUSE mount did not come up" >&2; exit 1; }
read -r d t < <(compare "$mnt/bench.img" "$mnt" "$work")
printf '   dd bs=1M conv=fdatasync %s MiB/s, tarvik %s MiB/s, tarvik/dd %.3f (goal: at least 1.25)\n' \
  "$(mibs "$d")" "$(mibs "$t")" "$(awk -v d="$d" -v t="$t" 'BEGIN {print d / t}')"
awk -v t="$(mibs "$t")" -v r="$read_rate" 'BEGIN {printf "   tarvik at %.3f of the source'"'"'s set rate (goal: at least 0.95)\n", t / r}'
# /usr/bin/time's %M is the kernel's high-water mark of the process's resident
# set (VmHWM): its own memory plus the pages of the shared libraries it touched.
echo "tarvik download, peak resident set (VmHWM: heap, copy buffers and library pages), highest of all runs:" \
  "$(sort -n "$work/rss" | tail -1) KiB (goal: under 32 MiB)"
echo "every copy matched the image byte for byte; load average at the end: $(cut -d' ' -f1-3 /proc/loadavg); ${SECONDS} s in all"
