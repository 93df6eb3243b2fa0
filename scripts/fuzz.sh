#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each in turn for SECONDS (default 60).
#   scripts/fuzz.sh [SECONDS] [TARGET...]
# Every run starts from the target's corpus in the tree (fuzz/corpus/NAME)
# and from what earlier runs found (build-fuzz/corpus/NAME). A crash, a leak,
# a time-out (an input slower than FUZZ_TIMEOUT seconds, default 5) or any
# sanitizer report stops the script with a non-zero status and the path of
# the input that shows it. With FUZZ_KEEP=1 the corpus in the tree is
# replaced by the minimised union of both after the runs.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
shift || true
build=$here/build-fuzz
bash "$here/scripts/setup.sh"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DTARVIK_FUZZ=ON -DTARVIK_GUI=OFF >/dev/null
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for dir in "$here"/fuzz/corpus/*/; do targets+=("$(basename "$dir")"); done
fi
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/#/fuzz_}"

export TZ=UTC  # the application's search works in local time: the same for every run
export TARVIK_MEDIA_MODULE=$build/tarvik-media.so  # the fuzz programs live in a subfolder
for name in "${targets[@]}"; do
  work=$build/corpus/$name
  found=$build/found/$name
  mkdir -p "$work" "$found"
  log=$build/fuzz-$name.log
  echo "== $name: $seconds s" >&2
  status=0
  "$build/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout="${FUZZ_TIMEOUT:-5}" -max_len=4096 \
    -print_final_stats=1 -artifact_prefix="$found/" "$work" "$here/fuzz/corpus/$name" >"$log" 2>&1 || status=$?
  grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 >&2 || true
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$log" >&2 || true
  if [ $status -ne 0 ]; then
    grep -E 'ERROR|SUMMARY|runtime error|timeout' "$log" | head -5 >&2 || true
    unit=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -1)
    echo "fuzz target $name failed (status $status); reproducer: ${unit:-none written}; log: $log" >&2
    echo "replay: $build/fuzz/fuzz_$name ${unit:-}" >&2
    exit 1
  fi
  if [ "${FUZZ_KEEP:-0}" = 1 ]; then
    fresh=$(mktemp -d)
    "$build/fuzz/fuzz_$name" -merge=1 -timeout="${FUZZ_TIMEOUT:-5}" "$fresh" "$here/fuzz/corpus/$name" "$work" \
      >>"$log" 2>&1
    rm -f "$here/fuzz/corpus/$name"/*
    cp "$fresh"/* "$here/fuzz/corpus/$name"/
    rm -rf "$fresh"
    echo "corpus kept: $(ls "$here/fuzz/corpus/$name" | wc -l) inputs" >&2
  fi
done
echo "fuzzing done: ${targets[*]}" >&2
