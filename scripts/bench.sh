#!/usr/bin/env bash
# Builds every benchmark (Release), runs each, measures the peak resident memory of a whole
# demo question (`norvex ask` on the sample store, replaying the demo cassette) and prints one
# table of the figures against their targets (bench/targets.tsv).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${NORVEX_BENCH_BUILD_DIR:-$root/build-bench}

"$root/scripts/deps.sh" >&2
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNORVEX_BUILD_TESTS=OFF \
  -DNORVEX_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build" >&2

# The catalogue benchmarks read the test database servers: start them (or reuse them) as the
# test script does, and stop only what this run started.
if ! "$root/scripts/servers.sh" status >/dev/null 2>&1; then
  trap '"$root/scripts/servers.sh" stop >&2 || true' EXIT
fi
if ! server_env=$("$root/scripts/servers.sh" start); then
  trap - EXIT
  echo "bench: the test database servers could not be set up (reason above)" >&2
  exit 1
fi
eval "$server_env"

results=$build/results
rm -rf "$results"
mkdir -p "$results"
for program in "$build"/bench/*_bench; do
  [ -x "$program" ] || continue
  echo "running $(basename "$program")" >&2
  "$program" --benchmark_format=json --benchmark_min_time=0.5 \
    >"$results/$(basename "$program").json" ||
    { echo "bench: $(basename "$program") failed (its messages are above)" >&2; exit 1; }
done

# The demo question, whole: the program, its database work and its analysis worker, with
# the resident memory of the process tree sampled while it runs.
echo "running the demo question" >&2
db=$build/sample_store.db
media=$build/bench_media
"$root/examples/make_sample_store.sh" "$db" >/dev/null
export MPLCONFIGDIR=${MPLCONFIGDIR:-$build/mplconfig}
mkdir -p "$MPLCONFIGDIR"
question="What are the five best-selling products by quantity? Show them as a bar chart."
/usr/bin/python3 "$root/bench/peak_rss.py" "$results/demo_memory.txt" \
  "$build/src/cli/norvex" ask "$question" --db "sqlite:///$db" --media "$media" \
  --replay "$root/examples/demo_cassette.jsonl" \
  >"$results/demo_stdout.txt" 2>"$results/demo_stderr.txt" || {
  tail -n 20 "$results/demo_stderr.txt" >&2
  echo "bench: the demo question failed (the end of its standard error is above)" >&2
  exit 1
}

echo "# norvex benchmarks — $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $(uname -m)"
echo
echo "Load average when the run ended: $(cut -d' ' -f1-3 /proc/loadavg) (other builds and"
echo "tests shared the machine)."
echo
/usr/bin/python3 "$root/bench/report.py" "$root/bench/targets.tsv" "$results"/*_bench.json \
  --demo-memory "$results/demo_memory.txt"
