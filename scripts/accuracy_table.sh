#!/usr/bin/env bash
# Measures the accuracy tables and puts them into docs/accuracy.md: the
# responses between the lines "<!-- accuracy table -->" and "<!-- end of
# accuracy table -->", the field maps between "<!-- field map table -->"
# and "<!-- end of field map table -->". Release build in build/release;
# about two minutes on an idle core.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cmake -S "$top" -B "$top/build/release" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$top/build/release" -j "$(nproc)" --target accuracy_table
table="$(mktemp)"
maps="$(mktemp)"
trap 'rm -f "$table" "$maps"' EXIT
"$top/build/release/bench/accuracy_table" "$table" "$maps" >/dev/null
doc="$top/docs/accuracy.md"
awk -v table="$table" -v maps="$maps" '
  /^<!-- accuracy table -->$/ { print; while ((getline line < table) > 0) print line; skip = 1; next }
  /^<!-- field map table -->$/ { print; while ((getline line < maps) > 0) print line; skip = 1; next }
  /^<!-- end of (accuracy|field map) table -->$/ { skip = 0 }
  !skip { print }
' "$doc" > "$doc.new"
mv "$doc.new" "$doc"
