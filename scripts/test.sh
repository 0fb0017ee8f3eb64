#!/usr/bin/env bash
# The whole test suite on a fresh machine: installs the packages, starts the test database
# servers (first, so that a server that cannot start stops the run at once), builds
# everything (tests and benchmarks, warnings as errors), runs CTest.
# Extra arguments go to ctest (for example: scripts/test.sh -L unit).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${NORVEX_BUILD_DIR:-$root/build}

"$root/scripts/deps.sh"

# Start the servers unless they already run; stop on exit only what this run started.
if ! "$root/scripts/servers.sh" status >/dev/null 2>&1; then
  trap '"$root/scripts/servers.sh" stop >&2 || true' EXIT
fi
# A server that cannot start or load its data ends the run here, with servers.sh's own
# reason as the last lines, rather than as hundreds of failing tests.
if ! server_env=$("$root/scripts/servers.sh" start); then
  trap - EXIT # a failed start has already stopped what it started
  echo "test: the test database servers could not be set up (reason above); no test was run" >&2
  exit 1
fi
eval "$server_env"

cmake -S "$root" -B "$build" -G Ninja -DNORVEX_BUILD_TESTS=ON -DNORVEX_BUILD_BENCHMARKS=ON \
  -DNORVEX_WERROR=ON >/dev/null
cmake --build "$build"

export MPLCONFIGDIR=${MPLCONFIGDIR:-$build/mplconfig}
mkdir -p "$MPLCONFIGDIR"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" "$@"
