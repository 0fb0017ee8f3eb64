#!/usr/bin/env bash
# Runs scripts/demo.sh as a newcomer would, from a clean copy of the repository (tracked and
# new files, nothing ignored: no build folders, no local model configuration), and checks
# what it shows and that the chart it names is a real PNG (decoded by the Debian Python that
# runs the analysis code, which has matplotlib).
#   demo_test.sh SOURCE_DIR BUILD_DIR           uses the already-built programs (fast)
#   demo_test.sh --full SOURCE_DIR              builds the copy from scratch first; runs only
#                                               when NORVEX_TEST_FULL_DEMO=1 (else skipped)
set -euo pipefail
full=0
if [ "${1:-}" = --full ]; then
  full=1
  shift
  if [ "${NORVEX_TEST_FULL_DEMO:-0}" != 1 ]; then
    echo "skipped: set NORVEX_TEST_FULL_DEMO=1 to build a clean copy from scratch"
    exit 77
  fi
fi
source_dir=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
copy=$tmp/norvex

mkdir -p "$copy"
if git -C "$source_dir" rev-parse --git-dir >/dev/null 2>&1; then
  (cd "$source_dir" && git ls-files -co --exclude-standard -z |
    while IFS= read -r -d '' file; do
      [ -e "$file" ] && printf '%s\0' "$file"
    done | tar --null -T - -cf - | tar -xf - -C "$copy")
else
  (cd "$source_dir" && tar --exclude='./build*' -cf - .) | (cd "$copy" && tar -xf -)
fi

if [ "$full" = 1 ]; then
  build=$tmp/build
  export NORVEX_DEMO_SKIP_SETUP=0
else
  build=$2
  export NORVEX_DEMO_SKIP_SETUP=1
fi
export NORVEX_BUILD_DIR=$build
export NORVEX_DEMO_DB=$tmp/sample_store.db
export NORVEX_DEMO_MEDIA=$tmp/media
export NORVEX_MODEL_CONFIG=$tmp/no_models.json  # never a developer's own configuration
export NORVEX_DOTENV=/dev/null
export MPLCONFIGDIR=$tmp/mplconfig

cd "$tmp"
out=$("$copy/scripts/demo.sh" 2>"$tmp/stderr") || {
  echo "demo.sh failed:"
  cat "$tmp/stderr"
  echo "$out"
  exit 1
}
echo "$out"

fail() {
  echo "FAILED: $1"
  echo "--- standard error:"
  cat "$tmp/stderr"
  exit 1
}
grep -q "OFFLINE REPLAY" <<<"$out" || fail "the replay is not announced"
grep -q "^Answer:" <<<"$out" || fail "no answer"
grep -q "House Blend Coffee 250g (766 units)" <<<"$out" || fail "the answer is not shown"
grep -q "^SQL:" <<<"$out" || fail "no SQL"
grep -q "SUM(oi.quantity)" <<<"$out" || fail "the SQL is not shown"
grep -Eq "^  House Blend Coffee 250g +766$" <<<"$out" || fail "the rows are not a table"
grep -Eq "^  Earl Grey Tea 100g +503$" <<<"$out" || fail "the fifth row is missing"
grep -q "final_response_generation_node" "$tmp/stderr" || fail "no progress display"
grep -q "^done in " "$tmp/stderr" || fail "no closing totals line"

chart=$(sed -n 's/^Chart: //p' <<<"$out")
[ "$chart" = "$tmp/media/best_sellers.png" ] || fail "unexpected chart path '$chart'"
/usr/bin/python3 - "$chart" <<'PY' || fail "the chart is not a decodable PNG"
import sys
import matplotlib
matplotlib.use("agg")
import matplotlib.image
image = matplotlib.image.imread(sys.argv[1], format="png")
assert image.shape[0] >= 200 and image.shape[1] >= 200, image.shape
assert image[..., :3].std() > 0.01, "a blank image"
PY
echo "The demo answered from a clean copy and drew a real chart."
