#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and UndefinedBehaviorSanitizer
# on) in build-fuzz/ and runs each for a fixed number of executions. Inputs that reach new
# code are merged into fuzz/corpus/<target>/; a crash, leak or failed check is saved under
# fuzz/findings/<target>/. Both folders are replayed by tests/fuzz_replay in the ordinary
# test suite. Not part of CI (it takes minutes and needs clang).
#
#   scripts/fuzz.sh [-runs N] [target ...]     default: 500000 runs of every target
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

runs=500000
targets=()
while (($#)); do
  case $1 in
    -runs) runs=$2; shift 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done
((${#targets[@]})) || targets=(prompt_default prompt_jinja2 uri dotenv record python_rows http_request)

# Debian's clang and its libFuzzer runtime; installed here, not in scripts/deps.sh, since
# CI never builds the fuzzers.
need=()
command -v clang++ >/dev/null || need+=(clang)
ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 ||
  need+=(libclang-rt-14-dev)
if ((${#need[@]})); then
  sudo_=(); ((EUID == 0)) || sudo_=(sudo)
  "${sudo_[@]}" apt-get install -y --no-install-recommends "${need[@]}"
fi

build=$root/build-fuzz
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DNORVEX_BUILD_FUZZERS=ON \
  -DNORVEX_BUILD_TESTS=OFF -DNORVEX_BUILD_BENCHMARKS=OFF -DNORVEX_WERROR=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target "${targets[@]/#/fuzz_}"

# The dotenv code loads ./.env when it starts: run where there is none.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

status=0
printf '%-16s %10s %8s %8s %10s %s\n' target executions cover features corpus findings
for t in "${targets[@]}"; do
  corpus=$root/fuzz/corpus/$t
  findings=$root/fuzz/findings/$t
  mkdir -p "$corpus" "$findings" "$work/$t"
  before=$(find "$findings" -type f | wc -l)
  log=$work/$t.log
  # A scratch corpus grows freely; only inputs that add coverage are merged back.
  if ! "$build/fuzz/fuzz_$t" "$work/$t" "$corpus" -runs="$runs" -max_len=4096 -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$findings/" >"$log" 2>&1; then
    status=1
    tail -n 40 "$log" >&2
  fi
  "$build/fuzz/fuzz_$t" -merge=1 "$corpus" "$work/$t" >/dev/null 2>&1 || true
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')
  cov=$(grep -Eo 'cov: [0-9]+' "$log" | tail -n1 | grep -o '[0-9]*' || echo '?')
  ft=$(grep -Eo 'ft: [0-9]+' "$log" | tail -n1 | grep -o '[0-9]*' || echo '?')
  after=$(find "$findings" -type f | wc -l)
  printf '%-16s %10s %8s %8s %10s %s\n' "$t" "$execs" "$cov" "$ft" \
    "$(find "$corpus" -type f | wc -l)" "$((after - before)) new"
done
exit $status
