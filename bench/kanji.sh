#!/usr/bin/env bash
# Japanese converter throughput on 16 MiB of typical text, beside iconv.
#   bench/kanji.sh [SIZE_MIB]
# Builds bench_kanji in build-kanji/ (Release; BUILD=folder names another); it checks that
# its output equals iconv's on text iconv can convert and prints the best of five rounds for
# each path. Then the iconv command itself on the same CP932 text, for comparison.
set -euo pipefail
cd "$(dirname "$0")/.."
mib=${1:-16}
build=${BUILD:-build-kanji}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLO_BENCH=ON >/dev/null
cmake --build "$build" --target bench_kanji -j2 >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/bench/bench_kanji" "$mib" 5 --write "$work"

best=
for _ in 1 2 3 4 5; do
  t0=$(date +%s%N)
  iconv -f CP932 -t ISO-2022-JP "$work/safe.sjis" >/dev/null
  t1=$(date +%s%N)
  ns=$((t1 - t0))
  if [ -z "$best" ] || [ "$ns" -lt "$best" ]; then best=$ns; fi
done
awk -v ns="$best" -v bytes="$(stat -c %s "$work/safe.sjis")" \
  'BEGIN { printf "%-58s best of 5: %.3f s, %5.0f MB/s\n", "iconv -f CP932 -t ISO-2022-JP (command), iconv-safe text:", ns / 1e9, bytes / (ns / 1e9) / 1e6 }'
