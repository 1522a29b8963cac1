#!/usr/bin/env bash
# Checks that the C and C++ sources follow .clang-format: every tracked
# *.c, *.cpp and *.h except the test data (tests/data) and the fuzz corpora.
# Lists the files that clang-format would change and fails when there are
# any; `bash scripts/check_format.sh --fix` reformats them instead.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  files="$(git ls-files '*.c' '*.cpp' '*.h')"
else
  files="$(find . -path ./build -prune -o \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) -print |
    sed 's|^\./||')"
fi
files="$(echo "$files" | grep -v -e '^tests/data/' -e '/corpus_' -e '^build/' || true)"
if [ "${1:-}" = "--fix" ]; then
  echo "$files" | xargs clang-format -i
  exit 0
fi
unformatted=""
for file in $files; do
  clang-format --dry-run -Werror "$file" >/dev/null 2>&1 || unformatted="$unformatted $file"
done
if [ -n "$unformatted" ]; then
  echo "not formatted as .clang-format says (bash scripts/check_format.sh --fix):"
  for file in $unformatted; do echo "  $file"; done
  exit 1
fi
echo "$(echo "$files" | wc -l) C and C++ sources follow .clang-format"
