#!/usr/bin/env bash
# A mail with a 64 MiB attachment through the SMTP client to a loopback sink: time of
# SendMail and the program's peak memory beside its budget (2.2 x encoded size + 16 MiB).
#   bench/smtp_attachment.sh [SIZE_MIB]
set -euo pipefail
cd "$(dirname "$0")/.."
mib=${1:-64}
build=build-bench

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLO_BENCH=ON -DQUILLO_TESTS=OFF >/dev/null
cmake --build "$build" --target bench_smtp_attachment -j2 >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c $((mib * 1024 * 1024)) /dev/urandom >"$work/in.bin"
# Each round is a fresh process, so each peak is its own.
for _ in 1 2 3; do
  "$build/bench/bench_smtp_attachment" "$work/in.bin" 1
done
