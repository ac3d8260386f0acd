#!/usr/bin/env bash
# Runs the HTTP, Eddystone and BlueZ benchmarks of two Release builds alternately, ROUNDS times,
# then prints, per benchmark, the range of each build's CPU and real time over the rounds and the
# range of after/before ratios of the same round.
# Usage: bench/compare_builds.sh BEFORE_BUILD AFTER_BUILD [ROUNDS] [OUT_DIR]
#   (build dirs configured with -DKIV_BUILD_BENCH=ON, holding bench/bench_http, ...)
set -uo pipefail  # a benchmark that fails leaves its rows out; the others still run
before="$1"; after="$2"; rounds="${3:-3}"; out="${4:-$(mktemp -d)}"
mkdir -p "$out"
run() {  # ROUND SIDE BUILD NAME ARGS...
  local round="$1" side="$2" build="$3" name="$4"; shift 4
  "$build/bench/$name" --benchmark_format=json "$@" >"$out/$round-$side-$name.json" 2>/dev/null
}
for r in $(seq "$rounds"); do
  for side in before after; do
    build="$before"; [ "$side" = after ] && build="$after"
    run "$r" "$side" "$build" bench_http --benchmark_min_time=1 --benchmark_filter='JSON'
    run "$r" "$side" "$build" bench_eddystone --benchmark_min_time=0.5 --benchmark_filter='Pipeline|Decode'
    run "$r" "$side" "$build" bench_bluez --benchmark_min_time=2
  done
done
python3 - "$out" <<'PY'
import collections, glob, json, os, sys
runs = collections.defaultdict(dict)  # (bench, round) -> side -> (cpu, real, unit)
for path in sorted(glob.glob(os.path.join(sys.argv[1], "*.json"))):
    rnd, side, _ = os.path.basename(path).split("-", 2)
    try:
        doc = json.load(open(path))
    except ValueError:
        continue
    for b in doc.get("benchmarks", []):
        runs[(b["name"], rnd)][side] = (b["cpu_time"], b["real_time"], b["time_unit"])
names = sorted({n for n, _ in runs}, key=lambda n: n)
span = lambda xs: "%.4g-%.4g" % (min(xs), max(xs)) if xs else "-"
print("| benchmark | before CPU | after CPU | after/before CPU | before real | after real | after/before real |")
print("|---|---|---|---|---|---|---|")
for n in names:
    pairs = [v for (m, _), v in runs.items() if m == n and "before" in v and "after" in v]
    if not pairs:
        continue
    unit = pairs[0]["before"][2]
    col = lambda side, i: [p[side][i] for p in pairs]
    ratio = lambda i: [p["after"][i] / p["before"][i] for p in pairs]
    print(f"| {n} ({unit}) | {span(col('before',0))} | {span(col('after',0))} | {span(ratio(0))} | "
          f"{span(col('before',1))} | {span(col('after',1))} | {span(ratio(1))} |")
PY
