#!/usr/bin/env bash
# Attachment encoder throughput on a 64 MiB file, beside coreutils' base64 -w 60.
#   bench/encoder.sh [SIZE_MIB]
# Builds bench_encoder in build-bench/ (Release), checks that its lines are base64 -w 60's
# lines with CR LF ends, then prints the best of five rounds for each.
set -euo pipefail
cd "$(dirname "$0")/.."
mib=${1:-64}
build=build-bench

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLO_BENCH=ON -DQUILLO_TESTS=OFF >/dev/null
cmake --build "$build" --target bench_encoder -j2 >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c $((mib * 1024 * 1024)) /dev/urandom >"$work/in.bin"

"$build/bench/bench_encoder" "$work/in.bin" 1 --out "$work/ours.txt" >/dev/null
base64 -w 60 "$work/in.bin" | sed 's/$/\r/' >"$work/ref.txt"
if cmp -s "$work/ours.txt" "$work/ref.txt"; then
  echo "output: identical to base64 -w 60 with CR LF line ends"
else
  echo "output: DIFFERS from base64 -w 60" >&2
  exit 1
fi
rm -f "$work/ours.txt" "$work/ref.txt"

"$build/bench/bench_encoder" "$work/in.bin" 5

# Best of five wall-clock runs of a shell command, printed as throughput on the input.
time_best() {
  local what=$1 cmd=$2 best= t0 t1 ns
  for _ in 1 2 3 4 5; do
    t0=$(date +%s%N)
    bash -c "$cmd"
    t1=$(date +%s%N)
    ns=$((t1 - t0))
    if [ -z "$best" ] || [ "$ns" -lt "$best" ]; then best=$ns; fi
  done
  awk -v what="$what" -v ns="$best" -v bytes=$((mib * 1024 * 1024)) \
    'BEGIN { printf "%-52s best of 5: %.3f s, %5.0f MB/s\n", what, ns / 1e9, bytes / (ns / 1e9) / 1e6 }'
}
time_best "base64 -w 60 to /dev/null:" "base64 -w 60 '$work/in.bin' >/dev/null"
# Writing into memory, as the encoder does: a file on tmpfs.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  shm=$(mktemp /dev/shm/quillo-bench.XXXXXX)
  trap 'rm -rf "$work" "$shm"' EXIT
  time_best "base64 -w 60 to a file in /dev/shm:" "rm -f '$shm'; base64 -w 60 '$work/in.bin' >'$shm'"
fi
