#!/usr/bin/env bash
# Builds every benchmark (Release), runs each and prints one table of the figures against
# their targets (bench/targets.tsv).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${NORVEX_BENCH_BUILD_DIR:-$root/build-bench}

"$root/scripts/deps.sh" >&2
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNORVEX_BUILD_TESTS=OFF \
  -DNORVEX_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build" >&2

results=$build/results
rm -rf "$results"
mkdir -p "$results"
for program in "$build"/bench/*_bench; do
  [ -x "$program" ] || continue
  echo "running $(basename "$program")" >&2
  "$program" --benchmark_format=json --benchmark_min_time=0.5 \
    >"$results/$(basename "$program").json"
done

echo "# norvex benchmarks — $(date -u +%Y-%m-%d), $(nproc) cores, $(uname -m)"
/usr/bin/python3 "$root/bench/report.py" "$root/bench/targets.tsv" "$results"/*.json
