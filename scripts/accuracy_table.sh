#!/usr/bin/env bash
# Measures the accuracy table and puts it into docs/accuracy.md, between the
# lines "<!-- accuracy table -->" and "<!-- end of accuracy table -->".
# Release build in build/release; about a minute on an idle core.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cmake -S "$top" -B "$top/build/release" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$top/build/release" -j "$(nproc)" --target accuracy_table
table="$(mktemp)"
trap 'rm -f "$table"' EXIT
"$top/build/release/bench/accuracy_table" "$table" >/dev/null
doc="$top/docs/accuracy.md"
awk -v table="$table" '
  /^<!-- accuracy table -->$/ { print; while ((getline line < table) > 0) print line; skip = 1; next }
  /^<!-- end of accuracy table -->$/ { skip = 0 }
  !skip { print }
' "$doc" > "$doc.new"
mv "$doc.new" "$doc"
