#!/usr/bin/env bash
# The main job on a fresh machine: installs the packages, builds norvex and answers a
# question over the project's own sample database.
# NORVEX_DEMO_SKIP_SETUP=1 skips installing and building (the test suite uses it).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${NORVEX_BUILD_DIR:-$root/build}

if [ "${NORVEX_DEMO_SKIP_SETUP:-0}" != 1 ]; then
  "$root/scripts/deps.sh"
  cmake -S "$root" -B "$build" -G Ninja >/dev/null
  cmake --build "$build"
fi

# The project's own sample database (a small shop), generated once and reused.
"$root/examples/make_sample_store.sh" "$build/sample_store.db"
echo "The sample database is $build/sample_store.db:"
for table in categories products customers orders order_items; do
  echo "  $table: $(sqlite3 -readonly "$build/sample_store.db" "SELECT COUNT(*) FROM $table;") rows"
done

echo "norvex is built in $build."
echo "Question answering is not wired into the norvex command yet, so this demo cannot"
echo "answer a question today."
