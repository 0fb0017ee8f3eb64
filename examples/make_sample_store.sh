#!/usr/bin/env bash
# Creates the demo's sample database (a small shop) at the given path, default
# ./sample_store.db, unless it already exists. The same script gives the same bytes on
# every run, so the file never needs to be committed. Needs the sqlite3 program.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=${1:-sample_store.db}
if [ -e "$out" ]; then
  exit 0
fi
mkdir -p "$(dirname "$out")"
tmp="$out.tmp.$$"
trap 'rm -f "$tmp"' EXIT
sqlite3 -bail "$tmp" < "$here/sample_store.sql" > /dev/null
mv "$tmp" "$out"
trap - EXIT
echo "Created the sample database $out."
