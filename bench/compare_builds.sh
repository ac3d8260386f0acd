#!/usr/bin/env bash
# Runs the HTTP, Eddystone and BlueZ benchmarks of two Release builds alternately, ROUNDS times,
# and prints one CSV line per benchmark and run: round,build,benchmark,cpu_ns,real_ns.
# Usage: bench/compare_builds.sh BEFORE_BUILD AFTER_BUILD [ROUNDS]   (build dirs with bench/bench_*)
set -uo pipefail  # a benchmark that fails leaves its rows out; the others still run
before="$1"; after="$2"; rounds="${3:-3}"
run() {  # BUILD NAME ARGS...
  local build="$1" name="$2"; shift 2
  "$build/bench/$name" --benchmark_format=csv "$@" 2>/dev/null | grep '^"BM_' |
    awk -F, -v b="$build" '{gsub(/"/, "", $1); print b "," $1 "," $4 "," $3}'
}
for r in $(seq "$rounds"); do
  for build in "$before" "$after"; do
    run "$build" bench_http --benchmark_min_time=1 --benchmark_filter='JSON$|JSONHostLoop' | sed "s/^/$r,/"
    run "$build" bench_eddystone --benchmark_min_time=0.5 --benchmark_filter='Pipeline|Decode' | sed "s/^/$r,/"
    run "$build" bench_bluez --benchmark_min_time=2 | sed "s/^/$r,/"
  done
done
