#!/usr/bin/env bash
# The whole test suite on a fresh machine: installs the packages, builds everything (tests
# and benchmarks, warnings as errors), starts the test database servers, runs CTest.
# Extra arguments go to ctest (for example: scripts/test.sh -L unit).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${NORVEX_BUILD_DIR:-$root/build}

"$root/scripts/deps.sh"

cmake -S "$root" -B "$build" -G Ninja -DNORVEX_BUILD_TESTS=ON -DNORVEX_BUILD_BENCHMARKS=ON \
  -DNORVEX_WERROR=ON >/dev/null
cmake --build "$build"

# Start the servers unless they already run; stop on exit only what this run started.
if ! "$root/scripts/servers.sh" status >/dev/null 2>&1; then
  trap '"$root/scripts/servers.sh" stop >&2 || true' EXIT
fi
eval "$("$root/scripts/servers.sh" start)"

export MPLCONFIGDIR=${MPLCONFIGDIR:-$build/mplconfig}
mkdir -p "$MPLCONFIGDIR"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" "$@"
