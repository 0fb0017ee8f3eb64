#!/usr/bin/env bash
# The main job on a fresh machine: installs the packages, builds norvex, generates the
# project's own sample database and answers a question that calls for a chart.
#
# The question goes to the models of norvex_models.json (or the file NORVEX_MODEL_CONFIG
# names). Without one, the answers come from examples/demo_cassette.jsonl, recorded for this
# question: an offline replay, announced as such. The SQL still runs on the database and
# the analysis code still draws the chart from the rows.
#
# NORVEX_DEMO_SKIP_SETUP=1 skips installing and building (the test suite uses it);
# NORVEX_BUILD_DIR, NORVEX_DEMO_DB and NORVEX_DEMO_MEDIA move the build, the database and
# the chart folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${NORVEX_BUILD_DIR:-$root/build}
db=${NORVEX_DEMO_DB:-$build/sample_store.db}
media=${NORVEX_DEMO_MEDIA:-$build/demo_media}
question="What are the five best-selling products by quantity? Show them as a bar chart."

if [ "${NORVEX_DEMO_SKIP_SETUP:-0}" != 1 ]; then
  "$root/scripts/deps.sh"
  cmake -S "$root" -B "$build" -G Ninja >/dev/null
  cmake --build "$build" --target norvex  # the program and its libraries; tests not needed
fi

# The project's own sample database (a small shop), generated once and reused.
"$root/examples/make_sample_store.sh" "$db"
echo "The sample database is $db:"
for table in categories products customers orders order_items; do
  echo "  $table: $(sqlite3 -readonly "$db" "SELECT COUNT(*) FROM $table;") rows"
done
echo

export MPLCONFIGDIR=${MPLCONFIGDIR:-$build/mplconfig}
mkdir -p "$MPLCONFIGDIR"

config=${NORVEX_MODEL_CONFIG:-norvex_models.json}
models=()
if [ -f "$config" ]; then
  echo "Asking the models configured in $config."
else
  echo "No model is configured ($config does not exist), so this is an OFFLINE REPLAY:"
  echo "the model's answers come from examples/demo_cassette.jsonl, recorded for this question."
  echo "The SQL runs on the sample database and the analysis code draws the chart for real."
  echo "Configure a model (see README.md, \"Configuring the models\") to ask your own questions."
  models=(--replay "$root/examples/demo_cassette.jsonl")
fi
echo

"$build/src/cli/norvex" ask "$question" --db "sqlite:///$db" --media "$media" "${models[@]}"
